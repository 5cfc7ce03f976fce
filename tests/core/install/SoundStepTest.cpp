#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/common/Common.h"
#include "core/music/BuiltinResources.h"
#include "core/music/TrackLists.h"
#include "core/sound/N3DSBCSAR.h"
#include "support/JobFixture.h"
#include "support/SoundFixtures.h"

namespace qpt {
namespace {

namespace fs = std::filesystem;
using test::L;
using ::testing::Contains;
using ::testing::Not;
using Lines = std::vector<std::string>;

class SoundStep : public ::testing::Test, protected test::JobFixture {
 protected:
  // The unpacked RomFS will hold this game's sound archive (and stream files for AA4).
  void Game(const std::string& code) {
    game = test::BuildGameSoundArchive(code, 9);
    fixtureArchive = app / "fixture.bcsar";
    test::WriteFile(fixtureArchive, game.archive.bytes);
    std::string plan = "when -xtf romfs\ncopy " + fixtureArchive.string() + " tools/temp/romfs/sound/" +
                       game.soundFolder + ".bcsar\n";
    for (const std::string& key : game.slotKeys) {
      plan += "write tools/temp/romfs/sound/stream/" + key + ".dspadpcm.bcstm stream-" + key + "\n";
    }
    PlanTool("3dstool", plan);
    // A track list as the window would hold it after reading this image.
    ASSERT_TRUE(list.CreateFromText(*FindBuiltinResource("TrackList" + code), app.Tool("3dstool"), code, -1).status ==
                TTrackListStatus::ReadingError);
    for (std::size_t s = 0; s < game.slotKeys.size(); ++s) {
      list.Selected[s] = list.GetTitle(list.FindKeyInName(game.slotKeys[s]));
    }
  }
  Lines RunStep() {
    auto settings = Settings("out.cia", game.gameCode);
    settings.trackList = &list;
    CreateInstallJob(".cia", host, settings)->Execute();
    const Lines lines = host.Lines();
    const auto from = std::find(lines.begin(), lines.end(), L("ExtractingExeFSHeaders")) + 2;
    const auto to = std::find(lines.begin(), lines.end(), L("RebuildingExeFS"));
    return Lines(from, to);
  }
  // The sound folder as the RomFS rebuild found it, or as a run that ended before it left it.
  fs::path Sound(const std::string& relative) {
    const fs::path packed = Packed("sound/" + relative);
    return fs::exists(Packed("")) ? packed : app / ("tools/temp/romfs/sound/" + relative);
  }
  std::string Archive() { return test::ReadFile(Sound(game.soundFolder + ".bcsar")); }
  std::string Info() {
    const std::string bytes = Archive();
    const std::uint32_t info = test::ReadSoundU32(test::SoundBytes(bytes.begin(), bytes.end()), 0x24);
    return bytes.substr(info);
  }
  // The waves of the voice wave archive in the rebuilt sound archive.
  std::vector<std::string> VoiceWaves() {
    test::TempDir out("voices");
    EXPECT_EQ(UnpackBcsar(Sound(game.soundFolder + ".bcsar"), out / "s"), 0);
    const fs::path cwar = out / ("s/4_CSAR_FILE/" + game.VoicePieceName());
    EXPECT_EQ(UnpackCwar(cwar), 0);
    std::vector<std::string> waves;
    for (std::size_t i = 0; i < game.voiceWaves.size(); ++i) {
      waves.push_back(test::ReadFile(out / ("s/4_CSAR_FILE/" + game.VoiceFolderName() + "/3_BCWAV/" +
                                            test::WavePieceName(i))));
    }
    return waves;
  }
  static std::string Str(const test::SoundBytes& b) { return std::string(b.begin(), b.end()); }

