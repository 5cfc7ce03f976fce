// Whole installations with our real container tools and xdelta3 on synthetic game images:
// every input kind to every output kind, and the full patch of the two music games.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <set>
#include <system_error>
#include <thread>
#ifndef _WIN32
#include <unistd.h>
#endif

#include "core/authoring/MakePatch.h"
#include "core/common/Common.h"
#include "core/common/Volume.h"
#include "core/install/InstallMods.h"
#include "core/install/ModFolderCheck.h"
#include "core/install/OutputCheck.h"
#include "core/install/Receipt.h"
#include "core/music/BuiltinResources.h"
#include "core/music/TrackLists.h"
#include "core/rom/ImageFiles.h"
#include "core/steps/StepState.h"
#include "ctr/Ncch.h"
#include "ctr/PatchFormats.h"
#include "support/AppFolder.h"
#include "support/GameImages.h"
#include "support/ImageFiles.h"
#include "support/RecordingHost.h"

namespace qpt {
namespace {

namespace fs = std::filesystem;

const TGameRow& Row(const std::string& code, std::uint8_t region = 2) {
  for (const TGameRow& row : IdentificationTable()) {
    if (row.gameCode == code && row.regionIndex == region) return row;
  }
  throw std::logic_error("no such row");
}

class EndToEnd : public ::testing::Test {
 protected:
  struct Run {
    std::vector<std::string> lines;
    test::ImageContents out;
  };
  Run Install(const test::GameImage& image, const fs::path& patchDir, const std::string& outName,
              const TTrackList* list = nullptr, int voice = 0, bool receipt = false,
              const std::function<void(TInstallSettings&)>& adjust = {}) {
    test::RecordingHost host;
    host.voiceIndex = voice;
    TInstallSettings s;
    s.folders = app.path();
    s.patchDir = patchDir;
    s.romPath = image.path;
    s.outPath = app / outName;
    s.game = TGame::FromCode(image.row.gameCode);
    s.lang = &lang;
    s.trackList = list;
    s.writeReceipt = receipt;
    s.receiptFacts = MakeReceiptFacts(image.row.gameIndex, image.row.regionIndex, "The Patch", voice, list, lang);
    // A mod folder has no descriptor.
    const std::string descriptor = fs::exists(patchDir / "English.dsc") ? test::ReadFile(patchDir / "English.dsc") : "";
    const auto value = [&](const std::string& key) {
      const auto at = descriptor.find(key + "=\"");
      return at == std::string::npos ? std::string() : descriptor.substr(at + key.size() + 2, 32);
    };
    if (!descriptor.empty() && value("OriginalPackDatMD5").find('"') == std::string::npos) {
      s.originalPackDatMD5 = value("OriginalPackDatMD5");
      s.originalPackIncMD5 = value("OriginalPackIncMD5");
    }
    if (adjust) adjust(s);
    auto job = CreateInstallJob(image.kind, host, s);
    if (onJob) onJob(*job, host);
    job->Execute();
    Run run{host.Lines(), {}};
    if (s.modFolder) return run;
    const fs::path written = RemoveExtension(app / outName).concat(OutputKind(app / outName));
    if (fs::exists(written)) run.out = test::ReadImageContents(written);
    return run;
  }
  // Runs the mod-folder kind into DIR = app/mods.
  Run InstallMods(const test::GameImage& image, const fs::path& patchDir, const TTrackList* list = nullptr,
                  int voice = 0, bool replace = false) {
    return Install(image, patchDir, "mods", list, voice, true, [&](TInstallSettings& s) {
      s.modFolder = true;
      s.replaceModFolder = replace;
    });
  }
  // Every file and folder below a folder with its bytes ("" for a folder), to tell that a
  // folder was left exactly as it was.
  static std::map<std::string, std::string> Snapshot(const fs::path& folder) {
    std::map<std::string, std::string> tree;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
      tree[GenericUtf8(entry.path().lexically_relative(folder))] =
          entry.is_directory() ? "" : test::ReadFile(entry.path());
    }
    return tree;
  }
  std::function<void(TInstall&, test::RecordingHost&)> onJob;
  test::AppFolder app{test::AppFolder::RealTools{}};
  test::TempDir work{"e2e"};
  TLangList lang = test::BracketLanguage();
};

TEST_F(EndToEnd, EveryInputKindToEveryOutputKind) {
  // Names a player may well have: quotes, backslashes, apostrophes, dollars, blanks and letters
  // beyond ASCII all reach the tools intact. The last CIA's first content has an ID other than
  // 0, as other builders give it.
  const struct {
    const char* kind;
    const char* outName;
    std::uint32_t contentId;
  } cases[] = {{".cia", "out.cia", 0},      {".cia", "out.cxi", 0},     {".cxi", "out.cia", 0},
               {".cxi", "out.cxi", 0},      {".3ds", "out.3ds", 0},     {".3ds", "out.cia", 0},
               {".3ds", "out.cxi", 0},      {".cia", "out.cia", 0x7926fc67}};
#ifdef _WIN32
  const std::string odd = "my 'clean' it's $HOME Ünï ";  // Windows names hold no quote or backslash
#else
  const std::string odd = "my \"clean\" \\ it's $HOME Ünï ";
#endif
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.kind) + " -> " + c.outName + " " + std::to_string(c.contentId));
    const auto image = test::BuildGameImage(Row("AA5"), c.kind, work / (odd + "in" + c.kind), work / "build", c.contentId);
    const auto before = test::FileSha256(image.path);
    const auto patch = test::BuildGamePatch(image, work / (odd + "patch"));
    const std::string outName = odd + c.outName;
    const Run run = Install(image, patch.folder, outName);
    ASSERT_FALSE(run.lines.empty());
    EXPECT_EQ(run.lines.back(), "[" + PathToUtf8(app / outName) + "]");
    EXPECT_EQ(test::CheckInstalledImage(image, patch, run.out, -1, {}), "");
    EXPECT_EQ(test::FileSha256(image.path), before) << "the input image must never change";
    fs::remove_all(patch.folder);
    fs::remove(app / outName);
  }
}

TEST_F(EndToEnd, AnUnchangedRebuildKeepsEveryFile) {
  const auto image = test::BuildGameImage(Row("AA6"), ".cia", work / "in.cia", work / "build");
  const Run run = Install(image, {}, "same.cia");
  EXPECT_TRUE(run.out.verified) << run.out.problem;
  EXPECT_TRUE(run.out.romfs == image.romfs);
  EXPECT_TRUE(run.out.code == image.code);
}

class MusicGameEndToEnd : public EndToEnd, public ::testing::WithParamInterface<const char*> {};

