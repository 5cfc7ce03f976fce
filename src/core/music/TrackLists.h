// The track list of the two games whose music can be changed: which music tracks exist,
// and which one each music slot (a scene in a game column of the music dialog, plus the
// trilogy's game selection menu) plays. Each slot is one stream-name field in the INFO
// block of the game's sound archive.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "core/localization/Language.h"

namespace qpt {

inline constexpr int kMaxTracks = 101;
inline constexpr int kStreamNameLength = 24;

// Offsets of the slots' stream-name fields from the start of the INFO block.
const std::vector<std::int32_t>& SlotOffsetsFor(const std::string& gameCode);

// What the install writes into a slot's field after the key: nothing for the trilogy, whose
// keys replace part of the old name in place; ".bcstm" and a zero byte for the fourth game,
// whose chosen stream files are renamed to key + ".bcstm". A list whose key does not fit a
// field (kStreamNameLength bytes) with this after it is refused as damaged when read.
std::string InstallNameSuffix(const std::string& gameCode);

// What building a list came to. FormatError and ReadingError are the two failures the player
// is told about with a language text; Failed carries a message of its own.
enum class TTrackListStatus { Ok, FormatError, ReadingError, Failed };

struct TTrackListResult {
  TTrackListStatus status = TTrackListStatus::Ok;
  std::string message;  // for Failed
};

class TTrackList {
 public:
  // Builds the list from the patch's TrackList<code>.tls (or the built-in list when the
  // patch has none or no patch is chosen), then reads every slot's stream name from the
  // image. Keys, titles and names are bytes (UTF-8 for the lists we ship).
  TTrackListResult Create(const std::filesystem::path& romPath, const std::string& gameCode,
                          std::int64_t soundInfoPos, const std::filesystem::path& patchDir);
  // The same from a list text already in memory (file bytes with or without a mark).
  TTrackListResult CreateFromText(const std::string& listBytes, const std::filesystem::path& romPath,
                                  const std::string& gameCode, std::int64_t soundInfoPos);

  // Only the tracks of a list text, without an image: Keys, Titles, Types and TrackCount.
  // On FormatError TrackCount stops before a track whose key is too long, or just after a
  // track whose type is no number.
  TTrackListResult ReadTracks(const std::string& listBytes, const std::string& gameCode);

  const std::string& GetKey(int index) const { return Keys[index]; }
  const std::string& GetTitle(int index) const { return Titles[index]; }
  int GetType(int index) const { return Types[index]; }
  const std::string& GetSelected(int slot) const { return Selected[slot]; }
  void SetSelected(int slot, const std::string& title) { Selected[slot] = title; }
  // First track (in list order) whose key occurs in name, looking only up to name's first
  // zero byte; an empty key never matches. -1 when none does.
  int FindKeyInName(const std::string& name) const;
  // First track whose title equals title exactly; -1 when none.
  int IndexOfTitle(const std::string& title) const;

  // True when the list was built completely: tracks read and every slot filled from the image.
  bool Complete() const { return complete_; }
  int SlotCount() const { return LastSlot + 1; }

  std::vector<std::string> Keys = std::vector<std::string>(kMaxTracks);
  std::vector<std::string> Titles = std::vector<std::string>(kMaxTracks);
  std::vector<int> Types = std::vector<int>(kMaxTracks);
  std::vector<std::string> Selected = std::vector<std::string>(kMaxTracks);
  int LastSlot = 21;
  int TrackCount = 0;
  std::int64_t SoundInfoPos = -1;
  std::filesystem::path RomPath;
  std::int64_t RomSize = -1;  // bytes of the image when the list was read from it
  std::string GameCode;
  bool MusicChanged = false;
  // Each slot's title as the image held it when the list was read.
  std::vector<std::string> ImageSelected;
  std::vector<std::int32_t> SlotOffsets;

 private:
  bool complete_ = false;
};

// One music slot as the choice is written: at offset from the INFO block's start, the key's
// bytes (and suffix, if any), or nothing when the chosen title is no track of the list.
struct TMusicSlotWrite {
  int slot;
  std::int32_t offset;
  std::string title;  // the chosen title
  bool known;         // the title is a track of the list
  std::string key;
  std::string bytes;  // key + suffix
};

// Every slot's write in slot order. The trilogy's slot 11 shares slot 10's field and is
// left out, so slot 10's choice decides it. suffix is written after the key (empty for the
// trilogy, whose keys all have one length and are written into the old name in place).
std::vector<TMusicSlotWrite> PlanMusicWrites(const TTrackList& list, const std::string& suffix);

// What writing the choice straight into the old image came to.
struct TDirectWriteResult {
  std::string error;              // empty on success; else why, in the language's words
  bool changed = false;           // the image now holds the change (and passed the check)
  std::vector<std::string> log;   // lines for the log: a warning per skipped slot, the check
};

// Writes the choice straight into the image the list was read from: the trilogy's keys over
// the old keys, the fourth game's keys with ".dspadpcm.bcstm" and a zero byte. Refused with
// nothing written when the file at RomPath is no longer the image that was read (another size,
// or no "INFO" at SoundInfoPos). A slot whose title is no track, or whose new name does not fit
// the name the image holds there, is left alone with a warning line. Then the image's hashes
// are brought up to date and the image is checked as `verify` checks it. All or nothing: when
// a write fails or the check does not pass, the old bytes are put back. Texts come from lang.
TDirectWriteResult WriteMusicIntoImage(const TTrackList& list, const TLangList& lang);

}  // namespace qpt
