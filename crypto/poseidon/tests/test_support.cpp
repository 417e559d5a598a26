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

}  // namespace quillet::poseidon::testing
