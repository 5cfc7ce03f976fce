#include "support/JobFixture.h"

#include <fstream>

#include "core/common/Common.h"
#include "core/localization/Language.h"

namespace qpt::test {

namespace fs = std::filesystem;

JobFixture::JobFixture() {
  patchDir = app / "patch/My Patch";
  fs::create_directories(patchDir);
  input = app / "input dir/Jeu Ünïcode.cia";  // blanks and letters beyond ASCII reach the tools intact
  WriteFile(input, "image");
  for (const char* tool : {"ctrtool", "3dstool", "makerom", "xdelta"}) PlanTool(tool);
}

void JobFixture::PlanTool(const std::string& tool, const std::string& overrides) {
  std::string plan = overrides;
  if (!plan.empty() && plan.back() != '\n') plan += '\n';
  if (tool == "ctrtool") {
    plan +=
        "when --contents=\nwrite tools/temp/c.0000.00000000 partition\n"
        "when --exefs=\nwrite tools/temp/exefs.bin exefs\n"
        "when --romfs=\nwrite tools/temp/romfs.bin romfs\n";
  } else if (tool == "3dstool") {
    plan +=
        "when -xtf 3ds\nwrite tools/temp/headers/mainncchheader.bin ncsd\nwrite tools/temp/Partition0.bin partition\n"
        // The job writes its fixed arguments in the platform's separator.
        "when " + NativeSeparators("-xtf cxi tools/temp/Partition0.bin --exefs") + "\nwrite tools/temp/exefs.bin exefs\n"
        "when " + NativeSeparators("-xtf cxi tools/temp/Partition0.bin --romfs") + "\nwrite tools/temp/romfs.bin romfs\n"
        "when -xtf romfs\nwrite tools/temp/romfs/pack.dat " + packDat + "\nwrite tools/temp/romfs/pack.inc " +
        packInc + "\nwrite tools/temp/romfs/sound/a.bin sound\n"
        // The job deletes the tree once the image is built; tests read it as the build found it.
        "when -ctf romfs\ncopy tools/temp/romfs tools/temp/packed/romfs\n"
        "when -xvtf cxi\nwrite tools/temp/headers/ncchheader.bin h\nwrite tools/temp/headers/exheader.bin x\n"
        "write tools/temp/headers/logo.bin l\n"
        "when -xutf exefs\nwrite tools/temp/exefs/code.bin code\nwrite tools/temp/headers/exefsheader.bin eh\n"
        "when -xtf exefs\nwrite tools/temp/exefs/code.bin code\nwrite tools/temp/headers/exefsheader.bin eh\n";
    if (!standInImage.empty()) plan += "when -cvtf cxi\ncopyto 3 " + standInImage.string() + "\n";
  } else if (tool == "makerom" && !standInImage.empty()) {
    plan += "copyto 6 " + standInImage.string() + "\n";
  } else if (tool == "xdelta") {
    plan += "when -d -s\nwrite tools/temp/romfs/pack.dat PACKDAT-patched\n";
  }
  WriteFile(app.Tool(tool).string() + ".plan", plan);
}

std::vector<std::vector<std::string>> JobFixture::Calls(const std::string& tool) const {
  std::vector<std::vector<std::string>> calls;
  std::ifstream in(app.Tool(tool).string() + ".calls");
  std::string line;
  while (std::getline(in, line)) {
    if (line == "call") calls.emplace_back();
    if (line.rfind("arg ", 0) == 0 && !calls.empty()) calls.back().push_back(line.substr(4));
  }
  return calls;
}

TInstallSettings JobFixture::Settings(const std::string& outName, const std::string& game) const {
  TInstallSettings s;
  s.folders = app.path();
  s.patchDir = patchDir;
  s.romPath = input;
  s.outPath = app / outName;
  s.game = TGame::FromCode(game);
  s.lang = &lang;
  // The stand-in tools write no real images; tests of the check itself set their own.
  s.checkImage = [this](const fs::path&, const fs::path&) { return imageProblem; };
  return s;
}

std::unique_ptr<TInstall> JobFixture::Create(const std::string& outName, const std::string& game) {
  return CreateInstallJob(PathToUtf8(input.extension()), host, Settings(outName, game));
}

void JobFixture::RunJob(const std::string& outName, const std::string& game) {
  auto job = Create(outName, game);
  job->Execute();
}

}  // namespace qpt::test
