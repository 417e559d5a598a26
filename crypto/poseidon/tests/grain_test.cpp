#include <gtest/gtest.h>

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

TEST(Grain, OddFullRoundsAreRefused) {
  EXPECT_THROW(Grain(9, 7, 63), HardFailure);
}

}  // namespace
}  // namespace quillet::poseidon
