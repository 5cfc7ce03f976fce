#include "ctr/Commands.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <iostream>
#include <optional>

#include "ctr/Cia.h"
#include "ctr/CommandLine.h"
#include "ctr/Image.h"
#include "ctr/Ncch.h"
#include "ctr/Platform.h"


namespace ctr {

namespace fs = std::filesystem;

namespace {

using namespace command_line;

// Opens the main NCCH of an image of any kind as a window, for the region extractions.
Status ExtractMainNcchSection(const std::string& image, NcchSection section, const std::string& out) {
  FileReader file;
  Status s = OpenReader(file, image);
  if (!s) return s;
  auto range = LocateMainNcch(file);
  if (!range) return range.status();
  WindowReader ncch(file, range->offset, range->size);
  return ExtractNcchSection(ncch, section, PathArg(out));
}

// "PATH:INDEX:ID", split at the second-to-last colon so that drive letters survive; numbers
// in C notation (0x.. hex, 0.. octal, else decimal).
bool ParseContentArg(const std::string& arg, std::string& path, std::uint16_t& index, std::uint32_t& id) {
  const std::size_t last = arg.rfind(':');
  if (last == std::string::npos || last == 0) return false;
  const std::size_t middle = arg.rfind(':', last - 1);
  if (middle == std::string::npos || middle == 0) return false;
  auto number = [](const std::string& text, unsigned long long limit, unsigned long long& value) {
    if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtoull(text.c_str(), &end, 0);
    return errno == 0 && end == text.c_str() + text.size() && value <= limit;
  };
  unsigned long long indexValue = 0, idValue = 0;
  if (!number(arg.substr(middle + 1, last - middle - 1), 0xFFFF, indexValue) ||
      !number(arg.substr(last + 1), 0xFFFFFFFF, idValue)) {
    return false;
  }
  path = arg.substr(0, middle);
  index = static_cast<std::uint16_t>(indexValue);
  id = static_cast<std::uint32_t>(idValue);
  return true;
}

bool EqualsIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

constexpr const char kCtrtoolHelp[] =
    "ctrtool (Quill Patch Tool) - extracts decrypted CIA and NCCH images\n"
    "usage:\n"
    "  ctrtool --contents=PREFIX CIA       write each content as PREFIX.IIII.CCCCCCCC\n"
    "  ctrtool -p --exefs=FILE IMAGE       write the ExeFS region of the main NCCH\n"
    "  ctrtool -p --romfs=FILE IMAGE       write the RomFS region of the main NCCH\n"
    "IMAGE may be an NCCH, a CIA (content 0) or a card image (partition 0).\n";

constexpr const char kMakeromHelp[] =
    "makerom (Quill Patch Tool) - builds a CIA from a decrypted CXI\n"
    "usage:\n"
    "  makerom -f Cia -content CXI:0:ID -o CIA\n";

}  // namespace

int RunCtrtool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  constexpr const char* kTool = "ctrtool";
  return Guarded(err, kTool, [&]() -> int {
    if (Match(args, {"--help"})) {
      out << kCtrtoolHelp;
      return 0;
    }
    if (args.size() == 2) {
      if (auto prefix = AfterPrefix(args[0], "--contents=")) {
        if (args[1].empty()) return Refuse(err, kTool);
        FileReader file;
        Status s = OpenReader(file, args[1]);
        if (s) s = ExtractCiaContents(file, PathArg(*prefix));
        return Finish(err, kTool, s);
      }
    }
    if (args.size() == 3 && args[0] == "-p" && !args[2].empty()) {
      if (auto exefs = AfterPrefix(args[1], "--exefs=")) {
        return Finish(err, kTool, ExtractMainNcchSection(args[2], NcchSection::ExeFs, *exefs));
      }
      if (auto romfs = AfterPrefix(args[1], "--romfs=")) {
        return Finish(err, kTool, ExtractMainNcchSection(args[2], NcchSection::RomFs, *romfs));
      }
    }
    return Refuse(err, kTool);
  });
}

int RunMakerom(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  constexpr const char* kTool = "makerom";
  return Guarded(err, kTool, [&]() -> int {
    if (Match(args, {"--help"})) {
      out << kMakeromHelp;
      return 0;
    }
    auto v = Match(args, {"-f", "{}", "-content", "{}", "-o", "{}"});
    if (!v || !EqualsIgnoringCase((*v)[0], "cia")) return Refuse(err, kTool);
    std::string cxi;
    std::uint16_t index = 0;
    std::uint32_t id = 0;
    if (!ParseContentArg((*v)[1], cxi, index, id)) {
      return Fail(err, kTool, "bad -content value (expected PATH:INDEX:ID): " + (*v)[1]);
    }
    return Finish(err, kTool, BuildCia(PathArg(cxi), index, id, PathArg((*v)[2])));
  });
}

int ToolMain(int argc, char** argv, ToolFunction run) {
  // An interrupted tool (the player cancels the install) must not leave temporary files
  // beside the images it was writing.
  platform::RemoveTemporariesOnInterrupt();
  return run(platform::ToolArguments(argc, argv), std::cout, std::cerr);
}

}  // namespace ctr
