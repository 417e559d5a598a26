// HMAC-SHA256 (RFC 2104 over SHA-256) for the nonce derivation, from keyed
// states: the key's inner and outer pad blocks are compressed once, and every
// MAC under that key starts from copies of the two states. A MAC of up to 55
// bytes then costs two SHA-256 compressions instead of four.
#pragma once

#include <openssl/sha.h>

#include <array>
#include <cstdint>
#include <initializer_list>
#include <span>

namespace quillet::hmac_sha256 {

using Sha256Digest = std::array<uint8_t, 32>;

class HmacSha256Key {
 public:
  // The states for the 32-byte `key` (zero-padded to the 64-byte block).
  explicit HmacSha256Key(const Sha256Digest& key);
  // Overwrites both states: they are as good as the key.
  ~HmacSha256Key();
  HmacSha256Key(const HmacSha256Key&) = delete;
  HmacSha256Key& operator=(const HmacSha256Key&) = delete;

  // HMAC-SHA256 under the key of the concatenation of `parts`.
  Sha256Digest mac(std::initializer_list<std::span<const uint8_t>> parts) const;

 private:
  SHA256_CTX inner_;
  SHA256_CTX outer_;
};

// SHA-256 of `data`. Through the low-level functions, like the MACs: the
// one-shot SHA256() goes through EVP, whose first use loads the provider
// machinery (and links all of it into a static build), and whose locks a
// fork taken meanwhile would leave held in the child.
Sha256Digest sha256(std::span<const uint8_t> data);
// The same into `out`, for digests that are secrets and live in wiped storage.
void sha256(std::span<const uint8_t> data, Sha256Digest& out);

}  // namespace quillet::hmac_sha256
