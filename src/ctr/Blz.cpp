#include "ctr/Blz.h"

#include <algorithm>
#include <array>
#include <memory>
#include <string>

namespace ctr {

namespace {

constexpr std::uint32_t kMinMatch = 3;
constexpr std::uint32_t kMaxMatch = 0xF + kMinMatch;    // 18: 4-bit length field
constexpr std::uint32_t kMinDisp = 3;
constexpr std::uint32_t kMaxDisp = 0xFFF + kMinDisp;    // 4098: 12-bit displacement field
constexpr std::uint32_t kFooterSize = 8;
constexpr std::uint32_t kMaxTop = 0xFFFFFF;

Status Bad(const std::string& why) { return Status::Error(".code is not a valid compressed stream: " + why); }

}  // namespace

Status BlzDecompressInPlace(std::vector<std::uint8_t>& buffer) {
  const std::uint64_t size = buffer.size();
  if (size < kFooterSize) return Bad("shorter than its footer");
  const std::uint32_t word = *ReadLE<std::uint32_t>(buffer, size - 8);
  const std::uint32_t increase = *ReadLE<std::uint32_t>(buffer, size - 4);
  const std::uint64_t top = word & 0xFFFFFF;
  const std::uint64_t bottom = word >> 24;
  if (bottom < kFooterSize || bottom > kFooterSize + 3) return Bad("footer length out of range");
  if (top < bottom || top > size) return Bad("compressed length out of range");
  const std::uint64_t outSize = size + increase;
  if (outSize > kBlzMaxDecompressedSize) return Bad("decompressed size too large");

  const std::uint64_t end = size - top;  // end of the raw prefix
  // The output is written over the compressed part while it is still being read; that part
  // (at most 16 MiB, its length being a 24-bit field) is read from a copy of its own, so
  // memory holds one program image and not two.
  const std::vector<std::uint8_t> stream(buffer.begin() + static_cast<std::ptrdiff_t>(end), buffer.end());
  const auto in = [&](std::uint64_t at) { return stream[static_cast<std::size_t>(at - end)]; };
  buffer.reserve(static_cast<std::size_t>(outSize));
  buffer.resize(static_cast<std::size_t>(outSize), 0);
  std::vector<std::uint8_t>& out = buffer;

  std::uint64_t src = size - bottom;
  std::uint64_t dst = outSize;
  while (src > end) {
    const std::uint8_t flags = in(--src);
    for (int bit = 7; bit >= 0 && src > end; --bit) {
      // The loader decodes in place: writing below the read cursor would destroy unread input.
      if (dst < src) return Bad("output overtakes the input");
      if ((flags >> bit & 1) == 0) {
        if (dst <= end) return Bad("output runs into the raw prefix");
        out[--dst] = in(--src);
        continue;
      }
      if (src - end < 2) return Bad("reference cut off");
      const std::uint32_t b1 = in(--src);
      const std::uint32_t b0 = in(--src);
      const std::uint64_t length = (b1 >> 4) + kMinMatch;
      const std::uint64_t disp = (((b1 & 0x0F) << 8) | b0) + kMinDisp;
      if (dst < end || dst - end < length) return Bad("output runs into the raw prefix");
      if (dst + disp > outSize) return Bad("reference points past the end");
      for (std::uint64_t i = 0; i < length; ++i) {
        --dst;
        out[dst] = out[dst + disp];
      }
    }
  }
  if (src != end || dst != end) return Bad("stream does not end on the raw prefix");
  return Status::Ok();
}

Result<std::vector<std::uint8_t>> BlzDecompress(std::span<const std::uint8_t> stored) {
  std::vector<std::uint8_t> buffer(stored.begin(), stored.end());
  Status s = BlzDecompressInPlace(buffer);
  if (!s) return s;
  return buffer;
}

namespace {

// Finds back-references for the compressor. Positions are counted as "bytes still to encode":
// at position p the next bytes to encode are data[p-1], data[p-2], ... A match with
// displacement d copies from data[p-1+d] downwards. Chains link source positions by the
// hash of the three bytes below them, nearest first.
class MatchFinder {
 public:
  explicit MatchFinder(std::span<const std::uint8_t> data) : data_(data) {
    head_.fill(kNone);
    prev_.fill(kNone);
  }

  // Makes position q (its three bytes data[q-3..q-1]) a match source.
  void Insert(std::uint64_t q) {
    if (q < kMinMatch) return;
    const std::uint32_t key = Key(q);
    prev_[q & kWindowMask] = head_[key];
    head_[key] = static_cast<std::uint32_t>(q);
  }

  // Longest match at p, at most maxLength bytes; ties go to the nearest source, as 3dstool's
  // compressor picks them. Returns 0 when nothing of at least 3 bytes matches.
  std::uint32_t Find(std::uint64_t p, std::uint32_t maxLength, std::uint32_t& disp) const {
    if (maxLength < kMinMatch || p < kMinMatch) return 0;
    std::uint32_t best = 0;
    const std::uint8_t* cur = data_.data() + p;
    for (std::uint32_t q = head_[Key(p)]; q != kNone; q = prev_[q & kWindowMask]) {
      if (q <= p) continue;
      const std::uint64_t d = q - p;
      if (d > kMaxDisp) break;
      if (d < kMinDisp) continue;
      // Overlapping references are valid, but the stream stays identical to 3dstool's
      // only if they are not used.
      const std::uint32_t cap = static_cast<std::uint32_t>(std::min<std::uint64_t>(maxLength, d));
      if (cap <= best) continue;
      const std::uint8_t* src = data_.data() + q;
      std::uint32_t n = 0;
      while (n < cap && cur[-1 - static_cast<std::ptrdiff_t>(n)] == src[-1 - static_cast<std::ptrdiff_t>(n)]) ++n;
      if (n >= kMinMatch && n > best) {
        best = n;
        disp = static_cast<std::uint32_t>(d);
        if (best == maxLength) break;
      }
    }
    return best >= kMinMatch ? best : 0;
  }

