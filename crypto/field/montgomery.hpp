// The Montgomery core shared by every prime field of the system.
//
// PrimeField<Params> is an element of Z/pZ for the odd modulus
// Params::kModulus (four 64-bit limbs, least significant first), held in
// Montgomery form a·R mod p with R = 2^256 and always fully reduced, so equal
// elements have equal limbs. The derived constants (R, R^2, R^3, -p^-1 mod
// 2^64, the exponents) follow from the modulus at compile time.
//
// Routines without the _vartime suffix contain no branch or memory access
// that depends on element values, so they may process secrets. Square roots
// additionally need Params::kRootOfUnity (a primitive 2^S-th root of unity in
// Montgomery form, S the two-adicity of p - 1); a parameter set without it
// simply cannot call sqrt_vartime.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <type_traits>

#include "crypto/failure.hpp"
#include "crypto/field/kernels.hpp"
#include "crypto/field/mod_add.hpp"
#include "crypto/field/prime_field_error.hpp"
#include "crypto/field/repr.hpp"

namespace quillet::field {
namespace detail {

// Returns the low word of a + b + carry; carry must be 0 or 1 and becomes the
// high word.
constexpr uint64_t adc(uint64_t a, uint64_t b, uint64_t& carry) {
#if defined(__x86_64__)
  // The compiler turns these into one ADC each; the 128-bit form below goes
  // through memory on every step.
  if (!std::is_constant_evaluated()) {
    unsigned long long out = 0;
    carry = _addcarry_u64(static_cast<unsigned char>(carry), a, b, &out);
    return out;
  }
#endif
  const u128 t = static_cast<u128>(a) + b + carry;
  carry = static_cast<uint64_t>(t >> 64);
  return static_cast<uint64_t>(t);
}

// Returns the low word of a - b - borrow; borrow must be 0 or 1 and becomes 1
// on underflow.
constexpr uint64_t sbb(uint64_t a, uint64_t b, uint64_t& borrow) {
#if defined(__x86_64__)
  if (!std::is_constant_evaluated()) {
    unsigned long long out = 0;
    borrow = _subborrow_u64(static_cast<unsigned char>(borrow), a, b, &out);
    return out;
  }
#endif
  const u128 t = static_cast<u128>(a) - b - borrow;
  borrow = static_cast<uint64_t>(t >> 64) & 1;
  return static_cast<uint64_t>(t);
}

// Returns the low word of acc + b·c + carry; carry becomes the high word.
constexpr uint64_t mac(uint64_t acc, uint64_t b, uint64_t c, uint64_t& carry) {
  const u128 t = static_cast<u128>(acc) + static_cast<u128>(b) * c + carry;
  carry = static_cast<uint64_t>(t >> 64);
  return static_cast<uint64_t>(t);
}

// `bit` is 0 or 1; the result is all zeros or all ones.
constexpr uint64_t mask_from_bit(uint64_t bit) { return 0 - bit; }

// 1 when x is not zero, else 0, without a branch.
constexpr uint64_t nonzero_bit(uint64_t x) { return (x | (0 - x)) >> 63; }

// a where mask is zero, b where mask is all ones.
constexpr Repr select(const Repr& a, const Repr& b, uint64_t mask) {
  Repr r{};
  for (int i = 0; i < 4; ++i) r[i] = a[i] ^ (mask & (a[i] ^ b[i]));
  return r;
}

// r = a - b mod 2^256; returns the borrow (1 when a < b).
constexpr uint64_t sub_borrow(Repr& r, const Repr& a, const Repr& b) {
  uint64_t borrow = 0;
  for (int i = 0; i < 4; ++i) r[i] = sbb(a[i], b[i], borrow);
  return borrow;
}

// r = a + b mod 2^256; returns the carry.
constexpr uint64_t add_carry(Repr& r, const Repr& a, const Repr& b) {
  uint64_t carry = 0;
  for (int i = 0; i < 4; ++i) r[i] = adc(a[i], b[i], carry);
  return carry;
}

constexpr bool is_zero_vartime(const Repr& a) { return (a[0] | a[1] | a[2] | a[3]) == 0; }

constexpr bool less_than_vartime(const Repr& a, const Repr& b) {
  for (int i = 3; i >= 0; --i) {
    if (a[i] != b[i]) return a[i] < b[i];
  }
  return false;
}

// Logical right shift by n < 256 bits.
constexpr Repr shift_right(const Repr& a, unsigned n) {
  Repr r{};
  const unsigned words = n / 64;
  const unsigned bits = n % 64;
  for (unsigned i = 0; i + words < 4; ++i) {
    r[i] = a[i + words] >> bits;
    if (bits != 0 && i + words + 1 < 4) r[i] |= a[i + words + 1] << (64 - bits);
  }
  return r;
}

constexpr Repr sub_word(const Repr& a, uint64_t w) {
  Repr r{};
  sub_borrow(r, a, Repr{w, 0, 0, 0});
  return r;
}

constexpr Repr add_word(const Repr& a, uint64_t w) {
  Repr r{};
  add_carry(r, a, Repr{w, 0, 0, 0});
  return r;
}

// -p0^-1 mod 2^64 for odd p0, by Newton iteration (each step doubles the
// number of correct low bits, starting from 3).
constexpr uint64_t neg_inverse_mod_word(uint64_t p0) {
  uint64_t x = p0;
  for (int i = 0; i < 5; ++i) x *= 2 - p0 * x;
  return 0 - x;
}

// 2^k mod p for p > 1, by k modular doublings of 1.
constexpr Repr pow2_mod(unsigned k, const Repr& p) {
  Repr r{1, 0, 0, 0};
  for (unsigned i = 0; i < k; ++i) {
    Repr d{};
    const uint64_t carry = add_carry(d, r, r);
    Repr s{};
    const uint64_t borrow = sub_borrow(s, d, p);
    r = select(d, s, mask_from_bit(carry | (borrow ^ 1)));
  }
  return r;
}

// The number of trailing zero bits of the non-zero value a.
constexpr unsigned trailing_zeros(const Repr& a) {
  unsigned n = 0;
  while (((a[n / 64] >> (n % 64)) & 1) == 0) ++n;
  return n;
}

}  // namespace detail

template <class Params>
class PrimeField {
 public:
  static constexpr Repr kModulus = Params::kModulus;
  static_assert((kModulus[0] & 1) == 1, "the Montgomery form needs an odd modulus");
  static_assert(!detail::less_than_vartime(kModulus, Repr{3, 0, 0, 0}), "the modulus must exceed 2");

