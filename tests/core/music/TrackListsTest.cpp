#include "core/music/TrackLists.h"

#include <gtest/gtest.h>

#include <functional>

#include "core/music/BuiltinResources.h"
#include "core/rom/RomIdentify.h"
#include "ctr/Image.h"
#include "ctr/Ncch.h"
#include "ctr/Verify.h"
#include "support/GameImages.h"
#include "support/RawImages.h"
#include "support/RecordingHost.h"
#include "support/TempDir.h"

namespace qpt {
namespace {

using test::L;
using test::RawImageOptions;
using test::TempDir;
using Lines = std::vector<std::string>;

class TrackListTest : public ::testing::Test {
 protected:
  std::int64_t Image(const std::string& game, std::map<int, std::string> namesBySlot) {
    RawImageOptions o;
    o.programId = game == "AAT" ? 0x00138F00 : 0x001BD200;
    o.entry = game == "AAT" ? 104 : 4492;
    const auto& offsets = SlotOffsetsFor(game);
    for (const auto& [slot, name] : namesBySlot) o.streamNames[offsets[slot]] = name;
    return test::WriteRawImage(image_, o);
  }
  TempDir dir_{"tracks"};
  std::filesystem::path image_ = dir_ / "game.cxi";
};

TEST_F(TrackListTest, BuiltInTrilogyListReadsEverySlotFromTheImage) {
  const std::int64_t info = Image("AAT", {{0, std::string("BGM077.dspadpcm.bcstm\0junk", 27)},
                                          {33, "BGM200.bcstm"},
                                          {5, "UNKNOWN_STREAM"}});
  TTrackList list;
  ASSERT_EQ(list.Create(image_, "AAT", info, {}).status, TTrackListStatus::Ok);
  EXPECT_TRUE(list.Complete());
  EXPECT_EQ(list.TrackCount, 35);
  EXPECT_EQ(list.LastSlot, 33);
  EXPECT_EQ(list.GetKey(0), "BGM008");
  EXPECT_EQ(list.GetTitle(34), "Main Menu Theme (Trilogy)");
  EXPECT_EQ(list.GetType(34), 0);
  EXPECT_EQ(list.GetType(20), 7);
  EXPECT_EQ(list.GetSelected(0), "Courtroom Lounge 2002");
  EXPECT_EQ(list.GetSelected(33), "Main Menu Theme (Trilogy)");
  // A name with no key stays as the raw 24 bytes.
  EXPECT_EQ(list.GetSelected(5), std::string("UNKNOWN_STREAM") + std::string(10, '\0'));
  EXPECT_EQ(list.SlotOffsets.size(), 34u);
  EXPECT_EQ(list.SlotOffsets[10], list.SlotOffsets[11]);
  EXPECT_FALSE(list.MusicChanged);
}

TEST_F(TrackListTest, FourthGameListHas22SlotsAndItsOwnKeys) {
  const std::int64_t info = Image("AA4", {{8, "BGM05DS.dspadpcm.bcstm"}});
  TTrackList list;
  ASSERT_EQ(list.Create(image_, "AA4", info, {}).status, TTrackListStatus::Ok);
  EXPECT_EQ(list.TrackCount, 22);
  EXPECT_EQ(list.LastSlot, 21);
  EXPECT_EQ(list.GetSelected(8), "A New Trial is in Session! 2007");
  EXPECT_EQ(list.IndexOfTitle("Objection! 2001"), 9);
  EXPECT_EQ(list.IndexOfTitle("objection! 2001"), -1);
}

TEST_F(TrackListTest, BuiltInListsAreUtf8WithAMarkAndCrLf) {
  for (const char* name : {"TRACKLISTAAT", "trackListAA4"}) {
    const auto bytes = FindBuiltinResource(name);
    ASSERT_TRUE(bytes) << name;
    EXPECT_EQ(bytes->substr(0, 3), "\xEF\xBB\xBF");
    EXPECT_EQ(bytes->find('\n'), bytes->find("\r\n") + 1);
  }
}

TEST_F(TrackListTest, APatchListReplacesTheBuiltInOne) {
  const std::int64_t info = Image("AAT", {{0, "MYSONG1.bcstm"}});
  // The patch's list in UTF-16 little-endian with its mark.
  const std::u16string text = u"TrackCount:2\nMYSONG:\"My Song\":1\nX:Y:0";
  std::string bytes = "\xFF\xFE";
  for (char16_t c : text) {
    bytes += static_cast<char>(c & 0xFF);
    bytes += static_cast<char>(c >> 8);
  }
  test::WriteFile(dir_ / "patch/TrackListAAT.tls", bytes);
  TTrackList list;
  ASSERT_EQ(list.Create(image_, "AAT", info, dir_ / "patch").status, TTrackListStatus::Ok);
  EXPECT_EQ(list.TrackCount, 2);
  EXPECT_EQ(list.GetSelected(0), "My Song");
  EXPECT_EQ(list.LastSlot, 33);
}

TEST_F(TrackListTest, FirstKeyInListOrderWinsAndEmptyKeysNeverMatch) {
  TTrackList list;
  const std::int64_t info = Image("AAT", {});
  ASSERT_EQ(list.CreateFromText("TrackCount:3 \"\":Empty:1 BGM05:Short:1 BGM05DS:Long:1", image_, "AAT", info).status,
            TTrackListStatus::Ok);
  EXPECT_EQ(list.FindKeyInName("xxBGM05DS.bcstm"), 1);
  EXPECT_EQ(list.FindKeyInName(std::string("BGM\0BGM05", 9)), -1);
  EXPECT_EQ(list.FindKeyInName(""), -1);
}

TEST_F(TrackListTest, FormatErrorsAndImageErrors) {
  const std::int64_t info = Image("AAT", {});
  TTrackList list;
  // An unquoted title with a space shifts the entries; the type read is then no number.
  EXPECT_EQ(list.CreateFromText("TrackCount:2\r\nA:Two words:1\r\nB:x:2", image_, "AAT", info).status,
            TTrackListStatus::FormatError);
  EXPECT_FALSE(list.Complete());
  EXPECT_EQ(list.CreateFromText("TrackCount:1 A:x", image_, "AAT", info).status, TTrackListStatus::FormatError);
  EXPECT_EQ(list.CreateFromText("TrackCount:lots", image_, "AAT", info).status, TTrackListStatus::Failed);
  EXPECT_EQ(list.CreateFromText("TrackCount:3 A:x:1", image_, "AAT", info).status, TTrackListStatus::Failed);
  // A key that would not fit a slot's 24-byte field (with ".bcstm" and a zero byte after it
  // for the fourth game).
  EXPECT_EQ(list.CreateFromText("TrackCount:1 " + std::string(25, 'K') + ":x:1", image_, "AAT", info).status,
            TTrackListStatus::FormatError);
  EXPECT_EQ(list.CreateFromText("TrackCount:1 " + std::string(18, 'K') + ":x:1", image_, "AA4", info).status,
            TTrackListStatus::FormatError);
  EXPECT_EQ(list.CreateFromText("TrackCount:1 " + std::string(17, 'K') + ":x:1", image_, "AA4", info).status,
            TTrackListStatus::Ok);
  // The INFO block is not where the identification said.
  EXPECT_EQ(list.CreateFromText("TrackCount:0", image_, "AAT", info + 1).status, TTrackListStatus::ReadingError);
  EXPECT_EQ(list.CreateFromText("TrackCount:0", image_, "AAT", -1).status, TTrackListStatus::ReadingError);
  EXPECT_EQ(list.CreateFromText("TrackCount:0", image_, "AAT", 1ll << 40).status, TTrackListStatus::ReadingError);
  EXPECT_EQ(list.CreateFromText("TrackCount:0", dir_ / "missing.cxi", "AAT", info).status, TTrackListStatus::Failed);
  // A count of 0 builds, with the raw names in every slot.
  EXPECT_EQ(list.CreateFromText("TrackCount:0", image_, "AAT", info).status, TTrackListStatus::Ok);
  EXPECT_EQ(list.GetSelected(0), std::string(24, '\0'));
}

TEST_F(TrackListTest, CountsAboveTheLimitReadTheFirst101Tracks) {
  std::string text = "TrackCount:150\r\n";
  for (int i = 0; i < 150; ++i) text += "K" + std::to_string(i) + ":T" + std::to_string(i) + ":1\r\n";
  const std::int64_t info = Image("AA4", {});
  TTrackList list;
  ASSERT_EQ(list.CreateFromText(text, image_, "AA4", info).status, TTrackListStatus::Ok);
  EXPECT_EQ(list.TrackCount, 101);
  EXPECT_EQ(list.GetTitle(100), "T100");
  // Fewer entries read than the text holds: the rest are ignored.
  ASSERT_EQ(list.CreateFromText("TrackCount:1 A:a:1 B:b:2", image_, "AA4", info).status, TTrackListStatus::Ok);
  EXPECT_EQ(list.TrackCount, 1);
}

// ---------------------------------------------------------------- writing into the old image

class DirectWriteTest : public ::testing::Test {
 protected:
  // A whole image of the game (trilogy or fourth game, USA), its track list read as the window
  // reads it.
  test::GameImage Game(const std::string& code, const std::string& kind) {
    const TGameRow& row = IdentificationTable()[code == "AAT" ? 1 : 4];
    test::GameImage image = test::BuildGameImage(row, kind, dir_ / ("game" + kind), dir_ / "build");
    const TRomIdentity id = IdentifyRom(image.path);
    EXPECT_TRUE(id.Identified());
    EXPECT_EQ(list_.Create(image.path, code, id.soundInfoPos, {}).status, TTrackListStatus::Ok);
    return image;
  }
  TempDir dir_{"direct"};
  TTrackList list_;
  TLangList lang_ = test::BracketLanguage();
};

TEST_F(DirectWriteTest, EveryKindOfBothGamesVerifiesAfterwardsAndReadsBackTheNewTitles) {
  const std::map<std::string, std::map<int, std::string>> choices = {
      {"AAT", {{0, "Court Begins 2004"}, {10, "Logic and Trick 2001"}, {33, "Court Begins 2001"}}},
      // A longer name where the old one left room for it, and a name of the same length.
      {"AA4", {{8, "Pursuit ~ Cornered 2007"}, {1, "Court Begins 2001"}}}};
  for (const auto& [code, chosen] : choices) {
    for (const char* kind : {".cia", ".cxi", ".3ds"}) {
      SCOPED_TRACE(code + kind);
      const test::GameImage image = Game(code, kind);
      const TTrackList original = list_;
      for (const auto& [slot, title] : chosen) list_.SetSelected(slot, title);
      const TDirectWriteResult result = WriteMusicIntoImage(list_, lang_);
      EXPECT_EQ(result.error, "");
      EXPECT_TRUE(result.changed);
      EXPECT_EQ(result.log, Lines{L("LogOldRomVerified")});
      const ctr::Status verified = ctr::VerifyImage(image.path);
      EXPECT_TRUE(verified.ok()) << verified.message();

      const TRomIdentity id = IdentifyRom(image.path);
      ASSERT_TRUE(id.Identified());
      TTrackList back;
      ASSERT_EQ(back.Create(image.path, code, id.soundInfoPos, {}).status, TTrackListStatus::Ok);
      for (int slot = 0; slot <= back.LastSlot; ++slot) {
        const auto it = chosen.find(code == "AAT" && slot == 11 ? 10 : slot);
        EXPECT_EQ(back.GetSelected(slot), it != chosen.end() ? it->second : original.GetSelected(slot)) << slot;
      }
    }
  }
}

TEST_F(DirectWriteTest, ANameLongerThanTheImagesFieldIsSkippedAndTheImageStaysAsItWas) {
  const test::GameImage image = Game("AA4", ".cxi");
  const std::string before = test::ReadFile(image.path);
  // Slot 0 holds "BGM39.dspadpcm.bcstm" and its zero byte, 21 bytes with the padding of its
  // entry; the 2007 pursuit needs 25.
  list_.SetSelected(0, "Pursuit ~ Cornered 2007");
  const TDirectWriteResult result = WriteMusicIntoImage(list_, lang_);
  EXPECT_EQ(result.error, "");
  EXPECT_EQ(result.log, (Lines{L("WarningTrackNameTooLong") + "\r\nPursuit ~ Cornered 2007", L("LogOldRomVerified")}));
  // The other slots were written with the names they hold, so nothing at all changed.
  EXPECT_TRUE(test::ReadFile(image.path) == before);
}

TEST_F(DirectWriteTest, AnImageThatIsNotTheOneReadOrFailsTheCheckAfterwardsIsLeftAsItWas) {
  const test::GameImage image = Game("AA4", ".cia");
  const std::string original = test::ReadFile(image.path);
  const test::GameImage other = test::BuildGameImage(image.row, ".cxi", dir_ / "other.cxi", dir_ / "build2");
  const TTrackList read = list_;
  // Where the ExeFS's files lie: a byte there is covered by hashes the music write does not touch.
  ctr::FileReader reader;
  ASSERT_TRUE(reader.Open(image.path).ok());
  const auto ncch = ctr::LocateMainNcch(reader);
  ASSERT_TRUE(ncch.ok());
  ctr::WindowReader window(reader, ncch->offset, ncch->size);
  const auto header = ctr::ReadNcch(window);
  ASSERT_TRUE(header.ok());
  const std::size_t exefsFile = static_cast<std::size_t>(ncch->offset + header->exefs.offset + 0x200 + 0x10);

  const struct {
    const char* what;
    std::function<void(std::string&)> change;
    std::string error;
  } cases[] = {
      {"another image at the path", [&](std::string& bytes) { bytes = test::ReadFile(other.path); }, L("ErrorOldRomChanged")},
      {"no INFO where it was", [&](std::string& bytes) { bytes[static_cast<std::size_t>(read.SoundInfoPos)] ^= 0x20; },
       L("ErrorOldRomChanged")},
      {"damaged before", [&](std::string& bytes) { bytes[exefsFile] ^= 0x01; },
       L("ErrorOldRomNotVerified") + "\r\n<VerifyInContent:0><VerifyExeFsFiles>: <VerifyFaultExeFsFile:"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::string bytes = original;
    c.change(bytes);
    test::WriteFile(image.path, bytes);
    list_ = read;
    list_.SetSelected(1, "Court Begins 2001");
    const TDirectWriteResult result = WriteMusicIntoImage(list_, lang_);
    EXPECT_EQ(result.error.substr(0, c.error.size()), c.error);
    EXPECT_FALSE(result.changed);
    EXPECT_TRUE(test::ReadFile(image.path) == bytes);
  }
}

}  // namespace
}  // namespace qpt
