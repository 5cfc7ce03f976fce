// The games the program knows and what each of them has. Everything that differs between the
// games (which steps a run takes, which files a mod folder carries, what the window offers)
// asks this type, so that a further kind of title is one more value here rather than a branch
// in every file. The indices (1..5) and codes ("AAT", ...) are the values that patch
// descriptors, the identification table and the step state use. Other stands for any further
// title, which only mod-folder patches (named by its program ID) can patch: no descriptor
// names it, and it has none of the Ace Attorney games' own data.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace qpt {

enum class TGameId : std::uint8_t { None = 0, AAT = 1, AA4 = 2, AA5 = 3, AA6 = 4, PLvsPW = 5, Other = 6 };

class TGame {
 public:
  // No game: an image not identified (yet).
  constexpr TGame() = default;
  constexpr explicit TGame(TGameId id) : id_(id) {}
  // The game of GameIndex 1..5, another title for 6; no game for anything else.
  static TGame FromIndex(std::uint8_t gameIndex);
  // The game of a code ("AAT", "AA4", "AA5", "AA6", "PLvsPW", exactly); no game otherwise.
  // Another title has no code.
  static TGame FromCode(std::string_view code);

  TGameId Id() const { return id_; }
  // One of the Ace Attorney games, which descriptors name; false for no game and another title.
  bool Known() const { return id_ != TGameId::None && id_ != TGameId::Other; }
  std::uint8_t Index() const { return static_cast<std::uint8_t>(id_); }
  // "AAT", ...; "" for no game and another title.
  const char* Code() const;
  // The English title of the series entry, as the Western releases name it; "" for no game and
  // another title.
  const char* Title() const;
  // Whether the game keeps its data in the pack archive (pack.dat with its index pack.inc),
  // which a patch changes with a delta and replaced entries.
  bool HasPackArchive() const;
  // Whether a patch may bring voice sets and the player may choose the music of each scene;
  // both live in SoundArchive().
  bool HasVoicesAndMusic() const;
  // The RomFS path of the sound archive the voices and music are in; "" when the game has none.
  const char* SoundArchive() const;
  // Whether the music step gives the streams it chooses names of their own (and so adds
  // files to the RomFS), rather than writing keys into the sound archive in place.
  bool MusicRenamesStreams() const;

  bool operator==(const TGame&) const = default;

 private:
  TGameId id_ = TGameId::None;
};

// Every Ace Attorney game, in index order (another title is none of them).
std::vector<TGame> KnownGames();

// The region code of RegionIndex 1..3 as descriptors write it ("JAP", "USA", "EUR"); "" for
// anything else.
const char* RegionCode(std::uint8_t regionIndex);

}  // namespace qpt
