#include "core/install/WorkFolder.h"

#include <future>
#include <map>
#include <mutex>

#include "core/common/Common.h"

namespace qpt {

namespace fs = std::filesystem;

namespace {

// One entry a program folder; a program's end waits for what is still running (the futures'
// destructors), so that no half-removed folder is left behind by a quick exit.
struct TRemovals {
  std::mutex mutex;
  std::map<fs::path, std::shared_future<void>> running;
};

TRemovals& Removals() {
  static TRemovals removals;
  return removals;
}

fs::path Key(const fs::path& appDir) {
  std::error_code ec;
  const fs::path canonical = fs::weakly_canonical(appDir, ec);
  return ec ? appDir : canonical;
}

std::shared_future<void> Find(const fs::path& appDir) {
  TRemovals& r = Removals();
  std::lock_guard<std::mutex> lock(r.mutex);
  const auto at = r.running.find(Key(appDir));
  return at == r.running.end() ? std::shared_future<void>() : at->second;
}

}  // namespace

void TWorkFolderRemoval::Start(const fs::path& appDir, std::unique_ptr<TRunLock> lock, std::function<void()> before) {
  // A removal still running for this folder ends before the next one starts.
  Wait(appDir);
  std::shared_ptr<TRunLock> held(std::move(lock));
  std::shared_future<void> done =
      std::async(std::launch::async, [appDir, held, before = std::move(before)]() mutable {
        if (before) before();
        DeleteFolder(appDir / "tools" / "temp");
        held.reset();  // the folder is gone: another run may take it
      }).share();
  TRemovals& r = Removals();
  std::lock_guard<std::mutex> guard(r.mutex);
  r.running[Key(appDir)] = done;
}

bool TWorkFolderRemoval::Pending(const fs::path& appDir) {
  const std::shared_future<void> done = Find(appDir);
  return done.valid() && done.wait_for(std::chrono::seconds(0)) != std::future_status::ready;
}

void TWorkFolderRemoval::Wait(const fs::path& appDir) {
  const std::shared_future<void> done = Find(appDir);
  if (done.valid()) done.wait();
}

}  // namespace qpt
