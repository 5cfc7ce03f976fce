#include "core/install/ModPlaces.h"

#include <gtest/gtest.h>

#include <map>

#include "core/common/Common.h"
#include "support/TempDir.h"

namespace qpt {
namespace {

namespace fs = std::filesystem;

TEST(ModPlaces, CardsWithLumaAndEveryEmulatorFolderThatExistsEachOnce) {
  test::TempDir root("places");
  const fs::path card = root / "card", h = root / "home", d = root / "data", a = root / "appdata";
  for (const fs::path& folder : {card / "luma", root / "stick/DCIM", d / "azahar-emu", d / "lime3ds-emu",
                                 h / ".local/share/citra-emu", h / ".var/app/org.azahar_emu.Azahar/data/azahar-emu",
                                 a / "Citra", h / "Library/Application Support/Lime3DS"}) {
    fs::create_directories(folder);
  }
  const std::string flatpak = PathToUtf8(h / ".var/app/org.azahar_emu.Azahar/data");
  using Place = std::pair<std::string, fs::path>;  // name and target
  const Place inFlatpak{"Azahar", fs::path(flatpak) / "azahar-emu/load/mods"};
  const Place mac{"Lime3DS", h / "Library/Application Support/Lime3DS/load/mods"};
  const auto volume = [](const fs::path& at) { return TVolume{at, "", false}; };
  struct Case {
    std::vector<TVolume> volumes;
    std::map<std::string, std::string> environment;
    std::vector<Place> expected;
  } const cases[] = {
      {{}, {}, {}},
      // A card reached twice (once with the separator at its end); a volume without luma.
      {{volume(root / "stick"), volume(card / ""), volume(card)}, {}, {{PathToUtf8(card), card / "luma/titles"}}},
      {{},
       {{"HOME", PathToUtf8(h)}, {"XDG_DATA_HOME", PathToUtf8(d)}, {"APPDATA", PathToUtf8(a)}},
       {{"Azahar", d / "azahar-emu/load/mods"},
        {"Lime3DS", d / "lime3ds-emu/load/mods"},
        inFlatpak,
        {"Citra", a / "Citra/load/mods"},
        mac}},
      // The default data folder; relative variables are not followed; Flatpak's sandbox
      // leads to its folder twice.
      {{},
       {{"HOME", PathToUtf8(h)}, {"APPDATA", "appdata"}},
       {{"Citra", h / ".local/share/citra-emu/load/mods"}, inFlatpak, mac}},
      {{}, {{"HOME", PathToUtf8(h)}, {"XDG_DATA_HOME", flatpak}}, {inFlatpak, mac}},
  };
  for (const Case& c : cases) {
    const auto places = FindModPlaces({c.volumes, [&c](const std::string& name) -> std::optional<std::string> {
                                         const auto at = c.environment.find(name);
                                         if (at == c.environment.end()) return std::nullopt;
                                         return at->second;
                                       }});
    std::vector<Place> found;
    for (const TModPlace& place : places) {
      found.emplace_back(place.name, place.target.lexically_normal());
      EXPECT_EQ(place.kind == TModPlace::Kind::SdCard, place.target.filename() == "titles");
      EXPECT_GT(place.freeBytes, 0u);
    }
    auto expected = c.expected;
    for (auto& [name, target] : expected) target = target.lexically_normal();
    EXPECT_EQ(found, expected);
  }
}

TEST(ModPlaces, TheTargetIsMadeOnlyBelowARootThatIsStillThereAndANamedFolderOneLevelDeep) {
  test::TempDir root("places");
  fs::create_directories(root / "card/luma");
  const TModPlace card{TModPlace::Kind::SdCard, "card", root / "card", root / "card/luma/titles", 0};
  EXPECT_TRUE(PrepareModPlace(card));
  EXPECT_TRUE(FolderExists(root / "card/luma/titles"));
  fs::remove_all(root / "card");  // pulled out
  EXPECT_FALSE(PrepareModPlace(card));
  EXPECT_FALSE(fs::exists(root / "card"));

  test::WriteFile(root / "file", "x");
  std::error_code error;
  EXPECT_EQ(MakeLastFolder(root / "mods" / "", error), TFolderMaking::Ready);
  EXPECT_TRUE(FolderExists(root / "mods"));
  EXPECT_EQ(MakeLastFolder(root / "no/such", error), TFolderMaking::ParentMissing);
  EXPECT_FALSE(fs::exists(root / "no"));
  EXPECT_EQ(MakeLastFolder(root / "file", error), TFolderMaking::Failed);
  EXPECT_TRUE(error);
}

}  // namespace
}  // namespace qpt
