#include "ctr/FilePass.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>

namespace ctr {

namespace {

// Hands the bytes [at, at + n) of the file, in block, to every range of lane they overlap, and
// ends each range that they complete.
void Feed(std::vector<PassRange*>& lane, const std::uint8_t* block, std::uint64_t at, std::size_t n) {
  for (PassRange*& range : lane) {
    if (!range) continue;
    const std::uint64_t from = std::max(at, range->offset);
    const std::uint64_t to = std::min(at + n, range->offset + range->size);
    if (from < to) range->update(block + (from - at), static_cast<std::size_t>(to - from));
    if (range->offset + range->size <= at + n) {
      range->done(Status::Ok());
      range = nullptr;
    }
  }
}

// The blocks the reading thread reads into, each handed to every further thread, which takes
// them in order at its own pace. The threads meet only when a block is wanted again that one of
// them still holds: a digest that runs behind for a moment costs nobody else the core.
class BlockRing {
 public:
  using Work = std::function<void(const std::uint8_t* block, std::uint64_t at, std::size_t n)>;

  BlockRing(std::size_t blockSize, std::vector<Work> helpers) : slots_(helpers.empty() ? 1 : 6) {
    for (Slot& slot : slots_) slot.bytes.resize(blockSize);
    helpers_ = static_cast<int>(helpers.size());
    for (Work& work : helpers) threads_.emplace_back([this, work = std::move(work)] { Serve(work); });
  }
  ~BlockRing() { Finish(); }

  // The block to read into next, once no further thread holds it.
  std::uint8_t* Next() {
    std::unique_lock<std::mutex> lock(mutex_);
    Slot& slot = slots_[published_ % slots_.size()];
    changed_.wait(lock, [&slot] { return slot.holders == 0; });
    return slot.bytes.data();
  }
  // Hands the block Next gave, now holding the file's bytes [at, at + n), to the further threads.
  void Publish(std::uint64_t at, std::size_t n) {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      Slot& slot = slots_[published_ % slots_.size()];
      slot.at = at;
      slot.n = n;
      slot.holders = helpers_;
      ++published_;
    }
    changed_.notify_all();
  }
  // Returns once the further threads have taken every block published.
  void Finish() {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      finished_ = true;
    }
    changed_.notify_all();
    for (std::thread& thread : threads_) thread.join();
    threads_.clear();
  }

 private:
  struct Slot {
    std::vector<std::uint8_t> bytes;
    std::uint64_t at = 0;
    std::size_t n = 0;
    int holders = 0;
  };

  void Serve(const Work& work) {
    for (std::uint64_t taken = 0;; ++taken) {
      Slot* slot = nullptr;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return taken < published_ || finished_; });
        if (taken == published_) return;
        slot = &slots_[taken % slots_.size()];
      }
      work(slot->bytes.data(), slot->at, slot->n);
      {
        const std::lock_guard<std::mutex> lock(mutex_);
        --slot->holders;
      }
      changed_.notify_all();
    }
  }

  std::vector<Slot> slots_;
  int helpers_ = 0;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::uint64_t published_ = 0;
  bool finished_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace

Status RunFilePass(Reader& in, std::vector<PassRange> ranges, Sha256* wholeFile, const std::atomic<bool>* stop) {
  const std::uint64_t size = in.size();
  std::vector<PassRange*> open;
  for (PassRange& range : ranges) {
    // A range the file cannot hold gets no bytes at all.
    if (!InRange(range.offset, range.size, size)) {
      range.done(Truncated(in.name(), range.offset + range.size, size));
    } else {
      open.push_back(&range);
    }
  }
  std::sort(open.begin(), open.end(), [](const PassRange* a, const PassRange* b) { return a->offset < b->offset; });
  // The ranges fed on the reading thread, and those set aside; each keeps offset order.
  std::vector<PassRange*> lanes[2];
  for (PassRange* range : open) lanes[range->aside ? 1 : 0].push_back(range);

  // What is read: every byte when the whole file is hashed, otherwise the ranges' bytes, once
  // where they overlap (a damaged table may do that).
  std::vector<std::pair<std::uint64_t, std::uint64_t>> spans;
  if (wholeFile) {
    spans.emplace_back(0, size);
  } else {
    for (const PassRange* range : open) {
      const std::uint64_t end = range->offset + range->size;
      if (!spans.empty() && range->offset <= spans.back().second) {
        spans.back().second = std::max(spans.back().second, end);
      } else {
        spans.emplace_back(range->offset, end);
      }
    }
  }

  std::vector<BlockRing::Work> helpers;
  if (wholeFile) {
    helpers.push_back([wholeFile](const std::uint8_t* block, std::uint64_t, std::size_t n) { wholeFile->Update(block, n); });
  }
  if (!lanes[1].empty()) {
    helpers.push_back([&aside = lanes[1]](const std::uint8_t* block, std::uint64_t at, std::size_t n) {
      Feed(aside, block, at, n);
    });
  }
  constexpr std::size_t kBlock = std::size_t{2} << 20;
  BlockRing ring(kBlock, std::move(helpers));
  const auto fail = [&](const Status& failure) {
    ring.Finish();
    for (std::vector<PassRange*>& lane : lanes) {
      for (PassRange* range : lane) {
        if (range) range->done(failure);
      }
    }
    return failure;
  };

  for (const auto& [from, end] : spans) {
    for (std::uint64_t at = from; at < end;) {
      if (stop && stop->load()) return fail(Status::Error(in.name() + ": stopped"));
      std::uint8_t* block = ring.Next();
      const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(kBlock, end - at));
      if (Status s = in.ReadAt(at, block, n); !s) return fail(s);
      ring.Publish(at, n);
      Feed(lanes[0], block, at, n);
      at += n;
    }
  }
  ring.Finish();
  // Every byte of every range went past; what is left are empty ranges no block reached.
  for (std::vector<PassRange*>& lane : lanes) Feed(lane, nullptr, size, 0);
  return Status::Ok();
}

Status RunFilePass(const std::filesystem::path& path, std::vector<PassRange> ranges, Sha256* wholeFile,
                   const std::atomic<bool>* stop) {
  FileReader reader;
  if (const Status opened = reader.Open(path); !opened) {
    for (PassRange& range : ranges) range.done(opened);
    return opened;
  }
  return RunFilePass(reader, std::move(ranges), wholeFile, stop);
}

}  // namespace ctr
