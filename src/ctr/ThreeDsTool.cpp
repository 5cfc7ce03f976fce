#include <filesystem>
#include <utility>

#include "ctr/CommandLine.h"
#include "ctr/Commands.h"
#include "ctr/ExeFs.h"
#include "ctr/Ncch.h"
#include "ctr/Ncsd.h"
#include "ctr/RomFs.h"

namespace ctr {

namespace {

using namespace command_line;

// The "-t cxi" check of the original tool: an NCCH with executable form type.
Status OpenCxi(FileReader& file, const std::string& path) {
  Status s = OpenReader(file, path);
  if (!s) return s;
  auto ncch = ReadNcch(file);
  if (!ncch) return ncch.status();
  if (!ncch->isCxi()) return Status::Error(file.name() + " is not a CXI (not an executable NCCH)");
  return Status::Ok();
}

// The logo, the one optional input of the CXI build: an image without a logo region gives no
// logo file on extraction, and the rebuild goes on without one. Every other named input must
// exist: a missing RomFS image means a step before failed, not that the game has none.
fs::path OptionalInput(const std::string& path) {
  std::error_code ec;
  const fs::path p = PathArg(path);
  return fs::exists(p, ec) ? p : fs::path();
}

constexpr const char k3dstoolHelp[] =
    "3dstool (Quill Patch Tool) - takes apart and builds decrypted 3DS images\n"
    "usage:\n"
    "  3dstool -xtf 3ds IMAGE --header FILE -0 FILE\n"
    "  3dstool -xtf cxi NCCH --exefs FILE\n"
    "  3dstool -xtf cxi NCCH --romfs FILE\n"
    "  3dstool -xvtf cxi NCCH --header FILE --exh FILE --logo FILE\n"
    "  3dstool -xtf romfs FILE --romfs-dir DIR\n"
    "  3dstool -xutf exefs FILE --exefs-dir DIR --header FILE\n"
    "  3dstool -xtf exefs FILE --exefs-dir DIR --header FILE\n"
    "  3dstool -cztf exefs FILE --exefs-dir DIR --header FILE\n"
    "  3dstool -ctf romfs FILE --romfs-dir DIR\n"
    "  3dstool -cvtf cxi FILE --header FILE --exh FILE --exefs FILE --romfs FILE --logo FILE\n"
    "  3dstool -ctf 3ds FILE --header FILE -0 FILE\n"
    "Images are written plain (NoCrypto); encrypted input is refused.\n"
    "-cvtf cxi needs every file it names except the --logo file, which may be missing\n"
    "(an image without a logo region gives none on extraction).\n";

}  // namespace

int Run3dstool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  constexpr const char* kTool = "3dstool";
  return Guarded(err, kTool, [&]() -> int {
    if (Match(args, {"--help"})) {
      out << k3dstoolHelp;
      return 0;
    }
    if (auto v = Match(args, {"-xtf", "3ds", "{}", "--header", "{}", "-0", "{}"})) {
      FileReader image;
      Status s = OpenReader(image, (*v)[0]);
      if (s) s = ExtractNcsd(image, PathArg((*v)[1]), PathArg((*v)[2]));
      return Finish(err, kTool, s);
    }
    for (const auto& [option, section] : {std::pair{"--exefs", NcchSection::ExeFs}, std::pair{"--romfs", NcchSection::RomFs}}) {
      if (auto v = Match(args, {"-xtf", "cxi", "{}", option, "{}"})) {
        FileReader ncch;
        Status s = OpenCxi(ncch, (*v)[0]);
        if (s) s = ExtractNcchSection(ncch, section, PathArg((*v)[1]));
        return Finish(err, kTool, s);
      }
    }
    if (auto v = Match(args, {"-xvtf", "cxi", "{}", "--header", "{}", "--exh", "{}", "--logo", "{}"})) {
      FileReader ncch;
      Status s = OpenCxi(ncch, (*v)[0]);
      if (s) s = ExtractNcchHeaders(ncch, {PathArg((*v)[1]), PathArg((*v)[2]), PathArg((*v)[3])});
      return Finish(err, kTool, s);
    }
    if (auto v = Match(args, {"-xtf", "romfs", "{}", "--romfs-dir", "{}"})) {
      return Finish(err, kTool, ExtractRomFs(PathArg((*v)[0]), PathArg((*v)[1])));
    }
    for (const auto& [action, decompress] : {std::pair{"-xutf", true}, std::pair{"-xtf", false}}) {
      if (auto v = Match(args, {action, "exefs", "{}", "--exefs-dir", "{}", "--header", "{}"})) {
        return Finish(err, kTool, ExtractExeFs(PathArg((*v)[0]), PathArg((*v)[1]), PathArg((*v)[2]), decompress));
      }
    }
    if (auto v = Match(args, {"-cztf", "exefs", "{}", "--exefs-dir", "{}", "--header", "{}"})) {
      return Finish(err, kTool, BuildExeFs(PathArg((*v)[1]), PathArg((*v)[2]), PathArg((*v)[0]), true));
    }
    if (auto v = Match(args, {"-ctf", "romfs", "{}", "--romfs-dir", "{}"})) {
      return Finish(err, kTool, BuildRomFs(PathArg((*v)[1]), PathArg((*v)[0])));
    }
    if (auto v = Match(args, {"-cvtf", "cxi", "{}", "--header", "{}", "--exh", "{}", "--exefs", "{}", "--romfs", "{}",
                              "--logo", "{}"})) {
      for (std::size_t i = 1; i <= 4; ++i) {
        std::error_code ec;
        if (!fs::is_regular_file(PathArg((*v)[i]), ec)) {
          return Finish(err, kTool, Status::Error("cannot open " + (*v)[i] + ": no such file"));
        }
      }
      CxiParts parts{PathArg((*v)[1]), PathArg((*v)[2]), PathArg((*v)[3]), PathArg((*v)[4]), OptionalInput((*v)[5])};
      return Finish(err, kTool, BuildCxi(parts, PathArg((*v)[0])));
    }
    if (auto v = Match(args, {"-ctf", "3ds", "{}", "--header", "{}", "-0", "{}"})) {
      return Finish(err, kTool, BuildNcsd(PathArg((*v)[1]), PathArg((*v)[2]), PathArg((*v)[0]), true));
    }
    return Refuse(err, kTool);
  });
}

}  // namespace ctr
