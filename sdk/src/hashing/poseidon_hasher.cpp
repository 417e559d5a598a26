#include "sdk/src/hashing/poseidon_hasher.hpp"

#include "crypto/failure.hpp"

namespace quillet::sdk::hasher {
namespace {

constexpr uint64_t kWordsPerBlock = PoseidonContext::kBlock * FieldAccumulator::kWords;

// 2^bits as an element, for bits below 128.
Fr power_of_two(uint64_t bits) {
  return bits < 64 ? Fr::from_u128(uint64_t{1} << bits, 0) : Fr::from_u128(0, uint64_t{1} << (bits - 64));
}

}  // namespace

void FieldAccumulator::reset() {
  words_ = field::Repr{};
  placed_ = 0;
  sum_ = Fr::zero();
}

void FieldAccumulator::apply(uint64_t word, size_t index) {
  if (shift_bits_ == 64) {
    // A second word at the same index: the pending integer goes into the
    // sum first. Which indexes were used depends only on the call pattern.
    const unsigned bit = 1u << index;
    if ((placed_ & bit) != 0) {
      sum_.add_assign(Fr::from_raw(words_));
      words_ = field::Repr{};
      placed_ = 0;
    }
    words_[index] = word;
    placed_ |= bit;
    return;
  }
  Fr acc = Fr::from_u128(word, 0);
  const Fr shift = power_of_two(shift_bits_);
  for (size_t i = 0; i < index; ++i) acc.mul_assign(shift);
  sum_.add_assign(acc);
}

Fr FieldAccumulator::value() const {
  Fr v = sum_;
  if (shift_bits_ == 64) v.add_assign(Fr::from_raw(words_));
  return v;
}

Reduce::Reduce() { accumulators_[0] = FieldAccumulator(64); }

void Reduce::reduce(uint64_t word) {
  const size_t total = accumulators_.size() * FieldAccumulator::kWords;
  if (position_ == 0) {
    for (FieldAccumulator& a : accumulators_) a.reset();
  }
  size_t local = position_;
  for (FieldAccumulator& a : accumulators_) {
    if (local >= FieldAccumulator::kWords) {
      local -= FieldAccumulator::kWords;
      continue;
    }
    a.apply(word, local);
    break;
  }
  position_ += 1;
  if (position_ == total) position_ = 0;
}

void PoseidonContext::poseidon_new(uint64_t flag) {
  buf_len_ = 0;
  if (flag != 0) sponge_.emplace(poseidon::poseidon_hasher());
}

void PoseidonContext::push_limb(uint64_t word) {
  reducer_.reduce(word);
  if (reducer_.position() != 0) return;
  if (buf_len_ < kBlock) buf_[buf_len_] = reducer_.value();
  ++buf_len_;
}

uint64_t PoseidonContext::poseidon_finalize(bool last) {
  if (buf_len_ != kBlock) fail_hard("assertion failed: self.buf.len() == 8");
  if (output_.position == 0) {
    if (!sponge_) fail_hard(kUnwrapNone);
    // The canonical limbs are the little-endian byte form read as words.
    output_.words = (last ? sponge_->update_final(buf_) : sponge_->update_exact(buf_)).into_repr();
  }
  const uint64_t w = (*output_.words)[output_.position];
  output_.position = output_.position == 3 ? 0 : output_.position + 1;
  return w;
}

PoseidonHasher::PoseidonHasher() { ctx_.poseidon_new(1); }

void PoseidonHasher::finish_block() {
  for (int i = 0; i < 4; ++i) ctx_.poseidon_finalize();
  ctx_.poseidon_new(0);
  count_ = 0;
}

void PoseidonHasher::ensure_open() const {
  if (finalized_) fail_hard("assertion failed: the hasher is not finalized");
}

void PoseidonHasher::update(uint64_t word) {
  ensure_open();
  ctx_.push_limb(word);
  count_ += 1;
  if (count_ == kWordsPerBlock) finish_block();
}

std::array<uint64_t, 4> PoseidonHasher::finalize() {
  ensure_open();
  finalized_ = true;
  while (count_ % FieldAccumulator::kWords != 0) {
    ctx_.push_limb(0);
    count_ += 1;
  }
  if (count_ == kWordsPerBlock) finish_block();
  ctx_.push_limb(1);
  count_ += 1;
  for (uint64_t i = count_; i < kWordsPerBlock; ++i) ctx_.push_limb(0);
  // The hasher is spent after this block: its sponge computes only the
  // element it squeezes.
  std::array<uint64_t, 4> out{};
  out[0] = ctx_.poseidon_finalize(true);
  for (size_t i = 1; i < out.size(); ++i) out[i] = ctx_.poseidon_finalize();
  return out;
}

}  // namespace quillet::sdk::hasher