  test::GameSoundArchive game;
  fs::path fixtureArchive;
  TTrackList list;
};

TEST_F(SoundStep, WithoutVoicesOrMusicTheArchiveComesBackUnchanged) {
  Game("AAT");
  EXPECT_EQ(RunStep(), Lines{});
  EXPECT_TRUE(Archive() == Str(game.archive.bytes));
  EXPECT_FALSE(fs::exists(Sound(game.soundFolder)));
}

TEST_F(SoundStep, APartialVoiceSetReplacesExactlyItsWaves) {
  Game("AAT");
  const std::string longer(0x155, 'L'), shorter(0x21, 'S');
  test::WriteFile(patchDir / "voice/JAP MOD/3_BCWAV/001.bcwav", longer);
  // Named as a Windows tool may save it: the same file to the game, so it takes the wave's place.
  test::WriteFile(patchDir / "voice/JAP MOD/3_BCWAV/004.BCWAV", shorter);
  test::WriteFile(patchDir / "voice/JAP MOD/3_BCWAV/050.bcwav", "beyond the wave count");
  test::WriteFile(patchDir / "voice/ENG/3_BCWAV/001.bcwav", "english");
  host.voiceIndex = 1;
  EXPECT_EQ(RunStep(), (Lines{L("ApplyingVoice"), L("Done")}));
  std::vector<std::string> expected;
  for (const auto& w : game.voiceWaves) expected.push_back(Str(w));
  expected[1] = longer;
  expected[4] = shorter;
  EXPECT_EQ(VoiceWaves(), expected);
  EXPECT_FALSE(fs::exists(Sound(game.soundFolder)));
}

TEST_F(SoundStep, FourthGameLogsTheVoiceLineAfterSplittingTheWaveArchive) {
  Game("AA4");
  test::WriteFile(patchDir / "voice/ENG/3_BCWAV/000.bcwav", "new first wave");
  EXPECT_EQ(RunStep(), (Lines{L("ApplyingVoice"), L("Done")}));
  EXPECT_EQ(VoiceWaves().at(0), "new first wave");
}

TEST_F(SoundStep, AMissingVoiceSetWarnsAndLeavesTheArchiveAndNoPieces) {
  Game("AAT");
  test::WriteFile(patchDir / "voice/ENG/3_BCWAV/000.bcwav", "x");
  host.voiceIndex = 2;  // "JAP ORIG" is not there
  list.MusicChanged = true;
  EXPECT_EQ(RunStep(), (Lines{L("ApplyingVoice"), L("WarningCopyingSoundFiles")}));
  EXPECT_TRUE(Archive() == Str(game.archive.bytes));
  EXPECT_FALSE(fs::exists(Sound(game.soundFolder)));
}

TEST_F(SoundStep, TrilogyMusicWritesKeysInPlaceAndNeverSlotEleven) {
  Game("AAT");
  list.MusicChanged = true;
  list.SetSelected(0, "Objection! 2004");            // BGM121
  list.SetSelected(10, "Logic and Trick 2001");      // BGM005 into the shared field
  list.SetSelected(11, "Confess the Truth 2001");    // ignored: slot 10 decides
  list.SetSelected(4, "No Such Track");
  EXPECT_EQ(RunStep(), (Lines{L("ChangingMusic"), L("WarningUnknownTrack"), "No Such Track", L("Done")}));
  const std::string info = Info();
  const auto& offsets = SlotOffsetsFor("AAT");
  EXPECT_EQ(info.substr(static_cast<std::size_t>(offsets[0]), 22), "BGM121.dspadpcm.bcstm" + std::string(1, '\0'));
  EXPECT_EQ(info.substr(static_cast<std::size_t>(offsets[10]), 6), "BGM005");
  EXPECT_EQ(info.substr(static_cast<std::size_t>(offsets[4]), 6), game.slotKeys[4]);
  EXPECT_EQ(Archive().size(), game.archive.bytes.size());
}

TEST_F(SoundStep, FourthGameMusicWritesShortNamesAndRenamesTheStreams) {
  Game("AA4");
  list.MusicChanged = true;
  list.SetSelected(0, "Objection! 2001");   // BGM54
  list.SetSelected(1, "Objection! 2001");   // the second rename finds nothing: fine
  list.SetSelected(11, "Objection! 2001");  // slot 11 has a field of its own in this game
  EXPECT_EQ(RunStep(), (Lines{L("ChangingMusic"), L("Done")}));
  const std::string info = Info();
  const auto& offsets = SlotOffsetsFor("AA4");
  for (const int slot : {0, 1, 11}) {
    EXPECT_EQ(info.substr(static_cast<std::size_t>(offsets[static_cast<std::size_t>(slot)]), 12),
              std::string("BGM54.bcstm\0", 12)) << slot;
  }
  EXPECT_TRUE(fs::exists(Sound("stream/BGM54.bcstm")));
  EXPECT_FALSE(fs::exists(Sound("stream/BGM54.dspadpcm.bcstm")));
  // Every other slot still names its own track, so its stream was renamed as well.
  EXPECT_TRUE(fs::exists(Sound("stream/BGM01.bcstm")));
}

TEST_F(SoundStep, ADamagedArchiveIsLeftAsItWas) {
  Game("AAT");
  std::string broken = Str(game.archive.bytes).substr(0, 0x300);
  test::WriteFile(fixtureArchive, broken);
  list.MusicChanged = true;
  EXPECT_EQ(RunStep(), Lines{L("WarningUnpackingBcsar")});
  EXPECT_EQ(Archive(), broken);
  EXPECT_FALSE(fs::exists(Sound(game.soundFolder)));
  // The image is still built, but the run does not end as if nothing had happened.
  const Lines lines = host.Lines();
  EXPECT_EQ(Lines(lines.end() - 4, lines.end()), (Lines{"[" + PathToUtf8(app / "out.cia") + "]", "",
                                                        L("PatchingCompletedWithWarnings"), L("WarningUnpackingBcsar")}));
}

TEST_F(SoundStep, ADamagedVoiceArchiveSkipsVoicesAndMusicWithItsOwnWarning) {
  Game("AAT");
  std::string bytes = Str(game.archive.bytes);
  const std::size_t voice = game.archive.fileOffset + game.archive.fileOffsets[game.voiceIndex];
  ASSERT_EQ(bytes.substr(voice, 4), "CWAR");
  bytes.replace(voice, 4, "XXXX");
  test::WriteFile(fixtureArchive, bytes);
  test::WriteFile(patchDir / "voice/ENG/3_BCWAV/000.bcwav", "x");
  list.MusicChanged = true;
  auto settings = Settings("out.cia", game.gameCode);
  settings.trackList = &list;
  auto job = CreateInstallJob(".cia", host, settings);
  job->Execute();
  const Lines lines = host.Lines();
  EXPECT_EQ(Lines(lines.end() - 2, lines.end()), (Lines{L("PatchingCompletedWithWarnings"), L("WarningUnpackingCwar")}));
  EXPECT_TRUE(job->SucceededWithWarnings());
  EXPECT_EQ(Archive(), bytes);
}

TEST_F(SoundStep, AJoinThatCannotBeWrittenEndsTheRunWithArchiveAndStreamsAgreeing) {
  Game("AA4");
  list.MusicChanged = true;
  list.SetSelected(0, "Objection! 2001");
  // The join writes beside the archive first; a folder in that place makes the write fail.
  std::string plan = test::ReadFile(app.Tool("3dstool").string() + ".plan");
  plan.insert(plan.find("when -xtf romfs\n") + 16,
              "write tools/temp/romfs/sound/" + game.soundFolder + ".bcsar.qpt-partial/blocker x\n");
  test::WriteFile(app.Tool("3dstool").string() + ".plan", plan);
  auto settings = Settings("out.cia", game.gameCode);
  settings.trackList = &list;
  auto job = CreateInstallJob(".cia", host, settings);
  job->Execute();
  EXPECT_FALSE(job->Succeeded());
  const std::string reason =
      "<ErrorWritingWorkFiles:create(" + PathToUtf8(Sound(game.soundFolder + ".bcsar").make_preferred()) + "): ";
  EXPECT_THAT(host.Lines().back(), ::testing::StartsWith(reason));
  EXPECT_GT(host.Lines().back().size(), reason.size() + 1);
  EXPECT_TRUE(Archive() == Str(game.archive.bytes));
  for (const std::string& key : game.slotKeys) {
    EXPECT_TRUE(fs::exists(Sound("stream/" + key + ".dspadpcm.bcstm"))) << key;
    EXPECT_FALSE(fs::exists(Sound("stream/" + key + ".bcstm"))) << key;
  }
}

TEST_F(SoundStep, OtherGamesHaveNoSoundStep) {
  Game("AAT");
  game.gameCode = "AA5";
  test::WriteFile(patchDir / "voice/ENG/3_BCWAV/000.bcwav", "x");
  EXPECT_EQ(RunStep(), Lines{});
  EXPECT_TRUE(Archive() == Str(game.archive.bytes));
}

}  // namespace
}  // namespace qpt