TEST_P(MusicGameEndToEnd, DeltaPackEntriesVoicesAndMusicLandInTheImage) {
  const std::string code = GetParam();
  const auto image = test::BuildGameImage(Row(code), ".cia", work / "in.cia", work / "build");
  const auto patch = test::BuildGamePatch(image, work / "my patch");
  // The player picked other music for two scenes.
  TTrackList list;
  ASSERT_EQ(list.Create(image.path, code, IdentifyRom(image.path).soundInfoPos, {}).status, TTrackListStatus::Ok);
  list.SetSelected(0, code == "AAT" ? "Objection! 2004" : "Objection! 2001");
  list.SetSelected(1, code == "AAT" ? "Court Begins 2001" : "Court Begins 2001");
  list.MusicChanged = true;
  const Run run = Install(image, patch.folder, "out.cia", &list, 2);
  ASSERT_FALSE(run.lines.empty());
  EXPECT_EQ(run.lines.back(), "[" + PathToUtf8(app / "out.cia") + "]");
  const std::map<int, std::string> keys = code == "AAT" ? std::map<int, std::string>{{0, "BGM121"}, {1, "BGM013"}}
                                                         : std::map<int, std::string>{{0, "BGM54"}, {1, "BGM46"}};
  EXPECT_EQ(test::CheckInstalledImage(image, patch, run.out, 2, keys), "");
}

INSTANTIATE_TEST_SUITE_P(Games, MusicGameEndToEnd, ::testing::Values("AAT", "AA4"));

class ModFolderEndToEnd : public EndToEnd, public ::testing::WithParamInterface<const char*> {};

TEST_P(ModFolderEndToEnd, LaidOverTheInputItGivesTheTreeOfTheRebuiltImage) {
  const std::string code = GetParam();
  const auto image = test::BuildGameImage(Row(code), ".cia", work / "in.cia", work / "build");
  const auto before = test::FileSha256(image.path);
  const auto patch = test::BuildGamePatch(image, work / "my patch");
  TTrackList list;
  if (image.sound) {
    ASSERT_EQ(list.Create(image.path, code, IdentifyRom(image.path).soundInfoPos, {}).status, TTrackListStatus::Ok);
    list.SetSelected(0, code == "AAT" ? "Objection! 2004" : "Objection! 2001");
    list.SetSelected(1, "Court Begins 2001");
    list.MusicChanged = true;
  }
  const Run full = Install(image, patch.folder, "out.cia", &list, 2);
  ASSERT_EQ(full.lines.back(), "[" + PathToUtf8(app / "out.cia") + "]");
  fs::create_directory(app / "mods");
  // A loader takes no banner from a mod folder: the run says so at the end and goes on.
  test::WriteFile(patch.folder / "exefs" / "banner.bnr", "a banner");
  // A file the patch carries exactly as the image has it is no change, and stays out.
  const auto same = std::find_if(image.romfs.begin(), image.romfs.end(), [&](const auto& file) {
    return file.first.rfind("text/", 0) == 0 && !fs::exists(patch.folder / "romfs" / PathFromUtf8(file.first));
  });
  ASSERT_NE(same, image.romfs.end());
  test::WriteBytes(patch.folder / "romfs" / PathFromUtf8(same->first), same->second);
#ifndef _WIN32
  // A delta compressed as a whole, which the system's xdelta3 unpacks on its own, cannot be
  // pointed into the image: the archive is extracted for it instead.
  if (code == "AA4") {
    const fs::path delta = patch.folder / "patch.xdelta";
    ASSERT_EQ(std::system(("gzip -n -f '" + PathToUtf8(delta) + "'").c_str()), 0);
    fs::rename(fs::path(delta) += ".gz", delta);
  }
#endif
  const Run mods = InstallMods(image, patch.folder, &list, 2);
  const fs::path title = app / "mods" / ModTitleFolderName(0x0004000000000000ULL | image.row.programIdLow);
  ASSERT_GE(mods.lines.size(), 5u);
  EXPECT_EQ(std::vector<std::string>(mods.lines.end() - 5, mods.lines.end()),
            (std::vector<std::string>{"[" + PathToUtf8(title) + "]", "", test::L("PatchingCompletedWithWarnings"),
                                      test::L("WarningModExeFsLeftOut"), "banner.bnr"}));
  EXPECT_EQ(test::FileSha256(image.path), before) << "the input image must never change";

  std::map<std::string, test::Bytes> laidOver = image.romfs;
  std::set<std::string> written;
  for (const auto& entry : fs::recursive_directory_iterator(title / "romfs")) {
    if (!entry.is_regular_file()) continue;
    const std::string path = GenericUtf8(entry.path().lexically_relative(title / "romfs"));
    laidOver[path] = test::ReadBytes(entry.path());
    written.insert(path);
    EXPECT_FALSE(image.romfs.count(path) && image.romfs.at(path) == laidOver[path]) << path << " is unchanged";
  }
  // A folder can add and replace files but not take one away: the fourth game's music step
  // renames the streams it plays, and the old names stay readable beside the new ones.
  for (auto it = laidOver.begin(); it != laidOver.end();) {
    it = !full.out.romfs.count(it->first) && it->first.find(".dspadpcm.") != std::string::npos ? laidOver.erase(it)
                                                                                                 : std::next(it);
  }
  EXPECT_TRUE(laidOver == full.out.romfs);
  EXPECT_EQ(test::ReadBytes(title / "code.bin"), full.out.code);
  std::set<std::string> top;
  for (const auto& entry : fs::directory_iterator(title)) top.insert(PathToUtf8(entry.path().filename()));
  EXPECT_EQ(top, (std::set<std::string>{"code.bin", "romfs"}));
  std::set<std::string> beside;
  for (const auto& entry : fs::directory_iterator(app / "mods")) beside.insert(PathToUtf8(entry.path().filename()));
  EXPECT_EQ(beside, (std::set<std::string>{PathToUtf8(title.filename()), PathToUtf8(title.filename()) + ".txt"}));
  const std::string receipt = test::ReadFile(app / "mods" / (PathToUtf8(title.filename()) + ".txt"));
  for (const std::string& path : written) {
    EXPECT_NE(receipt.find(test::FileSha256(title / "romfs" / PathFromUtf8(path)) + "  romfs/" + path), std::string::npos) << path;
  }
  EXPECT_NE(receipt.find(test::FileSha256(title / "code.bin") + "  code.bin"), std::string::npos);
}

