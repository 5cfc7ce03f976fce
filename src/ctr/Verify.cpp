#include "ctr/Verify.h"

#include <algorithm>
#include <set>

#include "ctr/Cia.h"
#include "ctr/ExeFs.h"
#include "ctr/Ncch.h"
#include "ctr/Ncsd.h"
#include "ctr/Reader.h"
#include "ctr/RomFs.h"

namespace ctr {

namespace {

class Checker {
 public:
  explicit Checker(VerifyReport& report) : report_(report) {}

  void Add(const std::string& prefix, const std::string& region, bool good, std::string detail = {}) {
    report_.items.push_back({prefix + region, good, std::move(detail)});
  }
  void Add(const std::string& prefix, const std::string& region, const Status& status) {
    Add(prefix, region, status.ok(), status.message());
  }

 private:
  VerifyReport& report_;
};

bool SameDigest(const Sha256Digest& digest, const std::uint8_t (&field)[0x20]) {
  return std::equal(digest.begin(), digest.end(), field);
}

// Hash of a region compared with the value stored for it.
void CheckHash(Checker& check, const std::string& prefix, const std::string& region, Reader& in,
               std::uint64_t offset, std::uint64_t size, const std::uint8_t (&stored)[0x20]) {
  auto digest = HashRange(in, offset, size);
  if (!digest) {
    check.Add(prefix, region, digest.status());
  } else {
    check.Add(prefix, region, SameDigest(*digest, stored), SameDigest(*digest, stored) ? "" : "hash mismatch");
  }
}

// The NCCH checks; in must be backed by a file (the ExeFS and RomFS readers work in place).
void VerifyNcch(Checker& check, const std::string& prefix, Reader& in) {
  auto parsed = ReadNcch(in);
  check.Add(prefix, "NCCH header", parsed.status());
  if (!parsed) return;
  const Ncch& ncch = *parsed;
  check.Add(prefix, "stored decrypted (NoCrypto)", ncch.isPlain(), ncch.isPlain() ? "" : "encrypted: cannot be checked");
  if (!ncch.isPlain()) return;
  check.Add(prefix, "content size", ncch.contentSize <= in.size(),
            ncch.contentSize <= in.size() ? "" : "the header claims more bytes than there are");

  // Regions in the order consumers require, without overlaps, inside the content size.
  std::uint64_t end = ncch.exheader.present() ? ncch.exheader.offset + ncch.exheader.size : kNcchHeaderSize;
  bool ordered = true;
  for (const ByteRange* range : {&ncch.logo, &ncch.plain, &ncch.exefs, &ncch.romfs}) {
    if (!range->present()) continue;
    ordered = ordered && range->offset >= end;
    end = range->offset + range->size;
  }
  ordered = ordered && end <= ncch.contentSize;
  check.Add(prefix, "region layout", ordered, ordered ? "" : "regions overlap, are out of order or pass the content size");

  if (ncch.exheader.present()) {
    CheckHash(check, prefix, "exheader hash", in, ncch.exheader.offset, kExheaderHashedSize, ncch.header.exheaderHash);
  }
  if (ncch.logo.present()) CheckHash(check, prefix, "logo hash", in, ncch.logo.offset, ncch.logo.size, ncch.header.logoHash);
  const auto backing = in.Backing();
  if (ncch.exefs.present()) {
    CheckHash(check, prefix, "ExeFS header hash", in, ncch.exefs.offset, ncch.exefsHashRegion, ncch.header.exefsHash);
    check.Add(prefix, "ExeFS files", VerifyExeFs(*backing->file, backing->offset + ncch.exefs.offset, ncch.exefs.size));
  }
  if (ncch.romfs.present()) {
    CheckHash(check, prefix, "RomFS header hash", in, ncch.romfs.offset, ncch.romfsHashRegion, ncch.header.romfsHash);
    check.Add(prefix, "RomFS levels", VerifyRomFs(*backing->file, backing->offset + ncch.romfs.offset, ncch.romfs.size));
  }
}

void VerifyCia(Checker& check, Reader& in) {
  auto parsed = ReadCia(in);
  check.Add("", "CIA header and sections", parsed.status());
  if (!parsed) return;
  const Cia& cia = *parsed;

  // Read only when the size is the retail chain's: a header may claim gigabytes for it.
  const auto retail = RetailCertificateChain();
  bool chainOk = cia.header.certChainSize == retail.size();
  if (chainOk) {
    auto chain = in.ReadVector(cia.certOffset, cia.header.certChainSize);
    chainOk = chain && std::equal(chain->begin(), chain->end(), retail.begin(), retail.end());
  }
  check.Add("", "certificate chain", chainOk, chainOk ? "" : "not the retail certificate chain");
  const bool titleOk = cia.ticket.titleId.get() == cia.tmd.titleId.get();
  check.Add("", "ticket and TMD title ID", titleOk, titleOk ? "" : "the ticket and the TMD name different titles");

  const Sha256Digest infoHash =
      Sha256::Of(cia.infoRecords.data(), cia.infoRecords.size() * sizeof(TmdContentInfo));
  check.Add("", "TMD info records hash", SameDigest(infoHash, cia.tmd.infoRecordsHash),
            SameDigest(infoHash, cia.tmd.infoRecordsHash) ? "" : "hash mismatch");
  bool chunksOk = true;
  for (const TmdContentInfo& info : cia.infoRecords) {
    const std::size_t first = info.firstChunk.get(), count = info.chunkCount.get();
    if (count == 0) continue;
    if (first + count > cia.chunks.size()) {
      chunksOk = false;
      break;
    }
    const Sha256Digest digest = Sha256::Of(cia.chunks.data() + first, count * sizeof(TmdContentChunk));
    chunksOk = chunksOk && SameDigest(digest, info.hash);
  }
  check.Add("", "TMD content records hash", chunksOk, chunksOk ? "" : "hash mismatch");

  // Every bit of the bitmap must name a content the TMD lists.
  std::set<std::uint16_t> listed;
  for (const CiaContent& content : cia.contents) listed.insert(content.index);
  bool bitmapOk = true;
  std::uint64_t presentSize = 0;
  for (std::uint32_t index = 0; index < 0x10000; ++index) {
    if (cia.HasIndex(static_cast<std::uint16_t>(index)) && !listed.count(static_cast<std::uint16_t>(index))) bitmapOk = false;
  }
  for (const CiaContent& content : cia.contents) presentSize += content.present ? content.size : 0;
  bitmapOk = bitmapOk && presentSize == cia.header.contentSize;
  check.Add("", "content index bitmap", bitmapOk,
            bitmapOk ? "" : "the bitmap or the content size does not match the TMD");

  for (const CiaContent& content : cia.contents) {
    if (!content.present) continue;
    const std::string prefix = "content " + std::to_string(content.index) + ": ";
    const bool encrypted = (content.type & kTmdContentEncrypted) != 0;
    check.Add(prefix, "stored unencrypted", !encrypted, encrypted ? "the TMD marks it encrypted" : "");
    auto digest = HashRange(in, content.offset, content.size);
    if (!digest) {
      check.Add(prefix, "content hash", digest.status());
    } else {
      const bool same = std::equal(digest->begin(), digest->end(), content.hash.begin());
      check.Add(prefix, "content hash", same, same ? "" : "hash mismatch");
    }
    if (content.index == 0 && !encrypted) {
      WindowReader ncch(in, content.offset, content.size);
      VerifyNcch(check, prefix, ncch);
    }
  }
}

void VerifyNcsd(Checker& check, Reader& in) {
  auto parsed = ReadNcsd(in);
  check.Add("", "NCSD header and partition table", parsed.status());
  if (!parsed) return;
  const ByteRange p0 = parsed->Partition(0);
  check.Add("", "partition 0 present", p0.present());
  if (!p0.present()) return;
  WindowReader ncch(in, p0.offset, p0.size);
  auto copy = in.ReadVector(kNcsdNcchCopyOffset, 0x100);
  auto header = ncch.ReadVector(0x100, 0x100);
  const bool copyOk = copy && header && *copy == *header;
  check.Add("", "NCCH header copy at 0x1100", copyOk, copyOk ? "" : "differs from partition 0's header");
  VerifyNcch(check, "partition 0: ", ncch);
}

}  // namespace

bool VerifyReport::ok() const {
  return !items.empty() && std::all_of(items.begin(), items.end(), [](const VerifyItem& i) { return i.good; });
}

std::string VerifyReport::FirstProblem() const {
  for (const VerifyItem& item : items) {
    if (!item.good) return item.region + (item.detail.empty() ? std::string(": bad") : ": " + item.detail);
  }
  return items.empty() ? "nothing was checked" : "";
}

Result<VerifyReport> VerifyImageReport(const std::filesystem::path& path) {
  FileReader file;
  Status s = file.Open(path);
  if (!s) return s;
  VerifyReport report;
  report.kind = DetectImageKind(file);
  Checker check(report);
  switch (report.kind) {
    case ImageKind::Cia:
      VerifyCia(check, file);
      break;
    case ImageKind::Ncsd:
      VerifyNcsd(check, file);
      break;
    case ImageKind::Ncch:
      VerifyNcch(check, "", file);
      break;
    case ImageKind::Unknown:
      return Status::Error(file.name() + " is neither a CIA, a card image nor an NCCH");
  }
  return report;
}

Status VerifyImage(const std::filesystem::path& path) {
  auto report = VerifyImageReport(path);
  if (!report) return report.status();
  if (report->ok()) return Status::Ok();
  return Status::Error(PathText(path) + ": " + report->FirstProblem());
}

}  // namespace ctr
