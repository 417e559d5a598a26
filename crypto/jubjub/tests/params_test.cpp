#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "crypto/jubjub/params.hpp"
#include "crypto/jubjub/tests/test_support.hpp"

namespace quillet::jubjub {
namespace {

using testing::field_from_dec;
using testing::hard_failure_text;
using testing::to_hex;

Personalization personal(std::string_view s) {
  Personalization p{};
  for (size_t i = 0; i < p.size(); ++i) p[i] = static_cast<uint8_t>(s[i]);
  return p;
}

struct BaseCase {
  uint8_t index;
  std::string_view m;
  std::string_view personal;
  uint8_t accepted;
};

constexpr BaseCase kBases[] = {
    {0, "", "Zcash_H_", 2}, {1, "r", "Zcash_PH", 2}, {2, "", "Zcash_J_", 0},
    {3, "v", "Zcash_cv", 1}, {4, "r", "Zcash_cv", 7}, {5, "", "Zcash_G_", 1},
};

TEST(AltJubjubBn256, SigningBaseHasItsPublishedCoordinatesAndEncoding) {
  const AltJubjubBn256& params = jubjub_params();
  const auto [x, y] = params.generator(kSigningBase).to_affine();
  EXPECT_EQ(x, field_from_dec<Fr>("21237458262955047976410108958495203094252581401952870797780751629344472264183"));
  EXPECT_EQ(y, field_from_dec<Fr>("2544379904535866821506503524998632645451772693132171985463128613946158519479"));
  EXPECT_EQ(to_hex(params.generator(kSigningBase).encode()),
            "b7946c9c0e5c4b987dd5f6f515c8327506e4684a642442783f5d78ea6711a085");
  EXPECT_TRUE(Point<Unknown>::from_xy(x, y, params).has_value());
}

TEST(AltJubjubBn256, EdwardsDIsMinus168696Over168700) {
  Fr d = jubjub_params().edwards_d();
  d.mul_assign(Fr::from_u128(168700, 0));
  d.add_assign(Fr::from_u128(168696, 0));
  EXPECT_EQ(d, Fr::zero());
  // d must be a non-square for the addition law to be complete.
  EXPECT_EQ(jubjub_params().edwards_d().legendre_vartime(), -1);
}

TEST(AltJubjubBn256, EachBaseIsTheFirstSuccessfulGroupHash) {
  const AltJubjubBn256& params = jubjub_params();
  for (const BaseCase& c : kBases) {
    std::vector<uint8_t> tag(c.m.begin(), c.m.end());
    tag.push_back(0);
    for (int counter = 0; counter <= c.accepted; ++counter) {
      tag.back() = static_cast<uint8_t>(counter);
      const auto p = baby_group_hash(tag, personal(c.personal), params);
      ASSERT_EQ(p.has_value(), counter == c.accepted) << int{c.index} << " at " << counter;
      if (p) {
        EXPECT_TRUE(*p == params.generator(c.index)) << int{c.index};
      }
    }
    const std::vector<uint8_t> m(c.m.begin(), c.m.end());
    EXPECT_TRUE(find_group_hash(m, personal(c.personal), params) == params.generator(c.index));
  }
}

TEST(AltJubjubBn256, SigningBaseCounterZeroFailsOnY) {
  const std::vector<uint8_t> tag = {0};
  const auto digest = group_hash_digest(tag, personal("Zcash_G_"));
  const auto p = Point<Unknown>::read(digest, jubjub_params());
  ASSERT_FALSE(p.has_value());
  EXPECT_EQ(p.error().message, "y is not in field");
}

TEST(AltJubjubBn256, BasesAreDistinctPrimeOrderPoints) {
  const AltJubjubBn256& params = jubjub_params();
  for (uint8_t i = 0; i < kFixedBaseCount; ++i) {
    const Point<PrimeOrder>& g = params.generator(i);
    EXPECT_FALSE(g == Point<PrimeOrder>::zero());
    EXPECT_TRUE(g.mul_vartime(fs_char(), params) == Point<PrimeOrder>::zero()) << int{i};
    for (uint8_t j = i + 1; j < kFixedBaseCount; ++j) EXPECT_FALSE(g == params.generator(j));
  }
}

TEST(AltJubjubBn256, GeneratorIndexOutOfBoundsFailsHard) {
  const AltJubjubBn256& params = jubjub_params();
  EXPECT_EQ(hard_failure_text([&] { params.generator(6); }), "index out of bounds: the len is 6 but the index is 6");
  EXPECT_EQ(hard_failure_text([&] { params.generator(255); }),
            "index out of bounds: the len is 6 but the index is 255");
}

TEST(AltJubjubBn256, FreshSetEqualsTheSharedOne) {
  const AltJubjubBn256 fresh;
  EXPECT_EQ(&jubjub_params(), &jubjub_params());
  for (uint8_t i = 0; i < kFixedBaseCount; ++i) EXPECT_TRUE(fresh.generator(i) == jubjub_params().generator(i));
}

}  // namespace
}  // namespace quillet::jubjub
