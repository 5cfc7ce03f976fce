// RomFS: the read-only file system of an NCCH, wrapped in the IVFC hash tree. The image is the
// IVFC header with the master hash, then level 3 (the file system), then hash levels 1 and 2,
// each in whole 0x1000-byte blocks. Building it (RomFsBuilder.cpp), walking, reading and
// unpacking it (RomFsReader.cpp), and its hash tree (RomFsHashTree.cpp).
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "ctr/Io.h"
#include "ctr/Reader.h"
#include "ctr/Sha256.h"

namespace ctr {

inline constexpr std::uint32_t kIvfcBlockLog2 = 12;
inline constexpr std::uint64_t kIvfcBlockSize = std::uint64_t{1} << kIvfcBlockLog2;
inline constexpr std::uint32_t kIvfcHeaderSize = 0x5C;
// The master hash starts after the header rounded up to 0x20.
inline constexpr std::uint32_t kIvfcMasterHashOffset = 0x60;

#pragma pack(push, 1)
// One level's entry in the IVFC header. Offsets are logical (levels 1, 2, 3 back to back, each
// block-aligned); the physical order in the image is 3, 1, 2.
struct IvfcLevelRecord {
  std::uint64_t logicalOffset;
  std::uint64_t size;
  std::uint32_t blockLog2;
  std::uint32_t reserved;
};
static_assert(sizeof(IvfcLevelRecord) == 0x18);

// The IVFC header at RomFS+0; the master hash follows at RomFS+0x60.
struct IvfcHeaderRecord {
  char magic[4];                 // "IVFC"
  std::uint32_t magicNumber;     // 0x10000 for a RomFS
  std::uint32_t masterHashSize;  // 0x20 per level-1 block
  IvfcLevelRecord levels[3];
  std::uint32_t headerSize;      // 0x5C
  std::uint32_t reserved;
};
static_assert(sizeof(IvfcHeaderRecord) == 0x5C);

// The level-3 header at the start of level 3; every offset is relative to level 3.
struct RomFsLevel3HeaderRecord {
  std::uint32_t headerSize;
  std::uint32_t dirHashOffset;
  std::uint32_t dirHashSize;
  std::uint32_t dirMetaOffset;
  std::uint32_t dirMetaSize;
  std::uint32_t fileHashOffset;
  std::uint32_t fileHashSize;
  std::uint32_t fileMetaOffset;
  std::uint32_t fileMetaSize;
  std::uint32_t dataOffset;
};
static_assert(sizeof(RomFsLevel3HeaderRecord) == 0x28);

// A directory entry in the directory metadata table, followed by its UTF-16LE name padded to 4.
struct RomFsDirRecord {
  std::uint32_t parent;
  std::uint32_t nextSibling;
  std::uint32_t firstChild;
  std::uint32_t firstFile;
  std::uint32_t nextInBucket;
  std::uint32_t nameSize;  // bytes
};
static_assert(sizeof(RomFsDirRecord) == 0x18);

// A file entry in the file metadata table, followed by its UTF-16LE name padded to 4.
struct RomFsFileRecord {
  std::uint32_t parent;
  std::uint32_t nextSibling;
  std::uint64_t dataOffset;  // relative to the level-3 data offset
  std::uint64_t dataSize;
  std::uint32_t nextInBucket;
  std::uint32_t nameSize;  // bytes
};
static_assert(sizeof(RomFsFileRecord) == 0x20);
#pragma pack(pop)

inline constexpr std::uint32_t kRomFsNoEntry = 0xFFFFFFFF;
// No real RomFS has metadata tables anywhere near this (a game with 100,000 files needs a
// few MiB); larger claims are garbage. The builder keeps to it as well, so that whatever it
// makes can be unpacked.
inline constexpr std::uint64_t kRomFsMaxTableSize = 32u << 20;
// Folders nest at most this deep, in what the builder makes and in what the walk accepts.
inline constexpr int kRomFsMaxFolderDepth = 256;

// Builds a complete RomFS image from a folder tree. Entry order, hash tables and data layout
// follow 3dstool, so unpacking and rebuilding an unchanged tree gives the same image; folders
// without any file below them are left out. Streams the file data (memory holds the tables
// and one buffer), writes through a temporary file.
Status BuildRomFs(const std::filesystem::path& folder, const std::filesystem::path& romfsImage);

// Unpacks every folder and file of a RomFS image into outFolder (created if missing),
// refusing what WalkRomFs refuses before anything is written. Hash levels are not checked;
// see VerifyRomFs.
Status ExtractRomFs(const std::filesystem::path& romfsImage, const std::filesystem::path& outFolder);

// What a walk over the file tables of a RomFS reports: each folder before anything inside
// it, a folder's files before its sub-folders, depth first (the order 3dstool unpacks in,
// which is file-table order for the images our builder makes). Paths are UTF-8,
// '/'-separated, without a leading '/', and valid only during the call.
class RomFsVisitor {
 public:
  virtual ~RomFsVisitor() = default;
  // Once the whole tree has been checked, before the first folder or file.
  virtual Status Begin() { return Status::Ok(); }
  // A folder below the root.
  virtual Status Folder(const std::string& path) = 0;
  // A file whose bytes lie at [offset, offset + size) of the file the RomFS lies in.
  virtual Status File(const std::string& path, std::uint64_t offset, std::uint64_t size) = 0;
};

// Where level 3 of a RomFS lies (absolute in the file) and its header.
struct RomFsLevel3 {
  std::uint64_t offset = 0;
  RomFsLevel3HeaderRecord header{};
};

// Walks the file tables of the RomFS at [offset, offset + size) of file and reports every
// folder and file to visitor. The whole tree is checked before the first report, so that a
// refused image reports nothing: tables of at most 32 MiB inside level 3, every entry and
// every file's data inside their places, no entry reached twice (a link loop), names that are
// one path component of at most 255 UTF-16 units and never end like our temporary files, no
// two entries of one folder that a file system ignoring letter case takes for one name, and
// folders nested at most 256 deep (what the builder makes). Memory stays small whatever the
// tables claim: they are read through a small window, and only the path at hand is held.
Result<RomFsLevel3> WalkRomFs(InputFile& file, std::uint64_t offset, std::uint64_t size, RomFsVisitor& visitor);

// The whole file list of a RomFS at [offset, offset + size) of any file (a RomFS image, an
// NCCH, a card image), in memory, for readers of small images; the unpack walks instead.
// Every offset it reports lies within that range.
class RomFsReader {
 public:
  struct FileEntry {
    std::string path;          // UTF-8, '/'-separated, no leading '/'
    std::uint64_t offset = 0;  // absolute in the file
    std::uint64_t size = 0;
  };

