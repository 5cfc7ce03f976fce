// SHA-256 and MD5 through Windows' own cryptography (CNG, bcrypt.dll), for builds without
// OpenSSL. CNG uses the processor's SHA instructions where it has them, as OpenSSL does.
#include <windows.h>
#include <bcrypt.h>

#include <algorithm>
#include <stdexcept>
#include <string>

#include "ctr/Md5.h"
#include "ctr/Sha256.h"

namespace ctr {

namespace {

// An algorithm provider is costly to open and may be shared by threads; hash objects are
// cheap and each belongs to one hasher.
BCRYPT_ALG_HANDLE Provider(const wchar_t* algorithm, const char* name) {
  BCRYPT_ALG_HANDLE handle = nullptr;
  if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&handle, algorithm, nullptr, 0))) {
    throw std::runtime_error(std::string(name) + " is not available");
  }
  return handle;
}

BCRYPT_ALG_HANDLE Sha256Provider() {
  static const BCRYPT_ALG_HANDLE handle = Provider(BCRYPT_SHA256_ALGORITHM, "SHA-256");
  return handle;
}

BCRYPT_ALG_HANDLE Md5Provider() {
  static const BCRYPT_ALG_HANDLE handle = Provider(BCRYPT_MD5_ALGORITHM, "MD5");
  return handle;
}

BCRYPT_HASH_HANDLE NewHash(BCRYPT_ALG_HANDLE provider, const char* name) {
  BCRYPT_HASH_HANDLE hash = nullptr;
  if (!BCRYPT_SUCCESS(BCryptCreateHash(provider, &hash, nullptr, 0, nullptr, 0, 0))) {
    throw std::runtime_error(std::string(name) + " is not available");
  }
  return hash;
}

void HashData(BCRYPT_HASH_HANDLE hash, const void* data, std::size_t size) {
  // The length is a 32-bit count; larger blocks go in pieces.
  auto* bytes = static_cast<PUCHAR>(const_cast<void*>(data));
  while (size > 0) {
    const ULONG n = static_cast<ULONG>(std::min<std::size_t>(size, 1u << 30));
    if (!BCRYPT_SUCCESS(BCryptHashData(hash, bytes, n, 0))) throw std::runtime_error("hashing failed");
    bytes += n;
    size -= n;
  }
}

template <std::size_t N>
std::array<std::uint8_t, N> FinishHash(BCRYPT_HASH_HANDLE hash) {
  std::array<std::uint8_t, N> digest{};
  if (!BCRYPT_SUCCESS(BCryptFinishHash(hash, digest.data(), static_cast<ULONG>(N), 0))) {
    throw std::runtime_error("hashing failed");
  }
  return digest;
}

}  // namespace

struct Sha256::Impl {
  BCRYPT_HASH_HANDLE hash = nullptr;
};

Sha256::Sha256() : impl_(std::make_unique<Impl>()) { impl_->hash = NewHash(Sha256Provider(), "SHA-256"); }

Sha256::~Sha256() {
  if (impl_->hash) BCryptDestroyHash(impl_->hash);
}

void Sha256::Update(const void* data, std::size_t size) { HashData(impl_->hash, data, size); }

Sha256Digest Sha256::Final() { return FinishHash<32>(impl_->hash); }

void Sha256::Reset() {
  // A finished CNG hash cannot be used again; a fresh object costs little.
  BCryptDestroyHash(impl_->hash);
  impl_->hash = nullptr;
  impl_->hash = NewHash(Sha256Provider(), "SHA-256");
}

Sha256Digest Sha256::Of(const void* data, std::size_t size) {
  Sha256 hasher;
  hasher.Update(data, size);
  return hasher.Final();
}

struct Md5::Impl {
  BCRYPT_HASH_HANDLE hash = nullptr;
};

Md5::Md5() : impl_(std::make_unique<Impl>()) { impl_->hash = NewHash(Md5Provider(), "MD5"); }

Md5::~Md5() {
  if (impl_->hash) BCryptDestroyHash(impl_->hash);
}

void Md5::Update(const void* data, std::size_t size) { HashData(impl_->hash, data, size); }

Md5Digest Md5::Final() { return FinishHash<16>(impl_->hash); }

}  // namespace ctr
