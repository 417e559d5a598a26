// The lane kernel's choice: a user's own variable, then QUILLET_LANES, then
// the processor; a name that does not run is passed over.
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "crypto/cpu/cpu.hpp"

namespace quillet::cpu {
namespace {

bool all_but_ifma(LaneKernel k) { return k != LaneKernel::ifma; }
bool all(LaneKernel) { return true; }

void set(const char* name, const std::optional<std::string>& value) {
  if (value) {
    setenv(name, value->c_str(), 1);
  } else {
    unsetenv(name);
  }
}

TEST(Cpu, LaneKernelChoice) {
  constexpr const char* kAlias = "QUILLET_TEST_LANES_ALIAS";
  struct Case {
    std::optional<std::string> alias, lanes;
    bool (*available)(LaneKernel);
    LaneKernel want;
  };
  const Case cases[] = {
      {std::nullopt, std::nullopt, all, LaneKernel::ifma},
      {std::nullopt, std::nullopt, all_but_ifma, LaneKernel::scalar},
      {std::nullopt, "emulated", all, LaneKernel::emulated},
      {"scalar", "emulated", all, LaneKernel::scalar},       // the alias first
      {"ifma", "emulated", all_but_ifma, LaneKernel::emulated},  // an alias that cannot run
      {"bogus", std::nullopt, all, LaneKernel::ifma},
      {std::nullopt, "ifma", all_but_ifma, LaneKernel::scalar},
  };
  const char* saved = std::getenv(kForceLanes);
  const std::optional<std::string> saved_lanes = saved ? std::optional<std::string>(saved) : std::nullopt;
  for (const Case& c : cases) {
    set(kAlias, c.alias);
    set(kForceLanes, c.lanes);
    EXPECT_EQ(choose_lane_kernel(kAlias, c.available), c.want)
        << c.alias.value_or("-") << " " << c.lanes.value_or("-");
  }
  set(kAlias, std::nullopt);
  set(kForceLanes, saved_lanes);
}

}  // namespace
}  // namespace quillet::cpu
