#include "ctr/ExeFs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "ctr/Blz.h"
#include "support/ImageFiles.h"
#include "support/TempDir.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using qpt::test::PatternBytes;
using qpt::test::ReadFile;
using qpt::test::TempDir;
using qpt::test::WriteFile;

const fs::path kVectors = fs::path(QPT_TEST_DATA_DIR) / "vectors" / "exefs";

Bytes Read(const fs::path& path) { return qpt::test::ReadBytes(path); }

std::uint32_t U32(const Bytes& b, std::size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}

// A header naming .code, banner and icon with stale offsets, sizes and hashes.
Bytes StaleHeader() {
  Bytes h(0x200, 0);
  const char* names[] = {".code", "banner", "icon"};
  for (int i = 0; i < 3; ++i) {
    std::memcpy(&h[0x10 * i], names[i], std::strlen(names[i]));
    h[0x10 * i + 0x08] = static_cast<std::uint8_t>(0x11 * i);
    h[0x10 * i + 0x0C] = 0x44;
    h[0x1E0 - 0x20 * i] = 0xAB;
  }
  h[0x08] = 0;  // the first file always starts right after the header
  return h;
}

Bytes CompressibleCode(std::size_t size) {
  Bytes code = PatternBytes(0x90, 11);
  while (code.size() < size) {
    code.push_back(0);
    code.push_back(static_cast<std::uint8_t>(code.size() * 7));
    code.push_back(0xE5);
    code.push_back(0x9F);
  }
  code.resize(size);
  return code;
}

// A small ExeFS folder with a header; returns the folder, header path in dir.
void MakeFolder(const TempDir& dir) {
  WriteFile(dir / "in/code.bin", CompressibleCode(0x1235));
  WriteFile(dir / "in/banner.bnr", PatternBytes(0x333, 2));
  WriteFile(dir / "in/icon.icn", PatternBytes(0x200, 3));
  WriteFile(dir / "header.bin", StaleHeader());
}

TEST(ExeFs, BuildsTheGoldenImagesWithAndWithoutCompression) {
  TempDir dir;
  ASSERT_TRUE(ctr::BuildExeFs(kVectors / "exefs", kVectors / "exefsheader.bin", dir / "z.bin", true).ok());
  EXPECT_TRUE(Read(dir / "z.bin") == Read(kVectors / "exefs.bin"));
  ASSERT_TRUE(ctr::BuildExeFs(kVectors / "exefs", kVectors / "exefsheader.bin", dir / "plain.bin", false).ok());
  EXPECT_TRUE(Read(dir / "plain.bin") == Read(kVectors / "exefs-plain.bin"));
}

TEST(ExeFs, UnpacksTheGoldenImageBackToItsFolder) {
  TempDir dir;
  ASSERT_TRUE(ctr::ExtractExeFs(kVectors / "exefs.bin", dir / "u", dir / "h/header.bin", true).ok());
  for (const char* name : {"code.bin", "banner.bnr", "icon.icn"}) {
    EXPECT_TRUE(Read(dir / "u" / name) == Read(kVectors / "exefs" / name)) << name;
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(dir / "u"), fs::directory_iterator()), 3);
  const Bytes image = Read(kVectors / "exefs.bin");
  EXPECT_TRUE(Read(dir / "h/header.bin") == Bytes(image.begin(), image.begin() + 0x200));

  // Without decompression the program image comes out as stored.
  ASSERT_TRUE(ctr::ExtractExeFs(kVectors / "exefs.bin", dir / "raw", dir / "h2.bin", false).ok());
  EXPECT_TRUE(Read(dir / "raw/code.bin") == Bytes(image.begin() + 0x200, image.begin() + 0x200 + 0x1F290));
}

TEST(ExeFs, DecompressingAPlainCodeFailsButStillWritesEveryFile) {
  TempDir dir;
  const ctr::Status s = ctr::ExtractExeFs(kVectors / "exefs-plain.bin", dir / "u", dir / "h.bin", true);
  EXPECT_FALSE(s.ok());
  EXPECT_NE(s.message().find(".code"), std::string::npos) << s.message();
  EXPECT_TRUE(Read(dir / "u/code.bin") == Read(kVectors / "exefs/code.bin"));
  EXPECT_TRUE(Read(dir / "u/icon.icn") == Read(kVectors / "exefs/icon.icn"));
  // The fallback the install job takes then succeeds.
  EXPECT_TRUE(ctr::ExtractExeFs(kVectors / "exefs-plain.bin", dir / "u", dir / "h.bin", false).ok());
}

