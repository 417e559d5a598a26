// The buffered hasher of transactions: 64-bit words in, four words out.
//
// Every four words form one Fr element (w0 + w1·2^64 + w2·2^128 + w3·2^192
// mod p); every eight elements are absorbed into a private copy of the
// shared Poseidon prototype. finalize appends the element 1 and zero
// elements up to the end of the block and returns the last absorption's
// result as its four canonical limbs, least significant first.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "crypto/field/fr.hpp"
#include "crypto/poseidon/poseidon.hpp"

namespace quillet::sdk::hashing {

using field::Fr;

// A word-oriented hashing context around a Poseidon sponge.
class PoseidonContext {
 public:
  static constexpr size_t kBlock = poseidon::kRate;

  // Words that form one element: w0 + w1·2^64 + w2·2^128 + w3·2^192 mod p.
  static constexpr size_t kWords = 4;

  // No sponge, empty buffer, no pending words, output at position 0.
  PoseidonContext() = default;

  // Empties the buffer; a non-zero flag also replaces the sponge by a fresh
  // copy of the shared prototype.
  void poseidon_new(uint64_t flag);

  // Takes one word; a completed group of kWords is appended to the buffer.
  void push_limb(uint64_t word);

  // The next limb of the squeezed element. At limb 0 it first absorbs the
  // buffer, which must hold exactly eight elements into a started sponge;
  // otherwise it fails hard. The buffer is left as it is. With `last`, an
  // absorption here is the sponge's last (Poseidon::update_final): it must
  // not absorb again.
  uint64_t poseidon_finalize(bool last = false, poseidon::Squeezer* squeezer = nullptr);

  // Elements appended since the last poseidon_new (may exceed eight; only
  // the first eight are kept, and poseidon_finalize refuses such a buffer).
  size_t buffered() const { return buf_len_; }

 private:
  std::optional<poseidon::Poseidon> sponge_;
  // The four limbs of the last squeezed element, handed out in turn.
  std::array<uint64_t, 4> output_{};
  size_t output_position_ = 0;
  std::array<Fr, kBlock> buf_{};
  size_t buf_len_ = 0;
  // The group being filled: each word lands in its limb, converted once the
  // group is complete.
  field::Repr group_{};
  size_t group_position_ = 0;
};

class PoseidonHasher {
 public:
  // A hasher over a fresh copy of the shared prototype (which is built here
  // if this is the process's first hash). Its last squeeze is computed by
  // `squeezer` if one is given (a batch's deferral).
  explicit PoseidonHasher(poseidon::Squeezer* squeezer = nullptr);

  // Takes one word; every 32 words absorb one block. Fails hard after
  // finalize.
  void update(uint64_t word);

  // The hash. Call once: a hasher is spent by it, and a second call fails
  // hard rather than answer from a misaligned stream.
  std::array<uint64_t, 4> finalize();

  // Words taken in the current block of 32.
  uint64_t count() const { return count_; }

 private:
  void finish_block();
  void ensure_open() const;

  uint64_t count_ = 0;
  bool finalized_ = false;
  poseidon::Squeezer* squeezer_;
  PoseidonContext ctx_;
};

}  // namespace quillet::sdk::hashing
