#include "ctr/Cia.h"

#include <gtest/gtest.h>

#include <functional>

#include "ctr/Ncch.h"
#include "support/ImageFiles.h"
#include "support/TempDir.h"

namespace ctr {
namespace {

using qpt::test::Bytes;
using qpt::test::ReadBytes;
using qpt::test::Slice;
using qpt::test::TempDir;
using qpt::test::VectorPath;

constexpr std::size_t kTicket = 0x2A40;
constexpr std::size_t kTmd = 0x2DC0;

// Blanks what the reference builder randomises (ticket signature, title key, ticket ID) and
// the TMD signature, which it makes with a test key and we fill with 0xFF.
Bytes MaskUnreproducible(Bytes cia) {
  for (auto [from, to] : {std::pair{0x004, 0x104}, std::pair{0x1BF, 0x1CF}, std::pair{0x1D0, 0x1D8}}) {
    std::fill(cia.begin() + kTicket + from, cia.begin() + kTicket + to, 0);
  }
  std::fill(cia.begin() + kTmd + 4, cia.begin() + kTmd + 0x104, 0);
  return cia;
}

TEST(CiaBuild, MatchesTheReferenceCiaOutsideItsRandomFields) {
  TempDir dir;
  ASSERT_TRUE(BuildCia(VectorPath("cxi/out.cxi"), 0, 0, dir / "out.cia").ok());
  const Bytes ours = ReadBytes(dir / "out.cia");
  const Bytes reference = ReadBytes(VectorPath("cia/out.cia"));
  ASSERT_EQ(ours.size(), reference.size());
  EXPECT_EQ(qpt::test::BytesSha256(MaskUnreproducible(ours)),
            "0f417c658feec8c7ee4f0878badc0f909dcaef44e2c7aa2a10ca4538cdd752a2");
  EXPECT_EQ(MaskUnreproducible(ours), MaskUnreproducible(reference));
  // Our own random-looking fields are fixed: the same input gives the same bytes.
  ASSERT_TRUE(BuildCia(VectorPath("cxi/out.cxi"), 0, 0, dir / "again.cia").ok());
  EXPECT_EQ(ReadBytes(dir / "again.cia"), ours);
  EXPECT_EQ(ours[kTicket + 0x1D0], 0x00);
  EXPECT_EQ(ours[kTicket + 0x1D1], 0x04);
}

TEST(CiaBuild, CertificateChainIsTheRetailOne) {
  const auto chain = RetailCertificateChain();
  const Sha256Digest digest = Sha256::Of(chain.data(), chain.size());
  const Bytes bytes(chain.begin(), chain.end());
  EXPECT_EQ(qpt::test::BytesSha256(bytes), "c72e1ca561dc9bc80558589c63081c8a1078df4299803a6858f041f9cb10e635");
  (void)digest;
}

TEST(CiaBuild, WithoutIconThereIsNoMetaSection) {
  TempDir dir;
  // An ExeFS with the icon entry renamed: the builder finds no icon.
  Bytes cxi = ReadBytes(VectorPath("cxi/out.cxi"));
  const std::size_t exefs = 0x2A00;
  ASSERT_EQ(std::string(reinterpret_cast<const char*>(&cxi[exefs + 0x20]), 4), "icon");
  cxi[exefs + 0x20] = 'I';
  qpt::test::WriteBytes(dir / "noicon.cxi", cxi);
  ASSERT_TRUE(BuildCia(dir / "noicon.cxi", 0, 0x11223344, dir / "out.cia").ok());
  FileReader file;
  ASSERT_TRUE(file.Open(dir / "out.cia").ok());
  auto cia = ReadCia(file);
  ASSERT_TRUE(cia.ok()) << cia.message();
  EXPECT_EQ(cia->header.metaSize, 0u);
  EXPECT_EQ(file.size(), cia->contentOffset + cia->header.contentSize);
  ASSERT_EQ(cia->contents.size(), 1u);
  EXPECT_EQ(cia->contents[0].id, 0x11223344u);
  EXPECT_TRUE(cia->contents[0].present);
}

TEST(CiaBuild, TakesVersionAndSaveSizeFromTheExheaderAndTitleFromThePartitionId) {
  TempDir dir;
  Bytes cxi = ReadBytes(VectorPath("cxi/out.cxi"));
  // Remaster version 5, save size 0x11223344 in the exheader; a different partition ID.
  cxi[0x200 + 0x0E] = 5;
  qpt::test::PutLE64(cxi, 0x200 + 0x1C0, 0x11223344);
  qpt::test::PutLE64(cxi, 0x108, 0x0004000000ABCD00);
  const Sha256Digest hash = Sha256::Of(cxi.data() + 0x200, 0x400);
  std::copy(hash.begin(), hash.end(), cxi.begin() + 0x160);
  qpt::test::WriteBytes(dir / "v5.cxi", cxi);
  ASSERT_TRUE(BuildCia(dir / "v5.cxi", 0, 0, dir / "v5.cia").ok());
  FileReader file;
  ASSERT_TRUE(file.Open(dir / "v5.cia").ok());
  auto cia = ReadCia(file);
  ASSERT_TRUE(cia.ok()) << cia.message();
  EXPECT_EQ(cia->tmd.titleVersion.get(), 5 << 10);
  EXPECT_EQ(cia->ticket.titleVersion.get(), 5 << 10);
  const std::uint32_t saveDataSize = cia->tmd.saveDataSize;  // a packed field: copy, never bind
  EXPECT_EQ(saveDataSize, 0x11223344u);
  EXPECT_EQ(cia->tmd.titleId.get(), 0x0004000000ABCD00u);
  EXPECT_EQ(cia->ticket.titleId.get(), 0x0004000000ABCD00u);
}

TEST(CiaBuild, RefusesWhatIsNotAPlainConsistentCxi) {
  TempDir dir;
  const Bytes good = ReadBytes(VectorPath("cxi/out.cxi"));
  const std::pair<const char*, std::function<void(Bytes&)>> cases[] = {
      {"encrypted", [](Bytes& b) { b[0x18F] = 0; }},
      {"exheader changed without its hash", [](Bytes& b) { b[0x210] ^= 1; }},
      {"no exheader", [](Bytes& b) { qpt::test::PutLE32(b, 0x180, 0); }},
      {"content size beyond the file", [](Bytes& b) { qpt::test::PutLE32(b, 0x104, 0x181); }},
      {"not an NCCH", [](Bytes& b) { b[0x100] = 'X'; }},
  };
  for (const auto& [what, damage] : cases) {
    Bytes bad = good;
    damage(bad);
    qpt::test::WriteBytes(dir / "bad.cxi", bad);
    EXPECT_FALSE(BuildCia(dir / "bad.cxi", 0, 0, dir / "out.cia").ok()) << what;
    EXPECT_FALSE(std::filesystem::exists(dir / "out.cia")) << what;
  }
}

TEST(CiaRead, ListsTheContentAndWritesItUnderTheIndexAndIdName) {
  TempDir dir;
  FileReader file;
  ASSERT_TRUE(file.Open(VectorPath("cia/out.cia")).ok());
  auto cia = ReadCia(file);
  ASSERT_TRUE(cia.ok()) << cia.message();
  EXPECT_EQ(cia->contentOffset, 0x3900u);
  EXPECT_EQ(cia->metaOffset, 0x33900u);
  ASSERT_EQ(cia->contents.size(), 1u);
  EXPECT_EQ(cia->contents[0].size, 0x30000u);
  ASSERT_TRUE(ExtractCiaContents(file, dir / "c").ok());
  EXPECT_EQ(ReadBytes(dir / "c.0000.00000000"), ReadBytes(VectorPath("cxi/out.cxi")));
}

// A CIA with the TMD rewritten to list a second content, and the bitmap and sizes to match.
Bytes WithSecondContent(Bytes cia, bool present, std::uint16_t type) {
  const std::size_t tmd = kTmd;
  const std::size_t chunks = tmd + 0xB04;
  Bytes second(0x30, 0);
  second[3] = 0x2A;  // ID 0x2A
  second[5] = 0x01;  // index 1
  second[6] = static_cast<std::uint8_t>(type >> 8);
  second[7] = static_cast<std::uint8_t>(type);
  second[0xE] = 0x02;  // size 0x200
  // Grow the TMD by one record: everything after it moves by 0x40 (0xB34 + 0x30 -> 0xB64).
  cia.insert(cia.begin() + static_cast<std::ptrdiff_t>(chunks + 0x30), second.begin(), second.end());
  cia.insert(cia.begin() + static_cast<std::ptrdiff_t>(chunks + 0x60), 0x10, 0);
  qpt::test::PutLE32(cia, 0x10, 0xB64);
  cia[tmd + 0x1DF] = 2;  // content count
  if (present) {
    cia[0x20] |= 0x40;
    const std::size_t contentEnd = 0x3940 + 0x30000;
    Bytes data(0x200, 0x5A);
    cia.insert(cia.begin() + static_cast<std::ptrdiff_t>(contentEnd), data.begin(), data.end());
    qpt::test::PutLE64(cia, 0x18, 0x30200);
  }
  return cia;
}

TEST(CiaRead, WritesEveryPresentContentAndSkipsAbsentOnes) {
  TempDir dir;
  const Bytes base = ReadBytes(VectorPath("cia/out.cia"));
  {
    const Bytes cia = WithSecondContent(base, true, 0);
    MemoryReader reader(cia);
    ASSERT_TRUE(ExtractCiaContents(reader, dir / "c").ok());
    EXPECT_EQ(ReadBytes(dir / "c.0000.00000000"), ReadBytes(VectorPath("cxi/out.cxi")));
    EXPECT_EQ(ReadBytes(dir / "c.0001.0000002a"), Bytes(0x200, 0x5A));
  }
  {
    TempDir other;
    const Bytes cia = WithSecondContent(base, false, 0);
    MemoryReader reader(cia);
    ASSERT_TRUE(ExtractCiaContents(reader, other / "c").ok());
    EXPECT_TRUE(std::filesystem::exists(other / "c.0000.00000000"));
    EXPECT_FALSE(std::filesystem::exists(other / "c.0001.0000002a"));
  }
}

TEST(CiaRead, EncryptedContentIsRefusedBeforeAnythingIsWritten) {
  TempDir dir;
  const Bytes cia = WithSecondContent(ReadBytes(VectorPath("cia/out.cia")), true, kTmdContentEncrypted);
  MemoryReader reader(cia);
  EXPECT_FALSE(ExtractCiaContents(reader, dir / "c").ok());
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));

