#include "core/rom/Game.h"

#include <iterator>
#include <vector>

namespace qpt {

namespace {

struct TGameTraits {
  TGameId id;
  const char* code;
  const char* title;
  bool packArchive;
  const char* soundArchive;  // "" when the game has no voices or music to change
  bool musicRenamesStreams;
};

constexpr TGameTraits kGames[] = {
    {TGameId::None, "", "", false, "", false},
    {TGameId::AAT, "AAT", "Phoenix Wright: Ace Attorney Trilogy", true, "sound/GS123.bcsar", false},
    {TGameId::AA4, "AA4", "Apollo Justice: Ace Attorney", true, "sound/GSB43DS.bcsar", true},
    {TGameId::AA5, "AA5", "Phoenix Wright: Ace Attorney - Dual Destinies", false, "", false},
    {TGameId::AA6, "AA6", "Phoenix Wright: Ace Attorney - Spirit of Justice", false, "", false},
    {TGameId::PLvsPW, "PLvsPW", "Professor Layton vs. Phoenix Wright: Ace Attorney", false, "", false},
    {TGameId::Other, "", "", false, "", false},
};

const TGameTraits& Traits(TGameId id) {
  const auto index = static_cast<std::size_t>(id);
  return index < std::size(kGames) ? kGames[index] : kGames[0];
}

}  // namespace

TGame TGame::FromIndex(std::uint8_t gameIndex) {
  return gameIndex < std::size(kGames) ? TGame(kGames[gameIndex].id) : TGame();
}

TGame TGame::FromCode(std::string_view code) {
  for (const TGameTraits& game : kGames) {
    if (TGame(game.id).Known() && code == game.code) return TGame(game.id);
  }
  return TGame();
}

const char* TGame::Code() const { return Traits(id_).code; }
const char* TGame::Title() const { return Traits(id_).title; }
bool TGame::HasPackArchive() const { return Traits(id_).packArchive; }
bool TGame::HasVoicesAndMusic() const { return *Traits(id_).soundArchive != '\0'; }
const char* TGame::SoundArchive() const { return Traits(id_).soundArchive; }
bool TGame::MusicRenamesStreams() const { return Traits(id_).musicRenamesStreams; }

std::vector<TGame> KnownGames() {
  std::vector<TGame> games;
  for (const TGameTraits& game : kGames) {
    if (TGame(game.id).Known()) games.emplace_back(game.id);
  }
  return games;
}

const char* RegionCode(std::uint8_t regionIndex) {
  static const char* const kRegionCodes[] = {"", "JAP", "USA", "EUR"};
  return regionIndex < std::size(kRegionCodes) ? kRegionCodes[regionIndex] : "";
}

}  // namespace qpt
