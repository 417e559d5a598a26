// HMAC-SHA256 (RFC 2104 over SHA-256) through libcrypto, for the nonce
// derivation.
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <span>

struct evp_mac_ctx_st;

namespace quillet::jubjub {

using Sha256Digest = std::array<uint8_t, 32>;

// One libcrypto HMAC-SHA256 context, reused for any number of MACs with
// different keys. Not copyable; not shared between threads.
class HmacSha256 {
 public:
  // Fails hard if libcrypto cannot provide HMAC-SHA256.
  HmacSha256();
  ~HmacSha256();
  HmacSha256(const HmacSha256&) = delete;
  HmacSha256& operator=(const HmacSha256&) = delete;

  // HMAC-SHA256 under the 32-byte `key` of the concatenation of `parts`.
  Sha256Digest mac(const Sha256Digest& key, std::initializer_list<std::span<const uint8_t>> parts);

 private:
  evp_mac_ctx_st* ctx_;
};

// SHA-256 of `data`.
Sha256Digest sha256(std::span<const uint8_t> data);

}  // namespace quillet::jubjub
