// The width-9 Poseidon permutation over Fr, its one-block sponge step and the
// process-wide prototype every hash starts from.
#pragma once

#include <array>
#include <memory>

#include "crypto/poseidon/spec.hpp"

namespace quillet::poseidon {

// Element 0 is the capacity, elements 1 to 8 the rate.
struct State {
  Row words;

  // (2^64, 0, ..., 0).
  static State initial();

  void add_constants(const Row& row);
};

// The optimised permutation: equal, for every state, to four full rounds,
// r_p partial rounds and four full rounds of x^5 over the raw constants and
// the MDS matrix from which `spec` was built.
void permute(const Spec& spec, State& state);

// permute on a chosen multiplication kernel (MulInstructions::mulx_adx requires
// cpu::runs(MulInstructions::mulx_adx)); permute takes the process's.
template <field::MulInstructions K>
void permute_with(const Spec& spec, State& state);

// permute's element 1 alone: the last matrix step computes only that row,
// so the other elements of `state` are left unspecified. For a sponge's last
// absorption, of which only the first rate element is read.
Fr permute_squeeze(const Spec& spec, State& state);
template <field::MulInstructions K>
Fr permute_squeeze_with(const Spec& spec, State& state);

// The scalar permutation (permute_with on the fastest kernel), or with
// squeeze_only permute_squeeze_with's element 1; whatever the lane kernel.
void permute_scalar(const Spec& spec, State& state, bool squeeze_only);

// The partial rounds alone, in scalar code: for the lane kernels, which run
// the full rounds themselves.
void partial_rounds(const Spec& spec, State& state);

// Who computes a sponge's last squeeze when it is not computed on the spot:
// a batch that runs many of them together (DeferredSqueezes, deferred.hpp).
class Squeezer {
 public:
  // permute_squeeze(spec, state)'s element, `state` having absorbed its
  // block; the state's other elements are left unspecified.
  virtual Fr squeeze(const Spec& spec, State& state) = 0;

 protected:
  ~Squeezer() = default;
};

// A sponge over one shared, immutable Spec. Copies are cheap: they share the
// Spec and copy the State.
class Poseidon {
 public:
  // On input, `spec` is not null. Starts from State::initial().
  explicit Poseidon(std::shared_ptr<const Spec> spec);

  // Adds the block to the rate (the capacity receives nothing), permutes and
  // returns the first rate element. The state keeps the permuted value, so a
  // following call continues the same sponge.
  Fr update_exact(const std::array<Fr, kRate>& block);

  // update_exact for the sponge's last block: the same result, without the
  // rest of the permuted state, computed by `squeezer` if one is given. The
  // sponge is spent: a further update fails hard.
  Fr update_final(const std::array<Fr, kRate>& block, Squeezer* squeezer = nullptr);

  const State& state() const { return state_; }
  const Spec& spec() const { return *spec_; }

 private:
  // Adds the block to the rate, after the checks both updates share.
  void absorb(const std::array<Fr, kRate>& block);

  std::shared_ptr<const Spec> spec_;
  State state_;
  bool spent_ = false;
};

// A fresh prototype: Spec::create(8, 63) and the initial state, the same
// one-time work as poseidon_hasher()'s (which keeps its Spec immortal and
// uncounted), exposed for measurement; this one owns its Spec.
Poseidon build_poseidon_hasher();

// POSEIDON_HASHER: built from Spec::create(8, 63) on the first call, under a
// one-time initialisation that concurrent first callers wait for; read-only
// afterwards. Hashes work on copies.
const Poseidon& poseidon_hasher();

}  // namespace quillet::poseidon
