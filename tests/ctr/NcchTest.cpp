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

// An extended header of the title 0x0004000000123400 whose program is stored compressed, with
// sections of the given pages (text, read-only data, data), each filled to its last page but
// 0x10 bytes.
Bytes Exheader(std::uint32_t text, std::uint32_t readOnly, std::uint32_t data, std::size_t size = 0x800) {
  Bytes x(size, 0);
  x[0xD] = 1;
  const std::uint32_t pages[] = {text, readOnly, data};
  for (int i = 0; i < 3; ++i) {
    qpt::test::PutLE32(x, 0x14 + 0x10 * i, pages[i]);
    qpt::test::PutLE32(x, 0x18 + 0x10 * i, pages[i] ? pages[i] * 0x1000 - 0x10 : 0);
  }
  qpt::test::PutLE32(x, 0x200, 0x00123400);
  qpt::test::PutLE32(x, 0x204, 0x00040000);
  return x;
}

TEST(Exheader, AReplacementMustBeTheTitlesAndHaveRoomForTheProgram) {
  constexpr std::uint64_t kId = 0x0004000000123400;
  const Bytes original = Exheader(6, 1, 1);
  Bytes otherTitle = Exheader(6, 1, 2), uncompressed = Exheader(6, 1, 2), overfull = Exheader(6, 1, 2);
  otherTitle[0x200] = 0x01;
  uncompressed[0xD] = 0;
  qpt::test::PutLE32(overfull, 0x28, 0x1001);
  const struct {
    const char* name;
    Bytes replacement;
    std::uint64_t programSize;
    std::string error;  // after "exheader.bin "; empty: accepted
  } cases[] = {
      {"more room, with the access descriptor", Exheader(6, 1, 2), 0x9000, ""},
      {"without the access descriptor", Exheader(6, 1, 2, 0x400), 0x8123, ""},
      {"a program of every page", Exheader(6, 1, 1), 0x8000, ""},
      {"a program past every page", Exheader(6, 1, 1), 0x8001,
       "leaves room for 0x8000 bytes of program, the patched program has 0x8001"},
      {"another title", otherTitle, 0x8000, "is for the program 0004000000123401, the image's is 0004000000123400"},
      {"another word on compression", uncompressed, 0x8000, "says the program is stored uncompressed"},
      {"a section larger than its pages", overfull, 0x8000, "gives the read-only data section 0x1001 bytes in 1 pages"},
      {"the size of neither form", Exheader(6, 1, 2, 0x600), 0x8000, "has 0x600 bytes"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Status status = CheckReplacementExheader(c.replacement, original, kId, c.programSize);
    if (c.error.empty()) {
      EXPECT_TRUE(status.ok()) << status.message();
    } else {
      EXPECT_EQ(status.message().rfind("exheader.bin " + c.error, 0), 0u) << status.message();
    }
  }
}

TEST(Exheader, RoomForALargerProgramIsMadeInItsLastSection) {
  const struct {
    const char* name;
    Bytes original;
    std::uint64_t programSize;
    std::uint32_t pages[3];
    std::uint32_t lastSize;  // of the section that grew
  } cases[] = {
      {"data", Exheader(6, 1, 2), 0x9FF1, {6, 1, 3}, 0x2FF1},
      {"read-only data, without data", Exheader(6, 1, 0), 0x8001, {6, 3, 0}, 0x2001},
      {"text alone", Exheader(6, 0, 0), 0x6003, {7, 0, 0}, 0x6003},
      {"a program that fits already", Exheader(6, 1, 2), 0x8800, {6, 1, 2}, 0x1FF0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto grown = ExheaderWithRoomFor(c.original, c.programSize);
    ASSERT_TRUE(grown.has_value());
    ASSERT_EQ(grown->size(), 0x400u);
    const int last = c.pages[2] ? 2 : c.pages[1] ? 1 : 0;
    Bytes expected(c.original.begin(), c.original.begin() + 0x400);
    for (int i = 0; i < 3; ++i) qpt::test::PutLE32(expected, 0x14 + 0x10 * i, c.pages[i]);
    qpt::test::PutLE32(expected, 0x18 + 0x10 * last, c.lastSize);
    EXPECT_EQ(*grown, expected);
    EXPECT_TRUE(CheckReplacementExheader(*grown, c.original, 0x0004000000123400, c.programSize).ok());
  }
}

}  // namespace
}  // namespace ctr
