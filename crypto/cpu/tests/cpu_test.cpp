// The lane kernels' choice: a family's older variable, then QUILLET_LANES,
// then the processor; a name that does not run is passed over.
#include <gtest/gtest.h>

#include <string>

#include "crypto/cpu/cpu.hpp"

namespace quillet::cpu {
namespace {

constexpr LaneKernel S = LaneKernel::scalar, E = LaneKernel::emulated, I = LaneKernel::ifma;

std::string names(const Dispatch& d) {
  std::string out;
  for (size_t f = 0; f < kLaneFamilies; ++f) {
    out += std::string(lane_kernel_name(d.lane_kernel(static_cast<LaneFamily>(f)))) + " ";
  }
  return out;
}

TEST(Cpu, DispatchChoosesEachFamilysKernel) {
  struct Case {
    bool ifma_runs;
    const char* lanes;
    const char* permutation;  // QUILLET_POSEIDON_LANES
    const char* powers;       // QUILLET_POW_LANES
    // permutation, powers, buckets, fixed base
    std::array<LaneKernel, kLaneFamilies> want;
  };
  const Case cases[] = {
      {true, nullptr, nullptr, nullptr, {I, I, I, I}},
      {false, nullptr, nullptr, nullptr, {S, S, S, S}},
      {true, "emulated", nullptr, nullptr, {E, E, E, E}},
      {false, "emulated", nullptr, nullptr, {E, E, E, E}},
      {true, "scalar", nullptr, nullptr, {S, S, S, S}},
      {false, "ifma", nullptr, nullptr, {S, S, S, S}},  // does not run: the default
      {true, "bogus", nullptr, nullptr, {I, I, I, I}},
      {true, "", nullptr, nullptr, {I, I, I, I}},
      {true, "IFMA", nullptr, nullptr, {I, I, I, I}},
      {false, "Emulated", nullptr, nullptr, {S, S, S, S}},  // names are exact
      {true, "emulated", "scalar", nullptr, {S, E, E, E}},  // an alias wins, for its family alone
      {true, "emulated", nullptr, "scalar", {E, S, E, E}},
      {true, nullptr, "emulated", "scalar", {E, S, I, I}},
      {false, "emulated", "ifma", nullptr, {E, E, E, E}},  // an alias that does not run: QUILLET_LANES
      {true, "scalar", "bogus", "bogus", {S, S, S, S}},
  };
  for (const Case& c : cases) {
    LaneVariables v;
    v.lanes = c.lanes;
    v.alias[static_cast<size_t>(LaneFamily::permutation)] = c.permutation;
    v.alias[static_cast<size_t>(LaneFamily::powers)] = c.powers;
    const Dispatch d = Dispatch::decide(c.ifma_runs, v);
    std::string want;
    for (LaneKernel k : c.want) want += std::string(lane_kernel_name(k)) + " ";
    EXPECT_EQ(names(d), want) << c.ifma_runs << " " << (c.lanes ? c.lanes : "-") << " "
                              << (c.permutation ? c.permutation : "-") << " " << (c.powers ? c.powers : "-");
  }
}

// The process's own choice runs here, whatever the environment said.
TEST(Cpu, TheProcesssKernelsRunHere) {
  for (size_t f = 0; f < kLaneFamilies; ++f) {
    EXPECT_TRUE(lane_kernel_runs(lane_kernel(static_cast<LaneFamily>(f)))) << f;
  }
  EXPECT_TRUE(lane_kernel_runs(LaneKernel::scalar));
  EXPECT_TRUE(lane_kernel_runs(LaneKernel::emulated));
}

TEST(Cpu, OnlyThePermutationAndThePowersHaveAnOlderVariable) {
  EXPECT_STREQ(lane_alias(LaneFamily::permutation), "QUILLET_POSEIDON_LANES");
  EXPECT_STREQ(lane_alias(LaneFamily::powers), "QUILLET_POW_LANES");
  EXPECT_EQ(lane_alias(LaneFamily::buckets), nullptr);
  EXPECT_EQ(lane_alias(LaneFamily::fixed_base), nullptr);
}

}  // namespace
}  // namespace quillet::cpu
