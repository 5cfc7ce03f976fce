#include "ctr/PatchFormats.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <string>
#include <string_view>

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

}  // namespace ctr
