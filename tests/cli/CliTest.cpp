// The command-line program run as a process from a throw-away program folder with stand-in
// tools: usage, identification, the patch list, the music slots, and installation runs with
// their log, refusals, a second concurrent run, Ctrl+C and an output closed early.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <set>
#include <thread>

#include "CliProcess.h"
#include "cli/CliCommon.h"
#include "core/common/Common.h"
#include "core/common/RunLock.h"
#include "core/install/Install.h"
#include "core/install/InstallMods.h"
#include "core/localization/Language.h"
#include "core/music/TrackLists.h"
#include "core/rom/RomIdentify.h"
#include "support/EnglishLeft.h"
#include "support/GameImages.h"
#include "support/JobFixture.h"
#include "support/RawImages.h"

namespace qpt {
namespace {

namespace fs = std::filesystem;
using test::CliResult;
using test::WriteFile;
using ::testing::HasSubstr;
using ::testing::Not;
using Lines = std::vector<std::string>;

constexpr std::uint64_t kTrilogyUsa = 0x0004000000138F00ull;
constexpr std::uint64_t kApolloEur = 0x00040000001BBD00ull;
constexpr std::uint64_t kDualDestiniesJap = 0x00040000000BAA00ull;
constexpr std::uint64_t kDualDestiniesUsa = 0x00040000000F1400ull;
constexpr std::uint64_t kSpiritUsa = 0x000400000018F400ull;

class Cli : public ::testing::Test, protected test::JobFixture {
 protected:
  Cli() {
    fs::copy_file(QPT_CLI_PROGRAM, program);
    LoadLanguage("English", english, app.path());
    LoadLanguage("Русский", russian, app.path());
  }
  CliResult Run(const std::vector<std::string>& args, const std::string& locale = "en_US.UTF-8") {
    return test::RunCli(program, args, cwd.path(), locale);
  }
  // A minimal image that identification accepts, at a path with blanks and non-ASCII letters.
  std::string Image(std::uint64_t programId, const std::string& kind, const std::string& name = "Мой образ ü/game") {
    test::RawImageOptions options;
    options.kind = kind;
    options.programId = programId;
    test::WriteRawImage(cwd / (name + kind), options);
    return name + kind;  // relative to cwd, as a player would type it
  }
  std::string En(const char* key) const { return english.GetLangText(key); }

  fs::path program = app / ("quill-patch-cli" + ExecutableSuffix());
  test::TempDir cwd{"cwd"};
  TLangList english, russian;
};

// ---------------------------------------------------------------- usage

TEST_F(Cli, WrongUsageExitsWithTwoAndAShortUsageText) {
  const std::string image = Image(kDualDestiniesUsa, ".cia");
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"frobnicate", image},
      {"identify"},
      {"identify", image, image},
      {"identify", image, "--out", "x.cia"},
      {"identify", image, "--bogus"},
      {"identify", image, "-x"},
      {"verify", image, "--patch", "P"},
      {"install", image},
      {"install", image, "--out"},
      {"install", image, "--out", "a.cia", "--out", "b.cia"},
      {"install", image, "--out", "a.cia", "--voice", "klingon"},
      {"install", image, "--out", "a.cia", "--write", "0=Court Begins 2001"},
      {"identify", image, "--lang", "Klingon"},
      {"places", image},
  };
  for (const auto& args : cases) {
    const CliResult result = Run(args);
    std::string joined;
    for (const auto& a : args) joined += a + " ";
    EXPECT_EQ(result.exitCode, 2) << joined;
    EXPECT_THAT(result.err, HasSubstr("Usage: quill-patch-cli")) << joined;
    EXPECT_EQ(result.out, "") << joined;
  }
  EXPECT_THAT(Run({"identify", image, "--lang", "Klingon"}).err, HasSubstr("Deutsch, English, Español"));
  // In the player's language, even when the mistake comes before --lang or there is none.
  const struct {
    std::vector<std::string> args;
    const char* locale;
    const char* key;
    std::vector<std::string> values;
  } russianCases[] = {
      {{"identify", image, "--bogus", "--lang", "Русский"}, "en_US.UTF-8", "CliUnknownOption", {"--bogus"}},
      {{"install", image, "--lang=Русский"}, "en_US.UTF-8", "CliInstallNeedsOutput", {}},
      {{"identify"}, "ru_RU.UTF-8", "CliOneImage", {"identify"}},
  };
  for (const auto& c : russianCases) {
#ifdef _WIN32
    // Windows takes the language from the user's locale setting, not from a variable.
    if (std::string(c.locale) != "en_US.UTF-8") continue;
#endif
    const std::string expected = FillMarks(russian.GetLangText(c.key), c.values);
    EXPECT_NE(expected, FillMarks(En(c.key), c.values));
    EXPECT_THAT(Run(c.args, c.locale).err, HasSubstr("quill-patch-cli: " + expected + "\n")) << c.key;
  }
  EXPECT_TRUE(Calls("ctrtool").empty());
}

