#include "support/RecordingHost.h"

#include "core/common/Common.h"

namespace qpt::test {

void RecordingHost::LogAppend(const std::string& line) {
  std::lock_guard<std::mutex> lock(mutex_);
  appended.push_back(line);
}

void RecordingHost::LogReplaceLast(const std::string& line) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++replaceCount;
  if (appended.empty()) {
    appended.push_back(line);
  } else {
    // Only the last visible line is replaced; a raw entry may hold several lines.
    std::string& last = appended.back();
    const std::size_t cut = last.rfind("\r\n");
    last = (cut == std::string::npos ? std::string() : last.substr(0, cut + 2)) + line;
  }
}

void RecordingHost::SetProgress(int percent) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    progress.push_back(percent);
  }
  if (onProgress) onProgress(percent);
}

void RecordingHost::SetLanguageBoxEnabled(bool enabled) {
  std::lock_guard<std::mutex> lock(mutex_);
  languageBox.push_back(enabled);
}

void RecordingHost::ThreadCancel(TInstall*) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++endCount;
  ended_.notify_all();
}

void RecordingHost::Reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  appended.clear();
  progress.clear();
  languageBox.clear();
  endCount = 0;
  replaceCount = 0;
}

void RecordingHost::WaitForEnd() {
  std::unique_lock<std::mutex> lock(mutex_);
  ended_.wait(lock, [this] { return endCount > 0; });
}

std::vector<std::string> RecordingHost::Lines() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> lines;
  for (const std::string& raw : appended) {
    for (std::string& shown : SplitLogLine(raw)) lines.push_back(std::move(shown));
  }
  return lines;
}

