#include "core/install/Install.h"

#include <exception>
#include <span>
#include <utility>

#include "core/common/Common.h"
#include "core/common/RunLock.h"
#include "core/common/Volume.h"
#include "core/install/Install3DS.h"
#include "core/install/InstallCIA.h"
#include "core/install/InstallCXI.h"
#include "core/install/InstallMods.h"
#include "core/install/OutputCheck.h"
#include "core/install/ToolProgress.h"
#include "core/install/WorkFolder.h"
#include "core/patches/ModPatch.h"
#include "ctr/Io.h"
#include "ctr/Sha256.h"

namespace qpt {

namespace fs = std::filesystem;

namespace {

std::string QuotedTool(const fs::path& tools, const char* name) {
  return "\"" + PathToUtf8(tools / (std::string(name) + ExecutableSuffix())) + "\"";
}

}  // namespace

std::string OutputKind(const fs::path& outPath) {
  const std::string ext = Lower(PathToUtf8(outPath.extension()));
  return ext == ".cxi" || ext == ".cia" ? ext : ".3ds";
}

fs::path RemoveExtension(const fs::path& path) {
  // std::filesystem knows the platform's separators (and drive colons on Windows); a
  // leading dot of a name such as ".hidden" is a name, not an extension.
  if (!path.has_extension()) return path;
  fs::path stem = path;
  stem.replace_extension();
  return stem;
}

fs::path OutputPathWithKind(const fs::path& chosen, const std::string& kindExtension) {
  if (chosen.has_extension() || kindExtension.empty() || !chosen.has_filename()) return chosen;
  fs::path withKind = chosen;
  withKind += kindExtension;
  return withKind;
}

fs::path WrittenOutputPath(const fs::path& outPath) {
  fs::path written = RemoveExtension(outPath);
  written += OutputKind(outPath);
  return written;
}

bool OutputKindPossible(const std::string& inputKind, const fs::path& outPath) {
  return OutputKind(outPath) != ".3ds" || Lower(inputKind) == ".3ds";
}

TInstall::TInstall(TInstallHost& host, TInstallSettings settings)
    : host_(host),
      settings_(std::move(settings)),
      FAppDir(settings_.folders.program),
      FWorkRoot(settings_.folders.work),
      FPatchDir(settings_.patchDir),
      FRomPath(settings_.romPath),
      FOutPath(settings_.outPath),
      FImagePath(WrittenOutputPath(settings_.outPath)),
      FOutExt(PathToUtf8(settings_.outPath.extension())),
      FGame(settings_.game),
      FOriginalPackDatMD5(settings_.originalPackDatMD5),
      FOriginalPackIncMD5(settings_.originalPackIncMD5),
      FCtrtool(QuotedTool(settings_.folders.tools, "ctrtool")),
      FMakerom(QuotedTool(settings_.folders.tools, "makerom")),
      F3dstool(QuotedTool(settings_.folders.tools, "3dstool")),
      FXdelta(QuotedTool(settings_.folders.tools, "xdelta")) {}

TInstall::~TInstall() {
  if (thread_.joinable()) thread_.join();
  inputPass_.Stop();
  WaitForDeletions();
}

std::unique_ptr<TRunLock> TInstall::TakeRunLock() { return std::move(runLock_); }

void TInstall::Start() { thread_ = std::thread([this] { Execute(); }); }

void TInstall::WaitFor() {
  if (thread_.joinable()) thread_.join();
}

std::string TInstall::GetLangText(const char* key) const {
  return settings_.lang ? settings_.lang->GetLangText(key) : std::string(key);
}

const TLangList& TInstall::Lang() const {
  static const TLangList kNone;
  return settings_.lang ? *settings_.lang : kNone;
}

fs::path TInstall::WorkPath(const std::string& relative) const {
  return FWorkRoot / PathFromUtf8(NativeSeparators(relative));
}

std::string TInstall::Arg(const std::string& relative) { return NativeSeparators(relative); }

std::string TInstall::Quote(const std::string& utf8Path) { return QuoteArgument(utf8Path); }

void TInstall::ExpectGrowth(std::vector<fs::path> watched, std::uint64_t expectedGrowth) {
  growth_ = TExpectedGrowth{std::move(watched), expectedGrowth};
}

std::uint64_t TInstall::SizeOf(const fs::path& path) { return TreeSize(path); }

std::vector<fs::path> TInstall::WithPartFile(const fs::path& target) {
  // Our tools write under a temporary name beside the target and rename it at the end.
  fs::path part = target;
  part += std::string(ctr::kTemporaryOutputSuffix);
  return {target, part};
}

std::uint32_t TInstall::Run(const std::string& tool, const std::string& arguments) {
  lastToolReason_.clear();
  std::optional<TGrowthProgress> poller;
  if (growth_) {
    // A few looks a second are plenty for a bar, and cost next to nothing beside the tool.
    poller.emplace(std::move(growth_->watched), growth_->bytes, progress_, stageEnd_,
                   [this](int percent) { host_.SetProgress(percent); });
    poller->Start(std::chrono::milliseconds(250));
    growth_.reset();
  }
  return RunTool(tool, arguments, FWorkRoot, &lastToolReason_);
}

void TInstall::Log(const std::string& line) {
  host_.LogAppend(line);
  for (std::string& shown : SplitLogLine(line)) logCopy_.push_back(std::move(shown));
}

void TInstall::LogReplaceLast(const std::string& line) {
  host_.LogReplaceLast(line);
  if (!logCopy_.empty()) logCopy_.back() = line;
}

bool TInstall::RunStage(bool (TInstall::*step)(), int endPercent) {
  stageEnd_ = endPercent;
  growth_.reset();
  return (this->*step)();
}

void TInstall::LogToolReason() {
  if (!lastToolReason_.empty()) Log(lastToolReason_);
}

void TInstall::LogWarning(const char* key, const std::string& detail) {
  std::string line = GetLangText(key);
  if (!detail.empty()) line += "\r\n" + detail;
  Log(line);
  warnings_.push_back(line);
}

std::string TInstall::FormatText(const char* key, const std::vector<std::string>& values) const {
  return FillMarks(GetLangText(key), values);
}

bool TInstall::RunToolStep(const char* startKey, const std::string& tool, const std::string& arguments,
                           const char* errorKey, ErrorLine errorLine, const char* unknownKey) {
  LogKey(startKey);
  return EndToolStep(Run(tool, arguments), errorKey, errorLine, unknownKey);
}

bool TInstall::EndToolStep(std::uint32_t code, const char* errorKey, ErrorLine errorLine, const char* unknownKey) {
  if (code == 0) {
    LogKey("Done");
    return true;
  }
  if (code == 1) {
    if (errorLine == ErrorLine::AfterBreak) {
      LogKeyAfterBreak(errorKey);
    } else {
      LogKey(errorKey);
    }
  } else {
    LogKeyAfterBreak(unknownKey);
  }
  LogToolReason();
  return false;
}

bool TInstall::CopyPatchFolder(const fs::path& source, const fs::path& destination) {
  std::vector<fs::path> links;
  ctr::Status writeFailure;
  const bool copied = CopyFolder(source, destination, &links, &writeFailure);
  for (const fs::path& link : links) LogWarning("WarningSkippedLink", PathToUtf8(link));
  KeepWriteFailure(writeFailure);
  return copied;
}

bool TInstall::KeepWriteFailure(const ctr::Status& status) {
  if (!status.IsWriteFailure()) return false;
  std::lock_guard<std::mutex> lock(writeFailureMutex_);
  if (!writeFailure_.IsWriteFailure()) writeFailure_ = status;
  return true;
}

ctr::Status TInstall::TakeWriteFailure() {
  std::lock_guard<std::mutex> lock(writeFailureMutex_);
  return std::exchange(writeFailure_, ctr::Status::Ok());
}

bool TInstall::DeleteWorkFiles(std::initializer_list<const char*> relativePaths) {
  std::vector<fs::path> aside;
  for (const char* relative : relativePaths) {
    if (!MoveAside(relative, aside)) {
      DeleteOnThread(std::move(aside));
      LogKeyAfterBreak("ErrorDeleteTempFile");
      return false;
    }
  }
  DeleteOnThread(std::move(aside));
  return true;
}

void TInstall::DiscardWorkFiles(std::initializer_list<const char*> relativePaths) {
  // A GiB just written is still in memory when its last reader ends; deleted then, it never
  // has to be written to the disk, and the next step's own writes do not wait behind it.
  std::vector<fs::path> aside;
  for (const char* relative : relativePaths) MoveAside(relative, aside);
  DeleteOnThread(std::move(aside));
}

bool TInstall::MoveAside(const char* relativePath, std::vector<fs::path>& aside) {
  const fs::path moved = WorkPath("tools\\temp\\deleting-" + std::to_string(++deletedFiles_));
  if (!RenameFile(WorkPath(relativePath), moved)) return false;
  aside.push_back(moved);
  return true;
}

void TInstall::DeleteOnThread(std::vector<fs::path> aside) {
  // Deleting a file of a GiB takes a good part of a second, which the next step need not wait
  // for: each file is moved out of the steps' way at once and deleted on a thread of its own.
  if (aside.empty()) return;
  deletions_.push_back(std::async(std::launch::async, [aside = std::move(aside), &hook = settings_.hooks.deletingWorkFile] {
    for (const fs::path& path : aside) {
      if (hook) hook(path);
      std::error_code ec;
      fs::remove_all(path, ec);
    }
  }));
}

void TInstall::WaitForDeletions() {
  for (std::future<void>& deletion : deletions_) deletion.wait();
  deletions_.clear();
}

void TInstall::Execute() {
  try {
    // A run that stopped for a cancel says so last; nothing of it was written but the work
    // folder, which the end of the run removes.
    if (!RunSteps() && Terminated()) LogKeyAfterBreak("InstallCancelledNothingWritten");
    inputPass_.Stop();
  } catch (const std::exception& error) {
    // Nothing a step does not handle itself may leave the window locked: say what happened
    // in one line and end the run like any other.
    Log("\r\n" + std::string(error.what()));
  } catch (...) {
    Log("\r\nUnexpected error");
  }
  // The work folder goes once the run has ended, never while a file in it is being deleted.
  WaitForDeletions();
  host_.ThreadCancel(this);
}

bool TInstall::CheckBeforeStart() {
  const fs::path& written = FImagePath;
  if (SameFile(written, FRomPath)) {
    LogKey("ErrorOutputIsInput");
    return false;
  }
  const fs::path outFolder = written.parent_path().empty() ? fs::path(".") : written.parent_path();
  if (!CanWriteIn(outFolder)) {
    Log(FormatText("ErrorOutputFolderNotWritable", {PathToUtf8(outFolder)}));
    return false;
  }
  std::error_code ec;
  const std::uint64_t inputSize = fs::file_size(FRomPath, ec);
  if (ec) return true;  // the first step says what is wrong with the input
  for (const TSpaceShortfall& shortfall : FindSpaceShortfalls(inputSize, WorkPath("tools"), outFolder)) {
    Log(FormatText("ErrorNotEnoughSpace",
                   {PathToUtf8(shortfall.folder), FormatSize(shortfall.needed, Lang()), FormatSize(shortfall.available, Lang())}));
    return false;
  }
  return true;
}

bool TInstall::RunWarningStep(bool (TInstall::*step)()) {
  TakeWriteFailure();
  (this->*step)();
  const ctr::Status failure = TakeWriteFailure();
  if (!failure.IsWriteFailure()) return true;
  Log("\r\n" + FormatText("ErrorWritingWorkFiles", {failure.message()}));
  return false;
}

bool TInstall::CheckOutput(const fs::path& written) {
  // No checkpoint lies between the last tool and the end of a run, so a cancel asked for
  // while it ran is honoured here: the player said stop, and gets no image.
  // An image whose check failed goes, and with it any receipt of an earlier image of that
  // name: a receipt never stays without its image.
  const auto remove = [&] {
    RemoveFile(written);
    RemoveFile(ReceiptPath(written));
  };
  if (Terminated()) {
    remove();
    return false;
  }
  LogKey("CheckingNewImage");
  // A card or stick is pulled the moment the run says it is done: the image goes to the device
  // first, and the check reads it from there, not from what the computer kept of it.
  if (const auto volume = VolumeOf(written); volume && volume->removable) {
    for (const fs::path& flushed : {written, written.parent_path()}) {
      if (const std::error_code ec = FlushToDevice(flushed)) {
        remove();
        Log("\r\n" + FormatText("ErrorWritingWorkFiles", {ctr::WriteFailure("fsync", flushed, ec).message()}));
        return false;
      }
    }
    ForgetCachedCopy(written);
  }
  // The receipt's hash of the whole image comes from the check's own read of it.
  std::string* outputHash = settings_.writeReceipt ? &outputHash_ : nullptr;
  const std::optional<TImageProblem> problem = settings_.checkImage ? settings_.checkImage(FRomPath, written)
                                                                    : CheckNewImage(FRomPath, written, Lang(), outputHash);
  // A check put in the job's place (a test's) works out no hash, so the image is read for it.
  if (outputHash && settings_.checkImage && !problem) outputHash_ = FileSha256(written);
  if (problem) {
    remove();
    Log("\r\n" + FormatText(problem->key.c_str(), problem->values));
    return false;
  }
  LogKey("Done");
  return true;
}

bool TInstall::WriteReceipt(const fs::path& written, const std::vector<std::string>& lastLines) {
  TReceipt r;
  r.facts = settings_.receiptFacts;
  r.date = ReceiptDate();
  r.input = FRomPath;
  r.inputKind = Lower(PathToUtf8(FRomPath.extension()));
  std::error_code ec;
  r.inputSize = fs::file_size(FRomPath, ec);
  r.inputSha256 = inputPass_.Sha256();
  r.patchFolder = settings_.patchDir;
  if (!FOriginalPackDatMD5.empty() && !FPackDatMD5.empty()) {
    r.digests.push_back({"pack.dat MD5", FOriginalPackDatMD5, FPackDatMD5});
  }
  if (!FOriginalPackIncMD5.empty() && !FPackIncMD5.empty()) {
    r.digests.push_back({"pack.inc MD5", FOriginalPackIncMD5, FPackIncMD5});
  }
  r.output = written;
  r.outputSize = fs::file_size(written, ec);
  r.outputSha256 = outputHash_;
  r.files = writtenFiles_;
  r.log = logCopy_;
  r.log.insert(r.log.end(), lastLines.begin(), lastLines.end());
  if (r.inputSha256.empty() || (r.outputSha256.empty() && r.files.empty()) || !settings_.lang) return false;
  const std::string text = ReceiptText(r, *settings_.lang);
  const fs::path receipt = ReceiptPath(written);
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  if (!ctr::WriteWholeFile(receipt, std::span<const std::uint8_t>(bytes, text.size())).ok()) return false;
  // On the device and read back from it, as the files it describes.
  if (FlushToDevice(receipt) || FlushToDevice(receipt.parent_path())) return false;
  const ctr::Sha256Digest digest = ctr::Sha256::Of(bytes, text.size());
  return Sha256FromDevice(receipt) == HexText(digest.data(), digest.size(), false);
}

bool TInstall::RunSteps() {
  host_.SetProgress(0);
  host_.SetLanguageBoxEnabled(false);

  // The work folder of a run that ended a moment ago may still be going away.
  if (TWorkFolderRemoval::Pending(FWorkRoot)) {
    LogKey("WaitingForWorkFolderRemoval");
    TWorkFolderRemoval::Wait(FWorkRoot);
  }
  // Another run in this program folder works in the same work folder: refuse before touching it.
  runLock_ = std::make_unique<TRunLock>(FWorkRoot);
  switch (runLock_->State()) {
    case TRunLock::TState::Held:
      ownsWorkFolder_.store(true);
      break;
    case TRunLock::TState::HeldElsewhere:
      LogKey("ErrorAnotherRun");
      return false;
    case TRunLock::TState::Failed:
      Log(runLock_->Error());
      LogKey("ErrorFolderCreate");
      return false;
  }
  if (!CheckBeforeStart()) return false;
  StartInputPass();

  const fs::path work = WorkPath("tools\\temp");
  if (FolderExists(work) || FileExists(work)) {
    DeleteFolder(work);
    if (fs::exists(work)) {
      LogKey("ErrorFolderDelete");
      return false;
    }
  }
  if (!CreateFolder(work) || !CreateFolder(WorkPath("tools\\temp\\headers"))) {
    LogKey("ErrorFolderCreate");
    return false;
  }

  if (!PreparePatch()) return false;

  // Each stage ends at a percentage that roughly follows how long it takes with a large image:
  // the steps that copy or hash the whole game get the widest spans, and the bar moves inside
  // them as their output grows.
  struct Stage {
    bool (TInstall::*step)();
    int progress;
  };
  const Stage extraction[] = {
      {&TInstall::ExtractNCCH, 8},        {&TInstall::ExtractExeFS, 10},
      {&TInstall::ExtractRomFS, 20},      {&TInstall::UnpackRomFS, 30},
      {&TInstall::ExtractCXIHeaders, 31}, {&TInstall::ExtractExeFSHeaders, 32},
      {&TInstall::DeleteTempFiles, 33},
  };
  for (const Stage& stage : extraction) {
    if (!RunStage(stage.step, stage.progress) || !Checkpoint()) return false;
    Progress(stage.progress);
  }

  const bool hasPatch = !FPatchDir.empty();
  if (hasPatch && FileExists(FPatchDir / "patch.xdelta")) {
    if (!RunStage(&TInstall::ApplyXdelta, 46)) return false;
  }
  if (!Checkpoint()) return false;
  Progress(46);
  if (hasPatch && FolderExists(FPatchDir / "exefs")) {
    if (!ReplaceExeFS()) return false;
  }
  if (!Checkpoint()) return false;
  Progress(48);
  if (hasPatch && FolderExists(FPatchDir / "romfs")) {
    if (!ReplaceRomFS()) return false;
  }
  if (!patchExheader_.empty() && !ReplaceExheader()) return false;
  if (!Checkpoint()) return false;
  Progress(50);

  if (FGame.HasVoicesAndMusic() &&
      !RunWarningStep(FGame.Id() == TGameId::AA4 ? &TInstall::ApplySoundAA4 : &TInstall::ApplySoundAAT)) {
    return false;
  }
  if (hasPatch && FolderExists(FPatchDir / "pack_dat") && FGame.HasPackArchive()) {
    if (!RunWarningStep(&TInstall::UpdatePackDat)) return false;
  }
  if (!Checkpoint()) return false;
  Progress(60);

  fs::path written;
  if (!BuildOutput(written)) return false;
  Progress(100);
  const std::string success = GetLangText(settings_.modFolder ? "ModFolderSuccessful" : "PatchingSuccessful");
  const std::string where = "[" + PathToUtf8(written) + "]";
  if (settings_.writeReceipt) {
    // The player finds the receipt by the path the log names, above the success line.
    if (WriteReceipt(written, {"", success, where})) {
      Log(FormatText("ReceiptWritten", {PathToUtf8(ReceiptPath(written))}));
    } else {
      LogWarning("WarningReceiptNotWritten");
    }
  }
  Log("\r\n" + success + "\r\n" + where);
  if (!warnings_.empty()) {
    // Said again at the very end, where a player looks, so that a warning from minutes ago
    // is not taken for a clean result.
    Log("\r\n" + GetLangText("PatchingCompletedWithWarnings"));
    for (const std::string& warning : warnings_) Log(warning);
  }
  succeeded_.store(true);
  return true;
}

bool TInstall::BuildOutput(fs::path& written) {
  if (!RunStage(&TInstall::RebuildExeFS, 62) || !Checkpoint()) return false;
  Progress(62);
  if (!RunStage(&TInstall::RebuildRomFS, 74) || !Checkpoint()) return false;
  DiscardWorkFiles({"tools\\temp\\romfs"});
  Progress(74);

  const std::string kind = OutputKind(FOutPath);
  // A CXI output is the last image built; a CIA or 3DS image is built from it afterwards.
  if (!RunStage(&TInstall::RebuildCXI, kind == ".cxi" ? 96 : 86)) return false;
  DiscardWorkFiles({"tools\\temp\\exefs.bin", "tools\\temp\\romfs.bin"});
  if (kind != ".cxi") {
    if (!Checkpoint()) return false;
    Progress(86);
    if (!RunStage(kind == ".cia" ? &TInstall::RebuildCIA : &TInstall::Rebuild3DS, 96)) return false;
    DiscardWorkFiles({"tools\\temp\\Partition0.cxi"});
  }
  Progress(96);
  written = FImagePath;
  if (!CheckOutput(written)) return false;
  return true;
}

bool TInstall::PreparePatch() {
  if (FPatchDir.empty()) return true;
  const auto mod = ReadModPatch(FPatchDir);
  if (!mod) return true;
  // Laid out in the work folder the way every step reads a patch, the mod folder goes through
  // the same steps and the same check of the new image as any other patch.
  const fs::path prepared = WorkPath("tools\\temp\\patch");
  std::vector<fs::path> links;
  const auto refusal = PrepareModPatch(*mod, FRomPath, prepared, &links);
  for (const fs::path& link : links) LogWarning("WarningSkippedLink", PathToUtf8(link));
  if (refusal) {
    Log("\r\n" + FormatText(refusal->key.c_str(), {refusal->detail}));
    return false;
  }
  for (const std::string& ignored : mod->ignored) LogWarning("WarningModFileIgnored", ignored);
  FPatchDir = prepared;
  if (!mod->exheader.empty()) patchExheader_ = prepared / "exheader.bin";
  return true;
}

bool TInstall::UnpackRomFS() {
  LogKey("UnpackingRomFS");
  ExpectGrowth({WorkPath("tools\\temp\\romfs")}, SizeOf(WorkPath("tools\\temp\\romfs.bin")));
  const std::uint32_t code =
      Run(F3dstool, "-xtf romfs " + Arg("tools\\temp\\romfs.bin") + " --romfs-dir " + Arg("tools\\temp\\romfs"));
  if (code == kExitInterrupted) {
    LogKeyAfterBreak("InstallCanceled");
    return false;
  }
  if (code == 0) {
    LogKey("Done");
    return true;
  }
  LogKeyAfterBreak(code == 1 ? "ErrorUnpackingRomFS" : "Unk3dstoolError");
  LogToolReason();
  return false;
}

bool TInstall::ExtractExeFSHeaders() {
  LogKey("ExtractingExeFSHeaders");
  const std::string rest = Arg("tools\\temp\\exefs.bin") + " --exefs-dir " + Arg("tools\\temp\\exefs") +
                           " --header " + Arg("tools\\temp\\headers\\exefsheader.bin");
  std::uint32_t code = Run(F3dstool, "-xutf exefs " + rest);
  if (code == 1) {
    // Some images keep .code uncompressed; extracting without decompression then succeeds.
    code = Run(F3dstool, "-xtf exefs " + rest);
  }
  if (code == 0) {
    LogKey("Done");
    return true;
  }
  LogKeyAfterBreak(code == 1 ? "ErrorExtractingExeFSHeaders" : "Unk3dstoolError");
  LogToolReason();
  return false;
}

bool TInstall::ReplaceExeFS() {
  LogKey("ReplacingExeFS");
  if (!FolderExists(FPatchDir / "exefs")) return true;
  if (!CopyPatchFolder(FPatchDir / "exefs", WorkPath("tools\\temp"))) {
    LogKeyAfterBreak("ErrorCopyingExeFsFolder");
    return false;
  }
  LogKey("Done");
  return true;
}

bool TInstall::ReplaceRomFS() {
  LogKey("ReplacingRomFS");
  if (!FolderExists(FPatchDir / "romfs")) return true;
  if (!CopyPatchFolder(FPatchDir / "romfs", WorkPath("tools\\temp"))) {
    LogKeyAfterBreak("ErrorCopyingRomFsFolder");
    return false;
  }
  LogKey("Done");
  return true;
}

bool TInstall::ReplaceExheader() {
  LogKey("ReplacingExheader");
  // The image's is extracted with its access descriptor, which the rebuild needs; a patch's
  // 0x400 bytes replace only the part before it.
  const fs::path extracted = WorkPath("tools\\temp\\headers\\exheader.bin");
  auto bytes = ctr::ReadWholeFile(extracted);
  auto replacement = bytes ? ctr::ReadWholeFile(patchExheader_) : bytes.status();
  ctr::Status status = replacement.status();
  if (replacement && replacement->size() > bytes->size()) {
    status = ctr::Status::Error(PathToUtf8(extracted) + " is shorter than exheader.bin");
  } else if (replacement) {
    std::copy(replacement->begin(), replacement->end(), bytes->begin());
    status = ctr::WriteWholeFile(extracted, *bytes);
  }
  if (!status) {
    Log("\r\n" + FormatText("ErrorWritingWorkFiles", {status.message()}));
    return false;
  }
  LogKey("Done");
  return true;
}

bool TInstall::RebuildExeFS() {
  return RunToolStep("RebuildingExeFS", F3dstool,
                     "-cztf exefs " + Arg("tools\\temp\\exefs.bin") + " --exefs-dir " + Arg("tools\\temp\\exefs") +
                         " --header " + Arg("tools\\temp\\headers\\exefsheader.bin"),
                     "ErrorRebuildingExeFS", ErrorLine::Plain, "Unk3dstoolError");
}

bool TInstall::RebuildRomFS() {
  ExpectGrowth(WithPartFile(WorkPath("tools\\temp\\romfs.bin")), SizeOf(WorkPath("tools\\temp\\romfs")));
  return RunToolStep("RebuildingRomFS", F3dstool,
                     "-ctf romfs " + Arg("tools\\temp\\romfs.bin") + " --romfs-dir " + Arg("tools\\temp\\romfs"),
                     "ErrorRebuildingRomFS", ErrorLine::Plain, "Unk3dstoolError");
}

bool TInstall::RebuildCXI() {
  LogKey("RebuildingCXI");
  const bool last = OutputKind(FOutPath) == ".cxi";
  const std::string target = last ? Quote(PathToUtf8(FImagePath)) : Arg("tools\\temp\\Partition0.cxi");
  const fs::path targetPath = last ? FImagePath : WorkPath("tools\\temp\\Partition0.cxi");
  ExpectGrowth(WithPartFile(targetPath),
               SizeOf(WorkPath("tools\\temp\\exefs.bin")) + SizeOf(WorkPath("tools\\temp\\romfs.bin")));
  const std::string arguments = "-cvtf cxi " + target + " --header " + Arg("tools\\temp\\headers\\ncchheader.bin") +
                                " --exh " + Arg("tools\\temp\\headers\\exheader.bin") + " --exefs " +
                                Arg("tools\\temp\\exefs.bin") + " --romfs " + Arg("tools\\temp\\romfs.bin") +
                                " --logo " + Arg("tools\\temp\\headers\\logo.bin");
  const std::uint32_t code = Run(F3dstool, arguments);
  if (code == 0) {
    LogKey("Done");
    return true;
  }
  if (code == 1) {
    LogKey("ErrorRebuildingCXI");
  } else {
    LogKeyAfterBreak("Unk3dstoolError");
  }
  LogToolReason();
  return false;
}

bool TInstall::RebuildCIA() {
  ExpectGrowth(WithPartFile(FImagePath), SizeOf(WorkPath("tools\\temp\\Partition0.cxi")));
  return RunToolStep("RebuildingCIA", FMakerom,
                     "-f Cia -content " + Arg("tools\\temp\\Partition0.cxi") + ":0:0x00 -o " + Quote(PathToUtf8(FImagePath)),
                     "ErrorRebuildingCIA", ErrorLine::Plain, "UnkMakeromError");
}

bool TInstall::Rebuild3DS() {
  ExpectGrowth(WithPartFile(FImagePath), SizeOf(WorkPath("tools\\temp\\Partition0.cxi")));
  return RunToolStep("Rebuilding3DS", F3dstool,
                     "-ctf 3ds " + Quote(PathToUtf8(FImagePath)) + " --header " +
                         Arg("tools\\temp\\headers\\mainncchheader.bin") + " -0 " + Arg("tools\\temp\\Partition0.cxi"),
                     "ErrorRebuilding3DS", ErrorLine::Plain, "Unk3dstoolError");
}

std::unique_ptr<TInstall> CreateInstallJob(const std::string& inputKind, TInstallHost& host,
                                           TInstallSettings settings) {
  if (settings.modFolder) return std::make_unique<TInstallMods>(host, std::move(settings));
  const std::string kind = Lower(inputKind);
  if (kind == ".cia") return std::make_unique<TInstallCIA>(host, std::move(settings));
  if (kind == ".3ds") return std::make_unique<TInstall3DS>(host, std::move(settings));
  if (kind == ".cxi") return std::make_unique<TInstallCXI>(host, std::move(settings));
  return nullptr;
}

}  // namespace qpt
