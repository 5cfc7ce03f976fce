// SHA-256 and MD5 through OpenSSL's EVP interface.
#include <openssl/evp.h>

#include <stdexcept>

#include "ctr/Md5.h"
#include "ctr/Sha256.h"

namespace ctr {

namespace {

EVP_MD_CTX* NewContext(const EVP_MD* type, const char* name) {
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  if (!ctx || EVP_DigestInit_ex(ctx, type, nullptr) != 1) {
    EVP_MD_CTX_free(ctx);
    throw std::runtime_error(std::string(name) + " is not available");
  }
  return ctx;
}

}  // namespace

struct Sha256::Impl {
  EVP_MD_CTX* ctx = nullptr;
};

Sha256::Sha256() : impl_(std::make_unique<Impl>()) { impl_->ctx = NewContext(EVP_sha256(), "SHA-256"); }

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

struct Md5::Impl {
  EVP_MD_CTX* ctx = nullptr;
};

Md5::Md5() : impl_(std::make_unique<Impl>()) { impl_->ctx = NewContext(EVP_md5(), "MD5"); }

Md5::~Md5() { EVP_MD_CTX_free(impl_->ctx); }

void Md5::Update(const void* data, std::size_t size) {
  if (size > 0) EVP_DigestUpdate(impl_->ctx, data, size);
}

Md5Digest Md5::Final() {
  Md5Digest digest{};
  unsigned int length = 0;
  EVP_DigestFinal_ex(impl_->ctx, digest.data(), &length);
  return digest;
}

}  // namespace ctr
