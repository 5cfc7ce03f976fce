#include "ctr/PatchFormats.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <limits>
#include <string>
#include <string_view>

#include "ctr/Crc32.h"

namespace ctr {

namespace {

std::string Hex(std::uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof(text), "0x%" PRIX64, value);
  return text;
}

// The bound as a player would recognise it: whole MiB where it is one, bytes otherwise.
std::string BoundText(std::uint64_t bound) {
  constexpr std::uint64_t kMiB = 1024 * 1024;
  if (bound != 0 && bound % kMiB == 0) return std::to_string(bound / kMiB) + " MiB";
  return Hex(bound) + " bytes";
}

bool StartsWith(std::span<const std::uint8_t> bytes, std::string_view magic) {
  if (bytes.size() < magic.size()) return false;
  for (std::size_t i = 0; i < magic.size(); ++i) {
    if (bytes[i] != static_cast<std::uint8_t>(magic[i])) return false;
  }
  return true;
}

std::uint32_t BigEndian(std::span<const std::uint8_t> bytes, std::size_t at, std::size_t count) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < count; ++i) value = value << 8 | bytes[at + i];
  return value;
}

// ---------------------------------------------------------------- IPS

constexpr std::string_view kIpsMagic = "PATCH";
constexpr std::uint32_t kIpsEnd = 0x454F46;  // "EOF"

Status IpsError(const std::string& why) { return Status::Error("code.ips: " + why); }

}  // namespace

Result<std::vector<std::uint8_t>> ApplyIps(std::span<const std::uint8_t> source, std::span<const std::uint8_t> patch,
                                           std::uint64_t maxSize) {
  if (!StartsWith(patch, kIpsMagic)) return IpsError("not an IPS patch (it does not start with PATCH)");
  std::vector<std::uint8_t> out(source.begin(), source.end());
  const std::uint64_t size = patch.size();
  std::uint64_t pos = kIpsMagic.size();
  for (;;) {
    if (!InRange(pos, 3, size)) return IpsError("the patch is damaged: it ends before its EOF marker");
    const std::size_t at = static_cast<std::size_t>(pos);
    // An offset that spells EOF cannot be written: these bytes always end the records.
    const std::uint32_t offset = BigEndian(patch, at, 3);
    if (offset == kIpsEnd) {
      pos += 3;
      break;
    }
    if (!InRange(pos, 5, size)) return IpsError("the patch is damaged: the record at " + Hex(pos) + " is cut short");
    const std::uint32_t length = BigEndian(patch, at + 3, 2);
    std::uint64_t count = length;
    std::uint64_t dataAt = pos + 5;
    std::uint64_t next = dataAt + length;
    if (length == 0) {  // a run: count, then the one byte repeated
      if (!InRange(pos, 8, size)) return IpsError("the patch is damaged: the record at " + Hex(pos) + " is cut short");
      count = BigEndian(patch, at + 5, 2);
      dataAt = pos + 7;
      next = pos + 8;
    } else if (!InRange(dataAt, length, size)) {
      return IpsError("the patch is damaged: the record at " + Hex(pos) + " is cut short");
    }
    if (count == 0) {  // a run of nothing: writes nothing, extends nothing
      pos = next;
      continue;
    }
    const std::uint64_t end = offset + count;
    if (end > maxSize) {
      return IpsError("the record at " + Hex(pos) + " writes up to " + Hex(end) + ", past the " + BoundText(maxSize) +
                      " bound");
    }
    if (end > out.size()) out.resize(static_cast<std::size_t>(end), 0);
    const auto dest = out.begin() + static_cast<std::ptrdiff_t>(offset);
    if (length == 0) {
      std::fill(dest, dest + static_cast<std::ptrdiff_t>(count), patch[static_cast<std::size_t>(dataAt)]);
    } else {
      const auto from = patch.begin() + static_cast<std::ptrdiff_t>(dataAt);
      std::copy(from, from + static_cast<std::ptrdiff_t>(count), dest);
    }
    pos = next;
  }

  const std::uint64_t rest = size - pos;
  if (rest == 3) {
    const std::uint64_t length = BigEndian(patch, static_cast<std::size_t>(pos), 3);
    // Cutting to a length beyond what the records made would need bytes of the program the
    // patch was made from, which this one does not have.
    if (length > out.size()) {
      return IpsError("the patch cuts the program to " + Hex(length) + " bytes, but it has only " + Hex(out.size()) +
                      " (the patch was made for another program)");
    }
    out.resize(static_cast<std::size_t>(length));
  } else if (rest != 0) {
    return IpsError("the patch is damaged: " + std::to_string(rest) + " bytes follow its EOF marker at " +
                    Hex(pos - 3));
  }
  if (out.size() > maxSize) {
    return IpsError("the result has " + Hex(out.size()) + " bytes, past the " + BoundText(maxSize) + " bound");
  }
  return out;
}

