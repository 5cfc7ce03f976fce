// The console host on its own: how the log, the pack progress line and the progress bar
// look on a terminal and in a file, and that the end of a run removes only a work folder the
// run owned.
#include "cli/ConsoleHost.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>

#include "core/common/RunLock.h"
#include "support/JobFixture.h"

namespace qpt::cli {
namespace {

namespace fs = std::filesystem;
using ::testing::EndsWith;
using ::testing::HasSubstr;

const std::string kErase = "\r\x1b[2K";
const std::string kUp = "\x1b[1A\x1b[2K";

TEST(ConsoleHost, InAFileEveryLineAndEveryNewPercentageIsAPlainLine) {
  std::ostringstream out;
  TConsoleHost host(out, false, 2, "unused", "Progress: %1%");
  host.SetProgress(0);
  host.LogAppend("\r\nStarting\r\n");
  host.LogAppend("0/4");
  host.LogReplaceLast("2/4");
  host.SetProgress(55);
  host.SetProgress(55);
  host.SetProgress(60);
  EXPECT_EQ(out.str(), "Progress: 0%\n\nStarting\n\n0/4\n2/4\nProgress: 55%\nProgress: 60%\n");
  EXPECT_EQ(host.VoiceIndex(), 2);
}

TEST(ConsoleHost, OnATerminalTheBarStaysOnTheLastLineBelowTheLog) {
  std::ostringstream out;
  TConsoleHost host(out, true, 0, "unused");
  host.LogAppend("before any progress");
  EXPECT_EQ(out.str(), "before any progress\n");  // no bar until the job reports progress

  out.str("");
  host.SetProgress(45);
  const std::string bar45 = "[" + std::string(18, '#') + std::string(22, '.') + "] 45%";
  EXPECT_EQ(out.str(), kErase + bar45);

  out.str("");
  host.LogAppend("Done");
  EXPECT_EQ(out.str(), kErase + "Done\n" + kErase + bar45);

  // The pack update's counter rewrites the line above the bar.
  out.str("");
  host.LogReplaceLast("50/120");
  EXPECT_EQ(out.str(), kErase + kUp + "50/120\n" + kErase + bar45);

  out.str("");
  host.SetProgress(100);
  EXPECT_EQ(out.str(), kErase + "[" + std::string(40, '#') + "] 100%");
}

class ConsoleHostEnd : public ::testing::Test, protected test::JobFixture {};

TEST_F(ConsoleHostEnd, TheEndOfARunRemovesTheWorkFolderOnlyWhenTheRunOwnedIt) {
  std::ostringstream out;
  {
    test::WriteFile(app / "tools/temp/romfs/pack.dat", "the other run's file");
    TRunLock other(app.path());
    TConsoleHost console(out, true, 0, app.path());
    auto refused = CreateInstallJob(".cia", console, Settings("out.cia"));
    refused->Execute();
    EXPECT_TRUE(console.WaitForEnd(std::chrono::milliseconds(0)));
    EXPECT_FALSE(refused->Succeeded());
    EXPECT_TRUE(fs::exists(app / "tools/temp/romfs/pack.dat"));
  }
  TConsoleHost console(out, true, 0, app.path());
  EXPECT_FALSE(console.WaitForEnd(std::chrono::milliseconds(0)));
  auto job = CreateInstallJob(".cia", console, Settings("out.cia"));
  job->Start();
  EXPECT_TRUE(console.WaitForEnd(std::chrono::seconds(60)));
  job->WaitFor();
  EXPECT_TRUE(job->Succeeded());
  EXPECT_FALSE(fs::exists(app / "tools/temp"));
  // The full bar stays as the last line, and the shell prompt starts on a clean line below.
  EXPECT_THAT(out.str(), EndsWith("] 100%\n"));
}

}  // namespace
}  // namespace qpt::cli
