#include "ctr/ExeFs.h"

#include <algorithm>
#include <cstring>
#include <system_error>

#include "ctr/Blz.h"
#include "ctr/Names.h"

namespace ctr {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kCopyBlock = 1 << 20;

std::string NameOf(const ExeFsFileRecord& record) {
  const char* end = static_cast<const char*>(std::memchr(record.name, 0, sizeof(record.name)));
  return std::string(record.name, end ? end : record.name + sizeof(record.name));
}

// Entry names become file names when unpacked; anything that could leave the folder or that
// no file system accepts is refused.
bool IsSafeName(const std::string& name) {
  for (unsigned char c : name) {
    if (c < 0x20 || c >= 0x7F) return false;
    if (std::strchr("/\\:*?\"<>|", c)) return false;
  }
  return true;
}

// Two entries that unpack to one file would overwrite each other, and the rebuild would then
// store that one file for both (another entry's bytes in place of the program, for a "code"
// beside ".code"). Names are compared as a file system that ignores letter case would.
Status CheckOneFilePerEntry(const std::vector<std::pair<int, std::string>>& slotNames) {
  for (std::size_t a = 0; a < slotNames.size(); ++a) {
    const std::string fileA = ExeFsFolderName(slotNames[a].second, slotNames[a].first);
    const std::string foldedA = FoldNameCase(fileA);
    for (std::size_t b = a + 1; b < slotNames.size(); ++b) {
      const std::string fileB = ExeFsFolderName(slotNames[b].second, slotNames[b].first);
      if (foldedA == FoldNameCase(fileB)) {
        return Status::Error("ExeFS entries " + std::to_string(slotNames[a].first) + " and " +
                             std::to_string(slotNames[b].first) + " would both be the file " + fileA);
      }
    }
  }
  return Status::Ok();
}

std::string Utf8(const fs::path& path) {
  const std::u8string s = path.u8string();
  return std::string(s.begin(), s.end());
}

// Reads size bytes at offset into out in blocks, feeding each block to the hasher.
Status CopyHashed(InputFile& in, std::uint64_t offset, std::uint64_t size, OutputFile* out, Sha256& hasher) {
  std::vector<std::uint8_t> block(static_cast<std::size_t>(std::min<std::uint64_t>(size, kCopyBlock)));
  while (size > 0) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(size, block.size()));
    Status s = in.ReadAt(offset, block.data(), n);
    if (!s) return s;
    hasher.Update(block.data(), n);
    if (out) {
      s = out->Write(block.data(), n);
      if (!s) return s;
    }
    offset += n;
    size -= n;
  }
  return Status::Ok();
}

Status WriteRange(InputFile& in, std::uint64_t offset, std::uint64_t size, const fs::path& target) {
  OutputFile out;
  Status s = out.Open(target);
  if (!s) return s;
  s = out.AppendFrom(in, offset, size);
  if (!s) return s;
  return out.Commit();
}

}  // namespace

const ExeFsHeader::Entry* ExeFsHeader::Find(std::string_view name) const {
  for (const Entry& entry : entries) {
    if (entry.name == name) return &entry;
  }
  return nullptr;
}

bool LooksLikeExeFsHeader(std::span<const std::uint8_t> header) {
  if (header.size() < kExeFsHeaderSize) return false;
  if (*ReadLE<std::uint32_t>(header, 0x08) != 0) return false;
  return std::all_of(header.begin() + 0x80, header.begin() + 0x100, [](std::uint8_t b) { return b == 0; });
}

Result<ExeFsHeader> ParseExeFsHeader(std::span<const std::uint8_t> header, std::uint64_t exefsSize) {
  if (header.size() < kExeFsHeaderSize || exefsSize < kExeFsHeaderSize) {
    return Status::Error("ExeFS is shorter than its 0x200-byte header");
  }
  if (!LooksLikeExeFsHeader(header)) {
    return Status::Error("not an ExeFS header (first file not at offset 0 or reserved bytes set)");
  }
  const ExeFsHeaderRecord record = *ReadLE<ExeFsHeaderRecord>(header, 0);
  ExeFsHeader parsed;
  std::copy_n(header.begin(), kExeFsHeaderSize, parsed.raw.begin());
  for (int slot = 0; slot < kExeFsMaxFiles; ++slot) {
    const ExeFsFileRecord& file = record.files[slot];
    std::string name = NameOf(file);
    if (name.empty()) continue;
    if (!IsSafeName(name)) return Status::Error("ExeFS entry " + std::to_string(slot) + " has an unusable name");
    const std::uint64_t offset = kExeFsHeaderSize + std::uint64_t{file.offset};
    if (!InRange(offset, file.size, exefsSize)) {
      return Status::Error("ExeFS file '" + name + "' lies past the end of the ExeFS");
    }
    ExeFsHeader::Entry entry;
    entry.slot = slot;
    entry.name = std::move(name);
    entry.offset = offset;
    entry.size = file.size;
    std::copy_n(record.hashes[kExeFsMaxFiles - 1 - slot], 32, entry.hash.begin());
    parsed.entries.push_back(std::move(entry));
  }
  std::vector<std::pair<int, std::string>> slotNames;
  for (const ExeFsHeader::Entry& entry : parsed.entries) slotNames.emplace_back(entry.slot, entry.name);
  Status s = CheckOneFilePerEntry(slotNames);
  if (!s) return s;
  return parsed;
}

