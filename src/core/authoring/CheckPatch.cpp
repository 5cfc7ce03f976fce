#include "core/authoring/CheckPatch.h"

#include <algorithm>
#include <cctype>
#include <span>

#include "core/rom/ImageFiles.h"
#include "core/common/Common.h"
#include "core/install/PackDat.h"
#include "core/localization/TokenText.h"
#include "core/music/TrackLists.h"
#include "core/rom/PatchList.h"
#include "core/rom/RomIdentify.h"

namespace qpt {

namespace fs = std::filesystem;

namespace {

// A pack index larger than this is no index of these games.
constexpr std::uint64_t kMaxPackIndexSize = 64u << 20;

bool IsUpperHexDigest(const std::string& value) {
  return value.size() == 32 &&
         std::all_of(value.begin(), value.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)) || (c >= 'A' && c <= 'F'); });
}

// The 8-bit code page a text without a mark was most likely written in: Windows-1251 when every
// byte above ASCII is a Cyrillic letter there, Windows-1252 otherwise.
int LikelyCodePage(std::string_view bytes) {
  const bool cyrillic = std::all_of(bytes.begin(), bytes.end(), [](char c) {
    const auto b = static_cast<unsigned char>(c);
    return b < 0x80 || b >= 0xC0 || b == 0xA8 || b == 0xB8;
  });
  return cyrillic ? 1251 : 1252;
}

class TChecker {
 public:
  TChecker(const fs::path& patchDir, const fs::path& image) : dir_(patchDir), imagePath_(image) {}

  std::vector<TPatchProblem> Run() {
    if (!FolderExists(dir_)) {
      Error("", "there is no patch folder " + PathToUtf8(dir_));
      return problems_;
    }
    if (!imagePath_.empty()) {
      id_ = IdentifyRom(imagePath_);
      const ctr::Status opened = id_.Identified() ? image_.Open(imagePath_) : ctr::Status::Error("not identified");
      if (!opened) {
        Error("", PathToUtf8(imagePath_) + " is no decrypted image of a game this program knows");
        return problems_;
      }
      hasImage_ = true;
    }
    CheckDescriptors();
    CheckTrackLists();
    CheckVoices();
    CheckPackEntries();
    return problems_;
  }

 private:
  void Error(const std::string& file, const std::string& text) { problems_.push_back({true, file, text}); }
  void Warning(const std::string& file, const std::string& text) { problems_.push_back({false, file, text}); }

  void CheckDescriptors() {
    std::vector<fs::path> found;
    std::error_code ec;
    for (fs::directory_iterator it(dir_, ec), end; !ec && it != end; it.increment(ec)) {
      if (it->is_regular_file(ec) && SameTextIgnoringCase(PathToUtf8(it->path().extension()), ".dsc")) found.push_back(it->path());
    }
    if (found.empty()) Error("", "no descriptor (.dsc): the patch is never listed; add one, e.g. English.dsc");
    std::sort(found.begin(), found.end());
    for (const fs::path& path : found) CheckDescriptor(path);
  }

  void CheckDescriptor(const fs::path& path) {
    const std::string file = PathToUtf8(path.filename());
    std::string bytes;
    if (!ReadWholeFile(path, bytes)) return Error(file, "cannot be read");
    const bool marked = bytes.rfind("\xEF\xBB\xBF", 0) == 0 || bytes.rfind("\xFF\xFE", 0) == 0 || bytes.rfind("\xFE\xFF", 0) == 0;
    if (!marked && !IsUtf8Text(bytes)) {
      // Read in each player's own code page: right only on machines set up like the author's.
      const int codePage = LikelyCodePage(bytes);
      const auto title = FindTokenValue(ReadTokens(DecodeText(bytes, codePage), '='), "Title");
      Warning(file, "is 8-bit text (it reads as Windows-" + std::to_string(codePage) + ", title \"" + title +
                        "\"); players elsewhere see other letters: save it as UTF-8 with a byte-order mark");
    }
    const std::vector<std::string> tokens =
        ReadTokens(marked || IsUtf8Text(bytes) ? DecodeText(bytes) : DecodeText(bytes, LikelyCodePage(bytes)), '=');
    const auto value = [&](const char* key, bool& present) { return FindTokenValue(tokens, key, &present); };
    bool present = false;
    const std::string game = value("Game", present);
    if (!present || GetPatchTitle(game) == 0) {
      Error(file, "Game names no game: write Game=AAT, AA4, AA5, AA6 or PLvsPW (several with commas)");
    } else if (hasImage_ && !(GetPatchTitle(game) & (1u << id_.gameIndex))) {
      Error(file, "Game=" + game + " does not include the image's game " + id_.gameCode);
    }
    const std::string region = value("Region", present);
    if (!present) Error(file, "no Region: write Region=JAP,USA,EUR or Region=\"Region Free\"");
    if (present && hasImage_) {
      const std::uint8_t regions = GetPatchRegion(region);
      if (regions != kRegionFree && !(regions & (1u << id_.regionIndex))) {
        Error(file, "Region=" + region + " does not include the image's region");
      }
    }
    if (value("Title", present).empty()) Error(file, "no Title: the patch list would show an empty line");
    for (const char* key : {"OriginalPackDatMD5", "OriginalPackIncMD5"}) {
      const std::string digest = value(key, present);
      if (!present || digest.empty()) {
        if (FileExists(dir_ / "patch.xdelta")) Warning(file, std::string("no ") + key + ": the delta is applied to any archive unchecked");
        continue;
      }
      if (!IsUpperHexDigest(digest)) {
        Error(file, std::string(key) + " \"" + digest + "\" is not 32 upper-case hexadecimal digits");
        continue;
      }
      const std::string romfsFile = std::string(key) == "OriginalPackDatMD5" ? "pack.dat" : "pack.inc";
      if (hasImage_) CheckDigest(file, key, digest, romfsFile);
    }
  }

