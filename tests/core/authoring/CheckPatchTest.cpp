// The check of a patch folder finds each kind of fault it names, and nothing in a clean one.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "core/authoring/CheckPatch.h"
#include "core/common/Common.h"
#include "core/install/InstallMods.h"
#include "core/install/PackDat.h"
#include "core/localization/Language.h"
#include "support/AppFolder.h"
#include "support/GameImages.h"
#include "support/RecordingHost.h"
#include "support/TempDir.h"

namespace qpt {
namespace {

namespace fs = std::filesystem;

const TGameRow& TrilogyRow() {
  for (const TGameRow& row : IdentificationTable()) {
    if (std::string(row.gameCode) == "AAT" && row.regionIndex == 2) return row;
  }
  throw std::logic_error("no trilogy row");
}

std::string Md5Of(const test::Bytes& bytes, const fs::path& scratch) {
  test::WriteBytes(scratch, bytes);
  return FileMD5(scratch);
}

TEST(CheckPatch, EachFaultIsFoundWithItsFileAndNothingInACleanPatch) {
  test::TempDir work{"check"};
  const auto image = test::BuildGameImage(TrilogyRow(), ".cxi", work / "in.cxi", work / "build");
  const std::string datMD5 = Md5Of(image.pack->dat, work / "md5"), incMD5 = Md5Of(image.pack->inc, work / "md5");
  const auto descriptor = [&](const std::string& title, const std::string& dat) {
    return "Game=AAT\r\nRegion=USA\r\nTitle=\"" + title + "\"\r\nOriginalPackDatMD5=" + dat +
           "\r\nOriginalPackIncMD5=" + incMD5 + "\r\n";
  };
  const test::AppFolder app{test::AppFolder::RealTools{}};
  // The installation's lines in brackets; the check's own in English, which the cases quote.
  TLangList lang = test::BracketLanguage();
  TLangList english;
  ASSERT_TRUE(LoadLanguage("English", english, app.path()));
  std::vector<std::string> tokens = lang.Tokens();
  tokens.insert(tokens.end(), english.Tokens().begin(), english.Tokens().end());
  lang.SetTokens(std::move(tokens));
  TCheckPatchSettings settings;
  settings.patchDir = work / "patch";
  settings.image = image.path;
  settings.folders = app.path();
  settings.lang = &lang;
  settings.scratchRoot = work / "scratch";
  fs::create_directory(settings.scratchRoot);
  const std::string id = ModTitleFolderName(0x0004000000000000ull | TrilogyRow().programIdLow);
  // The folder as a mod folder instead: a title folder and nothing of the descriptor form.
  const auto mod = [&](const fs::path& p, const std::string& title, const std::string& file, const std::string& bytes) {
    DeleteFolder(p);
    test::WriteFile(p / title / "romfs/text/new.txt", "new");
    if (!file.empty()) test::WriteFile(p / title / PathFromUtf8(file), bytes);
  };
  const std::string entryCount = PackEntryFileName(static_cast<std::int64_t>(image.pack->entries.size()), ".bin");

  const struct {
    const char* fault;
    std::function<void(const fs::path&)> make;
    bool error;
    std::string file, says;
  } cases[] = {
      {"none", [](const fs::path&) {}, false, "", ""},
      {"wrong digest", [&](const fs::path& p) { test::WriteFile(p / "English.dsc", "\xEF\xBB\xBF" + descriptor("T", std::string(32, '0'))); },
       true, "English.dsc", "OriginalPackDatMD5 is 00000000000000000000000000000000, the image's pack.dat has " + datMD5},
      {"cp1251 descriptor",
       [&](const fs::path& p) {
         RemoveFile(p / "English.dsc");
         test::WriteFile(p / PathFromUtf8("Русский.dsc"), descriptor("\xCF\xE5\xF0\xE5\xE2\xEE\xE4", datMD5));
       },
       false, "Русский.dsc", "reads as Windows-1251, title \"Перевод\""},
      {"overlong track key",
       [](const fs::path& p) { test::WriteFile(p / "TrackListAAT.tls", "TrackCount:1\r\n" + std::string(25, 'K') + ":\"A title\":0\r\n"); },
       true, "TrackListAAT.tls", "is 25 bytes; at most 24 fit"},
      {"misnamed voice file", [](const fs::path& p) { test::WriteFile(p / "voice/ENG/3_BCWAV/001.wav", "RIFF"); }, false,
       "voice/ENG/3_BCWAV/001.wav", "is never used"},
      {"pack entry out of range", [&](const fs::path& p) { test::WriteFile(p / "pack_dat" / entryCount, "entry"); }, true,
       "pack_dat/" + entryCount, "out of range"},
      // Found only by installing the patch on trial.
      {"delta that cannot be applied", [](const fs::path& p) { test::WriteFile(p / "patch.xdelta", "no delta at all"); },
       true, "", test::L("ErrorApplyingXdelta")},
      {"program file a mod folder cannot carry", [](const fs::path& p) { test::WriteFile(p / "exefs/banner.bnr", "a banner"); },
       false, "", test::L("WarningModExeFsLeftOut") + " banner.bnr"},
      {"clean mod folder", [&](const fs::path& p) { mod(p, id, "code.ips", std::string("PATCH\x00\x01\x23\x00\x01\x5A" "EOF", 14)); },
       false, "", ""},
      {"mod folder with a stray file", [&](const fs::path& p) { mod(p, id, "notes.txt", "notes"); }, true, id,
       "notes.txt"},
      {"mod folder of another title", [&](const fs::path& p) { mod(p, "0004000000ABCD00", "", ""); }, true,
       "0004000000ABCD00", "the image's is " + id},
      {"mod folder whose program patch does not fit", [&](const fs::path& p) { mod(p, id, "code.ips", std::string("PATCH\x00\x01", 7)); },
       true, "", "<ErrorProgramPatch:code.ips"},
  };
  const auto names = [](const fs::path& folder) {
    std::vector<std::string> found;
    for (const auto& entry : fs::directory_iterator(folder)) found.push_back(PathToUtf8(entry.path().filename()));
    std::sort(found.begin(), found.end());
    return found;
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault);
    const fs::path patch = work / "patch";
    DeleteFolder(patch);
    // A clean patch of every part the check reads.
    test::WriteFile(patch / "English.dsc", "\xEF\xBB\xBF" + descriptor("Clean", datMD5));
    test::WriteFile(patch / "TrackListAAT.tls", "TrackCount:1\r\nBGM001:\"A title\":0\r\n");
    test::WriteFile(patch / "voice/ENG/3_BCWAV/001.bcwav", "CWAV");
    test::WriteFile(patch / "pack_dat/00001.bin", "entry");
    c.make(patch);
    const auto besidePatch = names(work.path());
    const std::vector<TPatchProblem> problems = CheckPatch(settings);
    EXPECT_EQ(names(work.path()), besidePatch) << "nothing is written beside the image or the patch";
    EXPECT_TRUE(fs::is_empty(settings.scratchRoot)) << "the trial's scratch folder goes";
    if (c.says.empty()) {
      EXPECT_TRUE(problems.empty()) << problems.front().file << ": " << problems.front().text;
      continue;
    }
    ASSERT_EQ(problems.size(), 1u) << (problems.empty() ? "" : problems.front().file + ": " + problems.front().text);
    EXPECT_EQ(problems[0].error, c.error);
    EXPECT_EQ(problems[0].file, c.file);
    EXPECT_NE(problems[0].text.find(c.says), std::string::npos) << problems[0].text;
  }

  // Another game's image: checked against a mod folder for it, refused for a descriptor patch.
  const auto other =
      test::BuildGameImage({0x00ABCD00, "", "", 0, 0, "", -1}, ".cxi", work / "other.cxi", work / "build");
  settings.image = other.path;
  mod(settings.patchDir, "0004000000ABCD00", "code.ips", std::string("PATCH\x00\x01\x23\x00\x01\x5A" "EOF", 14));
  std::vector<TPatchProblem> problems = CheckPatch(settings);
  EXPECT_TRUE(problems.empty()) << problems.front().file << ": " << problems.front().text;
  DeleteFolder(settings.patchDir);
  test::WriteFile(settings.patchDir / "English.dsc", "\xEF\xBB\xBF" + descriptor("Clean", datMD5));
  problems = CheckPatch(settings);
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_NE(problems[0].text.find("is no decrypted image of a game this program knows"), std::string::npos);
}

}  // namespace
}  // namespace qpt
