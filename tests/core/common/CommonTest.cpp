#include "core/common/Common.h"
#include "core/common/Volume.h"

#include <gtest/gtest.h>

#include <cctype>
#include <fstream>
#include <sstream>
#include <system_error>

#include "ctr/Names.h"
#include "support/TempDir.h"

namespace qpt {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;
using Args = std::vector<std::string>;

TEST(CommandLine, BlanksSeparateAndQuotesGroup) {
  EXPECT_EQ(SplitCommandLine("\"/opt/my tools/ctrtool\" -p  --exefs=tools/temp/exefs.bin \"/home/me/My Game.cia\""),
            (Args{"/opt/my tools/ctrtool", "-p", "--exefs=tools/temp/exefs.bin", "/home/me/My Game.cia"}));
  EXPECT_EQ(SplitCommandLine("tool a\"b c\"d"), (Args{"tool", "ab cd"}));
  EXPECT_EQ(SplitCommandLine("tool \"\" x"), (Args{"tool", "", "x"}));
  EXPECT_EQ(SplitCommandLine("tool \"a\"\"b\""), (Args{"tool", "a\"b"}));
  EXPECT_EQ(SplitCommandLine("   "), Args{});
}

TEST(CommandLine, LoneTrailingQuoteOfTheDeltaCallIsDropped) {
  // The delta step's argument string ends with a quote that has no partner.
  const std::string line =
      "\"/p/tools/xdelta\" -d -s tools/temp/old_pack.dat \"/my patches/patch 1/patch.xdelta\" "
      "tools/temp/romfs/pack.dat\"";
  EXPECT_EQ(SplitCommandLine(line), (Args{"/p/tools/xdelta", "-d", "-s", "tools/temp/old_pack.dat",
                                          "/my patches/patch 1/patch.xdelta", "tools/temp/romfs/pack.dat"}));
}

TEST(CommandLine, BackslashesCountOnlyBeforeAQuote) {
  EXPECT_EQ(SplitCommandLine("t a\\b\\\\c"), (Args{"t", "a\\b\\\\c"}));
  EXPECT_EQ(SplitCommandLine("t a\\\"b"), (Args{"t", "a\"b"}));           // odd: literal quote
  EXPECT_EQ(SplitCommandLine("t \"a\\\\\" b"), (Args{"t", "a\\", "b"}));  // even: halved, quote closes
  // The program name keeps its backslashes: a folder path ending in one is not an escape.
  EXPECT_EQ(SplitCommandLine("\"C:\\P\\\" x"), (Args{"C:\\P\\", "x"}));
}

TEST(CommandLine, EveryQuotedArgumentSplitsBackUnchanged) {
  for (const std::string name : {"plain", "my \"clean\" image.cia", "ends in a backslash\\", "a\\\"b", "\"",
                                 "x\\\\\"y\\", "it's $HOME", "Jeu Ünïcode", ""}) {
    EXPECT_EQ(SplitCommandLine("tool " + QuoteArgument(name) + " next"), (Args{"tool", name, "next"})) << name;
  }
}

class RunToolTest : public ::testing::Test {
 protected:
  fs::path Tool(const std::string& plan) {
    const fs::path tool = dir_ / "tools" / ("faketool" + ExecutableSuffix());
    fs::create_directories(tool.parent_path());
    fs::remove(tool);
    fs::copy_file(QPT_FAKE_TOOL, tool);
    WriteFile(tool.string() + ".plan", plan);
    return tool;
  }
  std::string Quoted(const fs::path& p) { return "\"" + p.string() + "\""; }
  std::string Calls(const fs::path& tool) { return ReadFile(tool.string() + ".calls"); }

