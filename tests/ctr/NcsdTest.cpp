#include "ctr/Ncsd.h"

#include <gtest/gtest.h>

#include "ctr/Ncch.h"
#include "support/ImageFiles.h"
#include "support/TempDir.h"

namespace ctr {
namespace {

using qpt::test::Bytes;
using qpt::test::FileSha256;
using qpt::test::ReadBytes;
using qpt::test::Slice;
using qpt::test::TempDir;
using qpt::test::VectorPath;

TEST(NcsdBuild, ReproducesTheReferenceCardImageWithoutPadding) {
  TempDir dir;
  ASSERT_TRUE(BuildNcsd(VectorPath("ncsd/ncsdheader.bin"), VectorPath("cxi/out.cxi"), dir / "out.3ds", false).ok());
  EXPECT_EQ(ReadBytes(dir / "out.3ds"), ReadBytes(VectorPath("ncsd/out.3ds")));
}

TEST(NcsdBuild, PartitionEndingOffBlockIsRoundedToTheBlockWithZeros) {
  TempDir dir;
  const CxiParts parts{VectorPath("cxi/ncchheader-mu.bin"), VectorPath("cxi/exheader.bin"),
                       VectorPath("exefs/exefs.bin"), VectorPath("romfs/romfs.bin"), VectorPath("cxi/logo.bin")};
  ASSERT_TRUE(BuildCxi(parts, dir / "out-mu.cxi").ok());
  ASSERT_TRUE(BuildNcsd(VectorPath("ncsd/ncsdheader.bin"), dir / "out-mu.cxi", dir / "out-mu.3ds", false).ok());
  EXPECT_EQ(FileSha256(dir / "out-mu.3ds"), "c11dfb6864bec87a254ccd616fe3d90c2b3dac15a584beae13ca5e66d0aa9e3f");

  // Taking it apart returns the partition with its zero tail, as the table says.
  FileReader image;
  ASSERT_TRUE(image.Open(dir / "out-mu.3ds").ok());
  ASSERT_TRUE(ExtractNcsd(image, dir / "h2-mu.bin", dir / "p0-mu.bin").ok());
  EXPECT_EQ(FileSha256(dir / "h2-mu.bin"), "0d3aad5bcd0e91e90198b8a457d0d7a9d9915377ed4ad4407488c23715ee62a8");
  EXPECT_EQ(FileSha256(dir / "p0-mu.bin"), "513ca6552a1ab8dfb3aebe53ca5d732083da10c31d29a00bc4b55d45a702c4ea");
}

TEST(NcsdBuild, PadsWithFfToTheCardSize) {
  TempDir dir;
  ASSERT_TRUE(BuildNcsd(VectorPath("ncsd/ncsdheader.bin"), VectorPath("cxi/out.cxi"), dir / "padded.3ds", true).ok());
  EXPECT_EQ(std::filesystem::file_size(dir / "padded.3ds"), 128u << 20);
  EXPECT_EQ(FileSha256(dir / "padded.3ds"), "4af0b721563fad56c24e21f9cec9024f6e0bc0027fa13c4309af9b5362640b82");
}

TEST(NcsdBuild, CardSizeIsThePowerOfTwoAboveTheDataWithAFloorPerMediaType) {
  EXPECT_EQ(CardImageSize(0x34000, 1), 128u << 20);
  EXPECT_EQ(CardImageSize(0x34000, 2), 512u << 20);
  EXPECT_EQ(CardImageSize((128u << 20) + 1, 1), 256u << 20);
  EXPECT_EQ(CardImageSize(std::uint64_t{5} << 30, 2), std::uint64_t{8} << 30);
  EXPECT_EQ(CardImageSize(std::uint64_t{4} << 30, 1), std::uint64_t{4} << 30);
}

TEST(NcsdBuild, FillsTableAndUsedSizeForAPartitionOfOddLength) {
  TempDir dir;
  // The partition file is longer than its NCCH (a hole at the end keeps it cheap) and not a
  // whole number of blocks.
  qpt::test::WriteBytes(dir / "odd.cxi", ReadBytes(VectorPath("cxi/out.cxi")));
  std::filesystem::resize_file(dir / "odd.cxi", (5u << 20) + 0x200);
  ASSERT_TRUE(BuildNcsd(VectorPath("ncsd/ncsdheader.bin"), dir / "odd.cxi", dir / "odd.3ds", false).ok());
  FileReader image;
  ASSERT_TRUE(image.Open(dir / "odd.3ds").ok());
  auto ncsd = ReadNcsd(image);
  ASSERT_TRUE(ncsd.ok()) << ncsd.message();
  const std::uint64_t partition = (5u << 20) + 0x1000;
  EXPECT_EQ(ncsd->Partition(0).offset, 0x4000u);
  EXPECT_EQ(ncsd->Partition(0).size, partition);
  EXPECT_EQ(std::uint64_t{ncsd->header.imageSize} * 0x200, image.size());
  EXPECT_EQ(image.size(), 0x4000 + partition);
  auto used = image.ReadVector(0x300, 8);
  ASSERT_TRUE(used.ok());
  EXPECT_EQ(qpt::test::GetLE64(*used, 0), 0x4000 + partition);
  for (int i = 1; i < kNcsdPartitionCount; ++i) EXPECT_FALSE(ncsd->Partition(i).present()) << i;
  EXPECT_EQ(ncsd->header.partitionIds[1], 0u);
  auto copy = image.ReadVector(0x1100, 0x100);
  ASSERT_TRUE(copy.ok());
  EXPECT_EQ(*copy, Slice(ReadBytes(VectorPath("cxi/out.cxi")), 0x100, 0x100));
}

TEST(NcsdExtract, HeaderAreaAndPartitionZeroComeBackExactly) {
  TempDir dir;
  FileReader image;
  ASSERT_TRUE(image.Open(VectorPath("ncsd/out.3ds")).ok());
  ASSERT_TRUE(ExtractNcsd(image, dir / "h2.bin", dir / "p0.bin").ok());
  EXPECT_EQ(FileSha256(dir / "h2.bin"), "9ec152f1951a597d809935fa0cb146e181e7b428baad2c29dfcbc4b1ebeca4da");
  EXPECT_EQ(ReadBytes(dir / "p0.bin"), ReadBytes(VectorPath("cxi/out.cxi")));
  // Rebuilt from its own parts the image is unchanged.
  ASSERT_TRUE(BuildNcsd(dir / "h2.bin", dir / "p0.bin", dir / "again.3ds", false).ok());
  EXPECT_EQ(ReadBytes(dir / "again.3ds"), ReadBytes(VectorPath("ncsd/out.3ds")));
}

TEST(NcsdExtract, CardWithoutPartitionZeroWritesOnlyTheHeader) {
  TempDir dir;
  Bytes image = ReadBytes(VectorPath("ncsd/out.3ds"));
  qpt::test::PutLE64(image, 0x120, 0);
  MemoryReader reader(image);
  ASSERT_TRUE(ExtractNcsd(reader, dir / "h.bin", dir / "p0.bin").ok());
  EXPECT_TRUE(std::filesystem::exists(dir / "h.bin"));
  EXPECT_FALSE(std::filesystem::exists(dir / "p0.bin"));
}

TEST(NcsdRead, RefusesDamagedTables) {
  TempDir dir;
  const Bytes good = ReadBytes(VectorPath("ncsd/out.3ds"));
  const std::pair<std::size_t, std::uint32_t> damages[] = {
      {0x100, 0x4453434F},   // magic "OCSD"
      {0x124, 0x1A1},        // partition 0 one unit past the end
      {0x128, 0xFFFFFFFF},   // partition 1 offset far out
      {0x188 + 4, 0x00060000},  // media unit exponent 6
  };
  for (const auto& [offset, value] : damages) {
    Bytes bad = good;
    qpt::test::PutLE32(bad, offset, value);
    if (offset == 0x128) qpt::test::PutLE32(bad, 0x12C, 1);
    MemoryReader reader(bad);
    EXPECT_FALSE(ExtractNcsd(reader, dir / "h.bin", dir / "p.bin").ok()) << std::hex << offset;
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
  }
}

TEST(NcsdBuild, RefusesShortHeadersAndEncryptedPartitions) {
  TempDir dir;
  qpt::test::WriteBytes(dir / "short.bin", Slice(ReadBytes(VectorPath("ncsd/ncsdheader.bin")), 0, 0x14FF));
  EXPECT_FALSE(BuildNcsd(dir / "short.bin", VectorPath("cxi/out.cxi"), dir / "o.3ds", false).ok());
  Bytes encrypted = ReadBytes(VectorPath("cxi/out.cxi"));
  encrypted[0x18F] = 0x01;
  qpt::test::WriteBytes(dir / "enc.cxi", encrypted);
  EXPECT_FALSE(BuildNcsd(VectorPath("ncsd/ncsdheader.bin"), dir / "enc.cxi", dir / "o.3ds", false).ok());
  EXPECT_FALSE(BuildNcsd(VectorPath("cxi/out.cxi"), VectorPath("cxi/out.cxi"), dir / "o.3ds", false).ok());
  EXPECT_FALSE(std::filesystem::exists(dir / "o.3ds"));
}

}  // namespace
}  // namespace ctr