  void CheckDigest(const std::string& file, const char* key, const std::string& digest, const std::string& romfsFile) {
    const auto entry = image_.Find(romfsFile);
    if (!entry) return Error(file, std::string(key) + " is given, but the image has no " + romfsFile);
    const TempFile scratch(dir_.parent_path() / (PathToUtf8(dir_.filename()) + ".digest.qpt-partial"));
    if (!image_.CopyRomFsFile(*entry, scratch.path)) return Error(file, "cannot read " + romfsFile + " out of the image");
    const std::string actual = FileMD5(scratch.path);
    if (actual != digest) Error(file, std::string(key) + " is " + digest + ", the image's " + romfsFile + " has " + actual);
  }

  struct TempFile {
    explicit TempFile(fs::path p) : path(std::move(p)) {}
    ~TempFile() { RemoveFile(path); }
    fs::path path;
  };

  void CheckTrackLists() {
    for (const char* code : {"AAT", "AA4"}) {
      const std::string file = std::string("TrackList") + code + ".tls";
      if (!FileExists(dir_ / file)) continue;
      std::string bytes;
      if (!ReadWholeFile(dir_ / file, bytes)) {
        Error(file, "cannot be read");
        continue;
      }
      TTrackList list;
      const TTrackListResult read = list.ReadTracks(bytes, code);
      if (read.status == TTrackListStatus::Ok) continue;
      if (read.status == TTrackListStatus::Failed) {
        Error(file, read.message);
        continue;
      }
      const int room = kStreamNameLength - static_cast<int>(InstallNameSuffix(code).size());
      const int i = list.TrackCount;
      if (i < kMaxTracks && static_cast<int>(list.Keys[i].size()) > room) {
        Error(file, "track " + std::to_string(i + 1) + ": key \"" + list.Keys[i] + "\" is " +
                        std::to_string(list.Keys[i].size()) + " bytes; at most " + std::to_string(room) + " fit its field");
      } else {
        Error(file, "track " + std::to_string(i) + ": the type after the title is no number");
      }
    }
  }

  void CheckVoices() {
    const fs::path voice = dir_ / "voice";
    if (!FolderExists(voice)) return;
    std::error_code ec;
    for (fs::directory_iterator it(voice, ec), end; !ec && it != end; it.increment(ec)) {
      const std::string set = PathToUtf8(it->path().filename());
      if (set != "ENG" && set != "JAP MOD" && set != "JAP ORIG") {
        Warning("voice/" + set, "is no voice set the install looks for: name it ENG, JAP MOD or JAP ORIG");
        continue;
      }
      const fs::path waves = it->path() / "3_BCWAV";
      if (!FolderExists(waves)) {
        Error("voice/" + set, "has no 3_BCWAV folder: this set installs no voice");
        continue;
      }
      for (fs::directory_iterator w(waves, ec), wend; !ec && w != wend; w.increment(ec)) {
        const std::string name = PathToUtf8(w->path().filename());
        const bool digits = name.size() > 7 && name.compare(name.size() - 6, 6, ".bcwav") == 0 &&
                            std::all_of(name.begin(), name.end() - 6, [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
        if (!digits) {
          Warning("voice/" + set + "/3_BCWAV/" + name,
                  "is never used: wave files are named by their number, as 000.bcwav, 001.bcwav, ...");
        }
      }
    }
  }

  void CheckPackEntries() {
    const fs::path folder = dir_ / "pack_dat";
    if (!FolderExists(folder)) return;
    std::vector<TPackIndexEntry> table;
    bool haveTable = false;
    if (hasImage_) {
      const auto index = image_.ReadRomFsFile("pack.inc", kMaxPackIndexSize);
      if (!index) {
        Error("pack_dat", "the image has no pack archive for these entries");
      } else {
        table = ReadPackIndex(std::span(reinterpret_cast<const std::uint8_t*>(index->data()), index->size()));
        haveTable = true;
      }
    }
    auto files = ListPackEntryFiles(folder);
    if (!files) return Error("pack_dat", files.message());
    for (const fs::path& path : *files) {
      const std::string name = PathToUtf8(path.filename());
      const std::string file = "pack_dat/" + name;
      const std::size_t dot = name.find('.');
      const std::string number = name.substr(0, dot);
      const std::string extension = dot == std::string::npos ? "" : name.substr(dot);
      const bool wellNamed = number.size() == 5 &&
                             std::all_of(number.begin(), number.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); }) &&
                             (extension == ".bin" || extension == ".bch" || extension == ".file" || extension == ".ans");
      if (!wellNamed) {
        Error(file, "is no entry name (five digits and .bin, .bch, .file or .ans, as 00017.bin): it would become an entry of its own and move every later one");
        continue;
      }
      if (!haveTable) continue;
      const std::size_t i = static_cast<std::size_t>(std::stoul(number));
      if (i >= table.size()) {
        Error(file, "entry " + number + " is out of range: the image's archive has entries 00000 to " +
                        PackEntryFileName(static_cast<std::int64_t>(table.size()) - 1, ""));
      }
    }
  }

  fs::path dir_;
  fs::path imagePath_;
  TRomIdentity id_;
  TImageFiles image_;
  bool hasImage_ = false;
  std::vector<TPatchProblem> problems_;
};

}  // namespace

std::vector<TPatchProblem> CheckPatch(const fs::path& patchDir, const fs::path& image) {
  return TChecker(patchDir, image).Run();
}

}  // namespace qpt
