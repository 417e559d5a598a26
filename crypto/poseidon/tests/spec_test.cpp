#include <gtest/gtest.h>

#include <random>

#include "crypto/failure.hpp"
#include "crypto/poseidon/spec.hpp"
#include "crypto/poseidon/tests/test_support.hpp"

namespace quillet::poseidon {
namespace {

using testing::instance_spec;
using testing::raw_parameters;
using testing::to_decimal;

TEST(Matrix, InverseAndProducts) {
  const MDSMatrix& m = raw_parameters().mds;
  const MDSMatrix inv = m.invert();
  EXPECT_EQ(MDSMatrix::mul(m, inv), MDSMatrix::identity());
  EXPECT_EQ(MDSMatrix::mul(inv, m), MDSMatrix::identity());
  EXPECT_EQ(m.transpose().transpose(), m);
  EXPECT_EQ(m.transpose()[2][5], m[5][2]);

  std::mt19937_64 rng(5);
  Row v;
  for (Fr& x : v) x = Fr::from_u128(rng(), rng());
  EXPECT_EQ(MDSMatrix::mul_vector(inv, MDSMatrix::mul_vector(m, v)), v);
  // mul_vector agrees with mul on a one-column matrix.
  MDSMatrix col;
  for (size_t i = 0; i < kWidth; ++i) col[i][0] = v[i];
  const Row w = MDSMatrix::mul_vector(m, v);
  const MDSMatrix prod = MDSMatrix::mul(m, col);
  for (size_t i = 0; i < kWidth; ++i) EXPECT_EQ(prod[i][0], w[i]);
}

TEST(Matrix, RefusedShapesAndPivots) {
  EXPECT_THROW(Matrix<2>::from_vec({{Fr::one(), Fr::one()}}), HardFailure);
  EXPECT_THROW(Matrix<2>::from_vec({{Fr::one(), Fr::one()}, {Fr::one()}}), HardFailure);
  EXPECT_THROW(Matrix<2>().invert(), HardFailure);
  // Invertible, but the elimination does not exchange rows.
  EXPECT_THROW(Matrix<2>::from_vec({{Fr::zero(), Fr::one()}, {Fr::one(), Fr::zero()}}).invert(), HardFailure);
}

TEST(Spec, ShapesAndStructuralIdentities) {
  const Spec& spec = instance_spec();
  const RawParameters& raw = raw_parameters();
  EXPECT_EQ(spec.r_f, 8u);
  ASSERT_EQ(spec.constants.start_constants.size(), 5u);
  ASSERT_EQ(spec.constants.partial_constants.size(), 63u);
  ASSERT_EQ(spec.constants.end_constants.size(), 3u);
  ASSERT_EQ(spec.mds_matrices.sparse_matrices.size(), 63u);
  EXPECT_EQ(spec.constants.start_constants[0], raw.constants[0]);
  EXPECT_EQ(spec.mds_matrices.mds_matrix, raw.mds);
  for (const SparseMDSMatrix& s : spec.mds_matrices.sparse_matrices) EXPECT_EQ(s.first_row[0], raw.mds[0][0]);
  EXPECT_EQ(spec.mds_matrices.transition_matrix[0], raw.mds[0]);
  // The transition matrix followed by the sparse matrices is r_p plain MDS steps.
  MDSMatrix product = spec.mds_matrices.transition_matrix;
  MDSMatrix power = raw.mds;
  for (const SparseMDSMatrix& s : spec.mds_matrices.sparse_matrices) {
    product = MDSMatrix::mul(s.to_matrix(), product);
    power = MDSMatrix::mul(raw.mds, power);
  }
  EXPECT_EQ(product, power);
}

TEST(Spec, KnownOptimisedValues) {
  const Spec& spec = instance_spec();
  const auto& c = spec.constants;
  const auto& m = spec.mds_matrices;
  struct Case {
    const char* name;
    Fr value;
    const char* expected;
  };
  const Case cases[] = {
      {"start_constants[1][0]", c.start_constants[1][0],
       "11780456198558782572610539492297653684316615511414482310336258909247990459416"},
      {"start_constants[4][0]", c.start_constants[4][0],
       "21695525913908910206330295173447804988774158076193544971910881977197744898046"},
      {"partial_constants[0]", c.partial_constants[0],
       "18012135895555930536944616432240068461522337868891451443471981671782039864182"},
      {"partial_constants[62]", c.partial_constants[62],
       "13146415691120479860976117284777676189397262160437732998772490491171184146661"},
      {"end_constants[0][0]", c.end_constants[0][0],
       "5645145829030338450196062666857005940395105408143690616924257471220954467041"},
      {"sparse_matrices[0].first_column[0]", m.sparse_matrices[0].first_column[0],
       "9912718281831214028971669318551955931380391283853329273384463785744511549623"},
      {"transition_matrix[1][1]", m.transition_matrix[1][1],
       "1739241146470184391733348241765630726223090738057028604336245542891367839190"},
  };
  for (const Case& k : cases) EXPECT_EQ(to_decimal(k.value), k.expected) << k.name;
}

TEST(Spec, ClosedFormFactorisationEqualsStepByStep) {
  const MDSMatrix& m = raw_parameters().mds;
  for (size_t r_p : {0, 1, 2, 5, 63}) {
    const MDSMatrices fast = calculate_sparse_matrices(r_p, m);
    const MDSMatrices ref = testing::reference_sparse_matrices(r_p, m);
    EXPECT_EQ(fast.mds_matrix, ref.mds_matrix);
    EXPECT_EQ(fast.transition_matrix, ref.transition_matrix) << r_p;
    ASSERT_EQ(fast.sparse_matrices.size(), ref.sparse_matrices.size());
    for (size_t k = 0; k < r_p; ++k) {
      EXPECT_EQ(fast.sparse_matrices[k].first_row, ref.sparse_matrices[k].first_row) << r_p << " " << k;
      EXPECT_EQ(fast.sparse_matrices[k].first_column, ref.sparse_matrices[k].first_column) << r_p << " " << k;
    }
  }
}

TEST(Spec, RawRowCountIsChecked) {
  RawParameters raw = raw_parameters();
  raw.constants.pop_back();
  EXPECT_THROW(Spec::from_raw(raw, 8, 63), HardFailure);
}

}  // namespace
}  // namespace quillet::poseidon
