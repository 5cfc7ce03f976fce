// Tests of the benchmarks' helpers: the replayed tool sequence must be the job's, the
// synthetic game must be an image the program takes for the fourth game, and the check of an
// installed image must tell a patched output from an unpatched one.
#include <gtest/gtest.h>

#include <fstream>

#include "Measure.h"
#include "SyntheticGame.h"
#include "ToolSequence.h"
#include "core/common/Common.h"
#include "core/install/Install.h"
#include "core/rom/RomIdentify.h"
#include "support/JobFixture.h"
#include "support/RecordingHost.h"
#include "support/TempDir.h"

namespace qpt::bench {
namespace {

namespace fs = std::filesystem;

// Whether a run ended with the success line (the output's name follows it on its own line).
bool Succeeded(const test::RecordingHost& host) {
  for (const std::string& line : host.Lines()) {
    if (line.find("PatchingSuccessful") != std::string::npos) return true;
  }
  return false;
}

// Every call of one tool in the sequence, split as RunTool splits it.
std::vector<std::vector<std::string>> SequenceCalls(const std::vector<TSequenceItem>& items, const std::string& tool) {
  std::vector<std::vector<std::string>> calls;
  for (const TSequenceItem& item : items) {
    if (item.tool != tool) continue;
    std::vector<std::string> words = SplitCommandLine("\"x\" " + item.arguments);
    words.erase(words.begin());
    calls.push_back(words);
  }
  return calls;
}

void ExpectSequenceIsTheJobs(const std::string& inputName, const std::string& outName) {
  test::JobFixture f;
  f.input = f.app / ("input dir/" + inputName);
  test::WriteFile(f.input, "image");
  test::WriteFile(f.patchDir / "patch.xdelta", "delta");
  test::WriteFile(f.patchDir / "exefs/code.bin", "code");
  test::WriteFile(f.patchDir / "romfs/text/a.txt", "text");
  fs::create_directories((f.app / outName).parent_path());
  f.RunJob(outName);
  ASSERT_TRUE(Succeeded(f.host)) << f.host.Lines().back();

  const auto items = InstallSequence(PathToUtf8(f.input.extension()), f.input, f.app / outName, f.patchDir, true);
  for (const char* tool : {"ctrtool", "3dstool", "makerom", "xdelta"}) {
    EXPECT_EQ(SequenceCalls(items, tool), f.Calls(tool)) << tool;
  }
}

TEST(ToolSequence, CiaInCiaOutMakesTheJobsCalls) { ExpectSequenceIsTheJobs("Game Image.cia", "out/New Game.cia"); }

TEST(ToolSequence, CardInCardOutMakesTheJobsCalls) { ExpectSequenceIsTheJobs("Game Image.3ds", "out/New Game.3ds"); }

TEST(ToolSequence, NoDeltaNoXdeltaCall) {
  const auto items = InstallSequence(".cia", "/in/a.cia", "/out/b.cia", "/patch", false);
  EXPECT_TRUE(SequenceCalls(items, "xdelta").empty());
  for (const TSequenceItem& item : items) {
    for (TJobAction a : item.before) {
      EXPECT_NE(a, TJobAction::RenamePackDat);
      EXPECT_NE(a, TJobAction::DeleteOldPackDat);
    }
  }
}

TEST(Measure, ChildExitCodeAndErrorTextAreReported) {
  const TProcessRun run = RunMeasured("/bin/sh", {"-c", "echo oops >&2; exit 3"}, fs::path());
  EXPECT_EQ(run.exitCode, 3);
  EXPECT_EQ(run.errorText, "oops\n");
  EXPECT_GT(run.maxRssKiB, 0);
}

TEST(Measure, PeakMemoryIsTheChildsOwn) {
  // A child that touches 80 MiB must show at least that, whatever its parent holds.
  const TProcessRun run =
      RunMeasured("/bin/sh", {"-c", "head -c 83886080 /dev/zero | tr '\\0' a | { v=$(cat); echo ${#v} >/dev/null; }"},
                  fs::path());
  ASSERT_EQ(run.exitCode, 0) << run.errorText;
  EXPECT_GT(run.maxRssKiB, 80 * 1024);
}

TEST(Measure, PeakMemoryIsNotTheParentsPeak) {
  // Linux charges a vforked or forked child its parent's peak; a benchmark that has just
  // built a large image must still see a small tool as small.
  std::vector<char> held(200u << 20);
  for (std::size_t i = 0; i < held.size(); i += 4096) held[i] = static_cast<char>(i);
  const TProcessRun run = RunMeasured("/bin/true", {}, fs::path());
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_LT(run.maxRssKiB, 32 * 1024) << "held " << static_cast<int>(held[4096]);
}

TEST(Measure, ProgramThatCannotStartThrows) {
  EXPECT_THROW(RunMeasured("/nonexistent/tool", {}, fs::path()), std::runtime_error);
}

TEST(Measure, WorkFolderIsTheChildsCurrentFolder) {
  test::TempDir dir("cwd");
  const TProcessRun run = RunCommandLine("\"/bin/sh\"", "-c \"pwd >&2\"", dir.path());
  EXPECT_EQ(run.errorText, fs::canonical(dir.path()).string() + "\n");
}

TEST(Measure, MinimumAndMedian) {
  EXPECT_DOUBLE_EQ(Minimum({3, 1, 2}), 1);
  EXPECT_DOUBLE_EQ(Median({3, 1, 2}), 2);
  EXPECT_DOUBLE_EQ(Median({4, 1, 3, 2}), 2.5);
  EXPECT_THROW(Median({}), std::invalid_argument);
}

// A small version of the benchmark image: fast to make, with the same shape.
TGameShape SmallShape() {
  TGameShape s;
  s.totalBytes = 6u << 20;
  s.smallFiles = 60;
  s.streamFiles = 30;
  s.streamBytes = 1u << 20;
  s.soundArchiveBytes = 512u << 10;
  s.deltaChanges = 20;
  return s;
}

class SmallGame : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new test::TempDir("benchgame");
    game_ = new TSyntheticGame(BuildSyntheticGame(SmallShape(), dir_->path() / "game"));
  }
  static void TearDownTestSuite() {
    delete game_;
    delete dir_;
  }
  static test::TempDir* dir_;
  static TSyntheticGame* game_;
};
test::TempDir* SmallGame::dir_ = nullptr;
TSyntheticGame* SmallGame::game_ = nullptr;

