// The message a signature covers and the scalars made from it, shared by
// signing (alone and in batches) and verification. The message is at most 32
// bytes; zero-padded and read little-endian, reduced modulo s, it is the
// challenge c itself (nothing binds R or the public key into it).
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "crypto/failure.hpp"
#include "crypto/jubjub/fs.hpp"

namespace quillet::jubjub {

// The longest message a signature covers.
inline constexpr size_t kMaxMessageSize = 32;

// One message of a batch, zero-padded to 32 bytes as signing reads it.
using Message = std::array<uint8_t, kMaxMessageSize>;

namespace detail {

// c: the message cut or zero-padded to 32 bytes, reduced modulo s.
inline Fs challenge(std::span<const uint8_t> msg) {
  Message m{};
  std::copy_n(msg.begin(), std::min(msg.size(), m.size()), m.begin());
  return to_uniform_32(m);
}

// S = c·sk + r, the signature's scalar for the nonce r: secret until
// published. Constant time.
inline Fs signature_scalar(std::span<const uint8_t> msg, const Fs& sk, const Fs& nonce) {
  Fs s = challenge(msg);
  s.mul_assign(sk);
  s.add_assign(nonce);
  return s;
}

// S - c·sk, the nonce of a right signature (R, S): secret. Constant time.
inline Fs nonce_of(std::span<const uint8_t> msg, const Fs& s, const Fs& sk) {
  Fs nonce = challenge(msg);
  nonce.mul_assign(sk);
  nonce.negate();
  nonce.add_assign(s);
  return nonce;
}

// Fails hard if `msg` is longer than a signature covers; the text names the
// bound as signing callers once passed it.
inline void check_message_size(std::span<const uint8_t> msg) {
  if (msg.size() > kMaxMessageSize) {
    fail_hard("assertion failed: msg.len() <= max_message_size && max_message_size <= 32");
  }
}

}  // namespace detail
}  // namespace quillet::jubjub
