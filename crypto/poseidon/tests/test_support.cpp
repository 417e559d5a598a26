#include "crypto/poseidon/tests/test_support.hpp"

#include <gtest/gtest.h>

namespace quillet::poseidon::testing {

std::string to_decimal(const Fr& x) {
  field::Repr v = x.into_repr();
  if (v == field::Repr{}) return "0";
  std::string out;
  while (v != field::Repr{}) {
    field::detail::u128 rem = 0;
    for (int i = 3; i >= 0; --i) {
      const field::detail::u128 cur = (rem << 64) | v[i];
      v[i] = static_cast<uint64_t>(cur / 10);
      rem = cur % 10;
    }
    out.insert(out.begin(), static_cast<char>('0' + rem));
  }
  return out;
}

Fr from_decimal(const char* text) {
  const auto x = Fr::from_str_vartime(text);
  EXPECT_TRUE(x.has_value()) << text;
  return x.value_or(Fr::zero());
}

const RawParameters& raw_parameters() {
  static const RawParameters raw = generate(8, 63);
  return raw;
}

const Spec& instance_spec() {
  static const Spec spec = Spec::from_raw(raw_parameters(), 8, 63);
  return spec;
}

void plain_permute(const RawParameters& raw, State& state) {
  const size_t rounds = raw.constants.size();
  for (size_t r = 0; r < rounds; ++r) {
    state.add_constants(raw.constants[r]);
    const bool full = r < 4 || r >= rounds - 4;
    for (size_t i = 0; i < (full ? kWidth : 1); ++i) {
      const Fr x = state.words[i];
      state.words[i] = x * x * x * x * x;
    }
    state.words = MDSMatrix::mul_vector(raw.mds, state.words);
  }
}

MDSMatrices reference_sparse_matrices(size_t r_p, const MDSMatrix& mds) {
  const MDSMatrix mt = mds.transpose();
  MDSMatrix acc = mt;
  MDSMatrices out;
  out.mds_matrix = mds;
  for (size_t i = 0; i < r_p; ++i) {
    auto [m_prime, sparse] = factorise(acc);
    out.sparse_matrices.insert(out.sparse_matrices.begin(), sparse);
    acc = MDSMatrix::mul(mt, m_prime);
  }
  out.transition_matrix = acc.transpose();
  return out;
}

ReferenceGrain::ReferenceGrain(size_t width, size_t r_f, size_t r_p, unsigned field_bits)
    : field_bits_(field_bits) {
  auto append = [&](uint64_t value, int bits) {
    for (int i = bits - 1; i >= 0; --i) state_.push_back(((value >> i) & 1) != 0);
  };
  append(1, 2);
  append(0, 4);
  append(field_bits, 12);
  append(width, 12);
  append(r_f, 10);
  append(r_p, 10);
  append((1ULL << 30) - 1, 30);
  for (int i = 0; i < 160; ++i) new_bit();
}

bool ReferenceGrain::new_bit() {
  const bool b = state_[62] ^ state_[51] ^ state_[38] ^ state_[23] ^ state_[13] ^ state_[0];
  state_.erase(state_.begin());
  state_.push_back(b);
  return b;
}

field::Repr ReferenceGrain::raw_sample() {
  field::Repr v{};
  for (unsigned k = 0; k < field_bits_; ++k) {
    bool bit = false;
    for (;;) {
      const bool keep = new_bit();
      bit = new_bit();
      if (keep) break;
    }
    const unsigned pos = field_bits_ - 1 - k;
    if (bit) v[pos / 64] |= uint64_t{1} << (pos % 64);
  }
  return v;
}

}  // namespace quillet::poseidon::testing
