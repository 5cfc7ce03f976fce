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

// A BPS patch: body (from BPS1 to the last action), then the CRC-32 of source and target, then
// the CRC-32 of everything before it.
Bytes Bps(const Bytes& body, const Bytes& source, const Bytes& target) {
  Bytes patch = body;
  const auto put = [&patch](std::uint32_t crc) {
    for (int i = 0; i < 4; ++i) patch.push_back(static_cast<std::uint8_t>(crc >> (8 * i)));
  };
  put(ctr::Crc32(source));
  put(ctr::Crc32(target));
  put(ctr::Crc32(patch));
  return patch;
}

TEST(Bps, AppliesEveryActionAndRefusesWhatDoesNotFit) {
  const Bytes src = B("ABCDEFGH");
  // Header: source size 8, target size 8, no metadata. SourceRead 4 (n = 3<<2|0), TargetRead 2
  // (n = 1<<2|1) "xy", SourceRead 2 (n = 1<<2|0): the program's bytes at 6.
  const Bytes readBody = B("BPS1") + Bytes{0x88, 0x88, 0x80, 0x8C, 0x85, 'x', 'y', 0x84};
  const Bytes read = Bps(readBody, src, B("ABCDxyGH"));
  // Target size 5. SourceCopy 2 (n = 1<<2|2) forwards 6 (d = 6<<1): "GH"; SourceCopy 2 back 4
  // (d = 4<<1|1) from 8: "EF"; SourceCopy 1 (n = 2) back 6 (d = 6<<1|1) from 6: "A".
  const Bytes copy = Bps(B("BPS1") + Bytes{0x88, 0x85, 0x80, 0x86, 0x8C, 0x86, 0x89, 0x82, 0x8D}, src, B("GHEFA"));
  // No source, target size 6, metadata "hi". TargetRead 2 "ab", TargetCopy 4 (n = 3<<2|3) from
  // 0 (d = 0): reads what it writes, so "ab" repeats.
  const Bytes run = Bps(B("BPS1") + Bytes{0x80, 0x86, 0x82, 'h', 'i', 0x85, 'a', 'b', 0x8F, 0x80}, {}, B("ababab"));
  // Source size 200 in two bytes (72 + 128), target size 200 (0x48 0x80), SourceRead 200:
  // n = 199<<2 = 796 = 28 + 128 + 5*128 (0x1C 0x85).
  const Bytes wide(200, 0x5A);
  const Bytes twoByte = Bps(B("BPS1") + Bytes{0x48, 0x80, 0x48, 0x80, 0x80, 0x1C, 0x85}, wide, wide);
  // The writer makes exactly these two of their bytes.
  EXPECT_EQ(ctr::MakeBps(src, B("ABCDxyGH")), read);
  EXPECT_EQ(ctr::MakeBps(wide, wide), twoByte);

  Bytes damaged = read;
  damaged[9] = 'X';  // the TargetRead's data
  // SourceRead 6 (n = 5<<2) of a 4-byte program.
  const Bytes outside = Bps(B("BPS1") + Bytes{0x84, 0x86, 0x80, 0x94}, B("ABCD"), B("ABCDEF"));

  RunCases(ctr::ApplyBps, {
      {"SourceRead and TargetRead", src, read, 8, B("ABCDxyGH"), ""},
      {"SourceCopy backwards", src, copy, 8, B("GHEFA"), ""},
      {"TargetCopy run", {}, run, 8, B("ababab"), ""},
      {"numbers of two bytes", wide, twoByte, 200, wide, ""},
      {"not a BPS", src, B("BPS2") + Bytes(16, 0), 8, {}, "does not start with BPS1"},
      {"too short", src, B("BPS1") + Bytes(11, 0), 8, {}, "too short"},
      {"wrong patch CRC", src, damaged, 8, {}, "damaged: its CRC-32 is "},
      {"wrong source size", B("ABCDEFG"), read, 8, {}, "the program has 0x7 bytes, the patch was made for one of 0x8"},
      {"wrong target CRC", src, Bps(readBody, src, B("ABCDxyGX")), 8, {}, "the result's CRC-32 is "},
      {"target size above the bound", src, read, 7, {}, "makes 0x8 bytes, past the 0x7 bytes bound"},
      {"SourceRead outside the program", B("ABCD"), outside, 8, {}, "action at 0x7 reads past the end of the program"},
      // SourceCopy 1 back 1 (d = 1<<1|1) from 0.
      {"SourceCopy before the start", src, Bps(B("BPS1") + Bytes{0x88, 0x81, 0x80, 0x82, 0x83}, src, B("A")), 8, {},
       "reads outside the program"},
      // SourceCopy 2 forwards 7 (d = 7<<1): reads 7 and 8.
      {"SourceCopy past the end", src, Bps(B("BPS1") + Bytes{0x88, 0x82, 0x80, 0x86, 0x8E}, src, B("HX")), 8, {},
       "reads outside the program"},
      // TargetCopy 1 (n = 3) before anything is written.
      {"TargetCopy of nothing", src, Bps(B("BPS1") + Bytes{0x88, 0x81, 0x80, 0x83, 0x80}, src, B("A")), 8, {},
       "copies from outside what is written"},
      // Target size 1, SourceRead 2 (n = 1<<2).
      {"writes past the target size", src, Bps(B("BPS1") + Bytes{0x88, 0x81, 0x80, 0x84}, src, B("AB")), 8, {},
       "writes past the declared size of 0x1 bytes"},
      {"makes less than the target size", src, Bps(B("BPS1") + Bytes{0x88, 0x83, 0x80, 0x84}, src, B("AB")), 8, {},
       "it makes 0x2 bytes, it declares 0x3"},
      // TargetRead 2 with one byte before the checksums.
      {"TargetRead cut short", src, Bps(B("BPS1") + Bytes{0x88, 0x82, 0x80, 0x85, 'x'}, src, B("xy")), 8, {},
       "action at 0x7 is cut short"},
      // A source size whose tenth byte still does not end it: its value passes 64 bits.
      {"number too large", src, Bps(B("BPS1") + Bytes(10, 0x00) + Bytes{0x80, 0x88, 0x80}, src, src), 8, {},
       "header is cut short or out of range"},
      {"metadata past the end", src, Bps(B("BPS1") + Bytes{0x88, 0x88, 0x85, 'a'}, src, src), 8, {},
       "header is cut short or out of range"},
  });
}

