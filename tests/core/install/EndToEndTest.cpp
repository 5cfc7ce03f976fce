// Whole installations with our real container tools and xdelta3 on synthetic game images:
// every input kind to every output kind, and the full patch of the two music games.
#include <gtest/gtest.h>

#include <cstring>

#include "core/common/Common.h"
#include "core/install/PackDat.h"
#include "core/music/BuiltinResources.h"
#include "core/music/TrackLists.h"
#include "core/sound/N3DSBCSAR.h"
#include "support/AppFolder.h"
#include "support/GameImages.h"
#include "support/RecordingHost.h"

namespace qpt {
namespace {

namespace fs = std::filesystem;
using test::Bytes;

const TGameRow& Row(const std::string& code, std::uint8_t region = 2) {
  for (const TGameRow& row : IdentificationTable()) {
    if (row.gameCode == code && row.regionIndex == region) return row;
  }
  throw std::logic_error("no such row");
}

// The pack archive the update step must produce from the delta-patched one and the patch's
// entries: entries back to back, offsets, header values and sizes recomputed, the rest kept.
std::pair<Bytes, Bytes> ExpectedPack(const test::PackArchive& original, const Bytes& patchedDat,
                                     const std::map<std::string, Bytes>& replaced) {
  Bytes dat, inc = original.inc;
  for (std::size_t i = 0; i < original.entries.size(); ++i) {
    const std::uint32_t offset = test::GetLE32(original.inc, i * 20);
    const std::uint32_t size = test::GetLE32(original.inc, i * 20 + 12);
    Bytes entry(patchedDat.begin() + offset, patchedDat.begin() + offset + size);
    const std::string name = PackEntryFileName(static_cast<std::int64_t>(i), ".bin");
    if (replaced.count(name)) entry = replaced.at(name);
    test::PutLE32(inc, i * 20, static_cast<std::uint32_t>(dat.size()));
    test::PutLE32(inc, i * 20 + 8, PackHeaderValue(entry));
    test::PutLE32(inc, i * 20 + 12, static_cast<std::uint32_t>(entry.size()));
    dat.insert(dat.end(), entry.begin(), entry.end());
  }
  return {dat, inc};
}

class EndToEnd : public ::testing::Test {
 protected:
  struct Run {
    std::vector<std::string> lines;
    test::ImageContents out;
  };
  Run Install(const test::GameImage& image, const fs::path& patchDir, const std::string& outName,
              const TTrackList* list = nullptr, int voice = 0) {
    test::RecordingHost host;
    host.voiceIndex = voice;
    TInstallSettings s;
    s.appDir = app.path();
    s.patchDir = patchDir;
    s.romPath = image.path;
    s.outPath = app / outName;
    s.game = image.row.gameCode;
    s.lang = &lang;
    s.trackList = list;
    const std::string descriptor = patchDir.empty() ? "" : test::ReadFile(patchDir / "English.dsc");
    const auto value = [&](const std::string& key) {
      const auto at = descriptor.find(key + "=\"");
      return at == std::string::npos ? std::string() : descriptor.substr(at + key.size() + 2, 32);
    };
    if (!descriptor.empty() && value("OriginalPackDatMD5").find('"') == std::string::npos) {
      s.originalPackDatMD5 = value("OriginalPackDatMD5");
      s.originalPackIncMD5 = value("OriginalPackIncMD5");
    }
    CreateInstallJob(image.kind, host, s)->Execute();
    Run run{host.Lines(), {}};
    const fs::path written = RemoveExtension(app / outName).concat(OutputKind(app / outName));
    if (fs::exists(written)) run.out = test::ReadImageContents(written);
    return run;
  }
  void ExpectPatched(const test::GameImage& image, const test::GamePatch& patch, const test::ImageContents& out) {
    EXPECT_TRUE(out.verified) << out.problem;
    EXPECT_TRUE(out.noCrypto);
    EXPECT_TRUE(out.code == patch.newCode);
    for (const auto& [path, bytes] : patch.romfsFiles) {
      ASSERT_TRUE(out.romfs.count(path)) << path;
      EXPECT_TRUE(out.romfs.at(path) == bytes) << path;
    }
    for (const auto& [path, bytes] : image.romfs) {
      if (patch.romfsFiles.count(path) || path == "pack.dat" || path == "pack.inc" || path.rfind("sound/", 0) == 0) {
        continue;
      }
      ASSERT_TRUE(out.romfs.count(path)) << path;
      EXPECT_TRUE(out.romfs.at(path) == bytes) << path << " changed";
    }
    EXPECT_EQ(out.romfs.size(), image.romfs.size() + 1);  // one new file
  }

