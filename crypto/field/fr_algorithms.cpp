#include "crypto/field/fr_algorithms.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

#include "crypto/field/exponent_windows.hpp"

namespace quillet::field {
namespace {

constexpr Fr square_n(Fr x, unsigned n) {
  for (unsigned i = 0; i < n; ++i) x.square();
  return x;
}

constexpr Fr pow_u64(const Fr& x, uint64_t e) {
  Fr r = Fr::one();
  for (int i = 63; i >= 0; --i) {
    r.square();
    if ((e >> i) & 1) r.mul_assign(x);
  }
  return r;
}

// r - 1 = 2^28·t with t odd; c3 = (t - 1)/2.
constexpr unsigned kTwoAdicity = Fr::kTwoAdicity;
static_assert(kTwoAdicity == 28);
constexpr FrRepr kC3 = field::detail::shift_right(Fr::kT, 1);

// The discrete logarithm in the 2^28-th roots of unity is found 7 bits at a
// time, in four windows.
constexpr unsigned kWindowBits = 7;
constexpr size_t kWindowSize = size_t{1} << kWindowBits;
static_assert(4 * kWindowBits == kTwoAdicity);

using WindowTable = std::array<Fr, kWindowSize>;

// g, a primitive 2^28-th root of unity, and its inverse g^(2^28 - 1).
constexpr Fr kRoot = Fr::from_montgomery_limbs(field::FrParams::kRootOfUnity);
constexpr Fr kRootInverse = pow_u64(kRoot, (uint64_t{1} << kTwoAdicity) - 1);
static_assert(kRoot * kRootInverse == Fr::one());

constexpr WindowTable powers_of(const Fr& base) {
  WindowTable t{};
  t[0] = Fr::one();
  for (size_t j = 1; j < kWindowSize; ++j) t[j] = t[j - 1] * base;
  return t;
}

// kNegPow[k][j] = g^(-j·2^(7k)) for k = 0, 1, 2.
constexpr std::array<WindowTable, 3> kNegPow = {
    powers_of(kRootInverse),
    powers_of(square_n(kRootInverse, kWindowBits)),
    powers_of(square_n(kRootInverse, 2 * kWindowBits)),
};

// kNegHalfPow[k][j] = g^(-j·2^(7k - 1)) for k = 1, 2, 3 (entry 0 unused).
constexpr std::array<WindowTable, 4> kNegHalfPow = {
    WindowTable{},
    powers_of(square_n(kRootInverse, kWindowBits - 1)),
    powers_of(square_n(kRootInverse, 2 * kWindowBits - 1)),
    powers_of(square_n(kRootInverse, 3 * kWindowBits - 1)),
};

// h^j for h = g^(2^21), a primitive 128-th root of unity, found by a
// perfect hash of the low limb of the Montgomery form (fully reduced: equal
// elements, equal limbs): slot (limb·multiplier) >> (64 - kDlogSlotBits)
// holds j + 1, or 0. No reduction out of the Montgomery form and no
// branches of a search: the finish makes four lookups per root.
constexpr unsigned kDlogSlotBits = 12;

struct DlogTable {
  uint64_t multiplier = 0;
  std::array<FrRepr, kWindowSize> value{};  // Montgomery limbs of h^j
  std::array<uint8_t, size_t{1} << kDlogSlotBits> slot{};
};

constexpr size_t dlog_slot(uint64_t limb, uint64_t multiplier) { return (limb * multiplier) >> (64 - kDlogSlotBits); }

constexpr DlogTable make_dlog_table() {
  DlogTable t;
  const Fr h = square_n(kRoot, 3 * kWindowBits);
  Fr v = Fr::one();
  for (size_t j = 0; j < kWindowSize; ++j) {
    t.value[j] = v.montgomery_limbs();
    v.mul_assign(h);
  }
  // The first odd multiplier from the golden ratio's that sends the 128 limbs
  // to distinct slots (about one in eight does).
  for (uint64_t m = 0x9e3779b97f4a7c15ULL;; m += 2) {
    t.slot.fill(0);
    bool distinct = true;
    for (size_t j = 0; j < kWindowSize && distinct; ++j) {
      uint8_t& s = t.slot[dlog_slot(t.value[j][0], m)];
      distinct = s == 0;
      s = static_cast<uint8_t>(j + 1);
    }
    if (distinct) {
      t.multiplier = m;
      return t;
    }
  }
}

constexpr DlogTable kDlog = make_dlog_table();

// j with h^j = v, or -1 when v is not a 128-th root of unity.
int dlog_vartime(const Fr& v) {
  const FrRepr& m = v.montgomery_limbs();
  const unsigned s = kDlog.slot[dlog_slot(m[0], kDlog.multiplier)];
  if (s == 0 || kDlog.value[s - 1] != m) return -1;
  return static_cast<int>(s) - 1;
}

}  // namespace

namespace {

// x[k]^e for each k, the N exponentiations interleaved: one window scan of e
// serves them all, and their independent products overlap in the processor.
template <size_t N>
std::array<Fr, N> pow_many(const std::array<Fr, N>& x, const FrRepr& e) {
  constexpr int kWidth = 5;
  // Odd powers x, x^3, ..., x^31 of each base.
  std::array<std::array<Fr, size_t{1} << (kWidth - 1)>, N> odd{};
  for (size_t k = 0; k < N; ++k) {
    odd[k][0] = x[k];
    const Fr x2 = x[k] * x[k];
    for (size_t i = 1; i < odd[k].size(); ++i) odd[k][i] = odd[k][i - 1] * x2;
  }

  std::array<Fr, N> r;
  r.fill(Fr::one());
  scan_windows_vartime<kWidth>(e, [&](unsigned squarings, int window) {
    for (unsigned s = 0; s < squarings; ++s) {
      for (Fr& v : r) v.square();
    }
    if (window < 0) return;
    // Only the first window comes without squarings: it starts the power.
    for (size_t k = 0; k < N; ++k) {
      if (squarings == 0) {
        r[k] = odd[k][window];
      } else {
        r[k].mul_assign(odd[k][window]);
      }
    }
  });
  return r;
}

}  // namespace

[[gnu::flatten]] Fr pow_public_exponent(const Fr& x, const FrRepr& e) { return pow_many<1>({x}, e)[0]; }

namespace {

// Constant-time inversion by the divsteps of Bernstein and Yang ("safegcd"),
// in the form with delta starting at 1/2: integers as five signed limbs of 62
// bits, ten batches of 59 divsteps (590, enough for any modulus below 2^256),
// each batch's 2x2 transition matrix found from the low limbs alone and then
// applied to the full f, g and to the Bezout coefficients d, e (kept modulo
// r by adding multiples of r that clear their low 62 bits).
namespace safegcd {

__extension__ typedef __int128 i128;
constexpr uint64_t kLimbMask = ~uint64_t{0} >> 2;

struct Signed62 {
  std::array<int64_t, 5> v;
};

// The transition matrix, scaled by 2^62.
struct Transition {
  int64_t u, v, q, r;
};

constexpr Signed62 to_signed62(const FrRepr& a) {
  return Signed62{{static_cast<int64_t>(a[0] & kLimbMask), static_cast<int64_t>((a[0] >> 62 | a[1] << 2) & kLimbMask),
                   static_cast<int64_t>((a[1] >> 60 | a[2] << 4) & kLimbMask),
                   static_cast<int64_t>((a[2] >> 58 | a[3] << 6) & kLimbMask), static_cast<int64_t>(a[3] >> 56)}};
}

// On input, the value is in [0, 2^256) with limbs 0 to 3 in [0, 2^62).
constexpr FrRepr from_signed62(const Signed62& s) {
  const auto w = [&](size_t i) { return static_cast<uint64_t>(s.v[i]); };
  return FrRepr{w(0) | w(1) << 62, w(1) >> 2 | w(2) << 60, w(2) >> 4 | w(3) << 58, w(3) >> 6 | w(4) << 56};
}

constexpr Signed62 kModulus = to_signed62(Fr::kModulus);

// r^-1 mod 2^62, by Newton's iteration.
constexpr uint64_t modulus_inverse_62() {
  const uint64_t m = Fr::kModulus[0];
  uint64_t x = m;
  for (int i = 0; i < 6; ++i) x *= 2 - m * x;
  return x & kLimbMask;
}
constexpr uint64_t kModulusInv62 = modulus_inverse_62();
static_assert(((Fr::kModulus[0] * kModulusInv62) & kLimbMask) == 1);

// 59 divsteps on the low bits f0 (odd) and g0; zeta = -(delta + 1/2).
int64_t divsteps_59(int64_t zeta, uint64_t f0, uint64_t g0, Transition& t) {
  // Start from the identity scaled by 8, so that 59 steps end at 2^62.
  uint64_t u = 8, v = 0, q = 0, r = 8;
  uint64_t f = f0, g = g0;
  for (int i = 3; i < 62; ++i) {
    // mask1: delta > 0; mask2: g odd.
    uint64_t mask1 = static_cast<uint64_t>(zeta >> 63);
    const uint64_t mask2 = 0 - (g & 1);
    // With g odd: g += f (or g -= f when delta > 0), likewise for the matrix.
    const uint64_t x = (f ^ mask1) - mask1;
    const uint64_t y = (u ^ mask1) - mask1;
    const uint64_t z = (v ^ mask1) - mask1;
    g += x & mask2;
    q += y & mask2;
    r += z & mask2;
    // Both: swap, so that f takes the old g; zeta becomes -zeta - 2 or zeta - 1.
    mask1 &= mask2;
    zeta = (zeta ^ static_cast<int64_t>(mask1)) - 1;
    f += g & mask1;
    u += q & mask1;
    v += r & mask1;
    // g halves; f's row doubles instead, to keep the scale exact.
    g >>= 1;
    u <<= 1;
    v <<= 1;
  }
  t = Transition{static_cast<int64_t>(u), static_cast<int64_t>(v), static_cast<int64_t>(q), static_cast<int64_t>(r)};
  return zeta;
}

// (d, e) = t·(d, e) / 2^62 modulo r, in (-2r, r) given (-2r, r) on input.
void update_de(Signed62& d, Signed62& e, const Transition& t) {
  const int64_t sd = d.v[4] >> 63;
  const int64_t se = e.v[4] >> 63;
  // Adding r·(md, me) brings the results into range and clears the low bits.
  int64_t md = (t.u & sd) + (t.v & se);
  int64_t me = (t.q & sd) + (t.r & se);
  i128 cd = static_cast<i128>(t.u) * d.v[0] + static_cast<i128>(t.v) * e.v[0];
  i128 ce = static_cast<i128>(t.q) * d.v[0] + static_cast<i128>(t.r) * e.v[0];
  md -= static_cast<int64_t>((kModulusInv62 * static_cast<uint64_t>(cd) + static_cast<uint64_t>(md)) & kLimbMask);
  me -= static_cast<int64_t>((kModulusInv62 * static_cast<uint64_t>(ce) + static_cast<uint64_t>(me)) & kLimbMask);
  cd += static_cast<i128>(kModulus.v[0]) * md;
  ce += static_cast<i128>(kModulus.v[0]) * me;
  cd >>= 62;
  ce >>= 62;
  for (size_t i = 1; i < 5; ++i) {
    cd += static_cast<i128>(t.u) * d.v[i] + static_cast<i128>(t.v) * e.v[i] + static_cast<i128>(kModulus.v[i]) * md;
    ce += static_cast<i128>(t.q) * d.v[i] + static_cast<i128>(t.r) * e.v[i] + static_cast<i128>(kModulus.v[i]) * me;
    d.v[i - 1] = static_cast<int64_t>(static_cast<uint64_t>(cd) & kLimbMask);
    e.v[i - 1] = static_cast<int64_t>(static_cast<uint64_t>(ce) & kLimbMask);
    cd >>= 62;
    ce >>= 62;
  }
  d.v[4] = static_cast<int64_t>(cd);
  e.v[4] = static_cast<int64_t>(ce);
}

// (f, g) = t·(f, g) / 2^62, exactly.
void update_fg(Signed62& f, Signed62& g, const Transition& t) {
  i128 cf = static_cast<i128>(t.u) * f.v[0] + static_cast<i128>(t.v) * g.v[0];
  i128 cg = static_cast<i128>(t.q) * f.v[0] + static_cast<i128>(t.r) * g.v[0];
  cf >>= 62;
  cg >>= 62;
  for (size_t i = 1; i < 5; ++i) {
    cf += static_cast<i128>(t.u) * f.v[i] + static_cast<i128>(t.v) * g.v[i];
    cg += static_cast<i128>(t.q) * f.v[i] + static_cast<i128>(t.r) * g.v[i];
    f.v[i - 1] = static_cast<int64_t>(static_cast<uint64_t>(cf) & kLimbMask);
    g.v[i - 1] = static_cast<int64_t>(static_cast<uint64_t>(cg) & kLimbMask);
    cf >>= 62;
    cg >>= 62;
  }
  f.v[4] = static_cast<int64_t>(cf);
  g.v[4] = static_cast<int64_t>(cg);
}

// The limbs carried into [0, 2^62) except the top one.
void propagate(std::array<int64_t, 5>& r) {
  for (size_t i = 0; i < 4; ++i) {
    r[i + 1] += r[i] >> 62;
    r[i] &= static_cast<int64_t>(kLimbMask);
  }
}

void add_modulus_if(std::array<int64_t, 5>& r, int64_t mask) {
  for (size_t i = 0; i < 5; ++i) r[i] += kModulus.v[i] & mask;
}

// d·sign(f) reduced into [0, r), for d in (-2r, r) and f = 1 or -1.
FrRepr normalize(Signed62 d, int64_t f_top) {
  std::array<int64_t, 5>& r = d.v;
  add_modulus_if(r, r[4] >> 63);
  const int64_t negate = f_top >> 63;
  for (int64_t& limb : r) limb = (limb ^ negate) - negate;
  propagate(r);
  add_modulus_if(r, r[4] >> 63);
  propagate(r);
  return from_signed62(d);
}

}  // namespace safegcd

}  // namespace

Fr invert_safegcd(const Fr& x) {
  using namespace safegcd;
  // The stored limbs are x·R; their inverse y = 1/(x·R) gives the stored
  // form of 1/x, R/x = y·R^2, by one Montgomery multiplication with R^3.
  Signed62 d{}, e{{1, 0, 0, 0, 0}};
  Signed62 f = kModulus;
  Signed62 g = to_signed62(x.montgomery_limbs());
  int64_t zeta = -1;
  for (int i = 0; i < 10; ++i) {
    Transition t{};
    zeta = divsteps_59(zeta, static_cast<uint64_t>(f.v[0]), static_cast<uint64_t>(g.v[0]), t);
    update_de(d, e, t);
    update_fg(f, g, t);
  }
  // g is now zero and f is +1 or -1 (or r itself for x = 0, when d is 0).
  const FrRepr y = normalize(d, f.v[4]);
  return Fr::from_montgomery_limbs(y) * Fr::from_montgomery_limbs(Fr::kR3);
}

namespace {

// With rho = u/v: rho^c3 / v = (u·v^(2^29 - 1))^c3 · v^(2^28 - 1), through
// which r = rho^((t+1)/2) and b = rho^t are reached without an inversion.
struct SqrtStart {
  Fr base;  // u·v^(2^29 - 1), to be raised to c3
  Fr tv2;   // v^(2^28 - 1)
};

SqrtStart sqrt_start(const Fr& u, const Fr& v) {
  // ones_k = v^(2^k - 1).
  const Fr ones2 = square_n(v, 1) * v;
  const Fr ones4 = square_n(ones2, 2) * ones2;
  const Fr ones8 = square_n(ones4, 4) * ones4;
  const Fr ones16 = square_n(ones8, 8) * ones8;
  const Fr ones24 = square_n(ones16, 8) * ones8;
  const Fr tv2 = square_n(ones24, 4) * ones4;  // v^(2^28 - 1)
  const Fr tv3 = square_n(tv2, 1) * v;         // v^(2^29 - 1)
  return SqrtStart{u * tv3, tv2};
}

// The root from r = rho^((t+1)/2) and b_pow[k] = rho^(t·2^(7k)).
std::optional<Fr> finish_from_powers(const Fr& r, const std::array<Fr, 4>& b_pow) {
  const Fr& b = b_pow[0];
  // b = g^e with e found 7 bits at a time from the top window down; rho is a
  // square exactly when e is even, and then r·g^(-e/2) is a root.
  const int e0 = dlog_vartime(b_pow[3]);
  if (e0 < 0 || (e0 & 1) != 0) return std::nullopt;
  const int e1 = dlog_vartime(b_pow[2] * kNegPow[2][e0]);
  if (e1 < 0) return std::nullopt;
  const int e2 = dlog_vartime(b_pow[1] * kNegPow[1][e0] * kNegPow[2][e1]);
  if (e2 < 0) return std::nullopt;
  const int e3 = dlog_vartime(b * kNegPow[0][e0] * kNegPow[1][e1] * kNegPow[2][e2]);
  if (e3 < 0) return std::nullopt;
  return r * kNegPow[0][e0 / 2] * kNegHalfPow[1][e1] * kNegHalfPow[2][e2] * kNegHalfPow[3][e3];
}

// The root from base^c3, for u and v nonzero.
std::optional<Fr> sqrt_finish(const Fr& u, const Fr& v, const SqrtStart& start, const Fr& powered) {
  const Fr tv5 = powered * start.tv2;
  const Fr r = tv5 * u;
  const Fr b = r * (tv5 * v);
  std::array<Fr, 4> b_pow{};
  b_pow[0] = b;
  for (size_t k = 1; k < b_pow.size(); ++k) b_pow[k] = square_n(b_pow[k - 1], kWindowBits);
  return finish_from_powers(r, b_pow);
}

}  // namespace

[[gnu::flatten]] std::optional<Fr> detail::sqrt_finish_vartime(const Fr& r, const std::array<Fr, 4>& b_pow) {
  return finish_from_powers(r, b_pow);
}

[[gnu::flatten]] std::optional<Fr> sqrt_ratio_vartime(const Fr& u, const Fr& v) {
  if (v.is_zero()) return std::nullopt;
  if (u.is_zero()) return Fr::zero();
  const SqrtStart start = sqrt_start(u, v);
  return sqrt_finish(u, v, start, pow_many<1>({start.base}, kC3)[0]);
}

namespace {

// The single root, called rather than inlined: flattened into the pair's
// rare zero case, it would double the pair's code for nothing.
[[gnu::noinline]] std::optional<Fr> sqrt_ratio_called_vartime(const Fr& u, const Fr& v) {
  return sqrt_ratio_vartime(u, v);
}

}  // namespace

[[gnu::flatten]] std::array<std::optional<Fr>, 2> sqrt_ratio_pair_vartime(const Fr& u0, const Fr& v0, const Fr& u1,
                                                                         const Fr& v1) {
  if (u0.is_zero() || v0.is_zero() || u1.is_zero() || v1.is_zero()) {
    return {sqrt_ratio_called_vartime(u0, v0), sqrt_ratio_called_vartime(u1, v1)};
  }
  const std::array<SqrtStart, 2> start{sqrt_start(u0, v0), sqrt_start(u1, v1)};
  const std::array<Fr, 2> powered = pow_many<2>({start[0].base, start[1].base}, kC3);
  return {sqrt_finish(u0, v0, start[0], powered[0]), sqrt_finish(u1, v1, start[1], powered[1])};
}

}  // namespace quillet::field
