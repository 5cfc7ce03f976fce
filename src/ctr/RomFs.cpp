#include "ctr/RomFs.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <deque>
#include <functional>
#include <system_error>

#include "ctr/Names.h"

namespace ctr {

namespace fs = std::filesystem;

namespace {

constexpr std::uint32_t kIvfcMagicNumber = 0x10000;
constexpr std::uint32_t kHashSize = 0x20;
constexpr std::uint64_t kDataAlignment = 0x10;
constexpr std::uint32_t kNameSeed = 123456789;
// Large sequential transfers; a multiple of every block size we build with.
constexpr std::size_t kChunk = 1 << 20;
// No real RomFS has metadata tables anywhere near this (a game with 100,000 files needs a
// few MiB); larger claims are garbage. The builder keeps to it as well, so that whatever it
// makes can be unpacked.
constexpr std::uint64_t kMaxTableSize = 32u << 20;
constexpr int kMaxFolderDepth = 256;
// Longer names cannot be made on the file systems we unpack to (NTFS and APFS take 255
// UTF-16 units, ext4 255 bytes).
constexpr std::size_t kMaxNameUnits = 255;
// The metadata tables are read through a window of this size.
constexpr std::size_t kTableWindow = 64 << 10;
// Level-2 hashes are written to their place in batches of this size (8 MiB of level 3 each).
constexpr std::size_t kLevel2Batch = 64 << 10;

std::string Utf8(const fs::path& path) {
  const std::u8string s = path.u8string();
  return std::string(s.begin(), s.end());
}

fs::path PathFromUtf8(const std::string& utf8) { return fs::path(std::u8string(utf8.begin(), utf8.end())); }

// A name from an image becomes one component of a path on disk: nothing that could climb out
// of the output folder or split into several components.
bool IsSafeComponent(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  return std::none_of(name.begin(), name.end(), [](char c) {
    return c == '/' || c == '\\' || static_cast<unsigned char>(c) < 0x20;
  });
}

// 3dstool's sibling order: UTF-8 bytes after upper-casing ASCII letters only.
std::string SortKey(const std::string& utf8) {
  std::string key = utf8;
  for (char& c : key) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return key;
}

std::uint32_t NameHash(std::uint32_t parentOffset, const std::u16string& name) {
  std::uint32_t h = parentOffset ^ kNameSeed;
  for (char16_t c : name) {
    h = (h >> 5) | (h << 27);
    h ^= c;
  }
  return h;
}

std::uint32_t BucketCount(std::uint32_t entries) {
  if (entries < 3) return 3;
  if (entries < 19) return entries | 1;
  std::uint32_t m = entries;
  auto divisible = [](std::uint32_t v) {
    for (std::uint32_t p : {2u, 3u, 5u, 7u, 11u, 13u, 17u}) {
      if (v % p == 0) return true;
    }
    return false;
  };
  while (divisible(m)) ++m;
  return m;
}

std::uint32_t NameBytes(const std::u16string& name) { return static_cast<std::uint32_t>(name.size() * 2); }
std::uint32_t PaddedNameBytes(const std::u16string& name) { return static_cast<std::uint32_t>(AlignUp(NameBytes(name), 4)); }

template <typename T>
void Put(std::vector<std::uint8_t>& buffer, std::uint64_t offset, const T& value) {
  std::memcpy(buffer.data() + offset, &value, sizeof(T));
}

void PutName(std::vector<std::uint8_t>& buffer, std::uint64_t offset, const std::u16string& name) {
  for (std::size_t i = 0; i < name.size(); ++i) {
    buffer[offset + 2 * i] = static_cast<std::uint8_t>(name[i]);
    buffer[offset + 2 * i + 1] = static_cast<std::uint8_t>(name[i] >> 8);
  }
}

Status HashRange(InputFile& file, std::uint64_t offset, std::uint64_t size, Sha256Digest& digest) {
  Sha256 hasher;
  std::vector<std::uint8_t> block(static_cast<std::size_t>(std::min<std::uint64_t>(size, kChunk)));
  while (size > 0) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(size, block.size()));
    Status s = file.ReadAt(offset, block.data(), n);
    if (!s) return s;
    hasher.Update(block.data(), n);
    offset += n;
    size -= n;
  }
  digest = hasher.Final();
  return Status::Ok();
}

// ---------------------------------------------------------------- IVFC layout

IvfcLayout PlanLayout(std::uint64_t level3Size) {
  IvfcLayout layout;
  const std::uint64_t l2Size = kHashSize * ((level3Size + kIvfcBlockSize - 1) / kIvfcBlockSize);
  const std::uint64_t l1Size = kHashSize * ((l2Size + kIvfcBlockSize - 1) / kIvfcBlockSize);
  layout.masterHashSize = kHashSize * ((l1Size + kIvfcBlockSize - 1) / kIvfcBlockSize);
  layout.levels[0].size = l1Size;
  layout.levels[1].size = l2Size;
  layout.levels[2].size = level3Size;
  for (IvfcLevel& level : layout.levels) level.blockSize = kIvfcBlockSize;
  // Physical order is 3, 1, 2.
  layout.levels[2].offset = AlignUp(kIvfcMasterHashOffset + layout.masterHashSize, kIvfcBlockSize);
  layout.levels[0].offset = layout.levels[2].offset + AlignUp(level3Size, kIvfcBlockSize);
  layout.levels[1].offset = layout.levels[0].offset + AlignUp(l1Size, kIvfcBlockSize);
  layout.end = layout.levels[1].offset + AlignUp(l2Size, kIvfcBlockSize);
  return layout;
}