  test::AppFolder app{test::AppFolder::RealTools{}};
  test::TempDir work{"e2e"};
  TLangList lang = test::BracketLanguage();
};

TEST_F(EndToEnd, EveryInputKindToEveryOutputKind) {
  const std::pair<const char*, const char*> cases[] = {
      {".cia", "out.cia"}, {".cia", "out.cxi"}, {".cxi", "out.cia"}, {".cxi", "out.cxi"},
      {".3ds", "out.3ds"}, {".3ds", "out.cia"}, {".3ds", "out.cxi"}};
  for (const auto& [kind, outName] : cases) {
    SCOPED_TRACE(std::string(kind) + " -> " + outName);
    const auto image = test::BuildGameImage(Row("AA5"), kind, work / (std::string("in") + kind), work / "build");
    const auto before = test::FileSha256(image.path);
    const auto patch = test::BuildGamePatch(image, work / "patch");
    const Run run = Install(image, patch.folder, outName);
    ASSERT_FALSE(run.lines.empty());
    EXPECT_EQ(run.lines.back(), "[" + PathToUtf8(app / outName) + "]");
    ExpectPatched(image, patch, run.out);
    EXPECT_EQ(test::FileSha256(image.path), before) << "the input image must never change";
    fs::remove_all(work / "patch");
    fs::remove(app / outName);
  }
}

TEST_F(EndToEnd, AnUnchangedRebuildKeepsEveryFile) {
  const auto image = test::BuildGameImage(Row("AA6"), ".cia", work / "in.cia", work / "build");
  const Run run = Install(image, {}, "same.cia");
  EXPECT_TRUE(run.out.verified) << run.out.problem;
  EXPECT_TRUE(run.out.romfs == image.romfs);
  EXPECT_TRUE(run.out.code == image.code);
}

class MusicGameEndToEnd : public EndToEnd, public ::testing::WithParamInterface<const char*> {};

TEST_P(MusicGameEndToEnd, DeltaPackEntriesVoicesAndMusicLandInTheImage) {
  const std::string code = GetParam();
  const auto image = test::BuildGameImage(Row(code), ".cia", work / "in.cia", work / "build");
  const auto patch = test::BuildGamePatch(image, work / "my patch");
  // The player picked other music for two scenes.
  TTrackList list;
  ASSERT_EQ(list.Create(image.path, code, IdentifyRom(image.path).soundInfoPos, {}).status, TTrackListStatus::Ok);
  list.SetSelected(0, code == "AAT" ? "Objection! 2004" : "Objection! 2001");
  list.SetSelected(1, code == "AAT" ? "Court Begins 2001" : "Court Begins 2001");
  list.MusicChanged = true;
  const Run run = Install(image, patch.folder, "out.cia", &list, 2);
  ASSERT_FALSE(run.lines.empty());
  EXPECT_EQ(run.lines.back(), "[" + PathToUtf8(app / "out.cia") + "]");
  ExpectPatched(image, patch, run.out);

  const auto [dat, inc] = ExpectedPack(*image.pack, patch.patchedPackDat, patch.packEntries);
  EXPECT_TRUE(run.out.romfs.at("pack.dat") == dat);
  EXPECT_TRUE(run.out.romfs.at("pack.inc") == inc);

  // Voices: set 2 ("JAP ORIG") replaced its waves, every other wave kept its bytes.
  const auto& sound = *image.sound;
  const fs::path archive = work / "check" / (sound.soundFolder + ".bcsar");
  test::WriteFile(archive, run.out.romfs.at("sound/" + sound.soundFolder + ".bcsar"));
  ASSERT_EQ(UnpackBcsar(archive), 0);
  const fs::path pieces = ArchivePieceFolder(archive);
  ASSERT_EQ(UnpackCwar(pieces / "4_CSAR_FILE" / sound.VoicePieceName()), 0);
  for (std::size_t w = 0; w < sound.voiceWaves.size(); ++w) {
    const Bytes got = test::ReadBytes(pieces / "4_CSAR_FILE" / sound.VoiceFolderName() / "3_BCWAV" / test::WavePieceName(w));
    const Bytes& expected = patch.voices.at(2).count(w) ? patch.voices.at(2).at(w) : sound.voiceWaves[w];
    EXPECT_TRUE(got == expected) << "wave " << w;
  }
  // Music: the chosen keys stand in the INFO block; the fourth game's streams are renamed.
  const std::string info = test::ReadFile(pieces / "3_CSAR_INFO.bin");
  const auto& offsets = SlotOffsetsFor(code);
  if (code == "AAT") {
    EXPECT_EQ(info.substr(static_cast<std::size_t>(offsets[0]), 6), "BGM121");
    EXPECT_EQ(info.substr(static_cast<std::size_t>(offsets[1]), 6), "BGM013");
  } else {
    EXPECT_EQ(info.substr(static_cast<std::size_t>(offsets[0]), 12), std::string("BGM54.bcstm\0", 12));
    EXPECT_TRUE(run.out.romfs.count("sound/stream/BGM54.bcstm"));
    EXPECT_FALSE(run.out.romfs.count("sound/stream/BGM54.dspadpcm.bcstm"));
  }
  // No piece folder went into the image.
  for (const auto& [path, bytes] : run.out.romfs) {
    EXPECT_EQ(path.find("sound/" + sound.soundFolder + "/"), std::string::npos) << path;
  }
}

INSTANTIATE_TEST_SUITE_P(Games, MusicGameEndToEnd, ::testing::Values("AAT", "AA4"));

TEST_F(EndToEnd, ADeltaForAnotherArchiveIsRefusedAndNoImageIsWritten) {
  const auto image = test::BuildGameImage(Row("AAT", 3), ".3ds", work / "in.3ds", work / "build");
  const auto other = test::BuildGameImage(Row("AAT", 2), ".cxi", work / "other.cxi", work / "build2");
  const auto patch = test::BuildGamePatch(other, work / "patch");  // digests of another archive
  const Run run = Install(image, patch.folder, "out.3ds");
  ASSERT_GE(run.lines.size(), 2u);
  EXPECT_EQ(run.lines.back(), test::L("MD5NotMatched"));
  EXPECT_FALSE(fs::exists(app / "out.3ds"));
}

}  // namespace
}  // namespace qpt

