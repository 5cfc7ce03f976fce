#include "core/install/OutputCheck.h"

#include <cstdio>
#include <iterator>
#include <set>
#include <system_error>

#include "core/common/Common.h"
#include "core/rom/RomIdentify.h"
#include "ctr/Image.h"
#include "ctr/Ncch.h"
#include "ctr/Reader.h"
#include "ctr/RomFs.h"
#include "ctr/Verify.h"

namespace qpt {

namespace fs = std::filesystem;

namespace {

std::optional<fs::space_info> SpaceOf(const fs::path& folder) {
  std::error_code ec;
  const fs::space_info info = fs::space(folder, ec);
  // Some file systems (FUSE drivers among them) report no size at all: nothing is known then.
  if (ec || info.capacity == static_cast<std::uintmax_t>(-1) || info.capacity == 0) return std::nullopt;
  return info;
}

std::uint64_t Saturate(std::uint64_t a, std::uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }

// What the checks need of one image: its program ID and the top-level names of its RomFS.
struct TImageFacts {
  std::uint64_t programId = 0;
  std::set<std::string> topLevel;
};

ctr::Result<TImageFacts> ReadFacts(const fs::path& path) {
  ctr::FileReader file;
  ctr::Status status = file.Open(path);
  if (!status) return status;
  auto range = ctr::LocateMainNcch(file);
  if (!range) return range.status();
  ctr::WindowReader window(file, range->offset, range->size);
  auto ncch = ctr::ReadNcch(window);
  if (!ncch) return ncch.status();
  TImageFacts facts;
  facts.programId = ncch->header.programId;
  if (ncch->romfs.present() && ncch->isPlain()) {
    auto backing = window.Backing();
    if (!backing || !backing->file) return ctr::Status::Error("cannot read the RomFS of " + ctr::PathText(path));
    ctr::RomFsReader romfs;
    status = romfs.Open(*backing->file, backing->offset + ncch->romfs.offset, ncch->romfs.size);
    if (!status) return status;
    // Files only: an empty folder is not rebuilt, and the game cannot miss what holds nothing.
    for (const auto& entry : romfs.Files()) facts.topLevel.insert(entry.path.substr(0, entry.path.find('/')));
  }
  return facts;
}

std::string ProgramIdText(std::uint64_t id) {
  char text[20];
  std::snprintf(text, sizeof(text), "%016llX", static_cast<unsigned long long>(id));
  return text;
}

}  // namespace

std::vector<TSpaceShortfall> FindSpaceShortfalls(std::uint64_t inputSize, const fs::path& workFolder,
                                                 const fs::path& outputFolder) {
  const std::uint64_t workNeed = inputSize > UINT64_MAX / 3 ? UINT64_MAX : inputSize * 3;
  const std::uint64_t outputNeed = inputSize;
  const auto work = SpaceOf(workFolder);
  const auto output = SpaceOf(outputFolder);
  std::vector<TSpaceShortfall> shortfalls;
  // std::filesystem cannot tell which device a folder is on; two folders whose file systems
  // report the same size and the same free bytes are taken to share one.
  const bool shared = work && output && work->capacity == output->capacity && work->available == output->available;
  if (shared) {
    const std::uint64_t need = Saturate(workNeed, outputNeed);
    if (work->available < need) shortfalls.push_back({workFolder, need, work->available});
    return shortfalls;
  }
  if (work && work->available < workNeed) shortfalls.push_back({workFolder, workNeed, work->available});
  if (output && output->available < outputNeed) shortfalls.push_back({outputFolder, outputNeed, output->available});
  return shortfalls;
}

std::string FormatSize(std::uint64_t bytes, const TLangList& lang) {
  char text[32];
  const double b = static_cast<double>(bytes);
  const char* unit = "SizeKB";
  if (bytes >= (std::uint64_t{1} << 30)) {
    std::snprintf(text, sizeof(text), "%.2f", b / (1u << 30));
    unit = "SizeGB";
  } else if (bytes >= (std::uint64_t{1} << 20)) {
    std::snprintf(text, sizeof(text), "%.1f", b / (1u << 20));
    unit = "SizeMB";
  } else {
    std::snprintf(text, sizeof(text), "%llu", static_cast<unsigned long long>((bytes + 1023) / 1024));
  }
  return std::string(text) + " " + lang.GetLangText(unit);
}

std::string VerifyItemText(const ctr::VerifyItem& item, const TLangList& lang) {
  using ctr::VerifyFault;
  using ctr::VerifyRegion;
  static const char* const kRegionKeys[] = {
      "VerifyCiaHeader",       "VerifyCertificateChain",  "VerifyTicketTitle",     "VerifyTmdInfoRecords",
      "VerifyTmdContentRecords", "VerifyContentBitmap",   "VerifyContentUnencrypted", "VerifyContentHash",
      "VerifyNcsdHeader",      "VerifyPartitionPresent",  "VerifyNcchHeaderCopy",  "VerifyNcchHeader",
      "VerifyNcchDecrypted",   "VerifyNcchContentSize",   "VerifyNcchLayout",      "VerifyExheaderHash",
      "VerifyLogoHash",        "VerifyExeFsHeaderHash",   "VerifyExeFsFiles",      "VerifyRomFsHeaderHash",
      "VerifyRomFsLevels"};
  static_assert(std::size(kRegionKeys) == static_cast<std::size_t>(VerifyRegion::RomFsLevels) + 1);
  std::string text;
  if (item.scope == ctr::VerifyScope::Content) text = FillMarks(lang.GetLangText("VerifyInContent"), {std::to_string(item.scopeIndex)});
  if (item.scope == ctr::VerifyScope::Partition) text = FillMarks(lang.GetLangText("VerifyInPartition"), {std::to_string(item.scopeIndex)});
  text += lang.GetLangText(kRegionKeys[static_cast<std::size_t>(item.what)]);
  if (item.good) return text;

  std::string why;
  switch (item.fault) {
    case VerifyFault::None:  // a bad item always has a fault; said as the least it could be
    case VerifyFault::Unreadable: why = lang.GetLangText("VerifyFaultUnreadable"); break;
    case VerifyFault::HashMismatch:
      if (item.what == VerifyRegion::RomFsLevels && item.level != 0) {
        why = FillMarks(lang.GetLangText("VerifyFaultRomFsBlock"), {std::to_string(item.level), std::to_string(item.block)});
      } else if (item.what == VerifyRegion::ExeFsFiles && !item.name.empty()) {
        why = FillMarks(lang.GetLangText("VerifyFaultExeFsFile"), {item.name});
      } else {
        why = lang.GetLangText("VerifyFaultHash");
      }
      break;
    case VerifyFault::Misaligned: why = FillMarks(lang.GetLangText("VerifyFaultMisaligned"), {item.name}); break;
    case VerifyFault::Encrypted:
      why = lang.GetLangText(item.what == VerifyRegion::ContentUnencrypted ? "VerifyFaultTmdEncrypted" : "VerifyFaultEncrypted");
      break;
    case VerifyFault::PastEnd: why = lang.GetLangText("VerifyFaultPastEnd"); break;
    case VerifyFault::BadLayout: why = lang.GetLangText("VerifyFaultLayout"); break;
    case VerifyFault::NotRetail: why = lang.GetLangText("VerifyFaultNotRetail"); break;
    case VerifyFault::TitlesDiffer: why = lang.GetLangText("VerifyFaultTitles"); break;
    case VerifyFault::BitmapMismatch: why = lang.GetLangText("VerifyFaultBitmap"); break;
    case VerifyFault::CopyDiffers: why = lang.GetLangText("VerifyFaultCopy"); break;
    case VerifyFault::Missing: why = lang.GetLangText("VerifyFaultMissing"); break;
  }
  return text + ": " + why;
}

std::string VerifyProblemText(const ctr::VerifyReport& report, const TLangList& lang) {
  for (const ctr::VerifyItem& item : report.items) {
    if (!item.good) return VerifyItemText(item, lang);
  }
  return report.items.empty() ? lang.GetLangText("VerifyFaultUnreadable") : std::string();
}

std::optional<TImageProblem> CheckNewImage(const fs::path& input, const fs::path& output, const TLangList& lang,
                                           std::string* outputSha256) {
  // The reader's own reasons are English words for developers; the player reads the
  // language's words for what went wrong.
  const auto verified = ctr::VerifyImageReport(output, outputSha256 != nullptr);
  if (!verified) return TImageProblem{"ErrorCheckImageHashes", {lang.GetLangText("VerifyFaultUnreadable")}};
  if (outputSha256 && verified->fileSha256) {
    *outputSha256 = HexText(verified->fileSha256->data(), verified->fileSha256->size(), false);
  }
  if (!verified->ok()) return TImageProblem{"ErrorCheckImageHashes", {VerifyProblemText(verified.value(), lang)}};
  auto made = ReadFacts(output);
  if (!made) return TImageProblem{"ErrorCheckImageHashes", {lang.GetLangText("VerifyFaultUnreadable")}};
  auto original = ReadFacts(input);
  if (!original) return TImageProblem{"ErrorCheckImageInput", {lang.GetLangText("VerifyFaultUnreadable")}};
  if (made->programId != original->programId) {
    return TImageProblem{"ErrorCheckImageProgramID", {ProgramIdText(made->programId), ProgramIdText(original->programId)}};
  }
  for (const std::string& name : original->topLevel) {
    if (!made->topLevel.count(name)) return TImageProblem{"ErrorCheckImageRomFS", {name}};
  }
  return std::nullopt;
}

TImageCheckReport CheckImageForPlayer(const fs::path& image, const TLangList& lang) {
  TImageCheckReport report;
  const TRomIdentity id = IdentifyRom(image);
  if (id.errorKey == "ErrorWrongROM") {
    // Another game: an image made for it with a mod folder is checked all the same, and its
    // title ID says which game it is better than a refusal would.
    report.lines.push_back(lang.GetLangText("LogTitleID") + TitleIdText(id.programId));
  } else if (!id.errorKey.empty()) {
    report.lines.push_back(lang.GetLangText(id.errorKey));
  } else if (id.encrypted) {
    report.lines.push_back(lang.GetLangText("LogEncrypted"));
  } else {
    const std::vector<std::string> identity = IdentityLogLines(id, lang);
    report.lines.insert(report.lines.end(), identity.begin(), identity.end());
  }
  const auto verified = ctr::VerifyImageReport(image);
  if (!verified) {
    // The file could not be opened or is no image at all; the line above already says which.
    report.lines.push_back(lang.GetLangText("CheckImageUnreadable"));
    return report;
  }
  std::size_t bad = 0;
  for (const ctr::VerifyItem& item : verified->items) {
    if (!item.good) ++bad;
    report.lines.push_back(lang.GetLangText(item.good ? "CheckRegionGood" : "CheckRegionBad") + " " +
                           VerifyItemText(item, lang));
  }
  const std::size_t total = verified->items.size();
  report.ok = verified->ok();
  report.lines.push_back(FillMarks(lang.GetLangText(report.ok ? "CheckAllGood" : "CheckSomeBad"),
                                   {std::to_string(report.ok ? total : bad), std::to_string(total)}));
  return report;
}

}  // namespace qpt