Result<ExeFsHeader> ReadExeFsHeader(InputFile& file, std::uint64_t offset, std::uint64_t size) {
  if (!InRange(offset, size, file.size())) return Status::Error("ExeFS lies past the end of the file");
  if (size < kExeFsHeaderSize) return Status::Error("ExeFS is shorter than its 0x200-byte header");
  std::array<std::uint8_t, kExeFsHeaderSize> header{};
  Status s = file.ReadAt(offset, header.data(), header.size());
  if (!s) return s;
  return ParseExeFsHeader(header, size);
}

Result<std::vector<std::uint8_t>> ReadExeFsFile(InputFile& file, std::uint64_t offset, std::uint64_t size,
                                                std::string_view name) {
  auto header = ReadExeFsHeader(file, offset, size);
  if (!header) return header.status();
  const ExeFsHeader::Entry* entry = header->Find(name);
  if (!entry) return Status::Error("ExeFS has no file '" + std::string(name) + "'");
  return file.ReadVector(offset + entry->offset, entry->size);
}

Status VerifyExeFs(InputFile& file, std::uint64_t offset, std::uint64_t size, ExeFsFileFault* fault) {
  auto header = ReadExeFsHeader(file, offset, size);
  if (!header) return header.status();
  for (const ExeFsHeader::Entry& entry : header->entries) {
    // The console reads ExeFS files in whole 0x200-byte units.
    if ((entry.offset % kExeFsAlignment) != 0) {
      if (fault) *fault = {entry.name, true};
      return Status::Error("ExeFS file '" + entry.name + "' is not aligned to 0x200");
    }
    Sha256 hasher;
    Status s = CopyHashed(file, offset + entry.offset, entry.size, nullptr, hasher);
    if (!s) return s;
    if (hasher.Final() != entry.hash) {
      if (fault) *fault = {entry.name, false};
      return Status::Error("ExeFS file '" + entry.name + "' hash mismatch");
    }
  }
  return Status::Ok();
}

bool IsExeFsCodeEntry(std::string_view entryName, int slot) {
  return slot == 0 && entryName != "banner" && entryName != "icon" && entryName != "logo";
}

std::string ExeFsFolderName(std::string_view entryName, int slot) {
  if (IsExeFsCodeEntry(entryName, slot)) return "code.bin";
  if (entryName == "banner") return "banner.bnr";
  if (entryName == "icon") return "icon.icn";
  if (entryName == "logo") return "logo.darc.lz";
  return std::string(entryName) + ".bin";
}

Status ExtractExeFs(const fs::path& exefsImage, const fs::path& outFolder, const fs::path& headerOut,
                    bool decompressCode) {
  InputFile in;
  Status s = in.Open(exefsImage);
  if (!s) return s;
  auto header = ReadExeFsHeader(in, 0, in.size());
  if (!header) return Status::Error(Utf8(exefsImage) + ": " + header.message());

  std::error_code ec;
  fs::create_directories(outFolder, ec);
  if (ec) return Status::Error("cannot create folder " + Utf8(outFolder));
  if (headerOut.has_parent_path()) fs::create_directories(headerOut.parent_path(), ec);
  s = WriteWholeFile(headerOut, header->raw);
  if (!s) return s;

  Status codeFailure;
  for (const ExeFsHeader::Entry& entry : header->entries) {
    const fs::path target = outFolder / ExeFsFolderName(entry.name, entry.slot);
    if (decompressCode && IsExeFsCodeEntry(entry.name, entry.slot)) {
      // A stored .code is never larger than what it decompresses to.
      if (entry.size <= kBlzMaxDecompressedSize) {
        // Reserved, not touched: memory grows only as far as this program image needs.
        std::vector<std::uint8_t> code;
        code.reserve(static_cast<std::size_t>(kBlzMaxDecompressedSize));
        code.resize(entry.size);
        s = in.ReadAt(entry.offset, code.data(), code.size());
        if (!s) return s;
        const Status decoded = BlzDecompressInPlace(code);
        if (decoded) {
          s = WriteWholeFile(target, code);
          if (!s) return s;
          continue;
        }
        codeFailure = decoded;
      } else {
        codeFailure = Status::Error(".code is too large to be a compressed program image");
      }
    }
    s = WriteRange(in, entry.offset, entry.size, target);
    if (!s) return s;
  }
  if (!codeFailure) return Status::Error(codeFailure.message() + " (written as stored)");
  return Status::Ok();
}