  Bytes plainFlagCleared = ReadBytes(VectorPath("cia/out.cia"));
  plainFlagCleared[0x3900 + 0x18F] = 0;
  MemoryReader second(plainFlagCleared);
  EXPECT_FALSE(ExtractCiaContents(second, dir / "c").ok());
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST(CiaRead, RefusesDamagedSections) {
  const Bytes good = ReadBytes(VectorPath("cia/out.cia"));
  const std::pair<const char*, std::function<void(Bytes&)>> cases[] = {
      {"header size", [](Bytes& b) { qpt::test::PutLE32(b, 0, 0x2000); }},
      {"content beyond the end", [](Bytes& b) { qpt::test::PutLE64(b, 0x18, 0x40000); }},
      {"TMD size huge", [](Bytes& b) { qpt::test::PutLE32(b, 0x10, 0xFFFFFFF0); }},
      {"meta beyond the end", [](Bytes& b) { qpt::test::PutLE32(b, 0x14, 0x3AC1); }},
      {"unknown TMD signature type", [](Bytes& b) { b[kTmd + 3] = 9; }},
      {"content count beyond the TMD", [](Bytes& b) { b[kTmd + 0x1DE] = 1; }},
      {"content larger than the section", [](Bytes& b) { b[kTmd + 0xB04 + 0xC] = 1; }},
      {"no ticket", [](Bytes& b) { qpt::test::PutLE32(b, 0x0C, 0); }},
  };
  for (const auto& [what, damage] : cases) {
    Bytes bad = good;
    damage(bad);
    MemoryReader reader(bad);
    EXPECT_FALSE(ReadCia(reader).ok()) << what;
  }
}

}  // namespace
}  // namespace ctr