IvfcHeaderRecord MakeIvfcHeader(const IvfcLayout& layout) {
  IvfcHeaderRecord header{};
  std::memcpy(header.magic, "IVFC", 4);
  header.magicNumber = kIvfcMagicNumber;
  header.masterHashSize = static_cast<std::uint32_t>(layout.masterHashSize);
  std::uint64_t logical = 0;
  for (int i = 0; i < 3; ++i) {
    header.levels[i].logicalOffset = logical;
    header.levels[i].size = layout.levels[i].size;
    header.levels[i].blockLog2 = kIvfcBlockLog2;
    logical = AlignUp(logical + layout.levels[i].size, kIvfcBlockSize);
  }
  header.headerSize = kIvfcHeaderSize;
  return header;
}

// Where the levels of a RomFS of the given size lie, from its IVFC header.
Result<IvfcLayout> ParseIvfcHeader(const IvfcHeaderRecord& header, std::uint64_t size) {
  if (std::memcmp(header.magic, "IVFC", 4) != 0) return Status::Error("RomFS has no IVFC magic");
  if (header.magicNumber != kIvfcMagicNumber) return Status::Error("IVFC image is not a RomFS");
  IvfcLayout layout;
  layout.masterHashSize = header.masterHashSize;
  for (int i = 0; i < 3; ++i) {
    const std::uint32_t log2 = header.levels[i].blockLog2;
    if (log2 < 6 || log2 > 24) return Status::Error("IVFC level " + std::to_string(i + 1) + " block size out of range");
    layout.levels[i].blockSize = std::uint64_t{1} << log2;
    layout.levels[i].size = header.levels[i].size;
    if (layout.levels[i].size > size) return Status::Error("IVFC level " + std::to_string(i + 1) + " is larger than the RomFS");
  }
  IvfcLevel* l = layout.levels;
  l[2].offset = AlignUp(kIvfcMasterHashOffset + layout.masterHashSize, l[2].blockSize);
  l[0].offset = l[2].offset + AlignUp(l[2].size, l[2].blockSize);
  l[1].offset = l[0].offset + AlignUp(l[0].size, l[0].blockSize);
  layout.end = l[1].offset + AlignUp(l[1].size, l[1].blockSize);
  if (!InRange(0, l[2].offset + l[2].size, size)) return Status::Error("RomFS level 3 lies past the end of the RomFS");
  return layout;
}

Result<IvfcLayout> ReadIvfcLayout(InputFile& file, std::uint64_t offset, std::uint64_t size) {
  if (!InRange(offset, size, file.size())) return Status::Error("RomFS lies past the end of the file");
  if (size < kIvfcMasterHashOffset) return Status::Error("RomFS is shorter than its IVFC header");
  std::array<std::uint8_t, sizeof(IvfcHeaderRecord)> raw{};
  Status s = file.ReadAt(offset, raw.data(), raw.size());
  if (!s) return s;
  return ParseIvfcHeader(*ReadLE<IvfcHeaderRecord>(raw, 0), size);
}

// ---------------------------------------------------------------- building

struct BuildFile {
  std::string key;
  std::u16string name;
  fs::path path;
  std::uint64_t size = 0;
  std::uint32_t offset = 0;  // in the file table
  std::uint64_t dataOffset = 0;
};

struct BuildDir {
  std::string key;
  std::u16string name;
  fs::path path;
  std::vector<std::size_t> dirs;  // indices into the directory list
  std::vector<BuildFile> files;
  std::uint32_t offset = 0;  // in the directory table
  std::uint32_t parentOffset = 0;
  std::uint32_t nextSibling = kRomFsNoEntry;
};

class TreeScanner {
 public:
  std::vector<BuildDir> dirs;

  Status Scan(const fs::path& root) {
    std::error_code ec;
    if (!fs::is_directory(root, ec)) return Status::Error("no such folder: " + Utf8(root));
    dirs.emplace_back();
    Status s = ScanDir(root, 0, 0);
    if (!s) return s;
    PruneEmptyFolders(0);
    return Status::Ok();
  }

 private:
  Status ScanDir(fs::path path, std::size_t index, int depth) {
    if (depth > kMaxFolderDepth) return Status::Error("folders nested too deeply (a link loop?) at " + Utf8(path));
    std::error_code ec;
    fs::directory_iterator it(path, ec);
    if (ec) return Status::Error("cannot list " + Utf8(path));
    std::vector<BuildDir> subdirs;
    for (; it != fs::directory_iterator(); it.increment(ec)) {
      const fs::path entryPath = it->path();
      const std::u8string raw = entryPath.filename().u8string();
      const std::string name(raw.begin(), raw.end());
      auto name16 = Utf8ToUtf16(name);
      if (!name16) return Status::Error("file name is not valid text: " + Utf8(entryPath));
      std::error_code typeError;
      if (it->is_directory(typeError)) {
        BuildDir dir;
        dir.key = SortKey(name);
        dir.name = std::move(*name16);
        dir.path = entryPath;
        subdirs.push_back(std::move(dir));
      } else if (it->is_regular_file(typeError)) {
        BuildFile file;
        file.key = SortKey(name);
        file.name = std::move(*name16);
        file.path = entryPath;
        file.size = it->file_size(typeError);
        if (typeError) return Status::Error("cannot read the size of " + Utf8(entryPath));
        dirs[index].files.push_back(std::move(file));
      }
    }
    if (ec) return Status::Error("cannot list " + Utf8(path));
    auto byKey = [](const auto& a, const auto& b) { return a.key != b.key ? a.key < b.key : a.name < b.name; };
    std::sort(dirs[index].files.begin(), dirs[index].files.end(), byKey);

    std::sort(subdirs.begin(), subdirs.end(), byKey);
    std::vector<std::size_t> children;
    for (BuildDir& dir : subdirs) {
      children.push_back(dirs.size());
      dirs.push_back(std::move(dir));
    }
    dirs[index].dirs = children;
    for (std::size_t child : children) {
      Status s = ScanDir(dirs[child].path, child, depth + 1);
      if (!s) return s;
    }
    return Status::Ok();
  }

