// A game image opened for reading single files out of it: the RomFS file list and the ExeFS
// of its main NCCH, without unpacking anything. The mod-folder installation reads the files
// its steps change through it; making and checking a patch compare an author's files with
// the image's.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "ctr/Ncch.h"
#include "ctr/Reader.h"
#include "ctr/RomFs.h"

namespace qpt {

class TImageFiles {
 public:
  // Refuses an image whose main NCCH is encrypted or damaged.
  ctr::Status Open(const std::filesystem::path& image);

  std::uint64_t ProgramId() const { return ncch_.header.programId; }
  // The RomFS file at path ('/'-separated, UTF-8); nothing when the image has no such file.
  std::optional<ctr::RomFsReader::FileEntry> Find(const std::string& path) const;
  // Whether file holds exactly the bytes of the image's RomFS file.
  bool SameAsRomFsFile(const std::filesystem::path& file, const ctr::RomFsReader::FileEntry& entry);
  ctr::Status CopyRomFsFile(const ctr::RomFsReader::FileEntry& entry, const std::filesystem::path& out);
  // The file's MD5 as 32 upper-case hexadecimal digits, read straight out of the image.
  ctr::Result<std::string> RomFsFileMD5(const ctr::RomFsReader::FileEntry& entry);
  // A small RomFS file (an index, a list) in memory; at most maxSize bytes.
  ctr::Result<std::string> ReadRomFsFile(const std::string& path, std::uint64_t maxSize);
  // The ExeFS files under the names an unpacked ExeFS folder gives them (code.bin, banner.bnr,
  // ...), the program decompressed when it is stored compressed, as the install unpacks it.
  ctr::Result<std::map<std::string, std::vector<std::uint8_t>>> ExeFsFiles();
  // The extended header with its access descriptor (0x800 bytes); empty for an NCCH without one.
  ctr::Result<std::vector<std::uint8_t>> Exheader();

  // Valid once Open has succeeded, for as long as this object lives. The reader of an image
  // without a RomFS is never opened and finds nothing.
  bool HasRomFs() const { return hasRomFs_; }
  const ctr::RomFsReader& RomFs() const { return romfs_; }
  // The file the RomFS entries' offsets count in.
  ctr::InputFile& File() { return *file_; }

 private:
  ctr::FileReader input_;
  ctr::InputFile* file_ = nullptr;
  ctr::Ncch ncch_{};
  std::uint64_t ncchOffset_ = 0;
  ctr::RomFsReader romfs_;
  bool hasRomFs_ = false;
};

}  // namespace qpt
