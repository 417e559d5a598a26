// Many exponentiations to one public exponent at once, in lanes where the
// processor has AVX-512 IFMA: plain powers (batched subgroup checks) and
// square roots of ratios (decoding many points), whose denominators share one
// inversion (Montgomery's trick) and whose 2-adic finish runs per element.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "crypto/cpu/cpu.hpp"
#include "crypto/field/fr.hpp"
#include "crypto/field/lanes52.hpp"
#include "crypto/field/pow_lanes52.hpp"

namespace quillet::field {

// How the exponentiations run: one or two at a time in scalar code, or
// sixteen at a time in lanes.
using cpu::LaneKernel;
using cpu::lane_kernel_name;

// The process's kernel (cpu::dispatch(): QUILLET_LANES, or for the
// exponentiations alone its older alias QUILLET_POW_LANES, forces one).
inline LaneKernel pow_kernel() { return cpu::lane_kernel(cpu::LaneFamily::powers); }

// pow_public_exponent(x[i], e) for each i. Public inputs only.
std::vector<Fr> pow_many_vartime(std::span<const Fr> x, const FrRepr& e, LaneKernel k = pow_kernel());

// sqrt_ratio_vartime(u[i], v[i]) for each i (spans of one length): the same
// roots, the same refusals. Public inputs only.
std::vector<std::optional<Fr>> sqrt_ratio_many_vartime(std::span<const Fr> u, std::span<const Fr> v,
                                                       LaneKernel k = pow_kernel());

// A public exponent prepared for PowerWalk: its windows, scanned once.
class WalkExponent {
 public:
  explicit WalkExponent(const FrRepr& e);
  WalkExponent(const WalkExponent&) = delete;
  WalkExponent& operator=(const WalkExponent&) = delete;

 private:
  friend class PowerWalk;
  std::vector<pow_lanes52::Step> steps_;
};

// x^e for one public x, a few products at a time. An exponentiation is one
// chain of dependent products, each waiting for the last: advanced a little
// between the steps of other scalar work, it runs in that work's idle
// cycles instead of after it.
class PowerWalk {
 public:
  // `e` must outlive the walk.
  PowerWalk(const Fr& x, const WalkExponent& e);
  // Up to `products` more of the power's products.
  void advance(unsigned products);
  // x^e: the rest of the products, then the value.
  Fr result();

 private:
  const WalkExponent& e_;
  // x^(2k+1) for k below kOddPowers; the first `made_` are made.
  std::array<Fr, pow_lanes52::kOddPowers> odd_;
  // x^2 while the table is made, then the power so far.
  Fr w_;
  uint32_t made_ = 0;
  uint32_t step_ = 0;       // the step under way, once the table is made
  uint32_t squarings_ = 0;  // left in it
  bool multiply_ = false;   // whether its product is left
  bool done_ = false;
};

}  // namespace quillet::field
