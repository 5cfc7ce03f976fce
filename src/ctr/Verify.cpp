#include "ctr/Verify.h"

#include <algorithm>
#include <future>
#include <memory>
#include <set>

#include "ctr/Cia.h"
#include "ctr/ExeFs.h"
#include "ctr/FilePass.h"
#include "ctr/Ncch.h"
#include "ctr/Ncsd.h"
#include "ctr/Reader.h"
#include "ctr/RomFs.h"

namespace ctr {

namespace {

// The English name of every region, for tools and developers.
const char* RegionName(VerifyRegion what) {
  switch (what) {
    case VerifyRegion::CiaHeader: return "CIA header and sections";
    case VerifyRegion::CertificateChain: return "certificate chain";
    case VerifyRegion::TicketTitle: return "ticket and TMD title ID";
    case VerifyRegion::TmdInfoRecords: return "TMD info records hash";
    case VerifyRegion::TmdContentRecords: return "TMD content records hash";
    case VerifyRegion::ContentBitmap: return "content index bitmap";
    case VerifyRegion::ContentUnencrypted: return "stored unencrypted";
    case VerifyRegion::ContentHash: return "content hash";
    case VerifyRegion::NcsdHeader: return "NCSD header and partition table";
    case VerifyRegion::PartitionPresent: return "partition 0 present";
    case VerifyRegion::NcchHeaderCopy: return "NCCH header copy at 0x1100";
    case VerifyRegion::NcchHeader: return "NCCH header";
    case VerifyRegion::NcchDecrypted: return "stored decrypted (NoCrypto)";
    case VerifyRegion::NcchContentSize: return "content size";
    case VerifyRegion::NcchLayout: return "region layout";
    case VerifyRegion::ExheaderHash: return "exheader hash";
    case VerifyRegion::LogoHash: return "logo hash";
    case VerifyRegion::ExeFsHeaderHash: return "ExeFS header hash";
    case VerifyRegion::ExeFsFiles: return "ExeFS files";
    case VerifyRegion::RomFsHeaderHash: return "RomFS header hash";
    case VerifyRegion::RomFsLevels: return "RomFS levels";
  }
  return "";
}

// Where the items added next lie.
struct Scope {
  VerifyScope scope = VerifyScope::Image;
  std::uint16_t index = 0;

  std::string Prefix() const {
    switch (scope) {
      case VerifyScope::Image: break;
      case VerifyScope::Content: return "content " + std::to_string(index) + ": ";
      case VerifyScope::Partition: return "partition " + std::to_string(index) + ": ";
    }
    return "";
  }
};

class Checker {
 public:
  explicit Checker(VerifyReport& report) : report_(report) {}

  // The item added, for the caller to add what it knows of a fault.
  VerifyItem& Add(const Scope& scope, VerifyRegion what, bool good, VerifyFault fault, std::string detail = {}) {
    VerifyItem item;
    item.region = scope.Prefix() + RegionName(what);
    item.good = good;
    item.detail = good ? std::string() : std::move(detail);
    item.what = what;
    item.scope = scope.scope;
    item.scopeIndex = scope.index;
    item.fault = good ? VerifyFault::None : fault;
    report_.items.push_back(std::move(item));
    return report_.items.back();
  }
  // A step that could not read or parse what it checks.
  VerifyItem& Add(const Scope& scope, VerifyRegion what, const Status& status) {
    return Add(scope, what, status.ok(), VerifyFault::Unreadable, status.message());
  }
  std::size_t Count() const { return report_.items.size(); }
  // Puts the last item at position at, for a check that ended after those it ran beside.
  void MoveLastTo(std::size_t at) {
    std::rotate(report_.items.begin() + static_cast<std::ptrdiff_t>(at), report_.items.end() - 1, report_.items.end());
  }

