#include "crypto/field/pow_many.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>

#include "crypto/failure.hpp"
#include "crypto/field/exponent_windows.hpp"
#include "crypto/field/fr_algorithms.hpp"
#include "crypto/field/fr_lanes.hpp"
#include "crypto/field/lanes52.hpp"
#include "crypto/field/pow_lanes52.hpp"
#include "crypto/immortal.hpp"

namespace quillet::field {
namespace {

namespace sl = pow_lanes52;

// Fewer remaining elements than this go the scalar way: a block of lanes
// costs about as much as three scalar exponentiations.
constexpr size_t kMinLaneTail = 4;

// The sliding-window scan (width 5) of a nonzero e as steps for the lanes:
// the order of operations of pow_public_exponent.
std::vector<sl::Step> exponent_steps(const FrRepr& e) {
  std::vector<sl::Step> steps;
  scan_windows_vartime<5>(e, [&](unsigned squarings, int window) {
    steps.push_back(sl::Step{static_cast<uint16_t>(squarings),
                             window < 0 ? sl::kNoMultiply : static_cast<uint8_t>(window)});
  });
  return steps;
}

// The constants of the lanes for the steps of one exponent.
sl::Constants lane_constants(const std::vector<sl::Step>& steps) {
  sl::Constants c{};
  c.modulus = fr_lanes::modulus();
  c.from_lanes = fr_lanes::from_lanes();
  c.steps = steps.data();
  c.step_count = steps.size();
  return c;
}

struct SqrtConstants {
  std::vector<sl::Step> steps;
  sl::Constants c;
};

// Those of (t-1)/2, made once.
const sl::Constants& sqrt_constants() {
  static constinit Immortal<SqrtConstants> made;
  return made
      .get([] {
        SqrtConstants k{exponent_steps(detail::shift_right(Fr::kT, 1)), {}};
        k.c = lane_constants(k.steps);
        return k;
      })
      .c;
}

// 1/x[i] for each x[i] (all nonzero), through one inversion.
std::vector<Fr> invert_all(std::span<const Fr> x) {
  std::vector<Fr> prefix(x.size());
  Fr running = Fr::one();
  for (size_t i = 0; i < x.size(); ++i) {
    running.mul_assign(x[i]);
    prefix[i] = running;
  }
  Fr inv = invert_safegcd(running);
  std::vector<Fr> out(x.size());
  for (size_t i = x.size(); i-- > 0;) {
    out[i] = i == 0 ? inv : inv * prefix[i - 1];
    inv.mul_assign(x[i]);
  }
  return out;
}

// x[e] for a block of at most sl::kBlock elements through the lanes, on one
// vector when they fit in it; idle lanes raise one.
sl::Block run_block(std::span<const Fr> x, const sl::Constants& c, sl::Job job, LaneKernel k) {
  sl::Block b{};
  const size_t vectors = x.size() <= sl::kLanes ? 1 : sl::kVectors;
  for (size_t e = 0; e < vectors * sl::kLanes; ++e) {
    const lanes52::Limbs l = fr_lanes::to_lanes(e < x.size() ? x[e] : Fr::one());
    for (size_t i = 0; i < sl::kLimbs; ++i) b.rho[e / sl::kLanes][i][e % sl::kLanes] = l.v[i];
  }
  lanes52::lane_entries<sl::Powers>(k).run(c, b, job, vectors);
  return b;
}

Fr output(const sl::Block& b, size_t o, size_t e) {
  return Fr::from_montgomery_limbs(lanes52::join52(&b.out[o][e / sl::kLanes][0][e % sl::kLanes], sl::kLanes));
}

// The roots of rho[i] for a block of at most sl::kBlock nonzero elements.
void roots_in_lanes(std::span<const Fr> rho, std::span<std::optional<Fr>> out, LaneKernel k) {
  const sl::Block b = run_block(rho, sqrt_constants(), sl::Job::sqrt, k);
  for (size_t e = 0; e < rho.size(); ++e) {
    out[e] = detail::sqrt_finish_vartime(output(b, 0, e), {output(b, 1, e), output(b, 2, e), output(b, 3, e), output(b, 4, e)});
  }
}

// The scalar way, two at a time.
void roots_scalar(std::span<const Fr> u, std::span<const Fr> v, std::span<std::optional<Fr>> out) {
  size_t i = 0;
  for (; i + 1 < u.size(); i += 2) {
    const auto pair = sqrt_ratio_pair_vartime(u[i], v[i], u[i + 1], v[i + 1]);
    out[i] = pair[0];
    out[i + 1] = pair[1];
  }
  if (i < u.size()) out[i] = sqrt_ratio_vartime(u[i], v[i]);
}

}  // namespace

std::vector<Fr> pow_many_vartime(std::span<const Fr> x, const FrRepr& e, LaneKernel k) {
  std::vector<Fr> out(x.size(), Fr::one());
  if (e == FrRepr{}) return out;
  if (k == LaneKernel::scalar || x.size() < kMinLaneTail) {
    for (size_t i = 0; i < x.size(); ++i) out[i] = pow_public_exponent(x[i], e);
    return out;
  }
  const std::vector<sl::Step> steps = exponent_steps(e);
  const sl::Constants c = lane_constants(steps);
  for (size_t start = 0; start < x.size(); start += sl::kBlock) {
    const size_t count = std::min(sl::kBlock, x.size() - start);
    if (count < kMinLaneTail) {
      for (size_t i = start; i < x.size(); ++i) out[i] = pow_public_exponent(x[i], e);
      break;
    }
    const sl::Block b = run_block(x.subspan(start, count), c, sl::Job::power, k);
    for (size_t i = 0; i < count; ++i) out[start + i] = output(b, 0, i);
  }
  return out;
}

std::vector<std::optional<Fr>> sqrt_ratio_many_vartime(std::span<const Fr> u, std::span<const Fr> v, LaneKernel k) {
  if (u.size() != v.size()) fail_hard("assertion failed: as many numerators as denominators");
  std::vector<std::optional<Fr>> out(u.size());
  if (k == LaneKernel::scalar) {
    roots_scalar(u, v, out);
    return out;
  }
  // Zero numerators and denominators are answered here; the others share
  // one inversion and go through the lanes as rho = u/v.
  std::vector<size_t> index;
  std::vector<Fr> den;
  for (size_t i = 0; i < u.size(); ++i) {
    if (v[i].is_zero()) continue;
    if (u[i].is_zero()) {
      out[i] = Fr::zero();
      continue;
    }
    index.push_back(i);
    den.push_back(v[i]);
  }
  if (index.size() < kMinLaneTail) {
    roots_scalar(u, v, out);
    return out;
  }
  const std::vector<Fr> inv = invert_all(den);
  std::vector<Fr> rho(index.size());
  for (size_t j = 0; j < index.size(); ++j) rho[j] = u[index[j]] * inv[j];
  std::vector<std::optional<Fr>> roots(index.size());
  size_t start = 0;
  for (; start < rho.size(); start += sl::kBlock) {
    const size_t count = std::min(sl::kBlock, rho.size() - start);
    if (count < kMinLaneTail) break;
    roots_in_lanes(std::span(rho).subspan(start, count), std::span(roots).subspan(start, count), k);
  }
  const std::vector<Fr> ones(rho.size() - std::min(start, rho.size()), Fr::one());
  if (!ones.empty()) roots_scalar(std::span(rho).subspan(start), ones, std::span(roots).subspan(start));
  for (size_t j = 0; j < index.size(); ++j) out[index[j]] = roots[j];
  return out;
}

WalkExponent::WalkExponent(const FrRepr& e) : steps_(e == FrRepr{} ? std::vector<sl::Step>{} : exponent_steps(e)) {}

PowerWalk::PowerWalk(const Fr& x, const WalkExponent& e) : e_(e), w_(Fr::one()), done_(e.steps_.empty()) {
  odd_[0] = x;
}

// The products of pow_public_exponent's windows: the table of odd powers,
// then each step's squarings and product.
void PowerWalk::advance(unsigned products) {
  for (; products > 0 && !done_; --products) {
    if (made_ < odd_.size()) {
      if (made_ == 0) {
        w_ = odd_[0];
        w_.square();
      } else {
        odd_[made_] = odd_[made_ - 1] * w_;
      }
      if (++made_ < odd_.size()) continue;
      w_ = odd_[e_.steps_[0].odd];
    } else if (squarings_ > 0) {
      w_.square();
      if (--squarings_ > 0 || multiply_) continue;
    } else {
      if (multiply_) w_.mul_assign(odd_[e_.steps_[step_].odd]);
      multiply_ = false;
    }
    // The step is complete: the next one, or the end.
    if (++step_ == e_.steps_.size()) {
      done_ = true;
      return;
    }
    squarings_ = e_.steps_[step_].squarings;
    multiply_ = e_.steps_[step_].odd != sl::kNoMultiply;
  }
}

Fr PowerWalk::result() {
  while (!done_) advance(UINT32_MAX);
  return w_;
}

}  // namespace quillet::field