  static constexpr uint64_t kInv = detail::neg_inverse_mod_word(kModulus[0]);
  static constexpr Repr kR = detail::pow2_mod(256, kModulus);
  static constexpr Repr kR2 = detail::pow2_mod(512, kModulus);
  static constexpr Repr kR3 = detail::pow2_mod(768, kModulus);
  static constexpr Repr kModulusMinusTwo = detail::sub_word(kModulus, 2);
  static constexpr Repr kLegendreExponent = detail::shift_right(kModulus, 1);  // (p - 1) / 2
  static constexpr unsigned kTwoAdicity = detail::trailing_zeros(detail::sub_word(kModulus, 1));
  static constexpr Repr kT = detail::shift_right(kModulus, kTwoAdicity);  // odd part of p - 1
  static constexpr Repr kTPlusOneHalf = detail::shift_right(detail::add_word(kT, 1), 1);
  // Whether the kernels of kernels.hpp apply; otherwise every kernel choice
  // runs the general multiplication.
  static constexpr bool kFastKernels = detail::no_carry_modulus(kModulus);

  // Zero.
  constexpr PrimeField() = default;

  static constexpr Repr modulus() { return kModulus; }
  static constexpr PrimeField zero() { return PrimeField(); }
  static constexpr PrimeField one() { return PrimeField(kR); }

  // On input, `m` is below the modulus and already in Montgomery form (a
  // tabulated constant). No check is made.
  static constexpr PrimeField from_montgomery_limbs(const Repr& m) { return PrimeField(m); }

