// CIA archives: header, certificate chain, ticket, TMD, contents and meta. Reading the
// content list, writing contents out, and building a single-content CIA from a plain CXI.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "ctr/Io.h"
#include "ctr/Reader.h"
#include "ctr/Sha256.h"

namespace ctr {

inline constexpr std::uint32_t kCiaHeaderSize = 0x2020;
inline constexpr std::uint64_t kCiaAlignment = 0x40;
inline constexpr std::size_t kCiaCertChainSize = 0xA00;
inline constexpr std::uint16_t kTmdContentEncrypted = 0x0001;
inline constexpr std::uint32_t kSignatureRsa2048Sha256 = 0x00010004;

// Big-endian integer fields of the ES structures (ticket, TMD, certificates).
template <typename T>
struct BigEndian {
  std::uint8_t bytes[sizeof(T)];
  T get() const {
    T value = 0;
    for (std::uint8_t b : bytes) value = static_cast<T>((value << 8) | b);
    return value;
  }
  void set(T value) {
    for (std::size_t i = sizeof(T); i-- > 0;) {
      bytes[i] = static_cast<std::uint8_t>(value & 0xFF);
      value = static_cast<T>(value >> 8);
    }
  }
};
using Be16 = BigEndian<std::uint16_t>;
using Be32 = BigEndian<std::uint32_t>;
using Be64 = BigEndian<std::uint64_t>;

#pragma pack(push, 1)
// The CIA header at file offset 0 (little-endian). Section offsets follow from the sizes.
struct CiaHeader {
  std::uint32_t headerSize;
  std::uint16_t type;
  std::uint16_t version;
  std::uint32_t certChainSize;
  std::uint32_t ticketSize;
  std::uint32_t tmdSize;
  std::uint32_t metaSize;
  std::uint64_t contentSize;
  std::uint8_t contentIndex[0x2000];  // bit i = byte i / 8, mask 0x80 >> (i % 8)
};
static_assert(sizeof(CiaHeader) == kCiaHeaderSize);

// Signature block that starts a ticket or TMD signed with RSA-2048 (the only kind we write).
struct SignatureRsa2048 {
  Be32 type;
  std::uint8_t signature[0x100];
  std::uint8_t padding[0x3C];
};
static_assert(sizeof(SignatureRsa2048) == 0x140);

// Ticket fields after the signature block.
struct TicketBody {
  char issuer[0x40];
  std::uint8_t eccPublicKey[0x3C];
  std::uint8_t version;
  std::uint8_t caCrlVersion;
  std::uint8_t signerCrlVersion;
  std::uint8_t titleKey[0x10];
  std::uint8_t reserved0;
  Be64 ticketId;
  Be32 consoleId;
  Be64 titleId;
  std::uint8_t reserved1[2];
  Be16 titleVersion;
  std::uint8_t reserved2[8];
  std::uint8_t licenseType;
  std::uint8_t commonKeyIndex;
  std::uint8_t reserved3[0x2A];
  Be32 eshopAccountId;
  std::uint8_t reserved4;
  std::uint8_t audit;
  std::uint8_t reserved5[0x42];
  std::uint8_t limits[0x40];
};
static_assert(sizeof(TicketBody) == 0x164);

// TMD fields after the signature block, up to the content info records.
struct TmdBody {
  char issuer[0x40];
  std::uint8_t version;
  std::uint8_t caCrlVersion;
  std::uint8_t signerCrlVersion;
  std::uint8_t reserved0;
  Be64 systemVersion;
  Be64 titleId;
  Be32 titleType;
  Be16 groupId;
  std::uint32_t saveDataSize;  // little-endian, unlike its neighbours
  std::uint32_t srlPrivateSaveSize;  // little-endian
  std::uint8_t reserved1[4];
  std::uint8_t srlFlag;
  std::uint8_t reserved2[0x31];
  Be32 accessRights;
  Be16 titleVersion;
  Be16 contentCount;
  Be16 bootContent;
  std::uint8_t padding[2];
  std::uint8_t infoRecordsHash[0x20];
};
static_assert(sizeof(TmdBody) == 0xC4);

// One of the 64 TMD content info records: a run of chunk records and their hash.
struct TmdContentInfo {
  Be16 firstChunk;
  Be16 chunkCount;
  std::uint8_t hash[0x20];
};
static_assert(sizeof(TmdContentInfo) == 0x24);

// One TMD content chunk record.
struct TmdContentChunk {
  Be32 id;
  Be16 index;
  Be16 type;
  Be64 size;
  std::uint8_t hash[0x20];
};
static_assert(sizeof(TmdContentChunk) == 0x30);
#pragma pack(pop)

inline constexpr std::size_t kTmdInfoRecordCount = 64;

// A content as the TMD lists it, with its place in the file when the CIA holds it.
struct CiaContent {
  std::uint32_t id = 0;
  std::uint16_t index = 0;
  std::uint16_t type = 0;
  std::uint64_t size = 0;
  Sha256Digest hash{};
  bool present = false;     // its bit is set in the header bitmap
  std::uint64_t offset = 0; // file offset, when present
};

// A parsed CIA: section places and the TMD's content list. Every section and present content
// lies inside the reader.
struct Cia {
  CiaHeader header{};
  std::uint64_t certOffset = 0;
  std::uint64_t ticketOffset = 0;
  std::uint64_t tmdOffset = 0;
  std::uint64_t contentOffset = 0;
  std::uint64_t metaOffset = 0;
  std::uint64_t ticketBodyOffset = 0;  // file offsets of the fields after the signatures
  std::uint64_t tmdBodyOffset = 0;
  TicketBody ticket{};
  TmdBody tmd{};
  std::vector<TmdContentInfo> infoRecords;
  std::vector<TmdContentChunk> chunks;
  std::vector<CiaContent> contents;  // TMD order

  bool HasIndex(std::uint16_t index) const {
    return (header.contentIndex[index / 8] & (0x80 >> (index % 8))) != 0;
  }
};

Result<Cia> ReadCia(Reader& in);

// Locates the main NCCH (content index 0) of a CIA.
Result<ByteRange> CiaMainContent(const Cia& cia, const std::string& name);

// Writes every content present in the CIA, in TMD order, to prefix + ".IIII.CCCCCCCC" (content
// index and ID in lower-case hex). Refuses encrypted contents and a content 0 that is not a
// plain NCCH, before writing anything.
Status ExtractCiaContents(Reader& in, const std::filesystem::path& prefix);

// Builds a single-content CIA around a plain CXI: retail certificate chain, a common ticket
// and a TMD for the NCCH's partition ID, the content stored unencrypted with its hash, and the
// meta section (dependency list, core version, icon) when the ExeFS has an icon. Signatures
// are 0xFF fill (nobody outside the console maker can sign). Deterministic; one pass over the
// content.
Status BuildCia(const std::filesystem::path& cxi, std::uint16_t contentIndex, std::uint32_t contentId,
                const std::filesystem::path& out);

// The 0xA00 bytes of the retail certificate chain.
std::span<const std::uint8_t> RetailCertificateChain();

}  // namespace ctr
