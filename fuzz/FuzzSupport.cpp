#include "FuzzSupport.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <system_error>

namespace qpt::fuzz {

namespace fs = std::filesystem;

namespace {

struct ScratchFolder {
  ScratchFolder() {
    std::error_code ec;
    const fs::path base = fs::is_directory("/dev/shm", ec) ? fs::path("/dev/shm") : fs::temp_directory_path();
    path = base / ("qpt-fuzz-" + std::to_string(getpid()));
    fs::remove_all(path, ec);
    fs::create_directories(path);
  }
  ~ScratchFolder() {
    std::error_code ec;
    fs::remove_all(path, ec);
  }
  fs::path path;
};

}  // namespace

const fs::path& Scratch() {
  static const ScratchFolder folder;
  return folder.path;
}

fs::path WriteInput(const std::uint8_t* data, std::size_t size, const std::string& name) {
  const fs::path path = Scratch() / name;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  if (!out) throw std::runtime_error("cannot write " + path.string());
  return path;
}

fs::path FreshFolder(const std::string& name) {
  const fs::path path = Scratch() / name;
  std::error_code ec;
  fs::remove_all(path, ec);
  fs::create_directories(path);
  return path;
}

}  // namespace qpt::fuzz