  // A folder with no file anywhere below it is left out, like 3dstool does.
  bool PruneEmptyFolders(std::size_t index) {
    bool any = !dirs[index].files.empty();
    std::vector<std::size_t> kept;
    for (std::size_t child : dirs[index].dirs) {
      if (PruneEmptyFolders(child)) {
        kept.push_back(child);
        any = true;
      }
    }
    dirs[index].dirs = std::move(kept);
    return any;
  }
};

// Level-3 bytes go through here: gathered into large chunks, each 0x1000-byte block hashed
// into level 2 as it passes, level-2 blocks hashed into level 1 as they fill. Level 2 goes
// straight to its place in the image, so memory stays at one chunk whatever the size.
class HashingWriter {
 public:
  HashingWriter(OutputFile& out, const IvfcLayout& layout) : out_(out), layout_(layout) {
    buffer_.reserve(kChunk);
    l2Block_.reserve(kIvfcBlockSize);
  }

  Status Append(const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
      const std::size_t n = std::min(size, kChunk - buffer_.size());
      buffer_.insert(buffer_.end(), data, data + n);
      data += n;
      size -= n;
      if (buffer_.size() == kChunk) {
        Status s = FlushChunk();
        if (!s) return s;
      }
    }
    return Status::Ok();
  }

  Status AppendZeros(std::uint64_t count) {
    static const std::uint8_t kZeros[0x1000] = {};
    while (count > 0) {
      const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(count, sizeof(kZeros)));
      Status s = Append(kZeros, n);
      if (!s) return s;
      count -= n;
    }
    return Status::Ok();
  }

  // Reads size bytes of a file straight into the chunk buffer.
  Status AppendFile(InputFile& in, std::uint64_t size) {
    std::uint64_t offset = 0;
    while (offset < size) {
      const std::size_t room = kChunk - buffer_.size();
      const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(room, size - offset));
      const std::size_t at = buffer_.size();
      buffer_.resize(at + n);
      Status s = in.ReadAt(offset, buffer_.data() + at, n);
      if (!s) return s;
      offset += n;
      if (buffer_.size() == kChunk) {
        s = FlushChunk();
        if (!s) return s;
      }
    }
    return Status::Ok();
  }

  std::uint64_t written() const { return written_ + buffer_.size(); }

  // Pads level 3 to whole blocks, completes level 2 and returns level 1 (padded).
  Result<std::vector<std::uint8_t>> Finish() {
    Status s = AppendZeros(AlignUp(written(), kIvfcBlockSize) - written());
    if (!s) return s;
    s = FlushChunk();
    if (!s) return s;
    if (!l2Block_.empty()) {
      l2Block_.resize(kIvfcBlockSize, 0);
      AddLevel2Block();
    }
    s = FlushLevel2();
    if (!s) return s;
    level1_.resize(static_cast<std::size_t>(AlignUp(level1_.size(), kIvfcBlockSize)), 0);
    return std::move(level1_);
  }

 private:
  Status FlushChunk() {
    for (std::size_t at = 0; at < buffer_.size(); at += kIvfcBlockSize) {
      hasher_.Reset();
      hasher_.Update(buffer_.data() + at, kIvfcBlockSize);
      const Sha256Digest digest = hasher_.Final();
      l2Block_.insert(l2Block_.end(), digest.begin(), digest.end());
      if (l2Block_.size() == kIvfcBlockSize) AddLevel2Block();
    }
    Status s = out_.Write(buffer_.data(), buffer_.size());
    if (!s) return s;
    written_ += buffer_.size();
    buffer_.clear();
    if (l2Pending_.size() >= kLevel2Batch) return FlushLevel2();
    return Status::Ok();
  }

  void AddLevel2Block() {
    hasher_.Reset();
    hasher_.Update(l2Block_.data(), l2Block_.size());
    const Sha256Digest digest = hasher_.Final();
    level1_.insert(level1_.end(), digest.begin(), digest.end());
    l2Pending_.insert(l2Pending_.end(), l2Block_.begin(), l2Block_.end());
    l2Block_.clear();
  }

  Status FlushLevel2() {
    if (l2Pending_.empty()) return Status::Ok();
    Status s = out_.WriteAt(layout_.levels[1].offset + l2Written_, l2Pending_.data(), l2Pending_.size());
    if (!s) return s;
    l2Written_ += l2Pending_.size();
    l2Pending_.clear();
    return Status::Ok();
  }

  OutputFile& out_;
  const IvfcLayout& layout_;
  Sha256 hasher_;
  std::vector<std::uint8_t> buffer_;
  std::uint64_t written_ = 0;
  std::vector<std::uint8_t> l2Block_;
  std::vector<std::uint8_t> l2Pending_;
  std::uint64_t l2Written_ = 0;
  std::vector<std::uint8_t> level1_;
};

}  // namespace

