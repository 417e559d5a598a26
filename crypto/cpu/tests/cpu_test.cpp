// The kernels' choice: for the lane families a family's older variable,
// then QUILLET_LANES, then the processor (a name that does not run is passed
// over); for every other kind the fastest kernel that runs.
#include <gtest/gtest.h>

#include <string>

#include "crypto/cpu/cpu.hpp"

namespace quillet::cpu {
namespace {

// I: ifma where this build holds it; elsewhere it never runs, and every row
// below then expects the scalar default or the kernel forced beside it.
constexpr LaneKernel S = LaneKernel::scalar, E = LaneKernel::emulated;
constexpr LaneKernel I = kIfmaBuilt ? LaneKernel::ifma : LaneKernel::scalar;

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
    Features f;
    f.avx512_ifma = c.ifma_runs;
    const Dispatch d = Dispatch::decide(f, v);
    std::string want;
    for (LaneKernel k : c.want) want += std::string(lane_kernel_name(k)) + " ";
    EXPECT_EQ(names(d), want) << c.ifma_runs << " " << (c.lanes ? c.lanes : "-") << " "
                              << (c.permutation ? c.permutation : "-") << " " << (c.powers ? c.powers : "-");
  }
}

// Each kind's kernels from the plainest up.
constexpr MulInstructions kMul[] = {MulInstructions::portable, MulInstructions::mulx_adx};
constexpr ScanInstructions kScan[] = {ScanInstructions::sse2, ScanInstructions::avx2, ScanInstructions::avx512};
constexpr Sha256Instructions kSha[] = {Sha256Instructions::portable, Sha256Instructions::sha_ni};
constexpr SalsaKernel kSalsa[] = {SalsaKernel::portable, SalsaKernel::sse2, SalsaKernel::avx512};

// Whether `chosen` runs under `f` and no kernel after it in `kinds` does.
template <class K, size_t N>
bool fastest_that_runs(K chosen, const K (&kinds)[N], const Features& f) {
  size_t at = N;
  for (size_t i = 0; i < N; ++i) {
    if (kinds[i] == chosen) at = i;
  }
  if (at == N || !runs(chosen, f)) return false;
  for (size_t i = at + 1; i < N; ++i) {
    if (runs(kinds[i], f)) return false;
  }
  return true;
}

TEST(Cpu, EveryOtherKindTakesItsFastestKernelThatRuns) {
  // Every set of the five features; the lane variables change nothing here.
  for (unsigned bits = 0; bits < 32; ++bits) {
    Features f;
    f.mulx_adx = (bits & 1) != 0;
    f.avx512_ifma = (bits & 2) != 0;
    f.avx2 = (bits & 4) != 0;
    f.avx512vl = (bits & 8) != 0;
    f.sha = (bits & 16) != 0;
    LaneVariables forced;
    forced.lanes = "emulated";
    for (const LaneVariables& v : {LaneVariables{}, forced}) {
      const Dispatch d = Dispatch::decide(f, v);
      EXPECT_TRUE(fastest_that_runs(d.mul(), kMul, f)) << bits;
      EXPECT_TRUE(fastest_that_runs(d.scan(), kScan, f)) << bits;
      EXPECT_TRUE(fastest_that_runs(d.sha256(), kSha, f)) << bits;
      EXPECT_TRUE(fastest_that_runs(d.salsa(), kSalsa, f)) << bits;
    }
  }
  // Without features only the baseline's kernels run; the plainest of each
  // kind runs everywhere, and a default Dispatch holds those.
  const Features none;
  EXPECT_FALSE(runs(MulInstructions::mulx_adx, none));
  EXPECT_FALSE(runs(ScanInstructions::avx2, none));
  EXPECT_FALSE(runs(Sha256Instructions::sha_ni, none));
  EXPECT_FALSE(runs(SalsaKernel::avx512, none));
  EXPECT_FALSE(runs(LaneKernel::ifma, none));
  const Dispatch plain;
  EXPECT_TRUE(runs(plain.mul(), none) && runs(plain.scan(), none) && runs(plain.sha256(), none) &&
              runs(plain.salsa(), none));
  for (size_t f = 0; f < kLaneFamilies; ++f) EXPECT_EQ(plain.lane_kernel(static_cast<LaneFamily>(f)), S);
}

// The process's own choices run here, whatever the environment said.
TEST(Cpu, TheProcesssKernelsRunHere) {
  for (size_t f = 0; f < kLaneFamilies; ++f) {
    EXPECT_TRUE(runs(lane_kernel(static_cast<LaneFamily>(f)))) << f;
  }
  EXPECT_TRUE(runs(LaneKernel::scalar));
  EXPECT_TRUE(runs(LaneKernel::emulated));
  EXPECT_TRUE(runs(dispatch().mul()));
  EXPECT_TRUE(runs(dispatch().scan()));
  EXPECT_TRUE(runs(dispatch().sha256()));
  EXPECT_TRUE(runs(dispatch().salsa()));
}

TEST(Cpu, OnlyThePermutationAndThePowersHaveAnOlderVariable) {
  EXPECT_STREQ(lane_alias(LaneFamily::permutation), "QUILLET_POSEIDON_LANES");
  EXPECT_STREQ(lane_alias(LaneFamily::powers), "QUILLET_POW_LANES");
  EXPECT_EQ(lane_alias(LaneFamily::buckets), nullptr);
  EXPECT_EQ(lane_alias(LaneFamily::fixed_base), nullptr);
}

}  // namespace
}  // namespace quillet::cpu
