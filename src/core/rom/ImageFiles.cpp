#include "core/rom/ImageFiles.h"

#include <algorithm>

#include "core/common/Common.h"
#include "ctr/Blz.h"
#include "ctr/ExeFs.h"
#include "ctr/Image.h"
#include "ctr/Md5.h"

namespace qpt {

namespace fs = std::filesystem;

ctr::Status TImageFiles::Open(const fs::path& image) {
  ctr::Status status = input_.Open(image);
  if (!status) return status;
  const auto range = ctr::LocateMainNcch(input_);
  if (!range) return range.status();
  ctr::WindowReader window(input_, range->offset, range->size);
  auto ncch = ctr::ReadNcch(window);
  if (!ncch) return ncch.status();
  status = ctr::RequirePlain(*ncch, ctr::PathText(image));
  if (!status) return status;
  ncch_ = *ncch;
  const auto backing = window.Backing();
  if (!backing || !backing->file) return ctr::Status::Error(ctr::PathText(image));
  file_ = backing->file;
  ncchOffset_ = backing->offset;
  if (ncch_.romfs.present()) {
    status = romfs_.Open(*file_, ncchOffset_ + ncch_.romfs.offset, ncch_.romfs.size);
    if (!status) return status;
    hasRomFs_ = true;
  }
  return ctr::Status::Ok();
}

std::optional<ctr::RomFsReader::FileEntry> TImageFiles::Find(const std::string& path) const {
  return hasRomFs_ ? romfs_.Find(path) : std::nullopt;
}

bool TImageFiles::SameAsRomFsFile(const fs::path& file, const ctr::RomFsReader::FileEntry& entry) {
  ctr::InputFile made;
  if (!made.Open(file) || made.size() != entry.size) return false;
  std::vector<std::uint8_t> a(std::size_t{1} << 20), b(a.size());
  for (std::uint64_t done = 0; done < entry.size;) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(a.size(), entry.size - done));
    if (!made.ReadAt(done, a.data(), n) || !file_->ReadAt(entry.offset + done, b.data(), n)) return false;
    if (!std::equal(a.begin(), a.begin() + static_cast<std::ptrdiff_t>(n), b.begin())) return false;
    done += n;
  }
  return true;
}

ctr::Status TImageFiles::CopyRomFsFile(const ctr::RomFsReader::FileEntry& entry, const fs::path& out) {
  std::error_code ec;
  fs::create_directories(out.parent_path(), ec);
  if (ec) return ctr::Status::Error(ec.message());
  ctr::OutputFile file;
  ctr::Status status = file.Open(out);
  if (status) status = file.AppendFrom(*file_, entry.offset, entry.size);
  if (status) status = file.Commit();
  return status;
}

ctr::Result<std::string> TImageFiles::RomFsFileMD5(const ctr::RomFsReader::FileEntry& entry) {
  ctr::Md5 md5;
  std::vector<std::uint8_t> block(std::size_t{1} << 20);
  for (std::uint64_t done = 0; done < entry.size;) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(block.size(), entry.size - done));
    const ctr::Status status = file_->ReadAt(entry.offset + done, block.data(), n);
    if (!status) return status;
    md5.Update(block.data(), n);
    done += n;
  }
  static const char kHex[] = "0123456789ABCDEF";
  std::string text;
  for (const std::uint8_t byte : md5.Final()) {
    text += kHex[byte >> 4];
    text += kHex[byte & 0x0F];
  }
  return text;
}

ctr::Result<std::string> TImageFiles::ReadRomFsFile(const std::string& path, std::uint64_t maxSize) {
  const auto entry = Find(path);
  if (!entry) return ctr::Status::Error("the image has no " + path);
  if (entry->size > maxSize) return ctr::Status::Error(path + " is larger than expected");
  std::string bytes(static_cast<std::size_t>(entry->size), '\0');
  const ctr::Status status = file_->ReadAt(entry->offset, bytes.data(), bytes.size());
  if (!status) return status;
  return bytes;
}

ctr::Result<std::map<std::string, std::vector<std::uint8_t>>> TImageFiles::ExeFsFiles() {
  std::map<std::string, std::vector<std::uint8_t>> files;
  if (!ncch_.exefs.present()) return files;
  const std::uint64_t offset = ncchOffset_ + ncch_.exefs.offset;
  const auto header = ctr::ReadExeFsHeader(*file_, offset, ncch_.exefs.size);
  if (!header) return header.status();
  for (const ctr::ExeFsHeader::Entry& entry : header->entries) {
    auto bytes = ctr::ReadExeFsFile(*file_, offset, ncch_.exefs.size, entry.name);
    if (!bytes) return bytes.status();
    if (ctr::IsExeFsCodeEntry(entry.name, entry.slot)) {
      // The install unpacks the program decompressed when it can, stored as it is otherwise.
      if (auto plain = ctr::BlzDecompress(*bytes)) bytes = std::move(plain);
    }
    files[ctr::ExeFsFolderName(entry.name, entry.slot)] = std::move(*bytes);
  }
  return files;
}

ctr::Result<std::vector<std::uint8_t>> TImageFiles::Exheader() {
  if (!ncch_.exheader.present()) return std::vector<std::uint8_t>{};
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(ncch_.exheader.size));
  if (const ctr::Status read = file_->ReadAt(ncchOffset_ + ncch_.exheader.offset, bytes.data(), bytes.size()); !read) {
    return read;
  }
  return bytes;
}

}  // namespace qpt