 private:
  VerifyReport& report_;
};

bool SameDigest(const Sha256Digest& digest, const std::uint8_t (&field)[0x20]) {
  return std::equal(digest.begin(), digest.end(), field);
}

// Hash of a region compared with the value stored for it.
void CheckHash(Checker& check, const Scope& scope, VerifyRegion what, Reader& in, std::uint64_t offset,
               std::uint64_t size, const std::uint8_t (&stored)[0x20]) {
  auto digest = HashRange(in, offset, size);
  if (!digest) {
    check.Add(scope, what, digest.status());
  } else {
    check.Add(scope, what, SameDigest(*digest, stored), VerifyFault::HashMismatch, "hash mismatch");
  }
}

// The RomFS levels of one NCCH, with level 3 fed by the pass over the file that the image's
// other large digests come from; in must be backed by a file, like VerifyNcch's.
class NcchLevels {
 public:
  // Does nothing for an NCCH without a plain RomFS: VerifyNcch reports why it has none.
  explicit NcchLevels(Reader& in) {
    auto ncch = ReadNcch(in);
    if (!ncch || !ncch->isPlain() || !ncch->romfs.present()) return;
    const auto backing = in.Backing();
    if (backing) check_.emplace(*backing->file, backing->offset + ncch->romfs.offset, ncch->romfs.size);
  }
  // Adds the range of level 3 to the pass, when there is one to read.
  void AddTo(std::vector<PassRange>& ranges, bool aside) {
    if (!check_ || !check_->Level3().present()) return;
    ranges.push_back({check_->Level3().offset, check_->Level3().size,
                      [this](const std::uint8_t* data, std::size_t n) { check_->Update(data, n); },
                      [this](const Status& read) { read_.set_value(read); }, aside});
    fed_ = true;
  }
  // Waits for the pass to have fed level 3.
  Status Get(RomFsHashMismatch* mismatch) {
    if (!check_) return Status::Error("RomFS not read");
    return check_->Finish(fed_ ? read_.get_future().get() : Status::Ok(), mismatch);
  }

