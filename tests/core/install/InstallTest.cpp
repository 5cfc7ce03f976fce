#include "core/install/Install.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <future>
#include <map>
#include <sstream>
#include <thread>

#include "core/common/Common.h"
#include "core/common/RunLock.h"
#include "core/install/OutputCheck.h"
#include "core/install/ToolProgress.h"
#include "core/install/WorkFolder.h"
#include "support/ImageBuilder.h"
#include "support/JobFixture.h"

namespace qpt {
namespace {

namespace fs = std::filesystem;
using test::L;
using test::WriteFile;
using ::testing::Contains;
using ::testing::Not;
using Lines = std::vector<std::string>;

// A fixed argument of the tools in the platform's separator, as the job writes them.
std::string N(const std::string& relative) { return NativeSeparators(relative); }

std::string Md5Of(const std::string& text) {
  test::TempDir dir("md5");
  WriteFile(dir / "f", text);
  return FileMD5(dir / "f");
}

Lines Keys(std::initializer_list<const char*> keys) {
  Lines lines;
  for (const char* k : keys) lines.push_back(k[0] == '\0' ? "" : L(k));
  return lines;
}

// A value the job set the bar to, with the number of log lines there were at the time.
struct TBarMark {
  int percent;
  std::size_t lines;
};

// The bar starts at 0, never goes back, and moves on after every finished stage (its "Done"
// line) before the next line is logged, whatever percentages the stages end at; a long tool
// step may add values of its own in between, as its output grows. A run that succeeds ends at
// 100. One that fails never gets there, and nothing moves the bar once a line after the last
// finished stage is logged.
::testing::AssertionResult BarFollowsTheStages(const std::vector<TBarMark>& bar, const Lines& lines, bool succeeded) {
  if (bar.empty() || bar.front().percent != 0) return ::testing::AssertionFailure() << "does not start at 0";
  for (std::size_t i = 1; i < bar.size(); ++i) {
    if (bar[i].percent < bar[i - 1].percent) {
      return ::testing::AssertionFailure() << "goes back from " << bar[i - 1].percent << " to " << bar[i].percent;
    }
  }
  std::size_t afterLastDone = 0;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i] != L("Done")) continue;
    afterLastDone = i + 1;
    int before = -1;
    bool movedOn = false;
    for (const TBarMark& mark : bar) {
      if (mark.lines <= i) before = std::max(before, mark.percent);
    }
    for (const TBarMark& mark : bar) {
      if (mark.lines == i + 1 && mark.percent > before) movedOn = true;
    }
    if (!movedOn) return ::testing::AssertionFailure() << "stands still after the \"Done\" of log line " << i + 1;
  }
  if (succeeded && bar.back().percent != 100) return ::testing::AssertionFailure() << "ends at " << bar.back().percent;
  if (!succeeded) {
    if (bar.back().percent >= 100) return ::testing::AssertionFailure() << "reaches 100 in a failed run";
    if (bar.back().lines > afterLastDone) {
      return ::testing::AssertionFailure() << "moves to " << bar.back().percent << " after the last finished stage";
    }
  }
  return ::testing::AssertionSuccess();
}

// A call of a tool as the notes on the fixed tool calls document it (tests/data/tool-calls.txt).
struct TDocumentedCall {
  int line;
  std::string inputKinds, outputKinds, tool;
  std::vector<std::string> arguments;

  bool For(const std::string& input, const std::string& output) const {
    const auto has = [](const std::string& list, const std::string& kind) {
      if (list == "*") return true;
      std::istringstream items(list);
      std::string item;
      while (std::getline(items, item, ',')) {
        if (item == kind) return true;
      }
      return false;
    };
    return has(inputKinds, input) && has(outputKinds, output);
  }

  // Whether a call's arguments are these. A value in angle brackets stands for the argument it
  // first meets, and from then on for that argument only.
  bool Matches(const std::vector<std::string>& actual, std::map<std::string, std::string>& values) const {
    if (actual.size() != arguments.size()) return false;
    std::map<std::string, std::string> bound = values;
    for (std::size_t i = 0; i < actual.size(); ++i) {
      const std::string& documented = arguments[i];
      if (documented.size() > 2 && documented.front() == '<' && documented.back() == '>') {
        const auto known = bound.emplace(documented, actual[i]).first;
        if (known->second != actual[i]) return false;
      } else if (NativeSeparators(documented) != actual[i]) {
        return false;
      }
    }
    values = std::move(bound);
    return true;
  }
};

