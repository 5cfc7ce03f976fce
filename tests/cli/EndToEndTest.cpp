// Whole installations through the command-line program with our real container tools and
// xdelta3, on synthetic game images of the trilogy (CIA in, CIA and CXI out) and of Apollo
// Justice (card image in, card image out): a delta, replaced pack entries, a voice set and a
// music choice. The output must pass `verify` and hold exactly what the patch asked for.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <set>
#include <sstream>

#include "CliProcess.h"
#include "core/common/Common.h"
#include "core/install/PackDat.h"
#include "core/localization/Language.h"
#include "core/sound/N3DSBCSAR.h"
#include "ctr/Image.h"
#include "ctr/Ncch.h"
#include "ctr/Reader.h"
#include "ctr/RomFs.h"
#include "support/AppFolder.h"
#include "support/ImageBuilder.h"
#include "support/SoundFixtures.h"

namespace qpt {
namespace {

namespace fs = std::filesystem;
using test::Bytes;
using test::CliResult;
using test::WriteFile;
using ::testing::HasSubstr;
using ::testing::Not;
using Lines = std::vector<std::string>;

Bytes ToBytes(const std::string& s) { return Bytes(s.begin(), s.end()); }
std::string ToString(const Bytes& b) { return std::string(b.begin(), b.end()); }

// A program folder as a player has it: the program, lang/, patch/ and the real tools.
class RealProgramFolder {
 public:
  RealProgramFolder() {
    for (const char* tool : {"ctrtool", "3dstool", "makerom", "xdelta"}) {
      const fs::path built = ToolPath(fs::path(QPT_APP_DIR), tool);
      fs::copy_file(fs::canonical(built), app.Tool(tool));
    }
    fs::copy_file(QPT_CLI_PROGRAM, program);
  }
  test::AppFolder app{std::vector<std::string>{}};
  fs::path program = app / ("quill-patch-cli" + ExecutableSuffix());
};

// What one game's test image and patch are made of.
struct GameCase {
  std::string code;            // "AAT" or "AA4"
  std::uint64_t programId;
  std::string inKind, outKind;  // ".cia" / ".3ds"
  std::string soundPath;       // RomFS path of the sound archive
  std::uint32_t entryOffset;   // where identification expects the archive's file entry
};

void PrintTo(const GameCase& game, std::ostream* os) {
  *os << game.code << " " << game.inKind << " to " << game.outKind;
}

class EndToEnd : public ::testing::TestWithParam<GameCase> {
 protected:
  void SetUp() override {
    const GameCase& g = GetParam();
    english_ = std::make_unique<TLangList>();
    ASSERT_TRUE(LoadLanguage("English", *english_, folder_.app.path()));
    game_ = test::BuildGameSoundArchive(g.code, 7);

    // The pack archive: three entries back to back, the index with one record each and two
    // trailing bytes that belong to no record.
    packEntries_ = {ToString(test::PatternBytes(0x123, 1)), ToString(test::PatternBytes(0x2F1, 2)),
                    ToString(test::PatternBytes(0x81, 3))};
    std::string packDat, packInc;
    for (std::size_t i = 0; i < packEntries_.size(); ++i) {
      const std::string& e = packEntries_[i];
      TPackIndexEntry record{static_cast<std::int32_t>(packDat.size()), 0x11223344u + static_cast<std::uint32_t>(i),
                             PackHeaderValue(std::span(reinterpret_cast<const std::uint8_t*>(e.data()), e.size())),
                             static_cast<std::int32_t>(e.size()), 0xA5A5A500u + static_cast<std::uint32_t>(i)};
      packInc.append(reinterpret_cast<const char*>(&record), sizeof record);
      packDat += e;
    }
    packInc += "\x7F\x01";

    test::ImageRecipe recipe;
    recipe.programId = g.programId;
    recipe.romfs = {{"pack.dat", ToBytes(packDat)},
                    {"pack.inc", ToBytes(packInc)},
                    {g.soundPath, game_.archive.bytes}};
    std::vector<std::string> streamKeys = game_.slotKeys;
    streamKeys.push_back("BGM45");  // the stream the fourth game's test chooses for slot 0
    streamKeys.push_back("SE_UNUSED");
    for (const std::string& key : streamKeys) {
      recipe.romfs["sound/stream/" + key + ".dspadpcm.bcstm"] = ToBytes("stream " + key);
    }
    // Files in a folder that sorts before sound/ move the archive's file entry to where the
    // game has it (identification reads it at a fixed place of the file table).
    std::uint32_t fill = g.entryOffset - 2 * 48;
    int n = 0;
    while (fill > 0) {
      // An entry is 0x20 bytes and the UTF-16 name padded to 4: 48 for 8 letters, 52 for 10.
      const bool longName = fill % 48 != 0;
      const std::string name = longName ? "fill" + std::to_string(100000 + n) : "f" + std::to_string(1000 + n) + ".bn";
      recipe.romfs["data/" + name] = ToBytes("x" + std::to_string(n));
      fill -= longName ? 52 : 48;
      ++n;
    }
    input_ = work_ / ("Оригинал " + g.code + g.inKind);
    test::ImageBuilder builder(work_ / "build");
    if (g.inKind == ".cia") {
      builder.BuildCia(recipe, input_);
    } else {
      builder.Build3ds(recipe, input_);
    }
    // A stream that no slot names stays as it was (the fourth game renames every slot's one).
    untouchedStream_ = "sound/stream/SE_UNUSED.dspadpcm.bcstm";

    // The patch: a delta that changes the first entry in place, a bigger second entry, a new
    // file, and two voice sets of which the player takes the original Japanese one.
    patch_ = folder_.app / "patch/Full Patch";
    std::string patchedDat = packDat;
    patchedDat.replace(0x10, 8, "PATCHED!");
    fs::create_directories(patch_);
    WriteFile(work_ / "old", packDat);
    WriteFile(work_ / "new", patchedDat);
    ASSERT_EQ(RunTool("\"" + PathToUtf8(folder_.app.Tool("xdelta")) + "\"",
                      "-e -f -s \"" + PathToUtf8(work_ / "old") + "\" \"" + PathToUtf8(work_ / "new") + "\" \"" +
                          PathToUtf8(patch_ / "patch.xdelta") + "\"",
                      work_.path()),
              0u);
    deltaEntry0_ = patchedDat.substr(0, packEntries_[0].size());
    replacedEntry1_ = ToString(test::PatternBytes(0x1A5, 9));
    WriteFile(patch_ / "pack_dat/00001.bin", replacedEntry1_);
    WriteFile(patch_ / "romfs/text/new.txt", "added by the patch");
    WriteFile(patch_ / "English.dsc", "\xEF\xBB\xBFGame=" + g.code + "\r\nRegion=USA,EUR\r\nTitle=\"Full Patch\"\r\n" +
                                          "OriginalPackDatMD5=" + FileMD5(work_ / "old") + "\r\n" +
                                          "OriginalPackIncMD5=" + Md5(packInc) + "\r\n");
    for (const auto& [set, seed] : {std::pair{"ENG", 100u}, std::pair{"JAP ORIG", 200u}}) {
      for (std::size_t i : {std::size_t{1}, std::size_t{4}}) {
        const auto wave = test::MakeWave(0x61 + i, seed + static_cast<std::uint32_t>(i));
        WriteFile(patch_ / "voice" / set / "3_BCWAV" / test::WavePieceName(i), wave);
        if (std::string(set) == "JAP ORIG") japaneseWaves_[i] = ToString(wave);
      }
    }
  }

