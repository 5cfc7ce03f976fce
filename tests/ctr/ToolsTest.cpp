// The real tool programs, run the way the install job runs them: through RunTool, with the
// program folder as working folder and the exact argument strings of the job's steps.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#ifndef _WIN32
#include <sys/wait.h>
#endif

#include "core/common/Common.h"
#include "ctr/Verify.h"
#include "support/ImageBuilder.h"
#include "support/ImageFiles.h"
#include "support/TempDir.h"

namespace {

namespace fs = std::filesystem;
using qpt::test::Bytes;
using qpt::test::ReadBytes;
using qpt::test::TempDir;
using qpt::test::VectorPath;

// A program folder with the work folder layout of an install run.
class ProgramFolder {
 public:
  ProgramFolder() { fs::create_directories(dir_.path() / "tools" / "temp" / "headers"); }

  const fs::path& path() const { return dir_.path(); }
  fs::path Temp(const std::string& relative) const { return dir_.path() / "tools" / "temp" / relative; }

  // Runs tools/<tool> with an argument string written as on Windows; separators become the
  // platform's, as the job's fixed strings do. Quoted user paths are appended by the caller.
  std::uint32_t Run(const std::string& tool, const std::string& arguments) const {
    const std::string program = "\"" + std::string(QPT_APP_DIR) + "/tools/" + tool + qpt::ExecutableSuffix() + "\"";
    return qpt::RunTool(program, arguments, dir_.path());
  }