TEST_P(ModFolderEndToEnd, APatchMadeFromATranslatedTreeInstallsExactlyThatTree) {
  const std::string code = GetParam();
  const auto image = test::BuildGameImage(Row(code), ".cia", work / "in.cia", work / "build");
  const std::string id = ModTitleFolderName(0x0004000000000000ULL | image.row.programIdLow);
  // The author's tree: every file as extracted but one left out (an author may hand in only
  // what changed), a changed and a new file, a changed program that outgrows the image's
  // extended header and, where the game has one, a pack archive whose entries grew and changed.
  std::map<std::string, test::Bytes> translated = image.romfs;
  const auto bytes = [](const std::string& text) { return test::Bytes(text.begin(), text.end()); };
  translated["text/message.txt"] = bytes("Переведённый текст игры");
  translated["text/новое/added.txt"] = test::PatternBytes(0x301, 0x11223344);
  if (image.pack) {
    test::Bytes dat = image.pack->dat;
    dat[0x10] ^= 0xFF;
    const test::Bytes grown = test::PatternBytes(0x1F3, 7);
    dat.insert(dat.begin() + 0x40, grown.begin(), grown.end());
    translated["pack.dat"] = dat;
  }
  const fs::path tree = work / "translated";
  for (const auto& [path, content] : translated) {
    if (path != "text/sub/model.bin") test::WriteBytes(tree / PathFromUtf8(path), content);
  }
  test::Bytes newCode = image.code;
  newCode[0x123] ^= 0x5A;
  newCode.insert(newCode.end(), {0x11, 0x22, 0x33});
  test::WriteBytes(tree / "exefs" / "code.bin", newCode);
  // An ExeFS file just as the image has it is no change, and stays out of the patch.
  TImageFiles imageFiles;
  ASSERT_TRUE(imageFiles.Open(image.path).ok());
  const auto exefs = imageFiles.ExeFsFiles();
  ASSERT_TRUE(exefs.ok() && exefs->count("icon.icn")) << "the image has an icon";
  test::WriteBytes(tree / "exefs" / "icon.icn", exefs->at("icon.icn"));

  // The same tree as a patch folder with descriptor and as a mod folder.
  for (const bool modForm : {false, true}) {
    SCOPED_TRACE(modForm ? "mod folder" : "descriptor");
    TMakePatchSettings settings;
    settings.folders = app.path();
    settings.image = image.path;
    settings.from = tree;
    settings.out = work / (modForm ? "made mod" : "made patch");
    settings.title = "Round \"trip\"";
    settings.modFolder = modForm;
    const TMakePatchResult made = MakePatch(settings);
    ASSERT_TRUE(made.ok()) << made.error;
    std::set<std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(settings.out)) {
      if (entry.is_regular_file()) files.insert(GenericUtf8(entry.path().lexically_relative(settings.out)));
    }
    // A mod folder carries the program as a patch, and pack.dat whole, as loaders replace files.
    const std::string romfs = modForm ? id + "/romfs/" : "romfs/";
    std::set<std::string> expected{romfs + "text/message.txt", romfs + "text/новое/added.txt"};
    if (modForm) {
      expected.insert({"readme.txt", id + "/code.bps", id + "/exheader.bin"});
      if (image.pack) expected.insert(romfs + "pack.dat");
    } else {
      expected.insert({"English.dsc", "exefs/code.bin"});
      if (image.pack) expected.insert("patch.xdelta");
    }
    EXPECT_EQ(files, expected) << "only what differs goes into the patch";
    if (modForm) {
      EXPECT_LT(fs::file_size(settings.out / id / "code.bps"), 0x100u) << "the patch carries the changes only";
    }

    fs::create_directories(app / "mods");
    const Run run = InstallMods(image, settings.out, nullptr, 0, true);
    const fs::path title = app / "mods" / id;
    ASSERT_EQ(run.lines.back(), "[" + PathToUtf8(title) + "]");
    std::map<std::string, test::Bytes> laidOver = image.romfs;
    for (const auto& entry : fs::recursive_directory_iterator(title / "romfs")) {
      if (entry.is_regular_file()) {
        laidOver[GenericUtf8(entry.path().lexically_relative(title / "romfs"))] = test::ReadBytes(entry.path());
      }
    }
    EXPECT_TRUE(laidOver == translated);
    EXPECT_EQ(test::ReadBytes(title / "code.bin"), newCode);
    EXPECT_EQ(fs::exists(title / "exheader.bin"), modForm);

    // Installed into a new image instead, the patch gives back the same tree, and the program
    // has room in the image's extended header.
    const Run rebuilt = Install(image, settings.out, "round trip.cia");
    ASSERT_EQ(rebuilt.lines.back(), "[" + PathToUtf8(app / "round trip.cia") + "]");
    EXPECT_TRUE(rebuilt.out.verified) << rebuilt.out.problem;
    EXPECT_TRUE(rebuilt.out.romfs == translated);
    EXPECT_EQ(rebuilt.out.code, newCode);
    if (modForm) {
      const test::Bytes exheader = test::ReadBytes(settings.out / id / "exheader.bin");
      ASSERT_EQ(exheader.size(), 0x400u);
      EXPECT_TRUE(std::equal(exheader.begin(), exheader.end(), rebuilt.out.exheader.begin()));
      EXPECT_EQ(test::ReadBytes(title / "exheader.bin"), exheader);
      const auto room = ctr::ReadLE<ctr::ExheaderCodeSetInfo>(exheader, ctr::kExheaderCodeSetOffset);
      EXPECT_EQ(ctr::ProgramRoom(*room), 0x7000u);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Games, ModFolderEndToEnd, ::testing::Values("AAT", "AA4", "AA5"));

// An IPS patch as authors publish them: records of the changed bytes. BPS patches come from
// ctr's writer, which is held to the reader's vectors.
test::Bytes Ips(const std::vector<std::pair<std::uint32_t, test::Bytes>>& records) {
  test::Bytes ips{'P', 'A', 'T', 'C', 'H'};
  for (const auto& [offset, data] : records) {
    const std::uint8_t head[] = {static_cast<std::uint8_t>(offset >> 16), static_cast<std::uint8_t>(offset >> 8),
                                 static_cast<std::uint8_t>(offset), static_cast<std::uint8_t>(data.size() >> 8),
                                 static_cast<std::uint8_t>(data.size())};
    ips.insert(ips.end(), std::begin(head), std::end(head));
    ips.insert(ips.end(), data.begin(), data.end());
  }
  ips.insert(ips.end(), {'E', 'O', 'F'});
  return ips;
}

TEST_F(EndToEnd, AModFolderPatchInstallsAsTheFolderLaidOverTheImage) {
  enum class Program { Ips, Bps };
  const struct {
    const char* kind;
    const char* outName;  // "mods": the mod-folder output
    const char* titlePath;
    Program program;
    bool emulatorLayout;
    std::size_t exheaderSize;  // of the patch's exheader.bin, 0 for none
  } cases[] = {
      {".cia", "out.cia", "{id}", Program::Ips, false, 0},
      {".cia", "out.cia", "luma/titles/{id}", Program::Bps, true, 0x800},
      {".3ds", "out.3ds", "luma/titles/{id}", Program::Ips, true, 0},
      {".3ds", "out.3ds", "{id}", Program::Bps, false, 0x400},
      {".cxi", "out.cxi", "{id}", Program::Bps, false, 0x400},
      {".cia", "mods", "", Program::Bps, false, 0x400},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.kind) + " -> " + c.outName + " " + c.titlePath);
    const auto image = test::BuildGameImage(Row("AA5"), c.kind, work / ("in" + std::string(c.kind)), work / "build");
    const std::string id = ModTitleFolderName(IdentifyRom(image.path).programId);
    std::string titlePath = c.titlePath;
    if (const auto at = titlePath.find("{id}"); at != std::string::npos) titlePath.replace(at, 4, id);
    const fs::path folder = work / (titlePath.empty() ? id : "My Mod");
    const fs::path title = folder / PathFromUtf8(titlePath);

    std::map<std::string, test::Bytes> romfs = image.romfs;
    romfs["text/message.txt"] = test::PatternBytes(0x1F3, 0x11223344);
    romfs["text/новое/added.txt"] = test::PatternBytes(0x301, 0x55667788);
    for (const char* path : {"text/message.txt", "text/новое/added.txt"}) {
      test::WriteBytes(title / "romfs" / PathFromUtf8(path), romfs[path]);
    }
    test::Bytes code = image.code;
    code[0x123] ^= 0x5A;
    code[0x124] ^= 0x01;
    code.insert(code.end(), {0x11, 0x22, 0x33});  // a program may grow
    const fs::path programFolder = c.emulatorLayout ? title / "exefs" : title;
    if (c.program == Program::Ips) {
      test::WriteBytes(programFolder / "code.ips",
                       Ips({{0x123, {code[0x123], code[0x124]}},
                            {static_cast<std::uint32_t>(image.code.size()), {0x11, 0x22, 0x33}}}));
    } else {
      test::WriteBytes(programFolder / "code.bps", ctr::MakeBps(image.code, code));
    }
    // An extended header with room for the program that grew, and a save data size of its own.
    const test::Bytes imageExheader = test::ReadImageContents(image.path).exheader;
    ASSERT_EQ(imageExheader.size(), 0x800u);
    test::Bytes exheader(imageExheader.begin(), imageExheader.begin() + static_cast<std::ptrdiff_t>(c.exheaderSize));
    if (c.exheaderSize) {
      test::PutLE32(exheader, 0x14, 7);
      test::PutLE32(exheader, 0x18, static_cast<std::uint32_t>(code.size()));
      test::PutLE32(exheader, 0x1C0, 0x11223344);
      test::WriteBytes(title / "exheader.bin", exheader);
    }
    // Where the patch brings none, or only the part before the access descriptor, the image's stays.
    test::Bytes expectedExheader = imageExheader;
    std::copy(exheader.begin(), exheader.end(), expectedExheader.begin());

    const bool mods = std::string(c.outName) == "mods";
    if (mods) fs::create_directories(app / "mods");
    const Run run = mods ? InstallMods(image, folder) : Install(image, folder, c.outName);
    if (mods) {
      const fs::path out = app / "mods" / id;
      ASSERT_EQ(run.lines.back(), "[" + PathToUtf8(out) + "]");
      std::map<std::string, test::Bytes> laidOver = image.romfs;
      for (const auto& entry : fs::recursive_directory_iterator(out / "romfs")) {
        if (entry.is_regular_file()) {
          laidOver[GenericUtf8(entry.path().lexically_relative(out / "romfs"))] = test::ReadBytes(entry.path());
        }
      }
      EXPECT_TRUE(laidOver == romfs);
      EXPECT_EQ(test::ReadBytes(out / "code.bin"), code);
      EXPECT_EQ(test::ReadBytes(out / "exheader.bin"), exheader);
    } else {
      ASSERT_EQ(run.lines.back(), "[" + PathToUtf8(app / c.outName) + "]");
      EXPECT_TRUE(run.out.verified) << run.out.problem;
      EXPECT_TRUE(run.out.romfs == romfs);
      EXPECT_EQ(run.out.code, code);
      EXPECT_TRUE(run.out.exheader == expectedExheader);
    }
    fs::remove_all(folder);
    fs::remove_all(app / c.outName);
  }
}

