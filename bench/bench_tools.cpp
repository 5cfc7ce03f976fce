// Times every tool call of the install sequence, one process at a time, with the argument
// strings the install job uses, in a program folder of its own: CIA in and CIA out, then 3DS
// in and 3DS out, alternately, a few times. For each call it prints its time, the time `cp`
// takes for the bytes it writes, the time of the SHA-256 passes the call cannot avoid, their
// ratio and the call's peak memory.
#include <unistd.h>

#include <cstdio>
#include <map>
#include <stdexcept>
#include <vector>

#include "Measure.h"
#include "Options.h"
#include "SyntheticGame.h"
#include "ToolSequence.h"
#include "core/common/Common.h"

namespace fs = std::filesystem;
using namespace qpt::bench;

namespace {

struct TCallFigures {
  std::string tool;
  std::uint64_t bytes = 0;
  std::vector<double> time, cp, hash;
  std::int64_t peakKiB = 0;
};

struct TCombo {
  std::string name;
  std::string inputKind;
  fs::path input;
  fs::path output;
  std::vector<std::string> order;  // step keys in call order
  std::map<std::string, TCallFigures> calls;
};

fs::path Resolve(const fs::path& appDir, const std::string& path) {
  const fs::path p = qpt::PathFromUtf8(path);
  return p.is_absolute() ? p : appDir / p;
}

void RunSequence(TCombo& combo, const fs::path& appDir, const TSyntheticGame& game, const fs::path& scratch) {
  const auto items = InstallSequence(combo.inputKind, combo.input, combo.output, game.patchDir, true);
  for (const TSequenceItem& item : items) {
    for (TJobAction action : item.before) DoJobAction(action, appDir, combo.inputKind, game.patchDir);
    // Writeback of what earlier calls wrote would otherwise slow whichever call comes next.
    sync();
    std::string tool(1, '"');
    tool += (appDir / "tools" / (item.tool + qpt::ExecutableSuffix())).string();
    tool += '"';
    const TProcessRun run = RunCommandLine(tool, item.arguments, appDir);
    if (run.exitCode != 0) {
      throw std::runtime_error(item.step + " (" + item.tool + " " + item.arguments + ") failed with " +
                               std::to_string(run.exitCode) + ": " + run.errorText);
    }
    std::vector<fs::path> writes;
    std::uint64_t bytes = 0;
    for (const std::string& w : item.writes) {
      writes.push_back(Resolve(appDir, w));
      bytes += qpt::TreeSize(writes.back());
    }
    sync();
    const double cp = CopyTime(writes, scratch);
    double hash = 0;
    for (const std::string& h : item.hashes) hash += Sha256Time(Resolve(appDir, h));

    if (!combo.calls.count(item.step)) combo.order.push_back(item.step);
    TCallFigures& f = combo.calls[item.step];
    f.tool = item.tool;
    f.bytes = bytes;
    f.time.push_back(run.seconds);
    f.cp.push_back(cp);
    f.hash.push_back(hash);
    f.peakKiB = std::max<std::int64_t>(f.peakKiB, run.maxRssKiB);
  }
  RemoveTree(appDir / "tools" / "temp");
}

void Print(const TCombo& combo) {
  std::printf("\n%s (min / median of %zu runs; ratio = time / (cp + hash), target <= 1.5; peak target < 64 MiB)\n",
              combo.name.c_str(), combo.calls.begin()->second.time.size());
  std::printf("%-24s %-8s %9s %17s %17s %17s %13s %9s  %s\n", "step", "tool", "MiB out", "time s", "cp s", "hash s",
              "ratio", "peak MiB", "verdict");
  for (const std::string& step : combo.order) {
    const TCallFigures& f = combo.calls.at(step);
    const double tMin = Minimum(f.time), tMed = Median(f.time);
    const double cMin = Minimum(f.cp), cMed = Median(f.cp);
    const double hMin = Minimum(f.hash), hMed = Median(f.hash);
    const double rMin = tMin / (cMin + hMin), rMed = tMed / (cMed + hMed);
    const double peak = static_cast<double>(f.peakKiB) * 1024.0;
    const bool small = f.bytes < (1u << 20);
    const bool fast = rMed <= 1.5 || small;
    const bool lean = f.peakKiB < 64 * 1024;
    std::string verdict = fast ? (small ? "ok (small output: process start dominates)" : "ok") : "SLOW";
    // xdelta is the xdelta3 project's program: it decodes as well as writes, and the floor
    // of the whole sequence counts its decode as it is.
    if (f.tool == "xdelta") verdict = "external (not ours; the floor counts its decode)";
    if (!lean) verdict += ", MEMORY";
    std::printf("%-24s %-8s %s %s /%s %s /%s %s /%s %s /%s %s  %s\n", step.c_str(), f.tool.c_str(),
                MiB(static_cast<double>(f.bytes)).c_str(), Seconds(tMin).c_str(), Seconds(tMed).c_str(),
                Seconds(cMin).c_str(), Seconds(cMed).c_str(), Seconds(hMin).c_str(), Seconds(hMed).c_str(),
                Ratio(rMin).c_str(), Ratio(rMed).c_str(), MiB(peak).c_str(), verdict.c_str());
  }
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
    TGameShape shape;
    shape.totalBytes = options.sizeMiB << 20;
    const TSyntheticGame game = BuildSyntheticGame(shape, options.scratch / "game");
    const fs::path appDir = options.scratch / "app";
    MakeProgramFolder(appDir, QPT_TOOLS_DIR);
    fs::create_directories(options.scratch / "out");

    std::vector<TCombo> combos = {
        {"CIA in, CIA out", ".cia", game.cia, options.scratch / "out" / "Bench Out.cia", {}, {}},
        {"3DS in, 3DS out", ".3ds", game.threeDs, options.scratch / "out" / "Bench Out.3ds", {}, {}},
    };
    std::printf("Image: %.1f MiB of RomFS files, pack.dat %.1f MiB, delta %.1f KiB; CIA %.1f MiB, 3DS %.1f MiB\n",
                static_cast<double>(game.romfsFileBytes) / 1048576.0, static_cast<double>(game.packDatBytes) / 1048576.0,
                static_cast<double>(game.deltaBytes) / 1024.0, static_cast<double>(fs::file_size(game.cia)) / 1048576.0,
                static_cast<double>(fs::file_size(game.threeDs)) / 1048576.0);
    for (int run = 0; run < options.runs; ++run) {
      for (TCombo& combo : combos) {
        std::printf("run %d: %s\n", run + 1, combo.name.c_str());
        std::fflush(stdout);
        RunSequence(combo, appDir, game, options.scratch);
        std::error_code ec;
        fs::remove(combo.output, ec);
      }
    }
    for (const TCombo& combo : combos) Print(combo);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s\n", error.what());
    code = 1;
  }
  if (!options.keep) RemoveTree(options.scratch);
  return code;
}
