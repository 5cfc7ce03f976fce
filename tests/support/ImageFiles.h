// Small helpers for tests of the container code: the golden vectors, file bytes and hashes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace qpt::test {

using Bytes = std::vector<std::uint8_t>;

// A file of the golden vector folder (tests/data/vectors), e.g. "cxi/out.cxi".
std::filesystem::path VectorPath(const std::string& relative);
Bytes ReadBytes(const std::filesystem::path& path);
void WriteBytes(const std::filesystem::path& path, const Bytes& bytes);
// Lower-case hex SHA-256 of a file's content, streamed (for images too large to hold).
std::string FileSha256(const std::filesystem::path& path);
std::string BytesSha256(const Bytes& bytes);

// Little-endian field access for checks and for damaging fixtures on purpose.
std::uint32_t GetLE32(const Bytes& bytes, std::size_t offset);
std::uint64_t GetLE64(const Bytes& bytes, std::size_t offset);
void PutLE32(Bytes& bytes, std::size_t offset, std::uint32_t value);
void PutLE64(Bytes& bytes, std::size_t offset, std::uint64_t value);
Bytes Slice(const Bytes& bytes, std::size_t offset, std::size_t size);

}  // namespace qpt::test