Status BuildExeFs(const fs::path& folder, const fs::path& headerIn, const fs::path& exefsImage,
                  bool compressCode) {
  InputFile headerFile;
  Status s = headerFile.Open(headerIn);
  if (!s) return s;
  if (headerFile.size() < kExeFsHeaderSize) return Status::Error(Utf8(headerIn) + " is shorter than 0x200 bytes");
  std::array<std::uint8_t, kExeFsHeaderSize> raw{};
  s = headerFile.ReadAt(0, raw.data(), raw.size());
  if (!s) return s;
  // Names, reserved bytes and unused slots come from the old header; offsets, sizes and
  // hashes of the used slots are rewritten.
  ExeFsHeaderRecord header = *ReadLE<ExeFsHeaderRecord>(raw, 0);
  std::vector<std::pair<int, std::string>> slotNames;
  for (int slot = 0; slot < kExeFsMaxFiles; ++slot) {
    std::string name = NameOf(header.files[slot]);
    if (!name.empty()) slotNames.emplace_back(slot, std::move(name));
  }
  s = CheckOneFilePerEntry(slotNames);
  if (!s) return Status::Error(Utf8(headerIn) + ": " + s.message());

  OutputFile out;
  s = out.Open(exefsImage);
  if (!s) return s;
  s = out.Fill(0, kExeFsHeaderSize);
  if (!s) return s;

  std::string missing;
  std::string warning;
  for (int slot = 0; slot < kExeFsMaxFiles;) {
    ExeFsFileRecord& record = header.files[slot];
    const std::string name = NameOf(record);
    if (name.empty()) {
      ++slot;
      continue;
    }
    if (!IsSafeName(name)) return Status::Error("ExeFS header entry " + std::to_string(slot) + " has an unusable name");
    const std::string fileName = ExeFsFolderName(name, slot);
    InputFile file;
    if (!file.Open(folder / fileName)) {
      // Like 3dstool: the entry goes, later entries and their hashes move up one slot, and the
      // build goes on but reports the loss.
      for (int j = slot; j + 1 < kExeFsMaxFiles; ++j) {
        header.files[j] = header.files[j + 1];
        std::memcpy(header.hashes[kExeFsMaxFiles - 1 - j], header.hashes[kExeFsMaxFiles - 2 - j], 32);
      }
      std::memset(&header.files[kExeFsMaxFiles - 1], 0, sizeof(ExeFsFileRecord));
      std::memset(header.hashes[0], 0, 32);
      missing += (missing.empty() ? "" : ", ") + fileName;
      continue;
    }

    const std::uint64_t relative = out.position() - kExeFsHeaderSize;
    if (relative > 0xFFFFFFFFu || file.size() > 0xFFFFFFFFu) {
      return Status::Error("ExeFS would exceed 4 GiB at " + fileName);
    }
    Sha256 hasher;
    std::uint64_t storedSize = file.size();
    if (compressCode && IsExeFsCodeEntry(name, slot)) {
      if (file.size() > kBlzMaxDecompressedSize) return Status::Error(fileName + " is too large for a program image");
      auto plain = file.ReadVector(0, file.size());
      if (!plain) return plain.status();
      std::vector<std::uint8_t> stored = BlzCompress(*plain);
      if (stored.empty()) {
        // The header's exheader flag will still say "compressed"; the caller must know.
        warning = fileName + " does not shrink when compressed; stored uncompressed";
        stored = std::move(*plain);
      }
      storedSize = stored.size();
      hasher.Update(stored.data(), stored.size());
      s = out.Write(stored.data(), stored.size());
    } else {
      s = CopyHashed(file, 0, file.size(), &out, hasher);
    }
    if (!s) return s;
    const Sha256Digest digest = hasher.Final();
    record.offset = static_cast<std::uint32_t>(relative);
    record.size = static_cast<std::uint32_t>(storedSize);
    std::memcpy(header.hashes[kExeFsMaxFiles - 1 - slot], digest.data(), digest.size());
    s = out.Fill(0, AlignUp(storedSize, kExeFsAlignment) - storedSize);
    if (!s) return s;
    ++slot;
  }

  s = out.WriteAt(0, &header, sizeof(header));
  if (!s) return s;
  s = out.Commit();
  if (!s) return s;
  if (!missing.empty()) return Status::Error("missing in " + Utf8(folder) + ": " + missing + " (left out of the ExeFS)");
  if (!warning.empty()) return Status::Error(warning);
  return Status::Ok();
}

}  // namespace ctr