 private:
  std::optional<RomFsLevelCheck> check_;
  std::promise<Status> read_;
  bool fed_ = false;
};

// The NCCH checks; in must be backed by a file (the ExeFS and RomFS readers work in place).
void VerifyNcch(Checker& check, const Scope& scope, Reader& in, NcchLevels& levels) {
  auto parsed = ReadNcch(in);
  check.Add(scope, VerifyRegion::NcchHeader, parsed.status());
  if (!parsed) return;
  const Ncch& ncch = *parsed;
  check.Add(scope, VerifyRegion::NcchDecrypted, ncch.isPlain(), VerifyFault::Encrypted, "encrypted: cannot be checked");
  if (!ncch.isPlain()) return;
  check.Add(scope, VerifyRegion::NcchContentSize, ncch.contentSize <= in.size(), VerifyFault::PastEnd,
            "the header claims more bytes than there are");

  // Regions in the order consumers require, without overlaps, inside the content size.
  std::uint64_t end = ncch.exheader.present() ? ncch.exheader.offset + ncch.exheader.size : kNcchHeaderSize;
  bool ordered = true;
  for (const ByteRange* range : {&ncch.logo, &ncch.plain, &ncch.exefs, &ncch.romfs}) {
    if (!range->present()) continue;
    ordered = ordered && range->offset >= end;
    end = range->offset + range->size;
  }
  ordered = ordered && end <= ncch.contentSize;
  check.Add(scope, VerifyRegion::NcchLayout, ordered, VerifyFault::BadLayout,
            "regions overlap, are out of order or pass the content size");

  if (ncch.exheader.present()) {
    CheckHash(check, scope, VerifyRegion::ExheaderHash, in, ncch.exheader.offset, kExheaderHashedSize,
              ncch.header.exheaderHash);
  }
  if (ncch.logo.present()) {
    CheckHash(check, scope, VerifyRegion::LogoHash, in, ncch.logo.offset, ncch.logo.size, ncch.header.logoHash);
  }
  const auto backing = in.Backing();
  if (ncch.exefs.present()) {
    CheckHash(check, scope, VerifyRegion::ExeFsHeaderHash, in, ncch.exefs.offset, ncch.exefsHashRegion,
              ncch.header.exefsHash);
    ExeFsFileFault fault;
    const Status files = VerifyExeFs(*backing->file, backing->offset + ncch.exefs.offset, ncch.exefs.size, &fault);
    VerifyItem& item = check.Add(scope, VerifyRegion::ExeFsFiles, files);
    if (!files && !fault.name.empty()) {
      item.fault = fault.misaligned ? VerifyFault::Misaligned : VerifyFault::HashMismatch;
      item.name = fault.name;
    }
  }
  if (ncch.romfs.present()) {
    CheckHash(check, scope, VerifyRegion::RomFsHeaderHash, in, ncch.romfs.offset, ncch.romfsHashRegion,
              ncch.header.romfsHash);
    RomFsHashMismatch mismatch;
    const Status checked = levels.Get(&mismatch);
    VerifyItem& item = check.Add(scope, VerifyRegion::RomFsLevels, checked);
    if (!checked && mismatch.level != 0) {
      item.fault = VerifyFault::HashMismatch;
      item.level = mismatch.level;
      item.block = mismatch.block;
    }
  }
}

// Ok when the pass over the contents read the file through; wholeFile (may be null) then
// holds all of it.
Status VerifyCia(Checker& check, Reader& in, const std::filesystem::path& path, Sha256* wholeFile) {
  const Scope image;
  auto parsed = ReadCia(in);
  check.Add(image, VerifyRegion::CiaHeader, parsed.status());
  if (!parsed) return parsed.status();
  const Cia& cia = *parsed;

  // Read only when the size is the retail chain's: a header may claim gigabytes for it.
  const auto retail = RetailCertificateChain();
  bool chainOk = cia.header.certChainSize == retail.size();
  if (chainOk) {
    auto chain = in.ReadVector(cia.certOffset, cia.header.certChainSize);
    chainOk = chain && std::equal(chain->begin(), chain->end(), retail.begin(), retail.end());
  }
  check.Add(image, VerifyRegion::CertificateChain, chainOk, VerifyFault::NotRetail, "not the retail certificate chain");
  check.Add(image, VerifyRegion::TicketTitle, cia.ticket.titleId.get() == cia.tmd.titleId.get(),
            VerifyFault::TitlesDiffer, "the ticket and the TMD name different titles");

  const Sha256Digest infoHash =
      Sha256::Of(cia.infoRecords.data(), cia.infoRecords.size() * sizeof(TmdContentInfo));
  check.Add(image, VerifyRegion::TmdInfoRecords, SameDigest(infoHash, cia.tmd.infoRecordsHash),
            VerifyFault::HashMismatch, "hash mismatch");
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
  check.Add(image, VerifyRegion::TmdContentRecords, chunksOk, VerifyFault::HashMismatch, "hash mismatch");

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
  check.Add(image, VerifyRegion::ContentBitmap, bitmapOk, VerifyFault::BitmapMismatch,
            "the bitmap or the content size does not match the TMD");

  // The contents' hashes, the NCCH's RomFS level 3 and the whole file's hash cover the same
  // bytes: they come from one pass, on a thread of its own with a reader of its own, and each
  // on a core of its own while the NCCH's small regions are checked here.
  std::vector<const CiaContent*> present;
  for (const CiaContent& content : cia.contents) {
    if (content.present) present.push_back(&content);
  }
  struct ContentNcch {
    ContentNcch(Reader& in, const CiaContent& content) : reader(in, content.offset, content.size), levels(reader) {}
    WindowReader reader;
    NcchLevels levels;
  };
  std::vector<std::unique_ptr<ContentNcch>> ncchs(present.size());  // for content 0, when plain
  std::vector<std::unique_ptr<Sha256>> hashes;
  std::vector<std::promise<Result<Sha256Digest>>> digests(present.size());
  std::vector<PassRange> ranges;
  for (std::size_t i = 0; i < present.size(); ++i) {
    if (present[i]->index == 0 && (present[i]->type & kTmdContentEncrypted) == 0) {
      ncchs[i] = std::make_unique<ContentNcch>(in, *present[i]);
      ncchs[i]->levels.AddTo(ranges, true);
    }
    hashes.push_back(std::make_unique<Sha256>());
    Sha256& hash = *hashes.back();
    std::promise<Result<Sha256Digest>>& digest = digests[i];
    ranges.push_back({present[i]->offset, present[i]->size,
                      [&hash](const std::uint8_t* data, std::size_t n) { hash.Update(data, n); },
                      [&hash, &digest](const Status& read) {
                        digest.set_value(read ? Result<Sha256Digest>(hash.Final()) : Result<Sha256Digest>(read));
                      }});
  }
  auto pass = std::async(std::launch::async,
                         [&path, &ranges, wholeFile] { return RunFilePass(path, std::move(ranges), wholeFile); });

  for (std::size_t i = 0; i < present.size(); ++i) {
    const CiaContent& content = *present[i];
    const Scope scope{VerifyScope::Content, content.index};
    const bool encrypted = (content.type & kTmdContentEncrypted) != 0;
    check.Add(scope, VerifyRegion::ContentUnencrypted, !encrypted, VerifyFault::Encrypted, "the TMD marks it encrypted");
    const std::size_t at = check.Count();
    if (ncchs[i]) VerifyNcch(check, scope, ncchs[i]->reader, ncchs[i]->levels);
    const auto digest = digests[i].get_future().get();
    if (!digest) {
      check.Add(scope, VerifyRegion::ContentHash, digest.status());
    } else {
      const bool same = std::equal(digest->begin(), digest->end(), content.hash.begin());
      check.Add(scope, VerifyRegion::ContentHash, same, VerifyFault::HashMismatch, "hash mismatch");
    }
    check.MoveLastTo(at);
  }
  return pass.get();
}

// Checks the NCCH in, the file's partition 0 or all of it, while one pass over the file at path
// feeds its RomFS level 3 and the whole file's hash; returns how the pass went.
Status VerifyNcchFile(Checker& check, const Scope& scope, Reader& in, const std::filesystem::path& path,
                      Sha256* wholeFile) {
  NcchLevels levels(in);
  std::vector<PassRange> ranges;
  levels.AddTo(ranges, false);
  auto pass = std::async(std::launch::async,
                         [&path, &ranges, wholeFile] { return RunFilePass(path, std::move(ranges), wholeFile); });
  VerifyNcch(check, scope, in, levels);
  return pass.get();
}

Status VerifyNcsd(Checker& check, Reader& in, const std::filesystem::path& path, Sha256* wholeFile) {
  const Scope image;
  auto parsed = ReadNcsd(in);
  check.Add(image, VerifyRegion::NcsdHeader, parsed.status());
  if (!parsed) return parsed.status();
  const ByteRange p0 = parsed->Partition(0);
  check.Add(image, VerifyRegion::PartitionPresent, p0.present(), VerifyFault::Missing);
  if (!p0.present()) return Status::Error("no partition 0");
  WindowReader ncch(in, p0.offset, p0.size);
  auto copy = in.ReadVector(kNcsdNcchCopyOffset, 0x100);
  auto header = ncch.ReadVector(0x100, 0x100);
  const bool copyOk = copy && header && *copy == *header;
  check.Add(image, VerifyRegion::NcchHeaderCopy, copyOk, VerifyFault::CopyDiffers, "differs from partition 0's header");
  return VerifyNcchFile(check, Scope{VerifyScope::Partition, 0}, ncch, path, wholeFile);
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

Result<VerifyReport> VerifyImageReport(const std::filesystem::path& path, bool hashWholeFile) {
  FileReader file;
  Status s = file.Open(path);
  if (!s) return s;
  VerifyReport report;
  report.kind = DetectImageKind(file);
  Checker check(report);
  Sha256 whole;
  Sha256* wholeFile = hashWholeFile ? &whole : nullptr;
  Status wholeStatus = Status::Ok();
  switch (report.kind) {
    case ImageKind::Cia:
      wholeStatus = VerifyCia(check, file, path, wholeFile);
      break;
    case ImageKind::Ncsd:
      wholeStatus = VerifyNcsd(check, file, path, wholeFile);
      break;
    case ImageKind::Ncch:
      wholeStatus = VerifyNcchFile(check, Scope{}, file, path, wholeFile);
      break;
    case ImageKind::Unknown:
      return Status::Error(file.name() + " is neither a CIA, a card image nor an NCCH");
  }
  if (wholeFile && wholeStatus) report.fileSha256 = whole.Final();
  return report;
}

Status VerifyImage(const std::filesystem::path& path) {
  auto report = VerifyImageReport(path);
  if (!report) return report.status();
  if (report->ok()) return Status::Ok();
  return Status::Error(PathText(path) + ": " + report->FirstProblem());
}

}  // namespace ctr
