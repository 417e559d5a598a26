#include "crypto/poseidon/grain.hpp"

#include <string>

#include "crypto/failure.hpp"

namespace quillet::poseidon {
namespace {

constexpr unsigned kRegisterBits = 80;
constexpr unsigned kWarmUpSteps = 160;

}  // namespace

Grain::Grain(size_t width, size_t r_f, size_t r_p, unsigned field_bits) : field_bits_(field_bits) {
  if (r_f % 2 != 0) fail_hard("assertion failed: r_f % 2 == 0");
  if (field_bits == 0 || field_bits > 256) fail_hard("assertion failed: field_bits <= 256");
  unsigned length = 0;
  // Appends `value` as `width` bits, most significant first; bit 0 of the
  // register is the first bit appended.
  auto append = [&](uint64_t value, unsigned width_bits) {
    if (width_bits < 64 && (value >> width_bits) != 0) fail_hard("assertion failed: parameter fits its field");
    for (int i = static_cast<int>(width_bits) - 1; i >= 0; --i) {
      bits_ |= static_cast<field::detail::u128>((value >> i) & 1) << length;
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
  for (unsigned i = 0; i < kWarmUpSteps; ++i) new_bit();
}

bool Grain::new_bit() {
  const auto s = bits_;
  const bool b = static_cast<bool>(((s >> 62) ^ (s >> 51) ^ (s >> 38) ^ (s >> 23) ^ (s >> 13) ^ s) & 1);
  bits_ = (s >> 1) | (static_cast<field::detail::u128>(b) << (kRegisterBits - 1));
  return b;
}

bool Grain::filtered_bit() {
  for (;;) {
    const bool keep = new_bit();
    const bool bit = new_bit();
    if (keep) return bit;
  }
}

std::array<uint8_t, 32> Grain::raw_sample() {
  std::array<uint8_t, 32> bytes{};
  for (unsigned k = 0; k < field_bits_; ++k) {
    const unsigned pos = field_bits_ - 1 - k;
    if (filtered_bit()) bytes[pos / 8] |= static_cast<uint8_t>(1u << (pos % 8));
  }
  return bytes;
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
  for (size_t i = 0; i < kWidth; ++i) {
    for (size_t j = 0; j < kWidth; ++j) {
      const auto inv = (out.xs[i] + out.ys[j]).invert();
      if (!inv) fail_hard("assertion failed: Cauchy denominator is invertible");
      out.mds[i][j] = *inv;
    }
  }
  out.rejected_samples = grain.rejected_samples();
  return out;
}

}  // namespace quillet::poseidon