Status BuildRomFs(const fs::path& folder, const fs::path& romfsImage) {
  TreeScanner scanner;
  Status s = scanner.Scan(folder);
  if (!s) return s;
  std::vector<BuildDir>& dirs = scanner.dirs;

  // Directory table: each folder's children as one block when the folder is visited, then
  // the children visited depth first. File table and data: the folders in visit order.
  std::vector<std::size_t> dirOrder{0};
  std::vector<std::size_t> visitOrder;
  std::function<void(std::size_t)> visit = [&](std::size_t index) {
    visitOrder.push_back(index);
    for (std::size_t child : dirs[index].dirs) dirOrder.push_back(child);
    for (std::size_t child : dirs[index].dirs) visit(child);
  };
  visit(0);

  std::uint64_t dirMetaSize = 0;
  for (std::size_t index : dirOrder) {
    dirs[index].offset = static_cast<std::uint32_t>(dirMetaSize);
    dirMetaSize += sizeof(RomFsDirRecord) + PaddedNameBytes(dirs[index].name);
  }
  std::uint64_t fileMetaSize = 0;
  std::uint64_t dataEnd = 0;
  std::uint32_t fileCount = 0;
  for (std::size_t index : visitOrder) {
    for (BuildFile& file : dirs[index].files) {
      file.offset = static_cast<std::uint32_t>(fileMetaSize);
      fileMetaSize += sizeof(RomFsFileRecord) + PaddedNameBytes(file.name);
      // An empty file still moves the end to the next aligned offset.
      file.dataOffset = AlignUp(dataEnd, kDataAlignment);
      dataEnd = file.dataOffset + file.size;
      ++fileCount;
    }
    const std::vector<std::size_t>& children = dirs[index].dirs;
    for (std::size_t k = 0; k < children.size(); ++k) {
      dirs[children[k]].parentOffset = dirs[index].offset;
      if (k + 1 < children.size()) dirs[children[k]].nextSibling = dirs[children[k + 1]].offset;
    }
  }
  const std::uint32_t dirBuckets = BucketCount(static_cast<std::uint32_t>(dirOrder.size()));
  const std::uint32_t fileBuckets = BucketCount(fileCount);

  RomFsLevel3HeaderRecord header{};
  header.headerSize = sizeof(RomFsLevel3HeaderRecord);
  header.dirHashOffset = header.headerSize;
  header.dirHashSize = 4 * dirBuckets;
  const std::uint64_t dirMetaOffset = std::uint64_t{header.dirHashOffset} + header.dirHashSize;
  const std::uint64_t fileHashOffset = dirMetaOffset + dirMetaSize;
  const std::uint64_t fileMetaOffset = fileHashOffset + 4ull * fileBuckets;
  const std::uint64_t dataOffset = AlignUp(fileMetaOffset + fileMetaSize, kDataAlignment);
  if (dataOffset > kMaxTableSize) return Status::Error("too many files and folders for a RomFS");
  header.dirMetaOffset = static_cast<std::uint32_t>(dirMetaOffset);
  header.dirMetaSize = static_cast<std::uint32_t>(dirMetaSize);
  header.fileHashOffset = static_cast<std::uint32_t>(fileHashOffset);
  header.fileHashSize = 4 * fileBuckets;
  header.fileMetaOffset = static_cast<std::uint32_t>(fileMetaOffset);
  header.fileMetaSize = static_cast<std::uint32_t>(fileMetaSize);
  header.dataOffset = static_cast<std::uint32_t>(dataOffset);

  // Everything before the file data, built in memory.
  std::vector<std::uint8_t> meta(static_cast<std::size_t>(dataOffset), 0);
  Put(meta, 0, header);
  std::vector<std::uint32_t> dirBucket(dirBuckets, kRomFsNoEntry);
  std::vector<std::uint32_t> fileBucket(fileBuckets, kRomFsNoEntry);
  for (std::size_t index : dirOrder) {
    const BuildDir& dir = dirs[index];
    const std::uint32_t bucket = NameHash(dir.parentOffset, dir.name) % dirBuckets;
    RomFsDirRecord record{};
    record.parent = dir.parentOffset;
    record.nextSibling = dir.nextSibling;
    record.firstChild = dir.dirs.empty() ? kRomFsNoEntry : dirs[dir.dirs.front()].offset;
    record.firstFile = dir.files.empty() ? kRomFsNoEntry : dir.files.front().offset;
    record.nextInBucket = dirBucket[bucket];
    record.nameSize = NameBytes(dir.name);
    dirBucket[bucket] = dir.offset;
    Put(meta, dirMetaOffset + dir.offset, record);
    PutName(meta, dirMetaOffset + dir.offset + sizeof(record), dir.name);
  }
  for (std::size_t index : visitOrder) {
    const BuildDir& dir = dirs[index];
    for (std::size_t k = 0; k < dir.files.size(); ++k) {
      const BuildFile& file = dir.files[k];
      const std::uint32_t bucket = NameHash(dir.offset, file.name) % fileBuckets;
      RomFsFileRecord record{};
      record.parent = dir.offset;
      record.nextSibling = k + 1 < dir.files.size() ? dir.files[k + 1].offset : kRomFsNoEntry;
      record.dataOffset = file.dataOffset;
      record.dataSize = file.size;
      record.nextInBucket = fileBucket[bucket];
      record.nameSize = NameBytes(file.name);
      fileBucket[bucket] = file.offset;
      Put(meta, fileMetaOffset + file.offset, record);
      PutName(meta, fileMetaOffset + file.offset + sizeof(record), file.name);
    }
  }
  std::memcpy(meta.data() + header.dirHashOffset, dirBucket.data(), 4 * dirBucket.size());
  std::memcpy(meta.data() + fileHashOffset, fileBucket.data(), 4 * fileBucket.size());

  const IvfcLayout layout = PlanLayout(dataOffset + dataEnd);
  OutputFile out;
  s = out.Open(romfsImage);
  if (!s) return s;
  s = out.Fill(0, layout.levels[2].offset);
  if (!s) return s;
  HashingWriter writer(out, layout);
  s = writer.Append(meta.data(), meta.size());
  if (!s) return s;
  for (std::size_t index : visitOrder) {
    for (const BuildFile& file : dirs[index].files) {
      s = writer.AppendZeros(dataOffset + file.dataOffset - writer.written());
      if (!s) return s;
      InputFile in;
      s = in.Open(file.path);
      if (!s) return s;
      if (in.size() != file.size) return Status::Error(Utf8(file.path) + " changed while the RomFS was built");
      s = writer.AppendFile(in, file.size);
      if (!s) return s;
    }
  }
  auto level1 = writer.Finish();
  if (!level1) return level1.status();
  s = out.Write(level1->data(), level1->size());
  if (!s) return s;

  std::vector<std::uint8_t> top(static_cast<std::size_t>(kIvfcMasterHashOffset + layout.masterHashSize), 0);
  Put(top, 0, MakeIvfcHeader(layout));
  for (std::size_t at = 0; at < level1->size(); at += kIvfcBlockSize) {
    const Sha256Digest digest = Sha256::Of(level1->data() + at, kIvfcBlockSize);
    std::memcpy(top.data() + kIvfcMasterHashOffset + at / kIvfcBlockSize * kHashSize, digest.data(), kHashSize);
  }
  s = out.WriteAt(0, top.data(), top.size());
  if (!s) return s;
  return out.Commit();
}

