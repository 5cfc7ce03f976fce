// Times whole installations with the real install job and our real tools: CIA in and CIA
// out, then 3DS in and 3DS out, alternately, a few times, on a synthetic image of about
// 1 GiB with a patch whose delta changes pack.dat in a few hundred places. Each run prints
// its total time, the time of every step (from the step's log line to its "Done"), the ratio
// to `cp` of the input image, the floor of the sequence measured in the same session, the
// ratio to it, peak memory, and whether the output verifies. With --large the image holds a
// further multi-GiB file, so that it exceeds 4 GiB.
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <stdexcept>
#include <vector>

#include "Measure.h"
#include "Options.h"
#include "SyntheticGame.h"
#include "ToolSequence.h"
#include "core/rom/Game.h"
#include "core/common/Common.h"
#include "core/install/Install.h"
#include "core/install/Receipt.h"
#include "core/install/ToolProgress.h"
#include "core/rom/RomIdentify.h"

namespace fs = std::filesystem;
using namespace qpt::bench;

namespace {

// What a run reports back from its own process (shared memory, so plain data only).
struct TStepRecord {
  char label[64];
  double seconds;
  double busyCores;  // how many cores the machine kept busy meanwhile
  double readMiB, writtenMiB;  // what the machine read from and wrote to its disks meanwhile
  long toolPeakKiB;  // largest tool so far (ru_maxrss of the reaped children)
};
struct TRunRecord {
  int steps;
  TStepRecord step[96];
  double seconds;      // from Execute to the end of the run
  double successSeconds;  // from Execute to the success line, where the player's clock stops
  long selfPeakKiB;    // the job's own process
  int succeeded;
  char lastLine[256];
};

long ChildrenPeakKiB() {
  rusage usage{};
  getrusage(RUSAGE_CHILDREN, &usage);
  return usage.ru_maxrss;
}

// The window stand-in: stamps every log line; the end of the run moves the work folder aside
// (instantly) so that its removal, which the window does, is timed apart from the run.
class BenchHost : public qpt::TInstallHost {
 public:
  BenchHost(TRunRecord& record, fs::path appDir, fs::path keptWork)
      : record_(record), appDir_(std::move(appDir)), keptWork_(std::move(keptWork)) {}

  void Begin() { lines_.push_back({"(start)", Now(), ChildrenPeakKiB(), MachineCounters()}); }
  void LogAppend(const std::string& line) override {
    std::string text = line;
    // Line breaks inside a line become blanks, so that every entry is one label.
    for (char& ch : text) {
      if (ch == '\r' || ch == '\n') ch = ' ';
    }
    while (!text.empty() && text.front() == ' ') text.erase(text.begin());
    lines_.push_back({text, Now(), ChildrenPeakKiB(), MachineCounters()});
  }
  void LogReplaceLast(const std::string&) override {}
  void SetProgress(int) override {}
  void SetLanguageBoxEnabled(bool) override {}
  int VoiceIndex() override { return 0; }
  void ThreadCancel(qpt::TInstall*) override {
    lines_.push_back({"(end of run)", Now(), ChildrenPeakKiB(), MachineCounters()});
    std::error_code ec;
    fs::rename(appDir_ / "tools" / "temp", keptWork_, ec);
  }

  // Turns the stamped lines into steps: a line followed by "Done" (or "MD5Matched") is a
  // step from one to the other; the time between a step's end and the next line is work the
  // job does itself, named after what follows it.
  void Finish() {
    record_.steps = 0;
    for (std::size_t i = 1; i < lines_.size() && record_.steps < 96; ++i) {
      const Line& a = lines_[i - 1];
      const Line& b = lines_[i];
      const bool ends = b.text == "Done" || b.text == "MD5Matched";
      std::string label = ends ? a.text : "  (job) before " + b.text.substr(0, 40);
      TStepRecord& s = record_.step[record_.steps++];
      std::snprintf(s.label, sizeof s.label, "%s", label.c_str());
      s.seconds = b.time - a.time;
      s.busyCores = BusyCores(a.counters, b.counters);
      s.readMiB = static_cast<double>(b.counters.readKiB - a.counters.readKiB) / 1024.0;
      s.writtenMiB = static_cast<double>(b.counters.writtenKiB - a.counters.writtenKiB) / 1024.0;
      s.toolPeakKiB = b.childPeak;
    }
    record_.seconds = lines_.back().time - lines_.front().time;
    record_.succeeded = false;
    for (const Line& l : lines_) {
      if (l.text.rfind("PatchingSuccessful", 0) == 0 || l.text.rfind("ModFolderSuccessful", 0) == 0) {
        record_.succeeded = true;
        record_.successSeconds = l.time - lines_.front().time;
      }
    }
    const std::string& last = lines_[lines_.size() > 1 ? lines_.size() - 2 : 0].text;
    std::snprintf(record_.lastLine, sizeof record_.lastLine, "%s", last.c_str());
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    record_.selfPeakKiB = usage.ru_maxrss;
  }

