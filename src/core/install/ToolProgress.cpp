#include "core/install/ToolProgress.h"

#include <algorithm>
#include <system_error>

namespace qpt {

namespace fs = std::filesystem;

std::uint64_t TreeSize(const fs::path& path) {
  std::error_code ec;
  const fs::file_status status = fs::symlink_status(path, ec);
  if (ec) return 0;
  if (fs::is_regular_file(status)) {
    const std::uint64_t size = fs::file_size(path, ec);
    return ec ? 0 : size;
  }
  if (!fs::is_directory(status)) return 0;
  std::uint64_t total = 0;
  // Files come and go while a tool writes: whatever cannot be measured now counts as nothing.
  for (fs::recursive_directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code entryError;
    if (it->is_regular_file(entryError)) {
      const std::uint64_t size = it->file_size(entryError);
      if (!entryError) total += size;
    }
  }
  return total;
}

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