  // Any 256-bit value; the element is its residue mod p.
  static constexpr PrimeField from_raw(const Repr& v) { return PrimeField(mont_mul(kR2, v)); }

  // The 128-bit value lo + hi·2^64.
  static constexpr PrimeField from_u128(uint64_t lo, uint64_t hi) { return from_raw(Repr{lo, hi, 0, 0}); }

  // Eight limbs, least significant first; the element is the value mod p.
  static constexpr PrimeField from_u512(const std::array<uint64_t, 8>& v) {
    PrimeField lo(mont_mul(kR2, Repr{v[0], v[1], v[2], v[3]}));
    const PrimeField hi(mont_mul(kR3, Repr{v[4], v[5], v[6], v[7]}));
    lo.add_assign(hi);
    return lo;
  }

  // 64 little-endian bytes; the element is the value mod p.
  static constexpr PrimeField from_bytes_wide(const std::array<uint8_t, 64>& b) {
    std::array<uint64_t, 8> v{};
    for (int i = 0; i < 64; ++i) v[i / 8] |= static_cast<uint64_t>(b[i]) << (8 * (i % 8));
    return from_u512(v);
  }

  // The element of canonical value v, or NotInField carrying v's hex text
  // when v is not below p.
  static Expected<PrimeField, PrimeFieldDecodingError> from_repr(const Repr& v) {
    if (!detail::less_than_vartime(v, kModulus)) {
      return unexpected(PrimeFieldDecodingError{repr_to_hex(v)});
    }
    return PrimeField(mont_mul(kR2, v));
  }

  // 32 little-endian bytes; absent when the value is not below p. The
  // validity test and the conversion run in constant time.
  static constexpr std::optional<PrimeField> from_repr_bytes(const std::array<uint8_t, 32>& le) {
    const Repr v = repr_from_bytes_le(le);
    Repr unused{};
    const uint64_t below = detail::sub_borrow(unused, v, kModulus);
    const PrimeField x(mont_mul(kR2, v));
    if (below == 0) return std::nullopt;
    return x;
  }

  // The canonical value, below p.
  constexpr Repr into_repr() const {
    std::array<uint64_t, 8> t{m_[0], m_[1], m_[2], m_[3], 0, 0, 0, 0};
    return mont_reduce(t);
  }

  // The canonical value as 32 little-endian bytes.
  constexpr std::array<uint8_t, 32> to_repr_bytes() const { return repr_to_bytes_le(into_repr()); }

  // A constant written in decimal: from_str_vartime's value, and a hard
  // failure (a compile error where evaluated at compile time) for bad text.
  static constexpr PrimeField from_decimal_constant(std::string_view decimal) {
    const std::optional<PrimeField> v = from_str_vartime(decimal);
    if (!v) fail_hard(kUnwrapNone);
    return *v;
  }

  // Decimal text without sign, spaces or leading zeros ("0" alone is zero);
  // values of p and above are reduced. Absent for any other text.
  static constexpr std::optional<PrimeField> from_str_vartime(std::string_view decimal) {
    if (decimal.empty()) return std::nullopt;
    if (decimal == "0") return zero();
    PrimeField res;
    const PrimeField ten = from_u128(10, 0);
    bool first = true;
    for (char ch : decimal) {
      if (ch < '0' || ch > '9') return std::nullopt;
      if (first && ch == '0') return std::nullopt;
      first = false;
      res.mul_assign(ten);
      res.add_assign(from_u128(static_cast<uint64_t>(ch - '0'), 0));
    }
    return res;
  }

  constexpr void add_assign(const PrimeField& o) {
#if defined(__x86_64__)
    if constexpr (kFastKernels) {
      if (!std::is_constant_evaluated()) {
        m_ = detail::add_mod_x86(m_, o.m_, kModulus);
        return;
      }
    }
#endif
    Repr sum{};
    const uint64_t carry = detail::add_carry(sum, m_, o.m_);
    Repr reduced{};
    const uint64_t borrow = detail::sub_borrow(reduced, sum, kModulus);
    m_ = detail::select(sum, reduced, detail::mask_from_bit(carry | (borrow ^ 1)));
  }

