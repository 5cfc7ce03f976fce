#include "ctr/Ncch.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <utility>

#include "ctr/ExeFs.h"
#include "ctr/RomFs.h"

namespace ctr {

namespace {

// Retail images all use 0x200-byte units; a larger exponent is a damaged header, and keeping
// the unit small bounds what a builder holds in memory for one unit.
constexpr std::uint8_t kMaxUnitExponent = 6;
constexpr std::uint64_t kBlockAlignment = 0x1000;

Status CheckRange(const std::string& name, const char* what, const ByteRange& range, std::uint64_t length) {
  if (!InRange(range.offset, range.size, length)) {
    return Status::Error(name + ": the " + what + " region (" + std::to_string(range.offset) + " + " +
                         std::to_string(range.size) + ") lies beyond the end of the file (" +
                         std::to_string(length) + ")");
  }
  return Status::Ok();
}

std::string Hex(std::uint64_t value) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  do {
    text.insert(text.begin(), kDigits[value & 0xF]);
    value >>= 4;
  } while (value);
  return "0x" + text;
}

// Reads the first `size` bytes of a file as if it were padded with zeros to at least that
// size. Used for the superblock hashes, which cover whole media units.
Result<std::vector<std::uint8_t>> ReadPaddedPrefix(Reader& in, std::uint64_t size) {
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size), 0);
  const std::uint64_t available = std::min<std::uint64_t>(size, in.size());
  Status s = in.ReadAt(0, bytes.data(), static_cast<std::size_t>(available));
  if (!s) return s;
  return bytes;
}

void CopyDigest(const Sha256Digest& digest, std::uint8_t (&field)[0x20]) {
  std::copy(digest.begin(), digest.end(), field);
}

Status WriteZerosTo(OutputFile& out, std::uint64_t position) {
  if (out.position() > position) return Status::Error("internal layout error");
  return out.Fill(0, position - out.position());
}

}  // namespace

std::uint64_t ProgramRoom(const ExheaderCodeSetInfo& info) {
  return (std::uint64_t{info.text.pages} + info.readOnly.pages + info.data.pages) * kProgramPageSize;
}

Status CheckReplacementExheader(std::span<const std::uint8_t> replacement, std::span<const std::uint8_t> original,
                                std::uint64_t programId, std::uint64_t programSize) {
  const auto fail = [](const std::string& why) { return Status::Error("exheader.bin " + why); };
  if (replacement.size() != kExheaderHashedSize && replacement.size() != kExheaderFullSize) {
    return fail("has " + Hex(replacement.size()) + " bytes; an extended header has 0x400, or 0x800 with its "
                "access descriptor");
  }
  const auto id = ReadLE<std::uint64_t>(replacement, kExheaderProgramIdOffset);
  if (*id != programId) {
    char text[80];
    std::snprintf(text, sizeof(text), "is for the program %016llX, the image's is %016llX",
                  static_cast<unsigned long long>(*id), static_cast<unsigned long long>(programId));
    return fail(text);
  }
  // The rebuild stores .code as the image's header says; another word would have it read wrong.
  if (original.size() > kExheaderFlagsOffset &&
      ((replacement[kExheaderFlagsOffset] ^ original[kExheaderFlagsOffset]) & 1) != 0) {
    return fail(std::string("says the program is stored ") +
                ((replacement[kExheaderFlagsOffset] & 1) ? "compressed" : "uncompressed") +
                ", the image's extended header says the opposite");
  }
  const ExheaderCodeSetInfo info = *ReadLE<ExheaderCodeSetInfo>(replacement, kExheaderCodeSetOffset);
  for (const auto& [name, section] : {std::pair{"text", info.text}, std::pair{"read-only data", info.readOnly},
                                      std::pair{"data", info.data}}) {
    if (section.size > std::uint64_t{section.pages} * kProgramPageSize) {
      return fail("gives the " + std::string(name) + " section " + Hex(section.size) + " bytes in " +
                  std::to_string(section.pages) + " pages");
    }
  }
  if (programSize > ProgramRoom(info)) {
    return fail("leaves room for " + Hex(ProgramRoom(info)) + " bytes of program, the patched program has " +
                Hex(programSize));
  }
  return Status::Ok();
}