// A title that is none of the Ace Attorney games goes through the window's steps only with a
// mod-folder patch named by its program ID, and that is all its patch list offers.
TEST_F(EndToEnd, AnotherTitleIsTakenOnlyForItsModFolderPatchAndInstallsIntoEveryImageKind) {
  const TGameRow otherTitle{0x00ABCD00, "", "", 0, 0, "", -1};
  const auto image = test::BuildGameImage(otherTitle, ".3ds", work / "other.3ds", work / "build");
  const fs::path patches = work / "patch";
  test::WriteFile(patches / "Every game/English.dsc",
                  "Game=AAT,AA4,AA5,AA6,PLvsPW Region=\"Region Free\" Title=\"Every game\"");
  test::WriteFile(patches / "Next door/luma/titles/0004000000ABCE00/romfs/text/message.txt", "Not this one");
  TStepState steps;
  const TImageOpening refused = steps.OpenImage(image.path, lang, {patches});
  EXPECT_EQ(refused.logLines, (std::vector<std::string>{test::L("LogProgramID") + "00ABCD00", test::L("UnknownROM")}));
  EXPECT_EQ(refused.errorKey, "ErrorWrongROM");
  EXPECT_FALSE(steps.Controls().output);

  const fs::path title = patches / "Fan Translation/luma/titles/0004000000ABCD00";
  test::WriteFile(title / "romfs/text/message.txt", "Translated");
  test::WriteBytes(title / "code.ips", Ips({{0x40, {0xC3, 0x3C}}}));
  // Voice sets belong to the Ace Attorney games; a folder of that name offers none here.
  fs::create_directories(patches / "Fan Translation/voice/ENG");
  const TImageOpening taken = steps.OpenImage(image.path, lang, {patches});
  EXPECT_EQ(taken.logLines,
            (std::vector<std::string>{test::L("LogTitleID") + "0004000000ABCD00", test::L("LogModFoldersOnly")}));
  EXPECT_EQ(taken.errorKey, "");
  ASSERT_TRUE(steps.Controls().output);

  std::map<std::string, test::Bytes> romfs = image.romfs;
  romfs["text/message.txt"] = test::Bytes{'T', 'r', 'a', 'n', 's', 'l', 'a', 't', 'e', 'd'};
  test::Bytes code = image.code;
  code[0x40] = 0xC3;
  code[0x41] = 0x3C;
  for (const char* outName : {"out.cia", "out.3ds"}) {
    SCOPED_TRACE(outName);
    steps.ChooseOutput(app / outName);
    ASSERT_EQ(steps.RebuildPatchList(patches, "English").titles, std::vector<std::string>{"Fan Translation"});
    steps.ChoosePatch(1);
    EXPECT_EQ(steps.Controls(), (TStepControls{true, true, true, false, false, true, false}));
    test::RecordingHost host;
    auto job = CreateInstallJob(steps.RomExt, host, steps.InstallSettings(app.path(), lang, 0));
    job->Execute();
    ASSERT_TRUE(job->Succeeded()) << host.Lines().back();
    const test::ImageContents out = test::ReadImageContents(app / outName);
    EXPECT_TRUE(out.verified) << out.problem;
    EXPECT_TRUE(out.romfs == romfs);
    EXPECT_EQ(out.code, code);
    // The receipt names the title by its ID, having no name of ours for it.
    EXPECT_THAT(test::ReadFile(ReceiptPath(app / outName)),
                ::testing::HasSubstr(test::L("ReceiptGame") + " 0004000000ABCD00\r\n"));
  }
}

