#include "core/install/PackDat.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <limits>
#include <system_error>

#include "core/common/Common.h"
#include "core/common/Platform.h"
#include "core/install/Install.h"


namespace qpt {

namespace fs = std::filesystem;

// The index is copied into and out of TPackIndexEntry byte for byte.
static_assert(std::endian::native == std::endian::little);

namespace {

constexpr std::int64_t kMaxField = std::numeric_limits<std::int32_t>::max();

std::string ProgressLine(std::int64_t i, std::int64_t last) {
  return std::to_string(i) + "/" + std::to_string(last);
}

// Written straight, without the temporary file and rename of ctr::OutputFile: thousands of
// entries go into a folder of the run's own.
ctr::Status WriteEntryFile(const fs::path& path, std::span<const std::uint8_t> data) {
  ctr::ClearSystemError();
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (out) out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  if (out) out.close();
  if (!out) return ctr::WriteFailure("write", path, ctr::LastSystemError());
  return ctr::Status::Ok();
}

}  // namespace

std::string GuessPackEntryExtension(std::span<const std::uint8_t> data) {
  // The entries start with a few bytes of their own; the format's magic follows at 5.
  constexpr std::size_t kAt = 5;
  struct Signature {
    std::array<std::uint8_t, 4> bytes;
    const char* extension;
  };
  static constexpr Signature kSignatures[] = {
      {{'B', 'C', 'H', 0x00}, ".bch"},
      {{'F', 'I', 'L', 'E'}, ".file"},
      {{'.', 'a', 'n', 's'}, ".ans"},
  };
  if (!ctr::InRange(kAt, 4, data.size())) return ".bin";
  for (const Signature& signature : kSignatures) {
    if (std::equal(signature.bytes.begin(), signature.bytes.end(), data.begin() + kAt)) {
      return signature.extension;
    }
  }
  return ".bin";
}

std::uint32_t PackHeaderValue(std::span<const std::uint8_t> data) {
  std::uint32_t value = 0;
  for (std::size_t i = 1; i <= 3 && i < data.size(); ++i) {
    value |= static_cast<std::uint32_t>(data[i]) << (8 * (i - 1));
  }
  return value;
}

std::size_t PackEntryCount(std::uint64_t indexSize) {
  return static_cast<std::size_t>(indexSize / kPackIndexEntrySize);
}

std::vector<TPackIndexEntry> ReadPackIndex(std::span<const std::uint8_t> index) {
  const std::size_t count = PackEntryCount(index.size());
  std::vector<TPackIndexEntry> table;
  table.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    const auto entry = ctr::ReadLE<TPackIndexEntry>(index, i * kPackIndexEntrySize);
    if (!entry) break;
    table.push_back(*entry);
  }
  return table;
}

bool WritePackIndexEntry(std::span<std::uint8_t> index, std::size_t i, const TPackIndexEntry& entry) {
  const std::uint64_t at = static_cast<std::uint64_t>(i) * kPackIndexEntrySize;
  if (!ctr::InRange(at, kPackIndexEntrySize, index.size())) return false;
  std::memcpy(index.data() + at, &entry, kPackIndexEntrySize);
  return true;
}

std::string PackEntryFileName(std::int64_t i, const std::string& extension) {
  char digits[32];
  std::snprintf(digits, sizeof(digits), "%.5lld", static_cast<long long>(i));
  return digits + extension;
}

ctr::Status CheckPackRecords(std::span<const TPackIndexEntry> table, std::uint64_t packDatSize) {
  struct Range {
    std::uint64_t start, end;
    std::size_t entry;
  };
  std::vector<Range> ranges;
  ranges.reserve(table.size());
  for (std::size_t i = 0; i < table.size(); ++i) {
    const TPackIndexEntry& record = table[i];
    if (record.Size < 0) return ctr::Status::Error("entry " + std::to_string(i) + " has a negative size");
    if (record.Size == 0) continue;
    const auto offset = static_cast<std::uint64_t>(record.Offset);
    const auto size = static_cast<std::uint64_t>(record.Size);
    if (record.Offset < 0 || !ctr::InRange(offset, size, packDatSize)) {
      return ctr::Status::Error("entry " + std::to_string(i) + " lies outside pack.dat");
    }
    ranges.push_back({offset, offset + size, i});
  }
  // Overlapping records would each be unpacked and packed again, the shared bytes once per
  // record: a few hundred records over one large entry make an image of gigabytes.
  std::sort(ranges.begin(), ranges.end(), [](const Range& a, const Range& b) { return a.start < b.start; });
  for (std::size_t k = 1; k < ranges.size(); ++k) {
    if (ranges[k].start < ranges[k - 1].end) {
      return ctr::Status::Error("entries " + std::to_string(std::min(ranges[k - 1].entry, ranges[k].entry)) + " and " +
                                std::to_string(std::max(ranges[k - 1].entry, ranges[k].entry)) +
                                " overlap in pack.dat");
    }
  }
  return ctr::Status::Ok();
}

