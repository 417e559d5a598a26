// The deterministic nonce of a signature, derived from the key and the
// message: equal inputs give equal signatures, and no random numbers are
// needed. (A nonce, not a seed: seeds are what keys are derived from.)
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
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

// The messages whose nonces a deterministic_nonces call derives, handed out
// one at a time: take() gives a message's index, or kNone once none is left.
// A queue that calls running at once share must be safe to take from on
// their threads.
class MessageQueue {
 public:
  static constexpr size_t kNone = std::numeric_limits<size_t>::max();
  virtual size_t take() = 0;

 protected:
  ~MessageQueue() = default;
};

// The messages first .. last - 1, for one call.
class MessageRange final : public MessageQueue {
 public:
  MessageRange(size_t first, size_t last) : next_(first), last_(last) {}
  size_t take() override { return next_ < last_ ? next_++ : kNone; }

 private:
  size_t next_;
  size_t last_;
};

// out[i] = deterministic_nonce(sk, msgs[i], kernel).value() (spans of one
// length) for each i that `queue` gives (each below msgs.size(); fails hard
// on one beyond), two derivations at a time, their compressions paired, a
// finished one's place taken by the next i: a derivation's rejection rounds
// make its cost uneven. Returns when the queue is empty and its own
// derivations are done. Constant time in sk and the nonces.
void deterministic_nonces(const PrivateKey& sk, std::span<const Message> msgs, std::span<Fs> out,
                          MessageQueue& queue,
                          hmac_sha256::Sha256Instructions kernel = hmac_sha256::sha256_instructions());

}  // namespace quillet::jubjub
