#include "ctr/RomFs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "core/common/Common.h"
#include "support/ImageFiles.h"
#include "support/TempDir.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using qpt::test::GetLE32;
using qpt::test::PatternBytes;
using qpt::test::ReadFile;
using qpt::test::TempDir;
using qpt::test::WriteFile;

const fs::path kVectors = fs::path(QPT_TEST_DATA_DIR) / "vectors" / "romfs";

Bytes Read(const fs::path& path) { return qpt::test::ReadBytes(path); }

fs::path U8(const std::string& utf8) { return fs::path(std::u8string(utf8.begin(), utf8.end())); }

std::string Hex(const ctr::Sha256Digest& digest) {
  static const char* kDigits = "0123456789abcdef";
  std::string out;
  for (std::uint8_t b : digest) {
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 15]);
  }
  return out;
}

std::string HashOf(const Bytes& bytes) { return Hex(ctr::Sha256::Of(bytes.data(), bytes.size())); }

// The 32 bytes at `at`, as hex.
std::string HexOf(const Bytes& bytes, std::size_t at) {
  ctr::Sha256Digest digest{};
  std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(at), digest.size(), digest.begin());
  return Hex(digest);
}

// Every regular file below root, by relative UTF-8 path, with its content.
std::map<std::string, std::string> TreeOf(const fs::path& root) {
  std::map<std::string, std::string> tree;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    tree[qpt::GenericUtf8(fs::relative(entry.path(), root))] =
        entry.is_directory() ? std::string("<dir>") : ReadFile(entry.path());
  }
  return tree;
}

// The golden tree, with the empty folders that git cannot store put back.
fs::path GoldenTree(const TempDir& dir) {
  const fs::path tree = dir / "tree";
  fs::copy(kVectors / "romfs-tree", tree, fs::copy_options::recursive);
  fs::create_directories(tree / "only_empty" / "empty_sub");
  return tree;
}

// The small tree of the format notes (image SHA-256 709c376f...).
void MakeSmallTree(const fs::path& root) {
  Bytes a(16);
  for (int i = 0; i < 16; ++i) a[i] = static_cast<std::uint8_t>(i);
  WriteFile(root / "A.bin", a);
  WriteFile(root / "b.txt", std::string("B"));
  WriteFile(root / "sub/z.dat", std::string("xyz"));
  WriteFile(root / "sub/deeper/d.txt", std::string());
  fs::create_directories(root / "sub2/empty_dir");
}

struct Built {
  fs::path image;
  Bytes bytes;
};

Built BuildSmall(const TempDir& dir) {
  MakeSmallTree(dir / "small");
  Built built{dir / "small.bin", {}};
  const ctr::Status s = ctr::BuildRomFs(dir / "small", built.image);
  EXPECT_TRUE(s.ok()) << s.message();
  built.bytes = Read(built.image);
  return built;
}

TEST(RomFs, BuildsTheGoldenImageFromItsTree) {
  TempDir dir;
  const fs::path tree = GoldenTree(dir);
  const ctr::Status s = ctr::BuildRomFs(tree, dir / "romfs.bin");
  ASSERT_TRUE(s.ok()) << s.message();
  const Bytes built = Read(dir / "romfs.bin");
  const Bytes golden = Read(kVectors / "romfs.bin");
  ASSERT_EQ(built.size(), golden.size());
  // Compare region by region first so that a failure says where.
  EXPECT_TRUE(std::equal(built.begin(), built.begin() + 0x1000, golden.begin())) << "IVFC header";
  EXPECT_TRUE(std::equal(built.begin() + 0x1000, built.begin() + 0x1C70, golden.begin() + 0x1000)) << "level-3 tables";
  EXPECT_TRUE(built == golden);
}

TEST(RomFs, BuildsTheSmallReferenceImage) {
  TempDir dir;
  const Built small = BuildSmall(dir);
  ASSERT_EQ(small.bytes.size(), 0x4000u);
  // The first hash stored in the master hash, level 1 and level 2.
  EXPECT_EQ(HexOf(small.bytes, 0x60), "e31d418e580c165444da7172062c5f1d7eeda4ba293ad93c4a921862cfc8712e");
  EXPECT_EQ(HexOf(small.bytes, 0x2000), "d6f636636d282b43128154af4bcd0caf06e978f94e909a7c2466237d99405dad");
  EXPECT_EQ(HexOf(small.bytes, 0x3000), "17de92e15bf0f516e37fa48204d204b76bc2c59866159d244a5291b2727b6dd2");
  EXPECT_EQ(HashOf(small.bytes), "709c376f587badcd709718c54e8864e1e22557c8149ef595f471b772c2255c24");
}