TEST(Bps, AMadePatchGivesTheTargetBackAndCarriesOnlyTheChanges) {
  const Bytes src = B("ABCDEFGH");
  // A program of 1000 bytes with 300 changed in its middle: numbers of more than one byte.
  Bytes large(1000), changed;
  for (std::size_t i = 0; i < large.size(); ++i) large[i] = static_cast<std::uint8_t>(i * 7);
  changed = large;
  for (std::size_t i = 350; i < 650; ++i) changed[i] ^= 0xA5;
  // A program with five bytes put in near its start: what follows them has moved.
  Bytes program(3000), grown;
  std::uint32_t x = 0x11223344;
  for (std::uint8_t& byte : program) {
    x = x * 1103515245u + 12345u;
    byte = static_cast<std::uint8_t>(x >> 24);
  }
  grown = program;
  grown.insert(grown.begin() + 100, {1, 2, 3, 4, 5});
  const struct {
    const char* name;
    Bytes source, target;
    std::size_t carried;  // target bytes the patch may hold
  } cases[] = {
      {"unchanged", src, src, 0},
      {"changed inside", src, B("ABxDEyyH"), 3},
      {"grown", src, B("ABCDEFGHIJ"), 2},
      {"shrunk", src, B("ABCzE"), 1},
      {"from nothing", {}, B("abc"), 3},
      {"to nothing", src, {}, 0},
      {"large", large, changed, 300},
      {"moved", program, grown, 5},
      {"moved back", grown, program, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes patch = ctr::MakeBps(c.source, c.target);
    auto result = ctr::ApplyBps(c.source, patch, c.target.size());
    ASSERT_TRUE(result.ok()) << result.message();
    EXPECT_EQ(*result, c.target);
    // Magic, three sizes of at most two bytes, the carried bytes, at most eight bytes of actions
    // and three checksums.
    EXPECT_LE(patch.size(), 4 + 6 + c.carried + 8 + 12);
  }
}

TEST(Bps, ChecksTheProgramsCrcBeforeTheActions) {
  // The actions read outside the program too; the CRC is what must be reported.
  const Bytes patch = Bps(B("BPS1") + Bytes{0x84, 0x86, 0x80, 0x94}, B("ABCE"), B("ABCDEF"));
  auto result = ctr::ApplyBps(B("ABCD"), patch, 8);
  ASSERT_FALSE(result.ok());
  char expected[80];
  std::snprintf(expected, sizeof(expected), "code.bps: the program's CRC-32 is %08X, the patch was made for %08X",
                ctr::Crc32(B("ABCD")), ctr::Crc32(B("ABCE")));
  EXPECT_EQ(result.message(), expected);
}

}  // namespace