  // Refuses what WalkRomFs refuses.
  Status Open(InputFile& file, std::uint64_t offset, std::uint64_t size);
  // Exact, case-sensitive match of the full path.
  std::optional<FileEntry> Find(std::string_view path) const;
  // In the order of a walk (see RomFsVisitor).
  const std::vector<FileEntry>& Files() const { return files_; }
  // Every folder below the root, parents before children ('/'-separated, UTF-8).
  const std::vector<std::string>& Folders() const { return folders_; }
  // Absolute position of level 3 and its header, for readers of raw table fields.
  std::uint64_t level3Offset() const { return level3Offset_; }
  const RomFsLevel3HeaderRecord& level3Header() const { return level3Header_; }

 private:
  std::vector<FileEntry> files_;
  std::vector<std::string> folders_;
  std::unordered_map<std::string, std::size_t> index_;  // path -> position in files_
  std::uint64_t level3Offset_ = 0;
  RomFsLevel3HeaderRecord level3Header_{};
};

// The block of the hash tree that failed its check, for a caller that words it itself.
struct RomFsHashMismatch {
  int level = 0;  // 1, 2 or 3; 0 when the tree could not be read at all
  std::uint64_t block = 0;
};

// Checks the master hash and every block of levels 1, 2 and 3; the message names the level and
// block that does not match, and so does *mismatch when given.
Status VerifyRomFs(InputFile& file, std::uint64_t offset, std::uint64_t size, RomFsHashMismatch* mismatch = nullptr);

// VerifyRomFs in two halves, for a caller that reads level 3, the bulk of the image, in a pass
// of its own beside other digests of the same bytes. The constructor reads the header and
// checks levels 1 and 2, which are small, on the caller's thread; level 3's bytes then come
// through Update, in order and in pieces of any size, on any one thread.
class RomFsLevelCheck {
 public:
  RomFsLevelCheck(InputFile& file, std::uint64_t offset, std::uint64_t size);