TEST_F(EndToEnd, AModFolderPatchThatDoesNotFitTheProgramIsRefusedWithItsReason) {
  const auto image = test::BuildGameImage(Row("AA5"), ".cia", work / "in.cia", work / "build");
  const std::string id = ModTitleFolderName(IdentifyRom(image.path).programId);
  test::Bytes other = image.code;
  other[0x10] ^= 0xFF;
  const test::Bytes cutShort{'P', 'A', 'T', 'C', 'H', 0, 1, 0x23, 0, 4, 1};
  const test::Bytes exheader = test::ReadImageContents(image.path).exheader;
  test::Bytes otherTitle = exheader, noRoom = exheader;
  otherTitle[0x201] ^= 0x01;
  test::PutLE32(noRoom, 0x14, 5);  // text pages: 0x5000 bytes for a program of 0x6000
  test::PutLE32(noRoom, 0x18, 0x5000);
  const struct {
    std::vector<std::pair<const char*, test::Bytes>> files;
    const char* key;
    const char* reason;
  } cases[] = {
      // Made for another version of the program.
      {{{"code.bps", ctr::MakeBps(other, image.code)}}, "ErrorProgramPatch", "code.bps"},
      {{{"code.ips", cutShort}}, "ErrorProgramPatch", "code.ips"},
      {{{"code.bin", image.code}, {"code.ips", Ips({{0x10, {1}}})}}, "ErrorModPatchRefused", "code.bin, "},
      {{{"exheader.bin", otherTitle}}, "ErrorModPatchRefused", "exheader.bin is for the program"},
      {{{"exheader.bin", noRoom}}, "ErrorModPatchRefused", "exheader.bin leaves room for 0x5000 bytes of program, "
                                                           "the patched program has 0x6000"},
      {{{"exheader.bin", test::Bytes(0x500, 0)}}, "ErrorModPatchRefused", "exheader.bin has 1280 bytes"},
  };
  const fs::path folder = work / "Broken";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reason);
    fs::remove_all(folder);
    for (const auto& [file, bytes] : c.files) test::WriteBytes(folder / id / file, bytes);
    const Run run = Install(image, folder, "out.cia");
    ASSERT_FALSE(run.lines.empty());
    EXPECT_THAT(run.lines.back(), ::testing::StartsWith("<" + std::string(c.key) + ":"));
    EXPECT_THAT(run.lines.back(), ::testing::HasSubstr(c.reason));
    EXPECT_FALSE(fs::exists(app / "out.cia"));
  }
}

TEST_F(EndToEnd, AModFolderRunThatDoesNotSucceedLeavesTheFolderAsItWas) {
  const auto image = test::BuildGameImage(Row("AAT"), ".3ds", work / "in.3ds", work / "build");
  const auto patch = test::BuildGamePatch(image, work / "patch");
  const std::string title = ModTitleFolderName(0x0004000000000000ULL | image.row.programIdLow);
  const fs::path mods = app / "mods";
  test::WriteFile(mods / title / "romfs" / "earlier.bin", "from an earlier run");
  test::WriteFile(mods / (title + ".txt"), "an earlier receipt");
  test::WriteFile(mods / "0004000000055D00" / "code.bin", "another game's");
  const auto before = Snapshot(mods);

  // Asked whether to replace, the player said no.
  Run run = InstallMods(image, patch.folder);
  EXPECT_EQ(run.lines.back(), test::L("ErrorModFolderExists", {PathToUtf8(mods / title)}));
  EXPECT_EQ(Snapshot(mods), before);

  // Cancelled once every file is staged, the moment before the title folder is replaced.
  onJob = [](TInstall& job, test::RecordingHost& host) {
    host.onProgress = [&job](int percent) {
      if (percent == 90) job.Terminate();
    };
  };
  run = InstallMods(image, patch.folder, nullptr, 0, true);
  EXPECT_EQ(run.lines.back(), test::L("InstallCancelledNothingWritten"));
  EXPECT_EQ(Snapshot(mods), before);
  onJob = nullptr;

#ifndef _WIN32
  // A disk that takes no file beyond a few hundred bytes.
  {
    test::WithFileSizeLimit(300, [&] { run = InstallMods(image, patch.folder, nullptr, 0, true); });
    EXPECT_EQ(run.lines.back().find('['), std::string::npos) << run.lines.back();
    // The player reads the system's own reason.
    EXPECT_THAT(run.lines.back(), ::testing::HasSubstr(std::generic_category().message(EFBIG) + ">"));
    EXPECT_EQ(Snapshot(mods), before);
  }
#endif

  // Replaced, the title folder is the new one whole; nothing of the earlier one stays. A
  // program the patch leaves as the image has it is not written.
  test::WriteBytes(patch.folder / "exefs" / "code.bin", image.code);
  run = InstallMods(image, patch.folder, nullptr, 0, true);
  ASSERT_EQ(run.lines.back(), "[" + PathToUtf8(mods / title) + "]");
  EXPECT_FALSE(fs::exists(mods / title / "romfs" / "earlier.bin"));
  EXPECT_FALSE(fs::exists(mods / title / "code.bin"));
  // A replace stopped between its two renames left the last complete folder under its old
  // name: the next run puts it back before anything else.
  const auto replaced = Snapshot(mods);
  fs::rename(mods / title, mods / (title + ".qpt-old"));
  run = InstallMods(image, patch.folder);
  EXPECT_EQ(run.lines.back(), test::L("ErrorModFolderExists", {PathToUtf8(mods / title)}));
  EXPECT_EQ(Snapshot(mods), replaced);
  EXPECT_EQ(test::ReadFile(mods / "0004000000055D00" / "code.bin"), "another game's");
  EXPECT_NE(test::ReadFile(mods / (title + ".txt")), "an earlier receipt");
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(mods)) names.insert(PathToUtf8(entry.path().filename()));
  EXPECT_EQ(names, (std::set<std::string>{title, title + ".txt", "0004000000055D00"}));
}

#ifndef _WIN32
// A FAT32 card image mounted through FUSE, as a card in a reader: the file system with the
// card's rules and its own driver between the program and the bytes.
class FatCard {
 public:
  // Why no card can be mounted here, or empty.
  static std::string Unavailable() {
    if (geteuid() != 0) return "mounting a card image through FUSE needs root";
    if (!fs::exists("/dev/fuse")) return "no /dev/fuse";
    if (std::system("command -v fusefat >/dev/null && command -v mkfs.vfat >/dev/null") != 0) {
      return "fusefat and mkfs.vfat (dosfstools) are not installed";
    }
    return std::string();
  }
  FatCard(const fs::path& image, const fs::path& root) : image_(image), root_(root) {
    fs::create_directories(root);
    Run("mkfs.vfat -F 32 -C '" + image.string() + "' 65536 >/dev/null");
    Mount();
  }
  ~FatCard() { Unmount(); }
  void Mount() {
    Run("fusefat -o rw+ '" + image_.string() + "' '" + root_.string() + "' >/dev/null 2>&1");
    mounted_ = true;
  }
  void Unmount() {
    // Lazily, as a card pulled out: whatever is open loses it.
    if (mounted_) std::system(("fusermount -u -z '" + root_.string() + "'").c_str());
    mounted_ = false;
  }
  const fs::path& root() const { return root_; }
  const fs::path& image() const { return image_; }

 private:
  static void Run(const std::string& command) {
    if (std::system(command.c_str()) != 0) throw std::runtime_error("failed: " + command);
  }
  fs::path image_, root_;
  bool mounted_ = false;
};