std::optional<std::vector<std::uint8_t>> ExheaderWithRoomFor(std::span<const std::uint8_t> original,
                                                             std::uint64_t programSize) {
  if (original.size() < kExheaderHashedSize) return std::nullopt;
  std::vector<std::uint8_t> exheader(original.begin(), original.begin() + kExheaderHashedSize);
  ExheaderCodeSetInfo info = *ReadLE<ExheaderCodeSetInfo>(exheader, kExheaderCodeSetOffset);
  if (programSize <= ProgramRoom(info)) return exheader;
  // The program grows at its end, which belongs to its last section.
  ExheaderSection& last = info.data.pages ? info.data : info.readOnly.pages ? info.readOnly : info.text;
  const std::uint64_t start = ProgramRoom(info) - std::uint64_t{last.pages} * kProgramPageSize;
  const std::uint64_t size = programSize - start;
  const std::uint64_t pages = AlignUp(size, kProgramPageSize) / kProgramPageSize;
  if (size > 0xFFFFFFFF || pages > 0xFFFFFFFF) return std::nullopt;
  last.size = static_cast<std::uint32_t>(size);
  last.pages = static_cast<std::uint32_t>(pages);
  std::memcpy(exheader.data() + kExheaderCodeSetOffset, &info, sizeof(info));
  return exheader;
}

Result<Ncch> ReadNcch(Reader& in) {
  const std::string name = in.name();
  if (in.size() < kNcchHeaderSize) return Status::Error(name + " is too short for an NCCH header");
  Ncch ncch;
  Status s = in.ReadAt(0, &ncch.header, sizeof(ncch.header));
  if (!s) return s;
  const NcchHeader& h = ncch.header;
  if (std::memcmp(h.magic, "NCCH", 4) != 0) return Status::Error(name + " is not an NCCH (no NCCH magic)");
  const std::uint8_t exponent = h.flags[kNcchFlagUnitExponent];
  if (exponent > kMaxUnitExponent) {
    return Status::Error(name + ": unsupported media unit exponent " + std::to_string(exponent));
  }
  const std::uint64_t mu = std::uint64_t{0x200} << exponent;
  ncch.mediaUnit = mu;
  ncch.contentSize = std::uint64_t{h.contentSize} * mu;
  if (h.exheaderSize != 0 && h.exheaderSize != kExheaderHashedSize) {
    return Status::Error(name + ": unexpected exheader size " + Hex(h.exheaderSize));
  }
  if (h.exheaderSize != 0) ncch.exheader = {kNcchHeaderSize, kExheaderFullSize};
  auto region = [mu](std::uint32_t offset, std::uint32_t size) {
    // An offset without a size (or the reverse) means the region is absent.
    if (offset == 0 || size == 0) return ByteRange{};
    return ByteRange{std::uint64_t{offset} * mu, std::uint64_t{size} * mu};
  };
  ncch.logo = region(h.logoOffset, h.logoSize);
  ncch.plain = region(h.plainOffset, h.plainSize);
  ncch.exefs = region(h.exefsOffset, h.exefsSize);
  ncch.romfs = region(h.romfsOffset, h.romfsSize);
  ncch.exefsHashRegion = std::uint64_t{h.exefsHashSize} * mu;
  ncch.romfsHashRegion = std::uint64_t{h.romfsHashSize} * mu;
  const std::uint64_t length = in.size();
  for (const auto& [what, range] : {std::pair{"exheader", ncch.exheader}, std::pair{"logo", ncch.logo},
                                    std::pair{"plain", ncch.plain}, std::pair{"ExeFS", ncch.exefs},
                                    std::pair{"RomFS", ncch.romfs}}) {
    s = CheckRange(name, what, range, length);
    if (!s) return s;
  }
  if (ncch.exefs.present() && ncch.exefsHashRegion > ncch.exefs.size) {
    return Status::Error(name + ": the ExeFS hash region is larger than the ExeFS");
  }
  if (ncch.romfs.present() && ncch.romfsHashRegion > ncch.romfs.size) {
    return Status::Error(name + ": the RomFS hash region is larger than the RomFS");
  }
  return ncch;
}

Status RequirePlain(const Ncch& ncch, const std::string& name) {
  if (!ncch.isPlain()) {
    return Status::Error(name + " is encrypted (NoCrypto flag not set); only decrypted images are supported");
  }
  return Status::Ok();
}

