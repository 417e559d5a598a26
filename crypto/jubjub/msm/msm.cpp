#include "crypto/jubjub/msm/msm.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "crypto/failure.hpp"
#include "crypto/field/fr_lanes.hpp"
#include "crypto/field/lanes52.hpp"
#include "crypto/immortal.hpp"
#include "crypto/jubjub/msm/straus.hpp"
#include "crypto/jubjub/scalar_recoding.hpp"

namespace quillet::jubjub::detail {
namespace {

using cpu::LaneKernel;
namespace ml = msm_lanes;

constexpr unsigned kMaxWindow = 16;

// Estimated field multiplications of each method (doublings 7M, additions
// of an affine point 7M, of a projective one 9M, a table of odd multiples
// 64M; a width-5 NAF has a nonzero digit every sixth bit).
size_t straus_cost(size_t n, unsigned bits) { return n * (64 + bits * 8 / 6) + size_t{bits} * 7; }

size_t bucket_cost(size_t n, unsigned bits, unsigned c) {
  const size_t windows = (bits + c) / c;
  const size_t buckets = size_t{1} << (c - 1);
  return windows * (n * 7 + buckets * 18) + size_t{bits} * 7;
}

// The same count for the buckets in lanes, eight windows a pass, in the
// scalar multiplications' unit: a lane's mixed addition with its gather and
// scatter about kLaneAdd, its bucket's two running additions kLaneSum
// (measured, bench/verify_many_bench.cpp). The last pass's narrower windows
// are left out: they save a little on every width alike.
constexpr size_t kLaneAdd = 20;
constexpr size_t kLaneSum = 45;
size_t lane_cost(size_t n, unsigned bits, unsigned c) {
  const size_t windows = (bits + c) / c;
  const size_t passes = (windows + ml::kLanes - 1) / ml::kLanes;
  const size_t buckets = size_t{1} << (c - 1);
  return passes * (n * kLaneAdd + buckets * kLaneSum) + size_t{bits} * 7;
}

// The widest window the lanes take: 2^11 buckets of 1280 bytes.
constexpr unsigned kMaxLaneWindow = 12;

using field::fr_lanes::to_lanes;

const ml::Constants& lane_constants() {
  static constinit Immortal<ml::Constants> made;
  return made.get([] {
    ml::Constants c{};
    c.modulus = field::fr_lanes::modulus();
    c.from_lanes = field::fr_lanes::from_lanes();
    to_lanes(Fr::one(), c.one.v);
    return c;
  });
}

// Bits [pos, pos + c) of k, zero beyond bit 255.
uint64_t bits_at(const FsRepr& k, unsigned pos, unsigned c) {
  const unsigned word = pos / 64;
  const unsigned off = pos % 64;
  if (word >= 4) return 0;
  uint64_t v = k[word] >> off;
  if (off + c > 64 && word + 1 < 4) v |= k[word + 1] << (64 - off);
  return v & ((uint64_t{1} << c) - 1);
}

// Pippenger: each scalar in signed digits of c bits (in [-2^(c-1), 2^(c-1)],
// windows of one more bit than the scalar so the last carry fits); per
// window, each point goes into the bucket of its digit's magnitude (negated
// for a negative digit), and the buckets are summed with their weights by
// two running sums, top bucket first. The windows are independent until
// their sums are combined, so each is a piece of the plan.
template <class M>
[[gnu::flatten]] Extended window_sum(std::span<const Extended> points, std::span<const AffineNiels> niels,
                                     const int32_t* row, unsigned c, const Fr& d2) {
  const size_t n = points.size();
  const size_t half = size_t{1} << (c - 1);
  std::vector<Extended> bucket(half);
  std::vector<uint8_t> used(half, 0);
  for (size_t i = 0; i < n; ++i) {
    const int32_t d = row[i];
    if (d == 0) continue;
    const size_t b = static_cast<size_t>(d > 0 ? d : -d) - 1;
    if (used[b] == 0) {
      bucket[b] = d > 0 ? points[i] : negate(points[i]);
      used[b] = 1;
    } else {
      bucket[b] = to_extended<M>(d > 0 ? add<M>(bucket[b], niels[i]) : sub<M>(bucket[b], niels[i]));
    }
  }
  Extended running{}, sum = identity_extended();
  bool running_set = false, sum_set = false;
  for (size_t b = bucket.size(); b-- > 0;) {
    if (used[b] != 0) {
      running = running_set ? add_points<M>(running, bucket[b], d2) : bucket[b];
      running_set = true;
    }
    if (running_set) {
      sum = sum_set ? add_points<M>(sum, running, d2) : running;
      sum_set = true;
    }
  }
  return sum;
}

// The sum over windows of 2^(pos_w)·sums[w], top window first, windows
// below `wide` c bits wide and the others `narrow` bits.
template <class M>
[[gnu::flatten]] Extended combine_windows(std::span<const Extended> sums, unsigned c, const Fr& d2,
                                          size_t wide = SIZE_MAX, unsigned narrow = 0) {
  Extended total = identity_extended();
  bool total_set = false;
  for (size_t w = sums.size(); w-- > 0;) {
    if (total_set) {
      const unsigned width = w < wide ? c : narrow;
      Completed t = dbl<M>(to_projective(total));
      for (unsigned k = 1; k < width; ++k) t = dbl<M>(to_projective<M>(t));
      total = to_extended<M>(t);
    }
    if (is_identity_vartime(sums[w])) continue;
    total = total_set ? add_points<M>(total, sums[w], d2) : sums[w];
    total_set = true;
  }
  return total;
}

Extended straus(std::span<const Extended> points, std::span<const FsRepr> scalars, const Fr& d2) {
  std::vector<Wnaf> digits(points.size());
  std::vector<OddMultiples> multiples(points.size());
  std::vector<WnafTerm> terms(points.size());
  for (size_t i = 0; i < points.size(); ++i) {
    digits[i] = wnaf_vartime<kWnafWidth>(scalars[i]);
    multiples[i] = odd_multiples(points[i], d2);
    terms[i] = WnafTerm{&digits[i], &multiples[i]};
  }
  return multi_mul_vartime(terms);
}

}  // namespace

unsigned msm_window(size_t n, unsigned bits) {
  size_t best = straus_cost(n, bits);
  unsigned window = 0;
  for (unsigned c = 2; c <= kMaxWindow; ++c) {
    const size_t cost = bucket_cost(n, bits, c);
    if (cost < best) {
      best = cost;
      window = c;
    }
  }
  return window;
}

MsmPlanVartime::MsmPlanVartime(std::span<const Extended> points, std::span<const FsRepr> scalars, unsigned bits,
                               unsigned window, const Fr& d2, LaneKernel kernel, bool deferred, MsmTables* tables)
    : points_(points), scalars_(scalars), window_(window), d2_(d2) {
  if (points.size() != scalars.size() || bits > 256 || window == 1 || window > kMaxWindow) {
    fail_hard("assertion failed: msm terms and window");
  }
  for (const Extended& p : points) {
    if (!(p.z == Fr::one())) fail_hard("assertion failed: msm points are affine");
  }
  if (points.empty()) {
    pieces_ = 0;
    return;
  }
  if (window == 0) {
    pieces_ = 1;
    return;
  }
  const size_t n = points.size();
  windows_ = (bits + window) / window;
  if (kernel == LaneKernel::scalar || !cpu::runs(kernel) || window > kMaxLaneWindow) {
    pieces_ = windows_;
    digits_.resize(windows_ * n);
    niels_.resize(n);
  } else {
    // Eight windows a piece; the lanes past the last window add into bucket 0.
    // The last pass's windows are as narrow as its eight lanes allow for the
    // bits left (at least 2): the same pieces, fewer buckets to sum.
    kernel_ = kernel;
    passes_ = (windows_ + ml::kLanes - 1) / ml::kLanes;
    wide_windows_ = (passes_ - 1) * ml::kLanes;
    const unsigned left = bits + 1 - static_cast<unsigned>(wide_windows_) * window;
    last_window_ = std::clamp<unsigned>((left + ml::kLanes - 1) / ml::kLanes, 2, window);
    windows_ = wide_windows_ + (left + last_window_ - 1) / last_window_;
    pieces_ = passes_;
    for (size_t pass = 0; pass < passes_; ++pass) lane_pieces_.push_back({pass, 0, n});
    piece_sums_.resize(pieces_ * ml::kLanes);
    // Left unset here: make writes every entry, on whichever thread makes it.
    const size_t digit_count = passes_ * n;
    if (tables == nullptr || digit_count * sizeof(ml::Digits) + n * sizeof(ml::LanePoint) > MsmTables::kMaxKept) {
      tables = &own_;
    }
    if (tables->digit_count_ < digit_count) {
      tables->digits_ = std::make_unique_for_overwrite<ml::Digits[]>(digit_count);
      tables->digit_count_ = digit_count;
    }
    if (tables->point_count_ < n) {
      tables->points_ = std::make_unique_for_overwrite<ml::LanePoint[]>(n);
      tables->point_count_ = n;
    }
    lane_digits_ = tables->digits_.get();
    lane_points_ = tables->points_.get();
  }
  if (!deferred) make(0, n);
}

void MsmPlanVartime::make(size_t first, size_t last) {
  if (window_ == 0) return;
  const size_t n = points_.size();
  // At most 129 windows (256 bits, width 2).
  std::array<int32_t, (256 + 2) / 2> digit;
  for (size_t i = first; i < last; ++i) {
    int64_t carry = 0;
    unsigned pos = 0;
    for (size_t w = 0; w < windows_; ++w) {
      const unsigned c = w < wide_windows_ ? window_ : last_window_;
      const int64_t half = int64_t{1} << (c - 1);
      int64_t d = static_cast<int64_t>(bits_at(scalars_[i], pos, c)) + carry;
      carry = d > half ? 1 : 0;
      d -= carry << c;
      digit[w] = static_cast<int32_t>(d);
      pos += c;
    }
    const Extended& p = points_[i];
    if (kernel_ == LaneKernel::scalar) {
      for (size_t w = 0; w < windows_; ++w) digits_[w * n + i] = digit[w];
      niels_[i] = {p.y + p.x, p.y - p.x, p.t * d2_};
      continue;
    }
    for (size_t pass = 0; pass < passes_; ++pass) {
      ml::Digits& d = lane_digits_[pass * n + i];
      for (size_t lane = 0; lane < ml::kLanes; ++lane) {
        const size_t w = pass * ml::kLanes + lane;
        const int32_t v = w < windows_ ? digit[w] : 0;
        d.offset[lane] = static_cast<uint64_t>(v < 0 ? -v : v) * ml::kBucketWords + lane;
        d.negative[lane] = v < 0 ? ~uint64_t{0} : 0;
      }
    }
    to_lanes(p.y + p.x, lane_points_[i].c[0]);
    to_lanes(p.y - p.x, lane_points_[i].c[1]);
    to_lanes(p.t * d2_, lane_points_[i].c[2]);
  }
}

namespace {

// The cheapest method: msm_window's, or the buckets in lanes where they run.
std::pair<unsigned, LaneKernel> choose(size_t n, unsigned bits) {
  const unsigned window = msm_window(n, bits);
  std::pair<unsigned, LaneKernel> best{window, LaneKernel::scalar};
  const LaneKernel kernel = msm_kernel();
  if (kernel == LaneKernel::scalar) return best;
  size_t cost = window == 0 ? straus_cost(n, bits) : bucket_cost(n, bits, window);
  for (unsigned c = 2; c <= kMaxLaneWindow; ++c) {
    const size_t lanes = lane_cost(n, bits, c);
    if (lanes < cost) {
      cost = lanes;
      best = {c, kernel};
    }
  }
  return best;
}

}  // namespace

MsmPlanVartime::MsmPlanVartime(std::span<const Extended> points, std::span<const FsRepr> scalars, unsigned bits,
                               unsigned window, const Fr& d2, LaneKernel kernel)
    : MsmPlanVartime(points, scalars, bits, window, d2, kernel, false, nullptr) {}

MsmPlanVartime::MsmPlanVartime(std::span<const Extended> points, std::span<const FsRepr> scalars, unsigned bits,
                               const Fr& d2)
    : MsmPlanVartime(points, scalars, bits, choose(points.size(), bits), d2, false, nullptr) {}

MsmPlanVartime::MsmPlanVartime(std::span<const Extended> points, std::span<const FsRepr> scalars, unsigned bits,
                               unsigned window, const Fr& d2, LaneKernel kernel, Deferred deferred)
    : MsmPlanVartime(points, scalars, bits, window, d2, kernel, true, deferred.tables) {}

MsmPlanVartime::MsmPlanVartime(std::span<const Extended> points, std::span<const FsRepr> scalars, unsigned bits,
                               const Fr& d2, Deferred deferred)
    : MsmPlanVartime(points, scalars, bits, choose(points.size(), bits), d2, true, deferred.tables) {}

MsmPlanVartime::MsmPlanVartime(std::span<const Extended> points, std::span<const FsRepr> scalars, unsigned bits,
                               std::pair<unsigned, LaneKernel> choice, const Fr& d2, bool deferred,
                               MsmTables* tables)
    : MsmPlanVartime(points, scalars, bits, choice.first, d2, choice.second, deferred, tables) {}

void MsmPlanVartime::split_passes(size_t count) {
  if (kernel_ == LaneKernel::scalar) return;
  const size_t n = points_.size();
  count = std::min(count, passes_);
  if (n < 2) return;
  // The last `count` passes' whole pieces become two halves each, at the end.
  std::vector<LanePiece> split;
  for (size_t k = lane_pieces_.size(); k-- > 0;) {
    if (split.size() == 2 * count) break;
    const LanePiece p = lane_pieces_[k];
    if (p.first != 0 || p.last != n) continue;
    lane_pieces_.erase(lane_pieces_.begin() + static_cast<std::ptrdiff_t>(k));
    split.push_back({p.pass, n / 2, n});
    split.push_back({p.pass, 0, n / 2});
  }
  lane_pieces_.insert(lane_pieces_.end(), split.rbegin(), split.rend());
  pieces_ = lane_pieces_.size();
  piece_sums_.assign(pieces_ * ml::kLanes, identity_extended());
}

Extended MsmPlanVartime::piece(size_t i) const {
  if (window_ == 0) return straus(points_, scalars_, d2_);
  if (kernel_ == LaneKernel::scalar) {
    return with_fastest_kernel(
        [&]<class M>() { return window_sum<M>(points_, niels_, &digits_[i * points_.size()], window_, d2_); });
  }
  const LanePiece& part = lane_pieces_[i];
  const size_t n = points_.size();
  const size_t top = size_t{1} << ((part.pass * ml::kLanes < wide_windows_ ? window_ : last_window_) - 1);
  // Scratch the kernel fills before reading.
  const auto buckets = std::make_unique_for_overwrite<uint64_t[]>((top + 1) * ml::kBucketWords);
  ml::Pass pass;
  to_lanes(d2_, pass.d2.v);
  pass.n = part.last - part.first;
  pass.points = lane_points_ + part.first;
  pass.digits = &lane_digits_[part.pass * n + part.first];
  pass.top = top;
  pass.buckets = buckets.get();
  field::lanes52::lane_entries<ml::Buckets>(kernel_).run(lane_constants(), pass);
  const size_t lanes = std::min(ml::kLanes, windows_ - part.pass * ml::kLanes);
  for (size_t lane = 0; lane < lanes; ++lane) {
    Extended& sum = piece_sums_[i * ml::kLanes + lane];
    Fr* coords[ml::kCoords] = {&sum.x, &sum.y, &sum.t, &sum.z};
    for (size_t c = 0; c < ml::kCoords; ++c) {
      *coords[c] = Fr::from_montgomery_limbs(field::lanes52::join52(&pass.out[c][0][lane], ml::kLanes));
    }
  }
  return identity_extended();
}

Extended MsmPlanVartime::combine(std::span<const Extended> sums) const {
  if (pieces_ == 0) return identity_extended();
  if (window_ == 0) return sums[0];
  if (kernel_ == LaneKernel::scalar) {
    return with_fastest_kernel([&]<class M>() { return combine_windows<M>(sums, window_, d2_); });
  }
  // In lanes, each window's sum from its pass (or its pass's halves), then
  // one run of doublings through all of them.
  return with_fastest_kernel([&]<class M>() {
    std::vector<Extended> windows(windows_);
    std::vector<uint8_t> set(windows_, 0);
    for (size_t i = 0; i < pieces_; ++i) {
      const size_t pass = lane_pieces_[i].pass;
      const size_t lanes = std::min(ml::kLanes, windows_ - pass * ml::kLanes);
      for (size_t lane = 0; lane < lanes; ++lane) {
        const size_t w = pass * ml::kLanes + lane;
        const Extended& part = piece_sums_[i * ml::kLanes + lane];
        windows[w] = set[w] != 0 ? add_points<M>(windows[w], part, d2_) : part;
        set[w] = 1;
      }
    }
    return combine_windows<M>(windows, window_, d2_, wide_windows_, last_window_);
  });
}

Extended msm_with_window_vartime(std::span<const Extended> points, std::span<const FsRepr> scalars, unsigned bits,
                                 unsigned window, const Fr& d2, LaneKernel kernel) {
  const MsmPlanVartime plan(points, scalars, bits, window, d2, kernel);
  std::vector<Extended> sums(plan.pieces());
  for (size_t i = 0; i < sums.size(); ++i) sums[i] = plan.piece(i);
  return plan.combine(sums);
}

Extended msm_vartime(std::span<const Extended> points, std::span<const FsRepr> scalars, unsigned bits, const Fr& d2) {
  const MsmPlanVartime plan(points, scalars, bits, d2);
  std::vector<Extended> sums(plan.pieces());
  for (size_t i = 0; i < sums.size(); ++i) sums[i] = plan.piece(i);
  return plan.combine(sums);
}

}  // namespace quillet::jubjub::detail
