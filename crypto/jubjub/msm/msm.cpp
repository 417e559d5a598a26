#include "crypto/jubjub/msm/msm.hpp"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "crypto/failure.hpp"
#include "crypto/jubjub/msm/straus.hpp"
#include "crypto/jubjub/scalar_recoding.hpp"

namespace quillet::jubjub::detail {
namespace {

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

// The sum over windows of 2^(w·c)·sums[w], top window first.
template <class M>
[[gnu::flatten]] Extended combine_windows(std::span<const Extended> sums, unsigned c, const Fr& d2) {
  Extended total = identity_extended();
  bool total_set = false;
  for (size_t w = sums.size(); w-- > 0;) {
    if (total_set) {
      Completed t = dbl<M>(to_projective(total));
      for (unsigned k = 1; k < c; ++k) t = dbl<M>(to_projective<M>(t));
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

MsmPlanVartime::MsmPlanVartime(std::span<const Extended> points, std::span<const FsRepr> scalars, unsigned bits, unsigned window,
                 const Fr& d2)
    : points_(points), scalars_(scalars), window_(window), d2_(d2) {
  if (points.size() != scalars.size() || bits > 256 || window == 1 || window > kMaxWindow) {
    fail_hard("assertion failed: msm terms and window");
  }
  for (const Extended& p : points) {
    if (!(p.z == Fr::one())) fail_hard("assertion failed: msm points are affine");
  }
  if (points.empty()) {
    pieces_ = 0;
  } else if (window == 0) {
    pieces_ = 1;
  } else {
    const size_t n = points.size();
    const unsigned c = window;
    pieces_ = (bits + c) / c;
    const int64_t half = int64_t{1} << (c - 1);
    digits_.resize(pieces_ * n);
    for (size_t i = 0; i < n; ++i) {
      int64_t carry = 0;
      for (size_t w = 0; w < pieces_; ++w) {
        int64_t d = static_cast<int64_t>(bits_at(scalars[i], static_cast<unsigned>(w * c), c)) + carry;
        carry = d > half ? 1 : 0;
        d -= carry << c;
        digits_[w * n + i] = static_cast<int32_t>(d);
      }
    }
    niels_.resize(n);
    for (size_t i = 0; i < n; ++i) niels_[i] = {points[i].y + points[i].x, points[i].y - points[i].x, points[i].t * d2};
  }
}

MsmPlanVartime::MsmPlanVartime(std::span<const Extended> points, std::span<const FsRepr> scalars, unsigned bits, const Fr& d2)
    : MsmPlanVartime(points, scalars, bits, msm_window(points.size(), bits), d2) {}

Extended MsmPlanVartime::piece(size_t i) const {
  if (window_ == 0) return straus(points_, scalars_, d2_);
  return with_fastest_kernel(
      [&]<class M>() { return window_sum<M>(points_, niels_, &digits_[i * points_.size()], window_, d2_); });
}

Extended MsmPlanVartime::combine(std::span<const Extended> sums) const {
  if (pieces_ == 0) return identity_extended();
  if (window_ == 0) return sums[0];
  return with_fastest_kernel([&]<class M>() { return combine_windows<M>(sums, window_, d2_); });
}

Extended msm_with_window_vartime(std::span<const Extended> points, std::span<const FsRepr> scalars, unsigned bits,
                                 unsigned window, const Fr& d2) {
  const MsmPlanVartime plan(points, scalars, bits, window, d2);
  std::vector<Extended> sums(plan.pieces());
  for (size_t i = 0; i < sums.size(); ++i) sums[i] = plan.piece(i);
  return plan.combine(sums);
}

Extended msm_vartime(std::span<const Extended> points, std::span<const FsRepr> scalars, unsigned bits, const Fr& d2) {
  return msm_with_window_vartime(points, scalars, bits, msm_window(points.size(), bits), d2);
}

}  // namespace quillet::jubjub::detail
