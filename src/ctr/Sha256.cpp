#include "ctr/Sha256.h"

#include <openssl/evp.h>

#include <stdexcept>

namespace ctr {

struct Sha256::Impl {
  EVP_MD_CTX* ctx = nullptr;
};

Sha256::Sha256() : impl_(std::make_unique<Impl>()) {
  impl_->ctx = EVP_MD_CTX_new();
  if (!impl_->ctx || EVP_DigestInit_ex(impl_->ctx, EVP_sha256(), nullptr) != 1) {
    throw std::runtime_error("SHA-256 is not available");
  }
}

Sha256::~Sha256() { EVP_MD_CTX_free(impl_->ctx); }

void Sha256::Update(const void* data, std::size_t size) {
  if (size > 0) EVP_DigestUpdate(impl_->ctx, data, size);
}

Sha256Digest Sha256::Final() {
  Sha256Digest digest{};
  unsigned int length = 0;
  EVP_DigestFinal_ex(impl_->ctx, digest.data(), &length);
  return digest;
}

void Sha256::Reset() {
  if (EVP_DigestInit_ex(impl_->ctx, EVP_sha256(), nullptr) != 1) {
    throw std::runtime_error("SHA-256 is not available");
  }
}

Sha256Digest Sha256::Of(const void* data, std::size_t size) {
  Sha256 hasher;
  hasher.Update(data, size);
  return hasher.Final();
}

}  // namespace ctr
