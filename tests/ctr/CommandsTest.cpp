// The tools' command lines in-process: what is accepted, what is refused, and how every
// accepted call behaves on damaged input (exit 1, one line, no output file).
#include "ctr/Commands.h"

#include <gtest/gtest.h>

#include <sstream>

#include "core/common/Common.h"
#include "support/ImageFiles.h"
#include "support/TempDir.h"

namespace ctr {
namespace {

using qpt::test::Bytes;
using qpt::test::ReadBytes;
using qpt::test::TempDir;
using qpt::test::VectorPath;
using Args = std::vector<std::string>;

struct Outcome {
  int code = -1;
  std::string out;
  std::string err;
};

Outcome Call(ToolFunction tool, const Args& args) {
  std::ostringstream out, err;
  Outcome o;
  o.code = tool(args, out, err);
  o.out = out.str();
  o.err = err.str();
  return o;
}

std::string Text(const std::filesystem::path& p) { return qpt::PathToUtf8(p); }

// Number of files anywhere below a folder.
std::size_t FileCount(const std::filesystem::path& folder) {
  std::size_t count = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) count += entry.is_regular_file();
  return count;
}

void ExpectRefusal(const Outcome& o, const std::string& what) {
  EXPECT_EQ(o.code, 1) << what;
  ASSERT_FALSE(o.err.empty()) << what;
  EXPECT_EQ(o.err.find('\n'), o.err.size() - 1) << what << ": " << o.err;
}

TEST(ToolCommandLines, HelpIsAcceptedByEveryTool) {
  for (ToolFunction tool : {RunCtrtool, Run3dstool, RunMakerom}) {
    const Outcome o = Call(tool, {"--help"});
    EXPECT_EQ(o.code, 0);
    EXPECT_NE(o.out.find("usage"), std::string::npos);
    EXPECT_TRUE(o.err.empty());
  }
}

TEST(ToolCommandLines, AnythingButTheFixedCallsIsRefusedWithOneLine) {
  const std::pair<ToolFunction, Args> calls[] = {
      {RunCtrtool, {}},
      {RunCtrtool, {"--contents=c"}},
      {RunCtrtool, {"--contents=", "x.cia"}},
      {RunCtrtool, {"--exefs=e.bin", "x.cxi"}},  // without -p
      {RunCtrtool, {"-p", "--exefs=e.bin", "x.cxi", "extra"}},
      {RunCtrtool, {"-p", "--exefsdir=e", "x.cxi"}},
      {RunCtrtool, {"-p", "--romfs=r.bin", ""}},
      {RunCtrtool, {"-x", "--romfs=r.bin", "x.cxi"}},
      {Run3dstool, {}},
      {Run3dstool, {"-xtf", "3ds", "x.3ds", "--header", "h.bin"}},
      {Run3dstool, {"-xtf", "cci", "x.3ds", "--header", "h.bin", "-0", "p.bin"}},
      {Run3dstool, {"-xtf", "cxi", "x.cxi", "--logo", "l.bin"}},
      {Run3dstool, {"-xvtf", "cxi", "x.cxi", "--exh", "x.bin", "--header", "h.bin", "--logo", "l.bin"}},
      {Run3dstool, {"-xtf", "romfs", "r.bin", "--romfs-dir"}},
      {Run3dstool, {"-xuvtf", "exefs", "e.bin", "--exefs-dir", "e", "--header", "h.bin"}},
      {Run3dstool, {"-ctf", "exefs", "e.bin", "--exefs-dir", "e", "--header", "h.bin"}},
      {Run3dstool, {"-cvtf", "cxi", "o.cxi", "--header", "h", "--exh", "x", "--exefs", "e", "--romfs", "r"}},
      {Run3dstool, {"-ctf", "3ds", "o.3ds", "--header", "h.bin", "-1", "p.bin"}},
      {Run3dstool, {"-ctf", "3ds", "o.3ds", "--header", "h.bin", "-0", "p.bin", "--not-pad"}},
      {RunMakerom, {}},
      {RunMakerom, {"-f", "cxi", "-content", "a.cxi:0:0", "-o", "o.cia"}},
      {RunMakerom, {"-f", "Cia", "-content", "a.cxi", "-o", "o.cia"}},
      {RunMakerom, {"-f", "Cia", "-content", "a.cxi:0", "-o", "o.cia"}},
      {RunMakerom, {"-f", "Cia", "-content", "a.cxi:0:zz", "-o", "o.cia"}},
      {RunMakerom, {"-f", "Cia", "-content", "a.cxi:0x10000:0", "-o", "o.cia"}},
      {RunMakerom, {"-f", "Cia", "-content", "a.cxi:1:0", "-o", "o.cia"}},
      {RunMakerom, {"-f", "Cia", "-i", "a.cxi:0:0", "-o", "o.cia"}},
      {RunMakerom, {"-f", "Cia", "-content", "a.cxi:0:0x00", "-o", "o.cia", "-ignoresign"}},
  };
  TempDir dir;
  const auto previous = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  for (const auto& [tool, args] : calls) {
    std::string line;
    for (const auto& a : args) line += a + " ";
    ExpectRefusal(Call(tool, args), line);
  }
  EXPECT_EQ(FileCount(dir.path()), 0u);
  std::filesystem::current_path(previous);
}

TEST(ToolCommandLines, ContentArgumentKeepsDriveLettersAndReadsCNumbers) {
  TempDir dir;
  // A Windows-style path with a drive colon: split at the second-to-last colon, so the file
  // looked for is "C:\x\a.cxi" (absent here) and the failure names it.
  const Outcome o = Call(RunMakerom, {"-f", "Cia", "-content", "C:\\x\\a.cxi:0:0x00", "-o", Text(dir / "o.cia")});
  ExpectRefusal(o, "drive letter");
  EXPECT_NE(o.err.find("C:\\x\\a.cxi"), std::string::npos) << o.err;
  const Outcome built =
      Call(RunMakerom, {"-f", "cia", "-content", Text(VectorPath("cxi/out.cxi")) + ":0:0x1f", "-o", Text(dir / "o.cia")});
  ASSERT_EQ(built.code, 0) << built.err;
  const Bytes cia = ReadBytes(dir / "o.cia");
  EXPECT_EQ(cia[0x2DC0 + 0xB04 + 3], 0x1F);  // content ID 0x1f
}

// Every extraction of a truncated image fails, leaves nothing, and never crashes.
TEST(ToolHostileInput, TruncatedImagesFailCleanlyAtEveryLength) {
  TempDir dir;
  const Bytes cxi = ReadBytes(VectorPath("cxi/out.cxi"));
  const Bytes cia = ReadBytes(VectorPath("cia/out.cia"));
  const Bytes card = ReadBytes(VectorPath("ncsd/out.3ds"));
  const auto in = Text(dir / "in.img");
  const auto out = dir / "out";
  std::filesystem::create_directories(out);
  const auto o = [&](const char* name) { return Text(out / name); };

  auto lengths = [](std::size_t size) {
    std::vector<std::size_t> result = {0, 1, 3, 4, 0xFF, 0x103, 0x1FF, 0x200, 0x5FF, 0x9FF, 0xA00, 0x2020, 0x2A3F, 0x3FFF, 0x4000, 0x41FF};
    for (std::size_t n = 0x800; n < size; n += 0xE00) result.push_back(n);
    for (std::size_t n : {size - 0x200, size - 0x10, size - 1}) result.push_back(n);
    std::erase_if(result, [size](std::size_t n) { return n >= size; });
    return result;
  };

  const std::pair<const Bytes*, std::vector<std::pair<ToolFunction, Args>>> kinds[] = {
      {&cxi,
       {{RunCtrtool, {"-p", "--exefs=" + o("e.bin"), in}},
        {RunCtrtool, {"-p", "--romfs=" + o("r.bin"), in}},
        {Run3dstool, {"-xtf", "cxi", in, "--exefs", o("e.bin")}},
        {Run3dstool, {"-xtf", "cxi", in, "--romfs", o("r.bin")}},
        {Run3dstool, {"-xvtf", "cxi", in, "--header", o("h.bin"), "--exh", o("x.bin"), "--logo", o("l.bin")}},
        {RunMakerom, {"-f", "Cia", "-content", in + ":0:0x00", "-o", o("o.cia")}}}},
      {&cia,
       {{RunCtrtool, {"--contents=" + o("c"), in}},
        {RunCtrtool, {"-p", "--exefs=" + o("e.bin"), in}},
        {RunCtrtool, {"-p", "--romfs=" + o("r.bin"), in}}}},
      {&card,
       {{Run3dstool, {"-xtf", "3ds", in, "--header", o("h.bin"), "-0", o("p.bin")}},
        {RunCtrtool, {"-p", "--romfs=" + o("r.bin"), in}}}},
  };
  for (const auto& [image, calls] : kinds) {
    for (std::size_t length : lengths(image->size())) {
      qpt::test::WriteBytes(dir / "in.img", Bytes(image->begin(), image->begin() + static_cast<std::ptrdiff_t>(length)));
      for (const auto& [tool, args] : calls) {
        const Outcome result = Call(tool, args);
        EXPECT_EQ(result.code, 1) << args[0] << " " << args[1] << " at length " << length;
        EXPECT_EQ(FileCount(out), 0u) << args[0] << " " << args[1] << " at length " << length;
      }
    }
  }
}

TEST(ToolHostileInput, WrongKindsAndEncryptedImagesAreRefused) {
  TempDir dir;
  Bytes encrypted = ReadBytes(VectorPath("cxi/out.cxi"));
  encrypted[0x18F] = 0x01;
  qpt::test::WriteBytes(dir / "enc.cxi", encrypted);
  Bytes cfa = ReadBytes(VectorPath("cxi/out.cxi"));
  cfa[0x18D] = 0x01;  // form type 1: data, not executable
  qpt::test::WriteBytes(dir / "cfa.cxi", cfa);
  const auto out = dir / "out";
  std::filesystem::create_directories(out);
  const auto o = [&](const char* name) { return Text(out / name); };
  const std::string card = Text(VectorPath("ncsd/out.3ds")), cxi = Text(VectorPath("cxi/out.cxi"));

  const std::pair<ToolFunction, Args> calls[] = {
      {RunCtrtool, {"-p", "--exefs=" + o("e.bin"), Text(dir / "enc.cxi")}},
      {RunCtrtool, {"--contents=" + o("c"), cxi}},  // not a CIA
      {RunCtrtool, {"-p", "--romfs=" + o("r.bin"), Text(dir / "missing.cxi")}},
      {Run3dstool, {"-xtf", "cxi", card, "--exefs", o("e.bin")}},  // a card image is no NCCH
      {Run3dstool, {"-xtf", "cxi", Text(dir / "cfa.cxi"), "--romfs", o("r.bin")}},
      {Run3dstool, {"-xvtf", "cxi", Text(dir / "enc.cxi"), "--header", o("h"), "--exh", o("x"), "--logo", o("l")}},
      {Run3dstool, {"-xtf", "3ds", cxi, "--header", o("h.bin"), "-0", o("p.bin")}},
      {Run3dstool, {"-ctf", "3ds", o("o.3ds"), "--header", Text(VectorPath("ncsd/ncsdheader.bin")), "-0", Text(dir / "enc.cxi")}},
      {RunMakerom, {"-f", "Cia", "-content", Text(dir / "enc.cxi") + ":0:0x00", "-o", o("o.cia")}},
  };
  for (const auto& [tool, args] : calls) ExpectRefusal(Call(tool, args), args[0] + " " + args[1]);
  EXPECT_EQ(FileCount(out), 0u);
}

}  // namespace
}  // namespace ctr
