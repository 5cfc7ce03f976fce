// NCSD card images (".3ds"): the header with its partition table, the card-info area, taking
// partition 0 out and putting a new one back in.
#pragma once

#include <cstdint>
#include <filesystem>

#include "ctr/Io.h"
#include "ctr/Reader.h"

namespace ctr {

inline constexpr std::uint64_t kNcsdHeaderAreaSize = 0x4000;  // header + card info, before partition 0
inline constexpr int kNcsdPartitionCount = 8;

#pragma pack(push, 1)
// One entry of the NCSD partition table, in media units.
struct NcsdPartitionEntry {
  std::uint32_t offset;
  std::uint32_t size;
};
static_assert(sizeof(NcsdPartitionEntry) == 8);

// The NCSD header at image offset 0.
struct NcsdHeader {
  std::uint8_t signature[0x100];
  char magic[4];
  std::uint32_t imageSize;  // media units
  std::uint64_t mediaId;
  std::uint8_t partitionFsType[8];
  std::uint8_t partitionCryptType[8];
  NcsdPartitionEntry partitions[8];
  std::uint8_t exheaderHash[0x20];
  std::uint32_t additionalHeaderSize;
  std::uint32_t sectorZeroOffset;
  std::uint8_t flags[8];
  std::uint64_t partitionIds[8];
  std::uint8_t reserved[0x2E];
  std::uint8_t cardCryptType;
  std::uint8_t backupSecurityVersion;
};
#pragma pack(pop)
static_assert(sizeof(NcsdHeader) == 0x200);

inline constexpr int kNcsdFlagMediaType = 5;
inline constexpr int kNcsdFlagUnitExponent = 6;
// Card-info fields that a rebuild refreshes.
inline constexpr std::uint64_t kNcsdFilledSizeOffset = 0x300;
inline constexpr std::uint64_t kNcsdNcchCopyOffset = 0x1100;

// A parsed NCSD header; every partition entry lies inside the reader it came from.
struct Ncsd {
  NcsdHeader header{};
  std::uint64_t mediaUnit = 0x200;
  ByteRange Partition(int index) const {
    const NcsdPartitionEntry& e = header.partitions[index];
    return {std::uint64_t{e.offset} * mediaUnit, std::uint64_t{e.size} * mediaUnit};
  }
};

Result<Ncsd> ReadNcsd(Reader& in);

// Writes the first 0x4000 bytes (header and card info) and partition 0 exactly as stored
// (its whole table size, padding included). A card without partition 0 writes no partition
// file. Both files are complete before either replaces anything.
Status ExtractNcsd(Reader& in, const std::filesystem::path& headerOut, const std::filesystem::path& partition0Out);

// Builds a card image from a saved 0x4000-byte header area and a new partition 0: the
// partition at 0x4000, rounded up to 0x1000 when the saved table was all multiples of 8
// units (else to the unit); the other partitions dropped from the table; the NCCH header copy
// at 0x1100, the filled size at 0x300 and 0x1500-0x3FFF (0xFF) refreshed. With pad, the
// image is filled with 0xFF to the card size (the smallest power of two that holds it, at
// least 128 MiB on CARD1 and 512 MiB otherwise) as cartridge dumps are; without, the image
// ends after the partition.
// Card size for an image whose data ends at used: the smallest power of two that holds it,
// at least 128 MiB for CARD1 (media type 1) and 512 MiB for any other media type.
std::uint64_t CardImageSize(std::uint64_t used, std::uint8_t mediaType);

Status BuildNcsd(const std::filesystem::path& header, const std::filesystem::path& partition0,
                 const std::filesystem::path& out, bool pad);

}  // namespace ctr
