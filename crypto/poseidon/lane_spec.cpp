#include "crypto/poseidon/lane_spec.hpp"

#include <algorithm>

#include "crypto/failure.hpp"
#include "crypto/immortal.hpp"
#include "crypto/poseidon/poseidon.hpp"

namespace quillet::poseidon {
namespace {

using field::lanes52::kLanes, field::lanes52::kLimbs, field::lanes52::Limbs, field::lanes52::split52;

// x·2^(256 + doublings) mod p as 52-bit limbs; with four doublings, x in the
// lanes' form.
Limbs scaled_form(Fr x, int doublings) {
  for (int i = 0; i < doublings; ++i) x.double_();
  return split52(x.montgomery_limbs());
}

Limbs lane_form(const Fr& x) { return scaled_form(x, 4); }

// Elements 1 to 8 of `row` across the lanes, each scaled as scaled_form.
lanes52::LaneVector lane_vector(const Row& row, int doublings) {
  lanes52::LaneVector out{};
  for (size_t i = 1; i < kWidth; ++i) {
    const Limbs l = scaled_form(row[i], doublings);
    for (size_t k = 0; k < kLimbs; ++k) out.v[k][i - 1] = l.v[k];
  }
  return out;
}

// m as a one-state matrix step whose lanes output the 2^260 form
// (lanes_out) or the 2^256 form. Inputs: element 0 in the 2^256 form,
// elements 1 to 8 in the 2^260 form.
lanes52::OneStateMatrix one_state_matrix(const MDSMatrix& m, bool lanes_out) {
  lanes52::OneStateMatrix out{};
  const int shift = lanes_out ? 4 : 0;
  for (size_t j = 0; j < kWidth; ++j) {
    Row column;
    for (size_t i = 0; i < kWidth; ++i) column[i] = m[i][j];
    out.columns[j] = lane_vector(column, j == 0 ? shift + 4 : shift);
  }
  const Fr sixteenth = *Fr::from_u128(16, 0).invert();
  put_words(out.row0[0], m[0][0]);
  for (size_t j = 1; j < kWidth; ++j) put_words(out.row0[j], m[0][j] * sixteenth);
  return out;
}

// The one-state kernel's block of partial rounds from round `start`.
lanes52::OneStateBlock one_state_block(const std::vector<SparseMDSMatrix>& sparse, size_t start) {
  lanes52::OneStateBlock out{};
  for (size_t t = 0; t < kLanes && start + t < sparse.size(); ++t) {
    const SparseMDSMatrix& m = sparse[start + t];
    for (size_t i = 1; i < kWidth; ++i) {
      const Limbs row = scaled_form(m.first_row[i], 0);
      const Limbs column = scaled_form(m.first_column[i - 1], 8);
      for (size_t l = 0; l < kLimbs; ++l) {
        out.rows[i - 1].v[l][t] = row.v[l];
        out.columns[t].v[l][i - 1] = column.v[l];
      }
    }
  }
  return out;
}

}  // namespace

LaneSpec::LaneSpec(const Spec& spec) : spec_(&spec) {
  const auto& k = spec.constants;
  const auto& m = spec.mds_matrices;
  const size_t rp = std::min(k.partial_constants.size(), m.sparse_matrices.size());
  static_assert(kPartialBlock >= 1 && kPartialBlock <= 8, "the lane kernel keeps up to eight pending rounds");
  if (spec.r_f < 2 || spec.r_f % 2 != 0 || k.start_constants.size() != spec.r_f / 2 + 1 ||
      k.end_constants.size() != spec.r_f / 2 - 1 || spec.block_terms.size() < rp) {
    fail_hard("assertion failed: the lane kernels need a complete Spec with block terms");
  }
  constexpr size_t kTerms = kPartialBlock - 1;
  storage_.reserve((spec.r_f + 18) * kWidth + rp * (1 + kWidth + (kWidth - 1) + kTerms));
  auto put_row = [&](const Row& row) {
    for (const Fr& x : row) storage_.push_back(lane_form(x));
  };
  // Offsets first: the storage is filled before the view points into it.
  const size_t start = storage_.size();
  for (const Row& row : k.start_constants) put_row(row);
  const size_t end = storage_.size();
  for (const Row& row : k.end_constants) put_row(row);
  const size_t mds = storage_.size();
  for (size_t i = 0; i < kWidth; ++i) put_row(m.mds_matrix[i]);
  const size_t transition = storage_.size();
  for (size_t i = 0; i < kWidth; ++i) put_row(m.transition_matrix[i]);
  const size_t partial = storage_.size();
  for (size_t r = 0; r < rp; ++r) storage_.push_back(lane_form(k.partial_constants[r]));
  const size_t first_row = storage_.size();
  for (size_t r = 0; r < rp; ++r) put_row(m.sparse_matrices[r].first_row);
  const size_t first_column = storage_.size();
  for (size_t r = 0; r < rp; ++r) {
    for (const Fr& x : m.sparse_matrices[r].first_column) storage_.push_back(lane_form(x));
  }
  const size_t block_terms = storage_.size();
  for (size_t r = 0; r < rp; ++r) {
    for (const Fr& x : spec.block_terms[r]) storage_.push_back(lane_form(x));
  }

  // The one-state kernel's constants.
  lane_vectors_.reserve(k.start_constants.size() + k.end_constants.size());
  scalar_words_.reserve(4 * (k.start_constants.size() + k.end_constants.size()));
  for (const Row& row : k.start_constants) lane_vectors_.push_back(lane_vector(row, 4));
  for (const Row& row : k.end_constants) lane_vectors_.push_back(lane_vector(row, 4));
  for (const Row& row : k.start_constants) {
    for (uint64_t w : row[0].montgomery_limbs()) scalar_words_.push_back(w);
  }
  for (const Row& row : k.end_constants) {
    for (uint64_t w : row[0].montgomery_limbs()) scalar_words_.push_back(w);
  }
  matrices_.push_back(one_state_matrix(m.mds_matrix, true));
  matrices_.push_back(one_state_matrix(m.mds_matrix, false));
  matrices_.push_back(one_state_matrix(m.transition_matrix, true));
  for (size_t r = 0; r < rp; r += kLanes) blocks_.push_back(one_state_block(m.sparse_matrices, r));
  one_state_terms_.resize(rp);
  for (size_t r = 0; r < rp; ++r) {
    std::array<Fr, 8> row;
    for (size_t i = 0; i < 8; ++i) row[i] = m.sparse_matrices[r].first_row[i + 1];
    for (size_t j = r - r % kLanes; j < r; ++j) {
      one_state_terms_[r][j % kLanes] = Fr::sum_of_products(row, m.sparse_matrices[j].first_column);
    }
  }
  lanes52::OneStateConstants& o = one_state_;
  const auto* words = reinterpret_cast<const uint64_t(*)[4]>(scalar_words_.data());
  o.start0 = words;
  o.end0 = words + k.start_constants.size();
  o.start = lane_vectors_.data();
  o.end = lane_vectors_.data() + k.start_constants.size();
  o.mds = &matrices_[0];
  o.mds_out = &matrices_[1];
  o.transition = &matrices_[2];
  o.blocks = blocks_.data();
  o.owner = this;

  lanes52::Constants& c = constants_;
  c.modulus = split52(Fr::kModulus);
  field::Repr twice{};
  field::detail::add_carry(twice, Fr::kModulus, Fr::kModulus);
  c.twice_modulus = split52(twice);
  c.neg_inverse = Fr::kInv & ((uint64_t{1} << 52) - 1);
  c.to_lanes = split52(field::detail::pow2_mod(264, Fr::kModulus));
  c.from_lanes = split52(Fr::kR);
  c.half_full_rounds = spec.r_f / 2;
  c.partial_rounds = rp;
  c.partial_block = kPartialBlock;
  c.start = storage_.data() + start;
  c.end = storage_.data() + end;
  c.mds = storage_.data() + mds;
  c.transition = storage_.data() + transition;
  c.partial_constants = storage_.data() + partial;
  c.first_row = storage_.data() + first_row;
  c.first_column = storage_.data() + first_column;
  c.block_terms = storage_.data() + block_terms;
}

const LaneSpec& hasher_lane_spec() {
  static constinit Immortal<LaneSpec> instance;
  return instance.get([] { return LaneSpec(poseidon_hasher().spec()); });
}

}  // namespace quillet::poseidon