 private:
  static constexpr std::uint32_t kNone = 0xFFFFFFFF;
  static constexpr std::uint32_t kHashBits = 15;
  static constexpr std::uint64_t kWindowMask = 0x1FFF;  // > kMaxDisp, so live links are never reused

  std::uint32_t Key(std::uint64_t q) const {
    const std::uint32_t v = data_[q - 1] | data_[q - 2] << 8 | data_[q - 3] << 16;
    return (v * 2654435761u) >> (32 - kHashBits);
  }

  std::span<const std::uint8_t> data_;
  std::array<std::uint32_t, 1u << kHashBits> head_;
  std::array<std::uint32_t, kWindowMask + 1> prev_;
};

}  // namespace

std::vector<std::uint8_t> BlzCompress(std::span<const std::uint8_t> data) {
  const std::uint64_t n = data.size();
  if (n <= kFooterSize || n > kBlzMaxDecompressedSize) return {};

  // The stream in decode order: a flag byte, then its tokens (a reference as b1, b0).
  std::vector<std::uint8_t> stream;
  stream.reserve(static_cast<std::size_t>(n));
  auto finder = std::make_unique<MatchFinder>(data);
  std::uint64_t p = n;
  while (p > 0) {
    const std::size_t flagIndex = stream.size();
    stream.push_back(0);
    for (int i = 0; i < 8 && p > 0; ++i) {
      std::uint32_t disp = 0;
      const std::uint32_t maxLength = static_cast<std::uint32_t>(std::min<std::uint64_t>({kMaxMatch, p, n - p}));
      const std::uint32_t length = finder->Find(p, maxLength, disp);
      std::uint64_t next;
      if (length == 0) {
        stream.push_back(data[p - 1]);
        next = p - 1;
      } else {
        stream[flagIndex] |= static_cast<std::uint8_t>(0x80 >> i);
        const std::uint32_t l = length - kMinMatch;
        const std::uint32_t d = disp - kMinDisp;
        stream.push_back(static_cast<std::uint8_t>(l << 4 | d >> 8));
        stream.push_back(static_cast<std::uint8_t>(d & 0xFF));
        next = p - length;
      }
      // Every position passed becomes a source for later (lower) positions.
      for (std::uint64_t q = p; q > next; --q) finder->Insert(q);
      p = next;
    }
    if (stream.size() >= n) return {};  // not getting smaller
  }

  // Find where in-place decoding would let the writer overtake the reader; from there on the
  // original bytes are stored raw as a prefix instead.
  const std::uint64_t total = stream.size();
  std::uint64_t remainingOut = n;
  std::uint64_t remainingStream = total;
  std::uint64_t prefix = 0;
  std::uint64_t kept = total;
  for (std::uint64_t s = 0; s < total && remainingOut > 0;) {
    const std::uint8_t flags = stream[s++];
    --remainingStream;
    bool cut = false;
    for (int bit = 7; bit >= 0 && s < total; --bit) {
      if ((flags >> bit & 1) == 0) {
        ++s;
        --remainingStream;
        --remainingOut;
        continue;
      }
      const std::uint32_t length = (stream[s] >> 4) + kMinMatch;
      s += 2;
      remainingStream -= 2;
      remainingOut -= length;
      if (remainingOut < remainingStream) {
        prefix = remainingOut;
        kept = s;
        cut = true;
        break;
      }
    }
    if (cut) break;
  }

  const std::uint64_t body = prefix + kept;
  const std::uint64_t padded = AlignUp(body, 4);
  const std::uint64_t storedSize = padded + kFooterSize;
  if (storedSize >= n || storedSize - prefix > kMaxTop) return {};

  std::vector<std::uint8_t> stored;
  stored.reserve(static_cast<std::size_t>(storedSize));
  stored.insert(stored.end(), data.begin(), data.begin() + static_cast<std::ptrdiff_t>(prefix));
  // The stream is decoded from high addresses down, so its decode order is reversed in memory.
  stored.insert(stored.end(), stream.rend() - static_cast<std::ptrdiff_t>(kept), stream.rend());
  stored.resize(static_cast<std::size_t>(padded), 0xFF);
  const std::uint32_t top = static_cast<std::uint32_t>(storedSize - prefix);
  const std::uint32_t bottom = static_cast<std::uint32_t>(storedSize - body);
  const std::uint32_t word = top | bottom << 24;
  const std::uint32_t increase = static_cast<std::uint32_t>(n - storedSize);
  for (std::uint32_t v : {word, increase}) {
    for (int i = 0; i < 4; ++i) stored.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  }
  return stored;
}

}  // namespace ctr
