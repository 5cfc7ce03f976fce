// Track lists (a patch's TrackList<code>.tls): read against an image whose stream names are
// all blank, every slot set to some track, and the writes the install plans checked to stay
// inside their fields.
#include <filesystem>
#include <fstream>

#include "FuzzSupport.h"
#include "core/music/TrackLists.h"

namespace {

constexpr std::int64_t kInfoAt = 0x100;

// An image holding "INFO" at kInfoAt and room for every slot's field after it.
const std::filesystem::path& Image() {
  static const std::filesystem::path path = [] {
    const auto p = qpt::fuzz::Scratch() / "game.cxi";
    std::string bytes(0x10000 + kInfoAt, '\0');
    bytes.replace(kInfoAt, 4, "INFO");
    std::ofstream(p, std::ios::binary) << bytes;
    return p;
  }();
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(qpt::fuzz::Text(data, size));
  for (const char* game : {"AAT", "AA4"}) {
    qpt::TTrackList list;
    if (list.CreateFromText(bytes, Image(), game, kInfoAt).status != qpt::TTrackListStatus::Ok) continue;
    for (int slot = 0; slot <= list.LastSlot && list.TrackCount > 0; ++slot) {
      list.SetSelected(slot, list.GetTitle(slot % list.TrackCount));
    }
    for (const qpt::TMusicSlotWrite& w : qpt::PlanMusicWrites(list, qpt::InstallNameSuffix(game))) {
      // A write past its field would land on the next slot's name.
      if (w.known && w.bytes.size() > static_cast<std::size_t>(qpt::kStreamNameLength)) __builtin_trap();
    }
  }
  return 0;
}