TEST_F(Cli, HelpDescribesEveryCommandOptionAndExitCode) {
  for (const auto& args : std::vector<std::vector<std::string>>{{"--help"}, {"help"}, {"install", "-h"}}) {
    const CliResult result = Run(args);
    EXPECT_EQ(result.exitCode, 0);
    for (const char* word : {"identify IMAGE", "patches IMAGE", "music IMAGE", "install IMAGE", "verify IMAGE",
                             "verify DIR/<TitleID>", "remove-mods DIR/<TitleID>",
                             "--out PATH", "--patch FOLDER", "--lang NAME", "--voice", "english", "japanese-mod",
                             "japanese-orig", "--music SLOT=TITLE", "--music-file FILE", "--write SLOT=TITLE",
                             "Exit codes: 0", "1 the run", "places [--lang NAME]", "--mods DIR|sd|emulator",
                             "2 wrong usage", "Slots 10 and 11"}) {
      EXPECT_THAT(result.out, HasSubstr(word));
    }
  }
}

// Every other language's player and patch author reads no English from the program: the help,
// a wrong use, the music slots, make-patch's and check-patch's lines and the places.
TEST_F(Cli, EveryOtherLanguageShowsNoEnglish) {
  test::RawImageOptions trilogy;
  trilogy.kind = ".cia";
  trilogy.programId = kTrilogyUsa;
  trilogy.entry = 104;
  test::WriteRawImage(cwd / "trilogy.cia", trilogy);
  // A patch with a fault in each part that the check reads without an image.
  WriteFile(cwd / "faulty/English.dsc", "Title=\"\"\r\n");
  WriteFile(cwd / "faulty/voice/VOICES/3_BCWAV/1.wav", "RIFF");
  WriteFile(cwd / "faulty/pack_dat/first.bin", "entry");
  const std::vector<std::string> languages = test::LanguagesBesideEnglish(app.path());
  EXPECT_FALSE(languages.empty());
  // Option names and command words stay as they are typed.
  std::set<std::string> typed;
  const std::string englishHelp = Run({"--help"}).out;
  for (const auto& command : cli::Commands()) typed.insert(command.name);
  for (std::size_t at = 0; (at = englishHelp.find("--", at)) != std::string::npos; at += 2) {
    const std::size_t end = englishHelp.find_first_not_of("abcdefghijklmnopqrstuvwxyz-", at);
    if (end > at + 2) typed.insert(englishHelp.substr(at, end - at));
  }
  for (const std::string& language : languages) {
    SCOPED_TRACE(language);
    const auto run = [&](std::vector<std::string> args) {
      args.insert(args.end(), {"--lang", language});
      return Run(args);
    };
    const CliResult help = run({"--help"});
    const CliResult usage = run({"identify"});
    const CliResult music = run({"music", "trilogy.cia"});
    const CliResult made = run({"make-patch", "trilogy.cia", "--from", "missing-tree", "--out", "made", "--title", "T"});
    const CliResult checked = run({"check-patch", "faulty"});
    const CliResult places = run({"places"});
    EXPECT_EQ(help.exitCode, 0);
    for (const std::string& word : typed) EXPECT_NE(help.out.find(word), std::string::npos) << word;
    EXPECT_EQ(usage.exitCode, 2);
    ASSERT_EQ(music.exitCode, 0) << music.err;
    EXPECT_EQ(made.exitCode, 1);
    EXPECT_EQ(checked.exitCode, 1);
    EXPECT_GE(checked.OutLines().size(), 4u);
    // The game's own track titles are names, in the last column and the list below it.
    std::vector<std::string> titles;
    for (const std::string& line : music.OutLines()) {
      if (const std::size_t tab = line.rfind('\t'); tab != std::string::npos) titles.push_back(line.substr(tab + 1));
      if (line.rfind("  ", 0) == 0) titles.push_back(line.substr(2));
    }
    // So is the descriptor's key that check-patch names when it is missing, as an author types it.
    titles.push_back("Title");
    std::string shown;
    for (const CliResult* result : {&help, &usage, &music, &made, &checked, &places}) shown += result->out + result->err;
    EXPECT_THAT(test::EnglishLeftIn(shown, app.path(), language, titles), ::testing::IsEmpty());
  }
}

// ---------------------------------------------------------------- identify

TEST_F(Cli, IdentifiesEveryKindWithTheWindowsLinesThenCodeRegionKindAndTitleId) {
  // Another title is taken with a mod folder for it, and has neither code nor region.
  WriteFile(app / "patch/Fan mod/0004000000ABCD00/romfs/a.txt", "a");
  struct Case {
    std::uint64_t id;
    const char* kind;
    Lines expected;
  } cases[] = {
      {kTrilogyUsa, ".cia",
       {"Phoenix Wright: Ace Attorney Trilogy", "ROM Region: USA", "Game code: AAT", "Region: USA", "Kind: CIA",
        "Title ID: 0004000000138F00"}},
      {kApolloEur, ".3ds",
       {"Apollo Justice: Ace Attorney", "ROM Region: EUR", "Game code: AA4", "Region: EUR", "Kind: 3DS",
        "Title ID: 00040000001BBD00"}},
      {kDualDestiniesJap, ".cxi",
       {"Gyakuten Saiban 5", "ROM Region: JAP", "Game code: AA5", "Region: JAP", "Kind: CXI",
        "Title ID: 00040000000BAA00"}},
      {0x0004000000ABCD00ull, ".cia", {"Title ID: 0004000000ABCD00", En("LogModFoldersOnly"), "Kind: CIA"}},
  };
  for (const Case& c : cases) {
    const CliResult result = Run({"identify", Image(c.id, c.kind)});
    EXPECT_EQ(result.exitCode, 0) << c.kind << result.err;
    EXPECT_EQ(result.OutLines(), c.expected);
    EXPECT_EQ(result.err, "");
  }
}