TEST(ExeFs, RoundTripKeepsTheImage) {
  TempDir dir;
  MakeFolder(dir);
  ASSERT_TRUE(ctr::BuildExeFs(dir / "in", dir / "header.bin", dir / "a.bin", true).ok());
  ASSERT_TRUE(ctr::ExtractExeFs(dir / "a.bin", dir / "out", dir / "h.bin", true).ok());
  EXPECT_EQ(ReadFile(dir / "out/code.bin"), ReadFile(dir / "in/code.bin"));
  ASSERT_TRUE(ctr::BuildExeFs(dir / "out", dir / "h.bin", dir / "b.bin", true).ok());
  EXPECT_EQ(ReadFile(dir / "a.bin"), ReadFile(dir / "b.bin"));

  const Bytes image = Read(dir / "a.bin");
  EXPECT_EQ(image.size() % 0x200, 0u);
  EXPECT_EQ(U32(image, 0x18), ctr::AlignUp(U32(image, 0x0C), 0x200));  // banner follows .code
  EXPECT_EQ(U32(image, 0x1C), 0x333u);
  EXPECT_EQ(U32(image, 0x2C), 0x200u);
}

TEST(ExeFs, ReaderFindsFilesAtANonZeroBase) {
  TempDir dir;
  MakeFolder(dir);
  ASSERT_TRUE(ctr::BuildExeFs(dir / "in", dir / "header.bin", dir / "a.bin", false).ok());
  Bytes container = PatternBytes(0x1234, 9);
  const Bytes image = Read(dir / "a.bin");
  container.insert(container.end(), image.begin(), image.end());
  container.insert(container.end(), 0x99, 0xEE);
  WriteFile(dir / "c.bin", container);

  ctr::InputFile file;
  ASSERT_TRUE(file.Open(dir / "c.bin").ok());
  auto header = ctr::ReadExeFsHeader(file, 0x1234, image.size());
  ASSERT_TRUE(header.ok()) << header.message();
  ASSERT_EQ(header->entries.size(), 3u);
  EXPECT_EQ(header->entries[2].name, "icon");
  auto icon = ctr::ReadExeFsFile(file, 0x1234, image.size(), "icon");
  ASSERT_TRUE(icon.ok()) << icon.message();
  EXPECT_TRUE(*icon == PatternBytes(0x200, 3));
  EXPECT_FALSE(ctr::ReadExeFsFile(file, 0x1234, image.size(), "logo").ok());
  EXPECT_TRUE(ctr::VerifyExeFs(file, 0x1234, image.size()).ok());
}

TEST(ExeFs, VerifyNamesTheFileWhoseHashIsWrong) {
  TempDir dir;
  MakeFolder(dir);
  ASSERT_TRUE(ctr::BuildExeFs(dir / "in", dir / "header.bin", dir / "a.bin", true).ok());
  const Bytes image = Read(dir / "a.bin");
  const std::pair<std::size_t, const char*> probes[] = {
      {0x200 + 5, ".code"},                       // inside the program image
      {0x200 + U32(image, 0x18) + 0x332, "banner"},  // last byte of the banner
      {0x1A0 + 7, "icon"},                        // the icon's stored hash
  };
  for (const auto& [at, name] : probes) {
    Bytes bad = image;
    bad[at] ^= 0x01;
    WriteFile(dir / "bad.bin", bad);
    ctr::InputFile file;
    ASSERT_TRUE(file.Open(dir / "bad.bin").ok());
    const ctr::Status s = ctr::VerifyExeFs(file, 0, bad.size());
    EXPECT_FALSE(s.ok()) << name;
    EXPECT_NE(s.message().find(name), std::string::npos) << s.message();
  }
  // Padding between files is not covered by any hash.
  Bytes padded = image;
  padded[0x200 + U32(image, 0x0C)] ^= 0x01;
  WriteFile(dir / "pad.bin", padded);
  ctr::InputFile file;
  ASSERT_TRUE(file.Open(dir / "pad.bin").ok());
  EXPECT_TRUE(ctr::VerifyExeFs(file, 0, padded.size()).ok());
}