  // Where in file Update wants its bytes: level 3 padded to whole blocks. Empty when the
  // outcome is known without them (a level above failed, or level 3 was checked at once
  // because its hashes are too many to hold while it streams past).
  ByteRange Level3() const { return level3_; }
  void Update(const std::uint8_t* data, std::size_t size);
  // The outcome, as VerifyRomFs words it; read is how the caller's read of Level3 went.
  Status Finish(const Status& read, RomFsHashMismatch* mismatch = nullptr);

 private:
  Status outcome_ = Status::Ok();
  RomFsHashMismatch mismatch_;
  ByteRange level3_;
  std::uint64_t blockSize_ = 0;
  std::vector<std::uint8_t> hashes_;  // level 2's hashes of the level-3 blocks
  Sha256 hasher_;
  std::uint64_t block_ = 0;  // the block being hashed
  std::uint64_t inBlock_ = 0;  // of its bytes, those hashed so far
  std::uint64_t fed_ = 0;
};

// One level of the hash tree as it lies in a RomFS image.
struct IvfcLevel {
  std::uint64_t offset = 0;  // physical, from the start of the RomFS
  std::uint64_t size = 0;    // bytes, unpadded
  std::uint64_t blockSize = 0;
  std::uint64_t Blocks() const { return (size + blockSize - 1) / blockSize; }
};

// Where the levels lie; levels[0..2] are levels 1..3. The master hash is at
// kIvfcMasterHashOffset; end is where the last level's padding ends.
struct IvfcLayout {
  std::uint64_t masterHashSize = 0;
  IvfcLevel levels[3];
  std::uint64_t end = 0;
};

// Reads the IVFC header of the RomFS at [offset, offset + size) of in. Level 3 is checked to
// lie within size; the hash levels are not (see CheckIvfcHashLevels).
Result<IvfcLayout> ReadIvfcLayout(Reader& in, std::uint64_t offset, std::uint64_t size);

// Fails unless every level, padding included, lies within a RomFS of size bytes and each hash
// level holds a hash for every block of the level it covers.
Status CheckIvfcHashLevels(const IvfcLayout& layout, std::uint64_t size);

// Bytes at the start of a RomFS image that the NCCH header's RomFS hash covers: the IVFC
// header and master hash, rounded up to the media unit. The NCCH field holds this / mediaUnit.
std::uint64_t RomFsHashRegionSize(std::uint32_t masterHashSize, std::uint64_t mediaUnit);

// What an NCCH builder needs of a RomFS image: the hash region size in bytes and its SHA-256.
struct RomFsSuperblock {
  std::uint64_t hashRegionSize = 0;
  Sha256Digest hash{};
};
// Reads the IVFC header of the RomFS at [offset, offset + size) of file and hashes its hash
// region (which must lie within size).
Result<RomFsSuperblock> ReadRomFsSuperblock(InputFile& file, std::uint64_t offset, std::uint64_t size,
                                            std::uint64_t mediaUnit);

}  // namespace ctr
