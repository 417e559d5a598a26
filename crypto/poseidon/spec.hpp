// The optimised form of the Poseidon parameters: round constants folded so
// that every partial round adds one constant, and the MDS matrix factorised
// into one dense transition matrix and a sparse matrix per partial round.
#pragma once

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

// Immutable once built.
struct Spec {
  size_t r_f = 0;
  MDSMatrices mds_matrices;
  OptimizedConstants constants;

  // Generates the raw parameters for r_f full (even, at least 2) and r_p
  // partial rounds and rewrites them. Costly: run once per process.
  static Spec create(size_t r_f, size_t r_p);

  // The rewrite of the raw parameters alone; `raw` holds r_f + r_p rows.
  static Spec from_raw(const RawParameters& raw, size_t r_f, size_t r_p);
};

// Constants folded through the inverse MDS matrix.
OptimizedConstants calculate_optimized_constants(size_t r_f, size_t r_p, const std::vector<Row>& constants,
                                                 const MDSMatrix& mds);

// The transition matrix and the r_p sparse matrices whose product with the
// partial rounds' S-boxes equals r_p applications of mds.
MDSMatrices calculate_sparse_matrices(size_t r_p, const MDSMatrix& mds);

}  // namespace quillet::poseidon