  std::string Md5(const std::string& text) {
    WriteFile(work_ / "md5", text);
    return FileMD5(work_ / "md5");
  }
  CliResult Cli(const std::vector<std::string>& args) { return test::RunCli(folder_.program, args, work_.path()); }
  std::string En(const char* key) const { return english_->GetLangText(key); }

  // The output's RomFS unpacked with our own readers.
  fs::path UnpackRomFs(const fs::path& image) {
    ctr::FileReader file;
    EXPECT_TRUE(file.Open(image).ok());
    const auto ncch = ctr::LocateMainNcch(file);
    EXPECT_TRUE(ncch.ok()) << ncch.message();
    ctr::WindowReader window(file, ncch.value().offset, ncch.value().size);
    const fs::path romfs = work_ / "read/romfs.bin";
    fs::create_directories(romfs.parent_path());
    EXPECT_TRUE(ctr::ExtractNcchSection(window, ctr::NcchSection::RomFs, romfs).ok());
    const fs::path tree = work_ / "read/tree";
    const ctr::Status extracted = ctr::ExtractRomFs(romfs, tree);
    EXPECT_TRUE(extracted.ok()) << extracted.message();
    return tree;
  }

  std::map<std::string, std::string> SlotTitles(const CliResult& music) {
    std::map<std::string, std::string> titles;
    for (const std::string& line : music.OutLines()) {
      const auto tab = line.find('\t');
      if (tab != std::string::npos) titles[line.substr(0, tab)] = line.substr(line.rfind('\t') + 1);
    }
    return titles;
  }

