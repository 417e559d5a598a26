#include "crypto/poseidon/grain.hpp"

#include <string>

#include "crypto/failure.hpp"

namespace quillet::poseidon {
namespace {

constexpr unsigned kRegisterBits = 80;
constexpr unsigned kWarmUpSteps = 160;

// For each byte of four raw (select, value) pairs, the first pair in bits 0
// and 1: the values of the pairs whose select bit is 1, packed from bit 0,
// in bits 0 to 3, and their count in bits 4 to 6.
constexpr std::array<uint8_t, 256> make_filter_table() {
  std::array<uint8_t, 256> t{};
  for (unsigned byte = 0; byte < 256; ++byte) {
    unsigned kept = 0;
    unsigned count = 0;
    for (unsigned pair = 0; pair < 4; ++pair) {
      if ((byte >> (2 * pair)) & 1) kept |= ((byte >> (2 * pair + 1)) & 1) << count++;
    }
    t[byte] = static_cast<uint8_t>(kept | (count << 4));
  }
  return t;
}
constexpr std::array<uint8_t, 256> kFilterTable = make_filter_table();

constexpr uint64_t reverse_bits(uint64_t x) {
  x = ((x >> 1) & 0x5555555555555555ULL) | ((x & 0x5555555555555555ULL) << 1);
  x = ((x >> 2) & 0x3333333333333333ULL) | ((x & 0x3333333333333333ULL) << 2);
  x = ((x >> 4) & 0x0f0f0f0f0f0f0f0fULL) | ((x & 0x0f0f0f0f0f0f0f0fULL) << 4);
  return __builtin_bswap64(x);
}

}  // namespace

Grain::Grain(size_t width, size_t r_f, size_t r_p, unsigned field_bits) : field_bits_(field_bits) {
  if (r_f % 2 != 0) fail_hard("assertion failed: r_f % 2 == 0");
  if (field_bits == 0 || field_bits > 256) fail_hard("assertion failed: field_bits <= 256");
  // Bit i of the register is bit i of `reg`: bit 0 is the oldest.
  field::detail::u128 reg = 0;
  unsigned length = 0;
  // Appends `value` as `width` bits, most significant first; bit 0 of the
  // register is the first bit appended.
  auto append = [&](uint64_t value, unsigned width_bits) {
    if (width_bits < 64 && (value >> width_bits) != 0) fail_hard("assertion failed: parameter fits its field");
    for (int i = static_cast<int>(width_bits) - 1; i >= 0; --i) {
      reg |= static_cast<field::detail::u128>((value >> i) & 1) << length;
      ++length;
    }
  };
  append(1, 2);  // prime field
  append(0, 4);  // S-box x^alpha
  append(field_bits, 12);
  append(width, 12);
  append(r_f, 10);
  append(r_p, 10);
  append((1ULL << 30) - 1, 30);
  if (length != kRegisterBits) fail_hard("assertion failed: self.state.len() == 80");

  // The seed words: the register itself, then 16 steps at a time. New bit k
  // of a batch reads its taps k steps later; the highest tap, 62 + 15, is
  // still one of the current 80 bits, so all 16 come from the current
  // register.
  size_t bit = 0;
  auto emit = [&](uint64_t bits, unsigned count) {
    ring_[bit / 64] |= bits << (bit % 64);
    bit += count;
  };
  emit(static_cast<uint64_t>(reg), 64);
  emit(static_cast<uint64_t>(reg >> 64), 16);
  while (bit < kSeedWords * 64) {
    const auto b = static_cast<uint64_t>((reg >> 62) ^ (reg >> 51) ^ (reg >> 38) ^ (reg >> 23) ^ (reg >> 13) ^ reg) & 0xffff;
    reg = (reg >> 16) | (static_cast<field::detail::u128>(b) << (kRegisterBits - 16));
    emit(b, 16);
  }
  // The first step's bit is y_80, bit 16 of W_1.
  next_ = 2;
  pending_ = ring_[1] >> 16;
  pending_count_ = 48;
  for (unsigned i = 0; i < kWarmUpSteps; ++i) new_bit();
}

uint64_t Grain::next_word() {
  const size_t t = next_++;
  if (t < kSeedWords) return ring_[t];
  const auto w = [&](size_t back) { return ring_[(t - back) % kRing]; };
  const uint64_t word = w(18) ^ w(29) ^ w(42) ^ w(57) ^ w(67) ^ w(80);
  ring_[t % kRing] = word;
  return word;
}

void Grain::refill() {
  if (pending_count_ <= 64) {
    pending_ |= static_cast<field::detail::u128>(next_word()) << pending_count_;
    pending_count_ += 64;
  }
}

bool Grain::new_bit() {
  refill();
  const bool b = (pending_ & 1) != 0;
  pending_ >>= 1;
  --pending_count_;
  return b;
}

std::array<uint8_t, 32> Grain::raw_sample() {
  // forward bit k is the k-th filtered bit: a pair (b1, b2) yields b2 when b1
  // is 1 and nothing otherwise.
  std::array<uint64_t, 5> forward{};
  unsigned have = 0;
  auto append = [&](uint64_t bits, unsigned count) {
    forward[have / 64] |= bits << (have % 64);
    if (have % 64 != 0) forward[have / 64 + 1] |= bits >> (64 - have % 64);
    have += count;
  };
  // Whole words of 32 pairs while their at most 32 bits cannot overshoot.
  while (have + 32 <= field_bits_) {
    refill();
    const auto w = static_cast<uint64_t>(pending_);
    pending_ >>= 64;
    pending_count_ -= 64;
    uint64_t kept = 0;
    unsigned count = 0;
    for (unsigned byte = 0; byte < 8; ++byte) {
      const unsigned f = kFilterTable[static_cast<uint8_t>(w >> (8 * byte))];
      kept |= static_cast<uint64_t>(f & 15u) << count;
      count += f >> 4;
    }
    append(kept, count);
  }
  while (have < field_bits_) {
    refill();
    if (have + 4 <= field_bits_) {
      // Four pairs at a time while a whole byte's bits cannot overshoot,
      // gathered into one append of at most 32 bits.
      uint64_t kept = 0;
      unsigned count = 0;
      while (pending_count_ >= 8 && have + count + 4 <= field_bits_ && count <= 28) {
        const unsigned f = kFilterTable[static_cast<uint8_t>(pending_)];
        pending_ >>= 8;
        pending_count_ -= 8;
        kept |= static_cast<uint64_t>(f & 15u) << count;
        count += f >> 4;
      }
      append(kept, count);
    } else {
      // The last few bits, one pair at a time.
      const uint64_t select = pending_ & 1;
      const uint64_t value = (pending_ >> 1) & 1;
      pending_ >>= 2;
      pending_count_ -= 2;
      if (select != 0) append(value, 1);
    }
  }
  // Bit (field_bits - 1 - k) of the sample is filtered bit k.
  field::Repr value{};
  for (int i = 0; i < 4; ++i) value[i] = reverse_bits(forward[3 - i]);
  value = field::detail::shift_right(value, 256 - field_bits_);
  return field::repr_to_bytes_le(value);
}

Fr Grain::next_field_element() {
  for (;;) {
    if (auto x = Fr::from_repr_bytes(raw_sample())) return *x;
    ++rejected_;
  }
}

Fr Grain::next_field_element_without_rejection() {
  const std::array<uint8_t, 32> low = raw_sample();
  std::array<uint8_t, 64> wide{};
  for (size_t i = 0; i < low.size(); ++i) wide[i] = low[i];
  return Fr::from_bytes_wide(wide);
}

RawParameters generate(size_t r_f, size_t r_p) {
  Grain grain(kWidth, r_f, r_p);
  RawParameters out;
  out.constants.resize(r_f + r_p);
  for (Row& row : out.constants) {
    for (Fr& c : row) c = grain.next_field_element();
  }
  for (Fr& x : out.xs) x = grain.next_field_element_without_rejection();
  for (Fr& y : out.ys) y = grain.next_field_element_without_rejection();
  // All 81 inverses from one inversion (Montgomery's batch trick):
  // prefix[k] is the product of the first k sums.
  constexpr size_t kCells = kWidth * kWidth;
  std::array<Fr, kCells> sums;
  std::array<Fr, kCells + 1> prefix;
  prefix[0] = Fr::one();
  for (size_t k = 0; k < kCells; ++k) {
    sums[k] = out.xs[k / kWidth] + out.ys[k % kWidth];
    prefix[k + 1] = prefix[k] * sums[k];
  }
  // The product is zero exactly when one of the sums is.
  const auto all_inv = prefix[kCells].invert();
  if (!all_inv) fail_hard("assertion failed: Cauchy denominator is invertible");
  Fr acc = *all_inv;  // the inverse of the product of the first k + 1 sums
  for (size_t k = kCells; k-- > 0;) {
    out.mds[k / kWidth][k % kWidth] = acc * prefix[k];
    acc.mul_assign(sums[k]);
  }
  out.rejected_samples = grain.rejected_samples();
  return out;
}

}  // namespace quillet::poseidon
