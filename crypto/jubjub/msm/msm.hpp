// Variable-time multi-scalar multiplication of many terms, for public points
// and scalars: the chooser between Straus's method (straus.hpp) while the
// terms are few and Pippenger's bucket method, here, once they are many, its window width chosen from the count
// and the scalars' length. Where the lane kernels run, the buckets fill eight
// windows at once (msm_lanes.hpp). Internal to crypto/jubjub.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "crypto/cpu/cpu.hpp"
#include "crypto/jubjub/edwards.hpp"
#include "crypto/jubjub/fs.hpp"
#include "crypto/jubjub/msm/msm_lanes.hpp"

namespace quillet::jubjub::detail {

// The window width for n terms of `bits`-bit scalars: 0 for Straus's method,
// else the bucket width in bits (2 to 16), from a count of field
// multiplications of each method.
unsigned msm_window(size_t n, unsigned bits);

// The sum of k_i·P_i. Each point must be affine (Z = 1, as decoded); each
// scalar below 2^bits, bits at most 256. `window` as msm_window returns it;
// msm_vartime picks it. `d2` is 2d. Variable time. Fails hard on a point with
// Z other than one or mismatched lengths.
Extended msm_vartime(std::span<const Extended> points, std::span<const FsRepr> scalars, unsigned bits, const Fr& d2);
Extended msm_with_window_vartime(std::span<const Extended> points, std::span<const FsRepr> scalars, unsigned bits,
                                 unsigned window, const Fr& d2, cpu::LaneKernel kernel = cpu::LaneKernel::scalar);

// The kernel of the buckets, chosen once per process (cpu::dispatch():
// QUILLET_LANES forces it).
inline cpu::LaneKernel msm_kernel() { return cpu::lane_kernel(cpu::LaneFamily::buckets); }

// Room for a plan's tables in lanes, kept from one plan to the next by its
// owner (one plan at a time), so that their pages are touched once rather
// than per plan. Tables above kMaxKept bytes (plans of well over a thousand
// points) are the plan's own.
class MsmTables {
 public:
  static constexpr size_t kMaxKept = size_t{1} << 20;

 private:
  friend class MsmPlanVartime;
  std::unique_ptr<msm_lanes::Digits[]> digits_;
  std::unique_ptr<msm_lanes::LanePoint[]> points_;
  size_t digit_count_ = 0;
  size_t point_count_ = 0;
};

// One such multiplication cut into pieces that can run at once: Straus's
// method is one piece, the bucket method one per window, or per eight
// windows in lanes. The spans must outlive the plan. The constructor checks
// the terms as msm_vartime does. Given a window of 2 or more, `kernel` other
// than scalar runs the buckets in lanes (if it runs here); without a window,
// the plan picks method, window and kernel (msm_kernel()).
class MsmPlanVartime {
 public:
  MsmPlanVartime(std::span<const Extended> points, std::span<const FsRepr> scalars, unsigned bits, unsigned window,
          const Fr& d2, cpu::LaneKernel kernel = cpu::LaneKernel::scalar);
  MsmPlanVartime(std::span<const Extended> points, std::span<const FsRepr> scalars, unsigned bits, const Fr& d2);
  // The same plan with its tables (digits and points) left to make: each
  // point's by one call of make, before any piece runs. Calls on disjoint
  // ranges may run at once.
  struct Deferred {
    MsmTables* tables = nullptr;  // else the plan allocates its own
  };
  MsmPlanVartime(std::span<const Extended> points, std::span<const FsRepr> scalars, unsigned bits, const Fr& d2,
                 Deferred);
  MsmPlanVartime(std::span<const Extended> points, std::span<const FsRepr> scalars, unsigned bits, unsigned window,
                 const Fr& d2, cpu::LaneKernel kernel, Deferred);
  void make(size_t first, size_t last);

  size_t pieces() const { return pieces_; }
  // In lanes, cuts the last `count` passes in two halves of the points each,
  // the halves' window sums added in combine: for a stage whose passes do
  // not divide evenly between its threads (a half costs a little more than
  // half a pass, its buckets being summed in full). The halves come last in
  // the pieces' order. Otherwise nothing. Before any piece runs.
  void split_passes(size_t count);
  // The lane passes (0 when the buckets do not run in lanes).
  size_t passes() const { return kernel_ == cpu::LaneKernel::scalar ? 0 : passes_; }
  // Piece i's partial sum; safe to call concurrently. In lanes, the piece
  // leaves its eight windows' sums in the plan (for combine's one run of
  // doublings) and returns the neutral point.
  Extended piece(size_t i) const;
  // The multiplication's result from every piece's sum, in order, once every
  // piece has run.
  Extended combine(std::span<const Extended> sums) const;

 private:
  MsmPlanVartime(std::span<const Extended> points, std::span<const FsRepr> scalars, unsigned bits, unsigned window,
                 const Fr& d2, cpu::LaneKernel kernel, bool deferred, MsmTables* tables);
  MsmPlanVartime(std::span<const Extended> points, std::span<const FsRepr> scalars, unsigned bits,
                 std::pair<unsigned, cpu::LaneKernel> choice, const Fr& d2, bool deferred, MsmTables* tables);

  std::span<const Extended> points_;
  std::span<const FsRepr> scalars_;
  unsigned window_;
  // Windows below wide_windows_ are window_ bits wide, the rest (in lanes,
  // the last pass's) last_window_ bits.
  size_t wide_windows_ = SIZE_MAX;
  unsigned last_window_ = 0;
  Fr d2_;
  size_t pieces_ = 0;
  std::vector<int32_t> digits_;  // without lanes, window-major: digit of window w, point i at w·n + i
  std::vector<AffineNiels> niels_;
  // In lanes: the kernel, the number of windows, and per piece and point
  // each lane's bucket offset and sign (msm_lanes::Pass).
  cpu::LaneKernel kernel_ = cpu::LaneKernel::scalar;
  size_t windows_ = 0;
  msm_lanes::Digits* lane_digits_ = nullptr;  // pass-major, as digits_
  msm_lanes::LanePoint* lane_points_ = nullptr;
  MsmTables own_;  // the tables, unless an MsmTables was given
  // In lanes, per piece: its pass and range of points; its eight windows'
  // sums, written by the piece alone.
  size_t passes_ = 0;
  struct LanePiece {
    size_t pass, first, last;
  };
  std::vector<LanePiece> lane_pieces_;
  mutable std::vector<Extended> piece_sums_;
};

}  // namespace quillet::jubjub::detail
