// The lane kernel in plain integer arithmetic: the IFMA kernel's algorithm,
// instruction by instruction, on any processor. Slow; it exists so that the
// algorithm is tested where the instructions are missing, and can be forced.
#include "crypto/poseidon/lanes52.hpp"

namespace quillet::poseidon::lanes52 {
namespace {

__extension__ typedef unsigned __int128 u128;

struct Emulated {
  struct V {
    uint64_t x[kLanes];
  };
  static constexpr uint64_t kMask52 = (uint64_t{1} << 52) - 1;

  template <class F>
  static V map(F f) {
    V r;
    for (size_t i = 0; i < kLanes; ++i) r.x[i] = f(i);
    return r;
  }
  static V zero() { return V{}; }
  static V set1(uint64_t v) {
    return map([&](size_t) { return v; });
  }
  static V load(const uint64_t* p) {
    return map([&](size_t i) { return p[i]; });
  }
  static void store(uint64_t* p, V v) {
    for (size_t i = 0; i < kLanes; ++i) p[i] = v.x[i];
  }
  static V add(V a, V b) {
    return map([&](size_t i) { return a.x[i] + b.x[i]; });
  }
  static V sub(V a, V b) {
    return map([&](size_t i) { return a.x[i] - b.x[i]; });
  }
  static V and_(V a, V b) {
    return map([&](size_t i) { return a.x[i] & b.x[i]; });
  }
  template <unsigned N>
  static V srli(V a) {
    return map([&](size_t i) { return a.x[i] >> N; });
  }
  template <unsigned N>
  static V srai(V a) {
    // Arithmetic shift without relying on implementation-defined behaviour.
    return map([&](size_t i) {
      const uint64_t sign = 0 - (a.x[i] >> 63);
      return (a.x[i] >> N) | (sign << (63 - N) << 1);
    });
  }
  static V select(V mask, V a, V b) {
    return map([&](size_t i) { return (mask.x[i] & a.x[i]) | (~mask.x[i] & b.x[i]); });
  }
  static V madd_lo(V acc, V a, V b) {
    return map([&](size_t i) {
      const u128 p = static_cast<u128>(a.x[i] & kMask52) * (b.x[i] & kMask52);
      return acc.x[i] + (static_cast<uint64_t>(p) & kMask52);
    });
  }
  static V madd_hi(V acc, V a, V b) {
    return map([&](size_t i) {
      const u128 p = static_cast<u128>(a.x[i] & kMask52) * (b.x[i] & kMask52);
      return acc.x[i] + static_cast<uint64_t>(p >> 52);
    });
  }
};

}  // namespace

void permute_emulated(const Constants& c, Block& b, bool squeeze_only) { Kernel<Emulated>::permute(c, b, squeeze_only); }

}  // namespace quillet::poseidon::lanes52
