#include "crypto/poseidon/spec.hpp"

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
  // The step-by-step factorisation (factorise applied to acc, then
  // acc = Mt·Mprime, r_p times, from acc = Mt = transpose(mds)) has a closed
  // form. With H the lower-right 8×8 block of Mt, c = Mt[1..8][0] and
  // r = Mt[0][1..8], step k (from 0) sees
  //   acc[0][0] = Mt[0][0], acc[1..8][0] = c, block = H^(k+1),
  //   acc[0][1..8] = r·H^k,
  // so its sparse matrix has first_row (Mt[0][0], H^-(k+1)·c) and
  // first_column r·H^k, and the final acc has block H^(r_p+1) and row 0
  // (Mt[0][0], r·H^r_p). One 8×8 inversion replaces r_p of them.
  const MDSMatrix mt = mds.transpose();
  Matrix<8> h;
  std::array<Fr, 8> c;
  std::array<Fr, 8> r;
  for (size_t i = 0; i < 8; ++i) {
    c[i] = mt[i + 1][0];
    r[i] = mt[0][i + 1];
    for (size_t j = 0; j < 8; ++j) h[i][j] = mt[i + 1][j + 1];
  }
  const Matrix<8> h_inv = h.invert();
  const Matrix<8> h_t = h.transpose();  // r·H as H^T·r

  MDSMatrices out;
  out.mds_matrix = mds;
  out.sparse_matrices.resize(r_p);
  std::array<Fr, 8> w_hat = c;
  std::array<Fr, 8> row = r;
  for (size_t k = 0; k < r_p; ++k) {
    w_hat = Matrix<8>::mul_vector(h_inv, w_hat);
    // The list runs in the order the partial rounds use the matrices: the
    // step made last comes first.
    SparseMDSMatrix& s = out.sparse_matrices[r_p - 1 - k];
    s.first_row[0] = mt[0][0];
    for (size_t i = 0; i < 8; ++i) s.first_row[i + 1] = w_hat[i];
    s.first_column = row;
    row = Matrix<8>::mul_vector(h_t, row);
  }

  // H^(r_p+1) by square-and-multiply.
  const size_t e = r_p + 1;
  size_t bit = 1;
  while (bit <= e / 2) bit <<= 1;  // the highest set bit of e
  Matrix<8> power = h;
  for (bit >>= 1; bit != 0; bit >>= 1) {
    power = Matrix<8>::mul(power, power);
    if ((e & bit) != 0) power = Matrix<8>::mul(power, h);
  }
  MDSMatrix acc;
  acc[0][0] = mt[0][0];
  for (size_t i = 0; i < 8; ++i) {
    acc[i + 1][0] = c[i];
    acc[0][i + 1] = row[i];
    for (size_t j = 0; j < 8; ++j) acc[i + 1][j + 1] = power[i][j];
  }
  out.transition_matrix = acc.transpose();
  return out;
}

std::vector<BlockTerms> calculate_block_terms(const std::vector<SparseMDSMatrix>& sparse) {
  std::vector<BlockTerms> out(sparse.size());
  for (size_t k = 0; k < sparse.size(); ++k) {
    const size_t start = k - k % kPartialBlock;
    for (size_t m = start; m < k; ++m) {
      std::array<Fr, 8> row;
      for (size_t i = 0; i < 8; ++i) row[i] = sparse[k].first_row[i + 1];
      out[k][m - start] = Fr::sum_of_products(row, sparse[m].first_column);
    }
  }
  return out;
}

Spec Spec::from_raw(const RawParameters& raw, size_t r_f, size_t r_p) {
  Spec spec;
  spec.r_f = r_f;
  spec.constants = calculate_optimized_constants(r_f, r_p, raw.constants, raw.mds);
  spec.mds_matrices = calculate_sparse_matrices(r_p, raw.mds);
  spec.block_terms = calculate_block_terms(spec.mds_matrices.sparse_matrices);
  return spec;
}

Spec Spec::create(size_t r_f, size_t r_p) {
  const RawParameters raw = generate(r_f, r_p);
  if (raw.constants.size() != r_f + r_p) fail_hard("assertion failed: constants.len() == r_f + r_p");
  return from_raw(raw, r_f, r_p);
}

}  // namespace quillet::poseidon
