#include "sdk/src/hasher/poseidon.hpp"

#include "crypto/failure.hpp"

namespace quillet::sdk::hasher {
namespace {

constexpr uint64_t kWordsPerBlock = PoseidonContext::kBlock * FieldAccumulator::kWords;

// 2^bits as an element, for bits below 128.
Fr power_of_two(uint64_t bits) {
  return bits < 64 ? Fr::from_u128(uint64_t{1} << bits, 0) : Fr::from_u128(0, uint64_t{1} << (bits - 64));
}

}  // namespace

void FieldAccumulator::apply(uint64_t word, size_t index) {
  if (shift_bits == 64) {
    // word·2^(64·index) is the word placed at limb `index`: one conversion.
    field::Repr placed{};
    placed[index] = word;
    value.add_assign(Fr::from_raw(placed));
    return;
  }
  Fr acc = Fr::from_u128(word, 0);
  const Fr shift = power_of_two(shift_bits);
  for (size_t i = 0; i < index; ++i) acc.mul_assign(shift);
  value.add_assign(acc);
}

Reduce::Reduce() { accumulators_[0] = FieldAccumulator{Fr::zero(), 64}; }

void Reduce::reduce(uint64_t word) {
  const size_t total = accumulators_.size() * FieldAccumulator::kWords;
  if (position_ == 0) {
    for (FieldAccumulator& a : accumulators_) a.value = Fr::zero();
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

uint64_t PoseidonContext::poseidon_finalize() {
  if (buf_len_ != kBlock) fail_hard("assertion failed: self.buf.len() == 8");
  if (output_.position == 0) {
    if (!sponge_) fail_hard(kUnwrapNone);
    const Fr r = sponge_->update_exact(buf_);
    const std::array<uint8_t, 32> bytes = r.to_repr_bytes();
    std::array<uint64_t, 4> words{};
    for (size_t i = 0; i < bytes.size(); ++i) words[i / 8] |= static_cast<uint64_t>(bytes[i]) << (8 * (i % 8));
    output_.words = words;
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
  std::array<uint64_t, 4> out{};
  for (uint64_t& w : out) w = ctx_.poseidon_finalize();
  return out;
}

}  // namespace quillet::sdk::hasher