std::string Trimmed(const std::string& text) {
  const std::size_t first = text.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

std::vector<TDocumentedCall> DocumentedCalls() {
  std::vector<TDocumentedCall> calls;
  std::istringstream in(test::ReadFile(fs::path(QPT_TEST_DATA_DIR) / "tool-calls.txt"));
  std::string text;
  for (int line = 1; std::getline(in, text); ++line) {
    if (!text.empty() && text.back() == '\r') text.pop_back();
    if (text.empty() || text[0] == '#') continue;
    std::vector<std::string> fields;
    std::istringstream row(text);
    for (std::string field; std::getline(row, field, '|');) fields.push_back(Trimmed(field));
    if (fields.size() != 4) {
      ADD_FAILURE() << "tool-calls.txt:" << line << ": not four fields";
      continue;
    }
    TDocumentedCall call{line, fields[0], fields[1], fields[2], {}};
    std::istringstream words(fields[3]);
    for (std::string word; words >> word;) call.arguments.push_back(word);
    calls.push_back(std::move(call));
  }
  return calls;
}

std::string Joined(const std::vector<std::string>& words) {
  std::string text;
  for (const std::string& word : words) text += (text.empty() ? "" : " ") + word;
  return text;
}

// What a call of 3dstool does, from its first two arguments: "-xtf 3ds".
std::string Verb(const std::vector<std::string>& call) { return call.size() < 2 ? Joined(call) : call[0] + " " + call[1]; }

Lines Concat(Lines a, const Lines& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

const Lines kCiaExtraction = Keys({"ExtractingNCCH", "Done", "ExtractingExeFS", "Done", "ExtractingRomFS", "Done",
                                   "UnpackingRomFS", "Done", "ExtractingCXIHeaders", "Done",
                                   "ExtractingExeFSHeaders", "Done"});

class InstallJob : public ::testing::Test, protected test::JobFixture {
 protected:
  InstallJob() {
    host.onProgress = [this](int percent) { bar.push_back({percent, host.Lines().size()}); };
  }
  std::string Out(const std::string& name) { return PathToUtf8(app / name); }
  // For a further run in the same test.
  void ResetRun() {
    host.Reset();
    bar.clear();
  }
  // Starts a job whose tool (planned with `plan`, RELEASE standing for a release file) holds
  // until released, asks the job to stop while the tool runs, releases it, and waits for the
  // end of the run.
  void CancelWhileToolRuns(const std::string& tool, std::string plan) {
    const fs::path release = app / "release";
    plan.replace(plan.find("RELEASE"), 7, release.string());
    PlanTool(tool, plan);
    auto job = Create("out.cia");
    job->Start();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (Calls(tool).empty() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    job->Terminate();
    WriteFile(release, "");
    host.WaitForEnd();
    job->WaitFor();
  }

  // The bar as the runs so far set it.
  std::vector<TBarMark> bar;
};

TEST_F(InstallJob, CiaInputWithADeltaLogsEveryStepInOrder) {
  WriteFile(patchDir / "patch.xdelta", "delta");
  auto settings = Settings("out.cia");
  settings.originalPackDatMD5 = Md5Of(packDat);
  settings.originalPackIncMD5 = Md5Of(packInc);
  // Deleting is slow here, as for a file of a GiB: the run must still end only once every work
  // file moved aside for deletion is gone.
  settings.hooks.deletingWorkFile = [](const fs::path&) { std::this_thread::sleep_for(std::chrono::milliseconds(40)); };
  auto job = CreateInstallJob(".cia", host, settings);
  job->Execute();
  for (const auto& entry : fs::directory_iterator(app / "tools/temp")) {
    EXPECT_NE(PathToUtf8(entry.path().filename()).rfind("deleting-", 0), 0u) << entry.path();
  }

  const Lines expected = Concat(
      kCiaExtraction,
      Concat(Keys({"CheckingMD5PackDat", "MD5Matched", "CheckingMD5PackInc", "MD5Matched", "ApplyingXdelta", "Done",
                   "RebuildingExeFS", "Done", "RebuildingRomFS", "Done", "RebuildingCXI", "Done", "RebuildingCIA",
                   "Done", "CheckingNewImage", "Done", "", "PatchingSuccessful"}),
             Lines{"[" + Out("out.cia") + "]"}));
  EXPECT_EQ(host.Lines(), expected);
  EXPECT_EQ(host.endCount, 1);
  EXPECT_TRUE(BarFollowsTheStages(bar, host.Lines(), true));
  EXPECT_EQ(host.languageBox, std::vector<bool>{false});
  EXPECT_EQ(test::ReadFile(Packed("pack.dat")), "PACKDAT-patched");
  EXPECT_FALSE(fs::exists(app / "tools/temp/old_pack.dat"));
  for (const char* gone : {"c.0000.00000000", "exefs.bin", "romfs.bin"}) {
    EXPECT_FALSE(fs::exists(app / "tools/temp" / gone)) << gone;
  }
}

// Every call a run makes is a documented call of its input and output kind, run in the program
// folder, and each documented call of the kind is made once (there is a delta in the patch),
// but for the ExeFS extraction without decompression: only an image whose .code is stored
// uncompressed needs that second try. Blanks and letters beyond ASCII in the input, output and
// patch paths show an argument that lost its quotes.
TEST_F(InstallJob, EveryToolCallIsADocumentedOneForEveryInputAndOutputKind) {
  const std::vector<TDocumentedCall> documented = DocumentedCalls();
  ASSERT_FALSE(documented.empty());
  WriteFile(patchDir / "patch.xdelta", "delta");
  fs::create_directories(app / "Out Dir");
  const std::string programFolder = fs::canonical(app.path()).string();
  const struct {
    const char* input;
    const char* output;
    bool plainCode;
  } kinds[] = {{"cia", "cia", false}, {"cia", "cxi", true},  {"cxi", "cia", true},  {"cxi", "cxi", false},
               {"3ds", "3ds", true},  {"3ds", "cia", false}, {"3ds", "cxi", true}};
  for (const auto& kind : kinds) {
    SCOPED_TRACE(std::string(kind.input) + " to " + kind.output);
    ResetRun();
    for (const char* tool : {"ctrtool", "3dstool", "makerom", "xdelta"}) {
      fs::remove(app.Tool(tool).string() + ".calls");
      PlanTool(tool);
    }
    if (kind.plainCode) PlanTool("3dstool", "when -xutf exefs\nexit 1");
    input = app / (std::string("input dir/Jeu Ünïcode.") + kind.input);
    WriteFile(input, "image");
    const std::string out = std::string("Out Dir/game.fr.") + kind.output;
    auto job = Create(out);
    job->Execute();
    ASSERT_TRUE(job->Succeeded()) << ::testing::PrintToString(host.Lines());
    EXPECT_TRUE(BarFollowsTheStages(bar, host.Lines(), true));

    std::map<std::string, std::string> values = {
        {"<input>", PathToUtf8(input)}, {"<output>", Out(out)}, {"<patch>", PathToUtf8(patchDir / "patch.xdelta")}};
    std::vector<int> made(documented.size(), 0);
    for (const char* tool : {"ctrtool", "3dstool", "makerom", "xdelta"}) {
      for (const std::vector<std::string>& call : Calls(tool)) {
        const auto row = std::find_if(documented.begin(), documented.end(), [&](const TDocumentedCall& d) {
          return d.tool == tool && d.For(kind.input, kind.output) && d.Matches(call, values);
        });
        if (row == documented.end()) {
          ADD_FAILURE() << "an undocumented call: " << tool << " " << Joined(call);
        } else {
          ++made[static_cast<std::size_t>(row - documented.begin())];
        }
      }
      std::ifstream calls(app.Tool(tool).string() + ".calls");
      for (std::string line; std::getline(calls, line);) {
        if (line.rfind("cwd ", 0) == 0) {
          EXPECT_EQ(line.substr(4), programFolder) << tool;
        }
      }
    }
    for (std::size_t i = 0; i < documented.size(); ++i) {
      if (!documented[i].For(kind.input, kind.output)) continue;
      const bool retry = Verb(documented[i].arguments) == "-xtf exefs";
      EXPECT_EQ(made[i], retry && !kind.plainCode ? 0 : 1) << "tool-calls.txt:" << documented[i].line << ": " << documented[i].tool << " "
                            << Joined(documented[i].arguments);
    }
  }
}

TEST_F(InstallJob, ThreeDsInputExtractsPartitionZeroAndRebuildsA3dsImage) {
  input = app / "Game.3ds";
  WriteFile(input, "image");
  RunJob("out.3ds");
  const auto calls = Calls("3dstool");
  ASSERT_FALSE(calls.empty()) << ::testing::PrintToString(host.Lines());
  EXPECT_EQ(Verb(calls.front()), "-xtf 3ds");
  EXPECT_EQ(Verb(calls.back()), "-ctf 3ds");
  EXPECT_TRUE(Calls("ctrtool").empty());
  EXPECT_EQ(host.Lines().back(), "[" + Out("out.3ds") + "]");
  EXPECT_FALSE(fs::exists(app / N("tools/temp/Partition0.bin")));
}

TEST_F(InstallJob, CxiInputStartsWithTheExeFsAndCxiOutputEndsAfterTheCxi) {
  input = app / "Game.cxi";
  WriteFile(input, "image");
  RunJob("new.cxi");
  const Lines lines = host.Lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.front(), L("ExtractingExeFS"));
  EXPECT_EQ(lines.back(), "[" + Out("new.cxi") + "]");
  EXPECT_THAT(lines, Not(Contains(L("ExtractingNCCH"))));
  EXPECT_THAT(lines, Not(Contains(L("RebuildingCIA"))));
  EXPECT_TRUE(Calls("makerom").empty());
  EXPECT_EQ(Verb(Calls("3dstool").back()), "-cvtf cxi");
  EXPECT_TRUE(BarFollowsTheStages(bar, lines, true));
}

TEST_F(InstallJob, OutputKindIgnoresLetterCaseAndUnknownExtensionsBuildA3dsImage) {
  RunJob("GAME.CIA");
  EXPECT_EQ(Calls("makerom").size(), 1u);
  EXPECT_EQ(host.Lines().back(), "[" + Out("GAME.cia") + "]");

  host.Reset();
  fs::remove(app.Tool("makerom").string() + ".calls");
  RunJob("noextension");
  EXPECT_TRUE(Calls("makerom").empty());
  EXPECT_EQ(host.Lines().back(), "[" + Out("noextension.3ds") + "]");
  EXPECT_EQ(RemoveExtension(PathFromUtf8("/a.b/c")), PathFromUtf8("/a.b/c"));
  EXPECT_EQ(RemoveExtension(PathFromUtf8("/x/game.fr.cia")), PathFromUtf8("/x/game.fr"));
}

TEST_F(InstallJob, ExeFsHeadersAreRetriedWithoutDecompressionAfterAFailure) {
  PlanTool("3dstool", "when -xutf exefs\nexit 1\n");
  RunJob("out.cia");
  Lines lines = host.Lines();
  auto at = std::find(lines.begin(), lines.end(), L("ExtractingExeFSHeaders"));
  ASSERT_NE(at, lines.end());
  EXPECT_EQ(*(at + 1), L("Done"));
  EXPECT_EQ(*(at + 2), L("RebuildingExeFS"));
  const auto calls = Calls("3dstool");
  EXPECT_EQ(calls[2][0], "-xutf");
  EXPECT_EQ(calls[3][0], "-xtf");
  EXPECT_EQ(calls[3][1], "exefs");
}

TEST_F(InstallJob, ExitCodeOneEndsTheRunWithTheStepsErrorLine) {
  PlanTool("ctrtool", "when --romfs=\nexit 1\n");
  RunJob("out.cia");
  Lines lines = host.Lines();
  EXPECT_EQ(Lines(lines.end() - 3, lines.end()), (Lines{L("ExtractingRomFS"), "", L("ErrorExtractingRomFS")}));
  EXPECT_EQ(host.endCount, 1);
  EXPECT_TRUE(BarFollowsTheStages(bar, lines, false));

  // Rebuild steps write their error line without an empty line before it.
  ResetRun();
  PlanTool("ctrtool");
  PlanTool("3dstool", "when -ctf romfs\nexit 1\n");
  RunJob("out.cia");
  lines = host.Lines();
  EXPECT_EQ(Lines(lines.end() - 2, lines.end()), (Lines{L("RebuildingRomFS"), L("ErrorRebuildingRomFS")}));
  EXPECT_TRUE(BarFollowsTheStages(bar, lines, false));
}

// Every way a tool can fail ends the run with the step's line, then the tool's own reason.
// Exit code 1 gives the step's start line, an empty line where the step has one, and the
// step's own error line, for every tool step of every input kind. Our tools return only 0
// and 1: any other code is a crash or a kill.
TEST_F(InstallJob, EveryToolFailureEndsTheRunWithItsLine) {
  const std::string partitionExeFs = "when " + N("-xtf cxi tools/temp/Partition0.bin --exefs") + "\nexit 1";
  const std::string partitionRomFs = "when " + N("-xtf cxi tools/temp/Partition0.bin --romfs") + "\nexit 1";
  const struct {
    const char* tool;
    std::string plan;
    Lines tail;
    const char* input = ".cia";
    const char* out = "out.cia";
  } rows[] = {
      {"ctrtool", "when --contents=\nexit 1", {L("ExtractingNCCH"), "", L("ErrorExtractingNCCH")}},
      {"ctrtool", "when --exefs=\nexit 1", {L("ExtractingExeFS"), "", L("ErrorExtractingExeFs")}},
      {"ctrtool", "when --romfs=\nexit 1", {L("ExtractingRomFS"), "", L("ErrorExtractingRomFS")}},
      {"3dstool", "when -xvtf cxi\nexit 1", {L("ExtractingCXIHeaders"), "", L("ErrorExtractingCXIHeaders")}},
      {"3dstool", "when -xtf 3ds\nexit 1", {L("ExtractingNCCH"), "", L("ErrorExtractingNCCH")}, ".3ds", "out.3ds"},
      {"3dstool", partitionExeFs, {L("ExtractingExeFS"), "", L("ErrorExtractingExeFs")}, ".3ds", "out.3ds"},
      {"3dstool", partitionRomFs, {L("ExtractingRomFS"), "", L("ErrorExtractingRomFS")}, ".3ds", "out.3ds"},
      {"3dstool", "when -xvtf cxi\nexit 1", {L("ExtractingCXIHeaders"), "", L("ErrorExtractingCXIHeaders")}, ".3ds",
       "out.3ds"},
      {"ctrtool", "when --exefs=\nexit 1", {L("ExtractingExeFS"), "", L("ErrorExtractingExeFs")}, ".cxi", "out.cxi"},
      {"ctrtool", "when --romfs=\nexit 1", {L("ExtractingRomFS"), "", L("ErrorExtractingRomFS")}, ".cxi", "out.cxi"},
      {"3dstool", "when -xvtf cxi\nexit 1", {L("ExtractingCXIHeaders"), "", L("ErrorExtractingCXIHeaders")}, ".cxi",
       "out.cxi"},
      {"3dstool", "when -xtf romfs\nexit 1", {L("UnpackingRomFS"), "", L("ErrorUnpackingRomFS")}},
      {"3dstool", "when -xtf romfs\nexit 7", {L("UnpackingRomFS"), "", L("Unk3dstoolError")}},
      {"3dstool", "when -xtf romfs\nsignal INT", {L("UnpackingRomFS"), "", L("InstallCanceled")}},
      {"3dstool", "when exefs tools\nexit 1", {L("ExtractingExeFSHeaders"), "", L("ErrorExtractingExeFSHeaders")}},
      {"3dstool", "when -xutf exefs\nexit 2", {L("ExtractingExeFSHeaders"), "", L("Unk3dstoolError")}},
      {"3dstool", "when -xutf exefs\nexit 1\nwhen -xtf exefs\nsignal KILL",
       {L("ExtractingExeFSHeaders"), "", L("Unk3dstoolError")}},
      {"xdelta", "exit 1", {L("ApplyingXdelta"), "", L("ErrorApplyingXdelta")}},
      {"3dstool", "when -cztf exefs\nexit 1", {L("RebuildingExeFS"), L("ErrorRebuildingExeFS")}},
      {"3dstool", "when -ctf romfs\nexit 1", {L("RebuildingRomFS"), L("ErrorRebuildingRomFS")}},
      {"3dstool", "when -ctf romfs\nsignal KILL", {L("RebuildingRomFS"), "", L("Unk3dstoolError")}},
      {"3dstool", "when -ctf romfs\nsignal INT", {L("RebuildingRomFS"), "", L("Unk3dstoolError")}},
      {"3dstool", "when -cvtf cxi\nexit 1", {L("RebuildingCXI"), L("ErrorRebuildingCXI")}},
      {"3dstool", "when -cvtf cxi\nexit 1", {L("RebuildingCXI"), L("ErrorRebuildingCXI")}, ".cxi", "out.cxi"},
      {"3dstool", "when -cvtf cxi\nsignal SEGV", {L("RebuildingCXI"), "", L("Unk3dstoolError")}},
      {"makerom", "exit 1", {L("RebuildingCIA"), L("ErrorRebuildingCIA")}},
      {"3dstool", "when -ctf 3ds\nexit 1", {L("Rebuilding3DS"), L("ErrorRebuilding3DS")}, ".3ds", "out.3ds"},
      {"ctrtool", "when --contents\nexit 9", {L("ExtractingNCCH"), "", L("UnkctrtoolError")}},
      {"makerom", "exit 7", {L("RebuildingCIA"), "", L("UnkMakeromError")}},
      {"xdelta", "signal KILL", {L("ApplyingXdelta"), "", L("UnkXdeltaError")}},
  };
  WriteFile(patchDir / "patch.xdelta", "delta");
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.input) + " " + row.tool + ": " + row.plan);
    ResetRun();
    input = app / (std::string("input dir/Jeu Ünïcode") + row.input);
    WriteFile(input, "image");
    for (const char* tool : {"ctrtool", "3dstool", "makerom", "xdelta"}) PlanTool(tool);
    PlanTool(row.tool, row.plan);
    auto job = Create(row.out);
    job->Execute();
    const Lines lines = host.Lines();
    ASSERT_GE(lines.size(), row.tail.size());
    EXPECT_EQ(Lines(lines.end() - static_cast<long>(row.tail.size()), lines.end()), row.tail);
    EXPECT_FALSE(job->Succeeded());
    EXPECT_EQ(host.endCount, 1);
    EXPECT_TRUE(BarFollowsTheStages(bar, lines, false));
  }
}

