#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "crypto/poseidon/deferred.hpp"
#include "crypto/poseidon/lanes.hpp"
#include "crypto/poseidon/tests/test_support.hpp"

namespace quillet::poseidon {
namespace {

std::vector<LaneKernel> runnable_kernels() {
  std::vector<LaneKernel> out;
  for (LaneKernel k : {LaneKernel::scalar, LaneKernel::emulated, LaneKernel::ifma}) {
    if (cpu::runs(k)) out.push_back(k);
  }
  return out;
}

// Edge states, then random ones: 37 in all, so the last group of eight is
// partly empty.
std::vector<State> test_states() {
  std::vector<State> states = {State{}, State::initial()};
  State minus_one;
  for (Fr& x : minus_one.words) x = -Fr::one();
  states.push_back(minus_one);
  std::mt19937_64 rng(52);
  while (states.size() < 37) {
    State s;
    for (Fr& x : s.words) x = Fr::from_raw({rng(), rng(), rng(), rng()});
    states.push_back(s);
  }
  return states;
}

TEST(Lanes, EveryKernelEqualsTheScalarPermutation) {
  const LaneSpec& spec = hasher_lane_spec();
  const std::vector<State> states = test_states();
  for (LaneKernel k : runnable_kernels()) {
    SCOPED_TRACE(std::string(lane_kernel_name(k)));
    std::vector<State> full = states;
    permute_many(spec, full, k);
    std::vector<State> squeezed = states;
    std::vector<Fr> out(states.size());
    permute_squeeze_many(spec, squeezed, out, k);
    for (size_t n = 0; n < states.size(); ++n) {
      State expected = states[n];
      permute_scalar(spec.spec(), expected, false);
      for (size_t i = 0; i < kWidth; ++i) ASSERT_EQ(full[n].words[i], expected.words[i]) << n << " " << i;
      ASSERT_EQ(out[n], expected.words[1]) << n;
    }
  }
}

// One state across the lanes, full and squeezed, against the scalar
// permutation: the shared edge and random states, plus elements at the top of
// the field (p - 1 - i, 2^253 + i) where the lanes' bounds are tightest.
TEST(Lanes, OneStateEqualsTheScalarPermutation) {
  const LaneSpec& spec = hasher_lane_spec();
  std::vector<State> states = test_states();
  State top;
  State high;
  for (size_t i = 0; i < kWidth; ++i) {
    top.words[i] = -Fr::from_u128(i + 1, 0);
    high.words[i] = Fr::from_raw({i, 0, 0, uint64_t{1} << 61});
  }
  states.push_back(top);
  states.push_back(high);
  for (LaneKernel k : runnable_kernels()) {
    SCOPED_TRACE(std::string(lane_kernel_name(k)));
    for (size_t n = 0; n < states.size(); ++n) {
      State expected = states[n];
      permute_scalar(spec.spec(), expected, false);
      State full = states[n];
      permute_one(spec, full, false, k);
      State squeezed = states[n];
      permute_one(spec, squeezed, true, k);
      for (size_t i = 0; i < kWidth; ++i) ASSERT_EQ(full.words[i], expected.words[i]) << n << " " << i;
      ASSERT_EQ(squeezed.words[1], expected.words[1]) << n;
    }
  }
  // The hasher's own permute goes through the process's choice.
  State s = states.back();
  State expected = s;
  permute(spec.spec(), s);
  permute_scalar(spec.spec(), expected, false);
  EXPECT_EQ(s.words, expected.words);
}

// Items of one to three chained hashes, each block derived from the previous
// output, run through the deferral: the results are those of plain hashing,
// for every kernel and however many runs the chains need.
TEST(Lanes, DeferredSqueezesAnswerAsPlainHashing) {
  auto chain = [](size_t item, Squeezer* squeezer) {
    Fr h = Fr::from_u128(item, 0);
    for (size_t j = 0; j <= item % 3; ++j) {
      Poseidon sponge = poseidon_hasher();
      std::array<Fr, kRate> block{};
      block[0] = h;
      block[1] = Fr::from_u128(j + 1, 0);
      h = sponge.update_final(block, squeezer);
    }
    return h;
  };
  constexpr size_t kItems = 21;
  std::vector<Fr> expected(kItems);
  for (size_t i = 0; i < kItems; ++i) expected[i] = chain(i, nullptr);
  for (LaneKernel k : runnable_kernels()) {
    SCOPED_TRACE(std::string(lane_kernel_name(k)));
    std::vector<Fr> got(kItems);
    std::vector<unsigned> runs(kItems);
    DeferredSqueezes batch(kItems, k);
    while (!batch.done()) {
      for (size_t i : batch.open_items()) {
        batch.begin(i);
        got[i] = chain(i, &batch);
        runs[i] += 1;
        batch.end();
      }
      batch.flush();
    }
    for (size_t i = 0; i < kItems; ++i) {
      EXPECT_EQ(got[i], expected[i]) << i;
      EXPECT_EQ(runs[i], i % 3 + 2) << i;  // one recording run per hash, then the final one
    }
  }
}

}  // namespace
}  // namespace quillet::poseidon