Status ExtractNcchHeaders(Reader& in, const NcchHeaderFiles& files) {
  auto ncch = ReadNcch(in);
  if (!ncch) return ncch.status();
  Status s = RequirePlain(*ncch, in.name());
  if (!s) return s;

  // All outputs are complete before any of them replaces a file.
  OutputFile headerOut, exheaderOut, logoOut;
  if (!files.header.empty()) {
    if (!(s = headerOut.Open(files.header))) return s;
    if (!(s = CopyRange(in, 0, kNcchHeaderSize, headerOut))) return s;
  }
  const bool writeExheader = !files.exheader.empty() && ncch->exheader.present();
  if (writeExheader) {
    if (!(s = exheaderOut.Open(files.exheader))) return s;
    if (!(s = CopyRange(in, ncch->exheader.offset, ncch->exheader.size, exheaderOut))) return s;
  }
  const bool writeLogo = !files.logo.empty() && ncch->logo.present();
  if (writeLogo) {
    if (!(s = logoOut.Open(files.logo))) return s;
    if (!(s = CopyRange(in, ncch->logo.offset, ncch->logo.size, logoOut))) return s;
  }
  if (!files.header.empty() && !(s = headerOut.Commit())) return s;
  if (writeExheader && !(s = exheaderOut.Commit())) return s;
  if (writeLogo && !(s = logoOut.Commit())) return s;
  return Status::Ok();
}

Status ExtractNcchSection(Reader& in, NcchSection section, const std::filesystem::path& out) {
  auto ncch = ReadNcch(in);
  if (!ncch) return ncch.status();
  Status s = RequirePlain(*ncch, in.name());
  if (!s) return s;
  const ByteRange range = section == NcchSection::ExeFs ? ncch->exefs : ncch->romfs;
  if (!range.present()) return Status::Ok();
  OutputFile file;
  if (!(s = file.Open(out))) return s;
  if (!(s = CopyRange(in, range.offset, range.size, file))) return s;
  return file.Commit();
}