TEST_F(Cli, ImagesTheWindowRefusesExitWithOneAndTheRefusalsText) {
  test::RawImageOptions unknown;
  unknown.programId = 0x00012300;
  test::WriteRawImage(cwd / "unknown.cxi", unknown);
  test::RawImageOptions encrypted;
  encrypted.encrypted = true;
  test::WriteRawImage(cwd / "encrypted.3ds", encrypted);
  WriteFile(cwd / "not a cia.cia", std::string(0x3000, 'x'));

  // A mod folder for another title does not make this one taken.
  WriteFile(app / "patch/Fan mod/0004000000ABCD00/romfs/a.txt", "a");
  const CliResult wrong = Run({"identify", "unknown.cxi"});
  EXPECT_EQ(wrong.exitCode, 1);
  EXPECT_EQ(wrong.OutLines(), (Lines{"ProgramID: 00012300", "Unknown ROM", "Title ID: 0000000000012300",
                                     FillMarks(En("CliNoModPatchForTitle"), {PathToUtf8(app / "patch")})}));
  EXPECT_EQ(wrong.err, En("ErrorWrongROM") + "\n");
  // Its hashes are checked all the same, under its title ID.
  EXPECT_EQ(Run({"verify", "unknown.cxi"}).OutLines().at(0), En("LogTitleID") + "0000000000012300");

  const std::pair<const char*, const char*> refusals[] = {
      {"encrypted.3ds", "ErrorNOT3DSROM"},  // the raw .3ds fixture is a CXI: the kind check comes first
      {"not a cia.cia", "ErrorNOTCIAROM"},
      {"missing.cia", "ErrorLoadingROM"},
  };
  for (const auto& [file, key] : refusals) {
    const CliResult result = Run({"identify", file});
    EXPECT_EQ(result.exitCode, 1) << file;
    EXPECT_EQ(result.err, En(key) + "\n") << file;
  }
  test::RawImageOptions encryptedCxi;
  encryptedCxi.encrypted = true;
  test::WriteRawImage(cwd / "encrypted.cxi", encryptedCxi);
  const CliResult locked = Run({"identify", "encrypted.cxi"});
  EXPECT_EQ(locked.exitCode, 1);
  EXPECT_EQ(locked.out, "");
  EXPECT_EQ(locked.err, En("LogEncrypted") + "\n");

  // Every command that needs an identified image refuses it the same way.
  for (const char* command : {"patches", "music"}) {
    const CliResult result = Run({command, "unknown.cxi"});
    EXPECT_EQ(result.exitCode, 1) << command;
    EXPECT_EQ(result.err, En("ErrorWrongROM") + "\n") << command;
  }
  const CliResult install = Run({"install", "unknown.cxi", "--out", "out.cia"});
  EXPECT_EQ(install.exitCode, 1);
  EXPECT_THAT(install.err, HasSubstr(En("ErrorWrongROM")));
  EXPECT_TRUE(Calls("ctrtool").empty());
}

TEST_F(Cli, TheLanguageFollowsTheLocaleUnlessChosen) {
  test::RawImageOptions unknown;
  unknown.programId = 0x00012300;
  test::WriteRawImage(cwd / "unknown.cxi", unknown);
  const std::string wrongRu = russian.GetLangText("ErrorWrongROM");
  ASSERT_NE(wrongRu, En("ErrorWrongROM"));
  EXPECT_EQ(Run({"identify", "unknown.cxi", "--lang=Русский"}).err, wrongRu + "\n");
#ifdef _WIN32
  GTEST_SKIP() << "the rest is POSIX only: on Windows the language comes from the user's locale setting "
                  "(GetUserDefaultLocaleName), not from LANG, and a test cannot set it for one process";
#endif
  EXPECT_EQ(Run({"identify", "unknown.cxi"}, "ru_RU.UTF-8").err, wrongRu + "\n");
  // A language the program has a file for is taken; one it has none for is English.
  TLangList german;
  ASSERT_TRUE(LoadLanguage("Deutsch", german, app.path()));
  EXPECT_EQ(Run({"identify", "unknown.cxi"}, "de_DE.UTF-8").err, german.GetLangText("ErrorWrongROM") + "\n");
  EXPECT_EQ(Run({"identify", "unknown.cxi"}, "nl_NL.UTF-8").err, En("ErrorWrongROM") + "\n");
  EXPECT_EQ(Run({"identify", "unknown.cxi", "--lang", "english"}, "ru_RU.UTF-8").err, En("ErrorWrongROM") + "\n");
}

// ---------------------------------------------------------------- patches

class CliPatches : public Cli {
 protected:
  void Descriptor(const std::string& relative, const std::string& game, const std::string& region,
                  const std::string& title) {
    WriteFile(app / ("patch/" + relative),
              "\xEF\xBB\xBFGame=" + game + "\r\nRegion=" + region + "\r\nTitle=\"" + title + "\"\r\n");
  }
  std::string Folder(const std::string& name) { return PathToUtf8(app / "patch" / PathFromUtf8(name)); }
};

