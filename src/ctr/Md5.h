// MD5 of a byte stream, for the checks of a patch's expected archive digests. The backend is
// the one Sha256 uses (chosen when the build is configured).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace ctr {

using Md5Digest = std::array<std::uint8_t, 16>;

// Incremental hasher; feed any number of blocks, then Final() once.
class Md5 {
 public:
  Md5();
  ~Md5();
  Md5(const Md5&) = delete;
  Md5& operator=(const Md5&) = delete;

  void Update(const void* data, std::size_t size);
  Md5Digest Final();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace ctr