// ---------------------------------------------------------------- BPS

namespace {

constexpr std::string_view kBpsMagic = "BPS1";
constexpr std::uint64_t kBpsFooterSize = 12;  // CRC-32 of source, target and patch

std::string CrcText(std::uint32_t crc) {
  char text[12];
  std::snprintf(text, sizeof(text), "%08" PRIX32, crc);
  return text;
}

Status BpsError(const std::string& why) { return Status::Error("code.bps: " + why); }
Status BpsDamaged(const std::string& why) { return BpsError("the patch is damaged: " + why); }

// Reads the patch's variable-length numbers, which end at the CRC footer. Each byte adds
// seven bits; the "+ shift" after each byte that is not the last makes every value have
// exactly one encoding.
class BpsReader {
 public:
  BpsReader(std::span<const std::uint8_t> patch, std::uint64_t pos, std::uint64_t end)
      : patch_(patch), pos_(pos), end_(end) {}

  std::uint64_t pos() const { return pos_; }
  bool AtEnd() const { return pos_ >= end_; }

  // False when the number runs into the footer or does not fit 64 bits.
  bool Number(std::uint64_t& value) {
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    value = 0;
    std::uint64_t shift = 1;
    for (;;) {
      if (pos_ >= end_) return false;
      const std::uint8_t x = patch_[static_cast<std::size_t>(pos_++)];
      const std::uint64_t digit = x & 0x7F;
      if (digit != 0 && shift > kMax / digit) return false;
      if (digit * shift > kMax - value) return false;
      value += digit * shift;
      if (x & 0x80) return true;
      if (shift > kMax >> 7) return false;
      shift <<= 7;
      if (shift > kMax - value) return false;
      value += shift;
    }
  }

  // Skips length bytes, giving where they start; false when they run into the footer.
  bool Take(std::uint64_t length, std::uint64_t& at) {
    if (!InRange(pos_, length, end_)) return false;
    at = pos_;
    pos_ += length;
    return true;
  }

 private:
  std::span<const std::uint8_t> patch_;
  std::uint64_t pos_;
  std::uint64_t end_;
};

// Moves a copy offset by an action's signed delta (low bit: backwards); false when it would
// leave [0, limit].
bool MoveOffset(std::uint64_t& offset, std::uint64_t delta, std::uint64_t limit) {
  const std::uint64_t distance = delta >> 1;
  if (delta & 1) {
    if (distance > offset) return false;
    offset -= distance;
  } else {
    if (distance > limit - offset) return false;
    offset += distance;
  }
  return true;
}

}  // namespace

