// The command line shared by the benchmark programs.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>

namespace qpt::bench {

struct TBenchOptions {
  std::filesystem::path scratch = std::filesystem::temp_directory_path() / "qpt-bench";
  std::uint64_t sizeMiB = 1024;
  int runs = 3;
  bool runsGiven = false;
  bool keep = false;
  bool large = false;
  std::uint64_t largeMiB = 4400;  // total RomFS data of --large (above 4 GiB)
};

// Parses argv; throws std::invalid_argument with a usage text on anything unknown.
inline TBenchOptions ParseBenchOptions(int argc, char** argv, bool allowLarge) {
  TBenchOptions o;
  const std::string usage = std::string("usage: ") + argv[0] +
                            " [--scratch DIR] [--size MIB] [--runs N] [--keep]" +
                            (allowLarge ? " [--large [MIB]]" : "");
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const auto value = [&]() -> std::string {
      if (i + 1 >= argc) throw std::invalid_argument(usage);
      return argv[++i];
    };
    if (a == "--scratch") {
      o.scratch = value();
    } else if (a == "--size") {
      o.sizeMiB = std::stoull(value());
    } else if (a == "--runs") {
      o.runs = std::max(1, std::stoi(value()));
      o.runsGiven = true;
    } else if (a == "--keep") {
      o.keep = true;
    } else if (allowLarge && a == "--large") {
      o.large = true;
      if (i + 1 < argc && argv[i + 1][0] != '-') o.largeMiB = std::stoull(argv[++i]);
    } else {
      throw std::invalid_argument(usage);
    }
  }
  return o;
}

}  // namespace qpt::bench