TEST_F(InstallJob, AFailedToolsOwnReasonFollowsTheErrorLine) {
  PlanTool("3dstool", "when -ctf romfs\nsay 3dstool: cannot write tools/temp/romfs.bin (disk full?)\nexit 1");
  RunJob("out.cia");
  const Lines lines = host.Lines();
  EXPECT_EQ(Lines(lines.end() - 3, lines.end()), (Lines{L("RebuildingRomFS"), L("ErrorRebuildingRomFS"),
                                                        "3dstool: cannot write tools/temp/romfs.bin (disk full?)"}));
}

TEST_F(InstallJob, CancelDuringARunningToolEndsAtTheNextCheckpoint) {
  CancelWhileToolRuns("3dstool", "when -xtf romfs\nwaitfor RELEASE\n");
  const Lines lines = host.Lines();
  // The step that ended after the cancel says no "Done" below the cancelling line.
  EXPECT_EQ(Lines(lines.end() - 3, lines.end()), (Lines{L("UnpackingRomFS"), "", L("InstallCancelledNothingWritten")}));
  EXPECT_EQ(host.endCount, 1);
  EXPECT_EQ(Calls("3dstool").size(), 1u);  // ExtractCXIHeaders never ran
}

TEST_F(InstallJob, ACancelIsHonouredAtEveryCheckpointUpToTheLastTool) {
  // While the CXI is built: the CIA build never starts.
  CancelWhileToolRuns("3dstool", "when -cvtf cxi\nwaitfor RELEASE\n");
  EXPECT_TRUE(Calls("makerom").empty());
  EXPECT_EQ(host.Lines().back(), L("InstallCancelledNothingWritten"));

  // While the CIA is built: the image it wrote is removed, and no success is claimed.
  host.Reset();
  PlanTool("3dstool");
  fs::remove(app / "release");
  CancelWhileToolRuns("makerom", "waitfor RELEASE\nwrite out.cia image\n");
  EXPECT_FALSE(fs::exists(app / "out.cia"));
  EXPECT_EQ(host.Lines().back(), L("InstallCancelledNothingWritten"));
  EXPECT_THAT(host.Lines(), Not(Contains(L("PatchingSuccessful"))));

  // Just before the delta: the archive is never patched.
  host.Reset();
  PlanTool("makerom");
  fs::remove(app.Tool("xdelta").string() + ".calls");
  WriteFile(patchDir / "patch.xdelta", "delta");
  auto job = Create("out.cia");
  host.onProgress = [&](int) {
    // The extraction is over once its last step logged and its raw images are gone.
    if (host.Lines().size() == kCiaExtraction.size() && !fs::exists(app / "tools/temp/romfs.bin")) job->Terminate();
  };
  job->Execute();
  host.onProgress = nullptr;
  EXPECT_TRUE(Calls("xdelta").empty());
  EXPECT_EQ(host.Lines().back(), L("InstallCancelledNothingWritten"));
}