TEST(RomFs, EmptyFolderGivesARootOnlyImage) {
  TempDir dir;
  fs::create_directories(dir / "empty/only/empty");
  ASSERT_TRUE(ctr::BuildRomFs(dir / "empty", dir / "e.bin").ok());
  const Bytes image = Read(dir / "e.bin");
  ASSERT_EQ(image.size(), 0x4000u);
  const std::uint32_t expected[] = {0x28, 0x28, 0x0C, 0x34, 0x18, 0x4C, 0x0C, 0x58, 0x00, 0x60,
                                    0, 0xFFFFFFFF, 0xFFFFFFFF,
                                    0, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0,
                                    0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF};
  std::uint32_t level3[22];
  std::memcpy(level3, image.data() + 0x1000, sizeof(level3));
  EXPECT_TRUE(std::equal(std::begin(level3), std::end(level3), std::begin(expected)));
  std::uint64_t level3Size = 0;
  std::memcpy(&level3Size, image.data() + 0x44, 8);
  EXPECT_EQ(level3Size, 0x60u);
  ctr::InputFile file;
  ASSERT_TRUE(file.Open(dir / "e.bin").ok());
  EXPECT_TRUE(ctr::VerifyRomFs(file, 0, image.size()).ok());
  ctr::RomFsReader reader;
  ASSERT_TRUE(reader.Open(file, 0, image.size()).ok());
  EXPECT_TRUE(reader.Files().empty());
  EXPECT_TRUE(reader.Folders().empty());
}

TEST(RomFs, UnpackAndRebuildGivesTheSameImage) {
  TempDir dir;
  const fs::path tree = GoldenTree(dir);
  ASSERT_TRUE(ctr::ExtractRomFs(kVectors / "romfs.bin", dir / "out").ok());
  auto expected = TreeOf(tree);
  expected.erase("only_empty");
  expected.erase("only_empty/empty_sub");
  EXPECT_EQ(TreeOf(dir / "out"), expected);

  ASSERT_TRUE(ctr::BuildRomFs(dir / "out", dir / "again.bin").ok());
  EXPECT_TRUE(Read(dir / "again.bin") == Read(kVectors / "romfs.bin"));

  // Unpacking into a folder that already has the tree replaces the files.
  WriteFile(dir / "out/A.bin", std::string("stale"));
  ASSERT_TRUE(ctr::ExtractRomFs(kVectors / "romfs.bin", dir / "out").ok());
  EXPECT_EQ(ReadFile(dir / "out/A.bin"), ReadFile(tree / "A.bin"));
}

TEST(RomFs, ReaderReportsAbsoluteOffsetsAtAnyBase) {
  TempDir dir;
  const Bytes golden = Read(kVectors / "romfs.bin");
  for (std::uint64_t base : {std::uint64_t{0}, std::uint64_t{0x3123}}) {
    SCOPED_TRACE(base);
    Bytes container = PatternBytes(static_cast<std::size_t>(base), 4);
    container.insert(container.end(), golden.begin(), golden.end());
    container.insert(container.end(), 0x200, 0xEE);
    WriteFile(dir / "c.bin", container);
    ctr::InputFile file;
    ASSERT_TRUE(file.Open(dir / "c.bin").ok());
    ctr::RomFsReader reader;
    const ctr::Status s = reader.Open(file, base, golden.size());
    ASSERT_TRUE(s.ok()) << s.message();
    EXPECT_EQ(reader.level3Offset(), base + 0x1000);
    EXPECT_EQ(reader.level3Header().fileMetaOffset, 0x218u);

    ASSERT_EQ(reader.Files().size(), 55u);
    const char* firstNames[] = {"A.bin", "a2.bin", "ab.txt", "a_b.txt", "b.bin", "MÚSICA2.txt", "música.txt",
                                "Русский.txt", "Ａ.txt", "𠀋.txt", "alpha/one.txt", "B_dir/x.bin",
                                "B_dir/Level2/level3/deep.txt", "many/T00.bin"};
    for (std::size_t i = 0; i < std::size(firstNames); ++i) EXPECT_EQ(reader.Files()[i].path, firstNames[i]);
    EXPECT_EQ(reader.Files().back().path, "Zeta/z_empty.bin");
    EXPECT_EQ(reader.Folders(), (std::vector<std::string>{"alpha", "B_dir", "B_dir/Level2", "B_dir/Level2/level3",
                                                          "many", "Zeta"}));

    auto a2 = reader.Find("a2.bin");
    ASSERT_TRUE(a2.has_value());
    EXPECT_EQ(a2->offset, base + 0x1000 + 0xC70 + 0x10);
    EXPECT_EQ(a2->size, 0x1001u);
    auto empty = reader.Find("Zeta/z_empty.bin");
    ASSERT_TRUE(empty.has_value());
    EXPECT_EQ(empty->offset, base + 0x1000 + 0xC70 + 0x29C0);
    EXPECT_EQ(empty->size, 0u);
    EXPECT_FALSE(reader.Find("A.BIN").has_value());
    EXPECT_FALSE(reader.Find("/A.bin").has_value());
    EXPECT_FALSE(reader.Find("B_dir").has_value());

    // Every reported range holds exactly that file's bytes.
    for (const auto& entry : reader.Files()) {
      const Bytes want = Read(kVectors / "romfs-tree" / U8(entry.path));
      ASSERT_EQ(want.size(), entry.size) << entry.path;
      EXPECT_TRUE(std::equal(want.begin(), want.end(), container.begin() + static_cast<std::ptrdiff_t>(entry.offset)))
          << entry.path;
    }
  }
}