Status BuildCxi(const CxiParts& parts, const std::filesystem::path& out) {
  auto headerBytes = ReadWholeFile(parts.header);
  if (!headerBytes) return headerBytes.status();
  auto header = ReadLE<NcchHeader>(*headerBytes, 0);
  if (!header) return Status::Error(PathText(parts.header) + " is too short for an NCCH header");
  NcchHeader h = *header;
  if (std::memcmp(h.magic, "NCCH", 4) != 0) {
    return Status::Error(PathText(parts.header) + " is not an NCCH header (no NCCH magic)");
  }
  const std::uint8_t exponent = h.flags[kNcchFlagUnitExponent];
  if (exponent > kMaxUnitExponent) {
    return Status::Error(PathText(parts.header) + ": unsupported media unit exponent " + std::to_string(exponent));
  }
  const std::uint64_t mu = std::uint64_t{0x200} << exponent;
  // The original tools decide the RomFS alignment from the saved header's stale values, not
  // from the new layout; doing the same keeps a rebuilt image laid out like the original.
  const bool blockAligned = h.contentSize % 8 == 0 && h.romfsOffset % 8 == 0 && h.romfsSize % 8 == 0;
  const std::uint64_t romfsAlignment = blockAligned ? std::max(mu, kBlockAlignment) : mu;

  FileReader exheader;
  Status s = exheader.Open(parts.exheader);
  if (!s) return s;
  if (exheader.size() < kExheaderFullSize) {
    return Status::Error(PathText(parts.exheader) + " is shorter than an exheader with access descriptor (0x800 bytes)");
  }
  auto exheaderBytes = exheader.ReadVector(0, kExheaderFullSize);
  if (!exheaderBytes) return exheaderBytes.status();

  FileReader logo;
  const bool hasLogo = !parts.logo.empty();
  if (hasLogo && !(s = logo.Open(parts.logo))) return s;
  if (hasLogo && logo.size() == 0) return Status::Error(PathText(parts.logo) + " is empty");

  FileReader exefs;
  if (!(s = exefs.Open(parts.exefs))) return s;
  auto exefsPrefix = ReadPaddedPrefix(exefs, std::max<std::uint64_t>(mu, 0x200));
  if (!exefsPrefix) return exefsPrefix.status();
  if (exefs.size() < 0x200 || !LooksLikeExeFsHeader(*exefsPrefix)) {
    return Status::Error(PathText(parts.exefs) + " is not an ExeFS image (encrypted or damaged)");
  }

  FileReader romfs;
  const bool hasRomfs = !parts.romfs.empty();
  std::uint64_t romfsHashRegion = 0;
  Sha256Digest romfsHash{};
  if (hasRomfs) {
    if (!(s = romfs.Open(parts.romfs))) return s;
    auto superblock = ReadRomFsSuperblock(*romfs.Backing()->file, 0, romfs.size(), mu);
    if (!superblock) return Status::Error(PathText(parts.romfs) + " is not a usable RomFS image: " + superblock.message());
    romfsHashRegion = superblock->hashRegionSize;
    romfsHash = superblock->hash;
  }

  // Layout in bytes, then the header fields in media units.
  const std::uint64_t logoStart = AlignUp(kNcchHeaderSize + kExheaderFullSize, mu);
  const std::uint64_t logoSize = hasLogo ? AlignUp(logo.size(), mu) : 0;
  const std::uint64_t exefsStart = AlignUp(logoStart + logoSize, mu);
  const std::uint64_t exefsSize = AlignUp(exefs.size(), mu);
  const std::uint64_t romfsStart = hasRomfs ? AlignUp(exefsStart + exefsSize, romfsAlignment) : 0;
  const std::uint64_t romfsSize = hasRomfs ? AlignUp(romfs.size(), mu) : 0;
  const std::uint64_t end = AlignUp(hasRomfs ? romfsStart + romfsSize : exefsStart + exefsSize, romfsAlignment);
  if (end / mu > 0xFFFFFFFFu) return Status::Error("the CXI would be too large for its header fields");
  auto units = [mu](std::uint64_t bytes) { return static_cast<std::uint32_t>(bytes / mu); };

  h.contentSize = units(end);
  h.exheaderSize = static_cast<std::uint32_t>(kExheaderHashedSize);
  CopyDigest(Sha256::Of(exheaderBytes->data(), kExheaderHashedSize), h.exheaderHash);
  h.plainOffset = h.plainSize = 0;
  h.logoOffset = hasLogo ? units(logoStart) : 0;
  h.logoSize = units(logoSize);
  h.exefsOffset = units(exefsStart);
  h.exefsSize = units(exefsSize);
  h.exefsHashSize = 1;
  CopyDigest(Sha256::Of(exefsPrefix->data(), static_cast<std::size_t>(mu)), h.exefsHash);
  h.romfsOffset = units(romfsStart);
  h.romfsSize = units(romfsSize);
  h.romfsHashSize = units(romfsHashRegion);
  std::fill(std::begin(h.romfsHash), std::end(h.romfsHash), 0);
  if (hasRomfs) CopyDigest(romfsHash, h.romfsHash);
  // We write plain data, so the header must say so; leftover key selectors would make other
  // tools look for keys.
  h.flags[kNcchFlagBits] = static_cast<std::uint8_t>((h.flags[kNcchFlagBits] | kNcchNoCrypto) &
                                                     ~(kNcchFixedKey | kNcchSeedCrypto));
  h.flags[kNcchFlagCryptoMethod] = 0;

  OutputFile file;
  if (!(s = file.Open(out))) return s;
  if (!(s = file.Fill(0, kNcchHeaderSize))) return s;
  if (!(s = file.Write(exheaderBytes->data(), exheaderBytes->size()))) return s;
  std::fill(std::begin(h.logoHash), std::end(h.logoHash), 0);
  if (hasLogo) {
    Sha256 logoHash;
    if (!(s = WriteZerosTo(file, logoStart))) return s;
    if (!(s = CopyRange(logo, 0, logo.size(), file, &logoHash))) return s;
    // The logo hash covers the whole region, padding included.
    const std::vector<std::uint8_t> pad(static_cast<std::size_t>(logoSize - logo.size()), 0);
    logoHash.Update(pad.data(), pad.size());
    if (!(s = file.Write(pad.data(), pad.size()))) return s;
    CopyDigest(logoHash.Final(), h.logoHash);
  }
  if (!(s = WriteZerosTo(file, exefsStart))) return s;
  if (!(s = CopyRange(exefs, 0, exefs.size(), file))) return s;
  if (hasRomfs) {
    if (!(s = WriteZerosTo(file, romfsStart))) return s;
    if (!(s = CopyRange(romfs, 0, romfs.size(), file))) return s;
  }
  if (!(s = WriteZerosTo(file, end))) return s;
  if (!(s = file.WriteAt(0, &h, sizeof(h)))) return s;
  return file.Commit();
}

}  // namespace ctr
