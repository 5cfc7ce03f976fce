#include "core/install/ModPlaces.h"

#include <optional>

#include "core/common/Common.h"

namespace qpt {

namespace fs = std::filesystem;

namespace {

// A variable that names a folder: an absolute path, or nothing. A relative one would be taken
// from wherever the program was started.
std::optional<fs::path> FolderVariable(const TEnvironment& environment, const char* name) {
  const auto value = environment ? environment(name) : std::nullopt;
  if (!value || value->empty()) return std::nullopt;
  fs::path path = PathFromUtf8(*value);
  if (!path.is_absolute()) return std::nullopt;
  return path;
}

struct TCandidate {
  const char* name;
  fs::path root;
};

std::vector<TCandidate> EmulatorFolders(const TEnvironment& environment) {
  std::vector<TCandidate> folders;
  const auto home = FolderVariable(environment, "HOME");
  const auto data = FolderVariable(environment, "XDG_DATA_HOME");
  const std::optional<fs::path> xdg = data ? data : home ? std::optional(*home / ".local" / "share") : std::nullopt;
  if (xdg) {
    folders.push_back({"Azahar", *xdg / "azahar-emu"});
    folders.push_back({"Citra", *xdg / "citra-emu"});
    folders.push_back({"Lime3DS", *xdg / "lime3ds-emu"});
  }
  if (home) folders.push_back({"Azahar", *home / ".var" / "app" / "org.azahar_emu.Azahar" / "data" / "azahar-emu"});
  std::vector<fs::path> named;  // the systems that name the folder after the program
  if (const auto appData = FolderVariable(environment, "APPDATA")) named.push_back(*appData);
  if (home) named.push_back(*home / "Library" / "Application Support");
  for (const fs::path& base : named) {
    for (const char* name : {"Azahar", "Citra", "Lime3DS"}) folders.push_back({name, base / name});
  }
  return folders;
}

// A root as a player names it: without the separator a drive's root ends in ("E:\" is "E:").
std::string RootName(const fs::path& root) {
  std::string text = PathToUtf8(root);
  while (text.size() > 1 && (text.back() == '/' || text.back() == '\\')) text.pop_back();
  return text;
}

std::uint64_t FreeBytes(const fs::path& folder) {
  std::error_code ec;
  const fs::space_info space = fs::space(folder, ec);
  return ec || space.available == static_cast<std::uintmax_t>(-1) ? 0 : space.available;
}

}  // namespace

TPlaceSources SystemPlaceSources() {
  TPlaceSources sources;
  sources.environment = ProcessEnvironment;
  const auto standIn = ProcessEnvironment("QPT_TEST_VOLUMES");
  if (!standIn) {
    sources.volumes = MountedVolumes();
    return sources;
  }
  const char separator = fs::path::preferred_separator == '\\' ? ';' : ':';
  std::size_t start = 0;
  while (start <= standIn->size()) {
    std::size_t end = standIn->find(separator, start);
    if (end == std::string::npos) end = standIn->size();
    if (end > start) sources.volumes.push_back({PathFromUtf8(standIn->substr(start, end - start)), "", true});
    start = end + 1;
  }
  return sources;
}

std::vector<TModPlace> FindModPlaces(const TPlaceSources& sources) {
  std::vector<TModPlace> places;
  const auto add = [&places](TModPlace::Kind kind, std::string name, const fs::path& root, const char* first,
                             const char* second) {
    // A bind mount, or a variable that leads where another already did.
    for (const TModPlace& place : places) {
      if (SameFile(place.root, root)) return;
    }
    places.push_back({kind, std::move(name), root, root / first / second, FreeBytes(root)});
  };
  for (const TVolume& volume : sources.volumes) {
    if (FolderExists(volume.root / "luma")) {
      add(TModPlace::Kind::SdCard, RootName(volume.root), volume.root, "luma", "titles");
    }
  }
  for (const TCandidate& folder : EmulatorFolders(sources.environment)) {
    if (FolderExists(folder.root)) add(TModPlace::Kind::Emulator, folder.name, folder.root, "load", "mods");
  }
  return places;
}

std::vector<TModPlace> FindModPlaces() { return FindModPlaces(SystemPlaceSources()); }

ctr::Status PrepareModPlace(const TModPlace& place) {
  if (!FolderExists(place.root)) {
    return ctr::Status::Error(PathToUtf8(place.root) + ": " +
                              ctr::SystemReason(std::make_error_code(std::errc::no_such_file_or_directory)));
  }
  std::error_code ec;
  fs::create_directories(place.target, ec);
  if (ec) {
    return ctr::Status::WriteError(ctr::WriteFaultOf(ec), PathToUtf8(place.target) + ": " + ctr::SystemReason(ec));
  }
  return ctr::Status::Ok();
}

TFolderMaking MakeLastFolder(const fs::path& folder, std::error_code& error) {
  error.clear();
  if (FolderExists(folder)) return TFolderMaking::Ready;
  // "D:\mods\" names "D:\mods": its parent is "D:\".
  const fs::path named = folder.has_filename() ? folder : folder.parent_path();
  if (!FolderExists(named.parent_path())) return TFolderMaking::ParentMissing;
  fs::create_directory(named, error);
  if (FolderExists(named)) {  // made, or by another program meanwhile
    error.clear();
    return TFolderMaking::Ready;
  }
  if (!error) error = std::make_error_code(std::errc::file_exists);  // a file of that name
  return TFolderMaking::Failed;
}

}  // namespace qpt
