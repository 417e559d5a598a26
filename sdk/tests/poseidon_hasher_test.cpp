#include "sdk/src/hashing/poseidon_hasher.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <latch>
#include <random>
#include <thread>
#include <vector>

#include "crypto/failure.hpp"
#include "sdk/tests/test_support.hpp"

namespace quillet::sdk::hashing {
namespace {

using Words = std::array<uint64_t, 4>;

Words hash_words(const std::vector<uint64_t>& words) {
  PoseidonHasher h;
  for (uint64_t w : words) h.update(w);
  return h.finalize();
}

Words from_decimal(const char* text) {
  const auto x = Fr::from_str_vartime(text);
  EXPECT_TRUE(x.has_value()) << text;
  return x.value_or(Fr::zero()).into_repr();
}

std::vector<uint64_t> counting(uint64_t n) {
  std::vector<uint64_t> v;
  for (uint64_t i = 0; i < n; ++i) v.push_back(i);
  return v;
}

// The element view of the hash: the words grouped into elements (the last
// group completed with zeros), then the element 1 and zero elements up to a
// whole block, each block absorbed into a copy of the prototype.
Words reference_hash(const std::vector<uint64_t>& words) {
  std::vector<Fr> elements;
  for (size_t i = 0; i < words.size(); i += 4) {
    Fr e;
    Fr weight = Fr::one();
    for (size_t k = 0; k < 4; ++k) {
      const uint64_t w = i + k < words.size() ? words[i + k] : 0;
      e.add_assign(Fr::from_u128(w, 0) * weight);
      weight.mul_assign(Fr::from_u128(0, 1));
    }
    elements.push_back(e);
  }
  elements.push_back(Fr::one());
  while (elements.size() % 8 != 0) elements.push_back(Fr::zero());
  poseidon::Poseidon sponge = poseidon::poseidon_hasher();
  Fr last;
  for (size_t b = 0; b < elements.size(); b += 8) {
    std::array<Fr, 8> block;
    for (size_t i = 0; i < 8; ++i) block[i] = elements[b + i];
    last = sponge.update_exact(block);
  }
  return last.into_repr();
}

TEST(PoseidonHasher, KnownHashes) {
  const Words empty{0x7a3220563a4fa2bdULL, 0x9bc009015ac66706ULL, 0x22164f7dc7f6d4c7ULL, 0x11f77bc74c489295ULL};
  EXPECT_EQ(hash_words({}), empty);
  EXPECT_EQ(empty, from_decimal("8126583938779420331997321599458112997682129643695795662250518115586499650237"));

  struct Case {
    const char* name;
    std::vector<uint64_t> words;
    const char* hash;
  };
  const Case cases[] = {
      {"1", {1}, "17031430073950564045871770691071413178875017622886660139177336497677254929907"},
      {"1 0 0 0", {1, 0, 0, 0}, "17031430073950564045871770691071413178875017622886660139177336497677254929907"},
      {"0..31", counting(32), "14145996525582249106708699411022688365865333075869506359440427352807338413674"},
  };
  for (const Case& c : cases) EXPECT_EQ(hash_words(c.words), from_decimal(c.hash)) << c.name;
}

TEST(PoseidonHasher, GroupsAreReducedModP) {
  const std::vector<uint64_t> p{0x43e1f593f0000001ULL, 0x2833e84879b97091ULL, 0xb85045b68181585dULL,
                                0x30644e72e131a029ULL};
  EXPECT_EQ(hash_words(p), hash_words({0, 0, 0, 0}));
  std::vector<uint64_t> p_plus_one = p;
  p_plus_one[0] += 1;
  EXPECT_EQ(hash_words(p_plus_one), hash_words({1}));
  EXPECT_NE(hash_words({0, 0, 0, 0}), hash_words({}));
}

TEST(PoseidonHasher, MatchesElementViewAtEveryLength) {
  // Covers the block edges: 28 words (marker in the same block), 29 to 32
  // (marker opens a block of its own), and two or more full blocks.
  std::mt19937_64 rng(9);
  for (uint64_t n = 0; n <= 100; ++n) {
    std::vector<uint64_t> words;
    for (uint64_t i = 0; i < n; ++i) words.push_back(n % 3 == 0 ? ~0ULL : rng());
    EXPECT_EQ(hash_words(words), reference_hash(words)) << n << " words";
  }
}

TEST(PoseidonHasher, CountsWordsOfTheCurrentBlock) {
  PoseidonHasher h;
  for (int i = 0; i < 31; ++i) h.update(7);
  EXPECT_EQ(h.count(), 31u);
  h.update(7);
  EXPECT_EQ(h.count(), 0u);
  h.update(7);
  EXPECT_EQ(h.count(), 1u);
}

TEST(PoseidonHasher, SpentAfterFinalize) {
  for (uint64_t n : {0, 1, 28, 29, 31}) {
    PoseidonHasher h;
    for (uint64_t i = 0; i < n; ++i) h.update(i);
    h.finalize();
    EXPECT_THROW(h.finalize(), HardFailure) << n;
    EXPECT_THROW(h.update(1), HardFailure) << n;
  }
}

TEST(PoseidonContext, AssertionsAndOutputCursor) {
  // A partial buffer, and a full one without a started sponge.
  PoseidonContext partial;
  partial.poseidon_new(1);
  for (int i = 0; i < 28; ++i) partial.push_limb(1);
  EXPECT_EQ(partial.buffered(), 7u);
  EXPECT_EQ(testing::hard_failure_text([&] { partial.poseidon_finalize(); }), "assertion failed: self.buf.len() == 8");
  PoseidonContext unstarted;
  for (int i = 0; i < 32; ++i) unstarted.push_limb(1);
  EXPECT_EQ(testing::hard_failure_text([&] { unstarted.poseidon_finalize(); }), kUnwrapNone);
  // An overfull buffer is refused, not truncated.
  PoseidonContext overfull;
  overfull.poseidon_new(1);
  for (int i = 0; i < 36; ++i) overfull.push_limb(1);
  EXPECT_EQ(overfull.buffered(), 9u);
  EXPECT_EQ(testing::hard_failure_text([&] { overfull.poseidon_finalize(); }), "assertion failed: self.buf.len() == 8");

  // Four calls hand out the limbs of one absorption; the fifth absorbs the
  // (unchanged) buffer again into the advanced sponge.
  PoseidonContext ctx;
  ctx.poseidon_new(1);
  ctx.push_limb(1);
  for (int i = 1; i < 32; ++i) ctx.push_limb(0);
  Words first{};
  for (uint64_t& w : first) w = ctx.poseidon_finalize();
  EXPECT_EQ(first, hash_words({}));
  Words second{};
  for (uint64_t& w : second) w = ctx.poseidon_finalize();
  EXPECT_NE(second, first);
  // poseidon_new(1) restarts from the prototype; poseidon_new(0) keeps the sponge.
  ctx.poseidon_new(1);
  ctx.push_limb(1);
  for (int i = 1; i < 32; ++i) ctx.push_limb(0);
  Words again{};
  for (uint64_t& w : again) w = ctx.poseidon_finalize();
  EXPECT_EQ(again, first);
}

TEST(PoseidonHasher, ConcurrentFirstUseAgrees) {
  // Run in a freshly started process, so that the threads' hashes are the
  // first use of the shared prototype.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        constexpr int kThreads = 8;
        std::latch start(kThreads);
        std::vector<Words> results(kThreads);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
          threads.emplace_back([&, t] {
            start.arrive_and_wait();
            results[t] = hash_words(counting(32));
          });
        }
        for (std::thread& th : threads) th.join();
        const Words expected =
            Fr::from_str_vartime("14145996525582249106708699411022688365865333075869506359440427352807338413674")
                ->into_repr();
        bool all = true;
        for (const Words& r : results) all &= r == expected;
        std::exit(all ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace quillet::sdk::hashing
