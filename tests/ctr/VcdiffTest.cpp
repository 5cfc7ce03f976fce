#include "ctr/Vcdiff.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "core/common/Common.h"
#include "support/TempDir.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using qpt::test::ReadFile;
using qpt::test::WriteFile;

Bytes ReadBytesOf(const fs::path& path) {
  const std::string text = ReadFile(path);
  return Bytes(text.begin(), text.end());
}

std::uint32_t Xdelta3(const std::string& arguments) {
  return qpt::RunTool("\"" QPT_XDELTA3 "\"", arguments, fs::path());
}

std::string Q(const fs::path& path) { return "\"" + qpt::PathToUtf8(path) + "\""; }

TEST(Vcdiff, AMovedDeltaMakesTheSameFileFromItsSourceInsideALargerOne) {
  qpt::test::TempDir dir("vcdiff");
  // A translation's changes: bytes changed in place, a run inserted, the end cut off; in many
  // small windows, and in xdelta3's default form.
  const Bytes source = qpt::test::PatternBytes(3'000'000, 7);
  Bytes target(source.begin(), source.begin() + 1'000'000);
  const std::string inserted(20'000, 'T');
  target.insert(target.end(), inserted.begin(), inserted.end());
  target.insert(target.end(), source.begin() + 1'000'000, source.begin() + 2'900'000);
  for (std::size_t i = 17; i < target.size(); i += 65'537) target[i] ^= 0x5A;
  WriteFile(dir / "source.bin", source);
  WriteFile(dir / "target.bin", target);

  // Beyond 4 GiB the positions need all their bits: the container is sparse there.
  const std::uint64_t shifts[] = {0, 12'345, (std::uint64_t{5} << 30) + 7};
  for (const char* options : {"", "-W 65536 -S none"}) {
    ASSERT_EQ(Xdelta3(std::string("-e -f ") + options + " -s " + Q(dir / "source.bin") + " " + Q(dir / "target.bin") + " " +
                      Q(dir / "delta.xdelta")),
              0u);
    for (const std::uint64_t shift : shifts) {
      SCOPED_TRACE(std::string(options) + " at " + std::to_string(shift));
      {
        std::ofstream container(dir / "image.bin", std::ios::binary | std::ios::trunc);
        container << "header";
        container.seekp(static_cast<std::streamoff>(shift));
        container.write(reinterpret_cast<const char*>(source.data()), static_cast<std::streamsize>(source.size()));
        container << "what follows the archive";
      }
      const ctr::Status moved = ctr::ShiftVcdiffSource(dir / "delta.xdelta", dir / "moved.xdelta", shift, source.size());
      ASSERT_TRUE(moved) << moved.message();
      fs::remove(dir / "out.bin");
      ASSERT_EQ(Xdelta3("-d -s " + Q(dir / "image.bin") + " " + Q(dir / "moved.xdelta") + " " + Q(dir / "out.bin")), 0u);
      EXPECT_TRUE(ReadBytesOf(dir / "out.bin") == target);
    }
  }
}

TEST(Vcdiff, OnlyAPlainDeltaThatStaysInsideItsSourceIsMoved) {
  qpt::test::TempDir dir("vcdiff");
  const Bytes header = {0xD6, 0xC3, 0xC4, 0x00, 0x00};
  // A window that copies 10 bytes of the source from position 5, then 3 bytes of encoding.
  const Bytes window = {0x01, 0x0A, 0x05, 0x03, 0xAA, 0xBB, 0xCC};
  const auto join = [](Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  const struct {
    const char* name;
    Bytes delta;
    std::uint64_t sourceSize;
    Bytes expected;  // empty: refused
  } cases[] = {
      {"moved by 300", join(header, window), 15, join(header, {0x01, 0x0A, 0x82, 0x31, 0x03, 0xAA, 0xBB, 0xCC})},
      {"a window from the target keeps its position",
       join(header, {0x02, 0x0A, 0x05, 0x01, 0xEE, 0x05, 0x0A, 0x05, 0x00}),
       15,
       join(header, {0x02, 0x0A, 0x05, 0x01, 0xEE, 0x05, 0x0A, 0x82, 0x31, 0x00})},
      {"the header's compressor, code table and application header are kept",
       {0xD6, 0xC3, 0xC4, 0x00, 0x07, 0x02, 0x01, 0x99, 0x02, 'a', 'b', 0x00, 0x00},
       0,
       {0xD6, 0xC3, 0xC4, 0x00, 0x07, 0x02, 0x01, 0x99, 0x02, 'a', 'b', 0x00, 0x00}},
      {"a window that reads one byte beyond the source", join(header, window), 14, {}},
      {"cut short", join(header, Bytes(window.begin(), window.end() - 1)), 15, {}},
      {"compressed as a whole", join({0x1F, 0x8B, 0x08, 0x00, 0x00}, window), 15, {}},
      {"a header bit the format does not define", join({0xD6, 0xC3, 0xC4, 0x00, 0x08}, window), 15, {}},
      {"a window from both source and target", join(header, {0x03, 0x0A, 0x05, 0x00}), 15, {}},
      {"a number of more than 64 bits",
       join(header, {0x01, 0x81, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x00, 0x05, 0x00}),
       15,
       {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFile(dir / "delta.xdelta", c.delta);
    const ctr::Status moved = ctr::ShiftVcdiffSource(dir / "delta.xdelta", dir / "moved.xdelta", 300, c.sourceSize);
    EXPECT_EQ(static_cast<bool>(moved), !c.expected.empty()) << moved.message();
    if (moved) {
      EXPECT_TRUE(ReadBytesOf(dir / "moved.xdelta") == c.expected);
    } else {
      EXPECT_FALSE(fs::exists(dir / "moved.xdelta"));
    }
    fs::remove(dir / "moved.xdelta");
  }
}

}  // namespace