Result<std::vector<std::uint8_t>> ApplyBps(std::span<const std::uint8_t> source, std::span<const std::uint8_t> patch,
                                           std::uint64_t maxSize) {
  const std::uint64_t size = patch.size();
  if (!StartsWith(patch, kBpsMagic)) return BpsError("not a BPS patch (it does not start with BPS1)");
  if (size < kBpsMagic.size() + kBpsFooterSize) return BpsDamaged("it is too short to hold its checksums");
  const std::uint64_t end = size - kBpsFooterSize;
  const std::uint32_t sourceCrc = *ReadLE<std::uint32_t>(patch, end);
  const std::uint32_t targetCrc = *ReadLE<std::uint32_t>(patch, end + 4);
  const std::uint32_t patchCrc = *ReadLE<std::uint32_t>(patch, end + 8);
  // The patch's own checksum first: a damaged download should be called that, not a patch for
  // another program.
  const std::uint32_t actualPatchCrc = Crc32(patch.first(static_cast<std::size_t>(size - 4)));
  if (actualPatchCrc != patchCrc) {
    return BpsDamaged("its CRC-32 is " + CrcText(actualPatchCrc) + ", it records " + CrcText(patchCrc));
  }

  BpsReader reader(patch, kBpsMagic.size(), end);
  std::uint64_t sourceSize = 0, targetSize = 0, metadataSize = 0, metadataAt = 0;
  if (!reader.Number(sourceSize) || !reader.Number(targetSize) || !reader.Number(metadataSize) ||
      !reader.Take(metadataSize, metadataAt)) {
    return BpsDamaged("its header is cut short or out of range");
  }
  if (sourceSize != source.size()) {
    return BpsError("the program has " + Hex(source.size()) + " bytes, the patch was made for one of " +
                    Hex(sourceSize));
  }
  const std::uint32_t actualSourceCrc = Crc32(source);
  if (actualSourceCrc != sourceCrc) {
    return BpsError("the program's CRC-32 is " + CrcText(actualSourceCrc) + ", the patch was made for " +
                    CrcText(sourceCrc));
  }
  if (targetSize > maxSize) {
    return BpsError("the patch makes " + Hex(targetSize) + " bytes, past the " + BoundText(maxSize) + " bound");
  }

  std::vector<std::uint8_t> out;
  out.reserve(static_cast<std::size_t>(targetSize));
  std::uint64_t sourceOffset = 0;
  std::uint64_t targetOffset = 0;
  while (!reader.AtEnd()) {
    const std::uint64_t actionAt = reader.pos();
    const std::string where = "the action at " + Hex(actionAt);
    std::uint64_t n = 0;
    if (!reader.Number(n)) return BpsDamaged(where + " is cut short");
    const std::uint64_t length = (n >> 2) + 1;
    const std::uint64_t written = out.size();
    if (!InRange(written, length, targetSize)) {
      return BpsDamaged(where + " writes past the declared size of " + Hex(targetSize) + " bytes");
    }
    switch (n & 3) {
      case 0:  // SourceRead: the program's bytes at the same place
        if (!InRange(written, length, source.size())) return BpsDamaged(where + " reads past the end of the program");
        out.insert(out.end(), source.begin() + static_cast<std::ptrdiff_t>(written),
                   source.begin() + static_cast<std::ptrdiff_t>(written + length));
        break;
      case 1: {  // TargetRead: bytes carried in the patch
        std::uint64_t at = 0;
        if (!reader.Take(length, at)) return BpsDamaged(where + " is cut short");
        out.insert(out.end(), patch.begin() + static_cast<std::ptrdiff_t>(at),
                   patch.begin() + static_cast<std::ptrdiff_t>(at + length));
        break;
      }
      case 2: {  // SourceCopy: the program's bytes from anywhere
        std::uint64_t delta = 0;
        if (!reader.Number(delta)) return BpsDamaged(where + " is cut short");
        if (!MoveOffset(sourceOffset, delta, source.size()) || !InRange(sourceOffset, length, source.size())) {
          return BpsDamaged(where + " reads outside the program");
        }
        out.insert(out.end(), source.begin() + static_cast<std::ptrdiff_t>(sourceOffset),
                   source.begin() + static_cast<std::ptrdiff_t>(sourceOffset + length));
        sourceOffset += length;
        break;
      }
      default: {  // TargetCopy: bytes written before
        std::uint64_t delta = 0;
        if (!reader.Number(delta)) return BpsDamaged(where + " is cut short");
        // The copy may overlap what it writes (that is how runs are made), so it goes byte by
        // byte; it only has to start inside what is written already.
        if (!MoveOffset(targetOffset, delta, written) || targetOffset >= written) {
          return BpsDamaged(where + " copies from outside what is written");
        }
        for (std::uint64_t i = 0; i < length; ++i) {
          const std::uint8_t b = out[static_cast<std::size_t>(targetOffset + i)];
          out.push_back(b);
        }
        targetOffset += length;
        break;
      }
    }
  }
  if (out.size() != targetSize) {
    return BpsDamaged("it makes " + Hex(out.size()) + " bytes, it declares " + Hex(targetSize));
  }
  const std::uint32_t actualTargetCrc = Crc32(out);
  if (actualTargetCrc != targetCrc) {
    return BpsError("the result's CRC-32 is " + CrcText(actualTargetCrc) + ", the patch expects " +
                    CrcText(targetCrc));
  }
  return out;
}

namespace {

// Where the runs of a source lie, for the writer's copies: every fourth position, chained by
// the hash of the eight bytes from it, newest first (as deflate's matcher keeps them). Code
// moves in whole instructions, so a block that moved shares one of these positions with its
// old place, and a quarter of the positions keeps the index small.
class SourceIndex {
 public:
  static constexpr std::size_t kWindow = 8;
  static constexpr std::size_t kStride = 4;
  static constexpr std::size_t kChain = 16;  // candidates tried at most per lookup

  explicit SourceIndex(std::span<const std::uint8_t> source)
      : source_(source), hashBits_(HashBits(source.size())), head_(std::size_t{1} << hashBits_, 0),
        next_(source.size() / kStride + 1, 0) {
    for (std::size_t at = 0; at + kWindow <= source.size(); at += kStride) {
      std::uint32_t& head = head_[Hash(source, at)];
      next_[at / kStride] = head;
      head = static_cast<std::uint32_t>(at / kStride + 1);
    }
  }