// VerifyRomFs with level 3 fed in pieces that straddle its blocks, as a pass over a whole file
// feeds it.
ctr::Status VerifyInPieces(ctr::InputFile& file, std::uint64_t size) {
  ctr::RomFsLevelCheck check(file, 0, size);
  auto level3 = file.ReadVector(check.Level3().offset, check.Level3().size);
  if (!level3) return level3.status();
  for (std::size_t at = 0; at < level3->size(); at += 0x7FF) {
    check.Update(level3->data() + at, std::min<std::size_t>(0x7FF, level3->size() - at));
  }
  return check.Finish(ctr::Status::Ok());
}

TEST(RomFs, VerifyNamesTheLevelAndBlockThatIsWrong) {
  TempDir dir;
  const Bytes golden = Read(kVectors / "romfs.bin");
  {
    WriteFile(dir / "g.bin", golden);
    ctr::InputFile file;
    ASSERT_TRUE(file.Open(dir / "g.bin").ok());
    const ctr::Status s = ctr::VerifyRomFs(file, 0, golden.size());
    EXPECT_TRUE(s.ok()) << s.message();
    EXPECT_TRUE(VerifyInPieces(file, golden.size()).ok());
  }
  const std::pair<std::size_t, const char*> probes[] = {
      {0x60 + 3, "level 1 block 0"},          // master hash
      {0x5000 + 0x1F, "level 1 block 0"},     // level 1
      {0x6000 + 0x61, "level 2 block 0"},     // level 2, hash of level-3 block 3
      {0x1000 + 0x2000 + 0x10, "level 3 block 2"},  // file data
      {0x1000 + 0x3630 + 1, "level 3 block 3"},     // zero padding after level 3
  };
  for (const auto& [at, where] : probes) {
    Bytes bad = golden;
    bad[at] ^= 0x80;
    WriteFile(dir / "bad.bin", bad);
    ctr::InputFile file;
    ASSERT_TRUE(file.Open(dir / "bad.bin").ok());
    const ctr::Status s = ctr::VerifyRomFs(file, 0, bad.size());
    EXPECT_FALSE(s.ok()) << at;
    EXPECT_NE(s.message().find(where), std::string::npos) << at << ": " << s.message();
    EXPECT_EQ(VerifyInPieces(file, bad.size()).message(), s.message()) << at;
  }
}