TEST_F(EndToEnd, OntoAFat32CardWhatItCannotHoldIsRefusedAndWhatItHoldsIsReadBack) {
  if (const std::string why = FatCard::Unavailable(); !why.empty()) GTEST_SKIP() << why;
  FatCard card(work / "card.img", work / "card");
  const auto volume = VolumeOf(card.root());
  ASSERT_TRUE(volume && volume->root == card.root() && volume->removable);
  EXPECT_EQ(volume->fileSystem, "fuse.fusefat");
  const fs::path titles = card.root() / "luma" / "titles";
  fs::create_directories(titles);
  const auto image = test::BuildGameImage(Row("AAT"), ".3ds", work / "in.3ds", work / "build");
  const auto patch = test::BuildGamePatch(image, work / "patch");
  // fusefat writes long names in ASCII only, where the kernel's driver takes any.
  fs::remove_all(patch.folder / "romfs" / "new folder");
  const auto onCard = [&](const fs::path& patchDir) {
    return Install(image, patchDir, "mods", nullptr, 0, true, [&](TInstallSettings& s) {
      s.outPath = titles;
      s.modFolder = true;
    });
  };
  const auto cardAsItWas = Snapshot(card.root());

  // Refused before anything is written: what the card's file system cannot hold.
  const struct {
    const char* what;
    std::function<void(const fs::path&)> make;
    std::vector<std::string> lines;  // the run's last line is one of them
  } refused[] = {
      {"a file of 4 GiB",
       [](const fs::path& p) {
         // Sparse: the patch costs the test no disk.
         std::ofstream(p / "romfs" / "movie.bin", std::ios::binary).put('x');
         fs::resize_file(p / "romfs" / "movie.bin", std::uint64_t{4} << 30);
       },
       {test::L("ErrorTargetFileTooLarge", {"romfs/movie.bin", FormatSize(std::uint64_t{4} << 30, lang), "fuse.fusefat"})}},
      {"two names that differ only in case",
       [](const fs::path& p) {
         test::WriteFile(p / "romfs" / "Readme.txt", "one");
         test::WriteFile(p / "romfs" / "README.txt", "two");
       },
       {test::L("ErrorTargetNameCase", {"romfs/Readme.txt", "romfs/README.txt", "fuse.fusefat"}),
        test::L("ErrorTargetNameCase", {"romfs/README.txt", "romfs/Readme.txt", "fuse.fusefat"})}},
      {"a name FAT cannot hold", [](const fs::path& p) { test::WriteFile(p / "romfs" / "why?.txt", "?"); },
       {test::L("ErrorTargetBadName", {"romfs/why?.txt", "fuse.fusefat"})}},
  };
  for (const auto& c : refused) {
    SCOPED_TRACE(c.what);
    const fs::path copy = work / "refused" / c.what;
    fs::create_directories(copy.parent_path());
    fs::copy(patch.folder, copy, fs::copy_options::recursive);
    c.make(copy);
    const Run run = onCard(copy);
    EXPECT_THAT(c.lines, ::testing::Contains(run.lines.back())) << ::testing::PrintToString(run.lines);
    EXPECT_EQ(Snapshot(card.root()), cardAsItWas);
  }

  // A full card: the write fails, and the card is as it was.
  {
    // Filled but for 256 KiB, too little for the patch's new file. The driver reports no
    // free space to ask, and takes writes past the end as it pleases: the card's size is
    // known instead (mkfs.vfat's 64 MiB card has 129022 clusters of 512 bytes).
    const fs::path filler = card.root() / "filler.bin";
    test::WriteFile(filler, std::string(std::size_t{129022} * 512 - (std::size_t{256} << 10), 'f'));
    const fs::path big = work / "refused" / "too big for the card";
    fs::copy(patch.folder, big, fs::copy_options::recursive);
    test::WriteBytes(big / "romfs" / "movie.bin", test::PatternBytes(std::size_t{1} << 20, 9));
    const auto full = Snapshot(card.root());
    const Run run = onCard(big);
    // With the driver's reason: the kernel's says the card is full, fusefat's that it is not permitted.
    EXPECT_THAT(run.lines.back(), ::testing::StartsWith("<ErrorWritingModFolder:write(")) << run.lines.back();
    EXPECT_EQ(Snapshot(card.root()), full);
    fs::remove(filler);
  }

  // A staged file that no longer holds what the run made (a card that corrupts what it
  // stores) is found by reading it back from the card.
  const std::string title = ModTitleFolderName(0x0004000000000000ULL | image.row.programIdLow);
  onJob = [&](TInstall&, test::RecordingHost& host) {
    host.onProgress = [&](int percent) {
      if (percent == 90) test::WriteFile(titles / (title + ".qpt-partial") / "code.bin", "corrupted");
    };
  };
  EXPECT_EQ(onCard(patch.folder).lines.back(), test::L("ErrorModFolderReadBack", {"code.bin"}));
  EXPECT_EQ(Snapshot(card.root()), cardAsItWas);
  // Taken out once every file is staged: the run says so, and no title folder is on the card.
  onJob = [&](TInstall&, test::RecordingHost& host) {
    host.onProgress = [&](int percent) {
      if (percent == 90) card.Unmount();
    };
  };
  EXPECT_EQ(onCard(patch.folder).lines.back(), test::L("ErrorTargetGone", {PathToUtf8(titles)}));
  onJob = nullptr;
  card.Mount();
  EXPECT_FALSE(fs::exists(titles / title));

  // Written, flushed and read back from the card; the same files as on a local disk.
  ASSERT_EQ(onCard(patch.folder).lines.back(), "[" + PathToUtf8(titles / title) + "]");
  fs::create_directories(app / "mods");
  ASSERT_EQ(InstallMods(image, patch.folder).lines.back(), "[" + PathToUtf8(app / "mods" / title) + "]");
  EXPECT_EQ(Snapshot(titles / title), Snapshot(app / "mods" / title));
  EXPECT_TRUE(fs::exists(titles / (title + ".txt")));

  // A byte damaged on the card itself, under the driver, shows when the file is read back
  // from the device.
  const fs::path message = titles / title / "romfs" / "text" / "message.txt";
  const std::string good = test::ReadFile(message);
  card.Unmount();
  std::string bytes = test::ReadFile(card.image());
  // Every copy: a failed run's freed clusters may hold one too.
  std::size_t copies = 0;
  for (std::size_t at = bytes.find(good); at != std::string::npos; at = bytes.find(good, at + 1), ++copies) {
    bytes[at] ^= 0x20;
  }
  ASSERT_GT(copies, 0u);
  test::WriteFile(card.image(), bytes);
  card.Mount();
  EXPECT_NE(Sha256FromDevice(message), FileSha256(app / "mods" / title / "romfs" / "text" / "message.txt"));
  // A check of the mod folder reads it from the card and names it; a removal takes the mod
  // off the card, its receipt with it.
  const TModFolderReport report = CheckModFolder(titles / title, lang);
  EXPECT_FALSE(report.ok);
  EXPECT_THAT(report.lines, ::testing::Contains(test::L("ModCheckChanged", {"romfs/text/message.txt"})));
  const TModRemoval removal = RemoveModFolder(titles / title, lang);
  EXPECT_EQ(removal.failure, "");
  EXPECT_TRUE(removal.folderRemoved);
  EXPECT_TRUE(fs::is_empty(titles));
}
#endif

