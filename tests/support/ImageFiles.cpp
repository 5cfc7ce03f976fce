#include "support/ImageFiles.h"

#include <cstring>
#include <fstream>
#include <stdexcept>

#include "ctr/Reader.h"
#include "support/TempDir.h"

namespace qpt::test {

namespace fs = std::filesystem;

namespace {

std::string Hex(const ctr::Sha256Digest& digest) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (std::uint8_t b : digest) {
    text += kDigits[b >> 4];
    text += kDigits[b & 0xF];
  }
  return text;
}

}  // namespace

fs::path VectorPath(const std::string& relative) {
  return fs::path(QPT_TEST_DATA_DIR) / "vectors" / fs::path(std::u8string(relative.begin(), relative.end()));
}

Bytes ReadBytes(const fs::path& path) {
  const std::string s = ReadFile(path);
  return Bytes(s.begin(), s.end());
}

void WriteBytes(const fs::path& path, const Bytes& bytes) { WriteFile(path, bytes); }

std::string FileSha256(const fs::path& path) {
  ctr::FileReader file;
  ctr::Status s = file.Open(path);
  if (!s) throw std::runtime_error(s.message());
  auto digest = ctr::HashRange(file, 0, file.size());
  if (!digest) throw std::runtime_error(digest.message());
  return Hex(*digest);
}

std::string BytesSha256(const Bytes& bytes) { return Hex(ctr::Sha256::Of(bytes.data(), bytes.size())); }

std::uint32_t GetLE32(const Bytes& bytes, std::size_t offset) {
  std::uint32_t v = 0;
  std::memcpy(&v, bytes.data() + offset, 4);
  return v;
}

std::uint64_t GetLE64(const Bytes& bytes, std::size_t offset) {
  std::uint64_t v = 0;
  std::memcpy(&v, bytes.data() + offset, 8);
  return v;
}

void PutLE32(Bytes& bytes, std::size_t offset, std::uint32_t value) { std::memcpy(bytes.data() + offset, &value, 4); }

void PutLE64(Bytes& bytes, std::size_t offset, std::uint64_t value) { std::memcpy(bytes.data() + offset, &value, 8); }

Bytes Slice(const Bytes& bytes, std::size_t offset, std::size_t size) {
  if (offset + size > bytes.size()) throw std::out_of_range("slice beyond the end");
  return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(offset),
               bytes.begin() + static_cast<std::ptrdiff_t>(offset + size));
}

}  // namespace qpt::test