  constexpr void sub_assign(const PrimeField& o) {
#if defined(__x86_64__)
    if constexpr (kFastKernels) {
      if (!std::is_constant_evaluated()) {
        m_ = detail::sub_mod_x86(m_, o.m_, kModulus);
        return;
      }
    }
#endif
    Repr diff{};
    const uint64_t borrow = detail::sub_borrow(diff, m_, o.m_);
    const uint64_t mask = detail::mask_from_bit(borrow);
    const Repr correction{kModulus[0] & mask, kModulus[1] & mask, kModulus[2] & mask, kModulus[3] & mask};
    detail::add_carry(m_, diff, correction);
  }

  constexpr void mul_assign(const PrimeField& o) { m_ = mont_mul(m_, o.m_); }
  constexpr void square() { m_ = mont_square(m_); }

  // The kernel the plain operations use in this process.
  static MulInstructions fastest_instructions() {
    return kFastKernels && detail::mulx_adx_chosen() ? MulInstructions::mulx_adx : MulInstructions::portable;
  }

  // mul_assign and square on a chosen kernel, for loops that pick it once.
  // MulInstructions::mulx_adx requires cpu::runs(MulInstructions::mulx_adx).
  // Same results as the plain operations.
  template <MulInstructions K>
  constexpr void mul_assign_with(const PrimeField& o) {
    m_ = mont_mul_with<K>(m_, o.m_);
  }
  template <MulInstructions K>
  constexpr void square_with() {
    m_ = mont_square_with<K>(m_);
  }

  // a[0]·b[0] + ... + a[N-1]·b[N-1] with one reduction for the whole sum
  // where the modulus leaves room for it, else product by product.
  template <size_t N>
  static PrimeField sum_of_products(const std::array<PrimeField, N>& a, const std::array<PrimeField, N>& b) {
    if (fastest_instructions() == MulInstructions::mulx_adx) return sum_of_products_with<MulInstructions::mulx_adx>(a, b);
    return sum_of_products_with<MulInstructions::portable>(a, b);
  }

  // sum_of_products on a chosen kernel.
  template <MulInstructions K, size_t N>
  static constexpr PrimeField sum_of_products_with(const std::array<PrimeField, N>& a,
                                                   const std::array<PrimeField, N>& b) {
    std::array<const PrimeField*, N> pa{};
    std::array<const PrimeField*, N> pb{};
    for (size_t i = 0; i < N; ++i) {
      pa[i] = &a[i];
      pb[i] = &b[i];
    }
    return sum_of_products_with<K, N>(pa, pb);
  }

  // *a[0]·*b[0] + ... + *a[N-1]·*b[N-1], operands by address: for callers
  // that gather them from several tables.
  template <MulInstructions K, size_t N>
  static constexpr PrimeField sum_of_products_with(const std::array<const PrimeField*, N>& a,
                                                   const std::array<const PrimeField*, N>& b) {
    return sum_of_products_impl<K, N, false>(nullptr, a, b);
  }

  // addend + *a[0]·*b[0] + ... + *a[N-1]·*b[N-1]: the addend joins the
  // unreduced sum (as addend·2^256), so it costs no reduction of its own.
  template <MulInstructions K, size_t N>
  static constexpr PrimeField sum_of_products_plus_with(const PrimeField& addend,
                                                        const std::array<const PrimeField*, N>& a,
                                                        const std::array<const PrimeField*, N>& b) {
    return sum_of_products_impl<K, N, true>(&addend, a, b);
  }
  constexpr void double_() { add_assign(*this); }

  // Zero stays zero; any other a becomes p - a.
  constexpr void negate() {
    Repr r{};
    detail::sub_borrow(r, kModulus, m_);
    const uint64_t mask = detail::mask_from_bit(detail::nonzero_bit(m_[0] | m_[1] | m_[2] | m_[3]));
    for (int i = 0; i < 4; ++i) m_[i] = r[i] & mask;
  }

