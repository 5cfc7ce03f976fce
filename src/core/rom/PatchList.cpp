#include "core/rom/PatchList.h"

#include <algorithm>

#include "core/common/Common.h"
#include "core/localization/TokenText.h"
#include "core/patches/ModPatch.h"
#include "core/rom/Game.h"
#include "ctr/Names.h"

namespace qpt {

namespace fs = std::filesystem;

namespace {

bool LessIgnoringCase(const std::string& a, const std::string& b) { return ctr::FoldNameCase(a) < ctr::FoldNameCase(b); }

bool Hidden(const std::string& name) { return name.empty() || name[0] == '.'; }

}  // namespace

std::optional<TPatchDescriptor> TPatchDescriptor::Load(const fs::path& path) {
  std::string bytes;
  if (!ReadSmallFile(path, bytes)) return std::nullopt;
  return FromBytes(bytes);
}

TPatchDescriptor TPatchDescriptor::FromBytes(const std::string& bytes) {
  TPatchDescriptor d;
  d.tokens_ = ReadTokens(NormalizeLineBreaks(DecodeText(bytes)), '=');
  return d;
}

std::string TPatchDescriptor::Value(std::string_view key) const {
  bool found = false;
  std::string value = FindTokenValue(tokens_, key, &found);
  if (!found) return tokens_.empty() ? std::string() : tokens_.front();
  return value;
}

std::uint8_t GetPatchTitle(const std::string& gameValue) {
  std::uint8_t set = 0;
  const auto has = [&](const char* text) { return gameValue.find(text) != std::string::npos; };
  for (const TGame& game : KnownGames()) {
    if (has(game.Code())) set |= static_cast<std::uint8_t>(1u << game.Index());
  }
  // An empty Game value followed by the Region key reads as "Region"; such patches have
  // always been listed for the trilogy.
  if (has("Region")) set |= 1u << 1;
  return set;
}

std::uint8_t GetPatchRegion(const std::string& regionValue) {
  std::uint8_t set = 0;
  const auto has = [&](const char* text) { return regionValue.find(text) != std::string::npos; };
  if (has("JAP")) set |= 1u << 1;
  if (has("USA")) set |= 1u << 2;
  if (has("EUR")) set |= 1u << 3;
  if (has("Region Free") || regionValue.empty()) set = kRegionFree;
  return set;
}

std::vector<TPatchEntry> PopulatePatchList(const fs::path& folder, const std::string& extension, bool recurse,
                                           const std::string& languageName, std::uint8_t gameIndex,
                                           std::uint8_t regionIndex, std::uint64_t programId) {
  std::vector<std::string> folders, descriptors;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = PathToUtf8(it->path().filename());
    if (Hidden(name)) continue;
    std::error_code typeError;
    if (it->is_directory(typeError)) {
      folders.push_back(name);
    } else if (it->is_regular_file(typeError) &&
               SameTextIgnoringCase(PathToUtf8(it->path().extension()), extension)) {
      descriptors.push_back(name);
    }
  }
  std::sort(folders.begin(), folders.end(), LessIgnoringCase);
  std::sort(descriptors.begin(), descriptors.end(), LessIgnoringCase);

  std::vector<TPatchEntry> entries;
  if (recurse) {
    for (const std::string& sub : folders) {
      const fs::path subFolder = folder / PathFromUtf8(sub);
      auto found = PopulatePatchList(subFolder, extension, false, languageName, gameIndex, regionIndex, programId);
      entries.insert(entries.end(), found.begin(), found.end());
      const auto mod = found.empty() ? ReadModPatch(subFolder) : std::nullopt;
      if (mod && mod->Usable() && mod->titleId == programId) {
        entries.push_back({sub, fs::path(), subFolder, TPatchForm::ModFolder});
      }
    }
  }
  if (descriptors.empty()) return entries;

  std::string chosen = descriptors.front();
  for (const std::string& name : descriptors) {
    // "русский.dsc" is the descriptor of "Русский": letter case does not count in any alphabet.
    if (ctr::FoldNameCase(name) == ctr::FoldNameCase(languageName + extension)) {
      chosen = name;
      break;
    }
  }
  const fs::path path = folder / PathFromUtf8(chosen);
  const auto descriptor = TPatchDescriptor::Load(path);
  if (!descriptor) return entries;
  const std::uint8_t games = GetPatchTitle(descriptor->Value("Game"));
  const std::uint8_t regions = GetPatchRegion(descriptor->Value("Region"));
  const bool gameFits = TGame::FromIndex(gameIndex).Known() && (games & (1u << gameIndex)) != 0;
  const bool regionFits = regions == kRegionFree || (regionIndex <= 7 && (regions & (1u << regionIndex)) != 0);
  if (gameFits && regionFits) entries.push_back({descriptor->Value("Title"), path, folder, TPatchForm::Descriptor});
  return entries;
}

bool ModPatchListed(const std::vector<fs::path>& patchRoots, std::uint64_t programId) {
  // As listed for another title, where no descriptor fits: whatever is listed is a mod folder.
  const std::uint8_t other = TGame(TGameId::Other).Index();
  return std::any_of(patchRoots.begin(), patchRoots.end(), [&](const fs::path& root) {
    return !PopulatePatchList(root, ".dsc", true, std::string(), other, 0, programId).empty();
  });
}

std::optional<TPatchDetails> ReadPatchDetails(const TPatchEntry& entry) {
  TPatchDetails details;
  if (entry.form == TPatchForm::ModFolder) {
    const auto mod = ReadModPatch(entry.folder);
    if (!mod || !mod->Usable()) return std::nullopt;
    details.description = ModPatchDescription(*mod);
    return details;
  }
  const auto descriptor = TPatchDescriptor::Load(entry.descriptor);
  if (!descriptor) return std::nullopt;
  details.description = descriptor->Value("Description");
  details.games = descriptor->Value("Game");
  details.regions = descriptor->Value("Region");
  details.originalPackDatMD5 = descriptor->Value("OriginalPackDatMD5");
  details.originalPackIncMD5 = descriptor->Value("OriginalPackIncMD5");
  return details;
}

std::optional<std::string> PatchFolderTitle(const fs::path& folder, const std::string& languageName) {
  std::vector<std::string> descriptors;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code typeError;
    const std::string name = PathToUtf8(it->path().filename());
    if (it->is_regular_file(typeError) && SameTextIgnoringCase(PathToUtf8(it->path().extension()), ".dsc")) {
      descriptors.push_back(name);
    }
  }
  if (descriptors.empty()) return std::nullopt;
  std::sort(descriptors.begin(), descriptors.end(), LessIgnoringCase);
  std::string chosen = descriptors.front();
  for (const std::string& name : descriptors) {
    if (SameTextIgnoringCase(name, languageName + ".dsc")) chosen = name;
  }
  const auto descriptor = TPatchDescriptor::Load(folder / PathFromUtf8(chosen));
  if (!descriptor) return std::nullopt;
  return descriptor->Value("Title");
}

bool ImportPatchFolder(const fs::path& source, const fs::path& patchRoot, std::vector<fs::path>* skippedLinks) {
  fs::path folder = source;
  if (!folder.has_filename()) folder = folder.parent_path();
  const fs::path target = patchRoot / folder.filename();
  std::error_code ec;
  // A patch dropped onto itself would delete what it copies from.
  if (SameFile(folder, target)) return false;
  if (fs::exists(fs::symlink_status(target, ec)) && !DeleteFolder(target)) return false;
  return CopyFolder(folder, patchRoot, skippedLinks);
}

}  // namespace qpt