 private:
  struct Line {
    std::string text;
    double time;
    long childPeak;
    TMachineCounters counters;
  };
  TRunRecord& record_;
  fs::path appDir_, keptWork_;
  std::vector<Line> lines_;
};

struct TCombo {
  std::string name;
  std::string inputKind;
  fs::path input;
  fs::path output;        // as a user would choose it
  bool receipt = true;    // with the receipt (and its hashing) that the window writes
  bool mods = false;      // a mod folder in output instead of an image
  // Per run:
  std::vector<double> total, cpInput, floor, ratioInput, ratioFloor, toSuccess, removal;
  std::vector<std::string> order;
  std::map<std::string, std::vector<double>> steps;
  std::map<std::string, std::vector<double>> stepCores, stepRead, stepWritten;
  std::map<std::string, std::vector<double>> floorParts;
  std::vector<std::string> floorOrder;
  long jobPeakKiB = 0, toolPeakKiB = 0, treePeakKiB = 0;
  std::vector<double> workPeakRatio;  // peak disk space of a run / the bytes it wrote
  std::uint64_t workPeakBytes = 0;
  std::vector<std::string> checks;
};

// One installation in its own process, so that its peak memory (and that of its tools) is
// its own and not that of earlier runs.
TRunRecord RunInstall(const TCombo& combo, const TSyntheticGame& game, const fs::path& appDir, const fs::path& keptWork,
                      long& treePeakKiB, std::uint64_t& workPeakBytes) {
  void* shared = mmap(nullptr, sizeof(TRunRecord), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (shared == MAP_FAILED) throw std::runtime_error("no shared memory");
  auto* record = new (shared) TRunRecord{};
  std::fflush(stdout);
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    int code = 0;
    try {
      BenchHost host(*record, appDir, keptWork);
      qpt::TInstallSettings settings;
      settings.folders = appDir;
      settings.patchDir = game.patchDir;
      settings.romPath = combo.input;
      settings.outPath = combo.output;
      settings.game = qpt::TGame::FromCode(game.game);
      settings.originalPackDatMD5 = game.packDatMd5;
      settings.originalPackIncMD5 = game.packIncMd5;
      // As the window runs it: a receipt beside the new image, the input hashed meanwhile.
      const qpt::TLangList keysOnly;
      settings.lang = &keysOnly;
      settings.writeReceipt = combo.receipt;
      settings.modFolder = combo.mods;
      settings.replaceModFolder = combo.mods;
      auto job = qpt::CreateInstallJob(combo.inputKind, host, settings);
      host.Begin();
      job->Execute();
      host.Finish();
    } catch (const std::exception& error) {
      std::snprintf(record->lastLine, sizeof record->lastLine, "%s", error.what());
      code = 1;
    }
    _exit(code);
  }
  int status = 0;
  rusage usage{};
  // Meanwhile the disk space the run takes: its work folder and what it has written to the
  // output folder so far (a mod folder's staging folder included), sampled every 20 ms.
  const fs::path outputFolder = combo.mods ? combo.output : combo.output.parent_path();
  const std::uint64_t outputBefore = qpt::TreeSize(outputFolder);
  workPeakBytes = 0;
  for (;;) {
    const pid_t ended = wait4(pid, &status, WNOHANG, &usage);
    if (ended == pid) break;
    if (ended < 0 && errno != EINTR) throw std::runtime_error("waiting for the run failed");
    const std::uint64_t output = qpt::TreeSize(outputFolder);
    workPeakBytes = std::max(workPeakBytes, qpt::TreeSize(appDir / "tools" / "temp") +
                                                (output > outputBefore ? output - outputBefore : 0));
    usleep(20000);
  }
  treePeakKiB = usage.ru_maxrss;
  TRunRecord result = *record;
  munmap(shared, sizeof(TRunRecord));
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) throw std::runtime_error(std::string("the run failed: ") + result.lastLine);
  return result;
}

