#include "ctr/Ncsd.h"

#include <algorithm>

#include "ctr/Ncch.h"

namespace ctr {

namespace {

// The builder places partition 0 at 0x4000, which must be a whole number of units.
constexpr std::uint8_t kMaxUnitExponent = 5;
// Header bytes kept from the saved area; the rest up to partition 0 is rewritten as 0xFF.
constexpr std::uint64_t kKeptHeaderSize = 0x1500;
constexpr std::uint64_t kMinCard1Size = std::uint64_t{1} << 27;
constexpr std::uint64_t kMinCard2Size = std::uint64_t{1} << 29;
constexpr std::uint8_t kMediaTypeCard1 = 1;

}  // namespace

std::uint64_t CardImageSize(std::uint64_t used, std::uint8_t mediaType) {
  std::uint64_t size = mediaType == kMediaTypeCard1 ? kMinCard1Size : kMinCard2Size;
  while (size < used) size <<= 1;
  return size;
}

Result<Ncsd> ReadNcsd(Reader& in) {
  const std::string name = in.name();
  Ncsd ncsd;
  if (in.size() < sizeof(NcsdHeader)) return Status::Error(name + " is too short for an NCSD header");
  Status s = in.ReadAt(0, &ncsd.header, sizeof(ncsd.header));
  if (!s) return s;
  if (std::memcmp(ncsd.header.magic, "NCSD", 4) != 0) return Status::Error(name + " is not an NCSD image (no NCSD magic)");
  const std::uint8_t exponent = ncsd.header.flags[kNcsdFlagUnitExponent];
  if (exponent > kMaxUnitExponent) {
    return Status::Error(name + ": unsupported media unit exponent " + std::to_string(exponent));
  }
  ncsd.mediaUnit = std::uint64_t{0x200} << exponent;
  for (int i = 0; i < kNcsdPartitionCount; ++i) {
    const ByteRange range = ncsd.Partition(i);
    if (!InRange(range.offset, range.size, in.size())) {
      return Status::Error(name + ": partition " + std::to_string(i) + " (" + std::to_string(range.offset) + " + " +
                           std::to_string(range.size) + ") lies beyond the end of the image (" +
                           std::to_string(in.size()) + ")");
    }
  }
  return ncsd;
}

Status ExtractNcsd(Reader& in, const std::filesystem::path& headerOut, const std::filesystem::path& partition0Out) {
  auto ncsd = ReadNcsd(in);
  if (!ncsd) return ncsd.status();
  if (in.size() < kNcsdHeaderAreaSize) return Status::Error(in.name() + " is too short for a card image header");
  const ByteRange p0 = ncsd->Partition(0);
  OutputFile header, partition;
  Status s;
  if (!(s = header.Open(headerOut))) return s;
  if (!(s = CopyRange(in, 0, kNcsdHeaderAreaSize, header))) return s;
  if (p0.present()) {
    if (!(s = partition.Open(partition0Out))) return s;
    if (!(s = CopyRange(in, p0.offset, p0.size, partition))) return s;
  }
  if (!(s = header.Commit())) return s;
  if (p0.present() && !(s = partition.Commit())) return s;
  return Status::Ok();
}

Status BuildNcsd(const std::filesystem::path& headerPath, const std::filesystem::path& partition0,
                 const std::filesystem::path& out, bool pad) {
  FileReader headerFile;
  Status s = headerFile.Open(headerPath);
  if (!s) return s;
  if (headerFile.size() < kKeptHeaderSize) {
    return Status::Error(PathText(headerPath) + " is shorter than a card image header (0x1500 bytes)");
  }
  auto area = headerFile.ReadVector(0, kKeptHeaderSize);
  if (!area) return area.status();
  // The saved table describes the old image, not this file, so only the header is parsed.
  NcsdHeader h = *ReadLE<NcsdHeader>(*area, 0);
  if (std::memcmp(h.magic, "NCSD", 4) != 0) {
    return Status::Error(PathText(headerPath) + " is not an NCSD header (no NCSD magic)");
  }
  if (h.flags[kNcsdFlagUnitExponent] > kMaxUnitExponent) {
    return Status::Error(PathText(headerPath) + ": unsupported media unit exponent");
  }
  const std::uint64_t mu = std::uint64_t{0x200} << h.flags[kNcsdFlagUnitExponent];

  FileReader partition;
  if (!(s = partition.Open(partition0))) return s;
  auto ncch = ReadNcch(partition);
  if (!ncch) return ncch.status();
  if (!(s = RequirePlain(*ncch, partition.name()))) return s;

  bool blockAligned = true;
  for (const NcsdPartitionEntry& e : h.partitions) blockAligned = blockAligned && e.offset % 8 == 0 && e.size % 8 == 0;
  const std::uint64_t alignment = blockAligned ? 8 * mu : mu;
  const std::uint64_t partitionSize = AlignUp(partition.size(), alignment);
  const std::uint64_t used = kNcsdHeaderAreaSize + partitionSize;
  const std::uint64_t imageSize = pad ? CardImageSize(used, h.flags[kNcsdFlagMediaType]) : used;
  if (imageSize / mu > 0xFFFFFFFFu) return Status::Error("the card image would be too large for its header");

  h.imageSize = static_cast<std::uint32_t>(imageSize / mu);
  h.partitions[0] = {static_cast<std::uint32_t>(kNcsdHeaderAreaSize / mu), static_cast<std::uint32_t>(partitionSize / mu)};
  for (int i = 1; i < kNcsdPartitionCount; ++i) {
    h.partitions[i] = {0, 0};
    h.partitionFsType[i] = 0;
    h.partitionCryptType[i] = 0;
    h.partitionIds[i] = 0;
  }
  std::vector<std::uint8_t>& bytes = *area;
  std::memcpy(bytes.data(), &h, sizeof(h));
  const std::uint64_t usedField = used;
  std::memcpy(bytes.data() + kNcsdFilledSizeOffset, &usedField, sizeof(usedField));
  std::memcpy(bytes.data() + kNcsdNcchCopyOffset, reinterpret_cast<const std::uint8_t*>(&ncch->header) + 0x100, 0x100);

  OutputFile file;
  if (!(s = file.Open(out))) return s;
  if (!(s = file.Write(bytes.data(), bytes.size()))) return s;
  if (!(s = file.Fill(0xFF, kNcsdHeaderAreaSize - kKeptHeaderSize))) return s;
  if (!(s = CopyRange(partition, 0, partition.size(), file))) return s;
  if (!(s = file.Fill(0, partitionSize - partition.size()))) return s;
  if (!(s = file.Fill(0xFF, imageSize - used))) return s;
  return file.Commit();
}

}  // namespace ctr
