// A game image opened for reading single files out of it: the RomFS file list and the ExeFS
// of its main NCCH, without unpacking anything. Making and checking a patch compare an
// author's files with the image's through it.
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
  // A small RomFS file (an index, a list) in memory; at most maxSize bytes.
  ctr::Result<std::string> ReadRomFsFile(const std::string& path, std::uint64_t maxSize);
  // The ExeFS files under the names an unpacked ExeFS folder gives them (code.bin, banner.bnr,
  // ...), the program decompressed when it is stored compressed, as the install unpacks it.
  ctr::Result<std::map<std::string, std::vector<std::uint8_t>>> ExeFsFiles();

 private:
  ctr::FileReader input_;
  ctr::InputFile* file_ = nullptr;
  ctr::Ncch ncch_{};
  std::uint64_t ncchOffset_ = 0;
  ctr::RomFsReader romfs_;
  bool hasRomFs_ = false;
};

}  // namespace qpt
