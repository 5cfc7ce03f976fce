#include "ctr/Blz.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/TempDir.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using qpt::test::PatternBytes;

const std::string kVectors = std::string(QPT_TEST_DATA_DIR) + "/vectors";

Bytes Repeat(const Bytes& unit, int times) {
  Bytes out;
  for (int i = 0; i < times; ++i) out.insert(out.end(), unit.begin(), unit.end());
  return out;
}

Bytes ReadVector(const std::string& relative) {
  const std::string s = qpt::test::ReadFile(kVectors + "/" + relative);
  return Bytes(s.begin(), s.end());
}

// Walks a stored stream the way the loader does in place, and fails if the writer ever gets
// below the reader before a token is read.
bool InPlaceSafe(const Bytes& stored) {
  const std::uint64_t size = stored.size();
  const std::uint32_t word = stored[size - 8] | stored[size - 7] << 8 | stored[size - 6] << 16 |
                             static_cast<std::uint32_t>(stored[size - 5]) << 24;
  const std::uint32_t increase = stored[size - 4] | stored[size - 3] << 8 | stored[size - 2] << 16 |
                                 static_cast<std::uint32_t>(stored[size - 1]) << 24;
  const std::uint64_t end = size - (word & 0xFFFFFF);
  std::uint64_t src = size - (word >> 24);
  std::uint64_t dst = size + increase;
  while (src > end) {
    const std::uint8_t flags = stored[--src];
    for (int bit = 7; bit >= 0 && src > end; --bit) {
      if (dst < src) return false;
      if (flags >> bit & 1) {
        dst -= (stored[src - 1] >> 4) + 3;
        src -= 2;
      } else {
        --dst;
        --src;
      }
    }
  }
  return true;
}

TEST(Blz, DecodesHandMadeStreams) {
  // No prefix, references of growing length.
  const Bytes a{0x0D, 0xD0, 0x05, 0x50, 0x01, 0x10, 0x41, 0x42, 0x43, 0x44,
                0x0E, 0xFF, 0x14, 0x00, 0x00, 0x09, 0x0C, 0x00, 0x00, 0x00};
  auto decodedA = ctr::BlzDecompress(a);
  ASSERT_TRUE(decodedA.ok()) << decodedA.message();
  EXPECT_EQ(*decodedA, Repeat({0x41, 0x42, 0x43, 0x44}, 8));

  // References whose source overlaps the bytes they write: a block copy would get them wrong.
  const Bytes b{0x41, 0x00, 0xF0, 0x00, 0xF0, 0x41, 0x41, 0x41, 0x18, 0xFF,
                0xFF, 0xFF, 0x14, 0x00, 0x00, 0x0B, 0x14, 0x00, 0x00, 0x00};
  auto decodedB = ctr::BlzDecompress(b);
  ASSERT_TRUE(decodedB.ok()) << decodedB.message();
  EXPECT_EQ(*decodedB, Bytes(40, 0x41));
}

Bytes VectorCPrefix() {
  return {0x44, 0x20, 0x82, 0x3C, 0xFD, 0xE6, 0xF1, 0xC2, 0x6B, 0x30, 0xF9, 0x0E, 0xC7, 0xDD,
          0x01, 0xE4, 0x88, 0x75, 0x34, 0xA2, 0x0F, 0x0B, 0x0D, 0x04, 0xC3, 0x6E, 0xD8, 0x0E,
          0x71, 0xE0, 0xFD, 0x77, 0xB0, 0x76, 0x70, 0xEB, 0x94, 0x0B, 0xD5, 0x33};
}

TEST(Blz, CompressesLike3dstoolIncludingTheRawPrefix) {
  const Bytes originalA = Repeat({0x41, 0x42, 0x43, 0x44}, 8);
  EXPECT_EQ(ctr::BlzCompress(originalA),
            (Bytes{0x0D, 0xD0, 0x05, 0x50, 0x01, 0x10, 0x41, 0x42, 0x43, 0x44,
                   0x0E, 0xFF, 0x14, 0x00, 0x00, 0x09, 0x0C, 0x00, 0x00, 0x00}));

  Bytes originalC = VectorCPrefix();
  const Bytes tail = Repeat({0x11, 0x22, 0x33, 0x44}, 16);
  originalC.insert(originalC.end(), tail.begin(), tail.end());
  Bytes storedC = VectorCPrefix();
  const Bytes streamC{0x0D, 0xB0, 0x80, 0x11, 0xF0, 0x0D, 0xD0, 0x05, 0x50, 0x01, 0x10, 0x11,
                      0x22, 0x33, 0x44, 0x0F, 0x18, 0x00, 0x00, 0x08, 0x28, 0x00, 0x00, 0x00};
  storedC.insert(storedC.end(), streamC.begin(), streamC.end());
  EXPECT_EQ(ctr::BlzCompress(originalC), storedC);
  auto decodedC = ctr::BlzDecompress(storedC);
  ASSERT_TRUE(decodedC.ok()) << decodedC.message();
  EXPECT_EQ(*decodedC, originalC);
}

TEST(Blz, ReproducesTheGoldenProgramImage) {
  const Bytes code = ReadVector("exefs/exefs/code.bin");
  const Bytes exefs = ReadVector("exefs/exefs.bin");
  ASSERT_GE(exefs.size(), 0x200u + 0x1F290u);
  const Bytes expected(exefs.begin() + 0x200, exefs.begin() + 0x200 + 0x1F290);

  const Bytes stored = ctr::BlzCompress(code);
  EXPECT_EQ(stored.size(), expected.size());
  EXPECT_TRUE(stored == expected) << "compressed .code differs from 3dstool's";

  auto decoded = ctr::BlzDecompress(expected);
  ASSERT_TRUE(decoded.ok()) << decoded.message();
  EXPECT_TRUE(*decoded == code);
}

