// SHA-256 through the hashing backend chosen when the build is configured: OpenSSL's EVP
// interface (which uses the processor's SHA instructions), or Windows' own CNG where OpenSSL
// is not at hand.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace ctr {

using Sha256Digest = std::array<std::uint8_t, 32>;

// Incremental hasher; feed any number of blocks, then Final() once.
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  void Update(const void* data, std::size_t size);
  Sha256Digest Final();
  // Starts a new digest on the same context, cheaper than a new hasher per small block.
  void Reset();

  static Sha256Digest Of(const void* data, std::size_t size);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace ctr
