// The fixed-base lanes in plain integers: the IFMA kernel's algorithm on any
// processor, for machines without it when forced, the tests and the
// constant-time check (valgrind runs no AVX-512; this is the same source).
#include "crypto/field/lane_builds.hpp"
#include "crypto/jubjub/fixed_base_lanes.hpp"

namespace quillet::jubjub::fixed_base_lanes {

// The lane moves of the row-parallel forms and the scan's masks, lane by
// lane.
template <class Base>
struct LaneMoves : Base {
  using V = typename Base::V;
  template <unsigned M>
  static V xor_lanes(V a) {
    return Base::map([&](size_t i) { return a.x[i ^ M]; });
  }
  static V load_halves(const uint64_t* p) {
    return Base::map([&](size_t i) { return p[i % (kLanes / 2)]; });
  }
  using Mask = V;
  static Mask eq_mask(V a, V b) { return Base::eq(a, b); }
  static V take(Mask m, V v, V old) { return Base::select(m, v, old); }
};

}  // namespace quillet::jubjub::fixed_base_lanes

template struct quillet::field::lanes52::LaneBuilds<quillet::jubjub::fixed_base_lanes::FixedBase>;