ctr::Status UnpackPackEntries(ctr::InputFile& packDat, std::span<const TPackIndexEntry> table,
                              const fs::path& folder, const TPackProgress& progress) {
  ctr::Status checked = CheckPackRecords(table, packDat.size());
  if (!checked) return checked;
  const std::int64_t last = static_cast<std::int64_t>(table.size()) - 1;
  progress.addLine(ProgressLine(0, last));
  std::vector<std::uint8_t> entry;  // reused: memory stays at the largest entry
  for (std::int64_t i = 0; i <= last; ++i) {
    const TPackIndexEntry& record = table[static_cast<std::size_t>(i)];
    if (record.Size < 0) {
      return ctr::Status::Error("entry " + std::to_string(i) + " has a negative size");
    }
    // An empty entry reads nothing, so where it claims to start does not matter.
    if (record.Size > 0) {
      // Checked before the buffer grows, so that a damaged record cannot ask for gigabytes.
      if (record.Offset < 0 || !ctr::InRange(static_cast<std::uint64_t>(record.Offset),
                                             static_cast<std::uint64_t>(record.Size), packDat.size())) {
        return ctr::Status::Error("entry " + std::to_string(i) + " lies outside pack.dat");
      }
      entry.resize(static_cast<std::size_t>(record.Size));
      ctr::Status read = packDat.ReadAt(static_cast<std::uint64_t>(record.Offset), entry.data(), entry.size());
      if (!read) return read;
    } else {
      entry.clear();
    }
    const fs::path file = folder / PackEntryFileName(i, GuessPackEntryExtension(entry));
    if (ctr::Status written = WriteEntryFile(file, entry); !written) return written;
    if (i % kPackProgressStep == 0) progress.replaceLast(ProgressLine(i, last));
  }
  progress.replaceLast(ProgressLine(last, last));
  return ctr::Status::Ok();
}

ctr::Result<std::vector<fs::path>> ListPackEntryFiles(const fs::path& folder) {
  std::error_code ec;
  fs::directory_iterator it(folder, ec);
  if (ec) return ctr::Status::Error("cannot list " + PathToUtf8(folder));
  std::vector<std::pair<std::string, fs::path>> named;
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec) return ctr::Status::Error("cannot list " + PathToUtf8(folder));
    std::error_code typeError;
    // A hidden file (a patch packed on a Mac carries ".DS_Store") would sort first and shift
    // every entry.
    if (!it->is_regular_file(typeError) || platform::IsHiddenFile(it->path())) continue;
    named.emplace_back(PathToUtf8(it->path().filename()), it->path());
  }
  if (ec) return ctr::Status::Error("cannot list " + PathToUtf8(folder));
  // Directory listings come in no promised order; the entry order is the name order.
  std::sort(named.begin(), named.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<fs::path> files;
  files.reserve(named.size());
  for (auto& [name, path] : named) files.push_back(std::move(path));
  return files;
}

