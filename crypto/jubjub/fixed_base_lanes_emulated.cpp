// The fixed-base lanes in plain integers: the IFMA kernel's algorithm on any
// processor, for machines without it when forced, the tests and the
// constant-time check (valgrind runs no AVX-512; this is the same source).
#include "crypto/field/lanes52_ops.hpp"
#include "crypto/jubjub/fixed_base_lanes.hpp"

namespace quillet::jubjub::fixed_base_lanes {

namespace {

// The lane moves of the row-parallel forms and the scan's masks, lane by
// lane.
template <class Base>
struct Moves : Base {
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

using EmulatedMoves = Moves<field::lanes52::Emulated>;

}  // namespace

void run_emulated(const Table& t, Block& b) { LaneFixedBase<EmulatedMoves>::run(t, b); }
void run_rows_emulated(const Table& t, RowBlock& b, size_t scalars) {
  LaneFixedBase<EmulatedMoves>::run_rows(t, b, scalars);
}

#if defined(QUILLET_LANES_CHECKED)
void run_checked(const Table& t, Block& b) { LaneFixedBase<Moves<field::lanes52::Checked>>::run(t, b); }
void run_rows_checked(const Table& t, RowBlock& b, size_t scalars) {
  LaneFixedBase<Moves<field::lanes52::Checked>>::run_rows(t, b, scalars);
}
#else
void run_checked(const Table& t, Block& b) { run_emulated(t, b); }
void run_rows_checked(const Table& t, RowBlock& b, size_t scalars) { run_rows_emulated(t, b, scalars); }
#endif

}  // namespace quillet::jubjub::fixed_base_lanes