// ---------------------------------------------------------------- reading

namespace {

// One metadata table of level 3, read from the file through a small window. The walk reads a
// table nearly in order, so one window serves many entries, and what a table claims never
// decides what we hold in memory.
class TableWindow {
 public:
  TableWindow(InputFile& file, std::uint64_t start, std::uint64_t size) : file_(file), start_(start), size_(size) {}
  std::uint64_t size() const { return size_; }

  // Copies [at, at + n), which the caller has checked lies inside the table.
  Status Read(std::uint64_t at, void* out, std::size_t n) {
    if (at < windowAt_ || at - windowAt_ + n > window_.size()) {
      const std::size_t length = static_cast<std::size_t>(std::min<std::uint64_t>(std::max(n, kTableWindow), size_ - at));
      window_.resize(length);
      Status s = file_.ReadAt(start_ + at, window_.data(), length);
      if (!s) {
        window_.clear();
        return s;
      }
      windowAt_ = at;
    }
    std::memcpy(out, window_.data() + (at - windowAt_), n);
    return Status::Ok();
  }

 private:
  InputFile& file_;
  std::uint64_t start_;
  std::uint64_t size_;
  std::vector<std::uint8_t> window_;
  std::uint64_t windowAt_ = 0;
};

// An entry's name, as stored and as it becomes a file name.
struct EntryName {
  std::u16string stored;
  std::string utf8;
};

// Walks the directory and file tables from the root, depth first, holding only the path of
// the folder being visited and one bit per possible entry (so that no entry is reached twice
// and link loops end the walk).
class TableWalker {
 public:
  TableWalker(InputFile& file, std::uint64_t level3Offset, const RomFsLevel3HeaderRecord& header,
              std::uint64_t level3Size)
      : level3Offset_(level3Offset),
        level3Size_(level3Size),
        dataOffset_(header.dataOffset),
        dirs_(file, level3Offset + header.dirMetaOffset, header.dirMetaSize),
        files_(file, level3Offset + header.fileMetaOffset, header.fileMetaSize) {}

  // With no visitor, checks the whole tree; with one, reports it (checked before).
  Status Walk(RomFsVisitor* visitor) {
    // Entries start on 4-byte boundaries (records and padded names are multiples of 4).
    seenDirs_.assign(static_cast<std::size_t>(dirs_.size() / 4 + 1), false);
    seenFiles_.assign(static_cast<std::size_t>(files_.size() / 4 + 1), false);
    path_.clear();
    RomFsDirRecord root{};
    if (!InRange(0, sizeof(root), dirs_.size())) return Status::Error("RomFS directory entry lies past the end of its table");
    Status s = dirs_.Read(0, &root, sizeof(root));
    if (!s) return s;
    seenDirs_[0] = true;
    s = VisitFolder(root, visitor);
    if (!s) return s;

    struct Frame {
      std::uint32_t nextChild;
      std::size_t pathLength;  // of the folder whose children these are
    };
    std::vector<Frame> stack{{root.firstChild, 0}};
    while (!stack.empty()) {
      const std::uint32_t at = stack.back().nextChild;
      if (at == kRomFsNoEntry) {
        stack.pop_back();
        continue;
      }
      // The parent's visit has checked this entry and its name.
      RomFsDirRecord record{};
      EntryName name;
      s = ReadDir(at, record, name);
      if (!s) return s;
      stack.back().nextChild = record.nextSibling;
      if (stack.size() > static_cast<std::size_t>(kMaxFolderDepth)) {
        return Status::Error("RomFS folders nest deeper than " + std::to_string(kMaxFolderDepth) + " levels");
      }
      path_.resize(stack.back().pathLength);
      if (!path_.empty()) path_ += '/';
      path_ += name.utf8;
      if (visitor && !(s = visitor->Folder(path_))) return s;
      s = VisitFolder(record, visitor);
      if (!s) return s;
      stack.push_back({record.firstChild, path_.size()});
    }
    return Status::Ok();
  }