ctr::Status RepackPackEntries(const fs::path& folder, const fs::path& packDat, const fs::path& packInc,
                              std::span<const std::uint8_t> index, const TPackProgress& progress) {
  auto listed = ListPackEntryFiles(folder);
  if (!listed) return listed.status();
  const std::vector<fs::path>& files = listed.value();
  const std::vector<TPackIndexEntry> table = ReadPackIndex(index);
  if (files.size() < table.size()) {
    return ctr::Status::Error("the work folder holds " + std::to_string(files.size()) + " entry files for " +
                              std::to_string(table.size()) + " index records");
  }

  const std::int64_t last = static_cast<std::int64_t>(table.size()) - 1;
  progress.addLine(ProgressLine(0, last));
  std::vector<std::uint8_t> newIndex(index.begin(), index.end());
  ctr::OutputFile out;
  ctr::Status status = out.Open(packDat);
  if (!status) return status;
  std::vector<std::uint8_t> entry;  // reused: memory stays at the largest entry
  for (std::int64_t i = 0; i <= last; ++i) {
    const fs::path& file = files[static_cast<std::size_t>(i)];
    ctr::InputFile in;
    status = in.Open(file);
    if (!status) return status;
    const std::uint64_t offset = out.position();
    if (in.size() > static_cast<std::uint64_t>(kMaxField) || offset > static_cast<std::uint64_t>(kMaxField)) {
      return ctr::Status::Error("entry " + std::to_string(i) + " (" + PathToUtf8(file.filename()) +
                                ") does not fit the index's 32-bit fields");
    }
    entry.resize(static_cast<std::size_t>(in.size()));
    status = in.ReadAt(0, entry.data(), entry.size());
    if (!status) return status;
    status = out.Write(entry.data(), entry.size());
    if (!status) return status;

    TPackIndexEntry record = table[static_cast<std::size_t>(i)];
    record.Offset = static_cast<std::int32_t>(offset);
    record.HeaderValue = PackHeaderValue(entry);
    record.Size = static_cast<std::int32_t>(entry.size());
    if (!WritePackIndexEntry(newIndex, static_cast<std::size_t>(i), record)) {
      return ctr::Status::Error("index record " + std::to_string(i) + " lies outside the index");
    }
    if (i % kPackProgressStep == 0) progress.replaceLast(ProgressLine(i, last));
  }

  // The index is written out before the data takes its place, so that what can still fail
  // after the new pack.dat is in place is only the rename of the small pack.inc.
  ctr::OutputFile indexOut;
  status = indexOut.Open(packInc);
  if (!status) return status;
  status = indexOut.Write(newIndex.data(), newIndex.size());
  if (!status) return status;
  status = out.Commit();
  if (!status) return status;
  status = indexOut.Commit();
  if (!status) return status;
  progress.replaceLast(ProgressLine(last, last));
  return ctr::Status::Ok();
}

bool TInstall::UpdatePackDat() {
  const fs::path packDat = WorkPath("tools\\temp\\romfs\\pack.dat");
  const fs::path packInc = WorkPath("tools\\temp\\romfs\\pack.inc");
  const fs::path folder = WorkPath("tools\\temp\\pack_dat");
  const TPackProgress progress{[this](const std::string& line) { Log(line); },
                               [this](const std::string& line) { LogReplaceLast(line); }};

  // Whatever goes wrong here is logged and the run goes on to the rebuild with the archive as
  // it was; failureKey names the line for the phase in progress, should anything throw.
  const char* failureKey = "ErrorLoadPackDat";
  try {
    ctr::InputFile data;
    if (!FileExists(packDat) || !data.Open(packDat)) {
      LogWarning("ErrorLoadPackDat");
      return true;
    }
    LogKey("UnpackingPackDat");
    // The work folder is ours; a leftover from an earlier attempt would add stray entries.
    DeleteFolder(folder);
    CreateFolder(folder);

    failureKey = "ErrorLoadPackInc";
    auto index = ctr::ReadWholeFile(packInc);
    if (!index) {
      LogWarning("ErrorLoadPackInc");
      return true;
    }
    failureKey = "ErrorCalculationPackDatFileCount";
    const std::vector<TPackIndexEntry> table = ReadPackIndex(index.value());

    failureKey = "ErrorExtractingPackDat";
    if (const ctr::Status unpacked = UnpackPackEntries(data, table, folder, progress); !unpacked) {
      LogWarning("ErrorExtractingPackDat");
      KeepWriteFailure(unpacked);
      return true;
    }
    // Closed before repacking, which replaces the file (Windows cannot replace an open one).
    data = ctr::InputFile();
    LogKey("Done");

    failureKey = "WarningCopyingPackDatFolder";
    LogKey("UpdatingPackDat");
    if (!CopyPatchFolder(FPatchDir / "pack_dat", WorkPath("tools\\temp"))) {
      LogWarning("WarningCopyingPackDatFolder");
      DeleteFolder(folder);
      return true;
    }
    LogKey("Done");

    failureKey = "ErrorRepackingPackDat";
    LogKey("RepackingPackDat");
    if (const ctr::Status repacked = RepackPackEntries(folder, packDat, packInc, index.value(), progress); !repacked) {
      LogWarning("ErrorRepackingPackDat");
      KeepWriteFailure(repacked);
      return true;
    }
    LogKey("Done");
  } catch (const std::exception&) {
    LogWarning(failureKey);
    if (std::strcmp(failureKey, "WarningCopyingPackDatFolder") == 0) DeleteFolder(folder);
  }
  return true;
}

}  // namespace qpt
