#include "core/patches/PatchArchive.h"

#include <archive.h>
#include <archive_entry.h>

#include <algorithm>
#include <array>
#include <memory>
#include <system_error>
#include <type_traits>

#include "core/common/CodePage.h"
#include "core/common/Common.h"
#include "core/localization/TokenText.h"
#include "core/patches/ModPatch.h"
#include "core/rom/PatchList.h"
#include "ctr/Io.h"

namespace qpt {

namespace fs = std::filesystem;

namespace {

// ---------------------------------------------------------------- reading through our own files
// libarchive reads through these callbacks rather than opening the file itself, so that a path
// in any script opens on every system and reads stay 64-bit.
struct TSource {
  ctr::InputFile file;
  std::uint64_t position = 0;
  std::vector<std::uint8_t> buffer = std::vector<std::uint8_t>(std::size_t{1} << 20);
};

la_ssize_t ReadSource(struct archive* a, void* data, const void** block) {
  auto* source = static_cast<TSource*>(data);
  const std::uint64_t left = source->file.size() - std::min(source->position, source->file.size());
  const std::size_t size = static_cast<std::size_t>(std::min<std::uint64_t>(left, source->buffer.size()));
  *block = source->buffer.data();
  if (size == 0) return 0;
  const ctr::Status status = source->file.ReadAt(source->position, source->buffer.data(), size);
  if (!status) {
    archive_set_error(a, EIO, "%s", status.message().c_str());
    return -1;
  }
  source->position += size;
  return static_cast<la_ssize_t>(size);
}

la_int64_t SeekSource(struct archive*, void* data, la_int64_t offset, int whence) {
  auto* source = static_cast<TSource*>(data);
  const auto size = static_cast<la_int64_t>(source->file.size());
  la_int64_t base = 0;
  if (whence == SEEK_CUR) base = static_cast<la_int64_t>(source->position);
  if (whence == SEEK_END) base = size;
  if ((offset < 0 && base < -offset) || (offset > 0 && offset > size - base)) return ARCHIVE_FATAL;
  source->position = static_cast<std::uint64_t>(base + offset);
  return static_cast<la_int64_t>(source->position);
}

la_int64_t SkipSource(struct archive*, void* data, la_int64_t request) {
  auto* source = static_cast<TSource*>(data);
  if (request <= 0) return 0;
  const std::uint64_t left = source->file.size() - std::min(source->position, source->file.size());
  const std::uint64_t skipped = std::min<std::uint64_t>(left, static_cast<std::uint64_t>(request));
  source->position += skipped;
  return static_cast<la_int64_t>(skipped);
}

struct TArchiveFree {
  void operator()(struct archive* a) const { archive_read_free(a); }
};
using TArchivePtr = std::unique_ptr<struct archive, TArchiveFree>;

std::string ArchiveError(struct archive* a) {
  const char* text = archive_error_string(a);
  return text && *text ? text : "unknown error";
}

// Only the formats patches come in: every further reader is more code facing hostile files.
TArchivePtr OpenReader(TSource& source, std::string* error) {
  TArchivePtr a(archive_read_new());
  archive_read_support_format_zip(a.get());
  archive_read_support_format_7zip(a.get());
  archive_read_support_format_rar(a.get());
  archive_read_support_format_rar5(a.get());
  archive_read_set_read_callback(a.get(), ReadSource);
  archive_read_set_seek_callback(a.get(), SeekSource);
  archive_read_set_skip_callback(a.get(), SkipSource);
  archive_read_set_callback_data(a.get(), &source);
  if (archive_read_open1(a.get()) != ARCHIVE_OK) {
    *error = ArchiveError(a.get());
    return nullptr;
  }
  return a;
}

// ---------------------------------------------------------------- names
// Whether Windows takes the name for a device ("CON", "aux.txt", "LPT1"), whatever folder it
// stands in: writing there would reach the device instead of a file.
bool DeviceName(const std::string& part) {
  const std::string stem = Lower(part.substr(0, part.find('.')));
  for (const char* device : {"con", "prn", "aux", "nul"}) {
    if (stem == device) return true;
  }
  return stem.size() == 4 && (stem.rfind("com", 0) == 0 || stem.rfind("lpt", 0) == 0) && stem[3] >= '1' && stem[3] <= '9';
}

// An entry's path as its parts, or nothing when it would leave the folder it is unpacked into:
// an absolute path, a drive, "..", or a part that Windows would read as one of those (dots and
// spaces only, since Windows drops them at a name's end), as a stream of a file (":") or as a
// device. Empty for an entry that names the folder itself.
std::optional<std::vector<std::string>> SafeParts(std::string_view name) {
  if (name.empty() || name.front() == '/' || name.front() == '\\') return std::nullopt;
  std::vector<std::string> parts;
  std::string part;
  const auto take = [&]() -> bool {
    if (part.empty() || part == ".") return part.clear(), true;
    if (part.find_first_not_of(". ") == std::string::npos) return false;
    if (part.find(':') != std::string::npos || DeviceName(part)) return false;
    for (const char c : part) {
      if (static_cast<unsigned char>(c) < 0x20) return false;
    }
    parts.push_back(part);
    part.clear();
    return true;
  };
  for (const char c : name) {
    if (c == '/' || c == '\\') {
      if (!take()) return std::nullopt;
    } else {
      part += c;
    }
  }
  if (!take()) return std::nullopt;
  return parts;
}

// Whether a link at parts, pointing to target, stays inside the folder.
bool LinkStaysInside(const std::vector<std::string>& parts, std::string_view target) {
  if (target.empty() || target.front() == '/' || target.front() == '\\') return false;
  if (target.size() >= 2 && target[1] == ':') return false;
  std::vector<std::string> at(parts.begin(), parts.end() - (parts.empty() ? 0 : 1));
  std::string part;
  const auto step = [&]() -> bool {
    if (part == "..") {
      if (at.empty()) return false;
      at.pop_back();
    } else if (!part.empty() && part != ".") {
      at.push_back(part);
    }
    part.clear();
    return true;
  };
  for (const char c : target) {
    if (c == '/' || c == '\\') {
      if (!step()) return false;
    } else {
      part += c;
    }
  }
  return step();
}

// ---------------------------------------------------------------- the entries
struct TEntry {
  std::string raw;  // the name as libarchive gives it: UTF-8, or the stored bytes of an old zip
  std::string name;
  std::vector<std::string> parts;
  enum class Kind { File, Folder, Link, Other } kind = Kind::Other;
  std::string link;
  bool hardLink = false;  // its target is a path from the archive's top, not from the link
  std::uint64_t size = 0;
};

std::string WideToUtf8(const wchar_t* wide) { return PathToUtf8(fs::path(std::wstring(wide))); }

// The raw name of the current entry. In a UTF-8 thread locale libarchive gives names stored as
// Unicode (7z, RAR, zip's UTF-8 flag) as UTF-8 and the names of old zip files as they are
// stored. On Windows, whose C library stays in the "C" locale, old names come as stored too,
// and Unicode ones only in their wide form.
std::string RawName(struct archive_entry* entry) {
  if (const char* name = archive_entry_pathname(entry)) return name;
  if (const char* name = archive_entry_pathname_utf8(entry)) return name;
  if (const wchar_t* name = archive_entry_pathname_w(entry)) return WideToUtf8(name);
  return {};
}

std::string LinkTarget(struct archive_entry* entry) {
  if (const char* link = archive_entry_symlink_utf8(entry)) return link;
  if (const char* link = archive_entry_symlink(entry)) return link;
  if (const wchar_t* link = archive_entry_symlink_w(entry)) return WideToUtf8(link);
  if (const char* link = archive_entry_hardlink_utf8(entry)) return link;
  if (const char* link = archive_entry_hardlink(entry)) return link;
  if (const wchar_t* link = archive_entry_hardlink_w(entry)) return WideToUtf8(link);
  return {};
}

TArchiveRefusal Refusal(std::string key, std::string detail = {}) { return {std::move(key), std::move(detail)}; }

bool Encrypted(struct archive* a, struct archive_entry* entry) {
  return (entry && archive_entry_is_encrypted(entry)) || archive_read_has_encrypted_entries(a) > 0;
}

// Reads every header and checks it; nothing is written.
std::optional<TArchiveRefusal> ScanEntries(TSource& source, const fs::path& archive, std::uint64_t bound,
                                           std::vector<TEntry>& entries, std::uint64_t& declared) {
  std::string error;
  TArchivePtr a = OpenReader(source, &error);
  if (!a) return Refusal("ErrorArchiveDamaged", error);
  struct archive_entry* entry = nullptr;
  declared = 0;
  for (;;) {
    const int r = archive_read_next_header(a.get(), &entry);
    if (r == ARCHIVE_EOF) break;
    if (r < ARCHIVE_WARN) {
      if (Encrypted(a.get(), nullptr)) return Refusal("ErrorArchiveEncrypted", PathToUtf8(archive.filename()));
      return Refusal("ErrorArchiveDamaged", ArchiveError(a.get()));
    }
    if (Encrypted(a.get(), entry)) return Refusal("ErrorArchiveEncrypted", PathToUtf8(archive.filename()));
    TEntry e;
    e.raw = RawName(entry);
    const auto type = archive_entry_filetype(entry);
    if (archive_entry_hardlink(entry) || archive_entry_hardlink_utf8(entry) || type == AE_IFLNK) {
      e.kind = TEntry::Kind::Link;
      e.link = LinkTarget(entry);
      e.hardLink = type != AE_IFLNK;
    } else if (type == AE_IFREG) {
      e.kind = TEntry::Kind::File;
      e.size = archive_entry_size_is_set(entry) ? static_cast<std::uint64_t>(std::max<la_int64_t>(0, archive_entry_size(entry))) : 0;
      declared += std::min(e.size, bound + 1);
      if (declared > bound) return Refusal("ErrorArchiveTooLarge", PathToUtf8(archive.filename()));
    } else if (type == AE_IFDIR) {
      e.kind = TEntry::Kind::Folder;
    }
    entries.push_back(std::move(e));
    // A file's data is left unread here: the next header skips it.
  }
  std::vector<std::string> raws;
  raws.reserve(entries.size());
  for (const TEntry& e : entries) raws.push_back(e.raw);
  const std::vector<std::string> names = DecodeEntryNames(raws);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    TEntry& e = entries[i];
    e.name = names[i];
    auto parts = SafeParts(e.name);
    if (!parts) return Refusal("ErrorArchiveUnsafePath", e.name);
    for (const std::string& part : *parts) {
      if (ctr::IsTemporaryOutputName(PathFromUtf8(part).u16string())) return Refusal("ErrorArchiveUnsafePath", e.name);
    }
    e.parts = std::move(*parts);
    if (e.kind == TEntry::Kind::Link && !(e.hardLink ? SafeParts(e.link).has_value() : LinkStaysInside(e.parts, e.link))) {
      return Refusal("ErrorArchiveLinkOut", e.name);
    }
  }
  return std::nullopt;
}

class TFolderGuard {
 public:
  explicit TFolderGuard(fs::path folder) : folder_(std::move(folder)) {}
  ~TFolderGuard() {
    if (!kept_) DeleteFolder(folder_);
  }
  TFolderGuard(const TFolderGuard&) = delete;
  TFolderGuard& operator=(const TFolderGuard&) = delete;
  void Keep() { kept_ = true; }

