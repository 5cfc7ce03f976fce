#include "core/music/TrackLists.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <fstream>
#include <optional>

#include "core/common/Common.h"
#include "core/install/OutputCheck.h"
#include "core/localization/TokenText.h"
#include "core/music/BuiltinResources.h"
#include "ctr/InPlace.h"
#include "ctr/Verify.h"

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
    if (!ReadSmallFile(own, bytes)) return Fail("Cannot read " + PathToUtf8(own));
  } else if (auto builtin = FindBuiltinResource("TrackList" + gameCode)) {
    bytes = std::move(*builtin);
  } else {
    return Fail("There is no track list for " + gameCode);
  }
  return CreateFromText(bytes, romPath, gameCode, soundInfoPos);
}

TTrackListResult TTrackList::ReadTracks(const std::string& listBytes, const std::string& gameCode) {
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

  return {};
}

TTrackListResult TTrackList::CreateFromText(const std::string& listBytes, const fs::path& romPath,
                                            const std::string& gameCode, std::int64_t soundInfoPos) {
  complete_ = false;
  GameCode = gameCode;
  LastSlot = gameCode == "AAT" ? 33 : 21;
  SlotOffsets = SlotOffsetsFor(gameCode);

  std::ifstream image(romPath, std::ios::binary);
  if (!image) return Fail("Cannot open " + PathToUtf8(romPath));
  if (const TTrackListResult read = ReadTracks(listBytes, gameCode); read.status != TTrackListStatus::Ok) return read;

  SoundInfoPos = soundInfoPos;
  RomPath = romPath;
  std::error_code ec;
  const auto imageSize = static_cast<std::int64_t>(fs::file_size(romPath, ec));
  RomSize = ec ? -1 : imageSize;
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
  ImageSelected = Selected;
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

namespace {

// No stream path comes near this; a field without a zero byte this far is no name.
constexpr std::uint64_t kMaxStreamName = 0x100;

// How many bytes a new name may take at a stream-name field of the INFO block. The name the
// image holds runs to its zero byte, and its file entry is padded to a multiple of 4 bytes
// from the block's start, because entries start at such multiples. That far the bytes are the
// entry's own; the next entry may start right after. A new name that brings its own zero byte
// may fill all of it; one that does not (the trilogy's keys) must end before the old zero
// byte, which still ends the name. nullopt when the field holds no name.
std::optional<std::uint64_t> NameRoom(ctr::Reader& image, std::int64_t infoPos, std::uint32_t infoSize,
                                      std::int32_t fieldOffset, bool bringsZero) {
  if (fieldOffset < 0 || static_cast<std::uint64_t>(fieldOffset) >= infoSize) return std::nullopt;
  const auto field = static_cast<std::uint64_t>(fieldOffset);
  const std::uint64_t window = std::min<std::uint64_t>(kMaxStreamName, infoSize - field);
  auto bytes = image.ReadVector(static_cast<std::uint64_t>(infoPos) + field, window);
  if (!bytes) return std::nullopt;
  const auto zero = std::find(bytes->begin(), bytes->end(), 0);
  if (zero == bytes->end()) return std::nullopt;
  const auto length = static_cast<std::uint64_t>(zero - bytes->begin());
  if (!bringsZero) return length;
  return std::min<std::uint64_t>(ctr::AlignUp(field + length + 1, 4), infoSize) - field;
}

}  // namespace

TDirectWriteResult WriteMusicIntoImage(const TTrackList& list, const TLangList& lang) {
  TDirectWriteResult result;
  ctr::FileEditor image;
  if (!image.Open(list.RomPath)) {
    result.error = lang.GetLangText("ErrorOpeningOldRom");
    return result;
  }
  // The positions were read when the image was chosen; they hold only for that same image.
  const std::int64_t info = list.SoundInfoPos;
  char magic[4] = {};
  std::uint32_t infoSize = 0;
  const bool same = list.RomSize >= 0 && image.size() == static_cast<std::uint64_t>(list.RomSize) && info >= 0 &&
                    image.ReadAt(static_cast<std::uint64_t>(info), magic, 4) && std::memcmp(magic, "INFO", 4) == 0 &&
                    image.ReadAt(static_cast<std::uint64_t>(info) + 4, &infoSize, 4) &&
                    ctr::InRange(static_cast<std::uint64_t>(info), infoSize, image.size());
  if (!same) {
    result.error = lang.GetLangText("ErrorOldRomChanged");
    return result;
  }

  const bool trilogy = list.GameCode == "AAT";
  const std::string suffix = trilogy ? std::string() : std::string(".dspadpcm.bcstm") + '\0';
  std::vector<ctr::ImageEdit> edits;
  for (const TMusicSlotWrite& w : PlanMusicWrites(list, suffix)) {
    const std::string title = w.title.substr(0, w.title.find('\0'));
    if (!w.known) {
      result.log.push_back(lang.GetLangText("WarningUnknownTrack") + "\r\n" + title);
      continue;
    }
    const auto room = NameRoom(image, info, infoSize, w.offset, !w.bytes.empty() && w.bytes.back() == '\0');
    if (!room || w.bytes.size() > *room) {
      result.log.push_back(lang.GetLangText("WarningTrackNameTooLong") + "\r\n" + title);
      continue;
    }
    // Every field is written, even where it already holds the name: the blocks around it are
    // then hashed anew, which also mends an image whose names were changed without that.
    edits.push_back({static_cast<std::uint64_t>(info + w.offset),
                     std::vector<std::uint8_t>(w.bytes.begin(), w.bytes.end())});
  }
  if (edits.empty()) return result;

  const ctr::EditResult edit = ctr::EditImageInPlace(image, edits);
  switch (edit.outcome) {
    case ctr::EditOutcome::Done:
      break;
    case ctr::EditOutcome::Refused:
      result.error = lang.GetLangText("ErrorOldRomRefused") + "\r\n" + edit.message;
      return result;
    case ctr::EditOutcome::Undone:
      result.error = lang.GetLangText("ErrorWritingOldRom") + "\r\n" + edit.message;
      return result;
    case ctr::EditOutcome::Damaged:
      result.error = lang.GetLangText("ErrorOldRomDamaged") + "\r\n" + edit.message;
      return result;
  }

  const auto report = ctr::VerifyImageReport(list.RomPath);
  if (report && report->ok()) {
    result.changed = true;
    result.log.push_back(lang.GetLangText("LogOldRomVerified"));
    return result;
  }
  const std::string problem = report ? VerifyProblemText(report.value(), lang) : lang.GetLangText("VerifyFaultUnreadable");
  const ctr::Status undone = image.Undo();
  if (!undone) {
    result.error = lang.GetLangText("ErrorOldRomDamaged") + "\r\n" + problem + "; " + undone.message();
  } else {
    result.error = lang.GetLangText("ErrorOldRomNotVerified") + "\r\n" + problem;
  }
  return result;
}

}  // namespace qpt