 private:
  // An entry of a folder, for the check that no two of them are one name on disk.
  struct Named {
    std::uint64_t hash;  // of the folded name
    std::uint32_t at;
    bool folder;
  };

  // A hash that an image cannot make collide on purpose: equal hashes cost a second read of
  // both names, and many of them would make the check slow.
  std::uint64_t FoldedNameHash(const std::u16string& name) {
    const std::u16string folded = FoldNameCase(name);
    hasher_.Reset();
    hasher_.Update(folded.data(), folded.size() * sizeof(char16_t));
    const Sha256Digest digest = hasher_.Final();
    std::uint64_t hash = 0;
    std::memcpy(&hash, digest.data(), sizeof(hash));
    return hash;
  }

  // The name stored after an entry, checked to be one path component that a file system
  // can hold and that is not one of our temporary names.
  static Status ReadName(TableWindow& table, std::uint64_t at, std::uint32_t bytes, const char* kind, EntryName& name) {
    const Status unusable = Status::Error(std::string("RomFS ") + kind + " entry has an unusable name");
    if ((bytes & 1) != 0 || bytes / 2 > kMaxNameUnits || !InRange(at, bytes, table.size())) return unusable;
    std::array<std::uint8_t, 2 * kMaxNameUnits> raw{};
    Status s = table.Read(at, raw.data(), bytes);
    if (!s) return s;
    name.stored.resize(bytes / 2);
    for (std::size_t i = 0; i < name.stored.size(); ++i) {
      name.stored[i] = static_cast<char16_t>(raw[2 * i] | raw[2 * i + 1] << 8);
    }
    auto utf8 = Utf16ToUtf8(name.stored);
    if (!utf8 || !IsSafeComponent(*utf8)) return unusable;
    name.utf8 = std::move(*utf8);
    if (IsTemporaryOutputName(name.stored)) {
      return Status::Error("RomFS " + std::string(kind) + " " + name.utf8 +
                           " has a name that the unpack keeps for its temporary files");
    }
    return Status::Ok();
  }

  Status ReadDir(std::uint32_t at, RomFsDirRecord& record, EntryName& name) {
    if (!InRange(at, sizeof(record), dirs_.size())) return Status::Error("RomFS directory entry lies past the end of its table");
    Status s = dirs_.Read(at, &record, sizeof(record));
    if (!s) return s;
    return ReadName(dirs_, std::uint64_t{at} + sizeof(record), record.nameSize, "directory", name);
  }

  Status ReadFile(std::uint32_t at, RomFsFileRecord& record, EntryName& name) {
    if (!InRange(at, sizeof(record), files_.size())) return Status::Error("RomFS file entry lies past the end of its table");
    Status s = files_.Read(at, &record, sizeof(record));
    if (!s) return s;
    return ReadName(files_, std::uint64_t{at} + sizeof(record), record.nameSize, "file", name);
  }

  // The files of the folder whose path is path_, then the names of its sub-folders.
  Status VisitFolder(const RomFsDirRecord& folder, RomFsVisitor* visitor) {
    const bool checking = visitor == nullptr;
    named_.clear();
    for (std::uint32_t at = folder.firstFile; at != kRomFsNoEntry;) {
      if (at % 4 != 0) return Status::Error("RomFS file entry is not aligned to 4 bytes");
      if (at / 4 < seenFiles_.size() && seenFiles_[at / 4]) return Status::Error("RomFS file entries link in a loop");
      RomFsFileRecord record{};
      EntryName name;
      Status s = ReadFile(at, record, name);
      if (!s) return s;
      seenFiles_[at / 4] = true;
      const std::size_t folderLength = path_.size();
      if (!path_.empty()) path_ += '/';
      path_ += name.utf8;
      if (record.dataOffset > level3Size_ - dataOffset_ ||
          !InRange(dataOffset_ + record.dataOffset, record.dataSize, level3Size_)) {
        return Status::Error("RomFS file " + path_ + " lies past the end of level 3");
      }
      if (checking) {
        named_.push_back({FoldedNameHash(name.stored), at, false});
      } else if (!(s = visitor->File(path_, level3Offset_ + dataOffset_ + record.dataOffset, record.dataSize))) {
        return s;
      }
      path_.resize(folderLength);
      at = record.nextSibling;
    }
    for (std::uint32_t at = folder.firstChild; at != kRomFsNoEntry;) {
      if (at % 4 != 0) return Status::Error("RomFS directory entry is not aligned to 4 bytes");
      if (at == 0 || (at / 4 < seenDirs_.size() && seenDirs_[at / 4])) {
        return Status::Error("RomFS directory entries link in a loop");
      }
      RomFsDirRecord record{};
      EntryName name;
      Status s = ReadDir(at, record, name);
      if (!s) return s;
      seenDirs_[at / 4] = true;
      if (checking) named_.push_back({FoldedNameHash(name.stored), at, true});
      at = record.nextSibling;
    }
    return checking ? CheckOneNameEach() : Status::Ok();
  }

