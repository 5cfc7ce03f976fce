#include "ctr/PatchFormats.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "ctr/Crc32.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes B(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// One case of a table: the patch applied to source under maxSize gives expected, or fails with
// a message that contains error.
struct PatchCase {
  const char* name;
  Bytes source;
  Bytes patch;
  std::uint64_t maxSize;
  Bytes expected;
  std::string error;
};

using Apply = ctr::Result<Bytes> (*)(std::span<const std::uint8_t>, std::span<const std::uint8_t>, std::uint64_t);

void RunCases(Apply apply, const std::vector<PatchCase>& cases) {
  for (const PatchCase& c : cases) {
    SCOPED_TRACE(c.name);
    auto result = apply(c.source, c.patch, c.maxSize);
    if (c.error.empty()) {
      ASSERT_TRUE(result.ok()) << result.message();
      EXPECT_EQ(*result, c.expected);
    } else {
      ASSERT_FALSE(result.ok());
      EXPECT_NE(result.message().find(c.error), std::string::npos) << result.message();
    }
  }
}

TEST(Crc32, MatchesTheCheckValueAndChainsPieces) {
  EXPECT_EQ(ctr::Crc32(B("123456789")), 0xCBF43926u);
  EXPECT_EQ(ctr::Crc32(B("56789"), ctr::Crc32(B("1234"))), 0xCBF43926u);
  EXPECT_EQ(ctr::Crc32(Bytes{}), 0u);
}

TEST(Ips, AppliesRecordsAndRefusesDamage) {
  const Bytes src = B("ABCDEFGH");
  const Bytes head = B("PATCH");
  const Bytes eof = B("EOF");
  RunCases(ctr::ApplyIps, {
      // offset 000002, size 0003, "xyz"
      {"plain record", src, head + Bytes{0, 0, 2, 0, 3} + B("xyz") + eof, 64, B("ABxyzFGH"), ""},
      // offset 000001, size 0000 (a run), count 0004, value '*'
      {"run", src, head + Bytes{0, 0, 1, 0, 0, 0, 4, '*'} + eof, 64, B("A****FGH"), ""},
      // offset 00000A, size 0002: two bytes past the end, with a gap of two zeros; ends exactly
      // on the bound
      {"extends with zeros", src, head + Bytes{0, 0, 0x0A, 0, 2} + B("yz") + eof, 12,
       B("ABCDEFGH") + Bytes{0, 0} + B("yz"), ""},
      // offset 000000, size 0001, "x"; after EOF the length 000005
      {"truncates", src, head + Bytes{0, 0, 0, 0, 1, 'x'} + eof + Bytes{0, 0, 5}, 64, B("xBCDE"), ""},
      {"nothing but EOF", src, head + eof, 8, src, ""},
      {"not an IPS", src, B("PATCX") + eof, 64, {}, "does not start with PATCH"},
      {"missing EOF", src, head + Bytes{0, 0, 2, 0, 1, 'x'}, 64, {}, "ends before its EOF marker"},
      {"data cut short", src, head + Bytes{0, 0, 2, 0, 3} + B("xy"), 64, {}, "record at 0x5 is cut short"},
      {"size cut short", src, head + Bytes{0, 0, 2, 0}, 64, {}, "record at 0x5 is cut short"},
      {"run cut short", src, head + Bytes{0, 0, 2, 0, 0, 0, 4}, 64, {}, "record at 0x5 is cut short"},
      // A record at 0x454F46 would start with the bytes "EOF": read as the end, its size and data
      // are left over.
      {"offset that spells EOF", src, head + Bytes{'E', 'O', 'F', 0, 1, 'x'} + eof, 1 << 24, {}, "6 bytes follow"},
      {"bytes after the length", src, head + eof + Bytes{0, 0, 5, 0}, 64, {}, "4 bytes follow"},
      {"length beyond the result", src, head + eof + Bytes{0, 0, 9}, 64, {}, "cuts the program to 0x9 bytes"},
      {"record past the bound", src, head + Bytes{0, 0, 7, 0, 2} + B("yz") + eof, 8, {},
       "record at 0x5 writes up to 0x9, past the 0x8 bytes bound"},
      // offset FFFFFF, a run of 0002: the highest offset, past a bound of whole MiB
      {"run past the bound", src, head + Bytes{0xFF, 0xFF, 0xFF, 0, 0, 0, 2, 0} + eof, 16u << 20, {},
       "past the 16 MiB bound"},
  });
}

}  // namespace
