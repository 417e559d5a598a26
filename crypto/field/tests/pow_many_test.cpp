// The batched powers and square roots against pow_public_exponent and
// sqrt_ratio_vartime, element for element, on every kernel this machine runs:
// random ratios, zeros, non-squares, -1 and elements of every 2-adic order,
// exponents of every shape, in batches that end in full, partial, one-vector
// and scalar-only blocks.
#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <vector>

#include "crypto/field/fr_algorithms.hpp"
#include "crypto/field/repr.hpp"
#include "crypto/field/pow_many.hpp"

namespace quillet::field {
namespace {

Fr random_fr(std::mt19937_64& rng) { return Fr::from_raw({rng(), rng(), rng(), rng() >> 3}); }

// Numerator and denominator pairs: a random one, then each edge in turn.
std::vector<std::pair<Fr, Fr>> ratios(std::mt19937_64& rng, size_t count) {
  const Fr g = Fr::from_montgomery_limbs(FrParams::kRootOfUnity);
  std::vector<Fr> order_powers;  // g^(2^k): 2-adic order 28 - k
  for (Fr x = g; order_powers.size() < 28; x.square()) order_powers.push_back(x);
  std::vector<std::pair<Fr, Fr>> out;
  for (size_t i = 0; out.size() < count; ++i) {
    const Fr u = random_fr(rng);
    const Fr v = random_fr(rng);
    switch (i % 8) {
      case 0:
      case 1:
        out.emplace_back(u, v);
        break;
      case 2:
        out.emplace_back(i % 16 == 2 ? Fr::zero() : u, i % 16 == 2 ? v : Fr::zero());
        break;
      case 3:  // a square times a power of g: high 2-adic orders, half of them non-squares
        out.emplace_back(u * u * v * order_powers[i / 8 % 28], v);
        break;
      case 4:
        out.emplace_back(-Fr::one(), i % 16 == 4 ? Fr::one() : v * v);
        break;
      case 5:
        out.emplace_back(order_powers[i / 8 % 28], Fr::one());
        break;
      case 6:
        out.emplace_back(u * u, v * v);
        break;
      default:
        out.emplace_back(Fr::one(), -Fr::one());
        break;
    }
  }
  return out;
}

TEST(PowMany, SquareRootsSameAsOneAtATimeOnEveryKernel) {
  std::mt19937_64 rng(19);
  for (LaneKernel k : {LaneKernel::scalar, LaneKernel::emulated, LaneKernel::ifma}) {
    if (!cpu::runs(k)) continue;
    SCOPED_TRACE(std::string(lane_kernel_name(k)));
    for (size_t count : {0, 1, 3, 4, 8, 16, 17, 24, 37, 64}) {
      if (k == LaneKernel::emulated && count > 17) continue;  // slow by design
      const auto pairs = ratios(rng, count);
      std::vector<Fr> u, v;
      for (const auto& [a, b] : pairs) {
        u.push_back(a);
        v.push_back(b);
      }
      const std::vector<std::optional<Fr>> many = sqrt_ratio_many_vartime(u, v, k);
      ASSERT_EQ(many.size(), count);
      size_t roots = 0;
      for (size_t i = 0; i < count; ++i) {
        EXPECT_EQ(many[i], sqrt_ratio_vartime(u[i], v[i])) << count << " " << i;
        roots += many[i].has_value() ? 1 : 0;
      }
      if (count >= 16) {
        EXPECT_GT(roots, count / 4);
        EXPECT_LT(roots, count);
      }
    }
  }
}

TEST(PowMany, PowersSameAsOneAtATimeOnEveryKernel) {
  std::mt19937_64 rng(20);
  const FrRepr p = Fr::kModulus;
  const std::vector<FrRepr> exponents = {
      {},
      {1, 0, 0, 0},
      {31, 0, 0, 0},
      {32, 0, 0, 0},
      {0, 0, 0, uint64_t{1} << 63},
      {~0ULL, ~0ULL, ~0ULL, ~0ULL},
      detail::shift_right(detail::sub_word(p, 1), 3),
      detail::sub_word(p, 2),
      {rng(), rng(), rng(), rng()},
  };
  std::vector<Fr> x = {Fr::zero(), Fr::one(), -Fr::one(), Fr::from_montgomery_limbs(FrParams::kRootOfUnity)};
  while (x.size() < 37) x.push_back(random_fr(rng));
  for (LaneKernel k : {LaneKernel::scalar, LaneKernel::emulated, LaneKernel::ifma}) {
    if (!cpu::runs(k)) continue;
    SCOPED_TRACE(std::string(lane_kernel_name(k)));
    for (const FrRepr& e : exponents) {
      for (size_t count : {size_t{3}, size_t{8}, size_t{16}, size_t{37}}) {
        if (k == LaneKernel::emulated && count > 16) continue;  // slow by design
        const std::vector<Fr> many = pow_many_vartime(std::span(x).first(count), e, k);
        ASSERT_EQ(many.size(), count);
        for (size_t i = 0; i < count; ++i) EXPECT_EQ(many[i], pow_public_exponent(x[i], e)) << repr_to_hex(e) << " " << i;
      }
    }
  }
  // The same powers a few products at a time, whatever the pace.
  for (const FrRepr& e : exponents) {
    const WalkExponent walk_e(e);
    for (size_t i = 0; i < 8; ++i) {
      for (unsigned pace : {0u, 1u, 2u, 7u}) {
        PowerWalk walk(x[i], walk_e);
        for (int n = 0; n < 40; ++n) walk.advance(pace);
        EXPECT_EQ(walk.result(), pow_public_exponent(x[i], e)) << repr_to_hex(e) << " " << i << " " << pace;
      }
    }
  }
}

}  // namespace
}  // namespace quillet::field
