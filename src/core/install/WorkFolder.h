// The end of a finished run's work folder. Removing tools/temp can take as long as a step (a
// game's unpacked files are many thousands), and the player has nothing to wait for once the
// success line is there: the removal goes on on a thread of its own, holding the run's lock
// until the folder is gone, and a run started meanwhile in this program waits for it.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>

#include "core/common/RunLock.h"

namespace qpt {

class TWorkFolderRemoval {
 public:
  // Removes appDir/tools/temp on a thread of its own, then releases lock. before, when given,
  // runs on that thread first (tests hold the removal there).
  static void Start(const std::filesystem::path& appDir, std::unique_ptr<TRunLock> lock,
                    std::function<void()> before = {});
  // Whether a removal started by this program for appDir has not ended yet.
  static bool Pending(const std::filesystem::path& appDir);
  // Waits until no removal for appDir is running.
  static void Wait(const std::filesystem::path& appDir);
};

}  // namespace qpt
