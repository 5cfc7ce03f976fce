#include "core/common/RunLock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "core/common/Common.h"
#include "support/AppFolder.h"
#include "support/TempDir.h"

#ifndef _WIN32
#include <csignal>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace qpt {
namespace {

namespace fs = std::filesystem;
using test::WriteFile;

bool WaitUntilExists(const fs::path& path) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!fs::exists(path)) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

TEST(RunLock, OneHolderAtATimeAndFreeAgainAfterRelease) {
  test::TempDir app("app");
  fs::create_directories(app / "tools");
  {
    TRunLock first(app.path());
    ASSERT_EQ(first.State(), TRunLock::TState::Held) << first.Error();
    // Another run in the same process (a second job object) is refused as well.
    TRunLock second(app.path());
    EXPECT_EQ(second.State(), TRunLock::TState::HeldElsewhere);
    EXPECT_FALSE(second.Held());
  }
  TRunLock again(app.path());
  EXPECT_TRUE(again.Held());
  EXPECT_TRUE(fs::is_regular_file(TRunLock::LockPath(app.path())));
}

TEST(RunLock, AProgramFolderWithoutToolsCannotBeLockedAndSaysWhy) {
  test::TempDir app("app");
  TRunLock lock(app.path());
  EXPECT_EQ(lock.State(), TRunLock::TState::Failed);
  EXPECT_NE(lock.Error().find("run.lock"), std::string::npos) << lock.Error();
}

TEST(RunLock, ALeftoverLockFileDoesNotBlock) {
  test::TempDir app("app");
  WriteFile(TRunLock::LockPath(app.path()), "left by a run that crashed");
  TRunLock lock(app.path());
  EXPECT_TRUE(lock.Held());
}

#ifndef _WIN32
TEST(RunLock, AKilledHolderLeavesTheFolderFree) {
  test::TempDir app("app");
  fs::create_directories(app / "tools");
  const fs::path ready = app / "ready";
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    TRunLock lock(app.path());
    if (lock.Held()) WriteFile(ready, "");
    for (;;) pause();
  }
  ASSERT_TRUE(WaitUntilExists(ready));
  EXPECT_EQ(TRunLock(app.path()).State(), TRunLock::TState::HeldElsewhere);
  kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(TRunLock(app.path()).Held());
}
#else
TEST(RunLock, AKilledHolderLeavesTheFolderFree) {
  GTEST_SKIP() << "POSIX only: the holder is a forked copy of the test; on Windows the lock is a handle, "
                  "which the system closes with the process that held it";
}
#endif

TEST(RunLock, TheLockLastsUntilTheLastToolOfTheRunHasEnded) {
  // A tool started while the lock is held still writes into the work folder: no other run may
  // take the folder before it has ended, even when the run's own handle is gone.
  test::AppFolder app({"3dstool"});
  const fs::path release = app / "release";
  WriteFile(app.Tool("3dstool").string() + ".plan", "waitfor " + release.string() + "\n");
  auto lock = std::make_unique<TRunLock>(app.path());
  ASSERT_TRUE(lock->Held());
  std::thread tool([&] { RunTool("\"" + PathToUtf8(app.Tool("3dstool")) + "\"", "-x", app.path()); });
  ASSERT_TRUE(WaitUntilExists(app.Tool("3dstool").string() + ".calls"));
  lock.reset();
  const TRunLock::TState whileToolRuns = TRunLock(app.path()).State();
  WriteFile(release, "");
  tool.join();
  EXPECT_EQ(whileToolRuns, TRunLock::TState::HeldElsewhere);
  EXPECT_TRUE(TRunLock(app.path()).Held());
}

}  // namespace
}  // namespace qpt