 private:
  fs::path folder_;
  bool kept_ = false;
};

fs::path FolderOf(const fs::path& root, const std::vector<std::string>& parts) {
  fs::path path = root;
  for (const std::string& part : parts) path /= PathFromUtf8(part);
  return path;
}

std::optional<TArchiveRefusal> WriteFailure(const fs::path& path, const std::error_code& error) {
  return Refusal("ErrorArchiveWrite", PathToUtf8(path) + ": " + ctr::SystemReason(error));
}

}  // namespace

bool IsPatchArchive(const fs::path& path) {
  const std::string extension = Lower(PathToUtf8(path.extension()));
  return extension == ".zip" || extension == ".7z" || extension == ".rar";
}

std::uint64_t TArchiveLimits::Bound(std::uint64_t archiveSize) const {
  const std::uint64_t byRatio = archiveSize > maxBytes / std::max<std::uint64_t>(maxRatio, 1) ? maxBytes : archiveSize * maxRatio;
  return std::min(maxBytes, byRatio);
}

std::vector<std::string> DecodeEntryNames(const std::vector<std::string>& raw) {
  // A byte above 0x7F beside a Latin letter is an accented letter of a Western word (cp437);
  // one among others of its kind is a letter of a Cyrillic word (cp866), whose words have
  // nothing but such bytes.
  std::uint64_t western = 0;
  std::uint64_t cyrillic = 0;
  const auto latin = [](unsigned char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
  for (const std::string& name : raw) {
    if (IsUtf8Text(name)) continue;
    for (std::size_t i = 0; i < name.size(); ++i) {
      if (static_cast<unsigned char>(name[i]) < 0x80) continue;
      const bool besideLatin = (i > 0 && latin(static_cast<unsigned char>(name[i - 1]))) ||
                               (i + 1 < name.size() && latin(static_cast<unsigned char>(name[i + 1])));
      (besideLatin ? western : cyrillic) += 1;
    }
  }
  const int codePage = cyrillic > western ? 866 : 437;
  std::vector<std::string> names;
  names.reserve(raw.size());
  for (const std::string& name : raw) {
    if (IsUtf8Text(name)) {
      names.push_back(name);
    } else {
      names.push_back(DecodeCodePage(name, codePage).value_or(name));
    }
  }
  return names;
}

std::optional<TArchiveRefusal> UnpackArchive(const fs::path& archive, const fs::path& folder, const TUnpackOptions& options) {
  TUtf8ThreadLocale utf8Names;
  TSource source;
  if (const ctr::Status opened = source.file.Open(archive); !opened) return Refusal("ErrorArchiveDamaged", opened.message());
  const std::uint64_t bound = options.limits.Bound(source.file.size());

  std::vector<TEntry> entries;
  std::uint64_t declared = 0;
  if (auto refusal = ScanEntries(source, archive, bound, entries, declared)) return refusal;

  std::error_code ec;
  if (fs::exists(fs::symlink_status(folder, ec))) return WriteFailure(folder, std::make_error_code(std::errc::file_exists));
  if (!fs::create_directories(folder, ec)) return WriteFailure(folder, ec);
  TFolderGuard guard(folder);

  source.position = 0;
  std::string error;
  TArchivePtr a = OpenReader(source, &error);
  if (!a) return Refusal("ErrorArchiveDamaged", error);
  std::uint64_t written = 0;
  struct archive_entry* header = nullptr;
  for (const TEntry& e : entries) {
    const int r = archive_read_next_header(a.get(), &header);
    // The second reading must meet the entries the first one checked, or the file changed.
    if (r < ARCHIVE_WARN || r == ARCHIVE_EOF || RawName(header) != e.raw) {
      return Refusal("ErrorArchiveDamaged", r < ARCHIVE_WARN ? ArchiveError(a.get()) : PathToUtf8(archive.filename()));
    }
    const fs::path target = FolderOf(folder, e.parts);
    if (e.kind == TEntry::Kind::Link) {
      if (options.skippedLinks) options.skippedLinks->push_back(e.name);
      continue;
    }
    if (e.kind == TEntry::Kind::Folder) {
      fs::create_directories(target, ec);
      if (ec) return WriteFailure(target, ec);
      continue;
    }
    if (e.kind != TEntry::Kind::File || e.parts.empty()) continue;
    fs::create_directories(target.parent_path(), ec);
    if (ec) return WriteFailure(target.parent_path(), ec);
    ctr::OutputFile out;
    if (const ctr::Status opened = out.Open(target); !opened) return Refusal("ErrorArchiveWrite", opened.message());
    for (;;) {
      const void* block = nullptr;
      std::size_t size = 0;
      la_int64_t offset = 0;
      const int d = archive_read_data_block(a.get(), &block, &size, &offset);
      if (d == ARCHIVE_EOF) break;
      // A wrong checksum comes as a warning; for a patch it is damage all the same.
      if (d != ARCHIVE_OK) {
        if (Encrypted(a.get(), header)) return Refusal("ErrorArchiveEncrypted", PathToUtf8(archive.filename()));
        return Refusal("ErrorArchiveDamaged", e.name + ": " + ArchiveError(a.get()));
      }
      if (offset < 0 || static_cast<std::uint64_t>(offset) < out.position()) {
        return Refusal("ErrorArchiveDamaged", e.name);
      }
      const std::uint64_t gap = static_cast<std::uint64_t>(offset) - out.position();
      if (gap > bound - std::min(bound, written) || size > bound - std::min(bound, written + gap)) {
        return Refusal("ErrorArchiveTooLarge", PathToUtf8(archive.filename()));
      }
      if (gap > 0) {
        if (const ctr::Status filled = out.Fill(0, gap); !filled) return Refusal("ErrorArchiveWrite", filled.message());
      }
      if (const ctr::Status wrote = out.Write(block, size); !wrote) return Refusal("ErrorArchiveWrite", wrote.message());
      written += gap + size;
      if (options.progress && !options.progress(written, std::max(declared, written))) {
        return Refusal("ErrorArchiveStopped", PathToUtf8(archive.filename()));
      }
    }
    if (const ctr::Status committed = out.Commit(); !committed) return Refusal("ErrorArchiveWrite", committed.message());
  }
  guard.Keep();
  return std::nullopt;
}

// ---------------------------------------------------------------- writing a zip
namespace {

struct TSink {
  ctr::OutputFile out;
  ctr::Status status;
};

la_ssize_t WriteSink(struct archive*, void* data, const void* buffer, std::size_t size) {
  auto* sink = static_cast<TSink*>(data);
  sink->status = sink->out.Write(buffer, size);
  return sink->status ? static_cast<la_ssize_t>(size) : -1;
}

struct TWriterFree {
  void operator()(struct archive* a) const { archive_write_free(a); }
};

struct TEntryFree {
  void operator()(struct archive_entry* e) const { archive_entry_free(e); }
};

// An entry's name given in the system's own form of the path: wide on Windows, where libarchive
// cannot take a name beyond the C library's "C" locale in any other form, UTF-8 elsewhere.
template <typename Char>
void SetEntryName(struct archive_entry* entry, const std::basic_string<Char>& native, const std::string& utf8) {
  if constexpr (std::is_same_v<Char, wchar_t>) {
    archive_entry_copy_pathname_w(entry, native.c_str());
  } else {
    archive_entry_update_pathname_utf8(entry, utf8.c_str());
  }
}

}  // namespace

std::optional<TArchiveRefusal> PackFolderAsZip(const fs::path& folder, const fs::path& zip) {
  TUtf8ThreadLocale utf8Names;
  std::error_code ec;
  std::vector<fs::path> paths;
  for (auto it = fs::recursive_directory_iterator(folder, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    if (it->is_symlink(ec)) {
      it.disable_recursion_pending();
      continue;
    }
    paths.push_back(it->path());
  }
  if (ec) return WriteFailure(folder, ec);
  std::sort(paths.begin(), paths.end());

  TSink sink;
  if (const ctr::Status opened = sink.out.Open(zip); !opened) return Refusal("ErrorArchiveWrite", opened.message());
  std::unique_ptr<struct archive, TWriterFree> a(archive_write_new());
  archive_write_set_format_zip(a.get());
  archive_write_set_options(a.get(), "zip:hdrcharset=UTF-8");
  archive_write_set_bytes_in_last_block(a.get(), 1);
  if (archive_write_open2(a.get(), &sink, nullptr, WriteSink, nullptr, nullptr) != ARCHIVE_OK) {
    return Refusal("ErrorArchiveWrite", ArchiveError(a.get()));
  }
  const auto failed = [&]() {
    return Refusal("ErrorArchiveWrite", sink.status ? ArchiveError(a.get()) : sink.status.message());
  };
  std::vector<char> buffer(std::size_t{1} << 20);
  for (const fs::path& path : paths) {
    const bool isFolder = fs::is_directory(path, ec);
    std::unique_ptr<struct archive_entry, TEntryFree> entry(archive_entry_new());
    const std::string name = GenericUtf8(path.lexically_relative(folder)) + (isFolder ? "/" : "");
    SetEntryName(entry.get(), PathFromUtf8(name).native(), name);
    archive_entry_set_filetype(entry.get(), isFolder ? AE_IFDIR : AE_IFREG);
    archive_entry_set_perm(entry.get(), isFolder ? 0755 : 0644);
    ctr::InputFile in;
    if (!isFolder) {
      if (const ctr::Status opened = in.Open(path); !opened) return Refusal("ErrorArchiveWrite", opened.message());
      archive_entry_set_size(entry.get(), static_cast<la_int64_t>(in.size()));
    }
    if (archive_write_header(a.get(), entry.get()) != ARCHIVE_OK) return failed();
    for (std::uint64_t offset = 0; !isFolder && offset < in.size();) {
      const std::size_t size = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), in.size() - offset));
      if (const ctr::Status read = in.ReadAt(offset, buffer.data(), size); !read) {
        return Refusal("ErrorArchiveWrite", read.message());
      }
      if (archive_write_data(a.get(), buffer.data(), size) != static_cast<la_ssize_t>(size)) return failed();
      offset += size;
    }
  }
  if (archive_write_close(a.get()) != ARCHIVE_OK) return failed();
  if (const ctr::Status committed = sink.out.Commit(); !committed) return Refusal("ErrorArchiveWrite", committed.message());
  return std::nullopt;
}