  // Branch-free: one when the element is zero.
  constexpr bool is_zero() const { return detail::nonzero_bit(m_[0] | m_[1] | m_[2] | m_[3]) == 0; }

  // Branch-free equality.
  constexpr bool ct_eq(const PrimeField& o) const {
    uint64_t diff = 0;
    for (int i = 0; i < 4; ++i) diff |= m_[i] ^ o.m_[i];
    return detail::nonzero_bit(diff) == 0;
  }
  constexpr bool operator==(const PrimeField& o) const { return ct_eq(o); }

  // The inverse by the binary extended Euclidean algorithm on the stored
  // limbs; absent for zero. Running time depends on the value.
  constexpr std::optional<PrimeField> inverse_vartime() const {
    if (detail::is_zero_vartime(m_)) return std::nullopt;
    constexpr Repr kOneLimb{1, 0, 0, 0};
    Repr u = m_;
    Repr v = kModulus;
    PrimeField b(kR2);
    PrimeField c;
    while (u != kOneLimb && v != kOneLimb) {
      while ((u[0] & 1) == 0) {
        u = detail::shift_right(u, 1);
        b.halve_vartime();
      }
      while ((v[0] & 1) == 0) {
        v = detail::shift_right(v, 1);
        c.halve_vartime();
      }
      if (detail::less_than_vartime(v, u)) {
        detail::sub_borrow(u, u, v);
        b.sub_assign(c);
      } else {
        detail::sub_borrow(v, v, u);
        c.sub_assign(b);
      }
    }
    return u == kOneLimb ? b : c;
  }

  // The inverse as a^(p-2), in constant time; absent for zero.
  constexpr std::optional<PrimeField> invert() const {
    PrimeField res = one();
    for (int i = 255; i >= 0; --i) {
      res.square();
      PrimeField with = res;
      with.mul_assign(*this);
      const uint64_t bit = (kModulusMinusTwo[i / 64] >> (i % 64)) & 1;
      res.m_ = detail::select(res.m_, with.m_, detail::mask_from_bit(bit));
    }
    if (is_zero()) return std::nullopt;
    return res;
  }

  // a^e by square-and-multiply from e's most significant set bit. The
  // running time depends on e.
  constexpr PrimeField pow_vartime(const Repr& e) const {
    PrimeField res = one();
    bool started = false;
    for (int i = 255; i >= 0; --i) {
      if (started) res.square();
      if ((e[i / 64] >> (i % 64)) & 1) {
        res.mul_assign(*this);
        started = true;
      }
    }
    return res;
  }

  // 0 for zero, 1 for a non-zero square, -1 otherwise.
  constexpr int legendre_vartime() const {
    const PrimeField s = pow_vartime(kLegendreExponent);
    if (s.is_zero()) return 0;
    return s == one() ? 1 : -1;
  }

  // A square root by Tonelli-Shanks, or absent for a non-square. Which of
  // the two roots is returned is fixed by the procedure; callers needing a
  // particular one adjust it.
  constexpr std::optional<PrimeField> sqrt_vartime() const
    requires requires { Params::kRootOfUnity; }
  {
    switch (legendre_vartime()) {
      case 0:
        return *this;
      case -1:
        return std::nullopt;
      default:
        break;
    }
    PrimeField c(Params::kRootOfUnity);
    PrimeField r = pow_vartime(kTPlusOneHalf);
    PrimeField x = pow_vartime(kT);
    unsigned m = kTwoAdicity;
    const PrimeField unit = one();
    while (!(x == unit)) {
      unsigned i = 1;
      PrimeField x2 = x;
      x2.square();
      while (!(x2 == unit)) {
        x2.square();
        ++i;
      }
      for (unsigned j = 0; j + i + 1 < m; ++j) c.square();
      r.mul_assign(c);
      c.square();
      x.mul_assign(c);
      m = i;
    }
    return r;
  }

