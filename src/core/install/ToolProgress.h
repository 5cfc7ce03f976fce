// Progress inside a long tool step. A tool reports nothing while it runs, but what it writes
// grows on the disk: a poller measures that growth against the size it will reach and moves
// the progress bar between the step's first and last percentage.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace qpt {

class TGrowthProgress {
 public:
  // watched: files or folders that grow while the tool writes (a file being written under a
  // temporary name belongs here too); what they hold when the poller is made is the baseline.
  // expectedGrowth: the bytes they will have grown by at the end. Reported percentages run
  // from `from` towards `to` without reaching it, since the end of the step reports `to`.
  // report is called from the polling thread (or from Poll's caller).
  TGrowthProgress(std::vector<std::filesystem::path> watched, std::uint64_t expectedGrowth, int from, int to,
                  std::function<void(int)> report);
  ~TGrowthProgress();
  TGrowthProgress(const TGrowthProgress&) = delete;
  TGrowthProgress& operator=(const TGrowthProgress&) = delete;

  // Measures once and reports the percentage when it moved on since the last report.
  void Poll();
  // Polls every interval on a thread of its own until the poller is destroyed.
  void Start(std::chrono::milliseconds interval);

 private:
  std::uint64_t Measure() const;

  const std::vector<std::filesystem::path> watched_;
  const std::uint64_t expected_;
  const int from_;
  const int to_;
  const std::function<void(int)> report_;
  std::uint64_t baseline_ = 0;
  int reported_;
  std::mutex mutex_;
  std::condition_variable stopChanged_;
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace qpt