 private:
  TempDir dir_;
};

std::string Fixed(const std::string& windowsStyle) { return qpt::NativeSeparators(windowsStyle); }
std::string Quoted(const fs::path& p) { return "\"" + qpt::PathToUtf8(p) + "\""; }

// The extraction steps for each input kind, then the rebuild steps, exactly as the job runs
// them. Returns the exit codes in order.
std::vector<std::uint32_t> ExtractCia(const ProgramFolder& app, const fs::path& input) {
  return {
      app.Run("ctrtool", Fixed("--contents=tools\\temp\\c ") + Quoted(input)),
      app.Run("ctrtool", Fixed("-p --exefs=tools\\temp\\exefs.bin tools\\temp\\c.0000.00000000")),
      app.Run("ctrtool", Fixed("-p --romfs=tools\\temp\\romfs.bin tools\\temp\\c.0000.00000000")),
      app.Run("3dstool", Fixed("-xtf romfs tools\\temp\\romfs.bin --romfs-dir tools\\temp\\romfs")),
      app.Run("3dstool", Fixed("-xvtf cxi tools\\temp\\c.0000.00000000 --header tools\\temp\\headers\\ncchheader.bin "
                               "--exh tools\\temp\\headers\\exheader.bin --logo tools\\temp\\headers\\logo.bin")),
  };
}

std::vector<std::uint32_t> Extract3ds(const ProgramFolder& app, const fs::path& input) {
  return {
      app.Run("3dstool", Fixed("-xtf 3ds ") + Quoted(input) +
                             Fixed(" --header tools\\temp\\headers\\mainncchheader.bin -0 tools\\temp\\Partition0.bin")),
      app.Run("3dstool", Fixed("-xtf cxi tools\\temp\\Partition0.bin --exefs tools\\temp\\exefs.bin")),
      app.Run("3dstool", Fixed("-xtf cxi tools\\temp\\Partition0.bin --romfs tools\\temp\\romfs.bin")),
      app.Run("3dstool", Fixed("-xtf romfs tools\\temp\\romfs.bin --romfs-dir tools\\temp\\romfs")),
      app.Run("3dstool", Fixed("-xvtf cxi tools\\temp\\Partition0.bin --header tools\\temp\\headers\\ncchheader.bin "
                               "--exh tools\\temp\\headers\\exheader.bin --logo tools\\temp\\headers\\logo.bin")),
  };
}

std::vector<std::uint32_t> ExtractCxi(const ProgramFolder& app, const fs::path& input) {
  return {
      app.Run("ctrtool", Fixed("-p --exefs=tools\\temp\\exefs.bin ") + Quoted(input)),
      app.Run("ctrtool", Fixed("-p --romfs=tools\\temp\\romfs.bin ") + Quoted(input)),
      app.Run("3dstool", Fixed("-xtf romfs tools\\temp\\romfs.bin --romfs-dir tools\\temp\\romfs")),
      app.Run("3dstool", Fixed("-xvtf cxi ") + Quoted(input) +
                             Fixed(" --header tools\\temp\\headers\\ncchheader.bin --exh tools\\temp\\headers\\exheader.bin "
                                   "--logo tools\\temp\\headers\\logo.bin")),
  };
}

// ExtractExeFSHeaders with its retry without decompression, as the job does it.
std::uint32_t ExtractExeFsHeaders(const ProgramFolder& app) {
  const std::uint32_t first = app.Run("3dstool", Fixed("-xutf exefs tools\\temp\\exefs.bin --exefs-dir tools\\temp\\exefs "
                                                       "--header tools\\temp\\headers\\exefsheader.bin"));
  if (first != 1) return first;
  return app.Run("3dstool", Fixed("-xtf exefs tools\\temp\\exefs.bin --exefs-dir tools\\temp\\exefs "
                                  "--header tools\\temp\\headers\\exefsheader.bin"));
}

const char kCxiParts[] =
    " --header tools\\temp\\headers\\ncchheader.bin --exh tools\\temp\\headers\\exheader.bin --exefs tools\\temp\\exefs.bin"
    " --romfs tools\\temp\\romfs.bin --logo tools\\temp\\headers\\logo.bin";

std::vector<std::uint32_t> RebuildParts(const ProgramFolder& app) {
  return {
      app.Run("3dstool", Fixed("-cztf exefs tools\\temp\\exefs.bin --exefs-dir tools\\temp\\exefs "
                               "--header tools\\temp\\headers\\exefsheader.bin")),
      app.Run("3dstool", Fixed("-ctf romfs tools\\temp\\romfs.bin --romfs-dir tools\\temp\\romfs")),
  };
}

std::uint32_t RebuildCxiForContainer(const ProgramFolder& app) {
  return app.Run("3dstool", Fixed(std::string("-cvtf cxi tools\\temp\\Partition0.cxi") + kCxiParts));
}

std::uint32_t RebuildCia(const ProgramFolder& app, const fs::path& out) {
  return app.Run("makerom", Fixed("-f Cia -content tools\\temp\\Partition0.cxi:0:0x00 -o ") + Quoted(out));
}

std::uint32_t Rebuild3ds(const ProgramFolder& app, const fs::path& out) {
  return app.Run("3dstool", Fixed("-ctf 3ds ") + Quoted(out) +
                                Fixed(" --header tools\\temp\\headers\\mainncchheader.bin -0 tools\\temp\\Partition0.cxi"));
}

std::uint32_t RebuildCxi(const ProgramFolder& app, const fs::path& out) {
  return app.Run("3dstool", Fixed("-cvtf cxi ") + Quoted(out) + Fixed(kCxiParts));
}

using Codes = std::vector<std::uint32_t>;

void ExpectAllZero(const Codes& codes, const char* what) {
  for (std::size_t i = 0; i < codes.size(); ++i) EXPECT_EQ(codes[i], 0u) << what << " call " << i;
}

TEST(ToolCalls, CiaTakenApartAndRebuiltUnchangedIsByteIdentical) {
  ProgramFolder app;
  TempDir images;
  qpt::test::ImageBuilder builder(images.path());
  qpt::test::ImageRecipe recipe;
  recipe.programId = 0x0004000000055D00;
  recipe.romfs = {{"a.bin", qpt::test::PatternBytes(0x1234, 1)}, {"sound/voice.bcsar", qpt::test::PatternBytes(0x3001, 2)}};
  builder.BuildCia(recipe, images / "game.cia");

  ExpectAllZero(ExtractCia(app, images / "game.cia"), "extract");
  EXPECT_EQ(ExtractExeFsHeaders(app), 0u);
  EXPECT_EQ(ReadBytes(app.Temp("romfs/sound/voice.bcsar")), recipe.romfs["sound/voice.bcsar"]);
  EXPECT_EQ(ReadBytes(app.Temp("exefs/code.bin")), qpt::test::ImageBuilder::Code());
  EXPECT_EQ(fs::file_size(app.Temp("headers/exheader.bin")), 0x800u);
  EXPECT_EQ(fs::file_size(app.Temp("headers/exefsheader.bin")), 0x200u);

  ExpectAllZero(RebuildParts(app), "rebuild parts");
  EXPECT_EQ(RebuildCxiForContainer(app), 0u);
  EXPECT_EQ(RebuildCia(app, images / "out game.cia"), 0u);
  EXPECT_EQ(ReadBytes(images / "out game.cia"), ReadBytes(images / "game.cia"));
}

TEST(ToolCalls, CardImageTakenApartAndRebuiltGivesThePaddedReferenceImage) {
  ProgramFolder app;
  ExpectAllZero(Extract3ds(app, VectorPath("ncsd/out.3ds")), "extract");
  EXPECT_EQ(ReadBytes(app.Temp("Partition0.bin")), ReadBytes(VectorPath("cxi/out.cxi")));
  EXPECT_EQ(ReadBytes(app.Temp("exefs.bin")), ReadBytes(VectorPath("exefs/exefs.bin")));
  EXPECT_EQ(ReadBytes(app.Temp("romfs.bin")), ReadBytes(VectorPath("romfs/romfs.bin")));
  EXPECT_EQ(ReadBytes(app.Temp("headers/logo.bin")), ReadBytes(VectorPath("cxi/logo.bin")));
  EXPECT_EQ(ExtractExeFsHeaders(app), 0u);
  ExpectAllZero(RebuildParts(app), "rebuild parts");
  EXPECT_EQ(RebuildCxiForContainer(app), 0u);
  EXPECT_EQ(ReadBytes(app.Temp("Partition0.cxi")), ReadBytes(VectorPath("cxi/out.cxi")));
  TempDir out;
  EXPECT_EQ(Rebuild3ds(app, out / "game.3ds"), 0u);
  EXPECT_EQ(qpt::test::FileSha256(out / "game.3ds"), "4af0b721563fad56c24e21f9cec9024f6e0bc0027fa13c4309af9b5362640b82");
}

TEST(ToolCalls, CxiTakenApartAndRebuiltUnchangedIsByteIdentical) {
  ProgramFolder app;
  ExpectAllZero(ExtractCxi(app, VectorPath("cxi/out.cxi")), "extract");
  EXPECT_EQ(ExtractExeFsHeaders(app), 0u);
  ExpectAllZero(RebuildParts(app), "rebuild parts");
  TempDir out;
  EXPECT_EQ(RebuildCxi(app, out / "game.cxi"), 0u);
  EXPECT_EQ(ReadBytes(out / "game.cxi"), ReadBytes(VectorPath("cxi/out.cxi")));
  // The same parts as a CIA: content 0 is that CXI.
  EXPECT_EQ(RebuildCxiForContainer(app), 0u);
  EXPECT_EQ(RebuildCia(app, out / "game.cia"), 0u);
  EXPECT_TRUE(ctr::VerifyImage(out / "game.cia").ok());
}

TEST(ToolCalls, ChangedFilesRebuildIntoImagesThatVerify) {
  ProgramFolder app;
  TempDir images;
  qpt::test::ImageBuilder builder(images.path());
  qpt::test::ImageRecipe recipe;
  recipe.programId = 0x000400000008C500;
  recipe.romfs = {{"pack.dat", qpt::test::PatternBytes(0x5000, 3)}, {"z/last.txt", Bytes{'z'}}};
  builder.BuildCia(recipe, images / "game.cia");
  ExpectAllZero(ExtractCia(app, images / "game.cia"), "extract");
  EXPECT_EQ(ExtractExeFsHeaders(app), 0u);

  // A patch: a longer archive, a new file, a new program image.
  qpt::test::WriteBytes(app.Temp("romfs/pack.dat"), qpt::test::PatternBytes(0x12345, 4));
  qpt::test::WriteBytes(app.Temp("romfs/new/extra.bin"), qpt::test::PatternBytes(77, 5));
  Bytes code = qpt::test::ImageBuilder::Code();
  code.resize(code.size() + 0x400, 0x11);
  qpt::test::WriteBytes(app.Temp("exefs/code.bin"), code);

  ExpectAllZero(RebuildParts(app), "rebuild parts");
  EXPECT_EQ(RebuildCxiForContainer(app), 0u);
  TempDir out;
  EXPECT_EQ(RebuildCia(app, out / "new.cia"), 0u);
  // A CIA brings no card header; a card image output takes one made for the title.
  qpt::test::WriteBytes(app.Temp("headers/mainncchheader.bin"), qpt::test::ImageBuilder::NcsdHeader(recipe));
  EXPECT_EQ(Rebuild3ds(app, out / "new.3ds"), 0u);
  EXPECT_EQ(RebuildCxi(app, out / "new.cxi"), 0u);
  for (const char* name : {"new.cia", "new.3ds", "new.cxi"}) {
    auto report = ctr::VerifyImageReport(out / name);
    ASSERT_TRUE(report.ok()) << report.message();
    EXPECT_TRUE(report->ok()) << name << ": " << report->FirstProblem();
  }

  // The patched files come back out of the new image.
  ProgramFolder again;
  ExpectAllZero(ExtractCia(again, out / "new.cia"), "extract new");
  EXPECT_EQ(ExtractExeFsHeaders(again), 0u);
  EXPECT_EQ(ReadBytes(again.Temp("romfs/pack.dat")), qpt::test::PatternBytes(0x12345, 4));
  EXPECT_EQ(ReadBytes(again.Temp("romfs/new/extra.bin")), qpt::test::PatternBytes(77, 5));
  EXPECT_EQ(ReadBytes(again.Temp("exefs/code.bin")), code);
}

TEST(ToolCalls, ImageWithoutLogoRoundTripsButAMissingRomFsIsRefused) {
  ProgramFolder app;
  TempDir images;
  qpt::test::ImageBuilder builder(images.path());
  qpt::test::ImageRecipe recipe;
  recipe.withLogo = false;
  builder.BuildCia(recipe, images / "bare.cia");
  const Codes codes = ExtractCia(app, images / "bare.cia");
  ExpectAllZero(codes, "extract");
  EXPECT_FALSE(fs::exists(app.Temp("headers/logo.bin")));
  EXPECT_EQ(ExtractExeFsHeaders(app), 0u);
  EXPECT_EQ(app.Run("3dstool", Fixed("-cztf exefs tools\\temp\\exefs.bin --exefs-dir tools\\temp\\exefs "
                                     "--header tools\\temp\\headers\\exefsheader.bin")),
            0u);
  EXPECT_EQ(RebuildCxiForContainer(app), 0u);
  TempDir out;
  EXPECT_EQ(RebuildCia(app, out / "bare.cia"), 0u);
  EXPECT_EQ(ReadBytes(out / "bare.cia"), ReadBytes(images / "bare.cia"));

  // Every other input names a file an earlier step wrote; one missing means that step failed,
  // and an image built without it would not load.
  for (const char* part : {"romfs.bin", "exefs.bin", "headers/exheader.bin", "headers/ncchheader.bin"}) {
    SCOPED_TRACE(part);
    const fs::path kept = app.Temp(std::string(part) + ".kept");
    fs::rename(app.Temp(part), kept);
    fs::remove(app.Temp("Partition0.cxi"));
    EXPECT_EQ(RebuildCxiForContainer(app), 1u);
    EXPECT_FALSE(fs::exists(app.Temp("Partition0.cxi")));
    fs::rename(kept, app.Temp(part));
  }
}

TEST(ToolCalls, PlainCodeFailsTheDecompressingExtractionAndPassesTheRetry) {
  ProgramFolder app;
  TempDir images;
  qpt::test::ImageBuilder builder(images.path());
  qpt::test::ImageRecipe recipe;
  recipe.compressCode = false;
  builder.BuildCxi(recipe, images / "plain.cxi");
  ExpectAllZero(ExtractCxi(app, images / "plain.cxi"), "extract");
  EXPECT_EQ(app.Run("3dstool", Fixed("-xutf exefs tools\\temp\\exefs.bin --exefs-dir tools\\temp\\exefs "
                                     "--header tools\\temp\\headers\\exefsheader.bin")),
            1u);
  EXPECT_EQ(ExtractExeFsHeaders(app), 0u);
  EXPECT_EQ(ReadBytes(app.Temp("exefs/code.bin")), qpt::test::ImageBuilder::Code());
}

TEST(ToolCalls, FailuresExitWithOneAndLeaveNoOutput) {
  ProgramFolder app;
  TempDir out;
  qpt::test::WriteFile(out / "keep.cia", std::string("old image"));
  // Nothing extracted yet: every rebuild lacks its inputs.
  EXPECT_EQ(RebuildCxiForContainer(app), 1u);
  EXPECT_EQ(RebuildCia(app, out / "keep.cia"), 1u);
  EXPECT_EQ(Rebuild3ds(app, out / "new.3ds"), 1u);
  EXPECT_EQ(qpt::test::ReadFile(out / "keep.cia"), "old image");
  EXPECT_FALSE(fs::exists(out / "new.3ds"));
  EXPECT_FALSE(fs::exists(app.Temp("Partition0.cxi")));
  EXPECT_EQ(app.Run("ctrtool", "--bogus"), 1u);
  EXPECT_EQ(app.Run("3dstool", ""), 1u);
  EXPECT_EQ(app.Run("makerom", "--help"), 0u);
}

}  // namespace

