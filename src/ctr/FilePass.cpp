#include "ctr/FilePass.h"

#include <algorithm>
#include <future>
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

  // Two blocks: while this thread reads one and feeds its own ranges, the further threads
  // take the other.
  constexpr std::size_t kBlock = std::size_t{4} << 20;
  const bool helped = wholeFile || !lanes[1].empty();
  std::vector<std::uint8_t> blocks[2] = {std::vector<std::uint8_t>(kBlock),
                                         std::vector<std::uint8_t>(helped ? kBlock : 0)};
  std::vector<std::future<void>> behind;  // the further threads' work on the last block
  const auto catchUp = [&behind] {
    for (std::future<void>& work : behind) work.get();
    behind.clear();
  };
  const auto fail = [&](const Status& failure) {
    catchUp();
    for (std::vector<PassRange*>& lane : lanes) {
      for (PassRange* range : lane) {
        if (range) range->done(failure);
      }
    }
    return failure;
  };

  std::size_t count = 0;
  for (const auto& [from, end] : spans) {
    for (std::uint64_t at = from; at < end;) {
      if (stop && stop->load()) return fail(Status::Error(in.name() + ": stopped"));
      std::uint8_t* block = blocks[helped ? count++ % 2 : 0].data();
      const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(kBlock, end - at));
      if (Status s = in.ReadAt(at, block, n); !s) return fail(s);
      Feed(lanes[0], block, at, n);
      catchUp();  // the other block is free again once the further threads are done with it
      if (wholeFile) behind.push_back(std::async(std::launch::async, [wholeFile, block, n] { wholeFile->Update(block, n); }));
      if (!lanes[1].empty()) {
        behind.push_back(std::async(std::launch::async, [&aside = lanes[1], block, at, n] { Feed(aside, block, at, n); }));
      }
      at += n;
    }
  }
  catchUp();
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
