// HMAC-SHA256 (RFC 2104 over SHA-256) for the nonce derivation, from keyed
// states: the key's inner and outer pad blocks are compressed once, as one
// pair, and every MAC under that key starts from copies of the two states.
// A MAC of up to 55 bytes then costs two SHA-256 compressions instead of
// four, and two MACs under one key share their compressions' latency.
#pragma once

#include <openssl/sha.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>

#include "crypto/hmac_sha256/compress.hpp"

namespace quillet::hmac_sha256 {

using Sha256Digest = std::array<uint8_t, 32>;
using MacParts = std::initializer_list<std::span<const uint8_t>>;

// The concatenation of `parts`, at most kMaxLength bytes, padded once as the
// message after a key's block, for MACs of it under any number of keys.
// Wiped on destruction.
class MacMessage {
 public:
  static constexpr size_t kMaxLength = 2 * SHA256_CBLOCK - 9;

  // Fails hard if the parts are longer than kMaxLength together.
  explicit MacMessage(MacParts parts);
  ~MacMessage();
  MacMessage(const MacMessage&) = delete;
  MacMessage& operator=(const MacMessage&) = delete;

  size_t block_count() const { return count_; }
  const uint8_t* block(size_t i) const { return bytes_.data() + i * SHA256_CBLOCK; }

 private:
  std::array<uint8_t, 2 * SHA256_CBLOCK> bytes_;
  size_t count_;
};

class HmacSha256Key {
 public:
  // The states for the 32-byte `key` (zero-padded to the 64-byte block),
  // compressed with `kernel` as every MAC under it is. Fails hard if this
  // processor does not run `kernel`.
  explicit HmacSha256Key(const Sha256Digest& key, Sha256Instructions kernel = sha256_instructions());
  // Overwrites the states and every intermediate value the MACs left in
  // the object: they are as good as the key.
  ~HmacSha256Key();
  HmacSha256Key(const HmacSha256Key&) = delete;
  HmacSha256Key& operator=(const HmacSha256Key&) = delete;

  // Replaces the key (the object is reused: nothing is wiped in between).
  void rekey(const Sha256Digest& key);

  // HMAC-SHA256 under the key of the concatenation of `parts`, at most
  // MacMessage::kMaxLength bytes (the nonce's longest is 97): fails hard
  // beyond.
  Sha256Digest mac(MacParts parts) const;

  // a = MAC of `msg_a` and b = MAC of `msg_b`, their compressions run as
  // pairs while both MACs have one left: one-block and two-block messages
  // take three steps instead of five. The order of the steps depends only
  // on the two lengths. The outputs are written last.
  void mac_pair(const MacMessage& msg_a, const MacMessage& msg_b, Sha256Digest& a, Sha256Digest& b);

  // The two MACs of one mac_pair call.
  struct PairJob {
    const MacMessage& msg_a;
    const MacMessage& msg_b;
    Sha256Digest& a;
    Sha256Digest& b;
  };
  // x.mac_pair(xj...) and y.mac_pair(yj...) at once: the four MACs'
  // compressions run as pairs while two are left, so two one-block and
  // two-block pairs take five paired steps instead of four paired and two
  // single ones. One key, or keys of unlike kernels, run one call after the
  // other. The order of the steps depends only on the lengths. The outputs
  // are written last.
  static void mac_pairs(HmacSha256Key& x, const PairJob& xj, HmacSha256Key& y, const PairJob& yj);

  // The two MACs' running states and final blocks (the inner digest,
  // padded), kept here so that they are wiped once, with the key.
  struct Lane {
    Sha256State state;
    std::array<uint8_t, SHA256_CBLOCK> outer_block;
  };

 private:
  Sha256State inner_;
  Sha256State outer_;
  Sha256Instructions kernel_;
  std::array<uint8_t, 2 * SHA256_CBLOCK> pads_;  // key ^ 0x36.., key ^ 0x5c..
  std::array<Lane, 2> lanes_;
};

// SHA-256 of `data`. Through the low-level functions, like the MACs: the
// one-shot SHA256() goes through EVP, whose first use loads the provider
// machinery (and links all of it into a static build), and whose locks a
// fork taken meanwhile would leave held in the child.
Sha256Digest sha256(std::span<const uint8_t> data);
// The same into `out`, for digests that are secrets and live in wiped storage.
void sha256(std::span<const uint8_t> data, Sha256Digest& out);

}  // namespace quillet::hmac_sha256
