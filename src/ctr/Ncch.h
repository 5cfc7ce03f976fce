// NCCH partitions (CXI and CFA): the 0x200-byte header, the extended header, the logo
// region, and building a plain CXI from its separated parts.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <vector>

#include "ctr/Io.h"
#include "ctr/Reader.h"

namespace ctr {

inline constexpr std::uint64_t kNcchHeaderSize = 0x200;
// The exheader proper (covered by the header hash) and the access descriptor after it.
inline constexpr std::uint64_t kExheaderHashedSize = 0x400;
inline constexpr std::uint64_t kExheaderFullSize = 0x800;

// NCCH flags (header 0x188 + index).
inline constexpr int kNcchFlagCryptoMethod = 3;
inline constexpr int kNcchFlagContentType = 5;
inline constexpr int kNcchFlagUnitExponent = 6;
inline constexpr int kNcchFlagBits = 7;
inline constexpr std::uint8_t kNcchFixedKey = 0x01;
inline constexpr std::uint8_t kNcchNoCrypto = 0x04;
inline constexpr std::uint8_t kNcchSeedCrypto = 0x20;

#pragma pack(push, 1)
// The NCCH header at the very start of every NCCH (signature, then the signed fields).
// Offsets and sizes are in media units; hashes are SHA-256.
struct NcchHeader {
  std::uint8_t signature[0x100];
  char magic[4];
  std::uint32_t contentSize;
  std::uint64_t partitionId;
  std::uint16_t makerCode;
  std::uint16_t formatVersion;
  std::uint32_t seedCheck;
  std::uint64_t programId;
  std::uint8_t reserved0[0x10];
  std::uint8_t logoHash[0x20];
  char productCode[0x10];
  std::uint8_t exheaderHash[0x20];
  std::uint32_t exheaderSize;
  std::uint32_t reserved1;
  std::uint8_t flags[8];
  std::uint32_t plainOffset;
  std::uint32_t plainSize;
  std::uint32_t logoOffset;
  std::uint32_t logoSize;
  std::uint32_t exefsOffset;
  std::uint32_t exefsSize;
  std::uint32_t exefsHashSize;
  std::uint32_t reserved2;
  std::uint32_t romfsOffset;
  std::uint32_t romfsSize;
  std::uint32_t romfsHashSize;
  std::uint32_t reserved3;
  std::uint8_t exefsHash[0x20];
  std::uint8_t romfsHash[0x20];
};
#pragma pack(pop)
static_assert(sizeof(NcchHeader) == kNcchHeaderSize);

// A parsed NCCH header with its regions converted to bytes. Every present region has been
// checked to lie inside the reader it was read from.
struct Ncch {
  NcchHeader header{};
  std::uint64_t mediaUnit = 0x200;
  std::uint64_t contentSize = 0;  // bytes
  ByteRange exheader;             // 0x800 bytes (exheader + access descriptor) when present
  ByteRange logo;
  ByteRange plain;
  ByteRange exefs;
  ByteRange romfs;
  std::uint64_t exefsHashRegion = 0;  // bytes of the ExeFS covered by header.exefsHash
  std::uint64_t romfsHashRegion = 0;  // bytes of the RomFS covered by header.romfsHash