TEST(RomFs, SuperblockCoversHeaderAndMasterHash) {
  TempDir dir;
  const Built small = BuildSmall(dir);
  Bytes container(0x600, 0x5A);
  const Bytes golden = Read(kVectors / "romfs.bin");
  container.insert(container.end(), golden.begin(), golden.end());
  WriteFile(dir / "c.bin", container);
  ctr::InputFile file;
  ASSERT_TRUE(file.Open(dir / "c.bin").ok());
  auto superblock = ctr::ReadRomFsSuperblock(file, 0x600, golden.size(), 0x200);
  ASSERT_TRUE(superblock.ok()) << superblock.message();
  EXPECT_EQ(superblock->hashRegionSize, 0x200u);
  EXPECT_EQ(Hex(superblock->hash), "e14331e0211eea217ecba75b354c7cc2193e3bc23679daeef17b78ea3bcd9c0b");

  ctr::InputFile smallFile;
  ASSERT_TRUE(smallFile.Open(small.image).ok());
  superblock = ctr::ReadRomFsSuperblock(smallFile, 0, small.bytes.size(), 0x200);
  ASSERT_TRUE(superblock.ok());
  EXPECT_EQ(Hex(superblock->hash), "dcf2025abb66edcdb93a71a712aa186476427f5659c3b7fbe90f0e369f34cc00");

  EXPECT_EQ(ctr::RomFsHashRegionSize(0x20, 0x200), 0x200u);
  EXPECT_EQ(ctr::RomFsHashRegionSize(0x1C0, 0x200), 0x400u);  // header + master past one unit
  EXPECT_EQ(ctr::RomFsHashRegionSize(0x20, 0x1000), 0x1000u);
}

TEST(RomFs, LargeImageSpansSeveralHashBlocksAndStreams) {
  // 20 MiB of data: several level-2 blocks, several level-2 write batches, files crossing the
  // builder's chunk boundaries at odd offsets.
  TempDir dir;
  WriteFile(dir / "big/a.bin", PatternBytes(9 * 1024 * 1024 + 0x123, 1));
  WriteFile(dir / "big/sub/b.bin", PatternBytes(11 * 1024 * 1024 + 0x7, 2));
  WriteFile(dir / "big/sub/c.bin", PatternBytes(0x11, 3));
  ASSERT_TRUE(ctr::BuildRomFs(dir / "big", dir / "big.bin").ok());
  ctr::InputFile file;
  ASSERT_TRUE(file.Open(dir / "big.bin").ok());

  // Level 3 is the tables plus 20 MiB; level 2 then has 0x20 bytes per 4 KiB block.
  std::uint64_t level3Size = 0;
  ASSERT_TRUE(file.ReadAt(0x44, &level3Size, 8).ok());
  const std::uint64_t n3 = (level3Size + 0xFFF) / 0x1000;
  const std::uint64_t l2 = n3 * 0x20;
  const std::uint64_t n2 = (l2 + 0xFFF) / 0x1000;
  EXPECT_GT(n2, 1u);
  EXPECT_EQ(file.size(), 0x1000 + n3 * 0x1000 + ctr::AlignUp(n2 * 0x20, 0x1000) + n2 * 0x1000);
  const ctr::Status verified = ctr::VerifyRomFs(file, 0, file.size());
  EXPECT_TRUE(verified.ok()) << verified.message();

  ASSERT_TRUE(ctr::ExtractRomFs(dir / "big.bin", dir / "out").ok());
  EXPECT_EQ(TreeOf(dir / "out"), TreeOf(dir / "big"));
}

TEST(RomFs, FailedBuildKeepsTheOldImage) {
  TempDir dir;
  EXPECT_FALSE(ctr::BuildRomFs(dir / "missing", dir / "m.bin").ok());
  EXPECT_FALSE(fs::exists(dir / "m.bin"));
#ifdef _WIN32
  GTEST_SKIP() << "POSIX only: the failing build needs a file name that is not UTF-8, and names on Windows "
                  "are UTF-16, read by the system itself";
#else
  WriteFile(dir / "bad" / std::string("\xFF\xFE.bin"), std::string("x"));  // not UTF-8
  WriteFile(dir / "old.bin", std::string("previous image"));
  const ctr::Status s = ctr::BuildRomFs(dir / "bad", dir / "old.bin");
  EXPECT_FALSE(s.ok());
  EXPECT_EQ(ReadFile(dir / "old.bin"), "previous image");
  // Only the old image and the tree: no temporary file left.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 2);
#endif
}

// Overwrites a little-endian u32 inside an image.
void Poke32(Bytes& image, std::size_t at, std::uint32_t value) { std::memcpy(image.data() + at, &value, 4); }