  // Two entries of one folder must not be one file on disk, where letter case may not count.
  Status CheckOneNameEach() {
    std::sort(named_.begin(), named_.end(), [](const Named& a, const Named& b) { return a.hash < b.hash; });
    for (std::size_t i = 0; i < named_.size();) {
      std::size_t end = i + 1;
      while (end < named_.size() && named_[end].hash == named_[i].hash) ++end;
      for (std::size_t a = i; a < end; ++a) {
        for (std::size_t b = a + 1; b < end; ++b) {
          EntryName first, second;
          Status s = NameOf(named_[a], first);
          if (s) s = NameOf(named_[b], second);
          if (!s) return s;
          if (FoldNameCase(first.stored) != FoldNameCase(second.stored)) continue;  // a hash collision
          const std::string where = path_.empty() ? std::string("root folder") : "folder " + path_;
          if (first.stored == second.stored) return Status::Error("RomFS " + where + " holds " + first.utf8 + " twice");
          return Status::Error("RomFS " + where + " holds " + first.utf8 + " and " + second.utf8 +
                               ", one name to a file system that ignores letter case");
        }
      }
      i = end;
    }
    return Status::Ok();
  }

  Status NameOf(const Named& entry, EntryName& name) {
    if (entry.folder) {
      RomFsDirRecord record{};
      return ReadDir(entry.at, record, name);
    }
    RomFsFileRecord record{};
    return ReadFile(entry.at, record, name);
  }

  std::uint64_t level3Offset_;
  std::uint64_t level3Size_;
  std::uint64_t dataOffset_;
  TableWindow dirs_;
  TableWindow files_;
  std::vector<bool> seenDirs_;
  std::vector<bool> seenFiles_;
  std::string path_;
  // Grows in blocks: a folder of a million entries never needs a second copy of the list.
  std::deque<Named> named_;
  Sha256 hasher_;
};

}  // namespace

Result<RomFsLevel3> WalkRomFs(InputFile& file, std::uint64_t offset, std::uint64_t size, RomFsVisitor& visitor) {
  auto layout = ReadIvfcLayout(file, offset, size);
  if (!layout) return layout.status();
  const IvfcLevel& l3 = layout->levels[2];
  RomFsLevel3 level3;
  level3.offset = offset + l3.offset;
  if (l3.size < sizeof(RomFsLevel3HeaderRecord)) return Status::Error("RomFS level 3 is shorter than its header");
  std::array<std::uint8_t, sizeof(RomFsLevel3HeaderRecord)> raw{};
  Status s = file.ReadAt(level3.offset, raw.data(), raw.size());
  if (!s) return s;
  level3.header = *ReadLE<RomFsLevel3HeaderRecord>(raw, 0);
  const RomFsLevel3HeaderRecord& h = level3.header;
  if (h.headerSize != sizeof(RomFsLevel3HeaderRecord)) return Status::Error("RomFS level-3 header has a wrong size");
  for (auto [tableOffset, tableSize] : {std::pair{h.dirHashOffset, h.dirHashSize}, std::pair{h.dirMetaOffset, h.dirMetaSize},
                                        std::pair{h.fileHashOffset, h.fileHashSize}, std::pair{h.fileMetaOffset, h.fileMetaSize}}) {
    if (!InRange(tableOffset, tableSize, l3.size)) return Status::Error("RomFS table lies past the end of level 3");
    if (tableSize > kMaxTableSize) return Status::Error("RomFS table is larger than any RomFS has");
  }
  if (h.dataOffset > l3.size) return Status::Error("RomFS file data starts past the end of level 3");

  TableWalker walker(file, level3.offset, h, l3.size);
  s = walker.Walk(nullptr);
  if (s) s = visitor.Begin();
  if (s) s = walker.Walk(&visitor);
  if (!s) return s;
  return level3;
}

Status RomFsReader::Open(InputFile& file, std::uint64_t offset, std::uint64_t size) {
  files_.clear();
  folders_.clear();
  index_.clear();
  struct Collector final : RomFsVisitor {
    explicit Collector(RomFsReader& r) : reader(r) {}
    Status Folder(const std::string& path) override {
      reader.folders_.push_back(path);
      return Status::Ok();
    }
    Status File(const std::string& path, std::uint64_t at, std::uint64_t bytes) override {
      reader.index_.emplace(path, reader.files_.size());
      reader.files_.push_back({path, at, bytes});
      return Status::Ok();
    }
    RomFsReader& reader;
  } collector(*this);
  auto level3 = WalkRomFs(file, offset, size, collector);
  if (!level3) {
    files_.clear();
    folders_.clear();
    index_.clear();
    return level3.status();
  }
  level3Offset_ = level3->offset;
  level3Header_ = level3->header;
  return Status::Ok();
}

std::optional<RomFsReader::FileEntry> RomFsReader::Find(std::string_view path) const {
  auto it = index_.find(std::string(path));
  if (it == index_.end()) return std::nullopt;
  return files_[it->second];
}

