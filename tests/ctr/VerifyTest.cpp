#include "ctr/Verify.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "ctr/FilePass.h"
#include "ctr/Image.h"
#include "ctr/InPlace.h"
#include "ctr/Ncch.h"
#include "ctr/RomFs.h"
#include "ctr/Sha256.h"
#include "support/ImageBuilder.h"
#include "support/ImageFiles.h"
#include "support/TempDir.h"

namespace ctr {
namespace {

using qpt::test::Bytes;
using qpt::test::ReadBytes;
using qpt::test::TempDir;
using qpt::test::VectorPath;

// The regions reported bad, in report order.
std::vector<std::string> BadRegions(const VerifyReport& report) {
  std::vector<std::string> bad;
  for (const VerifyItem& item : report.items) {
    if (!item.good) bad.push_back(item.region);
  }
  return bad;
}

TEST(Verify, ReferenceImagesOfEveryKindPass) {
  for (const char* name : {"cxi/out.cxi", "cia/out.cia", "ncsd/out.3ds"}) {
    auto report = VerifyImageReport(VectorPath(name), true);
    ASSERT_TRUE(report.ok()) << report.message();
    EXPECT_TRUE(report->ok()) << name << ": " << report->FirstProblem();
    EXPECT_GE(report->items.size(), 10u) << name;
    // The whole file's hash, from the check's own reads: every byte, not just the contents.
    const Bytes file = ReadBytes(VectorPath(name));
    EXPECT_EQ(report->fileSha256, Sha256::Of(file.data(), file.size())) << name;
  }
  EXPECT_TRUE(VerifyImage(VectorPath("cia/out.cia")).ok());
}

TEST(Verify, EachDamagedRegionIsNamed) {
  TempDir dir;
  const Bytes cxi = ReadBytes(VectorPath("cxi/out.cxi"));
  // out.cxi: exheader 0x200, logo 0xA00, ExeFS 0x2A00 (.code data from 0x2C00), RomFS 0x29000
  // with level 3 at +0x1000, level 1 at +0x5000, level 2 at +0x6000.
  using Regions = std::vector<std::string>;
  const std::pair<std::size_t, Regions> damages[] = {
      {0x300, {"exheader hash"}},
      {0x700, {}},  // access descriptor: not covered by any hash
      {0xA10, {"logo hash"}},
      {0x2A10, {"ExeFS header hash"}},
      {0x2C00 + 0x100, {"ExeFS files"}},
      // The master hash is both in the NCCH's hashed region and the root of the tree.
      {0x29000 + 0x62, {"RomFS header hash", "RomFS levels"}},
      {0x29000 + 0x1000 + 0x2000, {"RomFS levels"}},
      {0x29000 + 0x6000 + 0x10, {"RomFS levels"}},
  };
  for (const auto& [offset, region] : damages) {
    Bytes bad = cxi;
    bad[offset] ^= 0x01;
    qpt::test::WriteBytes(dir / "bad.cxi", bad);
    auto report = VerifyImageReport(dir / "bad.cxi");
    ASSERT_TRUE(report.ok()) << report.message();
    EXPECT_EQ(BadRegions(*report), region) << std::hex << offset << ": " << report->FirstProblem();
  }
}

// The one read behind the check hands its 2 MiB blocks to the further threads through a ring
// of six; inputs several times the ring's size, with ranges that start and end in different
// slots, must reach every digest whole, whichever thread feeds it.
constexpr std::uint64_t kPassBlock = std::uint64_t{2} << 20;

Bytes Noise(std::size_t size, std::uint32_t seed) {
  Bytes bytes(size);
  for (std::uint8_t& b : bytes) {
    seed ^= seed << 13;
    seed ^= seed >> 17;
    seed ^= seed << 5;
    b = static_cast<std::uint8_t>(seed >> 11);
  }
  return bytes;
}

TEST(FilePass, EveryDigestGetsEveryBlockOfAFileManyTimesTheRing) {
  const Bytes file = Noise(19 * kPassBlock + 0x123, 0x11223344);
  MemoryReader reader(file);
  const struct {
    std::uint64_t offset, size;
    bool aside;
  } spans[] = {{0x200, 17 * kPassBlock + 0x5C0, false}, {kPassBlock + 7, 15 * kPassBlock, true},
               {5 * kPassBlock - 1, 3, true}, {11 * kPassBlock, 8 * kPassBlock + 0x123, false}};
  std::vector<Sha256> hashes(std::size(spans));
  std::vector<int> ended(std::size(spans), 0);
  std::vector<PassRange> ranges;
  for (std::size_t i = 0; i < std::size(spans); ++i) {
    ranges.push_back({spans[i].offset, spans[i].size,
                      [&hash = hashes[i]](const std::uint8_t* p, std::size_t n) { hash.Update(p, n); },
                      [&end = ended[i]](const Status& s) { end += s.ok() ? 1 : 100; }, spans[i].aside});
  }
  Sha256 whole;
  ASSERT_TRUE(RunFilePass(reader, std::move(ranges), &whole).ok());
  EXPECT_EQ(whole.Final(), Sha256::Of(file.data(), file.size()));
  for (std::size_t i = 0; i < std::size(spans); ++i) {
    EXPECT_EQ(ended[i], 1) << i;
    EXPECT_EQ(hashes[i].Final(), Sha256::Of(file.data() + spans[i].offset, spans[i].size)) << i;
  }
}

// A CIA of 30 MiB, damaged inside RomFS level 3 in each slot of the ring in turn: the content's
// hash (on the reading thread), RomFS level 3 (set aside) and the whole file's hash (on its own
// thread) each see the damage.
TEST(Verify, DamageInAnySlotOfTheReadOfALargeImageIsFound) {
  TempDir dir;
  qpt::test::ImageRecipe recipe;
  recipe.romfs = {{"data/big.bin", Noise(30u << 20, 0x55667788)}};
  qpt::test::ImageBuilder(dir / "build").BuildCia(recipe, dir / "big.cia");
  Bytes image = ReadBytes(dir / "big.cia");
  for (int slot = -1; slot < 6; ++slot) {
    // Past the first 12 MiB, well inside the big file's data.
    const std::size_t at = slot < 0 ? 0 : static_cast<std::size_t>((6 + slot) * kPassBlock + 0x1234);
    if (slot >= 0) image[at] ^= 0x20;
    qpt::test::WriteBytes(dir / "damaged.cia", image);
    auto report = VerifyImageReport(dir / "damaged.cia", true);
    ASSERT_TRUE(report.ok()) << report.message();
    std::vector<std::string> bad = BadRegions(*report);
    std::sort(bad.begin(), bad.end());
    EXPECT_EQ(bad, (slot < 0 ? std::vector<std::string>{}
                             : std::vector<std::string>{"content 0: RomFS levels", "content 0: content hash"}))
        << "slot " << slot;
    EXPECT_EQ(report->fileSha256, Sha256::Of(image.data(), image.size())) << "slot " << slot;
    if (slot >= 0) image[at] ^= 0x20;
  }
}

TEST(Verify, CiaChecksTheTmdChainAndTheContent) {
  TempDir dir;
  const Bytes cia = ReadBytes(VectorPath("cia/out.cia"));
  const std::size_t tmd = 0x2DC0, content = 0x3900;
  const std::pair<std::function<void(Bytes&)>, std::string> damages[] = {
      {[&](Bytes& b) { b[content + 0x29000 + 0x3000] ^= 1; }, "content 0: content hash"},
      {[&](Bytes& b) { b[tmd + 0xB04 + 0x10] ^= 1; }, "TMD content records hash"},
      {[&](Bytes& b) { b[tmd + 0x204 + 4] ^= 1; }, "TMD info records hash"},
      {[&](Bytes& b) { b[0x2040 + 0x300] ^= 1; }, "certificate chain"},
      {[&](Bytes& b) { b[0x2A40 + 0x1DC + 7] ^= 1; }, "ticket and TMD title ID"},
      {[&](Bytes& b) { b[0x20] |= 0x40; }, "content index bitmap"},
  };
  for (const auto& [damage, region] : damages) {
    Bytes bad = cia;
    damage(bad);
    qpt::test::WriteBytes(dir / "bad.cia", bad);
    auto report = VerifyImageReport(dir / "bad.cia");
    ASSERT_TRUE(report.ok()) << report.message();
    const auto bad_regions = BadRegions(*report);
    ASSERT_FALSE(bad_regions.empty()) << region;
    EXPECT_EQ(bad_regions[0], region);
    EXPECT_FALSE(VerifyImage(dir / "bad.cia").ok());
  }
}

TEST(Verify, EncryptedFlagInTheTmdAndInTheNcchAreReported) {
  TempDir dir;
  Bytes cia = ReadBytes(VectorPath("cia/out.cia"));
  cia[0x3900 + 0x18F] = 0;  // NoCrypto cleared in content 0
  qpt::test::WriteBytes(dir / "a.cia", cia);
  auto report = VerifyImageReport(dir / "a.cia");
  ASSERT_TRUE(report.ok());
  const auto bad = BadRegions(*report);
  EXPECT_NE(std::find(bad.begin(), bad.end(), "content 0: stored decrypted (NoCrypto)"), bad.end());
}

TEST(Verify, CardImageChecksTheNcchHeaderCopy) {
  TempDir dir;
  Bytes card = ReadBytes(VectorPath("ncsd/out.3ds"));
  card[0x1118] ^= 1;
  qpt::test::WriteBytes(dir / "bad.3ds", card);
  auto report = VerifyImageReport(dir / "bad.3ds");
  ASSERT_TRUE(report.ok());
  EXPECT_EQ(BadRegions(*report), std::vector<std::string>{"NCCH header copy at 0x1100"});
}

TEST(Verify, UnknownOrTruncatedFilesFailOrReportWithoutCrashing) {
  TempDir dir;
  qpt::test::WriteFile(dir / "text.bin", std::string("hello"));
  EXPECT_FALSE(VerifyImageReport(dir / "text.bin").ok());
  EXPECT_FALSE(VerifyImage(dir / "missing.cia").ok());
  const Bytes cia = ReadBytes(VectorPath("cia/out.cia"));
  for (std::size_t length : {std::size_t{0x2020}, std::size_t{0x3900 + 0x200}, cia.size() - 1}) {
    qpt::test::WriteBytes(dir / "short.cia", Bytes(cia.begin(), cia.begin() + static_cast<std::ptrdiff_t>(length)));
    EXPECT_FALSE(VerifyImage(dir / "short.cia").ok()) << length;
  }
}

TEST(Verify, BuiltImagesForManyTitlesPass) {
  TempDir dir;
  qpt::test::ImageBuilder builder(dir.path());
  for (std::uint64_t id : {0x0004000000030800ull, 0x000400000F700E00ull, 0x0004000000055D00ull}) {
    qpt::test::ImageRecipe recipe;
    recipe.programId = id;
    recipe.romfs["snd/bgm_" + std::to_string(id & 0xFFFF) + ".bcstm"] = qpt::test::PatternBytes(0x2345, static_cast<std::uint32_t>(id));
    builder.BuildCia(recipe, dir / "t.cia");
    builder.Build3ds(recipe, dir / "t.3ds");
    builder.BuildCxi(recipe, dir / "t.cxi");
    for (const char* name : {"t.cia", "t.3ds", "t.cxi"}) {
      const Status s = VerifyImage(dir / name);
      EXPECT_TRUE(s.ok()) << std::hex << id << " " << name << ": " << s.message();
    }
  }
}

// An editor whose write number failAt (counted from 1) stops half-way and fails, as on a full
// or failing disk.
class FailingEditor : public FileEditor {
 public:
  int failAt = 0;
  int writes = 0;
  Status WriteAt(std::uint64_t offset, const void* data, std::size_t size) override {
    if (++writes != failAt) return FileEditor::WriteAt(offset, data, size);
    (void)FileEditor::WriteAt(offset, data, size / 2);
    return Status::Error("no space left on the device");
  }
};

TEST(EditInPlace, AWriteThatFailsPartWayLeavesTheImageByteForByteAsItWas) {
  TempDir dir;
  qpt::test::ImageBuilder builder(dir.path());
  qpt::test::ImageRecipe recipe;
  recipe.romfs["sound/names.bin"] = qpt::test::PatternBytes(0x5123, 7);
  builder.BuildCia(recipe, dir / "t.cia");
  const Bytes original = ReadBytes(dir / "t.cia");

  FileReader reader;
  ASSERT_TRUE(reader.Open(dir / "t.cia").ok());
  const auto ncch = LocateMainNcch(reader);
  ASSERT_TRUE(ncch.ok());
  WindowReader window(reader, ncch->offset, ncch->size);
  const auto header = ReadNcch(window);
  ASSERT_TRUE(header.ok());
  InputFile file;
  ASSERT_TRUE(file.Open(dir / "t.cia").ok());
  RomFsReader romfs;
  ASSERT_TRUE(romfs.Open(file, ncch->offset + header->romfs.offset, header->romfs.size).ok());
  const auto names = romfs.Find("sound/names.bin");
  ASSERT_TRUE(names.has_value());
  // Two changes in different blocks of the file system.
  const std::vector<ImageEdit> edits = {{names->offset + 0x11, {'B', 'G', 'M'}}, {names->offset + 0x3005, {0, 1, 2, 3}}};

  int total = 0;
  {
    FailingEditor editor;
    ASSERT_TRUE(editor.Open(dir / "t.cia").ok());
    const EditResult done = EditImageInPlace(editor, edits);
    EXPECT_TRUE(done.ok()) << done.message;
    total = editor.writes;
  }
  const Status verified = VerifyImage(dir / "t.cia");
  EXPECT_TRUE(verified.ok()) << verified.message();
  // The changes, three hash levels, the NCCH header, the content hash and two TMD hashes.
  ASSERT_GE(total, 9);
  for (int failAt = 1; failAt <= total; ++failAt) {
    qpt::test::WriteBytes(dir / "t.cia", original);
    FailingEditor editor;
    editor.failAt = failAt;
    ASSERT_TRUE(editor.Open(dir / "t.cia").ok());
    const EditResult result = EditImageInPlace(editor, edits);
    EXPECT_EQ(result.outcome, EditOutcome::Undone) << failAt;
    editor.Close();
    EXPECT_TRUE(ReadBytes(dir / "t.cia") == original) << "write " << failAt;
  }

  // A change outside the file system is refused before anything is written.
  FileEditor editor;
  ASSERT_TRUE(editor.Open(dir / "t.cia").ok());
  const EditResult refused = EditImageInPlace(editor, {{ncch->offset + header->romfs.offset + 0x70, {1}}});
  EXPECT_EQ(refused.outcome, EditOutcome::Refused);
  editor.Close();
  EXPECT_TRUE(ReadBytes(dir / "t.cia") == original);
}

}  // namespace
}  // namespace ctr
