#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <vector>

#include "crypto/failure.hpp"
#include "crypto/poseidon/poseidon.hpp"
#include "crypto/poseidon/tests/test_support.hpp"

namespace quillet::poseidon {
namespace {

using testing::from_decimal;
using testing::instance_spec;
using testing::plain_permute;
using testing::raw_parameters;
using testing::to_decimal;

std::shared_ptr<const Spec> shared_spec() {
  static const auto spec = std::make_shared<const Spec>(instance_spec());
  return spec;
}

TEST(Permutation, KnownOutputs) {
  State initial = State::initial();
  EXPECT_EQ(to_decimal(initial.words[0]), "18446744073709551616");
  permute(instance_spec(), initial);
  EXPECT_EQ(to_decimal(initial.words[1]),
            "21207881605894529114871962317027239731157930138812921140460331143912724272467");

  State zero{};
  permute(instance_spec(), zero);
  EXPECT_EQ(to_decimal(zero.words[0]), "1524321216038799095937469147836866648978083754965002674906449126183454401066");
  EXPECT_EQ(to_decimal(zero.words[1]),
            "14668017143741949601684013711022977449988225669913886521593105410234079395846");
}

TEST(Permutation, OptimisedEqualsPlainOnRandomStates) {
  std::mt19937_64 rng(2024);
  std::vector<State> states = {State{}, State::initial()};
  State minus_one;
  for (Fr& x : minus_one.words) x = -Fr::one();
  states.push_back(minus_one);
  while (states.size() < 300) {
    State s;
    for (Fr& x : s.words) x = Fr::from_raw({rng(), rng(), rng(), rng()});
    states.push_back(s);
  }
  const bool mulx_adx = cpu::runs(field::MulInstructions::mulx_adx);
  for (size_t n = 0; n < states.size(); ++n) {
    State plain = states[n];
    plain_permute(raw_parameters(), plain);
    // The dispatched permutation and each kernel forced explicitly.
    State fast = states[n];
    permute(instance_spec(), fast);
    State portable = states[n];
    permute_with<field::MulInstructions::portable>(instance_spec(), portable);
    State adx = plain;
    if (mulx_adx) {
      adx = states[n];
      permute_with<field::MulInstructions::mulx_adx>(instance_spec(), adx);
    }
    for (size_t i = 0; i < kWidth; ++i) {
      ASSERT_EQ(fast.words[i], plain.words[i]) << "state " << n << " word " << i;
      ASSERT_EQ(portable.words[i], plain.words[i]) << "state " << n << " word " << i;
      ASSERT_EQ(adx.words[i], plain.words[i]) << "state " << n << " word " << i;
    }
    // The squeeze-only forms agree on element 1.
    State squeezed = states[n];
    ASSERT_EQ(permute_squeeze(instance_spec(), squeezed), plain.words[1]) << "state " << n;
    squeezed = states[n];
    ASSERT_EQ(permute_squeeze_with<field::MulInstructions::portable>(instance_spec(), squeezed), plain.words[1]) << n;
    if (mulx_adx) {
      squeezed = states[n];
      ASSERT_EQ(permute_squeeze_with<field::MulInstructions::mulx_adx>(instance_spec(), squeezed), plain.words[1]) << n;
    }
  }
}

// Every tail of the blocks of partial rounds (and a Spec without block
// terms, which permutes round by round) against the plain permutation of
// the same raw parameters.
TEST(Permutation, BlocksOfPartialRoundsOfEveryLength) {
  std::mt19937_64 rng(77);
  const bool mulx_adx = cpu::runs(field::MulInstructions::mulx_adx);
  for (size_t r_p : {1, 2, 3, 4, 5, 6, 7, 63}) {
    const RawParameters raw = r_p == 63 ? raw_parameters() : generate(8, r_p);
    const Spec blocked = Spec::from_raw(raw, 8, r_p);
    ASSERT_EQ(blocked.block_terms.size(), r_p);
    Spec round_by_round = blocked;
    round_by_round.block_terms.clear();
    for (int n = 0; n < 20; ++n) {
      State start;
      for (Fr& x : start.words) x = Fr::from_raw({rng(), rng(), rng(), rng()});
      State plain = start;
      plain_permute(raw, plain);
      std::vector<State> fast(4, start);
      permute_with<field::MulInstructions::portable>(blocked, fast[0]);
      permute_with<field::MulInstructions::portable>(round_by_round, fast[1]);
      if (mulx_adx) {
        permute_with<field::MulInstructions::mulx_adx>(blocked, fast[2]);
        permute_with<field::MulInstructions::mulx_adx>(round_by_round, fast[3]);
      } else {
        fast[2] = fast[3] = plain;
      }
      for (size_t v = 0; v < fast.size(); ++v) {
        for (size_t i = 0; i < kWidth; ++i) {
          ASSERT_EQ(fast[v].words[i], plain.words[i]) << "r_p " << r_p << " variant " << v << " word " << i;
        }
      }
    }
  }
}

TEST(Sponge, UpdateExact) {
  Poseidon fresh(shared_spec());
  std::array<Fr, kRate> marker{};
  marker[0] = Fr::one();
  Poseidon sponge = fresh;
  const Fr first = sponge.update_exact(marker);
  EXPECT_EQ(to_decimal(first), "8126583938779420331997321599458112997682129643695795662250518115586499650237");
  // The state carries over: the same block again gives another result, and
  // the copy it was made from is untouched.
  const Fr second = sponge.update_exact(marker);
  EXPECT_NE(second, first);
  EXPECT_EQ(fresh.update_exact(marker), first);
  // The capacity element takes no input: it equals the plain sponge's.
  State plain = State::initial();
  for (size_t i = 0; i < kRate; ++i) plain.words[i + 1].add_assign(marker[i]);
  plain_permute(raw_parameters(), plain);
  EXPECT_EQ(plain.words[1], first);
  EXPECT_EQ(from_decimal("8126583938779420331997321599458112997682129643695795662250518115586499650237"), first);
}

TEST(Sponge, FinalUpdateSpendsTheSponge) {
  Poseidon sponge(shared_spec());
  std::array<Fr, kRate> block{};
  for (size_t i = 0; i < kRate; ++i) block[i] = Fr::from_u128(i * 1000 + 7, i);
  Poseidon twin = sponge;
  // After a first block, so the final one starts from a permuted state.
  EXPECT_EQ(sponge.update_exact(block), twin.update_exact(block));
  EXPECT_EQ(sponge.update_final(block), twin.update_exact(block));
  EXPECT_THROW(sponge.update_exact(block), HardFailure);
  EXPECT_THROW(sponge.update_final(block), HardFailure);
}

TEST(Sponge, SharedPrototype) {
  const Poseidon& a = poseidon_hasher();
  const Poseidon& b = poseidon_hasher();
  EXPECT_EQ(&a, &b);
  EXPECT_EQ(a.state().words[0], Fr::from_u128(0, 1));
  Poseidon copy = a;
  std::array<Fr, kRate> block{};
  block[0] = Fr::one();
  EXPECT_EQ(to_decimal(copy.update_exact(block)),
            "8126583938779420331997321599458112997682129643695795662250518115586499650237");
  EXPECT_EQ(a.state().words[1], Fr::zero());
}

}  // namespace
}  // namespace quillet::poseidon
