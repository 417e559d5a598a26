// A Spec's constants in the form the lane kernels read (lanes52.hpp).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "crypto/poseidon/lanes52.hpp"
#include "crypto/poseidon/spec.hpp"

namespace quillet::poseidon {

// The four Montgomery words of x, as the lane kernels store an element
// beside its 52-bit limbs, and back.
inline void put_words(uint64_t* out, const Fr& x) {
  for (size_t i = 0; i < 4; ++i) out[i] = x.montgomery_limbs()[i];
}
inline Fr from_words(const uint64_t* w) { return Fr::from_montgomery_limbs({w[0], w[1], w[2], w[3]}); }

// A Spec's constants in the lane kernels' form. Keeps a reference to the
// Spec, which must outlive it. Immutable once built.
class LaneSpec {
 public:
  // On input the Spec has block terms (Spec::create makes them).
  explicit LaneSpec(const Spec& spec);
  // The view points into the storage: a copy would point into the original.
  LaneSpec(const LaneSpec&) = delete;
  LaneSpec& operator=(const LaneSpec&) = delete;
  // The one-state view also points at the object itself: no moves either
  // (a build returning the prvalue needs none).
  LaneSpec(LaneSpec&&) = delete;

  const Spec& spec() const { return *spec_; }
  const lanes52::Constants& constants() const { return constants_; }
  const lanes52::OneStateConstants& one_state() const { return one_state_; }
  // For partial round k at position t of its block of kLanes rounds, entry
  // m < t: the weight its first row gives to the block's round m S-box
  // output (Spec::block_terms for blocks of kLanes).
  using OneStateTerms = std::array<Fr, lanes52::kLanes - 1>;
  const std::vector<OneStateTerms>& one_state_terms() const { return one_state_terms_; }

 private:
  const Spec* spec_;
  std::vector<lanes52::Limbs> storage_;
  std::vector<lanes52::LaneVector> lane_vectors_;
  std::vector<lanes52::OneStateMatrix> matrices_;
  std::vector<uint64_t> scalar_words_;
  std::vector<lanes52::OneStateBlock> blocks_;
  std::vector<OneStateTerms> one_state_terms_;
  lanes52::Constants constants_;
  lanes52::OneStateConstants one_state_;
};

// The LaneSpec of poseidon_hasher()'s Spec, built once like it and never
// destroyed.
const LaneSpec& hasher_lane_spec();

}  // namespace quillet::poseidon