TEST_F(CliPatches, ListsThePatchesThatFitInTheWindowsOrder) {
  Descriptor("B/English.dsc", "AAT", "USA", "Bee Patch");
  Descriptor("a/any name.dsc", "AAT,AA4", "\"Region Free\"", "A patch");
  Descriptor("c/c.dsc", "AA5", "USA", "Other game");
  Descriptor("d/English.dsc", "AAT", "JAP,EUR", "Other region");
  Descriptor("Ш/English.dsc", "AAT", "USA", "Shah (English)");
  Descriptor("Ш/Русский.dsc", "AAT", "USA", "Ша (по-русски)");
  WriteFile(app / "patch/Fan mod/luma/titles/0004000000138F00/romfs/a.txt", "a");
  const std::string image = Image(kTrilogyUsa, ".cxi");

  const CliResult listed = Run({"patches", image});
  EXPECT_EQ(listed.exitCode, 0);
  EXPECT_EQ(listed.OutLines(), (Lines{"A patch\t" + Folder("a"), "Bee Patch\t" + Folder("B"),
                                       "Fan mod\t" + Folder("Fan mod") + "\tmod folder", "Shah (English)\t" + Folder("Ш")}));
  EXPECT_EQ(Run({"patches", image, "--lang", "Русский"}).OutLines().back(), "Ша (по-русски)\t" + Folder("Ш"));

  const CliResult none = Run({"patches", Image(kSpiritUsa, ".cia", "spirit")});
  EXPECT_EQ(none.exitCode, 0);
  EXPECT_EQ(none.out, "");
  EXPECT_THAT(none.err, HasSubstr("No patch"));
#ifdef _WIN32
  GTEST_SKIP() << "the rest is POSIX only: on Windows the language comes from the user's locale setting "
                  "(GetUserDefaultLocaleName), not from LANG, and a test cannot set it for one process";
#endif
  EXPECT_EQ(Run({"patches", image}, "ru_RU.UTF-8").OutLines().back(), "Ша (по-русски)\t" + Folder("Ш"));
}

// ---------------------------------------------------------------- music

TEST_F(Cli, MusicListsEverySlotWithSceneColumnAndTitleThenTheTitles) {
  test::RawImageOptions trilogy;
  trilogy.kind = ".cia";
  trilogy.programId = kTrilogyUsa;
  trilogy.entry = 104;
  const auto& aat = SlotOffsetsFor("AAT");
  trilogy.streamNames[aat[0]] = "BGM117.dspadpcm.bcstm";
  trilogy.streamNames[aat[5]] = "UNKNOWN_STREAM";
  trilogy.streamNames[aat[10]] = "BGM005.dspadpcm.bcstm";
  trilogy.streamNames[aat[33]] = "BGM200.dspadpcm.bcstm";
  test::WriteRawImage(cwd / "trilogy.cia", trilogy);
  const CliResult result = Run({"music", "trilogy.cia"});
  ASSERT_EQ(result.exitCode, 0) << result.err;
  const Lines lines = result.OutLines();
  ASSERT_EQ(lines.size(), 34u + 2u + 35u);
  EXPECT_EQ(lines[0], "0\tCourtroom Lounge\tAce Attorney 1 (2001)\tCourtroom Lounge 2004");
  EXPECT_EQ(lines[5], "5\tCourt Begins\tAce Attorney 3 (2004)\tUNKNOWN_STREAM");
  // Slots 10 and 11 are one field of the image, so they show one title.
  EXPECT_EQ(lines[10], "10\tLogic and Trick\tAce Attorney 2 (2002)\tLogic and Trick 2001");
  EXPECT_EQ(lines[11], "11\tLogic and Trick\tAce Attorney 3 (2004)\tLogic and Trick 2001");
  EXPECT_EQ(lines[32], "32\tInvestigation ~ Middle\tAce Attorney 3 (2004)\t");
  EXPECT_EQ(lines[33], "33\tGame selection menu\t-\tMain Menu Theme (Trilogy)");
  EXPECT_EQ(lines[34], "");
  EXPECT_EQ(lines[35], "Titles:");
  EXPECT_EQ(lines[36], "  Courtroom Lounge 2001");
  EXPECT_EQ(lines.back(), "  Main Menu Theme (Trilogy)");

  test::RawImageOptions apollo;
  apollo.kind = ".3ds";
  apollo.programId = kApolloEur;
  apollo.entry = 4492;
  apollo.streamNames[SlotOffsetsFor("AA4")[21]] = "BGM55.dspadpcm.bcstm";
  apollo.streamNames[SlotOffsetsFor("AA4")[0]] = "BGM39.dspadpcm.bcstm";
  // The raw card fixture keeps the fields where a CXI has them; identification finds them.
  test::WriteRawImage(cwd / "apollo.3ds", apollo);
  const CliResult fourth = Run({"music", "apollo.3ds"});
  ASSERT_EQ(fourth.exitCode, 0) << fourth.err;
  const Lines four = fourth.OutLines();
  ASSERT_EQ(four.size(), 22u + 2u + 22u);
  EXPECT_EQ(four[0], "0\tCourtroom Lounge\tPresent Day\tCourtroom Lounge 2007");
  EXPECT_EQ(four[21], "21\tInvestigation ~ Middle\t7 Years Ago\tInvestigation ~ Middle 2001");

  const CliResult other = Run({"music", Image(kDualDestiniesUsa, ".cxi")});
  EXPECT_EQ(other.exitCode, 1);
  EXPECT_THAT(other.err, HasSubstr("no music choice"));

  test::RawImageOptions noInfo = trilogy;
  noInfo.entry = 96;  // the file table then sends the reader to the wrong place
  test::WriteRawImage(cwd / "moved.cia", noInfo);
  const CliResult unreadable = Run({"music", "moved.cia"});
  EXPECT_EQ(unreadable.exitCode, 1);
  EXPECT_EQ(unreadable.err, En("ErrorReadingTracks") + "\n");
}

