#include "core/patches/ModPatch.h"

#include <algorithm>

#include "core/common/Common.h"
#include "core/localization/TokenText.h"
#include "core/rom/ImageFiles.h"
#include "ctr/Io.h"
#include "ctr/Ncch.h"
#include "ctr/PatchFormats.h"

namespace qpt {

namespace fs = std::filesystem;

namespace {

struct TChild {
  std::string name;
  fs::path path;
  bool folder = false;
};

// A folder's entries in name order, hidden ones included: a stray ".DS_Store" in a title
// folder is still a file the player should hear about.
std::vector<TChild> Children(const fs::path& dir) {
  std::vector<TChild> children;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code typeError;
    children.push_back({PathToUtf8(it->path().filename()), it->path(), it->is_directory(typeError)});
  }
  std::sort(children.begin(), children.end(), [](const TChild& a, const TChild& b) { return a.name < b.name; });
  return children;
}

fs::path ChildFolder(const fs::path& dir, const std::string& name) {
  for (const TChild& child : Children(dir)) {
    if (child.folder && SameTextIgnoringCase(child.name, name)) return child.path;
  }
  return {};
}

bool IsReadme(const std::string& name) {
  return SameTextIgnoringCase(name, "readme.txt") || SameTextIgnoringCase(name, "readme.md");
}

fs::path FindReadme(const fs::path& dir) {
  for (const TChild& child : Children(dir)) {
    if (!child.folder && IsReadme(child.name)) return child.path;
  }
  return {};
}

// The console never loads these from a title folder; the emulator shows exefs/banner and
// exefs/icon, which change nothing of the game.
bool IsIgnoredExtra(const std::string& name) {
  const std::string stem = Lower(PathToUtf8(PathFromUtf8(name).stem()));
  return stem == "banner" || stem == "icon" || stem == "logo";
}

bool IsProgramFile(const std::string& name) { return name == "code.bin" || name == "code.ips" || name == "code.bps"; }

std::string Joined(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
  return text;
}

void ReadTitleFolder(TModPatch& patch) {
  const auto shown = [&](const fs::path& path) { return GenericUtf8(path.lexically_relative(patch.folder)); };
  std::vector<fs::path> programs;
  std::vector<std::string> stray;
  for (const TChild& child : Children(patch.titleFolder)) {
    if (!child.folder && IsProgramFile(child.name)) {
      programs.push_back(child.path);
    } else if (!child.folder && IsIgnoredExtra(child.name)) {
      patch.ignored.push_back(shown(child.path));
    } else if (!child.folder && IsReadme(child.name)) {
      // A read-me inside the title folder is the patch's description, like one beside it.
    } else if (!child.folder && child.name == "exheader.bin") {
      std::error_code ec;
      const std::uint64_t size = fs::file_size(child.path, ec);
      if (ec || (size != ctr::kExheaderHashedSize && size != ctr::kExheaderFullSize)) {
        patch.errors.push_back(shown(child.path) + " has " + (ec ? std::string("no readable") : std::to_string(size)) +
                               " bytes; an extended header has 1024, or 2048 with its access descriptor");
      } else {
        patch.exheader = child.path;
      }
    } else if (child.folder && child.name == "romfs") {
      patch.romfs = child.path;
    } else if (child.folder && child.name == "exefs") {
      for (const TChild& inner : Children(child.path)) {
        if (!inner.folder && IsProgramFile(inner.name)) {
          programs.push_back(inner.path);
        } else if (!inner.folder && IsIgnoredExtra(inner.name)) {
          patch.ignored.push_back(shown(inner.path));
        } else {
          stray.push_back(shown(inner.path));
        }
      }
    } else {
      stray.push_back(shown(child.path));
    }
  }

  if (!stray.empty()) {
    patch.errors.push_back(Joined(stray) + ": only romfs/, exheader.bin, code.bin, code.ips and code.bps (the "
                           "program files also under exefs/) belong in a title folder");
  }
  if (programs.size() > 1) {
    // Loaders differ on whether a patch applies on top of a replaced program, or which of
    // two patches wins: the player would get a game nobody tested.
    std::vector<std::string> names;
    for (const fs::path& path : programs) names.push_back(shown(path));
    patch.errors.push_back(Joined(names) + " are each a whole program change: keep only one of them");
  } else if (programs.size() == 1) {
    patch.program = programs.front();
  }
  if (patch.romfs.empty() && patch.program.empty() && patch.exheader.empty() && patch.errors.empty()) {
    patch.errors.push_back(shown(patch.titleFolder) + " holds neither romfs/ nor a program file: nothing to install");
  }
}

bool HasDescriptor(const fs::path& folder) {
  for (const TChild& child : Children(folder)) {
    if (!child.folder && SameTextIgnoringCase(PathToUtf8(child.path.extension()), ".dsc")) return true;
  }
  return false;
}

}  // namespace

