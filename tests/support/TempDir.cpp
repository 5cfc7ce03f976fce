#include "support/TempDir.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <fstream>
#include <stdexcept>

#ifndef _WIN32
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace qpt::test {

namespace fs = std::filesystem;

TempDir::TempDir(const std::string& label) {
  static std::atomic<unsigned> counter{0};
#ifdef _WIN32
  const long long pid = 0;
#else
  const long long pid = getpid();
#endif
  const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  path_ = fs::temp_directory_path() /
          (label + "-" + std::to_string(pid) + "-" + std::to_string(stamp) + "-" +
           std::to_string(counter++));
  fs::create_directories(path_);
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

fs::path TempDir::operator/(const std::string& relative) const {
  return path_ / fs::path(std::u8string(relative.begin(), relative.end()));
}

void WriteFile(const fs::path& path, const std::string& bytes) {
  if (path.has_parent_path()) fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write fixture " + path.string());
}

void WriteFile(const fs::path& path, const std::vector<std::uint8_t>& bytes) {
  WriteFile(path, std::string(bytes.begin(), bytes.end()));
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::uint8_t> PatternBytes(std::size_t size, std::uint32_t seed) {
  std::vector<std::uint8_t> bytes(size);
  std::uint32_t x = seed * 2654435761u + 0x9E3779B9u;
  for (auto& b : bytes) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<std::uint8_t>(x);
  }
  return bytes;
}

#ifndef _WIN32
void WithFileSizeLimit(std::uint64_t maxBytes, const std::function<void()>& body) {
  const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit old{};
  getrlimit(RLIMIT_FSIZE, &old);
  rlimit small = old;
  small.rlim_cur = static_cast<rlim_t>(maxBytes);
  setrlimit(RLIMIT_FSIZE, &small);
  body();
  setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, oldHandler);
}
#endif

}  // namespace qpt::test
