// Patches as they are published. Two comparisons, each run alternately --runs times:
//
// 1. Unpacking a zip patch of about 300 MiB (a large file, a few hundred small ones, some of
//    it compressible) with our unpacker (every entry checked first, every file written beside
//    and renamed) and with `bsdtar -xf` of the same file. Target: ours within 1.2x.
// 2. The bench game's patch installed into a CIA by the command-line program, once in the
//    program's own format (a delta over pack.dat, digests) and once as a mod folder that makes
//    the same image (the patched pack.dat whole, the same RomFS files and program). Target: the
//    mod folder within 1.1x of the own format.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>

#include "Measure.h"
#include "Options.h"
#include "SyntheticGame.h"
#include "ToolSequence.h"
#include "core/common/Common.h"
#include "core/patches/PatchArchive.h"
#include "core/rom/RomIdentify.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;
using namespace qpt::bench;

namespace {

// Bytes that deflate packs to about half: a noise byte and its copy, in turn.
void WriteHalfNoise(const fs::path& path, std::uint64_t size, std::uint32_t seed) {
  std::vector<std::uint8_t> block(std::size_t{1} << 20);
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) throw std::runtime_error("cannot write " + path.string());
  std::uint32_t state = seed * 2654435761u + 1;
  for (std::uint64_t done = 0; done < size;) {
    for (std::size_t i = 0; i < block.size(); i += 2) {
      state = state * 1664525u + 1013904223u;
      block[i] = block[i + 1] = static_cast<std::uint8_t>(state >> 24);
    }
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(block.size(), size - done));
    std::fwrite(block.data(), 1, n, file);
    done += n;
  }
  std::fclose(file);
}

void Summary(const char* what, const std::vector<double>& ours, const std::vector<double>& theirs, const char* target) {
  std::printf("%s\n  ours:   min %s  median %s\n  theirs: min %s  median %s\n  ratio of medians %s (target %s)\n", what,
              Seconds(Minimum(ours)).c_str(), Seconds(Median(ours)).c_str(), Seconds(Minimum(theirs)).c_str(),
              Seconds(Median(theirs)).c_str(), Ratio(Median(ours) / Median(theirs)).c_str(), target);
}

void CompareUnpacking(const TBenchOptions& options) {
  const fs::path folder = options.scratch / "zip";
  const fs::path tree = folder / "tree" / "Bench Translation";
  fs::create_directories(tree / "romfs" / "text");
  WriteHalfNoise(tree / "romfs" / "pack.dat", 200ull << 20, 1);
  for (int i = 0; i < 400; ++i) {
    WriteHalfNoise(tree / "romfs" / "text" / ("scene" + std::to_string(i) + ".bin"), 256 << 10, 100 + i);
  }
  const fs::path zip = folder / "Bench Translation.zip";
  const double packStart = Now();
  if (const auto refusal = qpt::PackFolderAsZip(folder / "tree", zip)) throw std::runtime_error("packing: " + refusal->detail);
  std::printf("Zip patch: %.1f MiB of files in %.1f MiB, packed in %s\n",
              static_cast<double>(qpt::TreeSize(folder / "tree")) / 1048576.0,
              static_cast<double>(fs::file_size(zip)) / 1048576.0, Seconds(Now() - packStart).c_str());
  RemoveTree(folder / "tree");
  std::vector<double> ours, theirs;
  for (int run = 0; run < options.runs; ++run) {
    const fs::path out = folder / "out";
    RemoveTree(out);
    sync();
    const double start = Now();
    if (const auto refusal = qpt::UnpackArchive(zip, out)) throw std::runtime_error("unpacking: " + refusal->key);
    ours.push_back(Now() - start);
    RemoveTree(out);
    fs::create_directories(out);
    sync();
    const TProcessRun bsdtar = RunMeasured("bsdtar", {"-xf", zip.string(), "-C", out.string()}, fs::path());
    if (bsdtar.exitCode != 0) throw std::runtime_error("bsdtar failed (install libarchive-tools): " + bsdtar.errorText);
    theirs.push_back(bsdtar.seconds);
    std::printf("run %d: ours %s, bsdtar %s\n", run + 1, Seconds(ours.back()).c_str(), Seconds(theirs.back()).c_str());
    RemoveTree(out);
  }
  Summary("Unpacking the zip patch (ours: UnpackArchive; theirs: bsdtar -xf)", ours, theirs, "at most 1.2");
  RemoveTree(folder);
}

void CopyTree(const fs::path& from, const fs::path& to) {
  fs::create_directories(to);
  fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::overwrite_existing);
}

