#include "crypto/poseidon/spec.hpp"

#include <algorithm>

#include "crypto/failure.hpp"

namespace quillet::poseidon {

OptimizedConstants calculate_optimized_constants(size_t r_f, size_t r_p, const std::vector<Row>& constants,
                                                 const MDSMatrix& mds) {
  if (r_f < 2 || r_f % 2 != 0) fail_hard("assertion failed: r_f % 2 == 0");
  if (constants.size() != r_f + r_p) fail_hard("assertion failed: constants.len() == r_f + r_p");
  const size_t h = r_f / 2;
  const MDSMatrix inv = mds.invert();

  OptimizedConstants out;
  out.start_constants.push_back(constants[0]);
  for (size_t k = 1; k < h; ++k) out.start_constants.push_back(MDSMatrix::mul_vector(inv, constants[k]));

  // Walk the partial rounds backwards, pushing each round's constants through
  // the inverse matrix: all but element 0 move on to the round before.
  Row acc = constants[h + r_p];
  out.partial_constants.resize(r_p);
  for (size_t k = r_p; k-- > 0;) {
    Row tmp = MDSMatrix::mul_vector(inv, acc);
    out.partial_constants[k] = tmp[0];
    tmp[0] = Fr::zero();
    for (size_t i = 0; i < kWidth; ++i) tmp[i].add_assign(constants[h + k][i]);
    acc = tmp;
  }
  out.start_constants.push_back(MDSMatrix::mul_vector(inv, acc));

  for (size_t k = 0; k + 1 < h; ++k) {
    out.end_constants.push_back(MDSMatrix::mul_vector(inv, constants[h + r_p + 1 + k]));
  }
  return out;
}

MDSMatrices calculate_sparse_matrices(size_t r_p, const MDSMatrix& mds) {
  const MDSMatrix mt = mds.transpose();
  MDSMatrix acc = mt;
  MDSMatrices out;
  out.mds_matrix = mds;
  out.sparse_matrices.reserve(r_p);
  for (size_t i = 0; i < r_p; ++i) {
    auto [m_prime, sparse] = factorise(acc);
    out.sparse_matrices.push_back(sparse);
    acc = MDSMatrix::mul(mt, m_prime);
  }
  std::reverse(out.sparse_matrices.begin(), out.sparse_matrices.end());
  out.transition_matrix = acc.transpose();
  return out;
}

Spec Spec::from_raw(const RawParameters& raw, size_t r_f, size_t r_p) {
  Spec spec;
  spec.r_f = r_f;
  spec.constants = calculate_optimized_constants(r_f, r_p, raw.constants, raw.mds);
  spec.mds_matrices = calculate_sparse_matrices(r_p, raw.mds);
  return spec;
}

Spec Spec::create(size_t r_f, size_t r_p) {
  const RawParameters raw = generate(r_f, r_p);
  if (raw.constants.size() != r_f + r_p) fail_hard("assertion failed: constants.len() == r_f + r_p");
  return from_raw(raw, r_f, r_p);
}

}  // namespace quillet::poseidon
