#include "core/install/InputPass.h"

#include <algorithm>
#include <future>
#include <memory>

#include "core/common/Common.h"
#include "ctr/Io.h"
#include "ctr/Md5.h"
#include "ctr/Sha256.h"

namespace qpt {

namespace {

template <std::size_t N>
std::string Hex(const std::array<std::uint8_t, N>& digest, bool upperCase) {
  return HexText(digest.data(), digest.size(), upperCase);
}

}  // namespace

TInputPass::~TInputPass() { Stop(); }

void TInputPass::Start(const std::filesystem::path& image, bool wholeSha256, std::vector<TRange> md5Ranges) {
  ranges_ = std::move(md5Ranges);
  md5_.assign(ranges_.size(), std::nullopt);
  if (!wholeSha256) sha256_ = std::string();
  thread_ = std::thread([this, image, wholeSha256] { Run(image, wholeSha256); });
}

bool TInputPass::Md5Ready(std::size_t i) const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return i >= md5_.size() || md5_[i].has_value();
}

std::string TInputPass::Md5(std::size_t i) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (i >= md5_.size()) return std::string();
  ready_.wait(lock, [&] { return md5_[i].has_value(); });
  return *md5_[i];
}

std::string TInputPass::Sha256() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!thread_.joinable() && !sha256_) return std::string();
  ready_.wait(lock, [&] { return sha256_.has_value(); });
  return *sha256_;
}

void TInputPass::Stop() {
  stop_.store(true);
  if (thread_.joinable()) thread_.join();
}

void TInputPass::Publish(std::optional<std::string>& slot, std::string value) {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!slot) slot = std::move(value);
  }
  ready_.notify_all();
}

void TInputPass::PublishRest() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    for (auto& md5 : md5_) {
      if (!md5) md5 = std::string();
    }
    if (!sha256_) sha256_ = std::string();
  }
  ready_.notify_all();
}

void TInputPass::Run(std::filesystem::path image, bool wholeSha256) {
  ctr::InputFile in;
  if (!in.Open(image)) return PublishRest();
  const std::uint64_t size = in.size();
  struct TOpen {
    std::size_t index;
    TRange range;
    std::unique_ptr<ctr::Md5> md5;
  };
  std::vector<TOpen> open;
  for (std::size_t i = 0; i < ranges_.size(); ++i) {
    const TRange r = ranges_[i];
    // A range the file cannot hold has no digest; the step that needs it reads its own copy.
    if (r.offset > size || r.size > size - r.offset) {
      Publish(md5_[i], std::string());
      continue;
    }
    open.push_back({i, r, std::make_unique<ctr::Md5>()});
  }
  std::sort(open.begin(), open.end(), [](const TOpen& a, const TOpen& b) { return a.range.offset < b.range.offset; });

  // Two blocks: while the digests of the archives take one, the other's SHA-256 runs on a
  // further thread, so that the archives' digests are known when their last byte is read and
  // not when the whole image is hashed.
  constexpr std::size_t kBlock = std::size_t{4} << 20;
  std::vector<std::uint8_t> blocks[2] = {std::vector<std::uint8_t>(kBlock),
                                         std::vector<std::uint8_t>(wholeSha256 ? kBlock : 0)};
  std::uint8_t* block = blocks[0].data();
  // Feeds the bytes [at, at + n) of the file, in block, to every range they overlap, and
  // publishes each range that they complete.
  const auto feed = [&](std::uint64_t at, std::size_t n) {
    for (TOpen& o : open) {
      if (!o.md5) continue;
      const std::uint64_t from = std::max(at, o.range.offset);
      const std::uint64_t to = std::min(at + n, o.range.offset + o.range.size);
      if (from < to) o.md5->Update(block + (from - at), static_cast<std::size_t>(to - from));
      if (o.range.offset + o.range.size <= at + n) {
        Publish(md5_[o.index], Hex(o.md5->Final(), true));
        o.md5.reset();
      }
    }
  };
  const auto read = [&](std::uint64_t at, std::uint64_t end) {
    while (at < end) {
      if (stop_.load()) return false;
      const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(kBlock, end - at));
      if (!in.ReadAt(at, block, n)) return false;
      feed(at, n);
      at += n;
    }
    return true;
  };

  if (wholeSha256) {
    ctr::Sha256 sha;
    std::future<void> hashing;  // of the other block; ends before the blocks go
    for (std::uint64_t at = 0, i = 0; at < size; ++i) {
      block = blocks[i % 2].data();
      const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(kBlock, size - at));
      if (!read(at, at + n)) {
        if (hashing.valid()) hashing.wait();
        return PublishRest();
      }
      if (hashing.valid()) hashing.get();
      hashing = std::async(std::launch::async, [&sha, block, n] { sha.Update(block, n); });
      at += n;
    }
    if (hashing.valid()) hashing.get();
    feed(size, 0);  // empty ranges at the very end
    Publish(sha256_, Hex(sha.Final(), false));
  } else {
    // In the order of their offsets; where ranges overlap (a damaged file table may do that),
    // the bytes read for one already went to the other.
    std::uint64_t readTo = 0;
    for (TOpen& o : open) {
      if (!o.md5) continue;
      const std::uint64_t from = std::max(o.range.offset, readTo), end = o.range.offset + o.range.size;
      if (from >= end) {
        feed(end, 0);
        continue;
      }
      if (!read(from, end)) return PublishRest();
      readTo = end;
    }
  }
  PublishRest();
}

}  // namespace qpt