TEST(RomFs, HostileImagesAreRefusedWithoutCrashing) {
  TempDir dir;
  const Built small = BuildSmall(dir);
  const Bytes& image = small.bytes;
  const std::size_t level3End = 0x1000 + 0x190;

  // Every length as the claimed RomFS size inside the whole file...
  {
    ctr::InputFile whole;
    ASSERT_TRUE(whole.Open(small.image).ok());
    for (std::size_t n = 0; n < image.size(); ++n) {
      ctr::RomFsReader reader;
      EXPECT_EQ(reader.Open(whole, 0, n).ok(), n >= level3End) << n;
      EXPECT_FALSE(ctr::VerifyRomFs(whole, 0, n).ok()) << n;
      EXPECT_EQ(ctr::ReadRomFsSuperblock(whole, 0, n, 0x200).ok(), n >= level3End) << n;
    }
  }
  // ...and files really cut short, while the caller still claims the full size.
  for (std::size_t n = 0; n < image.size(); n += (n < 0x1200 ? 7 : 0x1F1)) {
    WriteFile(dir / "t.bin", Bytes(image.begin(), image.begin() + static_cast<std::ptrdiff_t>(n)));
    ctr::InputFile file;
    ASSERT_TRUE(file.Open(dir / "t.bin").ok());
    ctr::RomFsReader reader;
    EXPECT_FALSE(reader.Open(file, 0, image.size()).ok()) << n;
    EXPECT_FALSE(ctr::VerifyRomFs(file, 0, image.size()).ok()) << n;
    EXPECT_FALSE(ctr::ReadRomFsSuperblock(file, 0, image.size(), 0x200).ok()) << n;
    EXPECT_EQ(ctr::ExtractRomFs(dir / "t.bin", dir / "x").ok(), n >= level3End) << n;
  }

  // Offsets inside level 3 of the small image (see the format notes).
  const std::size_t l3 = 0x1000;
  const std::size_t dirMeta = l3 + 0x34;
  const std::size_t fileMeta = l3 + 0xA4;
  // Two chains of 130 folders, a/a/.../x.txt and b/b/.../y.txt: deep, but within what the
  // builder makes.
#ifdef _WIN32
  GTEST_SKIP() << "a chain of 130 folders passes the 260 characters of a Windows path";
#endif
  fs::path chainA = dir / "deep", chainB = dir / "deep";
  for (int i = 0; i < 130; ++i) chainA /= "a", chainB /= "b";
  WriteFile(chainA / "x.txt", std::string("x"));
  WriteFile(chainB / "y.txt", std::string("y"));
  ASSERT_TRUE(ctr::BuildRomFs(dir / "deep", dir / "deep.bin").ok());
  const Bytes deep = Read(dir / "deep.bin");
  WriteFile(dir / "reserved/A.QPT-PARTIAL", std::string("r"));
  ASSERT_TRUE(ctr::BuildRomFs(dir / "reserved", dir / "reserved.bin").ok());
  const Bytes reserved = Read(dir / "reserved.bin");

  struct Case {
    const char* what;
    std::function<void(Bytes&)> change;
    const Bytes* base = nullptr;  // the small image when not given
  };
  const std::vector<Case> cases = {
      {"magic", [](Bytes& b) { b[0] = 'J'; }},
      {"save-data IVFC", [](Bytes& b) { Poke32(b, 4, 0x20000); }},
      {"level 3 larger than the image", [](Bytes& b) { Poke32(b, 0x44, 0x10000); }},
      {"block size absurd", [](Bytes& b) { Poke32(b, 0x4C, 40); }},
      {"master hash size near 4 GiB", [](Bytes& b) { Poke32(b, 0x08, 0xFFFFFFE0); }},
      {"file table past level 3", [=](Bytes& b) { Poke32(b, l3 + 0x20, 0x1000); }},
      {"dir table offset past level 3", [=](Bytes& b) { Poke32(b, l3 + 0x0C, 0xFFFFFFF0); }},
      {"data offset past level 3", [=](Bytes& b) { Poke32(b, l3 + 0x24, 0x191); }},
      {"file data past the end", [=](Bytes& b) { Poke32(b, fileMeta + 0x10, 0x40); }},
      {"file data offset near 2^64", [=](Bytes& b) {
         Poke32(b, fileMeta + 0x08, 0xFFFFFFF0);
         Poke32(b, fileMeta + 0x0C, 0xFFFFFFFF);
       }},
      {"first child past its table", [=](Bytes& b) { Poke32(b, dirMeta + 0x08, 0x5C); }},
      {"folder that is its own child", [=](Bytes& b) { Poke32(b, dirMeta + 0x18 + 0x08, 0x18); }},
      {"root as a child", [=](Bytes& b) { Poke32(b, dirMeta + 0x08, 0); }},
      {"file sibling loop", [=](Bytes& b) { Poke32(b, fileMeta + 0x2C + 0x04, 0); }},
      {"odd name length", [=](Bytes& b) { Poke32(b, fileMeta + 0x1C, 9); }},
      {"name past its table", [=](Bytes& b) { Poke32(b, fileMeta + 0x84 + 0x1C, 0x40); }},
      {"file named ..", [=](Bytes& b) {
         Poke32(b, fileMeta + 0x1C, 4);
         Poke32(b, fileMeta + 0x20, 0x002E002E);
       }},
      {"folder name with a slash", [=](Bytes& b) { b[dirMeta + 0x18 + 0x18 + 2] = '/'; }},
      {"unpaired surrogate", [=](Bytes& b) { Poke32(b, fileMeta + 0x20, 0x002ED800); }},
      {"same name twice", [=](Bytes& b) {  // b.txt renamed A.bin
         Poke32(b, fileMeta + 0x2C + 0x20, 0x002E0041);
         Poke32(b, fileMeta + 0x2C + 0x24, 0x00690062);
         b[fileMeta + 0x2C + 0x28] = 'n';
       }},
      {"a file and a folder whose names differ in letter case only", [=](Bytes& b) {  // b.txt renamed SUB
         Poke32(b, fileMeta + 0x2C + 0x1C, 6);
         Poke32(b, fileMeta + 0x2C + 0x20, 0x00550053);
         Poke32(b, fileMeta + 0x2C + 0x24, 0x00000042);
       }},
      {"a name ending like our temporary files", [](Bytes&) {}, &reserved},
      {"folders nested deeper than the builder goes", [](Bytes& b) {  // the a chain leads into the b chain
         const std::size_t dirs = 0x1000 + GetLE32(b, 0x1000 + 0x0C);
         const std::uint32_t first = GetLE32(b, dirs + 0x08);
         const std::uint32_t second = GetLE32(b, dirs + first + 0x04);
         std::uint32_t last = first;
         while (GetLE32(b, dirs + last + 0x08) != ctr::kRomFsNoEntry) last = GetLE32(b, dirs + last + 0x08);
         Poke32(b, dirs + first + 0x04, ctr::kRomFsNoEntry);
         Poke32(b, dirs + last + 0x08, second);
       }, &deep},
  };
  for (const Case& c : cases) {
    Bytes bad = c.base ? *c.base : image;
    c.change(bad);
    WriteFile(dir / "bad.bin", bad);
    ctr::InputFile file;
    ASSERT_TRUE(file.Open(dir / "bad.bin").ok());
    ctr::RomFsReader reader;
    const ctr::Status opened = reader.Open(file, 0, bad.size());
    EXPECT_FALSE(opened.ok()) << c.what;
    const fs::path out = dir / "y" / "z";
    EXPECT_FALSE(ctr::ExtractRomFs(dir / "bad.bin", out).ok()) << c.what;
  }
  // Nothing escaped the output folder.
  EXPECT_FALSE(fs::exists(dir / "y" / "A.bin"));
  EXPECT_FALSE(fs::exists(dir / "y" / "b.txt"));

  // Names that other tools give their temporary files are ordinary names: a.part listed
  // before a, a folder X.part beside a file X. Each comes out whole.
  WriteFile(dir / "named/a.part", std::string("part"));
  WriteFile(dir / "named/b", std::string("b"));
  WriteFile(dir / "named/X", std::string("X"));
  WriteFile(dir / "named/X.part/y", std::string("y"));
  ASSERT_TRUE(ctr::BuildRomFs(dir / "named", dir / "named.bin").ok());
  Bytes parts = Read(dir / "named.bin");
  const std::size_t files = 0x1000 + GetLE32(parts, 0x1000 + 0x1C);
  ASSERT_EQ(parts[files + 0x2C + 0x20], 'b');
  parts[files + 0x2C + 0x20] = 'a';
  WriteFile(dir / "parts.bin", parts);
  const ctr::Status unpacked = ctr::ExtractRomFs(dir / "parts.bin", dir / "parts");
  ASSERT_TRUE(unpacked.ok()) << unpacked.message();
  EXPECT_EQ(TreeOf(dir / "parts"), (std::map<std::string, std::string>{
                                       {"a.part", "part"}, {"a", "b"}, {"X", "X"}, {"X.part", "<dir>"}, {"X.part/y", "y"}}));
}

}  // namespace
