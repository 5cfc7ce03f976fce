#include "ctr/Ncch.h"

#include <gtest/gtest.h>

#include <functional>

#include "support/ImageFiles.h"
#include "support/TempDir.h"

namespace ctr {
namespace {

using qpt::test::Bytes;
using qpt::test::ReadBytes;
using qpt::test::Slice;
using qpt::test::TempDir;
using qpt::test::VectorPath;

CxiParts VectorParts(const std::string& header = "cxi/ncchheader.bin") {
  return {VectorPath(header), VectorPath("cxi/exheader.bin"), VectorPath("exefs/exefs.bin"),
          VectorPath("romfs/romfs.bin"), VectorPath("cxi/logo.bin")};
}

Result<Ncch> ParseFile(const std::filesystem::path& path, FileReader& file) {
  Status s = file.Open(path);
  if (!s) return s;
  return ReadNcch(file);
}

TEST(NcchBuild, ReproducesTheReferenceCxiByteForByte) {
  TempDir dir;
  ASSERT_TRUE(BuildCxi(VectorParts(), dir / "out.cxi").ok());
  EXPECT_EQ(ReadBytes(dir / "out.cxi"), ReadBytes(VectorPath("cxi/out.cxi")));
}

TEST(NcchBuild, StaleHeaderWithoutBlockSizesAlignsRomFsToTheMediaUnitOnly) {
  TempDir dir;
  ASSERT_TRUE(BuildCxi(VectorParts("cxi/ncchheader-mu.bin"), dir / "out-mu.cxi").ok());
  EXPECT_EQ(qpt::test::FileSha256(dir / "out-mu.cxi"),
            "76d1067f3e9db7ab7477323fc374f5d259e9606d00719524c71c05e29802b0f8");
  const Bytes out = ReadBytes(dir / "out-mu.cxi");
  EXPECT_EQ(out.size(), 0x2F200u);
  EXPECT_EQ(qpt::test::GetLE32(out, 0x1B0), 0x141u);
  EXPECT_EQ(qpt::test::GetLE32(out, 0x104), 0x179u);
}

TEST(NcchBuild, ForcesNoCryptoAndDropsKeySelectors) {
  TempDir dir;
  Bytes header = ReadBytes(VectorPath("cxi/ncchheader.bin"));
  header[0x18B] = 0x0B;  // 9.6 crypto
  header[0x18F] = 0x21;  // fixed key + seed, NoCrypto clear
  qpt::test::WriteBytes(dir / "h.bin", header);
  CxiParts parts = VectorParts();
  parts.header = dir / "h.bin";
  ASSERT_TRUE(BuildCxi(parts, dir / "out.cxi").ok());
  const Bytes out = ReadBytes(dir / "out.cxi");
  EXPECT_EQ(out[0x18B], 0);
  EXPECT_EQ(out[0x18F], kNcchNoCrypto);
  // Everything else is kept, so the result is the reference build itself.
  Bytes expected = ReadBytes(VectorPath("cxi/out.cxi"));
  ASSERT_EQ(out.size(), expected.size());
  std::size_t differences = 0;
  for (std::size_t i = 0; i < out.size(); ++i) differences += out[i] != expected[i];
  EXPECT_EQ(differences, 0u);
}

TEST(NcchBuild, MissingLogoAndRomFsBuildWithoutThoseRegions) {
  TempDir dir;
  CxiParts parts = VectorParts();
  parts.logo.clear();
  parts.romfs.clear();
  ASSERT_TRUE(BuildCxi(parts, dir / "bare.cxi").ok());
  FileReader file;
  auto ncch = ParseFile(dir / "bare.cxi", file);
  ASSERT_TRUE(ncch.ok()) << ncch.message();
  EXPECT_FALSE(ncch->logo.present());
  EXPECT_FALSE(ncch->romfs.present());
  EXPECT_EQ(ncch->exefs.offset, 0xA00u);
  EXPECT_EQ(ncch->header.romfsHashSize, 0u);
  EXPECT_EQ(ncch->contentSize, file.size());

  // Extraction of such an image writes no logo and no RomFS, and succeeds.
  ASSERT_TRUE(ExtractNcchHeaders(file, {dir / "h.bin", dir / "x.bin", dir / "l.bin"}).ok());
  EXPECT_TRUE(std::filesystem::exists(dir / "x.bin"));
  EXPECT_FALSE(std::filesystem::exists(dir / "l.bin"));
  ASSERT_TRUE(ExtractNcchSection(file, NcchSection::RomFs, dir / "r.bin").ok());
  EXPECT_FALSE(std::filesystem::exists(dir / "r.bin"));

  // And the parts rebuild into the same image.
  ASSERT_TRUE(BuildCxi({dir / "h.bin", dir / "x.bin", VectorPath("exefs/exefs.bin"), {}, {}}, dir / "again.cxi").ok());
  EXPECT_EQ(ReadBytes(dir / "again.cxi"), ReadBytes(dir / "bare.cxi"));
}

TEST(NcchExtract, HeadersAndRegionsComeBackExactlyAndRebuildIdentically) {
  TempDir dir;
  FileReader file;
  ASSERT_TRUE(file.Open(VectorPath("cxi/out.cxi")).ok());
  ASSERT_TRUE(ExtractNcchHeaders(file, {dir / "h.bin", dir / "x.bin", dir / "l.bin"}).ok());
  ASSERT_TRUE(ExtractNcchSection(file, NcchSection::ExeFs, dir / "e.bin").ok());
  ASSERT_TRUE(ExtractNcchSection(file, NcchSection::RomFs, dir / "r.bin").ok());
  const Bytes cxi = ReadBytes(VectorPath("cxi/out.cxi"));
  EXPECT_EQ(ReadBytes(dir / "h.bin"), Slice(cxi, 0, 0x200));
  EXPECT_EQ(ReadBytes(dir / "x.bin"), ReadBytes(VectorPath("cxi/exheader.bin")));
  EXPECT_EQ(ReadBytes(dir / "l.bin"), ReadBytes(VectorPath("cxi/logo.bin")));
  EXPECT_EQ(ReadBytes(dir / "e.bin"), ReadBytes(VectorPath("exefs/exefs.bin")));
  EXPECT_EQ(ReadBytes(dir / "r.bin"), ReadBytes(VectorPath("romfs/romfs.bin")));

  ASSERT_TRUE(BuildCxi({dir / "h.bin", dir / "x.bin", dir / "e.bin", dir / "r.bin", dir / "l.bin"}, dir / "re.cxi").ok());
  EXPECT_EQ(ReadBytes(dir / "re.cxi"), cxi);
}

TEST(NcchRead, RefusesDamagedHeaders) {
  const Bytes good = ReadBytes(VectorPath("cxi/out.cxi"));
  struct Case {
    const char* what;
    std::size_t offset;
    std::uint32_t value;
  };
  const Case cases[] = {
      {"wrong magic", 0x100, 0x4843434E ^ 0x20},
      {"RomFS beyond the end", 0x1B4, 0x39},
      {"ExeFS offset beyond the end", 0x1A0, 0x7FFFFFFF},
      {"logo size overflowing", 0x19C, 0xFFFFFFFF},
      {"odd exheader size", 0x180, 0x200},
      {"huge media unit", 0x188 + 4, 0x00400001},  // flags[6] = 0x40
      {"RomFS hash region larger than the RomFS", 0x1B8, 0x39},
  };
  for (const Case& c : cases) {
    Bytes bad = good;
    qpt::test::PutLE32(bad, c.offset, c.value);
    MemoryReader reader(bad);
    EXPECT_FALSE(ReadNcch(reader).ok()) << c.what;
  }
  MemoryReader reader(good);
  EXPECT_TRUE(ReadNcch(reader).ok());
}

TEST(NcchExtract, EncryptedNcchIsRefusedAndWritesNothing) {
  TempDir dir;
  Bytes image = ReadBytes(VectorPath("cxi/out.cxi"));
  image[0x18F] = 0x00;
  MemoryReader reader(image, "encrypted.cxi");
  const Status headers = ExtractNcchHeaders(reader, {dir / "h.bin", dir / "x.bin", dir / "l.bin"});
  EXPECT_FALSE(headers.ok());
  EXPECT_NE(headers.message().find("encrypted"), std::string::npos);
  EXPECT_FALSE(ExtractNcchSection(reader, NcchSection::ExeFs, dir / "e.bin").ok());
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST(NcchBuild, RefusesInputsThatAreNotWhatTheyClaim) {
  TempDir dir;
  Bytes exefs = ReadBytes(VectorPath("exefs/exefs.bin"));
  exefs[0x90] = 1;  // reserved area of the ExeFS header: ciphertext or garbage
  qpt::test::WriteBytes(dir / "bad-exefs.bin", exefs);
  Bytes romfs = ReadBytes(VectorPath("romfs/romfs.bin"));
  romfs[0] = 'X';
  qpt::test::WriteBytes(dir / "bad-romfs.bin", romfs);
  Bytes masterHuge = ReadBytes(VectorPath("romfs/romfs.bin"));
  qpt::test::PutLE32(masterHuge, 8, 0xFFFFFF00);
  qpt::test::WriteBytes(dir / "huge-master.bin", masterHuge);
  qpt::test::WriteBytes(dir / "short-exh.bin", Slice(ReadBytes(VectorPath("cxi/exheader.bin")), 0, 0x7FF));
  qpt::test::WriteBytes(dir / "short-header.bin", Slice(ReadBytes(VectorPath("cxi/ncchheader.bin")), 0, 0x1FF));

  const std::pair<const char*, std::function<void(CxiParts&)>> cases[] = {
      {"damaged ExeFS", [&](CxiParts& p) { p.exefs = dir / "bad-exefs.bin"; }},
      {"RomFS without IVFC", [&](CxiParts& p) { p.romfs = dir / "bad-romfs.bin"; }},
      {"master hash past the end", [&](CxiParts& p) { p.romfs = dir / "huge-master.bin"; }},
      {"short exheader", [&](CxiParts& p) { p.exheader = dir / "short-exh.bin"; }},
      {"short header", [&](CxiParts& p) { p.header = dir / "short-header.bin"; }},
      {"missing ExeFS", [&](CxiParts& p) { p.exefs = dir / "none.bin"; }},
      {"NCSD header given as NCCH header", [&](CxiParts& p) { p.header = VectorPath("ncsd/ncsdheader.bin"); }},
  };
  for (const auto& [what, damage] : cases) {
    CxiParts parts = VectorParts();
    damage(parts);
    EXPECT_FALSE(BuildCxi(parts, dir / "out.cxi").ok()) << what;
    EXPECT_FALSE(std::filesystem::exists(dir / "out.cxi")) << what;
    EXPECT_FALSE(std::filesystem::exists(dir / ("out.cxi" + std::string(ctr::kTemporaryOutputSuffix)))) << what;
  }
}

TEST(NcchBuild, FailureKeepsAnExistingOutputFile) {
  TempDir dir;
  qpt::test::WriteFile(dir / "out.cxi", std::string("previous"));
  CxiParts parts = VectorParts();
  parts.exefs = dir / "missing.bin";
  EXPECT_FALSE(BuildCxi(parts, dir / "out.cxi").ok());
  EXPECT_EQ(qpt::test::ReadFile(dir / "out.cxi"), "previous");
}

}  // namespace
}  // namespace ctr