  // The stored Montgomery limbs a·R mod p.
  constexpr const Repr& montgomery_limbs() const { return m_; }

  friend constexpr PrimeField operator+(PrimeField a, const PrimeField& b) {
    a.add_assign(b);
    return a;
  }
  friend constexpr PrimeField operator-(PrimeField a, const PrimeField& b) {
    a.sub_assign(b);
    return a;
  }
  friend constexpr PrimeField operator*(PrimeField a, const PrimeField& b) {
    a.mul_assign(b);
    return a;
  }
  friend constexpr PrimeField operator-(PrimeField a) {
    a.negate();
    return a;
  }

 private:
  explicit constexpr PrimeField(const Repr& m) : m_(m) {}

  // The unreduced sum of N products of values below p; on input
  // sum_of_products_fits(N, kModulus).
  template <MulInstructions K, size_t N>
  static constexpr detail::Wide wide_sum(const std::array<const PrimeField*, N>& a,
                                         const std::array<const PrimeField*, N>& b) {
    std::array<const Repr*, N> pa{};
    std::array<const Repr*, N> pb{};
    for (size_t i = 0; i < N; ++i) {
      pa[i] = &a[i]->m_;
      pb[i] = &b[i]->m_;
    }
#if defined(__x86_64__)
    if (K == MulInstructions::mulx_adx && !std::is_constant_evaluated()) return detail::sum_of_products_wide_mulx<N>(pa, pb);
#endif
    return detail::sum_of_products_wide_portable<N>(pa, pb);
  }

  // t·R^-1 reduced by `subtractions` conditional subtractions of p; on input
  // t + (2^256 - 1)·p < 2^512 and the reduction below (subtractions + 1)·p.
  template <MulInstructions K>
  static constexpr PrimeField reduce_sum(const detail::Wide& t, unsigned subtractions) {
    Repr r{};
#if defined(__x86_64__)
    if (K == MulInstructions::mulx_adx && !std::is_constant_evaluated()) {
      r = detail::mont_reduce_partial_mulx_adx(t, kModulus, kInv);
    } else
#endif
    {
      r = detail::mont_reduce_partial(t, kModulus, kInv);
    }
    for (unsigned i = 0; i < subtractions; ++i) r = detail::sub_modulus_if_ge(r, kModulus);
    return PrimeField(r);
  }

  // The sums of products: one reduction for the whole sum (plus the addend
  // at 2^256 when kAddend) where the modulus leaves room, else product by
  // product.
  template <MulInstructions K, size_t N, bool kAddend>
  static constexpr PrimeField sum_of_products_impl(const PrimeField* addend, const std::array<const PrimeField*, N>& a,
                                                   const std::array<const PrimeField*, N>& b) {
    if constexpr (detail::sum_of_products_fits(N, kModulus, kAddend)) {
      detail::Wide t = wide_sum<K, N>(a, b);
      if constexpr (kAddend) {
        // No carry leaves the top word: the bound above covers the addend.
        uint64_t carry = 0;
        for (int i = 0; i < 4; ++i) t[4 + i] = detail::adc(t[4 + i], addend->m_[i], carry);
      }
      return reduce_sum<K>(t, detail::sum_of_products_subtractions(N, kModulus, kAddend));
    } else {
      PrimeField sum;
      if constexpr (kAddend) sum = *addend;
      for (size_t i = 0; i < N; ++i) {
        PrimeField t = *a[i];
        t.template mul_assign_with<K>(*b[i]);
        sum.add_assign(t);
      }
      return sum;
    }
  }