  struct Match {
    std::size_t from = 0;
    std::size_t length = 0;
  };
  // The longest run of the source that equals target from at, among the candidates.
  Match Longest(std::span<const std::uint8_t> target, std::size_t at) const {
    Match best;
    if (at + kWindow > target.size()) return best;
    std::uint32_t entry = head_[Hash(target, at)];
    for (std::size_t tried = 0; entry != 0 && tried < kChain; ++tried, entry = next_[entry - 1]) {
      const std::size_t from = (entry - 1) * kStride;
      std::size_t length = 0;
      while (from + length < source_.size() && at + length < target.size() &&
             source_[from + length] == target[at + length]) {
        ++length;
      }
      if (length > best.length) best = {from, length};
    }
    return best;
  }

 private:
  // About one chain per indexed position, from a small table for a small source up to 2^18.
  static unsigned HashBits(std::size_t size) {
    unsigned bits = 10;
    while (bits < 18 && (std::size_t{1} << bits) < size / kStride) ++bits;
    return bits;
  }
  std::size_t Hash(std::span<const std::uint8_t> bytes, std::size_t at) const {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < kWindow; ++i) value = value << 8 | bytes[at + i];
    return static_cast<std::size_t>((value * 0x9E3779B97F4A7C15ull) >> (64 - hashBits_));
  }

  std::span<const std::uint8_t> source_;
  unsigned hashBits_;
  std::vector<std::uint32_t> head_;  // per hash: the newest position + 1, 0 for none
  std::vector<std::uint32_t> next_;  // per indexed position: the one before it + 1
};

}  // namespace

std::vector<std::uint8_t> MakeBps(std::span<const std::uint8_t> source, std::span<const std::uint8_t> target) {
  std::vector<std::uint8_t> patch(kBpsMagic.begin(), kBpsMagic.end());
  // The reader's numbers backwards: seven bits a byte, the last one marked, less one for each
  // byte that follows, so that every value has one encoding.
  const auto number = [&patch](std::uint64_t value) {
    for (;;) {
      const std::uint8_t low = value & 0x7F;
      value >>= 7;
      if (value == 0) {
        patch.push_back(static_cast<std::uint8_t>(0x80 | low));
        return;
      }
      patch.push_back(low);
      --value;
    }
  };
  const auto crc = [&patch](std::uint32_t value) {
    for (int i = 0; i < 4; ++i) patch.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
  };
  number(source.size());
  number(target.size());
  number(0);

  // Shorter runs cost more in actions (and a copy's offset) than they save in carried bytes.
  constexpr std::size_t kMinSourceRead = 2;
  constexpr std::size_t kMinSourceCopy = 12;
  const SourceIndex index(source);
  std::size_t carriedFrom = 0;     // the bytes from here up to the current position go in the patch
  std::uint64_t sourceOffset = 0;  // the reader's, for the next SourceCopy
  const auto carry = [&](std::size_t end) {
    if (end == carriedFrom) return;
    number(static_cast<std::uint64_t>(end - carriedFrom - 1) << 2 | 1);
    patch.insert(patch.end(), target.begin() + static_cast<std::ptrdiff_t>(carriedFrom),
                 target.begin() + static_cast<std::ptrdiff_t>(end));
  };
  for (std::size_t at = 0; at < target.size();) {
    std::size_t same = 0;
    while (at + same < target.size() && at + same < source.size() && source[at + same] == target[at + same]) ++same;
    SourceIndex::Match moved = index.Longest(target, at);
    if (same >= kMinSourceRead && same >= moved.length) {
      carry(at);
      number(static_cast<std::uint64_t>(same - 1) << 2);
      at += same;
      carriedFrom = at;
    } else if (moved.length >= kMinSourceCopy) {
      // The run may have begun among the bytes about to be carried.
      while (at > carriedFrom && moved.from > 0 && source[moved.from - 1] == target[at - 1]) {
        --at;
        --moved.from;
        ++moved.length;
      }
      carry(at);
      number(static_cast<std::uint64_t>(moved.length - 1) << 2 | 2);
      const bool backwards = moved.from < sourceOffset;
      const std::uint64_t distance = backwards ? sourceOffset - moved.from : moved.from - sourceOffset;
      number(distance << 1 | (backwards ? 1 : 0));
      sourceOffset = moved.from + moved.length;
      at += moved.length;
      carriedFrom = at;
    } else {
      ++at;
    }
  }
  carry(target.size());
  crc(Crc32(source));
  crc(Crc32(target));
  crc(Crc32(patch));
  return patch;
}

}  // namespace ctr