// ---------------------------------------------------------------- patches
bool HoldsPatch(const fs::path& folder) {
  return PatchFolderTitle(folder, "").has_value() || ReadModPatch(folder).has_value();
}

namespace {

// The folder of the unpacked archive that is the patch: the archive's top, or the one folder
// it wraps everything in (besides what macOS adds to the zip files it makes).
std::optional<fs::path> PatchInside(const fs::path& unpacked) {
  if (HoldsPatch(unpacked)) return unpacked;
  std::error_code ec;
  std::optional<fs::path> only;
  for (const auto& item : fs::directory_iterator(unpacked, ec)) {
    if (item.path().filename() == "__MACOSX") continue;
    if (only || !item.is_directory(ec)) return std::nullopt;
    only = item.path();
  }
  if (only && HoldsPatch(*only)) return only;
  return std::nullopt;
}

}  // namespace

fs::path ArchiveImportTarget(const fs::path& archive, const fs::path& patchRoot) {
  return patchRoot / archive.stem();
}

TArchiveImport UnpackPatchArchiveForCheck(const fs::path& archive, const fs::path& scratch, const TUnpackOptions& options) {
  TArchiveImport result;
  TUnpackOptions own = options;
  own.skippedLinks = &result.imported.skippedLinks;
  if ((result.refusal = UnpackArchive(archive, scratch, own))) return result;
  const auto inside = PatchInside(scratch);
  if (!inside) {
    result.refusal = Refusal("ErrorArchiveNoPatch", PathToUtf8(archive.filename()));
    return result;
  }
  result.imported.folder = *inside;
  return result;
}