TEST_F(InstallJob, APatchFolderThatCannotBeCopiedEndsTheRun) {
  // The extracted romfs/sound is a folder; a file of that name cannot take its place.
  WriteFile(patchDir / "romfs/sound", "a file");
  RunJob("out.cia");
  Lines lines = host.Lines();
  EXPECT_EQ(Lines(lines.end() - 3, lines.end()), (Lines{L("ReplacingRomFS"), "", L("ErrorCopyingRomFsFolder")}));

  host.Reset();
  fs::remove(patchDir / "romfs/sound");
  WriteFile(patchDir / "exefs/code.bin/inside", "a folder where the program file is");
  RunJob("out.cia");
  lines = host.Lines();
  EXPECT_EQ(Lines(lines.end() - 3, lines.end()), (Lines{L("ReplacingExeFS"), "", L("ErrorCopyingExeFsFolder")}));
}

TEST_F(InstallJob, ARunThatWouldWriteOverItsInputIsRefusedBeforeAnything) {
  fs::create_hard_link(input, app / "input dir/linked.cia");
  const fs::path stem = RemoveExtension(input);
  for (const fs::path& out : {PathFromUtf8(PathToUtf8(stem) + ".CIA"), app / "input dir/linked.cia"}) {
    SCOPED_TRACE(PathToUtf8(out));
    host.Reset();
    auto settings = Settings("x.cia");
    settings.outPath = out;
    auto job = CreateInstallJob(".cia", host, settings);
    job->Execute();
    EXPECT_EQ(host.Lines(), Lines{L("ErrorOutputIsInput")});
    EXPECT_TRUE(Calls("ctrtool").empty());
    EXPECT_EQ(test::ReadFile(input), "image");
  }
}

