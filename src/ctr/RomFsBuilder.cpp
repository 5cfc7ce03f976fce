// Building a RomFS from a folder tree: the tree read in 3dstool's order, the directory and file
// tables with their hash buckets, then the file data streamed through the hash tree's writer.
#include "ctr/RomFs.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <system_error>

#include "ctr/Names.h"
#include "ctr/RomFsHashTree.h"

namespace ctr {

namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t kDataAlignment = 0x10;
constexpr std::uint32_t kNameSeed = 123456789;

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
    if (!fs::is_directory(root, ec)) return Status::Error("no such folder: " + PathText(root));
    dirs.emplace_back();
    Status s = ScanDir(root, 0, 0);
    if (!s) return s;
    PruneEmptyFolders(0);
    return Status::Ok();
  }

 private:
  Status ScanDir(fs::path path, std::size_t index, int depth) {
    if (depth > kRomFsMaxFolderDepth) return Status::Error("folders nested too deeply (a link loop?) at " + PathText(path));
    std::error_code ec;
    fs::directory_iterator it(path, ec);
    if (ec) return Status::Error("cannot list " + PathText(path));
    std::vector<BuildDir> subdirs;
    for (; it != fs::directory_iterator(); it.increment(ec)) {
      const fs::path entryPath = it->path();
      const std::u8string raw = entryPath.filename().u8string();
      const std::string name(raw.begin(), raw.end());
      auto name16 = Utf8ToUtf16(name);
      if (!name16) return Status::Error("file name is not valid text: " + PathText(entryPath));
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
        if (typeError) return Status::Error("cannot read the size of " + PathText(entryPath));
        dirs[index].files.push_back(std::move(file));
      }
    }
    if (ec) return Status::Error("cannot list " + PathText(path));
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
  if (dataOffset > kRomFsMaxTableSize) return Status::Error("too many files and folders for a RomFS");
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

  const IvfcLayout layout = PlanIvfcLayout(dataOffset + dataEnd);
  OutputFile out;
  s = out.Open(romfsImage);
  if (!s) return s;
  // Room for the header and master hash, which the writer fills in at the end.
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
      if (in.size() != file.size) return Status::Error(PathText(file.path) + " changed while the RomFS was built");
      s = writer.AppendFile(in, file.size);
      if (!s) return s;
    }
  }
  s = writer.Finish();
  if (!s) return s;
  return out.Commit();
}

}  // namespace ctr