TEST_F(Cli, MusicWriteChangesTheOldImageInPlaceAndItStillVerifies) {
  test::BuildGameImage(IdentificationTable()[5], ".3ds", cwd / "apollo.3ds", cwd / "build");
  const CliResult written =
      Run({"music", "apollo.3ds", "--write", "8=Objection! 2001", "--write", "0=Pursuit ~ Cornered 2007"});
  EXPECT_EQ(written.exitCode, 0) << written.err;
  // Slot 0 holds a name too short to make room for the 2007 pursuit.
  EXPECT_EQ(written.OutLines(), (Lines{En("WarningTrackNameTooLong"), "Pursuit ~ Cornered 2007", En("LogOldRomVerified")}));
  EXPECT_EQ(Run({"verify", "apollo.3ds"}).exitCode, 0);
  const Lines listed = Run({"music", "apollo.3ds"}).OutLines();
  ASSERT_GT(listed.size(), 8u);
  EXPECT_EQ(listed[0], "0\tCourtroom Lounge\tPresent Day\tCourtroom Lounge 2007");
  EXPECT_EQ(listed[8], "8\tObjection!\tPresent Day\tObjection! 2001");
}

// ---------------------------------------------------------------- install with stand-in tools

class CliInstall : public Cli {
 protected:
  CliInstall() {
    // A whole image, which the stand-in makerom hands back as the new one: the check before
    // the success line then finds the program ID and the files of the input.
    const auto& table = IdentificationTable();
    const auto row = std::find_if(table.begin(), table.end(), [](const TGameRow& r) {
      return r.programIdLow == static_cast<std::uint32_t>(kDualDestiniesUsa);
    });
    test::BuildGameImage(*row, ".cia", input, cwd / "build");
    standInImage = app / "made.cia";
    fs::copy_file(input, standInImage);
    PlanTool("makerom");
    WriteFile(patchDir / "English.dsc", "Game=AA5\r\nRegion=USA\r\nTitle=\"My Patch\"\r\nOriginalPackDatMD5=" +
                                            Md5(packDat) + "\r\nOriginalPackIncMD5=" + Md5(packInc) + "\r\n");
    WriteFile(patchDir / "patch.xdelta", "delta");
  }
  std::string Md5(const std::string& text) {
    WriteFile(cwd / "md5", text);
    return FileMD5(cwd / "md5");
  }
  std::vector<std::string> Install(std::vector<std::string> extra) {
    std::vector<std::string> args{"install", PathToUtf8(input), "--out", "out/Новый образ.cia", "--patch", "My Patch"};
    args.insert(args.end(), extra.begin(), extra.end());
    fs::create_directories(cwd / "out");
    return args;
  }
  // Holds 3dstool at the RomFS unpack until release() exists.
  void HoldRomFsUnpack() { PlanTool("3dstool", "when -xtf romfs\nwaitfor " + release.string() + "\n"); }
  // Plans every tool afresh, with no calls yet, and holds tool (when one is named) at the call
  // whose arguments hold `when` until release exists.
  void HoldTool(const std::string& tool, const std::string& when) {
    fs::remove(release);
    for (const char* each : {"ctrtool", "3dstool", "makerom", "xdelta"}) {
      PlanTool(each);
      fs::remove(app.Tool(each).string() + ".calls");
    }
    if (!tool.empty()) PlanTool(tool, "when " + when + "\nwaitfor " + release.string() + "\n");
  }
  // Whether tool has been called with arguments that hold `when`.
  bool Called(const std::string& tool, const std::string& when) const {
    for (const auto& call : Calls(tool)) {
      std::string joined;
      for (const auto& arg : call) joined += arg + " ";
      if (joined.find(when) != std::string::npos) return true;
    }
    return false;
  }
  static Lines WithoutProgress(const Lines& lines) {
    Lines kept;
    for (const std::string& line : lines) {
      if (line.rfind("Progress: ", 0) != 0) kept.push_back(line);
    }
    return kept;
  }
  static Lines ProgressOnly(const Lines& lines) {
    Lines kept;
    for (const std::string& line : lines) {
      if (line.rfind("Progress: ", 0) == 0) kept.push_back(line.substr(10));
    }
    return kept;
  }
  fs::path release = app / "release";
};