namespace qpt {
namespace {

// Real images of every game and region, in every kind, are identified and their music
// names read, through the same file-table position the games use.
TEST(GameImages, EveryRowIdentifiedFromRealImagesOfEachKind) {
  test::TempDir work("identify-real");
  for (const TGameRow& row : IdentificationTable()) {
    for (const char* kind : {".cia", ".cxi", ".3ds"}) {
      SCOPED_TRACE(std::string(row.title) + " " + row.region + " " + kind);
      const auto image = test::BuildGameImage(row, kind, work / (std::string("game") + kind), work / "build");
      const TRomIdentity id = IdentifyRom(image.path);
      ASSERT_TRUE(id.Identified()) << id.errorKey;
      EXPECT_EQ(id.gameCode, row.gameCode);
      EXPECT_EQ(id.regionIndex, row.regionIndex);
      if (row.entry < 0) {
        EXPECT_EQ(id.soundInfoPos, -1);
        continue;
      }
      TTrackList list;
      ASSERT_EQ(list.Create(image.path, row.gameCode, id.soundInfoPos, {}).status, TTrackListStatus::Ok);
      for (int slot = 0; slot <= list.LastSlot; ++slot) {
        EXPECT_EQ(list.GetKey(list.IndexOfTitle(list.GetSelected(slot))), image.sound->slotKeys[static_cast<std::size_t>(slot)]);
      }
    }
  }
}

}  // namespace
}  // namespace qpt
