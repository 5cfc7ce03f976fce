#include "core/sound/N3DSBCSAR.h"

#include "ctr/Sha256.h"
#include "support/SoundFixtures.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace qpt {
namespace {

namespace fs = std::filesystem;
using test::ReadSoundU32;
using test::SoundBytes;

SoundBytes Load(const fs::path& path) {
  const std::string text = test::ReadFile(path);
  return SoundBytes(text.begin(), text.end());
}

SoundBytes Slice(const SoundBytes& bytes, std::size_t offset, std::size_t length) {
  return SoundBytes(bytes.begin() + static_cast<std::ptrdiff_t>(offset),
                    bytes.begin() + static_cast<std::ptrdiff_t>(offset + length));
}

void PutU32(SoundBytes& bytes, std::size_t offset, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::size_t CountFiles(const fs::path& folder) {
  std::size_t n = 0;
  for (const auto& entry : fs::directory_iterator(folder)) n += entry.is_regular_file() ? 1 : 0;
  return n;
}

// Checks that the header, the FILE block and the file table of a joined archive agree with
// each other and with the pieces: every internal entry points at its piece's bytes.
void ExpectConsistentSoundArchive(const SoundBytes& archive, const std::vector<SoundBytes>& pieces) {
  ASSERT_GE(archive.size(), 0x40u);
  EXPECT_EQ(ReadSoundU32(archive, 0x0C), archive.size());
  const std::uint32_t strg = ReadSoundU32(archive, 0x18), info = ReadSoundU32(archive, 0x24);
  const std::uint32_t file = ReadSoundU32(archive, 0x30), fileLength = ReadSoundU32(archive, 0x34);
  EXPECT_EQ(info, strg + ReadSoundU32(archive, 0x1C));
  EXPECT_EQ(file, info + ReadSoundU32(archive, 0x28));
  EXPECT_EQ(file + fileLength, archive.size());
  EXPECT_EQ(ReadSoundU32(archive, file + 4), fileLength);
  const std::uint32_t table = info + 8 + ReadSoundU32(archive, info + 0x3C);
  std::size_t k = 0;
  for (std::uint32_t e = 0; e < ReadSoundU32(archive, table); ++e) {
    const std::uint32_t entry = table + ReadSoundU32(archive, table + 8 + 8 * e);
    if (ReadSoundU32(archive, entry) != 0x220C || ReadSoundU32(archive, entry + 0x10) == 0xFFFFFFFFu) continue;
    ASSERT_LT(k, pieces.size());
    const std::uint32_t offset = ReadSoundU32(archive, entry + 0x10), length = ReadSoundU32(archive, entry + 0x14);
    EXPECT_EQ(length, pieces[k].size());
    EXPECT_EQ((offset + 8) % 32, 0u);
    EXPECT_EQ(Slice(archive, file + 8 + offset, length), pieces[k]) << "contained file " << k;
    ++k;
  }
  EXPECT_EQ(k, pieces.size());
}

class SoundArchiveTest : public ::testing::Test {
 protected:
  test::TempDir dir_{"qpt-sound"};

  // Writes bytes as name.bcsar, splits it and joins it again; returns the joined bytes.
  SoundBytes SplitAndJoin(const SoundBytes& bytes, const std::string& name = "GS123") {
    const fs::path archive = dir_ / (name + ".bcsar");
    test::WriteFile(archive, bytes);
    EXPECT_EQ(UnpackBcsar(archive), 0);
    EXPECT_EQ(PackBcsar(dir_ / name), 0);
    return Load(archive);
  }
};

// ---------------------------------------------------------------- sound archive

TEST_F(SoundArchiveTest, IndependentlyMadeArchiveAndItsWaveArchiveSurviveSplitAndJoin) {
  const SoundBytes original = test::MinimalSoundArchive();
  const ctr::Sha256Digest digest = ctr::Sha256::Of(original.data(), original.size());
  std::string hex;
  for (std::uint8_t b : digest) {
    char two[3];
    std::snprintf(two, sizeof(two), "%02x", b);
    hex += two;
  }
  ASSERT_EQ(hex, test::kMinimalSoundArchiveSha256);

  const fs::path archive = dir_ / "GS123.bcsar";
  test::WriteFile(archive, original);
  ASSERT_EQ(UnpackBcsar(archive), 0);
  const fs::path folder = dir_ / "GS123";
  EXPECT_EQ(Load(folder / "1_CSAR_Header.bin"), Slice(original, 0, 0x40));
  EXPECT_EQ(Load(folder / "2_CSAR_STRG.bin"), Slice(original, 0x40, 0xA0));
  EXPECT_EQ(Load(folder / "3_CSAR_INFO.bin"), Slice(original, 0xE0, 0x1C0));
  EXPECT_EQ(Load(folder / "4_CSAR_FILE.bin"), Slice(original, 0x2A0, 0x340));
  EXPECT_EQ(Load(folder / "4_CSAR_FILE" / "000_FILE_CWAR.bin"), Slice(original, 0x2C0, 0x1E0));
  EXPECT_EQ(Load(folder / "4_CSAR_FILE" / "001_FILE_CWAR.bin"), Slice(original, 0x4A0, 0x140));
  EXPECT_EQ(CountFiles(folder / "4_CSAR_FILE"), 2u);

  // The wave archive inside splits into its two waves and joins back unchanged.
  const fs::path cwar = folder / "4_CSAR_FILE" / "000_FILE_CWAR.bin";
  ASSERT_EQ(UnpackCwar(cwar), 0);
  EXPECT_EQ(Load(folder / "4_CSAR_FILE" / "000_FILE_CWAR" / "3_BCWAV" / "001.bcwav"),
            Slice(original, 0x2C0 + 0x80 + 8 + 0xB8, 0xA0));
  ASSERT_EQ(PackCwar(folder / "4_CSAR_FILE" / "000_FILE_CWAR"), 0);
  EXPECT_EQ(Load(cwar), Slice(original, 0x2C0, 0x1E0));

  // The wave archive's own folder sits among the pieces and must not count as one.
  ASSERT_EQ(PackBcsar(folder), 0);
  EXPECT_EQ(Load(archive), original);
}

TEST_F(SoundArchiveTest, GameShapedArchivesSurviveSplitAndJoin) {
  for (const char* code : {"AAT", "AA4"}) {
    SCOPED_TRACE(code);
    const test::GameSoundArchive game = test::BuildGameSoundArchive(code);
    const fs::path folder = dir_ / game.soundFolder;
    test::WriteFile(dir_ / (game.soundFolder + ".bcsar"), game.archive.bytes);
    ASSERT_EQ(UnpackBcsar(dir_ / (game.soundFolder + ".bcsar")), 0);
    EXPECT_EQ(CountFiles(folder / "4_CSAR_FILE"), game.fixture.files.size());
    EXPECT_EQ(Load(folder / "4_CSAR_FILE" / game.VoicePieceName()), game.fixture.files[game.voiceIndex]);
    const SoundBytes info = Load(folder / "3_CSAR_INFO.bin");
    for (std::size_t s = 0; s < game.slotOffsets.size(); ++s) {
      const std::string field(info.begin() + game.slotOffsets[s], info.begin() + game.slotOffsets[s] + 24);
      EXPECT_EQ(field.rfind(game.slotKeys[s] + ".dspadpcm.bcstm", 0), 0u) << "slot " << s;
    }
    ASSERT_EQ(PackBcsar(folder), 0);
    EXPECT_EQ(Load(dir_ / (game.soundFolder + ".bcsar")), game.archive.bytes);
  }
}

TEST_F(SoundArchiveTest, FillAfterLastFileIsDroppedAndEveryLengthFollows) {
  // 0x40 bytes leave whole zero headers after the last file; 0x0D leave a tail too short for
  // a file header once the cut has stepped to the next multiple of 32.
  for (std::size_t fill : {std::size_t{0x40}, std::size_t{0x0D}}) {
    SCOPED_TRACE(fill);
    test::SoundArchiveFixture fixture;
    fixture.files = {test::MakeSoundFile("CWAR", 0x53, 1), test::MakeSoundFile("CSEQ", 0x3A, 2)};
    fixture.fillAfterLastFile = fill;
    const test::BuiltSoundArchive built = test::BuildSoundArchive(fixture);
    const SoundBytes joined = SplitAndJoin(built.bytes);
    ASSERT_EQ(joined.size(), built.bytes.size() - fill);
    EXPECT_EQ(ReadSoundU32(joined, 0x34), built.fileLength - fill);
    ExpectConsistentSoundArchive(joined, fixture.files);
    // Nothing else moves.
    SoundBytes expected = Slice(built.bytes, 0, joined.size());
    PutU32(expected, 0x0C, static_cast<std::uint32_t>(joined.size()));
    PutU32(expected, 0x34, built.fileLength - static_cast<std::uint32_t>(fill));
    PutU32(expected, built.fileOffset + 4, built.fileLength - static_cast<std::uint32_t>(fill));
    EXPECT_EQ(joined, expected);
  }
}

TEST_F(SoundArchiveTest, ReplacedPiecesOfOtherLengthsMoveLaterFiles) {
  test::SoundArchiveFixture fixture;
  for (std::uint32_t i = 0; i < 5; ++i) fixture.files.push_back(test::MakeSoundFile("CSEQ", 0x31 + 0x22 * i, i));
  fixture.groupOnlyFiles = 2;
  fixture.streams = {{0x403, "BGM008.dspadpcm.bcstm"}, {0x44F, "BGM013.dspadpcm.bcstm"}};
  const test::BuiltSoundArchive built = test::BuildSoundArchive(fixture);
  test::WriteFile(dir_ / "GS123.bcsar", built.bytes);
  ASSERT_EQ(UnpackBcsar(dir_ / "GS123.bcsar"), 0);

  std::vector<SoundBytes> pieces = fixture.files;
  pieces[1] = test::MakeSoundFile("CSEQ", 0x1F7, 77);  // grows across several multiples of 32
  pieces[3] = test::MakeSoundFile("CSEQ", 0x11, 78);   // shrinks
  test::WriteFile(dir_ / "GS123" / "4_CSAR_FILE" / "001_FILE_CSEQ.bin", pieces[1]);
  test::WriteFile(dir_ / "GS123" / "4_CSAR_FILE" / "003_FILE_CSEQ.bin", pieces[3]);
  ASSERT_EQ(PackBcsar(dir_ / "GS123"), 0);

  const SoundBytes joined = Load(dir_ / "GS123.bcsar");
  ExpectConsistentSoundArchive(joined, pieces);
  // Entries of files kept elsewhere, and all of STRG, keep their bytes.
  for (std::uint32_t entry : built.groupOnlyEntries) {
    EXPECT_EQ(Slice(joined, built.infoOffset + entry, 0x18), Slice(built.bytes, built.infoOffset + entry, 0x18));
  }
  for (std::uint32_t entry : built.streamEntries) {
    EXPECT_EQ(Slice(joined, built.infoOffset + entry, 0x2C), Slice(built.bytes, built.infoOffset + entry, 0x2C));
  }
  EXPECT_EQ(Slice(joined, 0x40, built.strgLength), Slice(built.bytes, 0x40, built.strgLength));
}

TEST_F(SoundArchiveTest, VoiceSwapInsideGameArchiveReachesTheJoinedArchive) {
  const test::GameSoundArchive game = test::BuildGameSoundArchive("AA4", 9);
  const fs::path archive = dir_ / "GSB43DS.bcsar";
  test::WriteFile(archive, game.archive.bytes);
  ASSERT_EQ(UnpackBcsar(archive), 0);
  const fs::path voice = dir_ / "GSB43DS" / "4_CSAR_FILE" / game.VoicePieceName();
  ASSERT_EQ(UnpackCwar(voice), 0);
  std::vector<SoundBytes> waves = game.voiceWaves;
  waves[2] = test::MakeWave(0x2A5, 900);
  waves[6] = test::MakeWave(0x13, 901);
  const fs::path waveFolder = dir_ / "GSB43DS" / "4_CSAR_FILE" / game.VoiceFolderName();
  test::WriteFile(waveFolder / "3_BCWAV" / "002.bcwav", waves[2]);
  test::WriteFile(waveFolder / "3_BCWAV" / "006.bcwav", waves[6]);
  ASSERT_EQ(PackCwar(waveFolder), 0);
  ASSERT_EQ(PackBcsar(dir_ / "GSB43DS"), 0);

  std::vector<SoundBytes> files = game.fixture.files;
  files[game.voiceIndex] = test::BuildWaveArchive(waves);
  ExpectConsistentSoundArchive(Load(archive), files);
}

TEST_F(SoundArchiveTest, BlocksWithGapsBetweenThemJoinBackToBack) {
  const SoundBytes original = test::MinimalSoundArchive();
  SoundBytes gapped = Slice(original, 0, 0xE0);            // header and STRG
  gapped.resize(gapped.size() + 0x20, 0);                   // gap
  const SoundBytes info = Slice(original, 0xE0, 0x1C0);
  gapped.insert(gapped.end(), info.begin(), info.end());
  gapped.resize(gapped.size() + 0x40, 0xEE);                // gap of non-zero bytes
  const SoundBytes file = Slice(original, 0x2A0, 0x340);
  gapped.insert(gapped.end(), file.begin(), file.end());
  PutU32(gapped, 0x0C, static_cast<std::uint32_t>(gapped.size()));
  PutU32(gapped, 0x24, 0xE0 + 0x20);
  PutU32(gapped, 0x30, 0x2A0 + 0x60);
  EXPECT_EQ(SplitAndJoin(gapped), original);

  // A block of length 0 gives an empty piece, and the joined table says so.
  SoundBytes noStrings = original;
  PutU32(noStrings, 0x1C, 0);
  const SoundBytes joined = SplitAndJoin(noStrings);
  EXPECT_TRUE(Load(dir_ / "GS123" / "2_CSAR_STRG.bin").empty());
  EXPECT_EQ(ReadSoundU32(joined, 0x24), 0x40u);
  ExpectConsistentSoundArchive(joined, {Slice(original, 0x2C0, 0x1E0), Slice(original, 0x4A0, 0x140)});
}

TEST_F(SoundArchiveTest, MoreThanAThousandFilesJoinInNumericOrder) {
  test::SoundArchiveFixture fixture;
  for (std::uint32_t i = 0; i < 1003; ++i) {
    fixture.files.push_back(test::MakeSoundFile(i % 2 ? "CSEQ" : "CWSD", 0x11 + (i % 5) * 0x10, i));
  }
  const test::BuiltSoundArchive built = test::BuildSoundArchive(fixture);
  EXPECT_EQ(SplitAndJoin(built.bytes), built.bytes);
  EXPECT_TRUE(fs::exists(dir_ / "GS123" / "4_CSAR_FILE" / "1002_FILE_CWSD.bin"));
}

TEST_F(SoundArchiveTest, EveryTruncationIsRefusedAndLeavesNoFolder) {
  const SoundBytes original = test::MinimalSoundArchive();
  const fs::path archive = dir_ / "GS123.bcsar";
  for (std::size_t length = 0; length < original.size(); ++length) {
    test::WriteFile(archive, Slice(original, 0, length));
    ASSERT_EQ(UnpackBcsar(archive), -1) << "length " << length;
    ASSERT_FALSE(fs::exists(dir_ / "GS123")) << "length " << length;
  }
}

TEST_F(SoundArchiveTest, DamagedFieldsAreRefused) {
  // Bytes after the FILE block are no part of the archive until a row makes the block longer:
  // then they are a tail too short for a file header that is not zero fill.
  SoundBytes original = test::MinimalSoundArchive();
  original.insert(original.end(), 0x0D, 0xEE);
  struct Damage {
    const char* what;
    std::size_t offset;
    std::uint32_t value;
  };
  const Damage damages[] = {
      {"magic", 0x00, 0x58415343},           // "CSAX"
      {"header length below its fields", 0x04, 0x0020FEFF},
      {"header length past the end", 0x04, 0xFFFFFEFF},
      {"STRG offset past the end", 0x18, 0xFFFFFFF0},
      {"INFO length past the end", 0x28, 0xFFFFFFFF},
      {"FILE offset plus length above 4 GiB", 0x30, 0xFFFFFFF0},
      {"STRG magic", 0x40, 0x47525453 + 1},
      {"INFO magic", 0xE0, 0x4F464E49 + 0x100},
      {"FILE magic", 0x2A0, 0},
      {"contained file past the block", 0x2C0 + 0x0C, 0x1E1 + 0x140 + 0x20},
      {"contained length wraps", 0x4A0 + 0x0C, 0xFFFFFFF0},
      {"FILE block ends in bytes that are not zero fill", 0x34, 0x340 + 0x0D},
  };
  const fs::path archive = dir_ / "GS123.bcsar";
  for (const Damage& d : damages) {
    SCOPED_TRACE(d.what);
    SoundBytes bytes = original;
    PutU32(bytes, d.offset, d.value);
    test::WriteFile(archive, bytes);
    EXPECT_EQ(UnpackBcsar(archive), -1);
    EXPECT_FALSE(fs::exists(dir_ / "GS123"));
  }
  EXPECT_EQ(UnpackBcsar(dir_ / "missing.bcsar"), -1);
}

TEST_F(SoundArchiveTest, RandomDamageNeverCrashes) {
  // Values that point just inside, exactly at and past the ends, at every field the split
  // or join reads; the result may be either, but pieces and archive must stay readable.
  const SoundBytes original = test::MinimalSoundArchive();
  const std::size_t fields[] = {0x04, 0x18, 0x1C, 0x24, 0x28, 0x30, 0x34, 0x11C, 0x1D0, 0x1D8, 0x1F0,
                                0x1F4, 0x204, 0x2C0 + 0x0C, 0x4A0 + 0x0C, 0x2A4, 0xE4};
  const std::uint32_t values[] = {0, 1, 0x10, 0x20, 0x40, 0x1C0, 0x340, 0x5DF, 0x5E0, 0x5E1, 0x7FFFFFFF,
                                  0xFFFFFFFF};
  for (std::size_t field : fields) {
    for (std::uint32_t value : values) {
      SoundBytes bytes = original;
      PutU32(bytes, field, value);
      const fs::path archive = dir_ / "GS123.bcsar";
      test::WriteFile(archive, bytes);
      if (UnpackBcsar(archive) == 0) {
        const int packed = PackBcsar(dir_ / "GS123");
        EXPECT_TRUE(packed == 0 || Load(archive) == bytes) << std::hex << field << " " << value;
      }
    }
  }
}

TEST_F(SoundArchiveTest, HostileMagicStaysInsideTheFolder) {
  test::SoundArchiveFixture fixture;
  SoundBytes odd = test::MakeSoundFile("CSEQ", 0x30, 5);
  odd[0] = '.';
  odd[1] = '.';
  odd[2] = '/';
  odd[3] = 0;
  fixture.files = {odd};
  const test::BuiltSoundArchive built = test::BuildSoundArchive(fixture);
  EXPECT_EQ(SplitAndJoin(built.bytes), built.bytes);
  EXPECT_TRUE(fs::exists(dir_ / "GS123" / "4_CSAR_FILE" / "000_FILE_____.bin"));
}

TEST_F(SoundArchiveTest, PieceFolderIsBesideTheArchive) {
  EXPECT_EQ(ArchivePieceFolder("/x/.bcsar.d/sound.bcsar"), fs::path("/x/.bcsar.d/sound"));
  EXPECT_EQ(ArchivePieceFolder("/home/me/.bin/quill/001_FILE_CWAR.bin"), fs::path("/home/me/.bin/quill/001_FILE_CWAR"));
  EXPECT_EQ(ArchivePieceFolder("GS123.BCSAR"), fs::path("GS123"));
  EXPECT_EQ(ArchivePieceFolder("a.b/archive"), fs::path());
  EXPECT_EQ(ArchivePieceFolder("/x/.bcsar"), fs::path());

  const fs::path nested = dir_ / ".bcsar.d";
  fs::create_directories(nested);
  test::SoundArchiveFixture fixture;
  fixture.files.push_back(test::MakeSoundFile("CWAR", 0x40, 1));
  const test::BuiltSoundArchive built = test::BuildSoundArchive(fixture);
  test::WriteFile(nested / "sound.bcsar", built.bytes);
  ASSERT_EQ(UnpackBcsar(nested / "sound.bcsar"), 0);
  EXPECT_TRUE(fs::exists(nested / "sound" / "3_CSAR_INFO.bin"));
  ASSERT_EQ(PackBcsar(nested / "sound"), 0);
  EXPECT_EQ(Load(nested / "sound.bcsar"), built.bytes);

  // A name without an extension has no folder of its own: nothing happens to it.
  test::WriteFile(dir_ / "noext", built.bytes);
  test::WriteFile(dir_ / ".bcsar", built.bytes);
  EXPECT_EQ(UnpackBcsar(dir_ / "noext"), -1);
  EXPECT_EQ(UnpackBcsar(dir_ / ".bcsar"), -1);
  EXPECT_EQ(Load(dir_ / "noext"), built.bytes);
  EXPECT_EQ(Load(dir_ / ".bcsar"), built.bytes);
}

TEST_F(SoundArchiveTest, LeftoverPiecesFromAnEarlierRunAreRemoved) {
  const SoundBytes original = test::MinimalSoundArchive();
  test::WriteFile(dir_ / "GS123" / "stale.txt", "x");
  test::WriteFile(dir_ / "GS123" / "4_CSAR_FILE" / "002_FILE_CWAR.bin", test::MakeSoundFile("CWAR", 0x20, 1));
  EXPECT_EQ(SplitAndJoin(original), original);
  EXPECT_FALSE(fs::exists(dir_ / "GS123" / "stale.txt"));
}

TEST_F(SoundArchiveTest, FailedJoinWritesNothing) {
  const SoundBytes original = test::MinimalSoundArchive();
  const fs::path archive = dir_ / "GS123.bcsar";
  const fs::path folder = dir_ / "GS123";
  test::WriteFile(archive, original);
  ASSERT_EQ(UnpackBcsar(archive), 0);
  const SoundBytes marker = {1, 2, 3};
  test::WriteFile(archive, marker);

  // A missing contained file: the table names more internal files than there are pieces.
  fs::rename(folder / "4_CSAR_FILE" / "001_FILE_CWAR.bin", dir_ / "aside.bin");
  EXPECT_EQ(PackBcsar(folder), -1);
  fs::rename(dir_ / "aside.bin", folder / "4_CSAR_FILE" / "001_FILE_CWAR.bin");
  for (const char* piece : {"1_CSAR_Header.bin", "2_CSAR_STRG.bin", "3_CSAR_INFO.bin"}) {
    SCOPED_TRACE(piece);
    fs::rename(folder / piece, dir_ / "aside.bin");
    EXPECT_EQ(PackBcsar(folder), -1);
    fs::rename(dir_ / "aside.bin", folder / piece);
  }
  // An INFO piece whose file table lies past its end.
  SoundBytes info = Load(folder / "3_CSAR_INFO.bin");
  PutU32(info, 0x3C, 0x7FFFFFF0);
  test::WriteFile(folder / "3_CSAR_INFO.bin", info);
  EXPECT_EQ(PackBcsar(folder), -1);
  EXPECT_EQ(PackBcsar(dir_ / "nowhere"), -1);
  EXPECT_EQ(Load(archive), marker);
  EXPECT_EQ(CountFiles(dir_.path()), 1u);  // no temporary file left behind
}

TEST_F(SoundArchiveTest, InMemoryBuildReportsTheFileBlockLength) {
  const SoundBytes original = test::MinimalSoundArchive();
  test::WriteFile(dir_ / "GS123.bcsar", original);
  ASSERT_EQ(UnpackBcsar(dir_ / "GS123.bcsar"), 0);
  std::ostringstream out;
  EXPECT_EQ(BuildCsarInfoAndFile(out, dir_ / "GS123" / "3_CSAR_INFO.bin", dir_ / "GS123" / "4_CSAR_FILE"),
            0x340);
  const std::string expected(original.begin() + 0xE0, original.end());
  EXPECT_EQ(out.str(), expected);

  const std::string whole(original.begin(), original.end());
  std::istringstream in(whole);
  test::TempDir other("qpt-sound-mem");
  ASSERT_EQ(SplitBcsar(in, other.path()), 0);
  std::ostringstream joined;
  ASSERT_EQ(BuildBcsar(joined, other.path()), 0);
  EXPECT_EQ(joined.str(), whole);
}

// ---------------------------------------------------------------- wave archive

class WaveArchiveTest : public SoundArchiveTest {
 protected:
  SoundBytes SplitAndJoinWaves(const SoundBytes& bytes) {
    const fs::path piece = dir_ / "001_FILE_CWAR.bin";
    test::WriteFile(piece, bytes);
    EXPECT_EQ(UnpackCwar(piece), 0);
    EXPECT_EQ(PackCwar(dir_ / "001_FILE_CWAR"), 0);
    return Load(piece);
  }
  fs::path Waves() const { return dir_ / "001_FILE_CWAR" / "3_BCWAV"; }
};

TEST_F(WaveArchiveTest, SplitAndJoinGiveTheArchiveBack) {
  const std::vector<SoundBytes> waves = test::OddLengthWaves(7);
  const SoundBytes original = test::BuildWaveArchive(waves);
  EXPECT_EQ(SplitAndJoinWaves(original), original);
  for (std::size_t i = 0; i < waves.size(); ++i) EXPECT_EQ(Load(Waves() / test::WavePieceName(i)), waves[i]);
  EXPECT_EQ(CountFiles(Waves()), waves.size());
}

TEST_F(WaveArchiveTest, EmptyAndZeroLengthWaves) {
  const SoundBytes none = test::BuildWaveArchive({});
  const SoundBytes joined = SplitAndJoinWaves(none);
  EXPECT_EQ(joined, none);
  EXPECT_EQ(ReadSoundU32(joined, 0x28), 0x20u);

  const std::vector<SoundBytes> waves = {test::MakeWave(0x45, 1), {}, test::MakeWave(0x33, 2)};
  const SoundBytes withEmpty = test::BuildWaveArchive(waves);
  EXPECT_EQ(SplitAndJoinWaves(withEmpty), withEmpty);
  EXPECT_TRUE(Load(Waves() / "001.bcwav").empty());
}

TEST_F(WaveArchiveTest, ReplacedWavesMoveLaterWavesAndEveryLengthFollows) {
  std::vector<SoundBytes> waves = test::OddLengthWaves(8);
  const SoundBytes original = test::BuildWaveArchive(waves);
  const fs::path piece = dir_ / "001_FILE_CWAR.bin";
  test::WriteFile(piece, original);
  ASSERT_EQ(UnpackCwar(piece), 0);
  waves[2] = test::MakeWave(0x2E1, 50);
  waves[5] = test::MakeWave(0x11, 51);
  test::WriteFile(Waves() / "002.bcwav", waves[2]);
  test::WriteFile(Waves() / "005.bcwav", waves[5]);
  ASSERT_EQ(PackCwar(dir_ / "001_FILE_CWAR"), 0);
  // The game's writer lays the changed waves out exactly so.
  EXPECT_EQ(Load(piece), test::BuildWaveArchive(waves));
}

TEST_F(WaveArchiveTest, WaveCountComesFromTheEntries) {
  const std::vector<SoundBytes> waves = test::OddLengthWaves(5);
  const SoundBytes original = test::BuildWaveArchive(waves);
  const fs::path piece = dir_ / "001_FILE_CWAR.bin";
  test::WriteFile(piece, original);
  ASSERT_EQ(UnpackCwar(piece), 0);

  // A wave numbered beyond the entries (a voice set may bring one) is not used.
  test::WriteFile(Waves() / "900.bcwav", test::MakeWave(0x99, 3));
  ASSERT_EQ(PackCwar(dir_ / "001_FILE_CWAR"), 0);
  EXPECT_EQ(Load(piece), original);

  // Fewer waves than entries: refused, and the archive piece stays as it was.
  fs::remove(Waves() / "900.bcwav");
  fs::remove(Waves() / "003.bcwav");
  EXPECT_EQ(PackCwar(dir_ / "001_FILE_CWAR"), -1);
  EXPECT_EQ(Load(piece), original);
}

TEST_F(WaveArchiveTest, MoreThanAThousandWavesJoinInNumericOrder) {
  std::vector<SoundBytes> waves;
  for (std::uint32_t i = 0; i < 1002; ++i) waves.push_back(test::MakeWave(0x11 + 2 * (i % 9), i));
  const SoundBytes original = test::BuildWaveArchive(waves);
  EXPECT_EQ(SplitAndJoinWaves(original), original);
  EXPECT_EQ(Load(Waves() / "1001.bcwav"), waves[1001]);
}

TEST_F(WaveArchiveTest, DamagedArchivesAreRefusedBeforeAnyPieceIsWritten) {
  const SoundBytes original = test::BuildWaveArchive(test::OddLengthWaves(3));
  const fs::path piece = dir_ / "001_FILE_CWAR.bin";
  auto expectRefused = [&](const SoundBytes& bytes) {
    test::WriteFile(piece, bytes);
    EXPECT_EQ(UnpackCwar(piece), -1);
    EXPECT_FALSE(fs::exists(dir_ / "001_FILE_CWAR" / "1_CWAR_Header.bin"));
    EXPECT_FALSE(fs::exists(Waves()));
  };
  for (std::size_t length = 0; length < original.size(); ++length) {
    SCOPED_TRACE(length);
    expectRefused(Slice(original, 0, length));
  }
  const std::size_t fields[] = {0x04, 0x18, 0x1C, 0x24, 0x40 + 8, 0x40 + 0x10, 0x40 + 0x14};
  for (std::size_t field : fields) {
    for (std::uint32_t value : {0x7FFFFFFFu, 0xFFFFFFF8u}) {
      SCOPED_TRACE(field);
      SoundBytes bytes = original;
      PutU32(bytes, field, value);
      expectRefused(bytes);
    }
  }
  EXPECT_EQ(UnpackCwar(dir_ / "missing.bin"), -1);

  // The magic is not looked at: a wave archive by its fields is cut whatever it is called.
  SoundBytes renamed = original;
  renamed[0] = 'X';
  test::WriteFile(piece, renamed);
  EXPECT_EQ(UnpackCwar(piece), 0);
}

TEST_F(WaveArchiveTest, JoinRefusesMissingOrForeignPieces) {
  const SoundBytes original = test::BuildWaveArchive(test::OddLengthWaves(3));
  const fs::path piece = dir_ / "001_FILE_CWAR.bin";
  test::WriteFile(piece, original);
  ASSERT_EQ(UnpackCwar(piece), 0);
  const fs::path folder = dir_ / "001_FILE_CWAR";

  SoundBytes info = Load(folder / "2_CWAR_INFO.bin");
  SoundBytes foreign = info;
  foreign[0] = 'X';
  test::WriteFile(folder / "2_CWAR_INFO.bin", foreign);
  EXPECT_EQ(PackCwar(folder), -1);
  PutU32(info, 8, 0x10000000);  // more entries than the piece holds
  test::WriteFile(folder / "2_CWAR_INFO.bin", info);
  EXPECT_EQ(PackCwar(folder), -1);
  fs::remove(folder / "2_CWAR_INFO.bin");
  EXPECT_EQ(PackCwar(folder), -1);
  EXPECT_EQ(PackCwar(dir_ / "nowhere"), -1);
  EXPECT_EQ(Load(piece), original);
  EXPECT_FALSE(fs::exists(dir_ / "nowhere.bin"));
}

TEST_F(WaveArchiveTest, ExistingFolderIsKeptAndItsWavesReplaced) {
  const SoundBytes original = test::BuildWaveArchive(test::OddLengthWaves(2));
  test::WriteFile(dir_ / "001_FILE_CWAR" / "notes.txt", "kept");
  test::WriteFile(Waves() / "005.bcwav", test::MakeWave(0x21, 9));
  EXPECT_EQ(SplitAndJoinWaves(original), original);
  EXPECT_TRUE(fs::exists(dir_ / "001_FILE_CWAR" / "notes.txt"));
  EXPECT_FALSE(fs::exists(Waves() / "005.bcwav"));
}

}  // namespace
}  // namespace qpt
