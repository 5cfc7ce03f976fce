#include "ctr/FilePass.h"

#include <algorithm>
#include <future>

namespace ctr {

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

  // Two blocks: while the ranges take one on this thread, the whole file's hash takes the
  // other on a further thread.
  constexpr std::size_t kBlock = std::size_t{4} << 20;
  std::vector<std::uint8_t> blocks[2] = {std::vector<std::uint8_t>(kBlock),
                                         std::vector<std::uint8_t>(wholeFile ? kBlock : 0)};
  std::uint8_t* block = blocks[0].data();
  // Hands the bytes [at, at + n) of the file, in block, to every range they overlap, and ends
  // each range that they complete.
  const auto feed = [&](std::uint64_t at, std::size_t n) {
    for (PassRange*& range : open) {
      if (!range) continue;
      const std::uint64_t from = std::max(at, range->offset);
      const std::uint64_t to = std::min(at + n, range->offset + range->size);
      if (from < to) range->update(block + (from - at), static_cast<std::size_t>(to - from));
      if (range->offset + range->size <= at + n) {
        range->done(Status::Ok());
        range = nullptr;
      }
    }
  };
  const auto read = [&](std::uint64_t at, std::uint64_t end) {
    while (at < end) {
      if (stop && stop->load()) return Status::Error(in.name() + ": stopped");
      const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(kBlock, end - at));
      if (Status s = in.ReadAt(at, block, n); !s) return s;
      feed(at, n);
      at += n;
    }
    return Status::Ok();
  };
  const auto fail = [&](const Status& failure) {
    for (PassRange* range : open) {
      if (range) range->done(failure);
    }
    return failure;
  };

  if (wholeFile) {
    std::future<void> hashing;  // of the other block; ends before the blocks go
    for (std::uint64_t at = 0, i = 0; at < size; ++i) {
      block = blocks[i % 2].data();
      const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(kBlock, size - at));
      if (Status s = read(at, at + n); !s) {
        if (hashing.valid()) hashing.wait();
        return fail(s);
      }
      if (hashing.valid()) hashing.get();
      hashing = std::async(std::launch::async, [wholeFile, block, n] { wholeFile->Update(block, n); });
      at += n;
    }
    if (hashing.valid()) hashing.get();
    feed(size, 0);  // empty ranges at the very end
    return Status::Ok();
  }
  // In the order of their offsets; where ranges overlap (a damaged table may do that), the
  // bytes read for one already went to the other.
  std::uint64_t readTo = 0;
  for (std::size_t i = 0; i < open.size(); ++i) {
    const PassRange* range = open[i];
    if (!range) continue;
    const std::uint64_t from = std::max(range->offset, readTo), end = range->offset + range->size;
    if (from >= end) {
      feed(end, 0);
      continue;
    }
    if (Status s = read(from, end); !s) return fail(s);
    readTo = end;
  }
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
