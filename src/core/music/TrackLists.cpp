#include "core/music/TrackLists.h"

#include <charconv>
#include <cstdio>
#include <fstream>

#include "core/common/Common.h"
#include "core/localization/TokenText.h"
#include "core/music/BuiltinResources.h"

namespace qpt {

namespace fs = std::filesystem;

namespace {

const std::vector<std::int32_t> kSlotOffsetsAAT = {
    0xCF53, 0xD73B, 0xDCBB, 0xD003, 0xD5DB, 0xDCE7, 0xCF7F, 0xD65F, 0xDD13, 0xCECF, 0xD633, 0xD633,
    0xCEA3, 0xD607, 0xDD6B, 0xCFAB, 0xD68B, 0xDD3F, 0xCE4B, 0xD6B7, 0xDDC3, 0xD163, 0xD767, 0xDD97,
    0xCE77, 0xD6E3, 0xDDEF, 0xD18F, 0xD557, 0xDE47, 0xCFD7, 0xD89B, 0xDFFF, 0xE20F};
const std::vector<std::int32_t> kSlotOffsetsAA4 = {
    0xA4F7, 0xA5E7, 0xA097, 0xA60F, 0xA0BF, 0xA637, 0xA0E7, 0xA687, 0x9F37, 0xA74F, 0x9F0B,
    0xA65F, 0x9F63, 0xA6AF, 0xA10F, 0xA6FF, 0x9FBB, 0xA6D7, 0xA3DF, 0xA727, 0xA407, 0xA777};

// A whole decimal number, optionally signed; nothing else accepted.
bool ParseInt(const std::string& text, int& value) {
  if (text.empty()) return false;
  const char* first = text.data();
  const char* last = text.data() + text.size();
  if (*first == '+') ++first;
  const auto [end, ec] = std::from_chars(first, last, value);
  return ec == std::errc() && end == last;
}

TTrackListResult Fail(std::string message) { return {TTrackListStatus::Failed, std::move(message)}; }

}  // namespace

const std::vector<std::int32_t>& SlotOffsetsFor(const std::string& gameCode) {
  return gameCode == "AAT" ? kSlotOffsetsAAT : kSlotOffsetsAA4;
}

std::string InstallNameSuffix(const std::string& gameCode) {
  return gameCode == "AAT" ? std::string() : std::string(".bcstm") + '\0';
}

TTrackListResult TTrackList::Create(const fs::path& romPath, const std::string& gameCode, std::int64_t soundInfoPos,
                                    const fs::path& patchDir) {
  std::string bytes;
  const fs::path own = patchDir.empty() ? fs::path() : patchDir / PathFromUtf8("TrackList" + gameCode + ".tls");
  if (!own.empty() && FileExists(own)) {
    if (!ReadWholeFile(own, bytes)) return Fail("Cannot read " + PathToUtf8(own));
  } else if (auto builtin = FindBuiltinResource("TrackList" + gameCode)) {
    bytes = std::move(*builtin);
  } else {
    return Fail("There is no track list for " + gameCode);
  }
  return CreateFromText(bytes, romPath, gameCode, soundInfoPos);
}

TTrackListResult TTrackList::CreateFromText(const std::string& listBytes, const fs::path& romPath,
                                            const std::string& gameCode, std::int64_t soundInfoPos) {
  complete_ = false;
  GameCode = gameCode;
  LastSlot = gameCode == "AAT" ? 33 : 21;
  SlotOffsets = SlotOffsetsFor(gameCode);

  std::ifstream image(romPath, std::ios::binary);
  if (!image) return Fail("Cannot open " + PathToUtf8(romPath));

  const std::vector<std::string> tokens = ReadTokens(DecodeText(listBytes), ':');
  bool found = false;
  const std::string countText = FindTokenValue(tokens, "TrackCount", &found);
  int count = 0;
  if (!found || !ParseInt(countText, count) || count < 0) {
    return Fail("The track list has no valid TrackCount");
  }
  // A list may hold at most 101 tracks; longer lists are read up to that.
  TrackCount = std::min(count, kMaxTracks);
  for (int i = 0; i < TrackCount; ++i) {
    const std::size_t g = 2 + 3 * static_cast<std::size_t>(i);
    if (g + 1 >= tokens.size()) {
      TrackCount = i;
      return Fail("The track list ends before track " + std::to_string(i + 1));
    }
    Keys[i] = tokens[g];
    Titles[i] = tokens[g + 1];
    Selected[i] = tokens[g + 1];
    if (g + 2 >= tokens.size() || !ParseInt(tokens[g + 2], Types[i])) {
      TrackCount = i + 1;
      return {TTrackListStatus::FormatError, {}};
    }
    // Written into the image, a longer key would run over the next slot's name.
    if (Keys[i].size() + InstallNameSuffix(gameCode).size() > static_cast<std::size_t>(kStreamNameLength)) {
      TrackCount = i;
      return {TTrackListStatus::FormatError, {}};
    }
  }

  SoundInfoPos = soundInfoPos;
  RomPath = romPath;
  std::error_code ec;
  const auto imageSize = static_cast<std::int64_t>(fs::file_size(romPath, ec));
  const auto readAt = [&](std::int64_t position, std::size_t size, std::string& out) {
    if (ec || position < 0 || position > imageSize || static_cast<std::int64_t>(size) > imageSize - position) {
      return false;
    }
    out.assign(size, '\0');
    image.seekg(position);
    image.read(out.data(), static_cast<std::streamsize>(size));
    return static_cast<std::size_t>(image.gcount()) == size;
  };
  std::string magic;
  if (!readAt(soundInfoPos, 4, magic) || magic != "INFO") return {TTrackListStatus::ReadingError, {}};
  for (int slot = 0; slot <= LastSlot; ++slot) {
    std::string name;
    if (!readAt(soundInfoPos + SlotOffsets[slot], kStreamNameLength, name)) {
      return {TTrackListStatus::ReadingError, {}};
    }
    const int t = FindKeyInName(name);
    Selected[slot] = t >= 0 ? Titles[t] : name;
  }
  MusicChanged = false;
  complete_ = true;
  return {};
}

int TTrackList::FindKeyInName(const std::string& name) const {
  const std::string visible = name.substr(0, name.find('\0'));
  for (int i = 0; i < TrackCount; ++i) {
    if (!Keys[i].empty() && visible.find(Keys[i]) != std::string::npos) return i;
  }
  return -1;
}

int TTrackList::IndexOfTitle(const std::string& title) const {
  for (int i = 0; i < TrackCount; ++i) {
    if (Titles[i] == title) return i;
  }
  return -1;
}

std::vector<TMusicSlotWrite> PlanMusicWrites(const TTrackList& list, const std::string& suffix) {
  std::vector<TMusicSlotWrite> writes;
  const bool trilogy = list.GameCode == "AAT";
  for (int slot = 0; slot <= list.LastSlot && static_cast<std::size_t>(slot) < list.SlotOffsets.size(); ++slot) {
    if (trilogy && slot == 11) continue;
    TMusicSlotWrite w{slot, list.SlotOffsets[slot], list.GetSelected(slot), false, {}, {}};
    const int t = list.IndexOfTitle(w.title);
    if (t >= 0) {
      w.known = true;
      w.key = list.GetKey(t);
      w.bytes = w.key + suffix;
    }
    writes.push_back(std::move(w));
  }
  return writes;
}

std::string WriteMusicIntoImage(const TTrackList& list, const std::function<void(const std::string&)>& warnUnknown) {
  const std::string suffix = list.GameCode == "AAT" ? std::string() : std::string(".dspadpcm.bcstm") + '\0';
  const std::vector<TMusicSlotWrite> writes = PlanMusicWrites(list, suffix);
  std::error_code ec;
  const auto size = static_cast<std::int64_t>(fs::file_size(list.RomPath, ec));
  if (ec) return "Cannot open " + PathToUtf8(list.RomPath);
  // Check every field before touching the file, so a wrong position never half-writes it.
  for (const TMusicSlotWrite& w : writes) {
    const std::int64_t at = list.SoundInfoPos + w.offset;
    if (list.SoundInfoPos < 0 || at < 0 || at + static_cast<std::int64_t>(w.bytes.size()) > size) {
      return "The music names of " + PathToUtf8(list.RomPath) + " are not where they were read from";
    }
  }
  std::fstream image(list.RomPath, std::ios::binary | std::ios::in | std::ios::out);
  if (!image) return "Cannot open " + PathToUtf8(list.RomPath) + " for writing";
  for (const TMusicSlotWrite& w : writes) {
    if (!w.known) {
      warnUnknown(w.title);
      continue;
    }
    image.seekp(list.SoundInfoPos + w.offset);
    image.write(w.bytes.data(), static_cast<std::streamsize>(w.bytes.size()));
  }
  image.flush();
  if (!image) return "Cannot write " + PathToUtf8(list.RomPath);
  return {};
}

}  // namespace qpt
