#include <gtest/gtest.h>

#include <optional>

#include "crypto/failure.hpp"
#include "crypto/poseidon/grain.hpp"
#include "crypto/poseidon/tests/test_support.hpp"

namespace quillet::poseidon {
namespace {

using testing::raw_parameters;
using testing::to_decimal;

TEST(Grain, RawParametersOfTheInstance) {
  const RawParameters& raw = raw_parameters();
  ASSERT_EQ(raw.constants.size(), 71u);
  struct Case {
    const char* name;
    Fr value;
    const char* expected;
  };
  const Case cases[] = {
      {"C[0][0]", raw.constants[0][0],
       "14715728137766105031387583973733149375806784983272780095398485311648630967927"},
      {"C[70][8]", raw.constants[70][8],
       "6760882547908259908954677726421351194118695606292587659467769365205068189814"},
      {"xs[0]", raw.xs[0], "15048058847623330125531762574070015591360965604728622270659805183796473976788"},
      {"ys[0]", raw.ys[0], "3195112451175376273575610137219275269132785305420842382318713185108804378870"},
      {"M[0][0]", raw.mds[0][0], "708458300293891745856425423607721463509413916954480913172999113933455141974"},
  };
  for (const Case& c : cases) EXPECT_EQ(to_decimal(c.value), c.expected) << c.name;
  // Rejection sampling discards exactly these many of the 838 raw samples.
  EXPECT_EQ(raw.rejected_samples, 199u);
}

TEST(Grain, CauchyMatrixEntriesInvertTheirSums) {
  const RawParameters& raw = raw_parameters();
  for (size_t i = 0; i < kWidth; ++i) {
    for (size_t j = 0; j < kWidth; ++j) EXPECT_EQ(raw.mds[i][j] * (raw.xs[i] + raw.ys[j]), Fr::one());
  }
}

TEST(Grain, RegisterDependsOnEveryParameter) {
  // Another instance description must give another stream.
  Grain a(9, 8, 63);
  Grain b(9, 8, 57);
  Grain c(5, 8, 63);
  const Fr first = a.next_field_element();
  EXPECT_NE(first, b.next_field_element());
  EXPECT_NE(first, c.next_field_element());
  EXPECT_EQ(first, raw_parameters().constants[0][0]);
}

TEST(Grain, EqualsTheBitByBitRegister) {
  // Several instance descriptions; raw bits, rejection samples and reduced
  // samples interleaved, so that samples start at every offset of the
  // register's 16-bit steps.
  struct Case {
    size_t width, r_f, r_p;
    unsigned field_bits;
  };
  for (const Case& c : {Case{9, 8, 63, 254}, Case{5, 8, 57, 254}, Case{3, 4, 1, 64}, Case{9, 8, 63, 255}}) {
    Grain fast(c.width, c.r_f, c.r_p, c.field_bits);
    testing::ReferenceGrain ref(c.width, c.r_f, c.r_p, c.field_bits);
    for (int round = 0; round < 40; ++round) {
      for (int i = 0; i < round % 5; ++i) ASSERT_EQ(fast.new_bit(), ref.new_bit()) << round;
      std::array<uint8_t, 64> wide{};
      const auto low = field::repr_to_bytes_le(ref.raw_sample());
      for (size_t i = 0; i < 32; ++i) wide[i] = low[i];
      ASSERT_EQ(fast.next_field_element_without_rejection(), Fr::from_bytes_wide(wide)) << round;
    }
  }
  // Rejection sampling on the system's instance.
  Grain fast(9, 8, 63);
  testing::ReferenceGrain ref(9, 8, 63);
  for (int i = 0; i < 100; ++i) {
    std::optional<Fr> x;
    while (!x) x = Fr::from_repr_bytes(field::repr_to_bytes_le(ref.raw_sample()));
    ASSERT_EQ(fast.next_field_element(), *x) << i;
  }
}

TEST(Grain, OddFullRoundsAreRefused) {
  EXPECT_THROW(Grain(9, 7, 63), HardFailure);
}

}  // namespace
}  // namespace quillet::poseidon