  TempDir dir_{"runtool"};
};

TEST_F(RunToolTest, ReturnsTheToolsExitCode) {
  for (std::uint32_t code : {0u, 1u, 2u, 255u}) {
    const fs::path tool = Tool("exit " + std::to_string(code) + "\n");
    EXPECT_EQ(RunTool(Quoted(tool), "x", dir_.path()), code);
  }
}

TEST_F(RunToolTest, InterruptedToolReportsTheCtrlCStatusAndOtherSignalsAnUnknownCode) {
  EXPECT_EQ(RunTool(Quoted(Tool("signal INT\n")), "", dir_.path()), kExitInterrupted);
  EXPECT_EQ(RunTool(Quoted(Tool("signal TERM\n")), "", dir_.path()), kExitInterrupted);
  const std::uint32_t crashed = RunTool(Quoted(Tool("signal SEGV\n")), "", dir_.path());
  EXPECT_NE(crashed, 0u);
  EXPECT_NE(crashed, 1u);
}

TEST_F(RunToolTest, RunsInTheWorkingFolderWithTheSplitArguments) {
  const fs::path tool = Tool("write tools/temp/out.bin hello\n");
  ASSERT_EQ(RunTool(Quoted(tool), "-xtf romfs \"a b\" tools/temp/romfs.bin\"", dir_.path()), 0u);
  EXPECT_EQ(ReadFile(dir_ / "tools/temp/out.bin"), "hello");
  EXPECT_EQ(Calls(tool), "call\ncwd " + fs::canonical(dir_.path()).string() +
                             "\narg -xtf\narg romfs\narg a b\narg tools/temp/romfs.bin\nend\n");
}

TEST_F(RunToolTest, EmptyWorkingFolderMeansTheCallersFolder) {
  const fs::path tool = Tool("");
  ASSERT_EQ(RunTool(Quoted(tool), "", fs::path()), 0u);
  EXPECT_NE(Calls(tool).find("cwd " + fs::current_path().string() + "\n"), std::string::npos);
}

TEST_F(RunToolTest, AProgramThatCannotStartRaisesAnError) {
  EXPECT_THROW(RunTool(Quoted(dir_ / "tools/missing"), "", dir_.path()), std::system_error);
  // A file that is not a program cannot start either.
  WriteFile(dir_ / "tools/notaprogram", "just text");
  EXPECT_THROW(RunTool(Quoted(dir_ / "tools/notaprogram"), "", dir_.path()), std::system_error);
}

TEST(FolderCopy, CopiesTheFolderUnderItsNameMergingAndReplacing) {
  TempDir dir("copy");
  WriteFile(dir / "patch/exefs/code.bin", "new code");
  WriteFile(dir / "patch/exefs/sub/deep.bin", "deep");
  WriteFile(dir / "temp/exefs/code.bin", "old code");
  WriteFile(dir / "temp/exefs/banner.bnr", "banner");
  ASSERT_TRUE(CopyFolder(dir / "patch/exefs", dir / "temp"));
  EXPECT_EQ(ReadFile(dir / "temp/exefs/code.bin"), "new code");
  EXPECT_EQ(ReadFile(dir / "temp/exefs/sub/deep.bin"), "deep");
  EXPECT_EQ(ReadFile(dir / "temp/exefs/banner.bnr"), "banner");
  EXPECT_TRUE(FileExists(dir / "patch/exefs/code.bin"));  // a copy, not a move
  // A trailing separator names the same folder.
  ASSERT_TRUE(CopyFolder((dir / "patch/exefs").string() + "/", dir / "other"));
  EXPECT_EQ(ReadFile(dir / "other/exefs/code.bin"), "new code");
}

TEST(FolderCopy, NamesCompareWithoutLetterCaseInEveryAlphabet) {
  const std::pair<const char*, const char*> same[] = {
      {"GAME.CIA", "game.cia"}, {"ÉTÉ", "été"},   {"ŁÓDŹ", "łódź"},   {"ΆΘΗΝΑ", "άθηνα"}, {"РУССКИЙ", "русский"},
      {"ЁЖ ЇЄ", "ёж їє"},      {"ҐҚҒ", "ґқғ"},   {"ՀԱՅ", "հայ"},     {"ႠႡ", "ⴀⴁ"},       {"ẠẤ", "ạấ"},
      {"ＡＢ", "ａｂ"},          {"Ǎ", "ǎ"},        {"Ÿ", "ÿ"}};
  for (const auto& [upper, lower] : same) EXPECT_EQ(ctr::FoldNameCase(upper), ctr::FoldNameCase(lower)) << upper;
  // Letters that only look alike stay apart, and bytes that are not UTF-8 stay as they are.
  EXPECT_NE(ctr::FoldNameCase("İ"), ctr::FoldNameCase("ı"));
  EXPECT_NE(ctr::FoldNameCase("×"), ctr::FoldNameCase("÷"));
  EXPECT_EQ(ctr::FoldNameCase("a\xC0" "B"), "a\xC0" "b");
}

TEST(FolderCopy, MissingSourceFails) {
  TempDir dir("copy");
  EXPECT_FALSE(CopyFolder(dir / "nothing", dir / "temp"));
  EXPECT_FALSE(fs::exists(dir / "temp/nothing"));
}

TEST(FolderDelete, RemovesTreesAndFilesAndFailsOnMissingPaths) {
  TempDir dir("delete");
  WriteFile(dir / "temp/a/b/c.bin", "x");
  WriteFile(dir / "single.bin", "x");
  EXPECT_TRUE(DeleteFolder(dir / "temp"));
  EXPECT_FALSE(fs::exists(dir / "temp"));
  EXPECT_TRUE(DeleteFolder(dir / "single.bin"));
  EXPECT_FALSE(DeleteFolder(dir / "temp"));
  EXPECT_TRUE(fs::exists(dir.path()));
}

TEST(Md5, EmptyAndMultiMegabyteFiles) {
  TempDir dir("md5");
  WriteFile(dir / "empty", "");
  EXPECT_EQ(FileMD5(dir / "empty"), "D41D8CD98F00B204E9800998ECF8427E");
  WriteFile(dir / "abc", "abc");
  EXPECT_EQ(FileMD5(dir / "abc"), "900150983CD24FB0D6963F7D28E17F72");
  // 5 MiB + 3 bytes of 'a': crosses the reader's block boundary several times.
  WriteFile(dir / "big", std::string((5u << 20) + 3, 'a'));
  EXPECT_EQ(FileMD5(dir / "big"), "8F80A04B3298F39EEFA039660E9CDB6B");
  EXPECT_THROW(FileMD5(dir / "missing"), std::runtime_error);
}

TEST(Alignment, PaddingTo64AtItsBoundaries) {
  EXPECT_EQ(PaddingTo64(0), 0);
  EXPECT_EQ(PaddingTo64(0x2020), 32);
  EXPECT_EQ(PaddingTo64(64), 0);
  EXPECT_EQ(PaddingTo64(65), 63);
  EXPECT_EQ(PaddingTo64(0x100000000LL + 1), 63);
}

TEST(Alignment, SkipAndPadMoveToTheNextMultiple) {
  std::istringstream in(std::string(100, 'x'));
  in.seekg(33);
  EXPECT_EQ(SkipToAlignment(in, 32), 31);
  EXPECT_EQ(in.tellg(), 64);
  EXPECT_EQ(SkipToAlignment(in, 32), 0);
  EXPECT_EQ(in.tellg(), 64);

  std::ostringstream out;
  out << "12345";
  EXPECT_EQ(PadToAlignment(out, 32), 27);
  EXPECT_EQ(out.str(), "12345" + std::string(27, '\0'));
  EXPECT_EQ(PadToAlignment(out, 32), 0);
  EXPECT_THROW(PadToAlignment(out, 128), std::invalid_argument);
}

TEST(FileOperations, DistinguishFilesFromFoldersAndRefuseToOverwrite) {
  TempDir dir("fileops");
  WriteFile(dir / "a.bin", "a");
  WriteFile(dir / "b.bin", "b");
  EXPECT_TRUE(FileExists(dir / "a.bin"));
  EXPECT_FALSE(FileExists(dir.path()));
  EXPECT_TRUE(FolderExists(dir.path()));
  EXPECT_FALSE(FolderExists(dir / "a.bin"));
  EXPECT_TRUE(CreateFolder(dir / "new"));
  EXPECT_FALSE(CreateFolder(dir / "new"));          // already there
  EXPECT_FALSE(CreateFolder(dir / "x/y"));          // parent missing
  EXPECT_FALSE(RenameFile(dir / "a.bin", dir / "b.bin"));
  EXPECT_EQ(ReadFile(dir / "b.bin"), "b");
  EXPECT_TRUE(RenameFile(dir / "a.bin", dir / "c.bin"));
  EXPECT_FALSE(RenameFile(dir / "a.bin", dir / "d.bin"));
  EXPECT_TRUE(RemoveFile(dir / "c.bin"));
  EXPECT_FALSE(RemoveFile(dir / "c.bin"));
  EXPECT_FALSE(RemoveFile(dir / "new"));            // a folder is not a file
}

TEST(FileOperations, TreeSizeCountsEveryFileBelowAFolderOrTheFileAlone) {
  TempDir dir("bytes");
  WriteFile(dir / "a/b/c.bin", std::string(0x123, 'x'));
  WriteFile(dir / "a/d.bin", std::string(0x45, 'y'));
  EXPECT_EQ(TreeSize(dir / "a"), 0x123u + 0x45u);
  EXPECT_EQ(TreeSize(dir / "a/d.bin"), 0x45u);
  EXPECT_EQ(TreeSize(dir / "missing"), 0u);
}

TEST(Paths, Utf8RoundTripAndNativeSeparators) {
  const std::string name = "Русский/Pokémon 日本.lng";
  EXPECT_EQ(PathToUtf8(PathFromUtf8(name)), name);
  const char sep = static_cast<char>(fs::path::preferred_separator);
  EXPECT_EQ(NativeSeparators("tools\\temp\\exefs.bin"), std::string("tools") + sep + "temp" + sep + "exefs.bin");
}

TEST(Volumes, TheCardsRulesRefuseWhatFatCannotHoldAndNothingElse) {
  const TFileSystemRules fat = RulesOf("vfat"), fuse = RulesOf("fuse.fusefat"), ext4 = RulesOf("ext4");
  EXPECT_EQ(fat.maxFileSize, 0xFFFFFFFFu);
  EXPECT_EQ(fuse.maxFileSize, 0xFFFFFFFFu);
  EXPECT_TRUE(RulesOf("exFAT").caseInsensitive);
  EXPECT_EQ(RulesOf("exfat").maxFileSize, 0u);
  for (const char* name : {"romfs/a.bin", "romfs/ünïcode file.txt", "code.bin", "romfs/.hidden"}) {
    EXPECT_EQ(NameProblem(name, fat), "") << name;
  }
  for (const char* name : {"romfs/what?.bin", "romfs/a:b", "romfs/dots.", "romfs/space /a", "romfs//a", "romfs/a\\b"}) {
    EXPECT_NE(NameProblem(name, fat), "") << name;
    EXPECT_EQ(NameProblem(name, ext4), "") << name;
  }
  // Two folders that differ in case meet as one; a file and anything of its name do not.
  EXPECT_EQ(FindNameCollision({"romfs/Text/a.txt", "romfs/text/b.txt"}), std::nullopt);
  EXPECT_EQ(FindNameCollision({"romfs/Text/a.txt", "romfs/text/A.TXT"}),
            std::make_pair(std::string("romfs/Text/a.txt"), std::string("romfs/text/A.TXT")));
  EXPECT_NE(FindNameCollision({"romfs/Ёлка.txt", "romfs/ёлка.txt"}), std::nullopt);
  EXPECT_NE(FindNameCollision({"romfs/data", "romfs/DATA/x.bin"}), std::nullopt);
}

#ifndef _WIN32
TEST(Volumes, APathBelongsToTheDeepestMountPointAboveItName) {
  const std::vector<TVolume> volumes = {{"/", "ext4", false}, {"/media/ann/CARD", "vfat", true}, {"/media/ann", "tmpfs", false}};
  EXPECT_EQ(VolumeOf("/media/ann/CARD/luma/titles", volumes)->fileSystem, "vfat");
  EXPECT_EQ(VolumeOf("/media/ann/CARD2/x", volumes)->fileSystem, "tmpfs");
  EXPECT_EQ(VolumeOf("/home/ann", volumes)->fileSystem, "ext4");
}
#endif

#ifdef _WIN32
// Elsewhere the locale variables decide, tested through the command-line program's processes.
TEST(Platform, WindowsNamesTheLanguageOfEveryUserLocaleInEnglish) {
  const std::string name = UserLanguageEnglishName();
  ASSERT_FALSE(name.empty());
  EXPECT_EQ(name.find('\0'), std::string::npos);  // the name, not the buffer it came in
  EXPECT_TRUE(std::isupper(static_cast<unsigned char>(name[0]))) << name;  // "English", not "en-US"
}
#endif

}  // namespace
}  // namespace qpt
