// The builds a lane family gets from its one algorithm, and the dispatch
// between them, on the exponentiation lanes: only a kernel that runs here
// has entries, and the emulated kernel of a family over public values is
// the build that checks the arithmetic's contracts.
#include <gtest/gtest.h>

#include "crypto/failure.hpp"
#include "crypto/field/fr_lanes.hpp"
#include "crypto/field/lane_kernels.hpp"
#include "crypto/field/pow_lanes52.hpp"

namespace quillet::field::lanes52 {
namespace {

using cpu::LaneKernel;
using pow_lanes52::Powers;

TEST(LaneKernels, OnlyALaneKernelThatRunsHereHasEntries) {
  for (LaneKernel k : {LaneKernel::scalar, LaneKernel::emulated, LaneKernel::ifma}) {
    if (k != LaneKernel::scalar && cpu::runs(k)) {
      EXPECT_NO_THROW(lane_entries<Powers>(k)) << cpu::lane_kernel_name(k);
    } else {
      EXPECT_THROW(lane_entries<Powers>(k), HardFailure) << cpu::lane_kernel_name(k);
    }
  }
}

// A limb of 2^52, which the instructions would read as 0: the checked build
// refuses it, the plain emulated one computes on, and the emulated kernel is
// the checked build.
TEST(LaneKernels, TheEmulatedKernelChecksTheContracts) {
  static constexpr pow_lanes52::Step kFirstOdd[] = {{0, 0}};  // rho itself
  pow_lanes52::Constants c{};
  c.modulus = fr_lanes::modulus();
  c.from_lanes = fr_lanes::from_lanes();
  c.steps = kFirstOdd;
  c.step_count = 1;
  const auto run = [&](const Powers::Entries& e) {
    pow_lanes52::Block b{};
    b.rho[0][0][3] = uint64_t{1} << 52;
    e.run(c, b, pow_lanes52::Job::power, 1);
  };
  EXPECT_THROW(run(LaneBuilds<Powers>::checked), HardFailure);
  EXPECT_NO_THROW(run(LaneBuilds<Powers>::emulated));
  EXPECT_THROW(run(lane_entries<Powers>(LaneKernel::emulated)), HardFailure);
}

}  // namespace
}  // namespace quillet::field::lanes52
