#include "core/rom/RomIdentify.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <sstream>

#include "support/RawImages.h"
#include "support/TempDir.h"

namespace qpt {
namespace {

namespace fs = std::filesystem;
using test::RawImageOptions;
using test::TempDir;
using test::WriteRawImage;

// A row of the published identification list in tests/data.
struct TPublishedRow {
  std::uint32_t programIdLow = 0;
  int gameIndex = 0;
  int regionIndex = 0;
  std::string gameCode;
  std::int32_t entry = -1;
  std::string title;
  std::string region;
};

std::vector<TPublishedRow> PublishedRows() {
  std::istringstream text(test::ReadFile(fs::path(QPT_TEST_DATA_DIR) / "identification.txt"));
  std::vector<TPublishedRow> rows;
  for (std::string line; std::getline(text, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> fields;
    std::istringstream cells(line);
    for (std::string field; std::getline(cells, field, '|');) fields.push_back(field);
    EXPECT_EQ(fields.size(), 7u) << line;
    if (fields.size() != 7) continue;
    rows.push_back({static_cast<std::uint32_t>(std::stoul(fields[0], nullptr, 16)), std::stoi(fields[1]),
                    std::stoi(fields[2]), fields[3], fields[4] == "-" ? -1 : std::stoi(fields[4]), fields[5],
                    fields[6]});
  }
  return rows;
}

// The published values, not the program's own table, make the images and the expectations:
// a wrong digit in either fails here.
TEST(Identify, EveryPublishedProgramIdInEveryKind) {
  TempDir dir("identify");
  const std::vector<TPublishedRow> rows = PublishedRows();
  ASSERT_EQ(rows.size(), 15u);
  EXPECT_EQ(IdentificationTable().size(), rows.size());
  for (const TPublishedRow& row : rows) {
    for (const char* kind : {".cia", ".3ds", ".cxi"}) {
      RawImageOptions o;
      o.kind = kind;
      // The high half of the program ID is not part of the identity.
      o.programId = (0x00040000ull << 32) | row.programIdLow;
      o.entry = row.entry;
      const auto path = dir / (std::string("game") + kind);
      const std::int64_t info = WriteRawImage(path, o);
      const TRomIdentity id = IdentifyRom(path);
      SCOPED_TRACE(row.title + " " + row.region + " " + kind);
      EXPECT_TRUE(id.Identified());
      EXPECT_EQ(id.romExt, kind);
      EXPECT_EQ(id.logLines, (std::vector<std::string>{row.title, row.region}));
      EXPECT_EQ(id.gameIndex, row.gameIndex);
      EXPECT_EQ(id.regionIndex, row.regionIndex);
      EXPECT_EQ(id.gameCode, row.gameCode);
      EXPECT_EQ(id.soundInfoPos, row.entry >= 0 ? info : -1);
    }
  }
}

TEST(Identify, TheHighHalfOfTheProgramIdIsIgnored) {
  TempDir dir("identify");
  RawImageOptions o;
  o.programId = 0xDEADBEEF00138F00ull;
  WriteRawImage(dir / "a.cxi", o);
  EXPECT_EQ(IdentifyRom(dir / "a.cxi").gameCode, "AAT");
}

TEST(Identify, RefusalsByKind) {
  TempDir dir("identify");
  test::WriteFile(dir / "bad.cia", std::string(64, '\x01'));
  test::WriteFile(dir / "bad.3ds", std::string(0x200, 'x'));
  test::WriteFile(dir / "bad.cxi", std::string(0x200, 'x'));
  test::WriteFile(dir / "empty.cia", "");
  EXPECT_EQ(IdentifyRom(dir / "bad.cia").errorKey, "ErrorNOTCIAROM");
  EXPECT_FALSE(IdentifyRom(dir / "bad.cia").kindChecked);
  EXPECT_EQ(IdentifyRom(dir / "bad.3ds").errorKey, "ErrorNOT3DSROM");
  EXPECT_EQ(IdentifyRom(dir / "bad.cxi").errorKey, "ErrorNOTCXIROM");
  EXPECT_EQ(IdentifyRom(dir / "empty.cia").errorKey, "ErrorNOTCIAROM");
  EXPECT_EQ(IdentifyRom(dir / "missing.cia").errorKey, "ErrorLoadingROM");
}

TEST(Identify, EncryptedAndUnknownImages) {
  TempDir dir("identify");
  RawImageOptions o;
  o.kind = ".3ds";
  o.encrypted = true;
  o.programId = 0x0004000000012300ull;
  WriteRawImage(dir / "enc.3ds", o);
  // A mod folder for the title does not make an encrypted image readable.
  test::WriteFile(dir / "patch/Mod/0004000000012300/romfs/a.txt", "a");
  TRomIdentity id = IdentifyRom(dir / "enc.3ds", {dir / "patch"});
  EXPECT_TRUE(id.encrypted);
  EXPECT_TRUE(id.errorKey.empty());
  EXPECT_FALSE(id.Identified());

  o = {};
  o.programId = 0x0004000000012300ull;
  WriteRawImage(dir / "unknown.cxi", o);
  id = IdentifyRom(dir / "unknown.cxi");
  EXPECT_EQ(id.logLines, (std::vector<std::string>{"ProgramID: 00012300", "Unknown ROM"}));
  EXPECT_EQ(id.errorKey, "ErrorWrongROM");
  EXPECT_EQ(id.gameIndex, 0);
}

TEST(Identify, KindByExtensionIgnoresCaseAndOtherNamesGoByContent) {
  TempDir dir("identify");
  RawImageOptions o;
  o.kind = ".cia";
  WriteRawImage(dir / "GAME.CIA", o);
  EXPECT_EQ(IdentifyRom(dir / "GAME.CIA").romExt, ".cia");
  o.kind = ".3ds";
  WriteRawImage(dir / "card.cci", o);
  EXPECT_EQ(IdentifyRom(dir / "card.cci").romExt, ".3ds");
  EXPECT_TRUE(IdentifyRom(dir / "card.cci").Identified());
  o.kind = ".cxi";
  WriteRawImage(dir / "noext", o);
  EXPECT_EQ(IdentifyRom(dir / "noext").romExt, ".cxi");
  o.kind = ".cia";
  WriteRawImage(dir / "game.app", o);
  EXPECT_EQ(IdentifyRom(dir / "game.app").romExt, ".cia");
  test::WriteFile(dir / "notes.txt", "hello, this is not a game image at all..." + std::string(0x200, ' '));
  EXPECT_EQ(IdentifyRom(dir / "notes.txt").errorKey, "ErrorWrongROM");
}

TEST(Identify, TruncatedImagesNeverReadPastTheEnd) {
  TempDir dir("identify");
  RawImageOptions o;
  o.kind = ".cia";
  const std::string full = test::MakeRawImage(o).Bytes();
  for (std::size_t length : std::initializer_list<std::size_t>{0, 3, 19, 0x100, 0x3900, 0x3A18, 0x3B00, 0x5000,
                                                               full.size() / 2, full.size() - 1}) {
    test::WriteFile(dir / "t.cia", full.substr(0, length));
    const TRomIdentity id = IdentifyRom(dir / "t.cia");
    // Either refused, or identified without a usable INFO position: never garbage.
    if (id.Identified()) {
      EXPECT_TRUE(id.soundInfoPos == -1 || id.soundInfoPos < static_cast<std::int64_t>(length)) << length;
    } else {
      EXPECT_FALSE(id.errorKey.empty()) << length;
    }
  }
}

TEST(Identify, ImagesBeyondFourGigabytesAreAddressed) {
  TempDir dir("identify");
  RawImageOptions o;
  o.leadingPadding = (5ull << 30);  // the RomFS starts 5 GiB into the image
  const std::int64_t info = WriteRawImage(dir / "big.cxi", o);  // sparse
  const TRomIdentity id = IdentifyRom(dir / "big.cxi");
  EXPECT_TRUE(id.Identified());
  EXPECT_EQ(id.soundInfoPos, info);
  EXPECT_GT(id.soundInfoPos, 1ll << 32);
}

}  // namespace
}  // namespace qpt