TEST_F(InstallJob, ARunThatCannotFitOrWriteIsRefusedBeforeAnything) {
#ifdef _WIN32
  GTEST_SKIP() << "POSIX only: the input is a sparse file of 15 TiB, and Windows makes no sparse file by "
                  "extending one";
#endif
  // A sparse input of 15 TiB needs three times that in the work folder.
  fs::resize_file(input, std::uint64_t{15} << 40);
  RunJob("out.cia");
  ASSERT_EQ(host.Lines().size(), 1u);
  // The work folder and the output share one file system here: their needs add up.
  EXPECT_EQ(host.Lines()[0].rfind("<ErrorNotEnoughSpace:" + PathToUtf8(app / "tools") + ":61440.00 <SizeGB>:", 0), 0u)
      << host.Lines()[0];
  EXPECT_TRUE(Calls("ctrtool").empty());
}

TEST_F(InstallJob, ANewImageThatFailsItsCheckIsDeletedAndTheRunFails) {
  PlanTool("makerom", "write " + PathToUtf8(app / "out.cia") + " not an image");
  imageProblem = TImageProblem{"ErrorCheckImageRomFS", {"pack.dat"}};
  auto job = Create("out.cia");
  job->Execute();
  const Lines lines = host.Lines();
  EXPECT_EQ(Lines(lines.end() - 3, lines.end()), (Lines{L("CheckingNewImage"), "", L("ErrorCheckImageRomFS", {"pack.dat"})}));
  EXPECT_FALSE(fs::exists(app / "out.cia"));
  EXPECT_FALSE(job->Succeeded());
}

