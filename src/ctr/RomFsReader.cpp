// Reading a RomFS that may be hostile: the walk over its tables checks the whole tree before
// it reports anything, and the unpack and the in-memory file list are built on that walk.
#include "ctr/RomFs.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <deque>
#include <system_error>

#include "ctr/Names.h"
#include "ctr/RomFsHashTree.h"

namespace ctr {

namespace fs = std::filesystem;

namespace {

// Longer names cannot be made on the file systems we unpack to (NTFS and APFS take 255
// UTF-16 units, ext4 255 bytes).
constexpr std::size_t kMaxNameUnits = 255;
// The metadata tables are read through a window of this size.
constexpr std::size_t kTableWindow = 64 << 10;

fs::path PathFromUtf8(const std::string& utf8) { return fs::path(std::u8string(utf8.begin(), utf8.end())); }

// A name from an image becomes one component of a path on disk: nothing that could climb out
// of the output folder or split into several components.
bool IsSafeComponent(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  return std::none_of(name.begin(), name.end(), [](char c) {
    return c == '/' || c == '\\' || static_cast<unsigned char>(c) < 0x20;
  });
}

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
      if (stack.size() > static_cast<std::size_t>(kRomFsMaxFolderDepth)) {
        return Status::Error("RomFS folders nest deeper than " + std::to_string(kRomFsMaxFolderDepth) + " levels");
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
    if (tableSize > kRomFsMaxTableSize) return Status::Error("RomFS table is larger than any RomFS has");
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
      if (!fs::is_directory(out_, ec)) return Status::Error("cannot create folder " + PathText(out_));
      return Status::Ok();
    }
    Status Folder(const std::string& path) override {
      const fs::path folder = out_ / PathFromUtf8(path);
      std::error_code ec;
      fs::create_directory(folder, ec);
      if (!fs::is_directory(folder, ec)) return Status::Error("cannot create folder " + PathText(folder));
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
  if (!walked) return Status::Error(PathText(romfsImage) + ": " + walked.message());
  return Status::Ok();
}

}  // namespace ctr
