// Where a mod folder goes so that it is loaded without the player looking for the place: the
// console's SD card (its luma/titles, read by the firmware's game patching) and the user
// folders of the 3DS emulators (their load/mods). Found afresh each time they are asked for,
// since a card may have been put in or pulled out in between.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "core/common/Folders.h"
#include "core/common/Volume.h"
#include "ctr/Io.h"

namespace qpt {

struct TModPlace {
  enum class Kind { SdCard, Emulator } kind = Kind::SdCard;
  // "Azahar", "Citra" or "Lime3DS" for an emulator; the volume's root for a card, as a player
  // names it ("E:", "/media/ann/CARD").
  std::string name;
  std::filesystem::path root;    // the card's root or the emulator's user folder
  std::filesystem::path target;  // root/luma/titles or root/load/mods, which may not exist yet
  std::uint64_t freeBytes = 0;   // on root's volume; 0 when unknown
};

// What the places are looked for in: the mounted volumes, and the variables HOME,
// XDG_DATA_HOME and APPDATA that lead to the emulators' user folders.
struct TPlaceSources {
  std::vector<TVolume> volumes;
  TEnvironment environment;
};

// The volumes mounted now and the process's environment. As a seam for tests that run the
// program as a process, the variable QPT_TEST_VOLUMES, when set, stands in for the mounted
// volumes: their roots, separated as PATH separates folders (":", or ";" on Windows), empty
// for none.
TPlaceSources SystemPlaceSources();

// Every card (a volume with a folder "luma" at its root) and every emulator user folder that
// exists, cards first, each folder once however often it is reached. Every system's emulator
// folders are looked for on each: where a system does not put them they do not exist.
std::vector<TModPlace> FindModPlaces(const TPlaceSources& sources);
std::vector<TModPlace> FindModPlaces();

// Makes the place's target where it is missing, below a root that must still be there (a card
// pulled out since it was found is not made again on the computer's disk).
ctr::Status PrepareModPlace(const TModPlace& place);

// A folder the player names for a mod folder: one missing level is made ("titles" in an
// existing luma/), but a missing parent, such as a mistyped drive or folder, is not.
enum class TFolderMaking { Ready, ParentMissing, Failed };
TFolderMaking MakeLastFolder(const std::filesystem::path& folder, std::error_code& error);

}  // namespace qpt