Status ExtractRomFs(const fs::path& romfsImage, const fs::path& outFolder) {
  InputFile in;
  Status s = in.Open(romfsImage);
  if (!s) return s;
  // Folders and files are made as the walk reports them, so that only the path at hand is
  // ever held, however many entries and however deep the image.
  class Unpacker final : public RomFsVisitor {
   public:
    Unpacker(InputFile& image, const fs::path& out) : image_(image), out_(out) {}
    Status Begin() override {
      std::error_code ec;
      fs::create_directories(out_, ec);
      if (!fs::is_directory(out_, ec)) return Status::Error("cannot create folder " + Utf8(out_));
      return Status::Ok();
    }
    Status Folder(const std::string& path) override {
      const fs::path folder = out_ / PathFromUtf8(path);
      std::error_code ec;
      fs::create_directory(folder, ec);
      if (!fs::is_directory(folder, ec)) return Status::Error("cannot create folder " + Utf8(folder));
      return Status::Ok();
    }
    Status File(const std::string& path, std::uint64_t offset, std::uint64_t size) override {
      OutputFile file;
      Status status = file.Open(out_ / PathFromUtf8(path));
      if (status) status = file.AppendFrom(image_, offset, size);
      if (status) status = file.Commit();
      return status;
    }

   private:
    InputFile& image_;
    const fs::path& out_;
  } unpacker(in, outFolder);
  auto walked = WalkRomFs(in, 0, in.size(), unpacker);
  if (!walked) return Status::Error(Utf8(romfsImage) + ": " + walked.message());
  return Status::Ok();
}

// ---------------------------------------------------------------- verifying

namespace {

// Hashes every block of `level` and compares it with the hash list that starts at
// hashesAt (absolute) in the file.
Status CheckLevel(InputFile& file, std::uint64_t base, const IvfcLevel& level, std::uint64_t hashesAt,
                  const char* levelName) {
  const std::uint64_t blocks = level.Blocks();
  const std::uint64_t perChunk = std::max<std::uint64_t>(1, kChunk / level.blockSize);
  std::vector<std::uint8_t> data;
  std::vector<std::uint8_t> hashes;
  Sha256 hasher;
  for (std::uint64_t first = 0; first < blocks; first += perChunk) {
    const std::uint64_t count = std::min(perChunk, blocks - first);
    data.resize(static_cast<std::size_t>(count * level.blockSize));
    hashes.resize(static_cast<std::size_t>(count * kHashSize));
    Status s = file.ReadAt(base + level.offset + first * level.blockSize, data.data(), data.size());
    if (!s) return s;
    s = file.ReadAt(hashesAt + first * kHashSize, hashes.data(), hashes.size());
    if (!s) return s;
    for (std::uint64_t i = 0; i < count; ++i) {
      hasher.Reset();
      hasher.Update(data.data() + i * level.blockSize, static_cast<std::size_t>(level.blockSize));
      const Sha256Digest digest = hasher.Final();
      if (std::memcmp(digest.data(), hashes.data() + i * kHashSize, kHashSize) != 0) {
        return Status::Error(std::string("RomFS ") + levelName + " block " + std::to_string(first + i) +
                             " does not match its hash");
      }
    }
  }
  return Status::Ok();
}

}  // namespace

Status VerifyRomFs(InputFile& file, std::uint64_t offset, std::uint64_t size) {
  auto layout = ReadIvfcLayout(file, offset, size);
  if (!layout) return layout.status();
  const IvfcLevel* l = layout->levels;
  Status s = CheckIvfcHashLevels(*layout, size);
  if (!s) return s;
  s = CheckLevel(file, offset, l[0], offset + kIvfcMasterHashOffset, "level 1");
  if (!s) return s;
  s = CheckLevel(file, offset, l[1], offset + l[0].offset, "level 2");
  if (!s) return s;
  return CheckLevel(file, offset, l[2], offset + l[1].offset, "level 3");
}

Result<IvfcLayout> ReadIvfcLayout(Reader& in, std::uint64_t offset, std::uint64_t size) {
  if (!InRange(offset, size, in.size())) return Status::Error("RomFS lies past the end of " + in.name());
  if (size < kIvfcMasterHashOffset) return Status::Error("RomFS is shorter than its IVFC header");
  IvfcHeaderRecord header{};
  Status s = in.ReadAt(offset, &header, sizeof(header));
  if (!s) return s;
  return ParseIvfcHeader(header, size);
}

Status CheckIvfcHashLevels(const IvfcLayout& layout, std::uint64_t size) {
  const IvfcLevel* l = layout.levels;
  if (layout.end > size) return Status::Error("RomFS hash levels lie past the end of the RomFS");
  if (layout.masterHashSize < kHashSize * l[0].Blocks() || l[0].size < kHashSize * l[1].Blocks() ||
      l[1].size < kHashSize * l[2].Blocks()) {
    return Status::Error("RomFS hash levels are too small for the levels they cover");
  }
  return Status::Ok();
}

std::uint64_t RomFsHashRegionSize(std::uint32_t masterHashSize, std::uint64_t mediaUnit) {
  return AlignUp(kIvfcMasterHashOffset + std::uint64_t{masterHashSize}, mediaUnit);
}

Result<RomFsSuperblock> ReadRomFsSuperblock(InputFile& file, std::uint64_t offset, std::uint64_t size,
                                            std::uint64_t mediaUnit) {
  if (mediaUnit == 0) return Status::Error("media unit is zero");
  auto layout = ReadIvfcLayout(file, offset, size);
  if (!layout) return layout.status();
  RomFsSuperblock superblock;
  superblock.hashRegionSize = RomFsHashRegionSize(static_cast<std::uint32_t>(layout->masterHashSize), mediaUnit);
  if (superblock.hashRegionSize > size) return Status::Error("RomFS hash region lies past the end of the RomFS");
  Status s = HashRange(file, offset, superblock.hashRegionSize, superblock.hash);
  if (!s) return s;
  return superblock;
}

}  // namespace ctr
