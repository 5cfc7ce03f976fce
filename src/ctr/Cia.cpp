#include "ctr/Cia.h"

#include <algorithm>
#include <cstdio>
#include <future>

#include "ctr/ExeFs.h"
#include "ctr/Ncch.h"

namespace ctr {

namespace {

constexpr std::uint32_t kTicketSize = 0x350;
constexpr std::uint32_t kTicketContentIndexSize = 0xAC;
constexpr std::uint64_t kContentAlignment = 0x10;
constexpr std::uint32_t kTitleTypeCtr = 0x40;
constexpr std::uint64_t kMetaHeaderSize = 0x400;
constexpr std::uint64_t kExheaderDependencyOffset = 0x40;
constexpr std::uint64_t kExheaderDependencySize = 0x180;
constexpr std::uint64_t kExheaderRemasterOffset = 0x0E;
constexpr std::uint64_t kExheaderSaveSizeOffset = 0x1C0;
constexpr std::uint64_t kExheaderCoreVersionOffset = 0x208;
constexpr std::uint64_t kMetaCoreVersionOffset = 0x300;
// An icon larger than this is not an SMDH; it would only bloat the meta section.
constexpr std::uint64_t kMaxIconSize = 0x10000;
constexpr char kTicketIssuer[] = "Root-CA00000003-XS0000000c";
constexpr char kTmdIssuer[] = "Root-CA00000003-CP0000000b";

// Bytes of the signature and its padding for each ES signature type.
std::optional<std::uint64_t> SignatureBlockSize(std::uint32_t type) {
  switch (type) {
    case 0x10000:
    case 0x10003:
      return 4 + 0x200 + 0x3C;
    case 0x10001:
    case 0x10004:
      return 4 + 0x100 + 0x3C;
    case 0x10002:
    case 0x10005:
      return 4 + 0x3C + 0x40;
    default:
      return std::nullopt;
  }
}

// Offset of the body of a signed ES structure of the given size at offset.
Result<std::uint64_t> SignedBody(Reader& in, std::uint64_t offset, std::uint64_t size, const char* what,
                                 std::uint64_t bodySize) {
  Be32 type{};
  Status s = in.ReadAt(offset, &type, sizeof(type));
  if (!s) return s;
  auto block = SignatureBlockSize(type.get());
  if (!block) return Status::Error(in.name() + ": unknown signature type of the " + what);
  if (*block + bodySize > size) return Status::Error(in.name() + ": the " + what + " is too short");
  return offset + *block;
}

std::string ContentSuffix(std::uint16_t index, std::uint32_t id) {
  char text[32];
  std::snprintf(text, sizeof(text), ".%04x.%08x", static_cast<unsigned>(index), static_cast<unsigned>(id));
  return text;
}

template <typename T>
void PutBe(std::vector<std::uint8_t>& bytes, std::size_t offset, T value) {
  BigEndian<T> field;
  field.set(value);
  std::memcpy(bytes.data() + offset, field.bytes, sizeof(T));
}

std::vector<std::uint8_t> SignaturePlaceholder() {
  // Nobody outside the console maker can sign; 0xFF fill is what the reference builder
  // writes when it has no usable key, and every installer we target skips the check.
  std::vector<std::uint8_t> bytes(sizeof(SignatureRsa2048), 0);
  PutBe<std::uint32_t>(bytes, 0, kSignatureRsa2048Sha256);
  std::fill(bytes.begin() + 4, bytes.begin() + 4 + 0x100, 0xFF);
  return bytes;
}

std::vector<std::uint8_t> MakeTicket(std::uint64_t titleId, std::uint16_t titleVersion, std::uint16_t contentIndex) {
  std::vector<std::uint8_t> ticket = SignaturePlaceholder();
  TicketBody body{};
  std::memcpy(body.issuer, kTicketIssuer, sizeof(kTicketIssuer) - 1);
  body.version = 1;
  // The title key stays zero: the content is not encrypted. A fixed ticket ID derived from
  // the title keeps the output reproducible.
  body.ticketId.set(0x0004000000000000ull | (titleId & 0x0000FFFFFFFFFFFFull));
  body.titleId.set(titleId);
  body.titleVersion.set(titleVersion);
  const auto* raw = reinterpret_cast<const std::uint8_t*>(&body);
  ticket.insert(ticket.end(), raw, raw + sizeof(body));

  // Content index block with one rights record covering indices 0..1023; the layout and the
  // constant header values are what installers validate.
  std::vector<std::uint8_t> index(kTicketContentIndexSize, 0);
  PutBe<std::uint16_t>(index, 0x00, 1);
  PutBe<std::uint16_t>(index, 0x02, 0x14);
  PutBe<std::uint32_t>(index, 0x04, kTicketContentIndexSize);
  PutBe<std::uint32_t>(index, 0x08, 0x14);
  PutBe<std::uint16_t>(index, 0x0C, 1);
  PutBe<std::uint16_t>(index, 0x0E, 0x14);
  PutBe<std::uint32_t>(index, 0x14, 0x28);
  PutBe<std::uint32_t>(index, 0x18, 1);
  PutBe<std::uint32_t>(index, 0x1C, 0x84);
  PutBe<std::uint32_t>(index, 0x20, 0x84);
  PutBe<std::uint16_t>(index, 0x24, 3);
  index[0x2C + contentIndex / 8] |= static_cast<std::uint8_t>(1u << (contentIndex % 8));  // LSB first
  ticket.insert(ticket.end(), index.begin(), index.end());
  return ticket;
}

// The ExeFS icon (SMDH) for the meta section; empty when the ExeFS has none.
Result<std::vector<std::uint8_t>> ReadIcon(FileReader& cxi, const ByteRange& exefs) {
  auto header = ReadExeFsHeader(*cxi.Backing()->file, exefs.offset, exefs.size);
  if (!header) return Status::Error(cxi.name() + ": " + header.message());
  const ExeFsHeader::Entry* icon = header->Find("icon");
  if (!icon) return std::vector<std::uint8_t>{};
  if (icon->size > kMaxIconSize) return Status::Error(cxi.name() + ": the ExeFS icon is too large for an SMDH");
  return cxi.ReadVector(exefs.offset + icon->offset, icon->size);
}

}  // namespace

Result<Cia> ReadCia(Reader& in) {
  const std::string name = in.name();
  Cia cia;
  if (in.size() < sizeof(CiaHeader)) return Status::Error(name + " is too short for a CIA header");
  Status s = in.ReadAt(0, &cia.header, sizeof(cia.header));
  if (!s) return s;
  const CiaHeader& h = cia.header;
  if (h.headerSize != kCiaHeaderSize) return Status::Error(name + " is not a CIA (header size is not 0x2020)");
  if (h.ticketSize == 0 || h.tmdSize == 0) return Status::Error(name + ": the CIA has no ticket or no TMD");
  cia.certOffset = AlignUp(kCiaHeaderSize, kCiaAlignment);
  cia.ticketOffset = AlignUp(cia.certOffset + h.certChainSize, kCiaAlignment);
  cia.tmdOffset = AlignUp(cia.ticketOffset + h.ticketSize, kCiaAlignment);
  cia.contentOffset = AlignUp(cia.tmdOffset + h.tmdSize, kCiaAlignment);
  if (!InRange(cia.contentOffset, h.contentSize, in.size())) {
    return Status::Error(name + " is truncated: its sections need " + std::to_string(cia.contentOffset) + " + " +
                         std::to_string(h.contentSize) + " bytes, the file has " + std::to_string(in.size()));
  }
  cia.metaOffset = AlignUp(cia.contentOffset + h.contentSize, kCiaAlignment);
  if (h.metaSize != 0 && !InRange(cia.metaOffset, h.metaSize, in.size())) {
    return Status::Error(name + " is truncated: the meta section lies beyond the end");
  }

  auto ticketBody = SignedBody(in, cia.ticketOffset, h.ticketSize, "ticket", sizeof(TicketBody));
  if (!ticketBody) return ticketBody.status();
  cia.ticketBodyOffset = *ticketBody;
  if (!(s = in.ReadAt(cia.ticketBodyOffset, &cia.ticket, sizeof(cia.ticket)))) return s;

  const std::uint64_t tablesSize = sizeof(TmdBody) + kTmdInfoRecordCount * sizeof(TmdContentInfo);
  auto tmdBody = SignedBody(in, cia.tmdOffset, h.tmdSize, "TMD", tablesSize);
  if (!tmdBody) return tmdBody.status();
  cia.tmdBodyOffset = *tmdBody;
  if (!(s = in.ReadAt(cia.tmdBodyOffset, &cia.tmd, sizeof(cia.tmd)))) return s;
  cia.infoRecords.resize(kTmdInfoRecordCount);
  if (!(s = in.ReadAt(cia.tmdBodyOffset + sizeof(TmdBody), cia.infoRecords.data(),
                      kTmdInfoRecordCount * sizeof(TmdContentInfo)))) {
    return s;
  }
  const std::uint16_t count = cia.tmd.contentCount.get();
  const std::uint64_t chunksOffset = cia.tmdBodyOffset + tablesSize;
  if (chunksOffset + std::uint64_t{count} * sizeof(TmdContentChunk) > cia.tmdOffset + h.tmdSize) {
    return Status::Error(name + ": the TMD is too short for its " + std::to_string(count) + " contents");
  }
  cia.chunks.resize(count);
  if (!(s = in.ReadAt(chunksOffset, cia.chunks.data(), cia.chunks.size() * sizeof(TmdContentChunk)))) return s;

  // Present contents follow each other in TMD order.
  std::uint64_t position = cia.contentOffset;
  const std::uint64_t contentEnd = cia.contentOffset + h.contentSize;
  for (const TmdContentChunk& chunk : cia.chunks) {
    CiaContent content;
    content.id = chunk.id.get();
    content.index = chunk.index.get();
    content.type = chunk.type.get();
    content.size = chunk.size.get();
    std::copy(std::begin(chunk.hash), std::end(chunk.hash), content.hash.begin());
    content.present = cia.HasIndex(content.index);
    if (content.present) {
      if (!InRange(position, content.size, contentEnd)) {
        return Status::Error(name + ": content " + std::to_string(content.index) +
                             " reaches past the content section");
      }
      content.offset = position;
      position += content.size;
    }
    cia.contents.push_back(content);
  }
  return cia;
}

Result<ByteRange> CiaMainContent(const Cia& cia, const std::string& name) {
  for (const CiaContent& content : cia.contents) {
    if (content.index == 0 && content.present) {
      if (content.type & kTmdContentEncrypted) return Status::Error(name + ": content 0 is encrypted");
      return ByteRange{content.offset, content.size};
    }
  }
  return Status::Error(name + " holds no content 0");
}

Status ExtractCiaContents(Reader& in, const std::filesystem::path& prefix) {
  auto cia = ReadCia(in);
  if (!cia) return cia.status();
  // Everything is checked before the first file is written.
  for (const CiaContent& content : cia->contents) {
    if (!content.present) continue;
    if (content.type & kTmdContentEncrypted) {
      return Status::Error(in.name() + ": content " + std::to_string(content.index) +
                           " is encrypted; only decrypted CIAs are supported");
    }
    if (content.index == 0) {
      WindowReader window(in, content.offset, content.size);
      auto ncch = ReadNcch(window);
      if (!ncch) return ncch.status();
      Status s = RequirePlain(*ncch, in.name() + " (content 0)");
      if (!s) return s;
    }
  }
  for (const CiaContent& content : cia->contents) {
    if (!content.present) continue;
    std::filesystem::path target = prefix;
    target += ContentSuffix(content.index, content.id);
    OutputFile out;
    Status s = out.Open(target);
    if (!s) return s;
    if (!(s = CopyRange(in, content.offset, content.size, out))) return s;
    if (!(s = out.Commit())) return s;
  }
  return Status::Ok();
}

Status BuildCia(const std::filesystem::path& cxiPath, std::uint16_t contentIndex, std::uint32_t contentId,
                const std::filesystem::path& out) {
  if (contentIndex != 0) return Status::Error("only a CXI as content 0 can be packed");
  FileReader cxi;
  Status s = cxi.Open(cxiPath);
  if (!s) return s;
  auto ncch = ReadNcch(cxi);
  if (!ncch) return ncch.status();
  if (!(s = RequirePlain(*ncch, cxi.name()))) return s;
  if (!ncch->exheader.present() || !ncch->exefs.present()) {
    return Status::Error(cxi.name() + " is not a CXI (it lacks an exheader or an ExeFS)");
  }
  if (ncch->contentSize < kNcchHeaderSize || ncch->contentSize > cxi.size()) {
    return Status::Error(cxi.name() + ": the content size in the header (" + std::to_string(ncch->contentSize) +
                         ") does not fit the file (" + std::to_string(cxi.size()) + ")");
  }
  auto exheader = cxi.ReadVector(ncch->exheader.offset, kExheaderFullSize);
  if (!exheader) return exheader.status();
  const Sha256Digest exheaderHash = Sha256::Of(exheader->data(), kExheaderHashedSize);
  if (!std::equal(exheaderHash.begin(), exheaderHash.end(), ncch->header.exheaderHash)) {
    return Status::Error(cxi.name() + ": the exheader does not match its hash in the NCCH header");
  }
  auto icon = ReadIcon(cxi, ncch->exefs);
  if (!icon) return icon.status();

  const std::uint64_t titleId = ncch->header.partitionId;
  const std::uint16_t remaster = ReadLE<std::uint16_t>(*exheader, kExheaderRemasterOffset).value_or(0);
  const std::uint16_t titleVersion = static_cast<std::uint16_t>(remaster << 10);
  // Update titles keep their save data with the base title; the reference builder writes 0.
  const bool isPatch = (titleId >> 32) == 0x0004000E;
  const std::uint32_t saveSize =
      isPatch ? 0 : static_cast<std::uint32_t>(ReadLE<std::uint64_t>(*exheader, kExheaderSaveSizeOffset).value_or(0));
  const std::uint64_t ncchSize = ncch->contentSize;
  const std::uint64_t contentSize = AlignUp(ncchSize, kContentAlignment);

  std::vector<std::uint8_t> meta;
  if (!icon->empty()) {
    meta.assign(kMetaHeaderSize, 0);
    std::memcpy(meta.data(), exheader->data() + kExheaderDependencyOffset, kExheaderDependencySize);
    std::memcpy(meta.data() + kMetaCoreVersionOffset, exheader->data() + kExheaderCoreVersionOffset, 4);
    meta.insert(meta.end(), icon->begin(), icon->end());
  }

  CiaHeader header{};
  header.headerSize = kCiaHeaderSize;
  header.certChainSize = kCiaCertChainSize;
  header.ticketSize = kTicketSize;
  header.tmdSize = static_cast<std::uint32_t>(sizeof(SignatureRsa2048) + sizeof(TmdBody) +
                                              kTmdInfoRecordCount * sizeof(TmdContentInfo) + sizeof(TmdContentChunk));
  header.metaSize = static_cast<std::uint32_t>(meta.size());
  header.contentSize = contentSize;
  header.contentIndex[contentIndex / 8] |= static_cast<std::uint8_t>(0x80u >> (contentIndex % 8));  // MSB first

  const std::vector<std::uint8_t> ticket = MakeTicket(titleId, titleVersion, contentIndex);
  if (ticket.size() != kTicketSize) return Status::Error("internal ticket layout error");

  OutputFile file;
  if (!(s = file.Open(out))) return s;
  auto pad = [&file]() { return file.Fill(0, AlignUp(file.position(), kCiaAlignment) - file.position()); };
  if (!(s = file.Write(&header, sizeof(header))) || !(s = pad())) return s;
  const auto chain = RetailCertificateChain();
  if (!(s = file.Write(chain.data(), chain.size())) || !(s = pad())) return s;
  if (!(s = file.Write(ticket.data(), ticket.size())) || !(s = pad())) return s;
  // The TMD carries the content hash, known only after the copy; its place is reserved now
  // and filled in afterwards, so the content is read once.
  const std::uint64_t tmdOffset = file.position();
  if (!(s = file.Fill(0, header.tmdSize)) || !(s = pad())) return s;
  // The copy and the content hash need the same bytes: the copy goes the file system's own
  // way while a second thread hashes, so the content costs the time of one pass, not two.
  Sha256 contentHash;
  auto hashed = std::async(std::launch::async, [&cxiPath, ncchSize, &contentHash] {
    FileReader reader;
    const Status opened = reader.Open(cxiPath);
    return opened ? UpdateHash(reader, 0, ncchSize, contentHash) : opened;
  });
  s = CopyRange(cxi, 0, ncchSize, file);
  const Status hashStatus = hashed.get();
  if (!s) return s;
  if (!hashStatus) return hashStatus;
  const std::vector<std::uint8_t> contentPad(static_cast<std::size_t>(contentSize - ncchSize), 0);
  contentHash.Update(contentPad.data(), contentPad.size());
  if (!(s = file.Write(contentPad.data(), contentPad.size())) || !(s = pad())) return s;
  if (!meta.empty() && !(s = file.Write(meta.data(), meta.size()))) return s;

  TmdContentChunk chunk{};
  chunk.id.set(contentId);
  chunk.index.set(contentIndex);
  chunk.type.set(0);  // stored plain: the Encrypted flag must stay clear
  chunk.size.set(contentSize);
  const Sha256Digest digest = contentHash.Final();
  std::copy(digest.begin(), digest.end(), chunk.hash);
  std::vector<TmdContentInfo> info(kTmdInfoRecordCount);
  info[0].firstChunk.set(0);
  info[0].chunkCount.set(1);
  const Sha256Digest chunkHash = Sha256::Of(&chunk, sizeof(chunk));
  std::copy(chunkHash.begin(), chunkHash.end(), info[0].hash);
  TmdBody body{};
  std::memcpy(body.issuer, kTmdIssuer, sizeof(kTmdIssuer) - 1);
  body.version = 1;
  body.titleId.set(titleId);
  body.titleType.set(kTitleTypeCtr);
  body.saveDataSize = saveSize;
  body.titleVersion.set(titleVersion);
  body.contentCount.set(1);
  body.bootContent.set(0);
  const Sha256Digest infoHash = Sha256::Of(info.data(), info.size() * sizeof(TmdContentInfo));
  std::copy(infoHash.begin(), infoHash.end(), body.infoRecordsHash);

  std::vector<std::uint8_t> tmd = SignaturePlaceholder();
  auto append = [&tmd](const void* data, std::size_t size) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    tmd.insert(tmd.end(), bytes, bytes + size);
  };
  append(&body, sizeof(body));
  append(info.data(), info.size() * sizeof(TmdContentInfo));
  append(&chunk, sizeof(chunk));
  if (!(s = file.WriteAt(tmdOffset, tmd.data(), tmd.size()))) return s;
  return file.Commit();
}

}  // namespace ctr
