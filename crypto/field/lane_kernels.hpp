// A lane family's kernels, generated from its one algorithm over the vector
// policies of lanes52_ops.hpp, and the one way its users reach them.
//
// A family is a class that names its entry points and its algorithm:
//
//   struct Family {
//     static constexpr bool kSecretInputs = ...;  // whether its kernels take secrets
//     struct Entries { void (*run)(...); ... };   // its entry points
//     template <class O>                          // its algorithm on a vector policy
//     static constexpr Entries entries();         // (Ifma, Emulated or Checked)
//   };
//   extern template struct field::lanes52::LaneBuilds<Family>;
//
// Two files build it: its IFMA file (quillet_ifma_sources) and its emulated
// file each include lane_builds.hpp and instantiate LaneBuilds<Family>,
// which defines there the builds that file's flags allow.
#pragma once

#include "crypto/cpu/cpu.hpp"
#include "crypto/failure.hpp"

namespace quillet::field::lanes52 {

template <class Family>
struct LaneBuilds {
  using Entries = typename Family::Entries;
  // On AVX-512 IFMA; defined only where cpu::kIfmaBuilt, run only where
  // the processor has the instructions.
  static const Entries ifma;
  // The same operations in plain integers, on any processor.
  static const Entries emulated;
  // The emulated build asserting the arithmetic's contracts (lanes52_ops.hpp's
  // Checked) in builds with tests; elsewhere the emulated build itself.
  static const Entries checked;
};

// The entries that kernel `k` (emulated, or ifma where it runs) runs for
// `Family`. Emulated is the checked build, except for a family over secrets:
// the checks branch on the values, and the constant-time check runs this
// path; its tests call the checked build themselves. Fails hard on scalar,
// which has no lane entries, and on ifma where it does not run.
template <class Family>
const typename Family::Entries& lane_entries(cpu::LaneKernel k) {
  if (k == cpu::LaneKernel::emulated) {
    return Family::kSecretInputs ? LaneBuilds<Family>::emulated : LaneBuilds<Family>::checked;
  }
  if constexpr (cpu::kIfmaBuilt) {
    if (k == cpu::LaneKernel::ifma && cpu::runs(k)) return LaneBuilds<Family>::ifma;
  }
  fail_hard("assertion failed: a lane kernel that runs here");
}

}  // namespace quillet::field::lanes52
