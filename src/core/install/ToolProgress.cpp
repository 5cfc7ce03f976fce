#include "core/install/ToolProgress.h"

#include <algorithm>

#include "core/common/Common.h"

namespace qpt {

namespace fs = std::filesystem;

TGrowthProgress::TGrowthProgress(std::vector<fs::path> watched, std::uint64_t expectedGrowth, int from, int to,
                                 std::function<void(int)> report)
    : watched_(std::move(watched)),
      expected_(expectedGrowth),
      from_(from),
      to_(to),
      report_(std::move(report)),
      reported_(from) {
  baseline_ = Measure();
}

TGrowthProgress::~TGrowthProgress() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  stopChanged_.notify_all();
  if (thread_.joinable()) thread_.join();
}

std::uint64_t TGrowthProgress::Measure() const {
  std::uint64_t total = 0;
  for (const fs::path& path : watched_) total += TreeSize(path);
  return total;
}

void TGrowthProgress::Poll() {
  if (expected_ == 0 || to_ - from_ < 2) return;
  const std::uint64_t now = Measure();
  const std::uint64_t grown = std::min(now > baseline_ ? now - baseline_ : 0, expected_);
  const auto span = static_cast<std::uint64_t>(to_ - from_);
  const int percent = std::min(to_ - 1, from_ + static_cast<int>(grown * span / expected_));
  if (percent <= reported_) return;
  reported_ = percent;
  report_(percent);
}

void TGrowthProgress::Start(std::chrono::milliseconds interval) {
  thread_ = std::thread([this, interval] {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopChanged_.wait_for(lock, interval, [this] { return stop_; })) {
      lock.unlock();
      Poll();
      lock.lock();
    }
  });
}

}  // namespace qpt