// xdelta3's decode of the bench patch alone, the part of every floor that the delta costs.
double XdeltaDecodeTime(const TSyntheticGame& game, const fs::path& scratch) {
  const fs::path decoded = scratch / "decoded.dat";
  const TProcessRun decode = RunMeasured(
      "xdelta3", {"-d", "-f", "-s", game.packDat.string(), (game.patchDir / "patch.xdelta").string(), decoded.string()},
      fs::path());
  if (decode.exitCode != 0) throw std::runtime_error("xdelta3 decode failed: " + decode.errorText);
  fs::remove(decoded);
  return decode.seconds;
}

// The faster of two timings of a write. On a virtual machine that hands freed memory back to
// its host, the first GiB written after a pause pays seconds of kernel time for memory the host
// must give again, which no step of ours can avoid or cause.
template <typename Timed>
double FasterOfTwo(Timed timed) {
  const double first = timed();
  return std::min(first, timed());
}

// The job deletes each large work file as soon as no later step reads it, so the floor's files
// are taken out of the output image again, by the job's own extraction calls in the program
// folder (not timed). The partition they extract is the rebuilt CXI, their ExeFS and RomFS
// images are the rebuilt ones, and their tree and small files are what the rebuild read.
// Returns the partition's path.
fs::path RecreateWorkFiles(const fs::path& image, const fs::path& appDir) {
  const std::string kind = image.extension().string();
  for (const TSequenceItem& item : InstallSequence(kind, image, image, fs::path(), false)) {
    if (item.step.rfind("Extracting", 0) != 0 && item.step != "UnpackingRomFS") break;
    for (TJobAction action : item.before) DoJobAction(action, appDir, kind, fs::path());
    const std::string tool = "\"" + (appDir / "tools" / item.tool).string() + "\"";
    const TProcessRun run = RunCommandLine(tool, item.arguments, appDir);
    if (run.exitCode != 0) throw std::runtime_error(item.step + " failed for the floor: " + run.errorText);
  }
  return appDir / "tools" / "temp" / (kind == ".cia" ? "c.0000.00000000" : "Partition0.bin");
}

// The floor of design section 7 for one run, on that run's files as RecreateWorkFiles gives
// them again (cxi is the partition it returns): cp of the partition, the RomFS image, the
// unpacked tree, the rebuilt RomFS image, the CXI and the output image (the extracted
// partition and RomFS image have the size of the rebuilt ones), one MD5 pass over pack.dat,
// the delta's decode alone, SHA-256 over the RomFS image and over the CXI, and SHA-256 over
// the output image, which the job's check of the new image costs.
std::vector<std::pair<std::string, double>> MeasureFloor(const TSyntheticGame& game, const fs::path& cxi,
                                                         const fs::path& image, const fs::path& scratch) {
  std::vector<std::pair<std::string, double>> parts;
  const fs::path work = cxi.parent_path();
  const fs::path romfsBin = work / "romfs.bin";
  const auto cp = [&](const std::vector<fs::path>& paths) { return FasterOfTwo([&] { return CopyTime(paths, scratch); }); };
  parts.push_back({"cp partition", cp({cxi})});
  parts.push_back({"cp RomFS image", cp({romfsBin})});
  parts.push_back({"cp unpacked tree", cp({work / "romfs"})});
  parts.push_back({"cp small files", cp({work / "exefs", work / "exefs.bin", work / "headers"})});
  parts.push_back({"cp rebuilt RomFS", cp({romfsBin})});
  parts.push_back({"cp CXI", cp({cxi})});
  parts.push_back({"cp output image", cp({image})});
  parts.push_back({"MD5 pack.dat", Md5Time(game.packDat)});
  parts.push_back({"xdelta3 decode", FasterOfTwo([&] { return XdeltaDecodeTime(game, scratch); })});
  parts.push_back({"SHA-256 RomFS", Sha256Time(romfsBin)});
  parts.push_back({"SHA-256 CXI", Sha256Time(cxi)});
  // The check of the new image before the success line reads the whole image once.
  parts.push_back({"SHA-256 output image (its check)", Sha256Time(image)});
  return parts;
}