TEST_F(CliInstall, PrintsTheWindowsLogAndProgressLinesAndSucceeds) {
  const CliResult result = Run(Install({}));
  EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
  EXPECT_EQ(result.err, "");
  const std::string out = PathToUtf8((cwd / "out/Новый образ.cia").make_preferred());
  Lines expected{"Phoenix Wright: Ace Attorney - Dual Destinies", "ROM Region: USA", "", En("StartPatching"), ""};
  for (const char* key : {"ExtractingNCCH", "Done", "ExtractingExeFS", "Done", "ExtractingRomFS", "Done",
                          "UnpackingRomFS", "Done", "ExtractingCXIHeaders", "Done", "ExtractingExeFSHeaders", "Done",
                          "CheckingMD5PackDat", "MD5Matched", "CheckingMD5PackInc", "MD5Matched", "ApplyingXdelta",
                          "Done", "RebuildingExeFS", "Done", "RebuildingRomFS", "Done", "RebuildingCXI", "Done",
                          "RebuildingCIA", "Done", "CheckingNewImage", "Done"}) {
    expected.push_back(En(key));
  }
  // The receipt's path, then the success line.
  std::string receipt = En("ReceiptWritten");
  receipt.replace(receipt.find("%1"), 2, out + ".txt");
  expected.push_back(receipt);
  expected.insert(expected.end(), {"", En("PatchingSuccessful"), "[" + out + "]"});
  EXPECT_EQ(WithoutProgress(result.OutLines()), expected);
  // Every stage's end in order; a long tool step may add values of its own in between.
  const Lines progress = ProgressOnly(result.OutLines());
  auto at = progress.begin();
  for (const char* mark : {"0%", "8%", "10%", "20%", "30%", "31%", "32%", "33%", "36%", "46%", "48%", "50%", "60%",
                           "62%", "74%", "86%", "96%", "100%"}) {
    at = std::find(at, progress.end(), mark);
    EXPECT_NE(at, progress.end()) << mark;
  }
  // The output named relative to where the player is, not to the program folder the tools run in.
  const auto makerom = Calls("makerom");
  ASSERT_EQ(makerom.size(), 1u);
  EXPECT_EQ(makerom[0].back(), out);
  EXPECT_FALSE(fs::exists(app / "tools/temp"));
}

TEST_F(CliInstall, AFailedRunExitsWithOneAfterRemovingTheWorkFolder) {
  // An existing output is refused before anything starts when no terminal can be asked;
  // --replace writes over it.
  WriteFile(cwd / "out/Новый образ.cia", "the player's file");
  const CliResult exists = Run(Install({}));
  EXPECT_EQ(exists.exitCode, 1);
  std::string refusal = En("CliOutputExists");
  refusal.replace(refusal.find("%1"), 2, PathToUtf8((cwd / "out/Новый образ.cia").make_preferred()));
  EXPECT_THAT(exists.err, HasSubstr(refusal));
  EXPECT_THAT(exists.err, Not(HasSubstr("[y/N]"))) << "a script's empty input is nobody to ask";
  EXPECT_TRUE(Calls("ctrtool").empty());

  PlanTool("makerom", "exit 1");
  const CliResult result = Run(Install({"--replace"}));
  EXPECT_EQ(result.exitCode, 1);
  const Lines log = WithoutProgress(result.OutLines());
  EXPECT_EQ(Lines(log.end() - 3, log.end()), (Lines{En("ErrorRebuildingCIA"), "", En("InstallFailedNothingWritten")}));
  EXPECT_FALSE(fs::exists(app / "tools/temp"));

  // A missing container tool stops before anything starts, with the window's text.
  fs::remove(app.Tool("makerom"));
  const CliResult missing = Run(Install({}));
  EXPECT_EQ(missing.exitCode, 1);
  EXPECT_THAT(missing.err, HasSubstr(En("Missingmakerom")));
}

TEST_F(CliInstall, ChoicesTheWindowWouldNotOfferAreUsageErrors) {
  WriteFile(app / "patch/Trilogy only/English.dsc", "Game=AAT\r\nRegion=USA\r\nTitle=\"Trilogy only\"\r\n");
  const std::vector<std::vector<std::string>> cases = {
      {"--voice", "english"},                       // the patch has no voice sets
      {"--music", "0=Courtroom Lounge 2001"},       // this game has no music choice
      {"--music-file", "choice.txt"},
      {"--patch", "No such patch"},
      {"--patch", "Trilogy only"},                  // does not fit a Dual Destinies image
      {"--out", "image.3ds"},                       // a CIA input cannot become a card image
      {"--out", "no such folder/out.cia"},
      {"--out", PathToUtf8(input)},                 // never overwrite the player's image,
      {"--out", PathToUtf8(RemoveExtension(input)) + ".CIA"},  // also not through the kind's extension
      {"--mods", "."},                              // an image or a mod folder, not both
  };
  for (const auto& extra : cases) {
    std::vector<std::string> args = Install({});
    if (extra[0] == "--patch" || extra[0] == "--out") {
      const auto at = std::find(args.begin(), args.end(), extra[0]);
      *(at + 1) = extra[1];
    } else {
      args.insert(args.end(), extra.begin(), extra.end());
    }
    const CliResult result = Run(args);
    EXPECT_EQ(result.exitCode, 2) << extra[0] << " " << extra[1];
    EXPECT_THAT(result.err, HasSubstr("Usage:")) << extra[0] << " " << extra[1];
  }
  std::vector<std::string> unknownPatch = Install({});
  *(std::find(unknownPatch.begin(), unknownPatch.end(), "--patch") + 1) = "No such patch";
  EXPECT_THAT(Run(unknownPatch).err, HasSubstr("quill-patch-cli patches IMAGE"));
  EXPECT_TRUE(Calls("ctrtool").empty());
}