namespace {

// Writes bytes at offset of a file, leaving a hole before them (sparse where the file system
// allows, so images beyond 4 GiB cost almost nothing).
void WriteAt(const fs::path& path, std::uint64_t offset, const Bytes& bytes) {
  if (!fs::exists(path)) std::ofstream(path, std::ios::binary).close();
  std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
  ASSERT_TRUE(f.is_open());
  f.seekp(static_cast<std::streamoff>(offset));
  f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(f.good());
}

TEST(ToolCalls, RegionsBeyondFourGiBAreFoundAndCopied) {
  // out.cxi with its RomFS moved 4 GiB further out; the card image holds that CXI.
  TempDir dir;
  const Bytes cxi = ReadBytes(VectorPath("cxi/out.cxi"));
  const Bytes romfs = ReadBytes(VectorPath("romfs/romfs.bin"));
  const std::uint64_t romfsOffset = (std::uint64_t{1} << 32) + 0x29000;
  Bytes head(cxi.begin(), cxi.begin() + 0x29000);
  qpt::test::PutLE32(head, 0x1B0, static_cast<std::uint32_t>(romfsOffset / 0x200));
  qpt::test::PutLE32(head, 0x104, static_cast<std::uint32_t>((romfsOffset + romfs.size()) / 0x200));
  WriteAt(dir / "big.cxi", 0, head);
  WriteAt(dir / "big.cxi", romfsOffset, romfs);

  Bytes card = ReadBytes(VectorPath("ncsd/out.3ds"));
  card.resize(0x4000);
  qpt::test::PutLE32(card, 0x124, static_cast<std::uint32_t>((romfsOffset + romfs.size()) / 0x200));
  qpt::test::PutLE32(card, 0x104, static_cast<std::uint32_t>((0x4000 + romfsOffset + romfs.size()) / 0x200));
  std::copy(head.begin() + 0x100, head.begin() + 0x200, card.begin() + 0x1100);
  WriteAt(dir / "big.3ds", 0, card);
  WriteAt(dir / "big.3ds", 0x4000, head);
  WriteAt(dir / "big.3ds", 0x4000 + romfsOffset, romfs);

  ProgramFolder app;
  EXPECT_EQ(app.Run("ctrtool", Fixed("-p --romfs=tools\\temp\\romfs.bin ") + Quoted(dir / "big.cxi")), 0u);
  EXPECT_EQ(ReadBytes(app.Temp("romfs.bin")), romfs);
  EXPECT_EQ(app.Run("ctrtool", Fixed("-p --romfs=tools\\temp\\card-romfs.bin ") + Quoted(dir / "big.3ds")), 0u);
  EXPECT_EQ(ReadBytes(app.Temp("card-romfs.bin")), romfs);
  EXPECT_EQ(app.Run("3dstool", Fixed("-xtf cxi ") + Quoted(dir / "big.cxi") + Fixed(" --romfs tools\\temp\\r2.bin")), 0u);
  EXPECT_EQ(ReadBytes(app.Temp("r2.bin")), romfs);
  for (const char* name : {"big.cxi", "big.3ds"}) {
    const ctr::Status s = ctr::VerifyImage(dir / name);
    EXPECT_TRUE(s.ok()) << name << ": " << s.message();
  }
}

}  // namespace

