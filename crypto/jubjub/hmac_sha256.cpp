// The keyed states need SHA-256 midstates, which only the low-level SHA256_*
// functions expose (deprecated since OpenSSL 3.0 in favour of EVP, whose
// per-call setup costs more than the hash of one block here).
#define OPENSSL_SUPPRESS_DEPRECATED

#include "crypto/jubjub/hmac_sha256.hpp"

#include <openssl/crypto.h>

namespace quillet::jubjub {

HmacSha256Key::HmacSha256Key(const Sha256Digest& key) {
  std::array<uint8_t, SHA256_CBLOCK> pad{};
  for (size_t i = 0; i < key.size(); ++i) pad[i] = key[i];
  for (uint8_t& b : pad) b ^= 0x36;
  SHA256_Init(&inner_);
  SHA256_Update(&inner_, pad.data(), pad.size());
  // 0x36 ^ 0x5c turns the inner pad into the outer one.
  for (uint8_t& b : pad) b ^= 0x36 ^ 0x5c;
  SHA256_Init(&outer_);
  SHA256_Update(&outer_, pad.data(), pad.size());
  OPENSSL_cleanse(pad.data(), pad.size());
}

HmacSha256Key::~HmacSha256Key() {
  OPENSSL_cleanse(&inner_, sizeof inner_);
  OPENSSL_cleanse(&outer_, sizeof outer_);
}

Sha256Digest HmacSha256Key::mac(std::initializer_list<std::span<const uint8_t>> parts) const {
  SHA256_CTX ctx = inner_;
  for (std::span<const uint8_t> part : parts) SHA256_Update(&ctx, part.data(), part.size());
  Sha256Digest inner_hash{};
  SHA256_Final(inner_hash.data(), &ctx);
  ctx = outer_;
  SHA256_Update(&ctx, inner_hash.data(), inner_hash.size());
  Sha256Digest out{};
  SHA256_Final(out.data(), &ctx);
  OPENSSL_cleanse(&ctx, sizeof ctx);
  OPENSSL_cleanse(inner_hash.data(), inner_hash.size());
  return out;
}

Sha256Digest sha256(std::span<const uint8_t> data) {
  Sha256Digest out{};
  SHA256(data.data(), data.size(), out.data());
  return out;
}

}  // namespace quillet::jubjub