TLangList BracketLanguage() {
  static const char* const kKeys[] = {
      "Label0", "Done", "ErrorFolderDelete", "ErrorFolderCreate", "ErrorAnotherRun", "PatchingSuccessful", "UnpackingRomFS",
      "ErrorUnpackingRomFS", "InstallCanceled", "Unk3dstoolError", "ExtractingExeFSHeaders",
      "ErrorExtractingExeFSHeaders", "ExtractingNCCH", "ErrorExtractingNCCH", "UnkctrtoolError",
      "ExtractingExeFS", "ErrorExtractingExeFs", "ExtractingRomFS", "ErrorExtractingRomFS",
      "ExtractingCXIHeaders", "ErrorExtractingCXIHeaders", "ErrorDeleteTempFile", "ReplacingExeFS",
      "ErrorCopyingExeFsFolder", "ReplacingRomFS", "ErrorCopyingRomFsFolder", "ReplacingExheader", "RebuildingExeFS",
      "ErrorRebuildingExeFS", "RebuildingRomFS", "ErrorRebuildingRomFS", "RebuildingCXI", "ErrorRebuildingCXI",
      "RebuildingCIA", "ErrorRebuildingCIA", "UnkMakeromError", "Rebuilding3DS", "ErrorRebuilding3DS",
      "CheckingMD5PackDat", "ErrorCheckingMD5PackDat", "MD5Matched", "MD5NotMatched", "CheckingMD5PackInc",
      "ErrorCheckingMD5PackInc", "ErrorMovingPackDat", "ApplyingXdelta", "ErrorApplyingXdelta",
      "UnkXdeltaError", "ErrorLoadPackDat", "UnpackingPackDat", "ErrorLoadPackInc",
      "ErrorCalculationPackDatFileCount", "ErrorExtractingPackDat", "UpdatingPackDat",
      "WarningCopyingPackDatFolder", "RepackingPackDat", "ErrorRepackingPackDat", "WarningUnpackingBcsar", "ApplyingVoice",
      "WarningUnpackingCwar", "WarningCopyingSoundFiles", "WarningPackingCwar", "ChangingMusic",
      "WarningUnknownTrack", "WarningPackingBcsar", "ErrorTrackListFormat", "ErrorReadingTracks",
      "CancelInstall", "StartPatching", "CheckingNewImage", "PatchingCompletedWithWarnings",
      "WarningSkippedLink", "ErrorOutputIsInput", "InstallCancelledNothingWritten",
      "WarningTrackNameTooLong", "ErrorOpeningOldRom", "ErrorOldRomChanged", "ErrorOldRomRefused", "ErrorWritingOldRom",
      "ErrorOldRomNotVerified", "ErrorOldRomDamaged", "LogOldRomVerified", "ReceiptHeading", "ReceiptDate",
      "ReceiptInput", "ReceiptFile", "ReceiptGame", "ReceiptKind", "ReceiptSize", "ReceiptSha256", "ReceiptPatch",
      "ReceiptNoPatch", "ReceiptTitle", "ReceiptFolder", "ReceiptDigest", "ReceiptVoices", "ReceiptMusic",
      "ReceiptUnchanged", "ReceiptOutput", "ReceiptHashesGood", "ReceiptLog", "WarningReceiptNotWritten",
      "RadioGroup2BTN1", "RadioGroup2BTN2", "RadioGroup2BTN3", "ConfirmReplaceOutput", "WaitingForWorkFolderRemoval", "CheckRegionGood", "CheckRegionBad",
      "CheckAllGood", "CheckSomeBad", "CheckImageUnreadable", "LogEncrypted", "ErrorLoadingROM",
      "LogProgramID", "UnknownROM", "LogTitleID", "LogModFoldersOnly",
      "ReadingModFiles", "WritingModFolder", "CheckingModFolder", "WarningModExeFsLeftOut",
      "ModFolderSuccessful", "ReceiptModFolder", "ReceiptModFilesGood", "WarningModFileIgnored", "SizeGB", "SizeMB", "SizeKB",
      "VerifyCiaHeader", "VerifyCertificateChain", "VerifyTicketTitle", "VerifyTmdInfoRecords", "VerifyTmdContentRecords",
      "VerifyContentBitmap", "VerifyContentUnencrypted", "VerifyContentHash", "VerifyNcsdHeader", "VerifyPartitionPresent",
      "VerifyNcchHeaderCopy", "VerifyNcchHeader", "VerifyNcchDecrypted", "VerifyNcchContentSize", "VerifyNcchLayout",
      "VerifyExheaderHash", "VerifyLogoHash", "VerifyExeFsHeaderHash", "VerifyExeFsFiles", "VerifyRomFsHeaderHash",
      "VerifyRomFsLevels", "VerifyFaultUnreadable", "VerifyFaultHash", "VerifyFaultEncrypted", "VerifyFaultTmdEncrypted",
      "VerifyFaultPastEnd", "VerifyFaultLayout", "VerifyFaultNotRetail", "VerifyFaultTitles", "VerifyFaultBitmap",
      "VerifyFaultCopy", "VerifyFaultMissing", "ModRemoveWillDelete", "ModRemoveWillKeep"};
  // Texts with values show them after colons: "<ErrorNotEnoughSpace:%1:%2:%3>".
  static const std::pair<const char*, int> kFormatted[] = {
      {"ErrorCheckImageHashes", 1}, {"ErrorCheckImageProgramID", 2}, {"ErrorCheckImageRomFS", 1},
      {"ErrorCheckImageInput", 1},  {"ErrorOutputFolderNotWritable", 1}, {"ErrorNotEnoughSpace", 3},
      {"ErrorReadingImageFiles", 1}, {"ErrorModFolderExists", 1},       {"ErrorCheckModFolder", 1},
      {"ReceiptWritten", 1}, {"ErrorWritingWorkFiles", 1}, {"ErrorWritingModFolder", 1}, {"VerifyInContent", 1}, {"VerifyInPartition", 1}, {"VerifyFaultRomFsBlock", 2},
      {"VerifyFaultExeFsFile", 1}, {"VerifyFaultMisaligned", 1}, {"ErrorModPatchRefused", 1}, {"ErrorProgramPatch", 1},
      {"ErrorTargetFileTooLarge", 3}, {"ErrorTargetBadName", 2}, {"ErrorTargetNameCase", 3}, {"ErrorTargetGone", 1},
      {"ErrorModFolderReadBack", 1},
      {"ModCheckNoReceipt", 2}, {"ModCheckMissing", 1}, {"ModCheckChanged", 1}, {"ModCheckUnreadable", 1},
      {"ModCheckNotWritten", 1}, {"ModCheckAllGood", 1}, {"ModCheckGoodWithOthers", 2}, {"ModCheckSomeBad", 2},
      {"ModCheckListFailed", 1}, {"ModRemoveNoReceipt", 2}, {"ModRemoveFailed", 1}, {"ModRemoveDone", 2},
      {"ModRemoveDoneKept", 2}, {"ModRemoveReceiptNotFlushed", 1}};
  std::vector<std::string> tokens;
  for (const char* key : kKeys) {
    tokens.emplace_back(key);
    tokens.push_back(L(key));
  }
  for (const auto& [key, count] : kFormatted) {
    std::vector<std::string> marks;
    for (int i = 1; i <= count; ++i) marks.push_back("%" + std::to_string(i));
    tokens.emplace_back(key);
    tokens.push_back(L(key, marks));
  }
  TLangList list;
  list.SetTokens(std::move(tokens));
  return list;
}

std::string L(const std::string& key) { return "<" + key + ">"; }

std::string L(const std::string& key, const std::vector<std::string>& values) {
  std::string text = "<" + key;
  for (const std::string& value : values) text += ":" + value;
  return text + ">";
}

}  // namespace qpt::test
