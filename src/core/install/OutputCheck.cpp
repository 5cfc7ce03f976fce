#include "core/install/OutputCheck.h"

#include <cstdio>
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
  if (ec || info.capacity == static_cast<std::uintmax_t>(-1)) return std::nullopt;
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

std::string FormatSize(std::uint64_t bytes) {
  char text[32];
  const double b = static_cast<double>(bytes);
  if (bytes >= (std::uint64_t{1} << 30)) {
    std::snprintf(text, sizeof(text), "%.2f GB", b / (1u << 30));
  } else if (bytes >= (std::uint64_t{1} << 20)) {
    std::snprintf(text, sizeof(text), "%.1f MB", b / (1u << 20));
  } else {
    std::snprintf(text, sizeof(text), "%llu KB", static_cast<unsigned long long>((bytes + 1023) / 1024));
  }
  return text;
}

std::optional<TImageProblem> CheckNewImage(const fs::path& input, const fs::path& output) {
  const ctr::Status verified = ctr::VerifyImage(output);
  if (!verified) return TImageProblem{"ErrorCheckImageHashes", {verified.message()}};
  auto made = ReadFacts(output);
  if (!made) return TImageProblem{"ErrorCheckImageHashes", {made.message()}};
  auto original = ReadFacts(input);
  if (!original) return TImageProblem{"ErrorCheckImageInput", {original.message()}};
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
  if (!id.errorKey.empty()) {
    report.lines.push_back(lang.GetLangText(id.errorKey));
  } else if (id.encrypted) {
    report.lines.push_back(lang.GetLangText("LogEncrypted"));
  } else {
    report.lines.insert(report.lines.end(), id.logLines.begin(), id.logLines.end());
  }
  const auto verified = ctr::VerifyImageReport(image);
  if (!verified) {
    report.lines.push_back(lang.GetLangText("CheckImageUnreadable") + " " + verified.message());
    return report;
  }
  std::size_t bad = 0;
  for (const ctr::VerifyItem& item : verified->items) {
    if (!item.good) ++bad;
    report.lines.push_back(lang.GetLangText(item.good ? "CheckRegionGood" : "CheckRegionBad") + " " + item.region +
                           (item.detail.empty() ? "" : ": " + item.detail));
  }
  const std::size_t total = verified->items.size();
  report.ok = verified->ok();
  std::string summary = lang.GetLangText(report.ok ? "CheckAllGood" : "CheckSomeBad");
  const auto put = [&summary](const char* mark, std::size_t value) {
    if (const std::size_t at = summary.find(mark); at != std::string::npos) summary.replace(at, 2, std::to_string(value));
  };
  put("%2", total);
  put("%1", report.ok ? total : bad);
  report.lines.push_back(summary);
  return report;
}

}  // namespace qpt
