#include "crypto/jubjub/hmac_sha256.hpp"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>
#include <openssl/sha.h>

#include "crypto/failure.hpp"

namespace quillet::jubjub {
namespace {

[[noreturn]] void fail_hmac() { fail_hard("HMAC-SHA256 is unavailable"); }

}  // namespace

HmacSha256::HmacSha256() : ctx_(nullptr) {
  EVP_MAC* mac = EVP_MAC_fetch(nullptr, OSSL_MAC_NAME_HMAC, nullptr);
  if (mac == nullptr) fail_hmac();
  ctx_ = EVP_MAC_CTX_new(mac);
  // The context holds its own reference to the algorithm.
  EVP_MAC_free(mac);
  if (ctx_ == nullptr) fail_hmac();
  char digest[] = "SHA256";
  const OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
      OSSL_PARAM_construct_end(),
  };
  if (EVP_MAC_CTX_set_params(ctx_, params) != 1) {
    EVP_MAC_CTX_free(ctx_);
    fail_hmac();
  }
}

HmacSha256::~HmacSha256() { EVP_MAC_CTX_free(ctx_); }

Sha256Digest HmacSha256::mac(const Sha256Digest& key,
                             std::initializer_list<std::span<const uint8_t>> parts) {
  if (EVP_MAC_init(ctx_, key.data(), key.size(), nullptr) != 1) fail_hmac();
  for (std::span<const uint8_t> part : parts) {
    if (EVP_MAC_update(ctx_, part.data(), part.size()) != 1) fail_hmac();
  }
  Sha256Digest out{};
  size_t written = 0;
  if (EVP_MAC_final(ctx_, out.data(), &written, out.size()) != 1 || written != out.size()) fail_hmac();
  return out;
}

Sha256Digest sha256(std::span<const uint8_t> data) {
  Sha256Digest out{};
  SHA256(data.data(), data.size(), out.data());
  return out;
}

}  // namespace quillet::jubjub