  bool isPlain() const { return (header.flags[kNcchFlagBits] & kNcchNoCrypto) != 0; }
  // Form type 2 or 3: executable content with an exheader.
  bool isCxi() const { return (header.flags[kNcchFlagContentType] & 3) >= 2; }
};

// The code-set info at exheader 0x10: the three sections of the decompressed program (text,
// read-only data, data), which lie in it one after the other, each from a whole page on.
#pragma pack(push, 1)
struct ExheaderSection {
  std::uint32_t address;
  std::uint32_t pages;  // the most the section may take, in 0x1000-byte pages
  std::uint32_t size;   // bytes
};
struct ExheaderCodeSetInfo {
  ExheaderSection text;
  std::uint32_t stackSize;
  ExheaderSection readOnly;
  std::uint32_t reserved;
  ExheaderSection data;
  std::uint32_t bssSize;
};
#pragma pack(pop)
static_assert(sizeof(ExheaderSection) == 0xC);
static_assert(sizeof(ExheaderCodeSetInfo) == 0x30);

inline constexpr std::uint64_t kExheaderCodeSetOffset = 0x10;
inline constexpr std::uint64_t kExheaderFlagsOffset = 0xD;    // bit 0: .code stored compressed
inline constexpr std::uint64_t kExheaderProgramIdOffset = 0x200;
inline constexpr std::uint64_t kProgramPageSize = 0x1000;

// The bytes of program the loader makes room for: every section's pages. A program larger than
// that does not load.
std::uint64_t ProgramRoom(const ExheaderCodeSetInfo& info);

// Whether replacement (0x400 bytes, or 0x800 with the access descriptor) may stand in for the
// extended header original of the title programId, whose program, decompressed, has
// programSize bytes: the same program ID, the same word on whether .code is compressed, each
// section within its pages and room for the whole program. The failure names the file as
// exheader.bin and says what does not fit.
Status CheckReplacementExheader(std::span<const std::uint8_t> replacement, std::span<const std::uint8_t> original,
                                std::uint64_t programId, std::uint64_t programSize);

// The first 0x400 bytes of original with room for a program of programSize bytes: the last
// section that has pages grows (pages and size) to the program's end. original unchanged (cut
// to 0x400 bytes) when the program fits already; nothing for an exheader shorter than 0x400.
std::optional<std::vector<std::uint8_t>> ExheaderWithRoomFor(std::span<const std::uint8_t> original,
                                                             std::uint64_t programSize);

// Parses the NCCH at the start of in. Fails on a wrong magic, an unsupported media unit, an
// exheader size other than 0 or 0x400, or a region that reaches past the end of in.
Result<Ncch> ReadNcch(Reader& in);

// Fails unless the NCCH is stored decrypted; we hold no keys, so nothing else can be read.
Status RequirePlain(const Ncch& ncch, const std::string& name);

// Output paths of the header extraction; an empty path skips that file.
struct NcchHeaderFiles {
  std::filesystem::path header;    // 0x200 bytes
  std::filesystem::path exheader;  // 0x800 bytes, written only when the NCCH has an exheader
  std::filesystem::path logo;      // the logo region, written only when it has one
};

// Writes the header, the exheader with its access descriptor, and the logo region of a plain
// NCCH. Either every requested file that exists in the NCCH is written, or none.
Status ExtractNcchHeaders(Reader& in, const NcchHeaderFiles& files);

enum class NcchSection { ExeFs, RomFs };

// Writes a region of a plain NCCH byte for byte (size x media unit bytes, padding included).
// A region the NCCH lacks writes nothing and succeeds.
Status ExtractNcchSection(Reader& in, NcchSection section, const std::filesystem::path& out);

// Inputs of a CXI build: the saved header, exheader (with access descriptor), ExeFS image,
// RomFS image and logo region. romfs and logo may be empty paths: the CXI is then built
// without that region.
struct CxiParts {
  std::filesystem::path header;
  std::filesystem::path exheader;
  std::filesystem::path exefs;
  std::filesystem::path romfs;
  std::filesystem::path logo;
};

// Builds a plain CXI (NoCrypto set) in the canonical order header, exheader, logo, ExeFS,
// RomFS, with every layout field and hash of the header recomputed and all other header
// fields kept. The RomFS start and the end are aligned to 0x1000 when the saved header's
// content size, RomFS offset and RomFS size were all multiples of 8 media units (the layout
// the original tools keep), else to the media unit. Streams; memory stays small.
Status BuildCxi(const CxiParts& parts, const std::filesystem::path& out);

}  // namespace ctr
