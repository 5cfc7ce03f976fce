#include "CliProcess.h"

namespace qpt::test {

namespace fs = std::filesystem;

std::vector<std::string> CliResult::OutLines() const {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < out.size()) {
    std::size_t end = out.find('\n', start);
    if (end == std::string::npos) end = out.size();
    lines.push_back(out.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

CliResult RunCli(const fs::path& program, const std::vector<std::string>& args, const fs::path& workFolder,
                 const std::string& lang) {
  CliProcess process(program, args, workFolder, lang);
  return process.Wait();
}

}  // namespace qpt::test