std::optional<std::uint64_t> ParseTitleId(std::string_view name) {
  if (name.size() != 16) return std::nullopt;
  std::uint64_t id = 0;
  for (const char c : name) {
    int digit = 0;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return std::nullopt;
    }
    id = id << 4 | static_cast<std::uint64_t>(digit);
  }
  return id;
}

std::optional<TModPatch> ReadModPatch(const fs::path& folder) {
  if (!FolderExists(folder) || HasDescriptor(folder)) return std::nullopt;
  std::vector<std::pair<fs::path, std::uint64_t>> found;
  const auto look = [&](const fs::path& path) {
    if (const auto id = ParseTitleId(PathToUtf8(path.filename()))) found.emplace_back(path, *id);
  };
  fs::path named = folder;
  if (!named.has_filename()) named = named.parent_path();
  look(named);
  if (found.empty()) {
    for (const TChild& child : Children(folder)) {
      if (child.folder) look(child.path);
    }
    if (const fs::path luma = ChildFolder(folder, "luma"); !luma.empty()) {
      if (const fs::path titles = ChildFolder(luma, "titles"); !titles.empty()) {
        for (const TChild& child : Children(titles)) {
          if (child.folder) look(child.path);
        }
      }
    }
  }
  if (found.empty()) return std::nullopt;

  TModPatch patch;
  patch.folder = named;
  patch.titleFolder = found.front().first;
  patch.titleId = found.front().second;
  patch.readme = FindReadme(named);
  if (patch.readme.empty()) patch.readme = FindReadme(patch.titleFolder);
  if (found.size() > 1) {
    std::vector<std::string> names;
    for (const auto& [path, id] : found) names.push_back(GenericUtf8(path.lexically_relative(named)));
    patch.errors.push_back(Joined(names) + ": a patch is for one title; keep one title folder");
    return patch;
  }
  ReadTitleFolder(patch);
  return patch;
}

