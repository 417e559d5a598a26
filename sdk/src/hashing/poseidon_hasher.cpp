#include "sdk/src/hashing/poseidon_hasher.hpp"

#include "crypto/failure.hpp"

namespace quillet::sdk::hashing {
namespace {

constexpr uint64_t kWordsPerBlock = PoseidonContext::kBlock * PoseidonContext::kWords;

}  // namespace

void PoseidonContext::poseidon_new(uint64_t flag) {
  buf_len_ = 0;
  if (flag != 0) sponge_.emplace(poseidon::poseidon_hasher());
}

void PoseidonContext::push_limb(uint64_t word) {
  group_[group_position_] = word;
  if (++group_position_ < kWords) return;
  group_position_ = 0;
  if (buf_len_ < kBlock) buf_[buf_len_] = Fr::from_raw(group_);
  ++buf_len_;
}

uint64_t PoseidonContext::poseidon_finalize(bool last, poseidon::Squeezer* squeezer) {
  if (buf_len_ != kBlock) fail_hard("assertion failed: self.buf.len() == 8");
  if (output_position_ == 0) {
    if (!sponge_) fail_hard(kUnwrapNone);
    // The canonical limbs are the little-endian byte form read as words.
    output_ = (last ? sponge_->update_final(buf_, squeezer) : sponge_->update_exact(buf_)).into_repr();
  }
  const uint64_t w = output_[output_position_];
  output_position_ = output_position_ == 3 ? 0 : output_position_ + 1;
  return w;
}

PoseidonHasher::PoseidonHasher(poseidon::Squeezer* squeezer) : squeezer_(squeezer) { ctx_.poseidon_new(1); }

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
  while (count_ % PoseidonContext::kWords != 0) {
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
  out[0] = ctx_.poseidon_finalize(true, squeezer_);
  for (size_t i = 1; i < out.size(); ++i) out[i] = ctx_.poseidon_finalize();
  return out;
}

}  // namespace quillet::sdk::hashing