TEST_F(SmallGame, BothImagesAreTakenForTheFourthGameWithItsSoundArchive) {
  for (const fs::path& image : {game_->cia, game_->threeDs}) {
    const TRomIdentity id = IdentifyRom(image);
    EXPECT_TRUE(id.Identified()) << image;
    EXPECT_EQ(id.gameCode, "AA4");
    EXPECT_GE(id.soundInfoPos, 0);
  }
  EXPECT_EQ(FileMD5(game_->packDat), game_->packDatMd5);
  EXPECT_NE(game_->packDatMd5, game_->patchedPackDatMd5);
}

TEST_F(SmallGame, TheUnpatchedInputFailsTheCheck) {
  EXPECT_EQ(CheckInstalledImage(*game_, game_->cia), "pack.dat is not the patched archive");
}

TEST_F(SmallGame, TheJobInstallsThePatchAndTheCheckPassesForEveryKind) {
  for (const std::string kind : {".cia", ".3ds"}) {
    const fs::path app = dir_->path() / ("app" + kind);
    MakeProgramFolder(app, QPT_TOOLS_DIR);
    test::RecordingHost host;
    TInstallSettings s;
    s.folders = app;
    s.patchDir = game_->patchDir;
    s.romPath = kind == ".cia" ? game_->cia : game_->threeDs;
    s.outPath = dir_->path() / ("out" + kind);
    s.game = TGame::FromCode(game_->game);
    s.originalPackDatMD5 = game_->packDatMd5;
    s.originalPackIncMD5 = game_->packIncMd5;
    CreateInstallJob(kind, host, s)->Execute();
    ASSERT_TRUE(Succeeded(host)) << host.Lines().back();
    EXPECT_EQ(CheckInstalledImage(*game_, s.outPath), "") << kind;
  }
}

TEST_F(SmallGame, ReplayingTheSequenceInstallsThePatch) {
  for (const std::string kind : {".cia", ".3ds"}) {
    const fs::path app = dir_->path() / ("replay" + kind);
    MakeProgramFolder(app, QPT_TOOLS_DIR);
    const fs::path out = dir_->path() / ("replayed" + kind);
    const fs::path input = kind == ".cia" ? game_->cia : game_->threeDs;
    for (const TSequenceItem& item : InstallSequence(kind, input, out, game_->patchDir, true)) {
      for (TJobAction a : item.before) DoJobAction(a, app, kind, game_->patchDir);
      std::string tool(1, '"');
      tool += (app / "tools" / item.tool).string();
      tool += '"';
      const TProcessRun run = RunCommandLine(tool, item.arguments, app);
      ASSERT_EQ(run.exitCode, 0) << item.step << ": " << run.errorText;
    }
    // The replay leaves the sound archive as it was; everything the check reads is patched.
    EXPECT_EQ(CheckInstalledImage(*game_, out), "") << kind;
  }
}

}  // namespace
}  // namespace qpt::bench