std::string ModPatchDescription(const TModPatch& patch) {
  std::string bytes;
  if (patch.readme.empty() || !ReadSmallFile(patch.readme, bytes)) return {};
  std::string text = NormalizeLineBreaks(DecodeText(bytes));
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

std::uint64_t ProgramPatchBound(std::uint64_t programSize) {
  constexpr std::uint64_t kFloor = 64ull << 20;
  return std::max(programSize * 2, kFloor);
}

std::optional<TModRefusal> PrepareModPatch(const TModPatch& patch, const fs::path& image, const fs::path& destination,
                                           std::vector<fs::path>* skippedLinks) {
  if (!patch.Usable()) return TModRefusal{"ErrorModPatchRefused", patch.errors.front()};
  TImageFiles files;
  if (const ctr::Status opened = files.Open(image); !opened) return TModRefusal{"ErrorModPatchRefused", opened.message()};
  if (files.ProgramId() != patch.titleId) {
    return TModRefusal{"ErrorModPatchRefused", GenericUtf8(patch.titleFolder.lexically_relative(patch.folder)) +
                                                   " is for another title than the image's"};
  }
  if (!CreateFolder(destination) && !FolderExists(destination)) {
    return TModRefusal{"ErrorWritingWorkFiles", PathToUtf8(destination)};
  }
  if (!patch.romfs.empty()) {
    ctr::Status writeFailure;
    if (!CopyFolder(patch.romfs, destination, skippedLinks, &writeFailure)) {
      return TModRefusal{"ErrorWritingWorkFiles",
                         writeFailure.IsWriteFailure() ? writeFailure.message() : PathToUtf8(patch.romfs)};
    }
  }
  if (patch.program.empty() && patch.exheader.empty()) return std::nullopt;

  std::vector<std::uint8_t> program;
  const std::string kind = PathToUtf8(patch.program.filename());
  if (patch.program.empty()) {
    // An extended header alone must still have room for the image's own program.
    auto exefs = files.ExeFsFiles();
    if (!exefs) return TModRefusal{"ErrorModPatchRefused", exefs.message()};
    if (const auto code = exefs->find("code.bin"); code != exefs->end()) program = std::move(code->second);
  } else if (kind == "code.bin") {
    // Read whole, as a program is a few MiB; a file larger than any program is refused first.
    std::error_code ec;
    if (fs::file_size(patch.program, ec) > ProgramPatchBound(0) || ec) {
      return TModRefusal{"ErrorProgramPatch", kind + " is larger than any program"};
    }
    auto bytes = ctr::ReadWholeFile(patch.program);
    if (!bytes) return TModRefusal{"ErrorModPatchRefused", bytes.message()};
    program = std::move(*bytes);
  } else {
    auto exefs = files.ExeFsFiles();
    if (!exefs) return TModRefusal{"ErrorModPatchRefused", exefs.message()};
    const auto code = exefs->find("code.bin");
    if (code == exefs->end()) return TModRefusal{"ErrorProgramPatch", "the image has no program"};
    const std::uint64_t bound = ProgramPatchBound(code->second.size());
    std::error_code ec;
    // A patch never needs more bytes than the program it may make, and more would all be read
    // into memory before the reader could refuse them.
    if (fs::file_size(patch.program, ec) > bound + 0x10000 || ec) {
      return TModRefusal{"ErrorProgramPatch", kind + " is larger than any patch of this program"};
    }
    auto bytes = ctr::ReadWholeFile(patch.program);
    if (!bytes) return TModRefusal{"ErrorModPatchRefused", bytes.message()};
    auto patched = kind == "code.ips" ? ctr::ApplyIps(code->second, *bytes, bound)
                                      : ctr::ApplyBps(code->second, *bytes, bound);
    if (!patched) return TModRefusal{"ErrorProgramPatch", patched.message()};
    program = std::move(*patched);
  }
  if (!patch.exheader.empty()) {
    auto original = files.Exheader();
    if (!original) return TModRefusal{"ErrorModPatchRefused", original.message()};
    // Read whole under the size ReadModPatch allowed: the file may have changed since.
    std::error_code ec;
    if (fs::file_size(patch.exheader, ec) > ctr::kExheaderFullSize || ec) {
      return TModRefusal{"ErrorModPatchRefused", "exheader.bin is larger than an extended header"};
    }
    auto exheader = ctr::ReadWholeFile(patch.exheader);
    if (!exheader) return TModRefusal{"ErrorModPatchRefused", exheader.message()};
    const ctr::Status fits = ctr::CheckReplacementExheader(*exheader, *original, files.ProgramId(), program.size());
    if (!fits) return TModRefusal{"ErrorModPatchRefused", fits.message()};
    if (const ctr::Status written = ctr::WriteWholeFile(destination / "exheader.bin", *exheader); !written) {
      return TModRefusal{"ErrorWritingWorkFiles", written.message()};
    }
  }
  if (patch.program.empty()) return std::nullopt;
  const fs::path exefs = destination / "exefs";
  if (!CreateFolder(exefs) && !FolderExists(exefs)) return TModRefusal{"ErrorWritingWorkFiles", PathToUtf8(exefs)};
  if (const ctr::Status written = ctr::WriteWholeFile(exefs / "code.bin", program); !written) {
    return TModRefusal{"ErrorWritingWorkFiles", written.message()};
  }
  return std::nullopt;
}

}  // namespace qpt
