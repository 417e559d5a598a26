// The Fr algorithms against the field's plain operations: the safegcd
// inversion against Fermat's, and the square root of a ratio against the
// Legendre symbol and squaring, on edge and random values.
#include "crypto/field/fr_algorithms.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <vector>

#include "crypto/field/fr.hpp"
#include "crypto/field/repr.hpp"

namespace quillet::field {
namespace {

// Any 256-bit pattern taken as stored limbs (reduced as from_raw reduces).
Fr random_fr(std::mt19937_64& rng) { return Fr::from_raw({rng(), rng(), rng(), rng()}); }

TEST(FieldHelpers, InvertMatchesFermat) {
  // Stored limbs at the edges of the divsteps' ranges, then random ones.
  const FrRepr r = Fr::kModulus;
  std::vector<FrRepr> stored = {{1, 0, 0, 0},
                                {2, 0, 0, 0},
                                {r[0] - 1, r[1], r[2], r[3]},
                                {r[0] - 2, r[1], r[2], r[3]},
                                {0, 0, 0, uint64_t{1} << 61},
                                {~0ULL, ~0ULL, ~0ULL, r[3] - 1},
                                {0x3fffffffffffffffULL, 0, 0, 0},
                                {0, 0x4000000000000000ULL, 0, 0},
                                Fr::kR,
                                Fr::kR2};
  std::mt19937_64 rng(14);
  for (int i = 0; i < 500; ++i) stored.push_back(random_fr(rng).montgomery_limbs());
  EXPECT_EQ(invert_safegcd(Fr::zero()), Fr::zero());
  for (const FrRepr& limbs : stored) {
    const Fr x = Fr::from_montgomery_limbs(limbs);
    EXPECT_EQ(invert_safegcd(x), *x.invert()) << repr_to_hex(limbs);
    EXPECT_EQ(invert_safegcd(x) * x, Fr::one());
  }
}

TEST(FieldHelpers, InvertAndSquareRootOfRatios) {
  std::mt19937_64 rng(6);
  EXPECT_EQ(invert_safegcd(Fr::zero()), Fr::zero());
  EXPECT_FALSE(sqrt_ratio_vartime(Fr::one(), Fr::zero()).has_value());
  EXPECT_EQ(sqrt_ratio_vartime(Fr::zero(), Fr::one()), Fr::zero());
  int squares = 0;
  for (int i = 0; i < 300; ++i) {
    const Fr u = random_fr(rng);
    const Fr v = random_fr(rng);
    EXPECT_EQ(invert_safegcd(v), *v.inverse_vartime());
    const std::optional<Fr> root = sqrt_ratio_vartime(u, v);
    const Fr ratio = u * *v.inverse_vartime();
    ASSERT_EQ(root.has_value(), ratio.legendre_vartime() == 1);
    if (root) {
      EXPECT_EQ(*root * *root * v, u);
      ++squares;
    }
    // Squares of every 2-adic order, roots of unity among them.
    const Fr w = u * u;
    const std::optional<Fr> r2 = sqrt_ratio_vartime(w, Fr::one());
    ASSERT_TRUE(r2.has_value());
    EXPECT_EQ(*r2 * *r2, w);
  }
  EXPECT_GT(squares, 100);
  const Fr root_of_unity = Fr::from_montgomery_limbs(FrParams::kRootOfUnity);
  Fr power = root_of_unity;
  for (int k = 0; k < 28; ++k) {
    const std::optional<Fr> r = sqrt_ratio_vartime(power, Fr::one());
    EXPECT_EQ(r.has_value(), k > 0) << k;  // the primitive 2^28-th root is not a square
    if (r) {
      EXPECT_EQ(*r * *r, power);
    }
    power.square();
  }
}

}  // namespace
}  // namespace quillet::field