#ifndef _WIN32
namespace {

TEST(ToolCalls, AnInterruptedToolLeavesNoTemporaryFile) {
  // A long copy (a partition with a large hole at its end), stopped by SIGTERM part-way.
  TempDir dir;
  qpt::test::WriteBytes(dir / "p0.cxi", ReadBytes(VectorPath("cxi/out.cxi")));
  fs::resize_file(dir / "p0.cxi", std::uint64_t{3} << 30);
  fs::create_directories(dir / "out");
  const std::string command = "timeout -s TERM 0.3 \"" + std::string(QPT_APP_DIR) + "/tools/3dstool\" -ctf 3ds \"" +
                              (dir / "out" / "game.3ds").string() + "\" --header \"" +
                              VectorPath("ncsd/ncsdheader.bin").string() + "\" -0 \"" + (dir / "p0.cxi").string() + "\"";
  const int status = std::system(command.c_str());
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 124) << "the copy finished before the interrupt; make the partition larger";
  EXPECT_TRUE(fs::is_empty(dir / "out"));
}

}  // namespace
#else
TEST(ToolCalls, AnInterruptedToolLeavesNoTemporaryFile) {
  GTEST_SKIP() << "POSIX only: Windows sends no terminate signal to a console tool; a tool is ended by its "
                  "job object without running any handler, and its temporary file goes with the work folder";
}
#endif
