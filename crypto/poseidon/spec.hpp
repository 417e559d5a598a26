// The optimised form of the Poseidon parameters: round constants folded so
// that every partial round adds one constant, and the MDS matrix factorised
// into one dense transition matrix and a sparse matrix per partial round.
#pragma once

#include <array>
#include <cstddef>
#include <vector>

#include "crypto/poseidon/grain.hpp"
#include "crypto/poseidon/matrix.hpp"

namespace quillet::poseidon {

struct MDSMatrices {
  MDSMatrix mds_matrix;
  MDSMatrix transition_matrix;                   // once, before the partial rounds
  std::vector<SparseMDSMatrix> sparse_matrices;  // r_p, in the order the rounds use them
};

struct OptimizedConstants {
  std::vector<Row> start_constants;  // r_f/2 + 1 rows
  std::vector<Fr> partial_constants;  // r_p elements
  std::vector<Row> end_constants;    // r_f/2 - 1 rows
};

// The S-box x^5 as x·(x^2)^2: two squarings and one multiplication.
template <field::MulInstructions K>
inline void sbox(Fr& x) {
  Fr t = x;
  t.square_with<K>();
  t.square_with<K>();
  x.mul_assign_with<K>(t);
}

// The permutation applies the partial rounds kPartialBlock at a time, with
// one reduction per output instead of one per product (see permute). For
// partial round k at position t of its block (blocks start at multiples of
// kPartialBlock), entry m < t of block_terms[k] is the weight that round k's
// first row gives to the S-box output of the block's round m, which reaches
// it through elements 1 to 8:
//   sum over i of first_row_k[i]·first_column_(k-t+m)[i-1].
// Entries from t on are zero.
inline constexpr size_t kPartialBlock = 4;
using BlockTerms = std::array<Fr, kPartialBlock - 1>;

// Immutable once built.
struct Spec {
  size_t r_f = 0;
  MDSMatrices mds_matrices;
  OptimizedConstants constants;
  // One per sparse matrix; a Spec without them permutes round by round.
  std::vector<BlockTerms> block_terms;

  // Generates the raw parameters for r_f full (even, at least 2) and r_p
  // partial rounds and rewrites them. Costly: run once per process.
  static Spec create(size_t r_f, size_t r_p);

  // The rewrite of the raw parameters alone; `raw` holds r_f + r_p rows.
  static Spec from_raw(const RawParameters& raw, size_t r_f, size_t r_p);
};

// Constants folded through the inverse MDS matrix.
OptimizedConstants calculate_optimized_constants(size_t r_f, size_t r_p, const std::vector<Row>& constants,
                                                 const MDSMatrix& mds);

// The block terms of the sparse matrices, in the order the rounds use them.
std::vector<BlockTerms> calculate_block_terms(const std::vector<SparseMDSMatrix>& sparse);

// The transition matrix and the r_p sparse matrices whose product with the
// partial rounds' S-boxes equals r_p applications of mds.
MDSMatrices calculate_sparse_matrices(size_t r_p, const MDSMatrix& mds);

}  // namespace quillet::poseidon