void CompareInstalls(const TBenchOptions& options) {
  TGameShape shape;
  shape.totalBytes = options.sizeMiB << 20;
  shape.threeDs = false;
  const TSyntheticGame game = BuildSyntheticGame(shape, options.scratch / "game");
  const qpt::TRomIdentity id = qpt::IdentifyRom(game.cia);
  // The command line lists a patch only for the regions its descriptor names; the bench game's
  // says "Region Free", which the window's run takes as it is but the list does not.
  for (const char* name : {"English.dsc", "Русский.dsc"}) {
    const fs::path dsc = game.patchDir / qpt::PathFromUtf8(name);
    std::string text;
    qpt::ReadSmallFile(dsc, text);
    const std::size_t at = text.find("Region=\"Region Free\"");
    if (at != std::string::npos) text.replace(at, 20, std::string("Region=") + qpt::RegionCode(id.regionIndex));
    qpt::test::WriteFile(dsc, text);
  }
  char titleId[17];
  std::snprintf(titleId, sizeof titleId, "%016llX", static_cast<unsigned long long>(id.programId));

  // The same changes as a mod folder: the delta applied, the other files as they are.
  const fs::path mod = options.scratch / "mod-patch" / "Bench Translation";
  const fs::path title = mod / titleId;
  CopyTree(game.patchDir / "romfs", title / "romfs");
  const fs::path romfs = game.packDat.parent_path();
  const TProcessRun decode = RunMeasured(
      "xdelta3", {"-d", "-f", "-s", game.packDat.string(), (game.patchDir / "patch.xdelta").string(),
                  (title / "romfs" / fs::relative(game.packDat, romfs)).string()}, fs::path());
  if (decode.exitCode != 0) throw std::runtime_error("xdelta3 failed: " + decode.errorText);
  fs::copy_file(game.patchDir / "exefs" / "code.bin", title / "code.bin");
  std::printf("Mod-folder patch: %.1f MiB; the own format's: %.1f MiB\n",
              static_cast<double>(qpt::TreeSize(mod)) / 1048576.0,
              static_cast<double>(qpt::TreeSize(game.patchDir)) / 1048576.0);

  // The command line installs only patches in its patch folder: a program folder of the bench's
  // own holds both forms there, with the built program, its language files and our tools.
  const fs::path appDir = options.scratch / "app";
  MakeProgramFolder(appDir, QPT_TOOLS_DIR);
  const fs::path built = QPT_CLI_PROGRAM;
  const fs::path cli = appDir / built.filename();
  fs::copy_file(built, cli);
  CopyTree(built.parent_path() / "lang", appDir / "lang");
  CopyTree(game.patchDir, appDir / "patch" / "Own Form");
  fs::rename(mod, appDir / "patch" / "Mod Form");
  const fs::path out = options.scratch / "out";
  fs::create_directories(out);
  const auto install = [&](const char* patch, const char* name) {
    const fs::path image = out / name;
    sync();
    const TProcessRun run = RunMeasured(
        cli.string(), {"install", game.cia.string(), "--out", image.string(), "--patch", patch, "--no-receipt", "--replace"},
        fs::path());
    if (run.exitCode != 0) throw std::runtime_error(std::string(name) + ": the install failed: " + run.errorText);
    const std::string problem = CheckInstalledImage(game, image);
    if (!problem.empty()) throw std::runtime_error(std::string(name) + ": " + problem);
    fs::remove(image);
    return run.seconds;
  };
  std::vector<double> modTimes, ownTimes;
  for (int run = 0; run < options.runs; ++run) {
    ownTimes.push_back(install("Own Form", "own.cia"));
    modTimes.push_back(install("Mod Form", "mod.cia"));
    std::printf("run %d: own format %s, mod folder %s\n", run + 1, Seconds(ownTimes.back()).c_str(),
                Seconds(modTimes.back()).c_str());
  }
  Summary("Installing into a CIA (ours: the mod folder; theirs: the same patch in the own format)", modTimes, ownTimes,
          "at most 1.1");
}

}  // namespace

int main(int argc, char** argv) {
  TBenchOptions options;
  try {
    options = ParseBenchOptions(argc, argv, false);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s\n", error.what());
    return 1;
  }
  int code = 0;
  try {
    fs::create_directories(options.scratch);
    CompareUnpacking(options);
    CompareInstalls(options);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "bench_patches: %s\n", error.what());
    code = 1;
  }
  if (!options.keep) RemoveTree(options.scratch);
  return code;
}
