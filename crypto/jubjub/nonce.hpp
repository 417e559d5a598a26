// The deterministic nonce of a signature, derived from the key and the
// message: equal inputs give equal signatures, and no random numbers are
// needed. (A nonce, not a seed: seeds are what keys are derived from.)
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>

#include "crypto/hmac_sha256/compress.hpp"
#include "crypto/jubjub/fs.hpp"
#include "crypto/jubjub/message.hpp"

namespace quillet::jubjub {

class PrivateKey;

// The nonce r of one signature. Wiped on destruction.
class Nonce {
 public:
  explicit Nonce(const Fs& r) : r_(r) {}
  Nonce(const Nonce&) = default;
  Nonce& operator=(const Nonce&) = default;
  ~Nonce();

  const Fs& value() const { return r_; }

 private:
  Fs r_;
};

// The nonce for signing `msg` with `sk`: HMAC-SHA256 DRBG output over the
// key's 32 big-endian bytes and SHA-256(msg), msg hashed exactly as given.
// `kernel` (fails hard if unavailable) changes the speed, never the nonce.
// Constant time in sk and the nonce.
Nonce deterministic_nonce(const PrivateKey& sk, std::span<const uint8_t> msg,
                          hmac_sha256::Sha256Instructions kernel = hmac_sha256::sha256_instructions());

// out[i] = deterministic_nonce(sk, msgs[i], kernel).value() (spans of one
// length) for each i it takes from `next`, a counter that threads calling it
// at once share (each i below msgs.size() is taken once), two derivations at
// a time, their compressions paired. Returns when no i is left to take and
// its own are done.
void deterministic_nonces(const PrivateKey& sk, std::span<const Message> msgs, std::span<Fs> out,
                          std::atomic<size_t>& next,
                          hmac_sha256::Sha256Instructions kernel = hmac_sha256::sha256_instructions());

}  // namespace quillet::jubjub
