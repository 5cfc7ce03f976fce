// The delta step: the digests of the archives the patch was made for, worked out from the
// input on the second core, then the delta applied to the extracted archive.
#include <future>

#include "core/common/Common.h"
#include "core/install/Install.h"
#include "core/rom/ImageFiles.h"

namespace qpt {

namespace fs = std::filesystem;

void TInstall::StartInputPass() {
  std::vector<TInputPass::TRange> ranges;
  if (!FPatchDir.empty() && FileExists(FPatchDir / "patch.xdelta")) {
    // Found through the image's own file table, the bytes the extraction copies out.
    TImageFiles image;
    if (image.Open(FRomPath)) {
      const std::pair<const std::string&, const char*> archives[] = {{FOriginalPackDatMD5, "pack.dat"},
                                                                     {FOriginalPackIncMD5, "pack.inc"}};
      for (std::size_t i = 0; i < 2; ++i) {
        if (archives[i].first.empty()) continue;
        if (const auto entry = image.Find(archives[i].second)) {
          passRange_[i] = ranges.size();
          ranges.push_back({entry->offset, entry->size});
        }
      }
    }
  }
  if (settings_.writeReceipt || !ranges.empty()) {
    // A mod folder's run uses the archive's digest within seconds, to accept the delta decoded
    // meanwhile; the whole image's is wanted only for the receipt at the end, and is worked out
    // while the folder is written.
    inputPass_.Start(FRomPath, settings_.writeReceipt, std::move(ranges), settings_.hooks.inputPassStarts,
                     settings_.modFolder);
  }
}

std::string TInstall::ArchiveMD5(std::size_t which, const fs::path& workFile) {
  if (passRange_[which]) {
    std::string digest = inputPass_.Md5(*passRange_[which]);
    if (!digest.empty()) return digest;
  }
  return FileMD5(workFile);
}

bool TInstall::ApplyXdelta() {
  const struct {
    const std::string& expected;
    std::string& computed;
    const char* file;
    const char* startKey;
    const char* errorKey;
    const char* errorPrefix;
  } checks[] = {
      {FOriginalPackDatMD5, FPackDatMD5, "tools\\temp\\romfs\\pack.dat", "CheckingMD5PackDat",
       "ErrorCheckingMD5PackDat", "\r\n\r\n"},
      {FOriginalPackIncMD5, FPackIncMD5, "tools\\temp\\romfs\\pack.inc", "CheckingMD5PackInc",
       "ErrorCheckingMD5PackInc", "\r\n"},
  };
  const fs::path packDat = WorkPath("tools\\temp\\romfs\\pack.dat");
  const fs::path oldPackDat = WorkPath("tools\\temp\\old_pack.dat");
  // The extracted archive, moved aside, gets the patch's own delta with the line patches have
  // always been applied with: its last quote has no partner on purpose, as the command-line
  // rules drop it. A mod folder's run may instead give xdelta the image itself as the source,
  // and then a source window of 32 MiB rather than its 64: the image is a file it can read
  // again where a copy reaches further back, and xdelta stays within the memory of the tools.
  const bool onImage = !deltaOnImage_.empty();
  const std::string arguments =
      onImage ? "-d -B 33554432 -s " + Quote(PathToUtf8(FRomPath)) + " " + Quote(PathToUtf8(deltaOnImage_)) + " " +
                    Arg("tools\\temp\\romfs\\pack.dat")
              : "-d -s " + Arg("tools\\temp\\old_pack.dat") + " " + Quote(PathToUtf8(FPatchDir / "patch.xdelta")) + " " +
                    Arg("tools\\temp\\romfs\\pack.dat") + "\"";
  const auto moveAside = [&] { return onImage || RenameFile(packDat, oldPackDat); };
  // Once the source is in place: the bar then follows the new archive's growth.
  const auto decodingStarts = [&] {
    Progress(36);
    ExpectGrowth({packDat}, onImage ? deltaSourceSize_ : SizeOf(oldPackDat));
  };

  // When the digests are still being worked out from the input (a run that read little before
  // this step), the delta is decoded on this core meanwhile; what it made is used only once
  // the digests match, and is left to the work folder's removal otherwise.
  if (settings_.hooks.deltaStepStarts) {
    settings_.hooks.deltaStepStarts([this] {
      for (const auto& range : passRange_) {
        if (range) inputPass_.Md5(*range);
      }
    });
  }
  std::future<std::uint32_t> early;
  if ((passRange_[0] && !inputPass_.Md5Ready(*passRange_[0])) && moveAside()) {
    decodingStarts();
    early = std::async(std::launch::async, [this, arguments] { return Run(FXdelta, arguments); });
  }
  const auto settle = [&early] {
    if (early.valid()) early.wait();
  };

  for (std::size_t i = 0; i < 2; ++i) {
    const auto& check = checks[i];
    if (check.expected.empty()) continue;
    LogKey(check.startKey);
    try {
      check.computed = ArchiveMD5(i, WorkPath(i == 0 && early.valid() ? "tools\\temp\\old_pack.dat" : check.file));
    } catch (const std::exception&) {
      settle();
      Log(check.errorPrefix + GetLangText(check.errorKey) + "\r\n");
      return false;
    }
    if (check.computed == check.expected) {
      LogKey("MD5Matched");
    } else {
      settle();
      Log("Orig MD5: " + check.expected);
      Log("This MD5: " + check.computed);
      LogKeyAfterBreak("MD5NotMatched");
      return false;
    }
  }

  if (early.valid()) {
    LogKey("ApplyingXdelta");
    if (!EndToolStep(early.get(), "ErrorApplyingXdelta", ErrorLine::AfterBreak, "UnkXdeltaError")) return false;
  } else {
    if (!moveAside()) {
      LogKeyAfterBreak("ErrorMovingPackDat");
      return false;
    }
    if (!Checkpoint()) return false;
    decodingStarts();
    if (!RunToolStep("ApplyingXdelta", FXdelta, arguments, "ErrorApplyingXdelta", ErrorLine::AfterBreak,
                     "UnkXdeltaError")) {
      return false;
    }
  }
  if (!Checkpoint()) return false;
  Progress(stageEnd_);
  return onImage || DeleteWorkFiles({"tools\\temp\\old_pack.dat"});
}

}  // namespace qpt
