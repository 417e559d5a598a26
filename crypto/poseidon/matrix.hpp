// Square matrices over Fr, and the sparse matrices of the partial rounds.
#pragma once

#include <array>
#include <cstddef>
#include <utility>
#include <vector>

#include "crypto/failure.hpp"
#include "crypto/field/fr.hpp"

namespace quillet::poseidon {

using field::Fr;

// An n×n matrix, row-major; it acts on column vectors.
template <size_t N>
class Matrix {
 public:
  using Vector = std::array<Fr, N>;

  // The zero matrix.
  Matrix() = default;

  static Matrix identity() {
    Matrix m;
    for (size_t i = 0; i < N; ++i) m.rows_[i][i] = Fr::one();
    return m;
  }

  // From n rows of n elements each; fails hard on any other shape.
  static Matrix from_vec(const std::vector<std::vector<Fr>>& rows) {
    if (rows.size() != N) fail_hard("assertion failed: rows.len() == T");
    Matrix m;
    for (size_t i = 0; i < N; ++i) {
      if (rows[i].size() != N) fail_hard("assertion failed: row.len() == T");
      for (size_t j = 0; j < N; ++j) m.rows_[i][j] = rows[i][j];
    }
    return m;
  }

  Vector& operator[](size_t i) { return rows_[i]; }
  const Vector& operator[](size_t i) const { return rows_[i]; }

  bool operator==(const Matrix& o) const {
    bool eq = true;
    for (size_t i = 0; i < N; ++i) {
      for (size_t j = 0; j < N; ++j) eq &= rows_[i][j] == o.rows_[i][j];
    }
    return eq;
  }

  Matrix transpose() const {
    Matrix t;
    for (size_t i = 0; i < N; ++i) {
      for (size_t j = 0; j < N; ++j) t.rows_[j][i] = rows_[i][j];
    }
    return t;
  }

  // a·b: entry (i, j) is the sum over k of a[i][k]·b[k][j].
  static Matrix mul(const Matrix& a, const Matrix& b) {
    const Matrix bt = b.transpose();
    Matrix r;
    for (size_t i = 0; i < N; ++i) {
      for (size_t j = 0; j < N; ++j) r.rows_[i][j] = Fr::sum_of_products(a.rows_[i], bt.rows_[j]);
    }
    return r;
  }

  // a·v: w[i] = sum over j of a[i][j]·v[j].
  static Vector mul_vector(const Matrix& a, const Vector& v) {
    Vector w;
    for (size_t i = 0; i < N; ++i) w[i] = Fr::sum_of_products(a.rows_[i], v);
    return w;
  }

  // The inverse by Gauss-Jordan elimination without row exchanges. Fails
  // hard when a pivot is zero (which also covers every singular matrix).
  Matrix invert() const {
    std::array<std::array<Fr, 2 * N>, N> a{};
    for (size_t i = 0; i < N; ++i) {
      for (size_t j = 0; j < N; ++j) a[i][j] = rows_[i][j];
      a[i][N + i] = Fr::one();
    }
    // Once column i is cleared outside row i, later steps only subtract rows
    // that are zero in column i: every pivot keeps its value to the end, so
    // its inverse serves the final scaling too.
    std::array<Fr, N> pivot_inv;
    for (size_t i = 0; i < N; ++i) {
      pivot_inv[i] = pivot_inverse(a[i][i]);
      for (size_t j = 0; j < N; ++j) {
        if (j == i) continue;
        const Fr r = a[j][i] * pivot_inv[i];
        for (size_t k = 0; k < 2 * N; ++k) a[j][k].sub_assign(r * a[i][k]);
      }
    }
    Matrix inv;
    for (size_t i = 0; i < N; ++i) {
      for (size_t k = 0; k < N; ++k) inv.rows_[i][k] = a[i][N + k] * pivot_inv[i];
    }
    return inv;
  }

 private:
  static Fr pivot_inverse(const Fr& pivot) {
    const auto inv = pivot.invert();
    if (!inv) fail_hard("assertion failed: pivot is invertible");
    return *inv;
  }

  std::array<Vector, N> rows_{};
};

using MDSMatrix = Matrix<9>;

// The 9×9 matrix S with S[0][j] = first_row[j], S[i][0] = first_column[i-1]
// and S[i][i] = 1 for i >= 1, zero elsewhere.
struct SparseMDSMatrix {
  std::array<Fr, 9> first_row;
  std::array<Fr, 8> first_column;

  MDSMatrix to_matrix() const {
    MDSMatrix m = MDSMatrix::identity();
    for (size_t j = 0; j < 9; ++j) m[0][j] = first_row[j];
    for (size_t i = 1; i < 9; ++i) m[i][0] = first_column[i - 1];
    return m;
  }
};

// One step of the sparse factorisation: splits acc into (Mprime, S) with
// Mprime the identity bordered around acc's lower-right 8×8 block. Fails
// hard if the block is singular or S is not of the sparse form.
std::pair<MDSMatrix, SparseMDSMatrix> factorise(const MDSMatrix& acc);

}  // namespace quillet::poseidon