// The volumes and the emulators' folders are given to the program, so that the machine's own
// cards and emulators stay out of it.
TEST_F(CliInstall, ModsTakesTheOnlyPlaceOfItsKindOrAFolderMadeOneLevelDeep) {
  const fs::path home = cwd / "home", card = cwd / "card", second = cwd / "second card";
  for (const fs::path& folder : {card / "luma", second / "luma", home / ".local/share/azahar-emu"}) {
    fs::create_directories(folder);
  }
  const std::string separator = ExecutableSuffix().empty() ? ":" : ";";
  const auto run = [&](std::vector<std::string> args, const std::vector<fs::path>& volumes, bool emulator = true) {
    std::string list;
    for (const fs::path& volume : volumes) list += (list.empty() ? "" : separator) + PathToUtf8(volume);
    if (args[0] == "install") args.insert(args.end(), {"--no-receipt", PathToUtf8(input)});
    test::CliProcess process(program, args, cwd.path(), "en_US.UTF-8", test::CliOutput::File,
                             {"HOME=" + (emulator ? PathToUtf8(home) : ""), "XDG_DATA_HOME=", "APPDATA=",
                              "QPT_TEST_VOLUMES=" + list});
    return process.Wait();
  };
  const auto line = [&](const std::string& kind, const fs::path& target) {
    return kind + "\t" + PathToUtf8(fs::path(target).make_preferred()) + "\t";
  };
  const std::string cardLine = line(En("CliPlaceSdCard"), card / "luma/titles");

  const CliResult places = run({"places"}, {card, home});  // home: a volume without luma
  EXPECT_EQ(places.exitCode, 0);
  EXPECT_EQ(places.OutLines().size(), 2u) << places.out;
  EXPECT_THAT(places.out, HasSubstr(cardLine));
  EXPECT_THAT(places.out, HasSubstr(line(FillMarks(En("CliPlaceEmulator"), {"Azahar"}),
                                         home / ".local/share/azahar-emu/load/mods")));
  EXPECT_THAT(places.out, HasSubstr(FillMarks(En("CliPlaceFree"), {""})));
  const CliResult none = run({"places"}, {}, false);
  EXPECT_EQ(none.exitCode, 0);
  EXPECT_EQ(none.out + none.err, En("CliNoPlaces") + "\n");

  // None of the kind, or two: nothing starts, and the player is told to name the folder.
  const CliResult noEmulator = run({"install", "--mods", "emulator"}, {card}, false);
  EXPECT_EQ(noEmulator.exitCode, 1);
  EXPECT_THAT(noEmulator.err, HasSubstr(En("CliNoEmulatorFolder")));
  const CliResult two = run({"install", "--mods", "sd"}, {card, second});
  EXPECT_EQ(two.exitCode, 1);
  EXPECT_THAT(two.err, HasSubstr(cardLine));
  EXPECT_THAT(two.err, HasSubstr(line(En("CliPlaceSdCard"), second / "luma/titles")));
  EXPECT_THAT(two.err, HasSubstr(En("CliSeveralPlaces")));
  EXPECT_FALSE(fs::exists(card / "luma/titles"));

  // A missing folder is made one level deep, never two; one named as a kind is given as ./sd.
  const CliResult twoLevels = run({"install", "--mods", "no such/mods"}, {});
  EXPECT_EQ(twoLevels.exitCode, 2);
  const std::string missing = PathToUtf8((cwd / "no such/mods").make_preferred());
  EXPECT_THAT(twoLevels.err, HasSubstr(FillMarks(En("CliModsFolderMissing"), {missing})));
  EXPECT_TRUE(Calls("ctrtool").empty());
  const std::string title = ModTitleFolderName(kDualDestiniesUsa);
  using Written = std::pair<std::string, fs::path>;  // --mods and where the title folder goes
  for (const auto& [mods, written] : {Written{"./sd", cwd / "sd"}, Written{"sd", card / "luma/titles"}}) {
    const CliResult made = run({"install", "--mods", mods}, {card});
    EXPECT_EQ(made.exitCode, 0) << made.out << made.err;
    EXPECT_TRUE(fs::is_directory(written / title)) << mods;
  }
}

TEST_F(CliInstall, ASecondRunBesideTheFirstIsRefusedAndLeavesItsWorkFolder) {
  HoldRomFsUnpack();
  test::CliProcess first(program, Install({}), cwd.path());
  ASSERT_TRUE(test::WaitUntil([&] { return !Calls("3dstool").empty(); }));

  const CliResult second = Run({"install", PathToUtf8(input), "--out", "second.cia"});
  EXPECT_EQ(second.exitCode, 1);
  const Lines log = WithoutProgress(second.OutLines());
  EXPECT_EQ(Lines(log.end() - 3, log.end()), (Lines{En("ErrorAnotherRun"), "", En("InstallFailedNothingWritten")}));
  EXPECT_TRUE(fs::exists(app / "tools/temp/romfs.bin"));  // the first run's files are untouched
  EXPECT_EQ(Calls("ctrtool").size(), 3u);                  // and the second started no tool

  WriteFile(release, "");
  const CliResult done = first.Wait();
  EXPECT_EQ(done.exitCode, 0) << done.out << done.err;
  EXPECT_THAT(done.out, HasSubstr(En("PatchingSuccessful")));
  EXPECT_FALSE(fs::exists(app / "tools/temp"));
}