TEST_F(EndToEnd, AModFolderIsCheckedAndRemovedByItsReceiptAndNothingElse) {
  using ::testing::ElementsAre;
  const auto image = test::BuildGameImage(Row("AAT"), ".cia", work / "in.cia", work / "build");
  const auto patch = test::BuildGamePatch(image, work / "patch");
  const fs::path mods = app / "mods";
  const fs::path title = mods / ModTitleFolderName(0x0004000000000000ULL | image.row.programIdLow);
  const fs::path receipt = mods / (title.filename().string() + ".txt");
  fs::create_directories(mods);
  ASSERT_EQ(InstallMods(image, patch.folder).lines.back(), "[" + PathToUtf8(title) + "]");
  const auto listed = ReadModReceipt(title);
  ASSERT_TRUE(listed);
  ASSERT_GE(listed->size(), 2u);
  const std::string total = std::to_string(listed->size());
  // Named with a trailing separator, as a folder dialog may give it, it is the same folder.
  for (const fs::path& named : {title, title / ""}) {
    const TModFolderReport report = CheckModFolder(named, lang);
    EXPECT_TRUE(report.ok);
    EXPECT_EQ(report.lines, std::vector<std::string>{test::L("ModCheckAllGood", {total})});
  }

  // A changed byte, a missing file and a file the run did not write are each named.
  const std::string changed = listed->at(0).path, missing = listed->at(1).path;
  const std::string changedBytes = test::ReadFile(title / PathFromUtf8(changed)), missingBytes = test::ReadFile(title / PathFromUtf8(missing));
  std::string flipped = changedBytes;
  flipped[flipped.size() / 2] ^= 1;
  test::WriteFile(title / PathFromUtf8(changed), flipped);
  fs::remove(title / PathFromUtf8(missing));
  test::WriteFile(title / "romfs" / "mine.bin", "the player's own");
  TModFolderReport report = CheckModFolder(title, lang);
  EXPECT_FALSE(report.ok);
  EXPECT_THAT(report.lines, ElementsAre(test::L("ModCheckChanged", {changed}), test::L("ModCheckMissing", {missing}),
                                        test::L("ModCheckNotWritten", {"romfs/mine.bin"}),
                                        test::L("ModCheckSomeBad", {"2", total})));
  // A file the run did not write is a warning only: the mod itself is whole.
  test::WriteFile(title / PathFromUtf8(changed), changedBytes);
  test::WriteFile(title / PathFromUtf8(missing), missingBytes);
  report = CheckModFolder(title, lang);
  EXPECT_TRUE(report.ok);
  EXPECT_THAT(report.lines, ElementsAre(test::L("ModCheckNotWritten", {"romfs/mine.bin"}),
                                        test::L("ModCheckGoodWithOthers", {total, "1"})));

  // A receipt that is missing, another program's, too large, or naming a path outside the
  // folder is not ours: the folder is neither checked nor touched.
  const std::string written = test::ReadFile(receipt);
  const std::string firstLine = "  " + listed->at(0).sha256 + "  " + listed->at(0).path;
  ASSERT_NE(written.find(firstLine), std::string::npos);
  const auto withPath = [&](const std::string& path) {
    std::string text = written;
    return text.replace(text.find(firstLine), firstLine.size(), "  " + listed->at(0).sha256 + "  " + path);
  };
  const auto before = Snapshot(title);
  const struct {
    const char* why;
    std::string text;  // empty: no receipt
  } refused[] = {
      {"absent", ""},
      {"another program's", "Another Tool - receipt\r\n" + written.substr(written.find('\n') + 1)},
      {"a path up and out", withPath("../outside.bin")},
      {"a path up and out in the middle", withPath("romfs/../../outside.bin")},
      {"an absolute path", withPath("/outside.bin")},
      {"a backslash", withPath("romfs\\pack.dat")},
      {"an empty part", withPath("romfs//pack.dat")},
      {"too large", written + std::string(std::size_t{17} << 20, ' ')},
  };
  for (const auto& c : refused) {
    SCOPED_TRACE(c.why);
    fs::remove(receipt);
    if (!c.text.empty()) test::WriteFile(receipt, c.text);
    EXPECT_FALSE(ReadModReceipt(title));
    report = CheckModFolder(title, lang);
    EXPECT_FALSE(report.receiptOurs);
    EXPECT_EQ(report.lines, std::vector<std::string>{test::L("ModCheckNoReceipt", {PathToUtf8(title), PathToUtf8(receipt)})});
    const TModRemoval removal = RemoveModFolder(title, lang);
    EXPECT_TRUE(removal.refused);
    EXPECT_EQ(Snapshot(title), before);
  }
  // One an earlier version wrote is ours.
  test::WriteFile(receipt, "Quill Patch Tool v.0.9 - " + written.substr(written.find(" - ") + 3));
  EXPECT_TRUE(ReadModReceipt(title));
  test::WriteFile(receipt, written);

  // Removed: every file the receipt lists goes, changed or not, with the receipt; the
  // player's file stays and so does the folder that holds it.
  test::WriteFile(title / PathFromUtf8(changed), flipped);
  const TModRemovalPlan plan = PlanModFolderRemoval(title);
  EXPECT_EQ(plan.toDelete.size(), listed->size());
  EXPECT_EQ(plan.toKeep, std::vector<std::string>{"romfs/mine.bin"});
  TModRemoval removal = RemoveModFolder(title, lang);
  EXPECT_EQ(removal.deleted, plan.toDelete);
  EXPECT_EQ(removal.failure, "");
  EXPECT_EQ(removal.deleted.size(), listed->size());
  EXPECT_EQ(removal.kept, std::vector<std::string>{"romfs/mine.bin"});
  EXPECT_FALSE(removal.folderRemoved);
  EXPECT_EQ(removal.lines, (std::vector<std::string>{test::L("ModRemoveDoneKept", {PathToUtf8(title), total}), "  romfs/mine.bin"}));
  std::set<std::string> left;
  for (const auto& [path, bytes] : Snapshot(mods)) left.insert(path);
  const std::string name = PathToUtf8(title.filename());
  EXPECT_EQ(left, (std::set<std::string>{name, name + "/romfs", name + "/romfs/mine.bin"}));

  // Without the player's file the folder goes whole.
  fs::remove_all(title);
  ASSERT_EQ(InstallMods(image, patch.folder).lines.back(), "[" + PathToUtf8(title) + "]");
  // A file lost already leaves no empty folder of the run's behind either.
  const auto parentOf = [](const std::string& path) { return path.substr(0, path.rfind('/') + 1); };
  const auto alone = std::find_if(listed->begin(), listed->end(), [&](const TModReceiptFile& f) {
    return std::count_if(listed->begin(), listed->end(),
                         [&](const TModReceiptFile& g) { return parentOf(g.path) == parentOf(f.path); }) == 1 &&
           parentOf(f.path) != "romfs/" && parentOf(f.path) != "";
  });
  ASSERT_NE(alone, listed->end());
  fs::remove(title / PathFromUtf8(alone->path));
  removal = RemoveModFolder(title, lang);
  EXPECT_TRUE(removal.folderRemoved);
  EXPECT_EQ(removal.lines, std::vector<std::string>{
                               test::L("ModRemoveDone", {PathToUtf8(title), std::to_string(listed->size() - 1)})});
  EXPECT_TRUE(fs::is_empty(mods));

#ifndef _WIN32
  // Nothing is read or deleted through a link: a romfs folder that links elsewhere is not
  // what the run wrote, and the files it reaches stay.
  ASSERT_EQ(InstallMods(image, patch.folder).lines.back(), "[" + PathToUtf8(title) + "]");
  const fs::path elsewhere = work / "elsewhere";
  fs::rename(title / "romfs", elsewhere);
  fs::create_directory_symlink(elsewhere, title / "romfs");
  const auto outside = Snapshot(elsewhere);
  report = CheckModFolder(title, lang);
  EXPECT_FALSE(report.ok);
  EXPECT_THAT(report.lines, ::testing::Contains(test::L("ModCheckNotWritten", {"romfs"})));
  const TModRemovalPlan linked = PlanModFolderRemoval(title);
  EXPECT_EQ(linked.toKeep, std::vector<std::string>{"romfs"});
  removal = RemoveModFolder(title, lang);
  EXPECT_EQ(removal.deleted, linked.toDelete);
  EXPECT_EQ(removal.kept, std::vector<std::string>{"romfs"});
  EXPECT_EQ(Snapshot(elsewhere), outside);
#endif
}