TArchiveImport ImportPatchArchive(const fs::path& archive, const fs::path& patchRoot, bool replace,
                                  const TUnpackOptions& options) {
  TArchiveImport result;
  const fs::path target = ArchiveImportTarget(archive, patchRoot);
  std::error_code ec;
  const bool exists = fs::exists(fs::symlink_status(target, ec));
  if (exists && !replace) {
    result.refusal = Refusal("ErrorArchiveTargetExists", PathToUtf8(target));
    return result;
  }
  const std::string name = PathToUtf8(target.filename());
  const fs::path scratch = patchRoot / PathFromUtf8(name + std::string(ctr::kTemporaryOutputSuffix));
  const fs::path old = patchRoot / PathFromUtf8(name + ".old" + std::string(ctr::kTemporaryOutputSuffix));
  // Left by a run that was cut off; never a player's own folder, given its name.
  DeleteFolder(scratch);
  DeleteFolder(old);
  result = UnpackPatchArchiveForCheck(archive, scratch, options);
  TFolderGuard guard(scratch);
  if (result.refusal) return result;
  // The finished patch takes the place of the old folder in two renames, so that a failure in
  // between leaves the old one whole under its own name.
  if (exists && !RenameFile(target, old)) {
    result.refusal = Refusal("ErrorArchiveWrite", PathToUtf8(target));
    return result;
  }
  if (!RenameFile(result.imported.folder, target)) {
    if (exists) RenameFile(old, target);
    result.refusal = Refusal("ErrorArchiveWrite", PathToUtf8(target));
    return result;
  }
  if (exists) DeleteFolder(old);
  result.imported.folder = target;
  return result;
}

}  // namespace qpt