TEST_F(CliInstall, CtrlCInTheTerminalCancelsDuringEveryLongStepAndLeavesNothingBehind) {
  const std::string original = test::ReadFile(input);
  const struct {
    const char* tool;
    const char* when;
  } steps[] = {{"3dstool", "-xtf romfs"}, {"3dstool", "-ctf romfs"}, {"makerom", "-f Cia"}};
  for (const auto& step : steps) {
    SCOPED_TRACE(step.when);
    HoldTool(step.tool, step.when);
    test::CliProcess run(program, Install({}), cwd.path());
    ASSERT_TRUE(test::WaitUntil([&] { return Called(step.tool, step.when); }));
    // The terminal sends Ctrl+C to the whole group: the program takes it as its cancel
    // button, and the tool, in a group of its own, finishes what it was doing.
    if (!run.InterruptGroup()) {
      WriteFile(release, "");
      GTEST_SKIP() << "no console to send Ctrl+Break through: a test run under Wine without a terminal has none";
    }
    ASSERT_TRUE(test::WaitUntil([&] { return run.OutSoFar().find(En("CancelInstall")) != std::string::npos; }));
    WriteFile(release, "");
    const CliResult result = run.Wait();
    EXPECT_EQ(result.exitCode, 1);
    const Lines log = WithoutProgress(result.OutLines());
    EXPECT_EQ(Lines(log.end() - 2, log.end()), (Lines{"", En("InstallCancelledNothingWritten")}));
    EXPECT_THAT(result.out, Not(HasSubstr(En("PatchingSuccessful"))));
    // The tool was not interrupted: it ended its step normally.
    for (const char* key : {"Unk3dstoolError", "UnkMakeromError", "InstallCanceled"}) {
      EXPECT_THAT(result.out, Not(HasSubstr(En(key)))) << key;
    }
    EXPECT_THAT(result.err, Not(HasSubstr("cancelled")));  // said once, in the log
    EXPECT_FALSE(fs::exists(app / "tools/temp"));
    EXPECT_FALSE(fs::exists(cwd / "out/Новый образ.cia"));
    EXPECT_EQ(test::ReadFile(input), original);
  }
}

TEST_F(CliInstall, AClosedOutputEndsARunCleanlyAndLeavesNoWorkFilesOrTools) {
  WriteFile(cwd / "tree/text/new.txt", "a file the image does not have");
  const fs::path scratch = cwd / "tmp";  // check-patch's trial runs in the system's temporary folder
  fs::create_directories(scratch);
  const std::string tmp = PathToUtf8(scratch);
  const struct {
    std::vector<std::string> args;
    const char* heldTool;  // held at the call holding `when` while the output is closed
    const char* when;
    std::size_t linesRead;  // before the output is closed, as `| head -3` does
    int exitCode;
  } runs[] = {
      // An install stops as on Ctrl+C, also when the output goes while its last tool runs.
      {Install({}), "3dstool", "-xtf romfs", 3, 4},
      {Install({}), "makerom", "-f Cia", 3, 4},
      // The authors' commands print at their end, when their work is done.
      {{"make-patch", PathToUtf8(input), "--from", "tree", "--out", "made", "--title", "T"}, "", "", 0, 0},
      {{"check-patch", "made", PathToUtf8(input)}, "", "", 0, 0},
  };
  for (const auto& r : runs) {
    SCOPED_TRACE(r.args[0] + " " + r.when);
    HoldTool(r.heldTool, r.when);
    test::CliProcess run(program, r.args, cwd.path(), "en_US.UTF-8", test::CliOutput::Pipe,
                         {"TMPDIR=" + tmp, "TMP=" + tmp, "TEMP=" + tmp});
    std::string line;
    for (std::size_t i = 0; i < r.linesRead; ++i) ASSERT_TRUE(run.ReadOutLine(line));
    if (*r.heldTool) {
      ASSERT_TRUE(test::WaitUntil([&] { return Called(r.heldTool, r.when); }));
    }
    run.CloseOut();
    WriteFile(release, "");
    const CliResult result = run.Wait();
    EXPECT_EQ(result.exitCode, r.exitCode) << result.err;
    if (r.exitCode == 4) {
      EXPECT_EQ(result.err, En("CliOutputClosed") + "\n");
    }
    EXPECT_FALSE(fs::exists(app / "tools/temp"));
    EXPECT_TRUE(fs::is_empty(scratch));
    EXPECT_FALSE(fs::exists(cwd / "out/Новый образ.cia"));
    EXPECT_TRUE(TRunLock(app.path()).Held()) << "a tool of the run still holds the folder";
  }
  EXPECT_TRUE(fs::exists(cwd / "made/English.dsc"));
  EXPECT_FALSE(fs::exists(cwd / "made/digest.qpt-partial"));
}

TEST_F(CliInstall, AKilledRunTakesItsToolAlongAndFreesTheFolder) {
  HoldRomFsUnpack();
  {
    test::CliProcess run(program, Install({}), cwd.path());
    ASSERT_TRUE(test::WaitUntil([&] { return !Calls("3dstool").empty(); }));
    run.Kill();
    EXPECT_EQ(run.Wait().exitCode, test::kKilledExitCode);
  }
  // The tool held the run's lock; it dies with the program, and the folder is free again at
  // once, with no late write from it into a folder the next run may have taken.
  const auto killed = std::chrono::steady_clock::now();
  while (!TRunLock(app.path()).Held() && std::chrono::steady_clock::now() - killed < std::chrono::seconds(1)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(TRunLock(app.path()).Held());
  WriteFile(release, "");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_FALSE(fs::exists(app / "tools/temp/romfs/sound/a.bin"));

  PlanTool("ctrtool", "exit 1");
  const CliResult next = Run({"install", PathToUtf8(input), "--out", "second.cia"});
  EXPECT_EQ(next.exitCode, 1);
  EXPECT_THAT(next.out, HasSubstr(En("ExtractingNCCH")));
  EXPECT_THAT(next.out, Not(HasSubstr(En("ErrorAnotherRun"))));
}

}  // namespace
}  // namespace qpt
