#include "crypto/poseidon/matrix.hpp"

namespace quillet::poseidon {

std::pair<MDSMatrix, SparseMDSMatrix> factorise(const MDSMatrix& acc) {
  std::array<Fr, 8> w;
  std::vector<std::vector<Fr>> hat_rows(8, std::vector<Fr>(8));
  for (size_t i = 0; i < 8; ++i) {
    w[i] = acc[i + 1][0];
    for (size_t j = 0; j < 8; ++j) hat_rows[i][j] = acc[i + 1][j + 1];
  }
  const Matrix<8> m_hat = Matrix<8>::from_vec(hat_rows);
  const std::array<Fr, 8> w_hat = Matrix<8>::mul_vector(m_hat.invert(), w);

  MDSMatrix m_prime = MDSMatrix::identity();
  for (size_t i = 1; i < 9; ++i) {
    for (size_t j = 1; j < 9; ++j) m_prime[i][j] = m_hat[i - 1][j - 1];
  }

  MDSMatrix p = MDSMatrix::identity();
  p[0] = acc[0];
  for (size_t i = 1; i < 9; ++i) p[i][0] = w_hat[i - 1];
  const MDSMatrix s = p.transpose();
  for (size_t i = 1; i < 9; ++i) {
    for (size_t j = 1; j < 9; ++j) {
      const Fr expected = i == j ? Fr::one() : Fr::zero();
      if (!s[i][j].ct_eq(expected)) fail_hard("assertion failed: sparse matrix has an identity block");
    }
  }

  SparseMDSMatrix sparse;
  sparse.first_row = s[0];
  for (size_t i = 1; i < 9; ++i) sparse.first_column[i - 1] = s[i][0];
  return {m_prime, sparse};
}

}  // namespace quillet::poseidon
