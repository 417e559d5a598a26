// The builds of a lane family (lane_kernels.hpp), for its IFMA and emulated
// files alone: each includes this header, then instantiates
// LaneBuilds<Family>, which defines the builds its flags allow. A file
// built for AVX-512 defines the IFMA build only, any other the emulated and
// checked ones; the policies have internal linkage (lanes52_ops.hpp), so no
// code of one file can stand in for another's.
#pragma once

#include "crypto/field/lane_kernels.hpp"
#include "crypto/field/lanes52_ops.hpp"

namespace quillet::field::lanes52 {

#if defined(QUILLET_LANES_IFMA)

static_assert(cpu::kIfmaBuilt, "an IFMA build the dispatch does not know of");

template <class Family>
constinit const typename Family::Entries LaneBuilds<Family>::ifma = Family::template entries<Ifma>();

#else

template <class Family>
constinit const typename Family::Entries LaneBuilds<Family>::emulated = Family::template entries<Emulated>();

#if defined(QUILLET_LANES_CHECKED)
template <class Family>
constinit const typename Family::Entries LaneBuilds<Family>::checked = Family::template entries<Checked>();
#else
template <class Family>
constinit const typename Family::Entries LaneBuilds<Family>::checked = Family::template entries<Emulated>();
#endif

#endif

}  // namespace quillet::field::lanes52