  RealProgramFolder folder_;
  test::TempDir work_{"e2e"};
  std::unique_ptr<TLangList> english_;
  test::GameSoundArchive game_;
  std::vector<std::string> packEntries_;
  std::string deltaEntry0_, replacedEntry1_, untouchedStream_;
  std::map<std::size_t, std::string> japaneseWaves_;
  fs::path input_, patch_;
};

TEST_P(EndToEnd, APatchWithEveryPartGivesAVerifiedImageHoldingExactlyThePatch) {
  const GameCase& g = GetParam();
  const CliResult before = Cli({"music", PathToUtf8(input_)});
  ASSERT_EQ(before.exitCode, 0) << before.err;
  const auto original = SlotTitles(before);

  // Slot 11 of the trilogy is written through slot 10's field; the other game has no such pair.
  const std::string sharedSlot = g.code == "AAT" ? "11" : "3";
  const std::string sharedTitle = g.code == "AAT" ? "Logic and Trick 2001" : "Cross Examination ~ Moderate 2001";
  const std::string firstTitle = g.code == "AAT" ? "Courtroom Lounge 2004" : "Courtroom Lounge 2001";
  ASSERT_NE(original.at(sharedSlot), sharedTitle);
  ASSERT_NE(original.at("0"), firstTitle);
  WriteFile(work_ / "music.txt", "# scene choices\n\n0=" + firstTitle + "\r\n");

  const fs::path out = work_ / ("Новый образ" + g.outKind);
  const CliResult run = Cli({"install", PathToUtf8(input_), "--out", PathToUtf8(out), "--patch", "Full Patch",
                             "--voice", "japanese-orig", "--music", sharedSlot + "=" + sharedTitle, "--music-file",
                             "music.txt"});
  ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
  for (const char* key : {"MD5Matched", "ApplyingXdelta", "ApplyingVoice", "ChangingMusic", "UpdatingPackDat",
                          "RepackingPackDat", "PatchingSuccessful"}) {
    EXPECT_THAT(run.out, HasSubstr(En(key))) << key;
  }
  EXPECT_THAT(run.out, Not(HasSubstr("Warning")));
  EXPECT_FALSE(fs::exists(folder_.app / "tools/temp"));

  const CliResult verified = Cli({"verify", PathToUtf8(out)});
  EXPECT_EQ(verified.exitCode, 0) << verified.out << verified.err;
  EXPECT_THAT(verified.out, HasSubstr("regions are good"));
  EXPECT_THAT(verified.out, Not(HasSubstr("BAD")));
  const CliResult identified = Cli({"identify", PathToUtf8(out)});
  EXPECT_THAT(identified.out, HasSubstr("Game code: " + g.code));

  // The music choice, read back from the new image as the window would read it.
  const auto after = SlotTitles(Cli({"music", PathToUtf8(out)}));
  for (const auto& [slot, title] : original) {
    std::string expected = title;
    if (slot == "0") expected = firstTitle;
    if (slot == sharedSlot) expected = sharedTitle;
    if (g.code == "AAT" && slot == "10") expected = sharedTitle;
    EXPECT_EQ(after.at(slot), expected) << "slot " << slot;
  }

  const fs::path tree = UnpackRomFs(out);
  // Pack archive: the delta's change in entry 0, the patch's entry 1, entry 2 moved behind it.
  const std::string dat = test::ReadFile(tree / "pack.dat");
  const std::string inc = test::ReadFile(tree / "pack.inc");
  const auto records = ReadPackIndex(std::span(reinterpret_cast<const std::uint8_t*>(inc.data()), inc.size()));
  ASSERT_EQ(records.size(), 3u);
  const std::string expectedEntries[] = {deltaEntry0_, replacedEntry1_, packEntries_[2]};
  for (std::size_t i = 0; i < 3; ++i) {
    ASSERT_LE(static_cast<std::size_t>(records[i].Offset) + static_cast<std::size_t>(records[i].Size), dat.size());
    EXPECT_EQ(dat.substr(static_cast<std::size_t>(records[i].Offset), static_cast<std::size_t>(records[i].Size)),
              expectedEntries[i])
        << "entry " << i;
    EXPECT_EQ(records[i].OpaqueA, 0x11223344u + i);
  }
  EXPECT_EQ(inc.substr(inc.size() - 2), "\x7F\x01");
  EXPECT_EQ(test::ReadFile(tree / "text/new.txt"), "added by the patch");
  const std::string untouchedKey = untouchedStream_.substr(13, untouchedStream_.find('.') - 13);
  EXPECT_EQ(test::ReadFile(tree / PathFromUtf8(untouchedStream_)), "stream " + untouchedKey);

  // Voices: the chosen set's waves replace theirs, every other wave is the game's own.
  const fs::path pieces = work_ / "read/sound";
  ASSERT_EQ(UnpackBcsar(tree / PathFromUtf8(g.soundPath), pieces), 0);
  const fs::path cwar = pieces / "4_CSAR_FILE" / game_.VoicePieceName();
  ASSERT_EQ(UnpackCwar(cwar), 0);
  for (std::size_t i = 0; i < game_.voiceWaves.size(); ++i) {
    const std::string wave =
        test::ReadFile(pieces / "4_CSAR_FILE" / game_.VoiceFolderName() / "3_BCWAV" / test::WavePieceName(i));
    const auto chosen = japaneseWaves_.find(i);
    EXPECT_EQ(wave, chosen != japaneseWaves_.end() ? chosen->second : ToString(game_.voiceWaves[i])) << "wave " << i;
  }
  if (g.code == "AA4") {
    // The fourth game names the stream file itself, so the chosen stream is renamed.
    EXPECT_TRUE(fs::exists(tree / "sound/stream/BGM45.bcstm"));
    EXPECT_FALSE(fs::exists(tree / "sound/stream/BGM45.dspadpcm.bcstm"));
  }

  // The same choices as a mod folder: every file in it is the rebuilt image's file at that
  // path, and each file the run changed is there. A second run asks before replacing it.
  const fs::path mods = work_ / "Моды";
  fs::create_directories(mods);
  const std::vector<std::string> modArgs = {"install", PathToUtf8(input_), "--mods", PathToUtf8(mods), "--patch",
                                            "Full Patch", "--voice", "japanese-orig", "--music",
                                            sharedSlot + "=" + sharedTitle, "--music-file", "music.txt"};
  CliResult modRun = Cli(modArgs);
  ASSERT_EQ(modRun.exitCode, 0) << modRun.out << modRun.err;
  EXPECT_THAT(modRun.out, HasSubstr(En("ModFolderSuccessful")));
  char titleName[20];
  std::snprintf(titleName, sizeof titleName, "%016llX", static_cast<unsigned long long>(g.programId));
  const fs::path title = mods / titleName;
  std::set<std::string> inFolder;
  for (const auto& entry : fs::recursive_directory_iterator(title / "romfs")) {
    if (!entry.is_regular_file()) continue;
    const fs::path relative = entry.path().lexically_relative(title / "romfs");
    inFolder.insert(GenericUtf8(relative));
    EXPECT_EQ(test::ReadFile(entry.path()), test::ReadFile(tree / relative)) << PathToUtf8(relative);
  }
  for (const std::string& changed : {std::string("pack.dat"), std::string("pack.inc"), std::string("text/new.txt"), g.soundPath}) {
    EXPECT_TRUE(inFolder.count(changed)) << changed;
  }
#ifndef _WIN32
  // A card is pulled the moment the run says it is done. Traced, every file the receipt lists,
  // the receipt and the folder that names the renamed title folder are flushed before the
  // success line is written.
  // scripts/setup.sh installs strace: without it this check is missing, not passed.
  EXPECT_EQ(std::system("command -v strace >/dev/null"), 0) << "strace is not installed";
  if (std::system("command -v strace >/dev/null") == 0) {
    const fs::path traced = work_ / "traced";  // ASCII: the trace writes other bytes escaped
    fs::create_directories(traced);
    const fs::path trace = work_ / "trace.txt";
    std::vector<std::string> args = {"-f", "-y", "-s", "512", "-o", PathToUtf8(trace),
                                     "-e", "trace=fsync,fdatasync,rename,renameat,renameat2,write", PathToUtf8(folder_.program)};
    args.insert(args.end(), modArgs.begin(), modArgs.end());
    args[args.size() - modArgs.size() + 3] = PathToUtf8(traced);
    const CliResult tracedRun = test::RunCli("/usr/bin/strace", args, work_.path());
    ASSERT_EQ(tracedRun.exitCode, 0) << tracedRun.out << tracedRun.err;
    std::vector<std::string> calls;
    {
      std::istringstream lines(test::ReadFile(trace));
      for (std::string line; std::getline(lines, line);) calls.push_back(line);
    }
    const auto first = [&](const std::function<bool(const std::string&)>& is, std::size_t from = 0) {
      for (std::size_t i = from; i < calls.size(); ++i) {
        if (is(calls[i])) return i;
      }
      return calls.size();
    };
    // The folder the run wrote in, as the trace names paths: links resolved.
    const std::string tracedPath = fs::canonical(traced).string();
    const auto flushOf = [](const std::string& path) {
      return [tag = "<" + path + ">"](const std::string& call) {
        return (call.find(" fsync(") != std::string::npos || call.find(" fdatasync(") != std::string::npos) &&
               call.find(tag) != std::string::npos;
      };
    };
    const std::size_t success = first([&](const std::string& call) {
      return call.find(" write(1") != std::string::npos && call.find(En("ModFolderSuccessful")) != std::string::npos;
    });
    ASSERT_LT(success, calls.size());
    const fs::path titleFolder = traced / titleName;
    std::size_t listed = 0;
    std::istringstream receipt(test::ReadFile(traced / (std::string(titleName) + ".txt")));
    for (std::string line; std::getline(receipt, line);) {
      if (line.size() < 70 || line.compare(0, 2, "  ") != 0 || line.compare(66, 2, "  ") != 0) continue;
      std::string file = line.substr(68);
      if (!file.empty() && file.back() == '\r') file.pop_back();
      ++listed;
      EXPECT_TRUE(fs::exists(titleFolder / file)) << file;
      // Flushed while staged, under the name the rename then moved.
      EXPECT_LT(first(flushOf(tracedPath + "/" + titleName + ".qpt-partial/" + file)), success) << file;
    }
    EXPECT_GE(listed, 4u);
    const std::size_t renamed = first([&](const std::string& call) {
      return call.find("rename") != std::string::npos && call.find(std::string(titleName) + ".qpt-partial") != std::string::npos;
    });
    EXPECT_LT(renamed, success);
    EXPECT_LT(first(flushOf(tracedPath), renamed + 1), success);
    EXPECT_LT(first(flushOf(tracedPath + "/" + titleName + ".txt")), success);
  }
#endif
  modRun = Cli(modArgs);
  EXPECT_EQ(modRun.exitCode, 1) << modRun.out << modRun.err;
  EXPECT_TRUE(fs::exists(title / "romfs" / "pack.dat"));

  // Checked against its receipt: good as written; a file the run did not write is named but
  // leaves the mod good; a changed file fails the check by its name.
  CliResult modCheck = Cli({"verify", PathToUtf8(title)});
  EXPECT_EQ(modCheck.exitCode, 0) << modCheck.out << modCheck.err;
  WriteFile(title / "romfs" / "mine.txt", "the player's own");
  modCheck = Cli({"verify", PathToUtf8(title)});
  EXPECT_EQ(modCheck.exitCode, 0) << modCheck.out << modCheck.err;
  EXPECT_THAT(modCheck.out, HasSubstr("romfs/mine.txt"));
  WriteFile(title / "romfs" / "pack.dat", test::ReadFile(title / "romfs" / "pack.dat") + "!");
  modCheck = Cli({"verify", PathToUtf8(title)});
  EXPECT_EQ(modCheck.exitCode, 1) << modCheck.out << modCheck.err;
  EXPECT_THAT(modCheck.out, HasSubstr("romfs/pack.dat"));
  // Removed by its receipt only: without it nothing is touched; with it the files it lists
  // go, changed or not, and the player's file stays in its folder.
  const fs::path receipt = mods / (std::string(titleName) + ".txt");
  fs::rename(receipt, work_ / "receipt aside");
  CliResult removed = Cli({"remove-mods", PathToUtf8(title)});
  EXPECT_EQ(removed.exitCode, 1) << removed.out << removed.err;
  EXPECT_THAT(removed.err, HasSubstr(PathToUtf8(title)));
  EXPECT_TRUE(fs::exists(title / "romfs" / "pack.dat"));
  fs::rename(work_ / "receipt aside", receipt);
  removed = Cli({"remove-mods", PathToUtf8(title)});
  EXPECT_EQ(removed.exitCode, 0) << removed.out << removed.err;
  const Lines plan = removed.OutLines();
  EXPECT_THAT(plan, ::testing::Contains("  romfs/pack.dat"));
  const auto keep = std::find(plan.begin(), plan.end(), En("ModRemoveWillKeep"));
  ASSERT_LT(keep + 1, plan.end()) << removed.out;
  EXPECT_EQ(keep[1], "  romfs/mine.txt");
  std::set<std::string> left;
  for (const auto& entry : fs::recursive_directory_iterator(title)) left.insert(GenericUtf8(entry.path().lexically_relative(title)));
  EXPECT_EQ(left, (std::set<std::string>{"romfs", "romfs/mine.txt"}));
  EXPECT_FALSE(fs::exists(receipt));

  // The authors' kit on the same game. The hand-made patch, installed on trial with each of
  // its voice sets, is clean.
  CliResult checked = Cli({"check-patch", PathToUtf8(patch_), PathToUtf8(input_)});
  EXPECT_EQ(checked.exitCode, 0) << checked.out << checked.err;
  EXPECT_EQ(checked.OutLines(), Lines{"No problem found."});
  // The installed tree made into a patch again; a second time into the same folder is refused.
  const fs::path made = work_ / "Снова";
  const std::vector<std::string> makeArgs = {"make-patch", PathToUtf8(input_), "--from", PathToUtf8(tree),
                                             "--out", PathToUtf8(made), "--title", "Again"};
  CliResult result = Cli(makeArgs);
  ASSERT_EQ(result.exitCode, 0) << result.out << result.err;
  EXPECT_THAT(result.out, HasSubstr("patch.xdelta: pack.dat"));
  result = Cli(makeArgs);
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_THAT(result.err, HasSubstr(PathToUtf8(made) + " already exists"));
  // As a mod folder packed for publishing, the same tree checks clean from its zip, installed
  // on trial as it is, and the zip goes into the patch folder as the patch list finds it.
  const fs::path madeMods = work_ / "Снова mods";
  result = Cli({"make-patch", PathToUtf8(input_), "--from", PathToUtf8(tree), "--out", PathToUtf8(madeMods), "--title",
                "Again", "--mods", "--zip"});
  ASSERT_EQ(result.exitCode, 0) << result.out << result.err;
  EXPECT_THAT(result.out, HasSubstr(std::string(titleName) + "/romfs/pack.dat (changed)"));
  EXPECT_TRUE(fs::exists(madeMods / "readme.txt"));
  const fs::path zip = work_ / "Снова mods.zip";
  checked = Cli({"check-patch", PathToUtf8(zip), PathToUtf8(input_)});
  EXPECT_EQ(checked.exitCode, 0) << checked.out << checked.err;
  EXPECT_EQ(checked.OutLines(), Lines{"No problem found."});
  checked = Cli({"add-patch", PathToUtf8(zip)});
  EXPECT_EQ(checked.exitCode, 0) << checked.out << checked.err;
  // A folder that holds no patch is not copied in.
  EXPECT_EQ(Cli({"add-patch", PathToUtf8(tree)}).exitCode, 1);
  EXPECT_FALSE(fs::exists(folder_.app / "patch" / tree.filename()));
  EXPECT_TRUE(fs::exists(folder_.app / "patch" / PathFromUtf8("Снова mods") / titleName / "romfs" / "pack.dat")) << checked.out;
  // That patch checked as it is and with a fault, each copy installed on trial.
  const std::string packDatMD5 = FileMD5(work_ / "old");
  const struct {
    const char* fault;
    std::function<void(const fs::path&)> make;
    int exitCode;
    std::string line;  // the one line printed, whole or (for a failure of the trial) a part
    bool whole = true;
  } checks[] = {
      {"none", [](const fs::path&) {}, 0, "No problem found."},
      {"a program file a mod folder cannot carry", [](const fs::path& p) { WriteFile(p / "exefs/banner.bnr", "a banner"); },
       3, "warning: " + En("WarningModExeFsLeftOut") + " banner.bnr"},
      {"the digest of another archive",
       [&](const fs::path& p) {
         std::string dsc = test::ReadFile(p / "English.dsc");
         dsc.replace(dsc.find(packDatMD5), 32, std::string(32, 'A'));
         WriteFile(p / "English.dsc", dsc);
       },
       1, "error: English.dsc: OriginalPackDatMD5 is " + std::string(32, 'A') + ", the image's pack.dat has " + packDatMD5},
      {"a delta that cannot be applied", [](const fs::path& p) { WriteFile(p / "patch.xdelta", "no delta at all"); }, 1,
       En("ErrorApplyingXdelta"), false},
  };
  for (const auto& c : checks) {
    SCOPED_TRACE(c.fault);
    const fs::path copy = work_ / "check" / c.fault;
    fs::create_directories(copy.parent_path());
    fs::copy(made, copy, fs::copy_options::recursive);
    c.make(copy);
    checked = Cli({"check-patch", PathToUtf8(copy), PathToUtf8(input_)});
    EXPECT_EQ(checked.exitCode, c.exitCode) << checked.out << checked.err;
    ASSERT_EQ(checked.OutLines().size(), 1u) << checked.out;
    if (c.whole) {
      EXPECT_EQ(checked.OutLines().front(), c.line);
    } else {
      EXPECT_THAT(checked.OutLines().front(), AllOf(::testing::StartsWith("error: "), HasSubstr(c.line)));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Games, EndToEnd,
    ::testing::Values(GameCase{"AAT", 0x0004000000138F00ull, ".cia", ".cia", "sound/GS123.bcsar", 104 - 8},
                      GameCase{"AAT", 0x0004000000138F00ull, ".cia", ".cxi", "sound/GS123.bcsar", 104 - 8},
                      GameCase{"AA4", 0x00040000001BBD00ull, ".3ds", ".3ds", "sound/GSB43DS.bcsar", 4492 - 8}),
    [](const ::testing::TestParamInfo<GameCase>& param) {
      return param.param.code + "_" + param.param.outKind.substr(1);
    });

}  // namespace
}  // namespace qpt