TEST(NewImageCheck, FindsDamageAnotherGameAndMissingFiles) {
  test::TempDir dir("check");
  test::ImageBuilder builder(dir / "work");
  test::ImageRecipe recipe;
  recipe.romfs = {{"pack.dat", test::Bytes(0x3001, 7)}, {"sound/a.bcsar", test::Bytes{1, 2, 3}}, {"x.bin", test::Bytes{9}}};
  builder.BuildCia(recipe, dir / "in.cia");
  builder.BuildCxi(recipe, dir / "same.cxi");
  const TLangList lang = test::BracketLanguage();
  EXPECT_EQ(CheckNewImage(dir / "in.cia", dir / "same.cxi", lang), std::nullopt);

  test::ImageRecipe other = recipe;
  other.programId = 0x0004000000112233;
  builder.BuildCia(other, dir / "other.cia");
  const auto id = CheckNewImage(dir / "in.cia", dir / "other.cia", lang);
  ASSERT_TRUE(id);
  EXPECT_EQ(id->key, "ErrorCheckImageProgramID");
  EXPECT_EQ(id->values, (std::vector<std::string>{"0004000000112233", "00040000001BD200"}));

  test::ImageRecipe fewer = recipe;
  fewer.romfs.erase("sound/a.bcsar");
  builder.BuildCia(fewer, dir / "fewer.cia");
  const auto missing = CheckNewImage(dir / "in.cia", dir / "fewer.cia", lang);
  ASSERT_TRUE(missing);
  EXPECT_EQ(missing->key, "ErrorCheckImageRomFS");
  EXPECT_EQ(missing->values, std::vector<std::string>{"sound"});

  std::string bytes = test::ReadFile(dir / "same.cxi");
  bytes[bytes.size() - 0x1800] ^= 0x40;  // inside the RomFS
  test::WriteFile(dir / "damaged.cxi", bytes);
  const auto damaged = CheckNewImage(dir / "in.cia", dir / "damaged.cxi", lang);
  ASSERT_TRUE(damaged);
  EXPECT_EQ(damaged->key, "ErrorCheckImageHashes");
  // Worded by the language, down to the block: no English reason of the reader.
  ASSERT_EQ(damaged->values.size(), 1u);
  EXPECT_EQ(damaged->values[0].rfind("<VerifyRomFsLevels>: <VerifyFaultRomFsBlock:", 0), 0u) << damaged->values[0];

  // What a player's own check of an image shows: a line per region, then the summary.
  const TImageCheckReport good = CheckImageForPlayer(dir / "same.cxi", lang);
  EXPECT_TRUE(good.ok);
  EXPECT_EQ(good.lines.back(), "<CheckAllGood>");
  const TImageCheckReport bad = CheckImageForPlayer(dir / "damaged.cxi", lang);
  EXPECT_FALSE(bad.ok);
  EXPECT_EQ(bad.lines.back(), "<CheckSomeBad>");
  EXPECT_EQ(std::count_if(bad.lines.begin(), bad.lines.end(),
                          [](const std::string& l) { return l.rfind("<CheckRegionBad> ", 0) == 0; }),
            1);
}

TEST_F(InstallJob, AToolThatCannotStartEndsTheRunWithOneClearLine) {
  fs::remove(app.Tool("ctrtool"));
  RunJob("out.cia");
  const Lines lines = host.Lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], L("ExtractingNCCH"));
  EXPECT_NE(lines[2].find("ctrtool"), std::string::npos) << lines[2];
  EXPECT_EQ(host.endCount, 1);
}

TEST_F(InstallJob, ALeftoverWorkFolderIsRemovedFirst) {
  WriteFile(app / "tools/temp/stale/file.bin", "old");
  RunJob("out.cia");
  EXPECT_FALSE(fs::exists(app / "tools/temp/stale"));
  EXPECT_EQ(host.Lines().front(), L("ExtractingNCCH"));
}

TEST_F(InstallJob, ARunWhileAnotherHoldsTheFolderIsRefusedAndLeavesItsWorkFolder) {
  WriteFile(app / "tools/temp/romfs/pack.dat", "the other run's file");
  TRunLock other(app.path());
  ASSERT_TRUE(other.Held());
  auto job = Create("out.cia");
  job->Execute();
  EXPECT_EQ(host.Lines(), Lines{L("ErrorAnotherRun")});
  EXPECT_EQ(host.endCount, 1);
  EXPECT_FALSE(job->OwnsWorkFolder());
  EXPECT_FALSE(job->Succeeded());
  EXPECT_TRUE(Calls("ctrtool").empty());
  EXPECT_EQ(test::ReadFile(app / "tools/temp/romfs/pack.dat"), "the other run's file");
}