TEST_F(EndToEnd, ADeltaForAnotherArchiveIsRefusedAndNoImageIsWritten) {
  const auto image = test::BuildGameImage(Row("AAT", 3), ".3ds", work / "in.3ds", work / "build");
  const auto other = test::BuildGameImage(Row("AAT", 2), ".cxi", work / "other.cxi", work / "build2");
  const auto patch = test::BuildGamePatch(other, work / "patch");  // digests of another archive
  const Run run = Install(image, patch.folder, "out.3ds", nullptr, 0, true);
  ASSERT_GE(run.lines.size(), 2u);
  EXPECT_EQ(run.lines.back(), test::L("MD5NotMatched"));
  EXPECT_FALSE(fs::exists(app / "out.3ds"));
  EXPECT_FALSE(fs::exists(app / "out.3ds.txt"));
}

// The delta may be decoded while the input pass still works out the archive's digest, or only
// after it: either way a digest that does not match ends the run with the mismatch and no image.
TEST_F(EndToEnd, AnArchiveDigestDecidesTheRunWhetherTheDeltaWasDecodedBeforeOrAfterIt) {
  const auto image = test::BuildGameImage(Row("AAT"), ".cia", work / "in.cia", work / "build");
  const auto patch = test::BuildGamePatch(image, work / "patch");
  const fs::path aside = app / "tools/temp/old_pack.dat";
  for (const bool decodeFirst : {false, true}) {
    for (const bool rightArchive : {true, false}) {
      SCOPED_TRACE(std::string(decodeFirst ? "decode first" : "digest first") + (rightArchive ? ", right" : ", wrong"));
      std::atomic<bool> decodedEarly{false};
      const Run run = Install(image, patch.folder, "out.cia", nullptr, 0, false, [&](TInstallSettings& s) {
        if (!rightArchive) s.originalPackDatMD5 = "00112233445566778899AABBCCDDEEFF";
        if (decodeFirst) {
          // The pass reads nothing until the step has moved the archive aside for the decode.
          s.hooks.inputPassStarts = [&] {
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (!fs::exists(aside) && std::chrono::steady_clock::now() < deadline) {
              std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
            decodedEarly = fs::exists(aside);
          };
        } else {
          s.hooks.deltaStepStarts = [](const std::function<void()>& waitForDigests) { waitForDigests(); };
        }
      });
      EXPECT_EQ(decodedEarly.load(), decodeFirst);
      if (rightArchive) {
        EXPECT_EQ(run.lines.back(), "[" + PathToUtf8(app / "out.cia") + "]");
        EXPECT_EQ(test::CheckInstalledImage(image, patch, run.out, 0, {}), "");
      } else {
        EXPECT_EQ(run.lines.back(), test::L("MD5NotMatched"));
        EXPECT_FALSE(fs::exists(app / "out.cia"));
      }
      fs::remove(app / "out.cia");
    }
  }
}

TEST_F(EndToEnd, AReceiptBesideTheNewImageHoldsTheHashesOfBothImagesAndTheLog) {
  const auto image = test::BuildGameImage(Row("AAT"), ".cia", work / "in.cia", work / "build");
  const auto patch = test::BuildGamePatch(image, work / "patch");
  const Run run = Install(image, patch.folder, "out.cxi", nullptr, 0, true);
  ASSERT_EQ(run.lines.back(), "[" + PathToUtf8(app / "out.cxi") + "]");
  const std::string receipt = test::ReadFile(app / "out.cxi.txt");
  for (const std::string& expected : std::vector<std::string>
       {test::L("ReceiptSha256") + " " + test::FileSha256(image.path) + "\r\n",
        test::L("ReceiptSha256") + " " + test::FileSha256(app / "out.cxi") + "\r\n",
        test::L("ReceiptTitle") + " The Patch\r\n", std::string("pack.dat MD5"), test::L("ReceiptHashesGood"),
        test::L("ReceiptGame") + " Phoenix Wright: Ace Attorney Trilogy (USA)\r\n",
        "  " + test::L("PatchingSuccessful") + "\r\n  [" + PathToUtf8(app / "out.cxi") + "]\r\n"}) {
    EXPECT_NE(receipt.find(expected), std::string::npos) << expected << "\n" << receipt;
  }
  // A mod folder's run works the digests out in another order; its receipt names the same input.
  fs::create_directory(app / "mods");
  ASSERT_EQ(InstallMods(image, patch.folder).lines.back().rfind("[" + PathToUtf8(app / "mods"), 0), 0u);
  std::string modReceipt;
  for (const auto& entry : fs::directory_iterator(app / "mods")) {
    if (entry.path().extension() == ".txt") modReceipt = test::ReadFile(entry.path());
  }
  EXPECT_NE(modReceipt.find(test::L("ReceiptSha256") + " " + test::FileSha256(image.path) + "\r\n"), std::string::npos)
      << modReceipt;
}

}  // namespace
}  // namespace qpt

namespace qpt {
namespace {

// Real images of every game and region, in every kind, are identified and their music
// names read, through the same file-table position the games use.
TEST(GameImages, EveryRowIdentifiedFromRealImagesOfEachKind) {
  test::TempDir work("identify-real");
  for (const TGameRow& row : IdentificationTable()) {
    for (const char* kind : {".cia", ".cxi", ".3ds"}) {
      SCOPED_TRACE(std::string(row.title) + " " + row.region + " " + kind);
      const auto image = test::BuildGameImage(row, kind, work / (std::string("game") + kind), work / "build");
      const TRomIdentity id = IdentifyRom(image.path);
      ASSERT_TRUE(id.Identified()) << id.errorKey;
      EXPECT_EQ(id.gameCode, row.gameCode);
      EXPECT_EQ(id.regionIndex, row.regionIndex);
      if (row.entry < 0) {
        EXPECT_EQ(id.soundInfoPos, -1);
        continue;
      }
      TTrackList list;
      ASSERT_EQ(list.Create(image.path, row.gameCode, id.soundInfoPos, {}).status, TTrackListStatus::Ok);
      for (int slot = 0; slot <= list.LastSlot; ++slot) {
        EXPECT_EQ(list.GetKey(list.IndexOfTitle(list.GetSelected(slot))), image.sound->slotKeys[static_cast<std::size_t>(slot)]);
      }
    }
  }
}

}  // namespace
}  // namespace qpt