  // Montgomery reduction of the 512-bit value t < p·2^256: t·R^-1 mod p,
  // fully reduced.
  static constexpr Repr mont_reduce(std::array<uint64_t, 8>& t) {
    uint64_t top = 0;  // bit 512 of the running sum
    for (int i = 0; i < 4; ++i) {
      const uint64_t k = t[i] * kInv;
      uint64_t carry = 0;
      detail::mac(t[i], k, kModulus[0], carry);
      for (int j = 1; j < 4; ++j) t[i + j] = detail::mac(t[i + j], k, kModulus[j], carry);
      // top is a bit, carry a whole word: the word goes in as an operand.
      t[i + 4] = detail::adc(t[i + 4], carry, top);
    }
    const Repr r{t[4], t[5], t[6], t[7]};
    Repr reduced{};
    const uint64_t borrow = detail::sub_borrow(reduced, r, kModulus);
    return detail::select(r, reduced, detail::mask_from_bit(top | (borrow ^ 1)));
  }

  // a·b·R^-1 mod p for a below p and any 256-bit b, on the kernel of this
  // processor.
  // Inlined so that the point formulas keep their operands in registers
  // around the fast kernel; the portable one stays a call.
  [[gnu::always_inline]] static constexpr Repr mont_mul(const Repr& a, const Repr& b) {
    if constexpr (kFastKernels) {
      if (std::is_constant_evaluated()) return detail::mont_mul_portable(a, b, kModulus, kInv);
      if (detail::mulx_adx_chosen()) return mont_mul_with<MulInstructions::mulx_adx>(a, b);
      return mont_mul_portable_call(a, b);
    } else {
      return mont_mul_general(a, b);
    }
  }

  [[gnu::always_inline]] static constexpr Repr mont_square(const Repr& a) {
    if constexpr (kFastKernels) {
      if (std::is_constant_evaluated()) return detail::mont_square_portable(a, kModulus, kInv);
      if (detail::mulx_adx_chosen()) return mont_square_with<MulInstructions::mulx_adx>(a);
      return mont_square_portable_call(a);
    } else {
      return mont_mul_general(a, a);
    }
  }

  [[gnu::noinline]] static Repr mont_mul_portable_call(const Repr& a, const Repr& b) {
    return detail::mont_mul_portable(a, b, kModulus, kInv);
  }
  [[gnu::noinline]] static Repr mont_square_portable_call(const Repr& a) {
    return detail::mont_square_portable(a, kModulus, kInv);
  }

  template <MulInstructions K>
  static constexpr Repr mont_mul_with(const Repr& a, const Repr& b) {
    if constexpr (!kFastKernels) {
      return mont_mul_general(a, b);
    } else {
#if defined(__x86_64__)
      if constexpr (K == MulInstructions::mulx_adx) {
        if (!std::is_constant_evaluated()) return detail::mont_mul_mulx_adx(a, b, kModulus, kInv);
      }
#endif
      return detail::mont_mul_portable(a, b, kModulus, kInv);
    }
  }

  template <MulInstructions K>
  static constexpr Repr mont_square_with(const Repr& a) {
    if constexpr (!kFastKernels) {
      return mont_mul_general(a, a);
    } else {
#if defined(__x86_64__)
      if constexpr (K == MulInstructions::mulx_adx) {
        if (!std::is_constant_evaluated()) return detail::mont_square_mulx_adx(a, kModulus, kInv);
      }
#endif
      return detail::mont_square_portable(a, kModulus, kInv);
    }
  }

  // The general multiplication, for any odd modulus: the full 512-bit
  // product, then mont_reduce. On input a·b < p·2^256.
  static constexpr Repr mont_mul_general(const Repr& a, const Repr& b) {
    std::array<uint64_t, 8> t{};
    for (int i = 0; i < 4; ++i) {
      uint64_t carry = 0;
      for (int j = 0; j < 4; ++j) t[i + j] = detail::mac(t[i + j], a[i], b[j], carry);
      t[i + 4] = carry;
    }
    return mont_reduce(t);
  }

  // this/2 for the inversion: an odd value gets p added first (without
  // reduction, keeping the carry), so the result stays below p.
  constexpr void halve_vartime() {
    Repr s = m_;
    uint64_t carry = 0;
    if (m_[0] & 1) carry = detail::add_carry(s, m_, kModulus);
    m_ = detail::shift_right(s, 1);
    m_[3] |= carry << 63;
  }

  Repr m_{};
};

}  // namespace quillet::field