TEST(ExeFs, MissingFileDropsItsEntryAndReportsIt) {
  TempDir dir;
  MakeFolder(dir);
  fs::remove(dir / "in/banner.bnr");
  const ctr::Status s = ctr::BuildExeFs(dir / "in", dir / "header.bin", dir / "a.bin", false);
  EXPECT_FALSE(s.ok());
  EXPECT_NE(s.message().find("banner.bnr"), std::string::npos) << s.message();
  ctr::InputFile file;
  ASSERT_TRUE(file.Open(dir / "a.bin").ok());
  auto header = ctr::ReadExeFsHeader(file, 0, file.size());
  ASSERT_TRUE(header.ok()) << header.message();
  ASSERT_EQ(header->entries.size(), 2u);
  EXPECT_EQ(header->entries[1].name, "icon");
  EXPECT_EQ(header->entries[1].slot, 1);
  EXPECT_TRUE(ctr::VerifyExeFs(file, 0, file.size()).ok());
  const Bytes image = Read(dir / "a.bin");
  EXPECT_TRUE(std::all_of(image.begin() + 0x20, image.begin() + 0x30, [](std::uint8_t b) { return b == 0; }));
  EXPECT_TRUE(std::all_of(image.begin() + 0x100, image.begin() + 0x1A0, [](std::uint8_t b) { return b == 0; }));
}

TEST(ExeFs, CodeThatDoesNotShrinkIsStoredRawAndReported) {
  TempDir dir;
  MakeFolder(dir);
  WriteFile(dir / "in/code.bin", PatternBytes(0x800, 5));
  const ctr::Status s = ctr::BuildExeFs(dir / "in", dir / "header.bin", dir / "a.bin", true);
  EXPECT_FALSE(s.ok());
  const Bytes image = Read(dir / "a.bin");
  EXPECT_TRUE(Bytes(image.begin() + 0x200, image.begin() + 0xA00) == PatternBytes(0x800, 5));
}

TEST(ExeFs, RejectsHostileImages) {
  TempDir dir;
  MakeFolder(dir);
  ASSERT_TRUE(ctr::BuildExeFs(dir / "in", dir / "header.bin", dir / "a.bin", true).ok());
  const Bytes image = Read(dir / "a.bin");
  const std::uint32_t iconEnd = 0x200 + U32(image, 0x28) + U32(image, 0x2C);

  // Every length as the claimed ExeFS size inside the whole file...
  {
    ctr::InputFile whole;
    ASSERT_TRUE(whole.Open(dir / "a.bin").ok());
    for (std::size_t n = 0; n < image.size(); ++n) {
      const bool complete = n >= iconEnd;
      EXPECT_EQ(ctr::VerifyExeFs(whole, 0, n).ok(), complete) << n;
      EXPECT_EQ(ctr::ReadExeFsFile(whole, 0, n, "icon").ok(), complete) << n;
    }
  }
  // ...and files really cut short, while the caller still claims the full size.
  for (std::size_t n = 0; n < image.size(); n += (n < 0x220 ? 3 : 0x61)) {
    WriteFile(dir / "t.bin", Bytes(image.begin(), image.begin() + static_cast<std::ptrdiff_t>(n)));
    ctr::InputFile file;
    ASSERT_TRUE(file.Open(dir / "t.bin").ok());
    EXPECT_FALSE(ctr::ReadExeFsHeader(file, 0, image.size()).ok()) << n;
    EXPECT_FALSE(ctr::VerifyExeFs(file, 0, image.size()).ok()) << n;
    EXPECT_FALSE(ctr::ExtractExeFs(dir / "t.bin", dir / "x", dir / "xh.bin", true).ok()) << n;
  }

  auto expectRejected = [&](Bytes bad, const char* why) {
    WriteFile(dir / "bad.bin", bad);
    EXPECT_FALSE(ctr::ExtractExeFs(dir / "bad.bin", dir / "y", dir / "yh.bin", false).ok()) << why;
    ctr::InputFile file;
    ASSERT_TRUE(file.Open(dir / "bad.bin").ok());
    EXPECT_FALSE(ctr::VerifyExeFs(file, 0, bad.size()).ok()) << why;
  };
  Bytes bad = image;
  bad[0x90] = 1;
  expectRejected(bad, "reserved byte set");
  bad = image;
  bad[0x08] = 0x02;
  expectRejected(bad, "first file not at offset 0");
  bad = image;
  bad[0x2F] = 0xFF;  // icon size 0xFF000200
  expectRejected(bad, "size past the end");
  bad = image;
  bad[0x2B] = 0xFF;  // icon offset near 4 GiB
  expectRejected(bad, "offset past the end");
  bad = image;
  std::memcpy(&bad[0x10], "../x\0\0\0\0", 8);
  expectRejected(bad, "name that leaves the folder");
  bad = image;
  std::memcpy(&bad[0x20], "code\0\0\0\0", 8);  // the icon renamed: code.bin, like .code
  expectRejected(bad, "two entries that unpack to one file");
  EXPECT_FALSE(fs::exists(dir / "x.bin"));
}

}  // namespace
