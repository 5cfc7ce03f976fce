// The parts of the volume facts that every platform shares: which mount point holds a path,
// and the naming rules of the card's file systems.
#include "core/common/Volume.h"

#include <algorithm>
#include <map>

#include "core/common/Common.h"
#include "ctr/Names.h"

namespace qpt {

namespace fs = std::filesystem;

namespace {

// Whether root is path itself or a folder above it, name by name (so "/media/a" does not hold
// "/media/ab"); drive letters and, on Windows, names compared without case.
bool Holds(const fs::path& root, const fs::path& path) {
  auto r = root.begin(), p = path.begin();
  for (; r != root.end(); ++r, ++p) {
    if (r->empty()) continue;  // the empty last name of "E:\" or "/media/card/"
    if (p == path.end()) return false;
#ifdef _WIN32
    if (Lower(PathToUtf8(*r)) != Lower(PathToUtf8(*p))) return false;
#else
    if (*r != *p) return false;
#endif
  }
  return true;
}

}  // namespace

std::optional<TVolume> VolumeOf(const fs::path& path, const std::vector<TVolume>& volumes) {
  std::error_code ec;
  // The folder of a file not written yet is found through what exists of its path.
  fs::path absolute = fs::weakly_canonical(fs::absolute(path, ec), ec);
  if (ec) absolute = fs::absolute(path, ec).lexically_normal();
  const TVolume* best = nullptr;
  std::size_t bestDepth = 0;
  for (const TVolume& volume : volumes) {
    if (!Holds(volume.root, absolute)) continue;
    const std::size_t depth = static_cast<std::size_t>(std::distance(volume.root.begin(), volume.root.end()));
    if (!best || depth > bestDepth) {
      best = &volume;
      bestDepth = depth;
    }
  }
  if (!best) return std::nullopt;
  return *best;
}


TFileSystemRules RulesOf(const std::string& fileSystem) {
  TFileSystemRules rules;
  rules.name = fileSystem;
  const std::string name = Lower(fileSystem);
  // As Linux (vfat, msdos, a FUSE driver's "fuse.<name>"), macOS (msdos) and Windows (FAT32)
  // name them.
  static const char* const kFat[] = {"vfat", "msdos", "fat", "fat12", "fat16", "fat32", "fuse.fusefat", "fusefat"};
  static const char* const kExFat[] = {"exfat", "fuse.exfat", "exfat-fuse", "fuse.exfat-fuse"};
  const auto in = [&name](const auto& list) { return std::find(std::begin(list), std::end(list), name) != std::end(list); };
  if (in(kFat)) {
    rules.maxFileSize = 0xFFFFFFFFull;
    rules.caseInsensitive = true;
    rules.restrictedNames = true;
  } else if (in(kExFat)) {
    rules.caseInsensitive = true;
    rules.restrictedNames = true;
  }
  return rules;
}

std::string NameProblem(const std::string& relativeUtf8, const TFileSystemRules& rules) {
  if (!rules.restrictedNames) return std::string();
  std::size_t start = 0;
  while (start <= relativeUtf8.size()) {
    const std::size_t end = std::min(relativeUtf8.find('/', start), relativeUtf8.size());
    const std::string part = relativeUtf8.substr(start, end - start);
    if (part.empty()) return "an empty name";
    for (const char c : part) {
      if (static_cast<unsigned char>(c) < 0x20 || std::string_view("\"*:<>?\\|").find(c) != std::string_view::npos) {
        return part + ": the character " + (static_cast<unsigned char>(c) < 0x20 ? std::string("of control") : std::string(1, c));
      }
    }
    if (part.back() == ' ' || part.back() == '.') return part + ": a name that ends in a space or a dot";
    // Long names hold 255 UTF-16 units.
    const auto utf16 = ctr::Utf8ToUtf16(part);
    if (!utf16) return part + ": not UTF-8";
    if (utf16->size() > 255) return part + ": longer than 255 characters";
    start = end + 1;
  }
  return std::string();
}

std::optional<std::pair<std::string, std::string>> FindNameCollision(const std::vector<std::string>& relativeUtf8) {
  // Every folded name, a file's whole path and each folder above it, with the name it was
  // written as and whether a file has it.
  struct TSeen {
    std::string original;
    bool file = false;
  };
  std::map<std::string, TSeen> seen;
  const auto add = [&seen](const std::string& name, bool file) -> std::optional<std::pair<std::string, std::string>> {
    const auto [at, fresh] = seen.emplace(ctr::FoldNameCase(name), TSeen{name, file});
    if (fresh) return std::nullopt;
    const TSeen& before = at->second;
    // Two folders meet as one; anything else that folds alike is two entries in one place.
    if (!file && !before.file) return std::nullopt;
    if (before.original == name && file == before.file) return std::nullopt;  // the same path twice
    return std::make_pair(before.original, name);
  };
  for (const std::string& path : relativeUtf8) {
    for (std::size_t slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1)) {
      if (auto clash = add(path.substr(0, slash), false)) return clash;
    }
    if (auto clash = add(path, true)) return clash;
  }
  return std::nullopt;
}

}  // namespace qpt