// The floor of a mod-folder run: what it cannot do without, one MD5 pass over pack.dat, the
// delta's decode alone, and writing the files it wrote.
std::vector<std::pair<std::string, double>> MeasureModFloor(const TSyntheticGame& game, const fs::path& titleFolder,
                                                            const fs::path& scratch) {
  std::vector<std::pair<std::string, double>> parts;
  parts.push_back({"MD5 pack.dat", Md5Time(game.packDat)});
  parts.push_back({"xdelta3 decode", FasterOfTwo([&] { return XdeltaDecodeTime(game, scratch); })});
  parts.push_back({"cp the files written", FasterOfTwo([&] { return CopyTime({titleFolder}, scratch); })});
  return parts;
}

void Print(const TCombo& c, bool withSteps) {
  const std::size_t runs = c.total.size();
  std::printf("\n%s: %zu run(s), min / median\n", c.name.c_str(), runs);
  if (withSteps) {
    std::printf("  %-44s %9s %9s %6s %9s %9s\n", "step", "min s", "median s", "cores", "disk in", "disk out");
    for (const std::string& s : c.order) {
      const auto& v = c.steps.at(s);
      if (Median(v) < 0.0005 && s.rfind("  (job)", 0) == 0) continue;
      std::printf("  %-44s %s %s", s.c_str(), Seconds(Minimum(v)).c_str(), Seconds(Median(v)).c_str());
      if (c.stepCores.count(s)) {
        std::printf(" %s %s %s", Ratio(Median(c.stepCores.at(s))).c_str(), MiB(Median(c.stepRead.at(s)) * 1048576.0).c_str(),
                    MiB(Median(c.stepWritten.at(s)) * 1048576.0).c_str());
      }
      std::printf("\n");
    }
    std::printf("  floor parts:\n");
    for (const std::string& s : c.floorOrder) {
      const auto& v = c.floorParts.at(s);
      std::printf("    %-42s %s %s\n", s.c_str(), Seconds(Minimum(v)).c_str(), Seconds(Median(v)).c_str());
    }
  }
  std::printf("  %-44s %s %s\n", "to the success line (the player's wait)", Seconds(Minimum(c.toSuccess)).c_str(),
              Seconds(Median(c.toSuccess)).c_str());
  std::printf("  %-44s %s %s\n", "work folder removal after it (background)", Seconds(Minimum(c.removal)).c_str(),
              Seconds(Median(c.removal)).c_str());
  std::printf("  %-44s %s %s\n", "total install (incl. work folder removal)", Seconds(Minimum(c.total)).c_str(),
              Seconds(Median(c.total)).c_str());
  std::printf("  %-44s %s %s\n", "cp of the input image", Seconds(Minimum(c.cpInput)).c_str(),
              Seconds(Median(c.cpInput)).c_str());
  std::printf("  %-44s %s %s\n", "floor", Seconds(Minimum(c.floor)).c_str(), Seconds(Median(c.floor)).c_str());
  std::printf("  %-44s %s %s\n", "install / cp of input (per run)", Ratio(Minimum(c.ratioInput)).c_str(),
              Ratio(Median(c.ratioInput)).c_str());
  // An image is rebuilt within 1.2 of its floor; a mod folder, whose floor is mostly one MD5, within 1.3.
  const double ratioTarget = c.mods ? 1.3 : 1.2;
  std::printf("  %-44s %s %s   target <= %.2f: %s\n", "install / floor (per run)", Ratio(Minimum(c.ratioFloor)).c_str(),
              Ratio(Median(c.ratioFloor)).c_str(), ratioTarget, Median(c.ratioFloor) <= ratioTarget ? "met" : "NOT met");
  // A tool started by the job is charged at least the job's own peak (Linux accounts a
  // spawned child from its parent's memory), so the tool figure is an upper bound; the exact
  // figure per tool is what bench_tools prints.
  std::printf("  peak memory: job process %.1f MiB, largest tool <= %.1f MiB, whole run %.1f MiB   target < 64 MiB: %s\n",
              static_cast<double>(c.jobPeakKiB) / 1024.0, static_cast<double>(c.toolPeakKiB) / 1024.0,
              static_cast<double>(c.treePeakKiB) / 1024.0, c.treePeakKiB < 64 * 1024 ? "met" : "NOT met");
  if (!c.workPeakRatio.empty()) {
    std::printf("  peak disk space (work folder and output): %.1f MiB, %.2f x the bytes written (median)%s\n",
                static_cast<double>(c.workPeakBytes) / 1048576.0, Median(c.workPeakRatio),
                c.mods ? (Median(c.workPeakRatio) <= 1.5 ? "   target <= 1.5: met" : "   target <= 1.5: NOT met") : "");
  }
  for (std::size_t i = 0; i < c.checks.size(); ++i) {
    std::printf("  run %zu output: %s\n", i + 1, c.checks[i].empty() ? "verifies, identified, patched" : c.checks[i].c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  TBenchOptions options;
  try {
    options = ParseBenchOptions(argc, argv, true);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s\n", error.what());
    return 1;
  }
  int code = 0;
  try {
    fs::create_directories(options.scratch);
    if (options.large && !options.runsGiven) options.runs = 1;
    TGameShape shape;
    shape.totalBytes = options.sizeMiB << 20;
    if (options.large) {
      // The bulk is one sparse file of zeros: cheap to make, but every tool reads every byte.
      shape.hugeFileBytes = (options.largeMiB << 20) - shape.totalBytes;
      if (options.largeMiB <= options.sizeMiB) throw std::invalid_argument("--large needs more than --size");
    }
    const TSyntheticGame game = BuildSyntheticGame(shape, options.scratch / "game");
    const fs::path appDir = options.scratch / "app";
    MakeProgramFolder(appDir, QPT_TOOLS_DIR);
    fs::create_directories(options.scratch / "out");
    std::printf("Image: %.1f MiB of RomFS files, pack.dat %.1f MiB, delta %.1f KiB; CIA %.1f MiB, 3DS %.1f MiB\n",
                static_cast<double>(game.romfsFileBytes) / 1048576.0, static_cast<double>(game.packDatBytes) / 1048576.0,
                static_cast<double>(game.deltaBytes) / 1024.0, static_cast<double>(fs::file_size(game.cia)) / 1048576.0,
                static_cast<double>(fs::file_size(game.threeDs)) / 1048576.0);
    for (const fs::path& input : {game.cia, game.threeDs}) {
      const qpt::TRomIdentity id = qpt::IdentifyRom(input);
      std::printf("Input %s: %s, game %s, sound INFO at %lld\n", input.filename().string().c_str(),
                  id.Identified() ? "identified" : "NOT identified", id.gameCode.c_str(),
                  static_cast<long long>(id.soundInfoPos));
    }

    std::vector<TCombo> combos(4);
    combos[0].name = "CIA in, CIA out";
    combos[0].inputKind = ".cia";
    combos[0].input = game.cia;
    combos[0].output = options.scratch / "out" / "Bench Out.cia";
    combos[1].name = "3DS in, 3DS out";
    combos[1].inputKind = ".3ds";
    combos[1].input = game.threeDs;
    combos[1].output = options.scratch / "out" / "Bench Out.3ds";
    // The same as the first without the receipt: what the receipt costs is the difference.
    combos[2] = combos[0];
    combos[2].name = "CIA in, CIA out, no receipt";
    combos[2].receipt = false;
    // The same image and patch as the first, written as a mod folder.
    combos[3] = combos[0];
    combos[3].name = "CIA in, mod folder out";
    combos[3].mods = true;
    combos[3].output = options.scratch / "out" / "mods";
    fs::create_directories(combos[3].output);
    const fs::path kept = options.scratch / "kept-work";

    for (int run = 0; run < options.runs; ++run) {
      for (TCombo& c : combos) {
        std::printf("run %d: %s ... ", run + 1, c.name.c_str());
        std::fflush(stdout);
        RemoveTree(kept);
        // Each run starts with nothing left to write back from the one before.
        sync();
        long treePeak = 0;
        std::uint64_t workPeak = 0;
        const TRunRecord r = RunInstall(c, game, appDir, kept, treePeak, workPeak);
        if (!r.succeeded) throw std::runtime_error(c.name + " did not succeed; last line: " + r.lastLine);
        // The window removes the work folder at the end of every run: that is part of the time.
        fs::path image = c.output;
        if (c.mods) {
          for (const auto& entry : fs::directory_iterator(c.output)) {
            if (entry.is_directory()) image = entry.path();
          }
        }
        sync();
        const double removeStart = Now();
        RemoveTree(kept);
        const double removal = Now() - removeStart;
        const fs::path cxi = c.mods ? fs::path() : RecreateWorkFiles(image, appDir);
        sync();
        const auto floorParts =
            c.mods ? MeasureModFloor(game, image, options.scratch) : MeasureFloor(game, cxi, image, options.scratch);
        RemoveTree(appDir / "tools" / "temp");

        for (int i = 0; i < r.steps; ++i) {
          const std::string label = r.step[i].label;
          if (!c.steps.count(label)) c.order.push_back(label);
          c.steps[label].push_back(r.step[i].seconds);
          c.stepCores[label].push_back(r.step[i].busyCores);
          c.stepRead[label].push_back(r.step[i].readMiB);
          c.stepWritten[label].push_back(r.step[i].writtenMiB);
          c.toolPeakKiB = std::max(c.toolPeakKiB, r.step[i].toolPeakKiB);
        }
        if (!c.steps.count("(window) work folder removal")) c.order.push_back("(window) work folder removal");
        c.steps["(window) work folder removal"].push_back(removal);
        double floor = 0;
        for (const auto& [name, seconds] : floorParts) {
          if (!c.floorParts.count(name)) c.floorOrder.push_back(name);
          c.floorParts[name].push_back(seconds);
          floor += seconds;
        }
        const double total = r.seconds + removal;
        sync();
        const double cpInput = CopyTime({c.input}, options.scratch);
        c.total.push_back(total);
        c.toSuccess.push_back(r.successSeconds);
        c.removal.push_back(removal);
        c.floor.push_back(floor);
        c.cpInput.push_back(cpInput);
        c.ratioInput.push_back(total / cpInput);
        c.ratioFloor.push_back(total / floor);
        c.jobPeakKiB = std::max(c.jobPeakKiB, r.selfPeakKiB);
        c.treePeakKiB = std::max(c.treePeakKiB, treePeak);
        const std::uint64_t writtenBytes = qpt::TreeSize(image);
        c.workPeakBytes = std::max(c.workPeakBytes, workPeak);
        if (writtenBytes > 0) c.workPeakRatio.push_back(static_cast<double>(workPeak) / static_cast<double>(writtenBytes));
        if (c.mods) {
          const std::uint64_t written = writtenBytes;
          c.checks.push_back("");
          std::printf("%.1f MiB written; ", static_cast<double>(written) / 1048576.0);
        } else {
          c.checks.push_back(CheckInstalledImage(game, image));
        }
        std::printf("%.2f s (floor %.2f s, ratio %.2f)%s\n", total, floor, total / floor,
                    c.checks.back().empty() ? "" : (" CHECK FAILED: " + c.checks.back()).c_str());
        std::error_code ec;
        fs::remove_all(image, ec);
        fs::remove(qpt::ReceiptPath(image), ec);
      }
    }
    for (const TCombo& c : combos) Print(c, true);
    // Runs alternate, so the two CIA combos met the same machine.
    const double with = Median(combos[0].toSuccess), without = Median(combos[2].toSuccess);
    const double cia = Median(combos[0].total), mods = Median(combos[3].total);
    std::printf("\nmod folder beside the CIA installation: %.2f s against %.2f s (median), %.1fx faster   target >= 4x: %s\n",
                mods, cia, cia / mods, cia / mods >= 4.0 ? "met" : "NOT met");
    std::printf("mod folder / its floor (median): %.2f   target <= 1.30: %s\n", Median(combos[3].ratioFloor),
                Median(combos[3].ratioFloor) <= 1.30 ? "met" : "NOT met");
    std::printf("\nreceipt (input hashed on the second core, output hashed from the check's read): %+.1f%% to the success "
                "line (median %.2f s with, %.2f s without)   target < 10%%: %s\n",
                (with / without - 1.0) * 100.0, with, without, with / without < 1.10 ? "met" : "NOT met");
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s\n", error.what());
    code = 1;
  }
  if (!options.keep) RemoveTree(options.scratch);
  return code;
}
