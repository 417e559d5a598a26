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

namespace quillet::sdk::hasher {

using field::Fr;

// Folds a fixed number of words into one field element.
class FieldAccumulator {
 public:
  static constexpr size_t kWords = 4;

  // shift_bits below 128; the value starts at zero.
  explicit FieldAccumulator(uint64_t shift_bits = 64) : shift_bits_(shift_bits) {}

  // Back to zero.
  void reset();

  // Adds word·2^(shift_bits·index) to the value; index below kWords.
  void apply(uint64_t word, size_t index);

  // The sum of the words applied since the last reset, mod p.
  Fr value() const;

 private:
  uint64_t shift_bits_;
  // With 64-bit shifts each word simply lands in limb `index` of one 256-bit
  // integer, converted once when the value is read; other shifts add up
  // element by element.
  field::Repr words_{};
  unsigned placed_ = 0;  // bit i: limb i of words_ holds a word
  Fr sum_;
};

// Turns a stream of words into elements, one per group of words.
class Reduce {
 public:
  // One field accumulator with shift_bits 64: groups of four words.
  Reduce();

  // Takes one word; a new group starts from zero.
  void reduce(uint64_t word);

  // Words taken in the current group; zero right after a group completes.
  size_t position() const { return position_; }
  // The value of the first rule: after a completed group, that group's element.
  Fr value() const { return accumulators_[0].value(); }

 private:
  size_t position_ = 0;
  std::array<FieldAccumulator, 1> accumulators_;
};

// Hands out the four limbs of the last squeezed element one at a time.
struct Generator {
  size_t position = 0;  // 0 to 3
  std::optional<std::array<uint64_t, 4>> words;
};

// A word-oriented hashing context around a Poseidon sponge.
class PoseidonContext {
 public:
  static constexpr size_t kBlock = poseidon::kRate;

  // No sponge, empty buffer, reducer and output at position 0.
  PoseidonContext() = default;

  // Empties the buffer; a non-zero flag also replaces the sponge by a fresh
  // copy of the shared prototype.
  void poseidon_new(uint64_t flag);

  // Feeds one word to the reducer; a completed group is appended to the buffer.
  void push_limb(uint64_t word);

  // The next limb of the squeezed element. At limb 0 it first absorbs the
  // buffer, which must hold exactly eight elements into a started sponge;
  // otherwise it fails hard. The buffer is left as it is. With `last`, an
  // absorption here is the sponge's last (Poseidon::update_final): it must
  // not absorb again.
  uint64_t poseidon_finalize(bool last = false);

  // Elements appended since the last poseidon_new (may exceed eight; only
  // the first eight are kept, and poseidon_finalize refuses such a buffer).
  size_t buffered() const { return buf_len_; }

 private:
  std::optional<poseidon::Poseidon> sponge_;
  Generator output_;
  std::array<Fr, kBlock> buf_{};
  size_t buf_len_ = 0;
  Reduce reducer_;
};

class PoseidonHasher {
 public:
  // A hasher over a fresh copy of the shared prototype (which is built here
  // if this is the process's first hash).
  PoseidonHasher();

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
  PoseidonContext ctx_;
};

}  // namespace quillet::sdk::hasher