TEST_F(InstallJob, ARunStartedWhileTheLastWorkFolderGoesAwayWaitsForIt) {
  WriteFile(app / "tools/temp/romfs/left.bin", "the last run's file");
  std::promise<void> gate;
  const std::shared_future<void> open = gate.get_future().share();
  TWorkFolderRemoval::Start(app.path(), std::make_unique<TRunLock>(app.path()), [open] { open.wait(); });
  auto job = Create("out.cia");
  job->Start();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (host.Lines().empty() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_TRUE(Calls("ctrtool").empty());  // nothing runs while the folder goes away
  gate.set_value();
  host.WaitForEnd();
  job->WaitFor();
  EXPECT_EQ(host.Lines().front(), L("WaitingForWorkFolderRemoval"));
  EXPECT_TRUE(job->Succeeded());
}

TEST_F(InstallJob, TheLockIsHeldUntilTheJobIsDestroyed) {
  // The host removes the work folder after ThreadCancel and only then releases the job, so
  // no second run may start in that gap.
  auto job = Create("out.cia");
  job->Execute();
  EXPECT_TRUE(job->OwnsWorkFolder());
  EXPECT_TRUE(job->Succeeded());
  EXPECT_EQ(TRunLock(app.path()).State(), TRunLock::TState::HeldElsewhere);
  job.reset();
  EXPECT_TRUE(TRunLock(app.path()).Held());
}

TEST_F(InstallJob, OnlyTheSuccessLineCountsAsSuccess) {
  PlanTool("makerom", "exit 1");
  auto failed = Create("out.cia");
  failed->Execute();
  EXPECT_TRUE(failed->OwnsWorkFolder());
  EXPECT_FALSE(failed->Succeeded());
  failed.reset();
  auto cxi = Create("out.cxi");
  cxi->Execute();
  EXPECT_TRUE(cxi->Succeeded());
}

TEST_F(InstallJob, MissingTempFileStopsTheRun) {
  PlanTool("ctrtool", "when --exefs=\nexit 0\n");  // "succeeds" without writing exefs.bin
  RunJob("out.cia");
  const Lines lines = host.Lines();
  EXPECT_EQ(Lines(lines.end() - 2, lines.end()), (Lines{"", L("ErrorDeleteTempFile")}));
  EXPECT_THAT(lines, Not(Contains(L("RebuildingExeFS"))));
}

TEST_F(InstallJob, PatchFoldersAreCopiedOverTheExtractedFiles) {
  WriteFile(patchDir / "exefs/code.bin", "patched code");
  WriteFile(patchDir / "romfs/new/dir/text.bin", "text");
  WriteFile(patchDir / "romfs/pack.dat", "replaced archive");
#ifndef _WIN32  // Wine makes no symbolic links
  // Links are never followed out of the patch: a file of the player's would land in the image.
  WriteFile(app / "private/key.txt", "the player's own file");
  fs::create_symlink(app / "private/key.txt", patchDir / "romfs/key.txt");
  fs::create_directory_symlink(app / "private", patchDir / "romfs/private");
#endif
  RunJob("out.cia");
#ifndef _WIN32
  EXPECT_FALSE(fs::exists(Packed("key.txt")));
  EXPECT_FALSE(fs::exists(Packed("private")));
  const Lines all = host.Lines();
  EXPECT_THAT(all, Contains(PathToUtf8(patchDir / "romfs/key.txt")));
  EXPECT_THAT(all, Contains(PathToUtf8(patchDir / "romfs/private")));
  EXPECT_EQ(all[all.size() - 5], L("PatchingCompletedWithWarnings"));
#endif
  EXPECT_EQ(test::ReadFile(app / "tools/temp/exefs/code.bin"), "patched code");
  EXPECT_EQ(test::ReadFile(Packed("new/dir/text.bin")), "text");
  EXPECT_EQ(test::ReadFile(Packed("pack.dat")), "replaced archive");
  EXPECT_EQ(test::ReadFile(Packed("pack.inc")), packInc);
  const Lines lines = host.Lines();
  auto at = std::find(lines.begin(), lines.end(), L("ReplacingExeFS"));
  ASSERT_NE(at, lines.end());
#ifndef _WIN32
  EXPECT_EQ(Lines(at, at + 4), Keys({"ReplacingExeFS", "Done", "ReplacingRomFS", "WarningSkippedLink"}));
#else
  EXPECT_EQ(Lines(at, at + 4), Keys({"ReplacingExeFS", "Done", "ReplacingRomFS", "Done"}));
#endif
}

TEST_F(InstallJob, NoPatchStillRebuildsTheImage) {
  auto settings = Settings("out.cia", "AA6");
  settings.patchDir.clear();
  auto job = CreateInstallJob(".cia", host, settings);
  job->Execute();
  const Lines expected = Concat(kCiaExtraction, Concat(Keys({"RebuildingExeFS", "Done", "RebuildingRomFS", "Done",
                                                             "RebuildingCXI", "Done", "RebuildingCIA", "Done",
                                                             "CheckingNewImage", "Done", "", "PatchingSuccessful"}),
                                                       Lines{"[" + Out("out.cia") + "]"}));
  EXPECT_EQ(host.Lines(), expected);
}

class DeltaStep : public InstallJob {
 protected:
  void SetUp() override { WriteFile(patchDir / "patch.xdelta", "delta"); }
  Lines RunWith(const std::string& datMd5, const std::string& incMd5) {
    auto settings = Settings("out.cia");
    settings.originalPackDatMD5 = datMd5;
    settings.originalPackIncMD5 = incMd5;
    CreateInstallJob(".cia", host, settings)->Execute();
    Lines lines = host.Lines();
    return Lines(lines.begin() + static_cast<long>(kCiaExtraction.size()), lines.end());
  }
};

TEST_F(DeltaStep, WithoutDigestsTheStepStartsWithTheDelta) {
  const Lines lines = RunWith("", "");
  EXPECT_EQ(Lines(lines.begin(), lines.begin() + 3), Keys({"ApplyingXdelta", "Done", "RebuildingExeFS"}));
}

TEST_F(DeltaStep, ALowerCaseDigestIsAMismatchShowingBothDigests) {
  std::string lower = Md5Of(packDat);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const Lines lines = RunWith(lower, "");
  EXPECT_EQ(lines, (Lines{L("CheckingMD5PackDat"), "Orig MD5: " + lower, "This MD5: " + Md5Of(packDat), "",
                          L("MD5NotMatched")}));
  EXPECT_TRUE(Calls("xdelta").empty());
  EXPECT_TRUE(fs::exists(app / "tools/temp/romfs/pack.dat"));
}

TEST_F(DeltaStep, AWrongIndexDigestIsReportedAfterTheArchiveMatched) {
  const Lines lines = RunWith(Md5Of(packDat), "00112233445566778899AABBCCDDEEFF");
  EXPECT_EQ(lines, (Lines{L("CheckingMD5PackDat"), L("MD5Matched"), L("CheckingMD5PackInc"),
                          "Orig MD5: 00112233445566778899AABBCCDDEEFF", "This MD5: " + Md5Of(packInc), "",
                          L("MD5NotMatched")}));
}

TEST_F(DeltaStep, AnUnreadableArchiveIsReportedWithItsOwnLine) {
  PlanTool("3dstool", "when -xtf romfs\nexit 0\n");  // no pack.dat, no pack.inc
  EXPECT_EQ(RunWith("X", ""), (Lines{L("CheckingMD5PackDat"), "", "", L("ErrorCheckingMD5PackDat"), ""}));
  host.Reset();
  EXPECT_EQ(RunWith("", "X"), (Lines{L("CheckingMD5PackInc"), "", L("ErrorCheckingMD5PackInc"), ""}));
}

TEST_F(DeltaStep, DeltaFailureEndsTheRun) {
  PlanTool("xdelta", "exit 1\n");
  Lines lines = RunWith("", "");
  EXPECT_EQ(lines, (Lines{L("ApplyingXdelta"), "", L("ErrorApplyingXdelta")}));

  host.Reset();
  PlanTool("xdelta", "exit 3\n");
  lines = RunWith("", "");
  EXPECT_EQ(lines, (Lines{L("ApplyingXdelta"), "", L("UnkXdeltaError")}));
}

TEST_F(DeltaStep, CancelWhileTheDeltaRunsEndsBeforeTheNextProgress) {
  // Where the bar stands once the delta is applied, in a run that is not cancelled.
  RunWith("", "");
  const Lines whole = host.Lines();
  const auto applying = std::find(whole.begin(), whole.end(), L("ApplyingXdelta"));
  ASSERT_TRUE(applying != whole.end() && applying + 1 != whole.end() && applying[1] == L("Done"));
  const std::size_t afterDone = static_cast<std::size_t>(applying - whole.begin()) + 2;
  const auto applied = std::find_if(bar.begin(), bar.end(), [&](const TBarMark& m) { return m.lines == afterDone; });
  ASSERT_NE(applied, bar.end());
  const int deltaEnd = applied->percent;

  ResetRun();
  fs::remove(app.Tool("xdelta").string() + ".calls");
  CancelWhileToolRuns("xdelta", "waitfor RELEASE\nwrite tools/temp/romfs/pack.dat patched\n");
  const Lines lines = host.Lines();
  EXPECT_EQ(Lines(lines.end() - 3, lines.end()), Keys({"ApplyingXdelta", "", "InstallCancelledNothingWritten"}));
  EXPECT_LT(bar.back().percent, deltaEnd);
}

// The real xdelta3 with a delta made by its encoder at test time.
TEST_F(DeltaStep, TheSystemsXdeltaPatchesTheArchive) {
  ASSERT_TRUE(FileExists(QPT_XDELTA3)) << "scripts/setup.sh installs xdelta3";
  fs::remove(app.Tool("xdelta"));
  fs::copy_file(QPT_XDELTA3, app.Tool("xdelta"));
  std::string original = packDat, patched = packDat;
  original.append(3000, 'o');
  patched.append(2000, 'p');
  packDat = original;
  PlanTool("3dstool");
  test::TempDir work("delta");
  WriteFile(work / "old", original);
  WriteFile(work / "new", patched);
  ASSERT_EQ(RunTool("\"" QPT_XDELTA3 "\"", "-e -f -s \"" + (work / "old").string() + "\" \"" + (work / "new").string() +
                                            "\" \"" + (patchDir / "patch.xdelta").string() + "\"",
                    work.path()),
            0u);
  const Lines lines = RunWith(Md5Of(original), "");
  EXPECT_EQ(Lines(lines.begin(), lines.begin() + 4), Keys({"CheckingMD5PackDat", "MD5Matched", "ApplyingXdelta", "Done"}));
  EXPECT_EQ(test::ReadFile(Packed("pack.dat")), patched);
}

TEST(ToolProgress, TheBarFollowsTheGrowthOfWhatTheToolWrites) {
  test::TempDir dir("growth");
  WriteFile(dir / "out/old.bin", std::string(4000, 'o'));  // there before: not the tool's work
  std::vector<int> reported;
  TGrowthProgress poller({dir / "out", dir / "image.part"}, 1000, 20, 30, [&](int p) { reported.push_back(p); });
  poller.Poll();
  EXPECT_TRUE(reported.empty());
  WriteFile(dir / "out/deep/a.bin", std::string(250, 'a'));
  WriteFile(dir / "image.part", std::string(250, 'b'));
  poller.Poll();
  poller.Poll();  // nothing new, nothing said
  EXPECT_EQ(reported, (std::vector<int>{25}));
  // More than expected stops short of the stage's end, which the step itself reports.
  WriteFile(dir / "image.part", std::string(5000, 'b'));
  poller.Poll();
  EXPECT_EQ(reported, (std::vector<int>{25, 29}));
}

}  // namespace
}  // namespace qpt