TEST(Blz, RoundTripsAndStaysSafeForInPlaceDecoding) {
  // Random heads force a raw prefix; zero runs, short periods and copies give every kind of
  // reference; odd sizes move the footer padding around.
  std::vector<Bytes> inputs;
  for (std::uint32_t seed = 1; seed <= 6; ++seed) {
    Bytes data = PatternBytes(0x300 + seed * 37, seed);
    const Bytes zeros(0x800 + seed, 0);
    data.insert(data.end(), zeros.begin(), zeros.end());
    const Bytes period = Repeat({0x11, 0x22, 0x33, 0x44, 0x55, static_cast<std::uint8_t>(seed)}, 300);
    data.insert(data.end(), period.begin(), period.end());
    const Bytes copy(data.begin() + 0x100, data.begin() + 0x1F0);
    for (int i = 0; i < 20; ++i) {
      data.insert(data.end(), copy.begin(), copy.end());
      data.push_back(static_cast<std::uint8_t>(i));
    }
    inputs.push_back(data);
    // The compressible part first, the random part last (decoded first): no prefix needed.
    Bytes reversed(data.rbegin(), data.rend());
    inputs.push_back(reversed);
  }
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    SCOPED_TRACE("input " + std::to_string(i));
    const Bytes stored = ctr::BlzCompress(inputs[i]);
    ASSERT_FALSE(stored.empty());
    EXPECT_LT(stored.size(), inputs[i].size());
    EXPECT_EQ(stored.size() % 4, 0u);
    EXPECT_TRUE(InPlaceSafe(stored));
    auto decoded = ctr::BlzDecompress(stored);
    ASSERT_TRUE(decoded.ok()) << decoded.message();
    EXPECT_TRUE(*decoded == inputs[i]);
  }
}

TEST(Blz, GivesUpOnDataThatDoesNotShrink) {
  EXPECT_TRUE(ctr::BlzCompress(PatternBytes(0x1000, 7)).empty());
  EXPECT_TRUE(ctr::BlzCompress(Bytes{}).empty());
  EXPECT_TRUE(ctr::BlzCompress(Bytes(8, 0)).empty());
}

TEST(Blz, RejectsStreamsThatLie) {
  // An uncompressed ARM image ends in a return instruction: footer length byte 0xE1.
  Bytes plain = PatternBytes(0x400, 3);
  plain.insert(plain.end(), {0x1E, 0xFF, 0x2F, 0xE1});
  EXPECT_FALSE(ctr::BlzDecompress(plain).ok());
  EXPECT_FALSE(ctr::BlzDecompress(Bytes{0x14, 0, 0, 9, 0, 0, 0}).ok());  // shorter than a footer

  const Bytes good{0x0D, 0xD0, 0x05, 0x50, 0x01, 0x10, 0x41, 0x42, 0x43, 0x44,
                   0x0E, 0xFF, 0x14, 0x00, 0x00, 0x09, 0x0C, 0x00, 0x00, 0x00};
  auto mutate = [&](std::size_t index, std::uint8_t value) {
    Bytes b = good;
    b[index] = value;
    return b;
  };
  EXPECT_FALSE(ctr::BlzDecompress(mutate(12, 0x15)).ok());  // top beyond the file
  EXPECT_FALSE(ctr::BlzDecompress(mutate(12, 0x08)).ok());  // top below bottom
  EXPECT_FALSE(ctr::BlzDecompress(mutate(15, 0x0C)).ok());  // footer length 12
  EXPECT_FALSE(ctr::BlzDecompress(mutate(16, 0x0B)).ok());  // claims one byte less output
  EXPECT_FALSE(ctr::BlzDecompress(mutate(16, 0x0D)).ok());  // claims one byte more output
  EXPECT_FALSE(ctr::BlzDecompress(mutate(19, 0x10)).ok());  // 256 MiB of output
  EXPECT_FALSE(ctr::BlzDecompress(mutate(0, 0x0E)).ok());   // last reference reads past the end
  EXPECT_FALSE(ctr::BlzDecompress(mutate(10, 0xFF)).ok());  // every token a reference
  EXPECT_FALSE(ctr::BlzDecompress(mutate(10, 0x00)).ok());  // every token a literal

  // A reference that would make the writer overtake the reader: valid for an emulator's
  // separate buffers, but it corrupts the loader's in-place decode.
  // 42 x 'A' as three literals, two 18-byte references, three literals and a last empty flag
  // byte; after the second reference the writer sits one byte below the reader.
  const Bytes overtaking{0x00, 0x41, 0x41, 0x41, 0x00, 0xF0, 0x00, 0xF0, 0x41, 0x41,
                         0x41, 0x18, 0x14, 0x00, 0x00, 0x08, 0x16, 0x00, 0x00, 0x00};
  EXPECT_FALSE(ctr::BlzDecompress(overtaking).ok());

  // Every truncation of a valid stream and every single-byte change must be handled without
  // a crash (most are rejected; none may read outside the buffer).
  for (std::size_t n = 0; n < good.size(); ++n) {
    EXPECT_FALSE(ctr::BlzDecompress(std::span(good.data(), n)).ok()) << n;
  }
  for (std::size_t i = 0; i < good.size(); ++i) {
    for (int v = 0; v < 256; v += 5) (void)ctr::BlzDecompress(mutate(i, static_cast<std::uint8_t>(v)));
  }
}

}  // namespace
