// A fresh, empty folder for one test, removed with everything in it when the test ends.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace qpt::test {

class TempDir {
 public:
  explicit TempDir(const std::string& label = "qpt");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& relative) const;

 private:
  std::filesystem::path path_;
};

// Small file helpers for building fixtures.
void WriteFile(const std::filesystem::path& path, const std::string& bytes);
void WriteFile(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes);
std::string ReadFile(const std::filesystem::path& path);
#ifndef _WIN32
// Runs body as on a disk that takes no file beyond maxBytes: a write past it fails with EFBIG
// (the process's file-size limit, its signal ignored meanwhile), as a full disk would.
void WithFileSizeLimit(std::uint64_t maxBytes, const std::function<void()>& body);
#endif
// Deterministic filler bytes (not all the same, so that misplaced copies show).
std::vector<std::uint8_t> PatternBytes(std::size_t size, std::uint32_t seed);

}  // namespace qpt::test
