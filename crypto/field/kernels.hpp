// Multiplication kernels of the Montgomery core, for moduli whose top limb is
// below 2^63 - 1 (both fields of the system qualify). With such a modulus a
// product in progress never needs a fifth word (the "no-carry" form of CIOS),
// and a sum of a few unreduced products still fits 512 bits.
//
// Two interchangeable implementations compute bit-identical results:
// - portable: unsigned __int128 arithmetic, usable in constant evaluation;
// - mulx_adx: x86-64 assembly with MULX, ADCX and ADOX, two independent carry
//   chains. Only call it where cpu::runs(MulInstructions::mulx_adx).
// Every kernel is free of data-dependent branches and memory accesses.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#if defined(__x86_64__)
#include <x86intrin.h>
#endif

#include "crypto/cpu/cpu.hpp"
#include "crypto/field/repr.hpp"

namespace quillet::field {

// Which multiplication code a routine runs (crypto/cpu).
using cpu::MulInstructions;

namespace detail {

__extension__ typedef unsigned __int128 u128;

using Wide = std::array<uint64_t, 8>;

// Whether the modulus allows the kernels of this file.
constexpr bool no_carry_modulus(const Repr& p) { return p[3] < 0x7ffffffffffffffeULL; }

// Whether the process's products run on MULX, ADCX and ADOX (cpu::dispatch(),
// decided while the program loads: one load per product).
inline bool mulx_adx_chosen() { return cpu::dispatch().mul() == MulInstructions::mulx_adx; }

// r - p when r >= p, else r; branch-free. On input r < 2^256.
constexpr Repr sub_modulus_if_ge(const Repr& r, const Repr& p) {
  Repr d{};
  uint64_t borrow = 0;
  for (int i = 0; i < 4; ++i) {
#if defined(__x86_64__)
    if (!std::is_constant_evaluated()) {
      unsigned long long out = 0;
      borrow = _subborrow_u64(static_cast<unsigned char>(borrow), r[i], p[i], &out);
      d[i] = out;
      continue;
    }
#endif
    const u128 t = static_cast<u128>(r[i]) - p[i] - borrow;
    d[i] = static_cast<uint64_t>(t);
    borrow = static_cast<uint64_t>(t >> 64) & 1;
  }
  const uint64_t keep = 0 - borrow;  // all ones when r < p
  Repr out{};
  for (int i = 0; i < 4; ++i) out[i] = d[i] ^ (keep & (d[i] ^ r[i]));
  return out;
}

// a·b·2^-256 mod p, fully reduced. On input a, b < p and no_carry_modulus(p);
// inv = -p^-1 mod 2^64.
constexpr Repr mont_mul_portable(const Repr& a, const Repr& b, const Repr& p, uint64_t inv) {
  uint64_t t0 = 0, t1 = 0, t2 = 0, t3 = 0;
  for (int i = 0; i < 4; ++i) {
    const uint64_t bi = b[i];
    u128 s = static_cast<u128>(a[0]) * bi + t0;
    t0 = static_cast<uint64_t>(s);
    uint64_t hi_a = static_cast<uint64_t>(s >> 64);
    const uint64_t m = t0 * inv;
    u128 r = static_cast<u128>(m) * p[0] + t0;
    uint64_t hi_m = static_cast<uint64_t>(r >> 64);

    s = static_cast<u128>(a[1]) * bi + t1 + hi_a;
    t1 = static_cast<uint64_t>(s);
    hi_a = static_cast<uint64_t>(s >> 64);
    r = static_cast<u128>(m) * p[1] + t1 + hi_m;
    t0 = static_cast<uint64_t>(r);
    hi_m = static_cast<uint64_t>(r >> 64);

    s = static_cast<u128>(a[2]) * bi + t2 + hi_a;
    t2 = static_cast<uint64_t>(s);
    hi_a = static_cast<uint64_t>(s >> 64);
    r = static_cast<u128>(m) * p[2] + t2 + hi_m;
    t1 = static_cast<uint64_t>(r);
    hi_m = static_cast<uint64_t>(r >> 64);

    s = static_cast<u128>(a[3]) * bi + t3 + hi_a;
    t3 = static_cast<uint64_t>(s);
    hi_a = static_cast<uint64_t>(s >> 64);
    r = static_cast<u128>(m) * p[3] + t3 + hi_m;
    t2 = static_cast<uint64_t>(r);
    hi_m = static_cast<uint64_t>(r >> 64);

    t3 = hi_a + hi_m;
  }
  return sub_modulus_if_ge(Repr{t0, t1, t2, t3}, p);
}

// t·2^-256 mod p + k·p for some small k (see the callers' bounds). On input
// t + (2^256 - 1)·p < 2^512.
constexpr Repr mont_reduce_partial(Wide t, const Repr& p, uint64_t inv) {
  uint64_t top = 0;
  for (int i = 0; i < 4; ++i) {
    const uint64_t m = t[i] * inv;
    uint64_t carry = 0;
    for (int j = 0; j < 4; ++j) {
      const u128 s = static_cast<u128>(m) * p[j] + t[i + j] + carry;
      t[i + j] = static_cast<uint64_t>(s);
      carry = static_cast<uint64_t>(s >> 64);
    }
    const u128 s = static_cast<u128>(t[i + 4]) + top + carry;
    t[i + 4] = static_cast<uint64_t>(s);
    top = static_cast<uint64_t>(s >> 64);
  }
  return Repr{t[4], t[5], t[6], t[7]};
}

// a^2·2^-256 mod p, fully reduced: the 512-bit square (six cross products
// doubled, four squares) and one reduction. Same contract as mont_mul_portable.
constexpr Repr mont_square_portable(const Repr& a, const Repr& p, uint64_t inv) {
  Wide t{};
  // Cross products a[i]·a[j], i < j.
  for (int i = 0; i < 3; ++i) {
    uint64_t carry = 0;
    for (int j = i + 1; j < 4; ++j) {
      const u128 s = static_cast<u128>(a[i]) * a[j] + t[i + j] + carry;
      t[i + j] = static_cast<uint64_t>(s);
      carry = static_cast<uint64_t>(s >> 64);
    }
    t[i + 4] = carry;
  }
  // Doubled, plus the squares.
  uint64_t shifted_out = 0;
  for (int k = 0; k < 8; ++k) {
    const uint64_t w = t[k];
    t[k] = (w << 1) | shifted_out;
    shifted_out = w >> 63;
  }
  uint64_t carry = 0;
  for (int i = 0; i < 4; ++i) {
    const u128 sq = static_cast<u128>(a[i]) * a[i];
    u128 s = static_cast<u128>(t[2 * i]) + static_cast<uint64_t>(sq) + carry;
    t[2 * i] = static_cast<uint64_t>(s);
    s = static_cast<u128>(t[2 * i + 1]) + static_cast<uint64_t>(sq >> 64) + static_cast<uint64_t>(s >> 64);
    t[2 * i + 1] = static_cast<uint64_t>(s);
    carry = static_cast<uint64_t>(s >> 64);
  }
  return sub_modulus_if_ge(mont_reduce_partial(t, p, inv), p);
}

// How many conditional subtractions bring the reduction of a sum of n
// products of values below p (plus, with `addend`, a value below p times
// 2^256) under p: the reduction leaves less than (n·p/2^256 + 1)·p, or one p
// more with the addend, and n·p/2^256 < n·(p[3] + 1)/2^64.
constexpr unsigned sum_of_products_subtractions(size_t n, const Repr& p, bool addend = false) {
  const u128 scaled = static_cast<u128>(n) * (static_cast<u128>(p[3]) + 1);
  return static_cast<unsigned>((scaled + (~uint64_t{0})) >> 64) + (addend ? 1 : 0);
}

// Whether n products of values below p (plus, with `addend`, a value below p
// times 2^256), plus the reduction's (2^256 - 1)·p, stay below 2^512:
// n·(p[3]+1)^2 + (p[3]+1)·2^64 <= 2^128 suffices, with the last term doubled
// for the addend.
constexpr bool sum_of_products_fits(size_t n, const Repr& p, bool addend = false) {
  if (!no_carry_modulus(p)) return false;
  const u128 q = static_cast<u128>(p[3]) + 1;
  const u128 shifted = q << 64;
  u128 room = (~u128{0}) - shifted;  // 2^128 - 1 - q·2^64
  if (addend) {
    if (room < shifted) return false;
    room -= shifted;
  }
  return n == 0 || q * q <= room / n;
}

// Σ a[k]·b[k] as a 512-bit value, by product scanning (column by column,
// one three-word accumulator). On input sum_of_products_fits(N, p) for the
// modulus the values are below.
template <size_t N>
constexpr Wide sum_of_products_wide_portable(const std::array<const Repr*, N>& a,
                                             const std::array<const Repr*, N>& b) {
  Wide out{};
  uint64_t c0 = 0, c1 = 0, c2 = 0;
  for (int col = 0; col < 7; ++col) {
    const int lo = col < 3 ? 0 : col - 3;
    const int hi = col < 3 ? col : 3;
    for (int i = lo; i <= hi; ++i) {
      const int j = col - i;
      for (size_t n = 0; n < N; ++n) {
        const u128 pr = static_cast<u128>((*a[n])[i]) * (*b[n])[j];
        const u128 s0 = static_cast<u128>(c0) + static_cast<uint64_t>(pr);
        c0 = static_cast<uint64_t>(s0);
        const u128 s1 = static_cast<u128>(c1) + static_cast<uint64_t>(pr >> 64) + static_cast<uint64_t>(s0 >> 64);
        c1 = static_cast<uint64_t>(s1);
        c2 += static_cast<uint64_t>(s1 >> 64);
      }
    }
    out[col] = c0;
    c0 = c1;
    c1 = c2;
    c2 = 0;
  }
  out[7] = c0;
  return out;
}

#if defined(__x86_64__)

// Whether AddressSanitizer instruments this build. Its instrumentation
// holds registers of its own, and the multiplication below, inlined into a
// large routine, can then no longer get the twelve it needs.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
inline constexpr bool kAddressSanitizer = __has_feature(address_sanitizer);
#else
inline constexpr bool kAddressSanitizer = false;
#endif

inline Repr mont_mul_mulx_adx_body(const Repr& a, const Repr& b, const Repr& p, uint64_t inv);
[[gnu::noinline]] inline Repr mont_mul_mulx_adx_call(const Repr& a, const Repr& b, const Repr& p, uint64_t inv) {
  return mont_mul_mulx_adx_body(a, b, p, inv);
}

// mont_mul_portable with MULX/ADCX/ADOX. Requires
// cpu::runs(MulInstructions::mulx_adx). Inlined where it is used, except
// under AddressSanitizer.
inline Repr mont_mul_mulx_adx(const Repr& a, const Repr& b, const Repr& p, uint64_t inv) {
  if constexpr (kAddressSanitizer) return mont_mul_mulx_adx_call(a, b, p, inv);
  return mont_mul_mulx_adx_body(a, b, p, inv);
}

inline Repr mont_mul_mulx_adx_body(const Repr& a, const Repr& b, const Repr& p, uint64_t inv) {
  uint64_t r0, r1, r2, r3, r4, lo, hi, z;
  __asm__(
      "movq %[b0], %%rdx\n\t"
      "xorl %k[z], %k[z]\n\t"
      "mulxq %[a0], %[r0], %[r1]\n\t"
      "mulxq %[a1], %[lo], %[r2]\n\t"
      "adcxq %[lo], %[r1]\n\t"
      "mulxq %[a2], %[lo], %[r3]\n\t"
      "adcxq %[lo], %[r2]\n\t"
      "mulxq %[a3], %[lo], %[r4]\n\t"
      "adcxq %[lo], %[r3]\n\t"
      "adcxq %[z], %[r4]\n\t"
      "movq %[r0], %%rdx\n\t"
      "imulq %[inv], %%rdx\n\t"
      "xorl %k[z], %k[z]\n\t"
      "mulxq %[p0], %[lo], %[hi]\n\t"
      "adcxq %[r0], %[lo]\n\t"
      "adoxq %[hi], %[r1]\n\t"
      "mulxq %[p1], %[lo], %[hi]\n\t"
      "adcxq %[lo], %[r1]\n\t"
      "adoxq %[hi], %[r2]\n\t"
      "mulxq %[p2], %[lo], %[hi]\n\t"
      "adcxq %[lo], %[r2]\n\t"
      "adoxq %[hi], %[r3]\n\t"
      "mulxq %[p3], %[lo], %[hi]\n\t"
      "adcxq %[lo], %[r3]\n\t"
      "adoxq %[hi], %[r4]\n\t"
      "adcxq %[z], %[r4]\n\t"
      "movq %[b1], %%rdx\n\t"
      "xorl %k[z], %k[z]\n\t"
      "mulxq %[a0], %[lo], %[hi]\n\t"
      "adcxq %[lo], %[r1]\n\t"
      "adoxq %[hi], %[r2]\n\t"
      "mulxq %[a1], %[lo], %[hi]\n\t"
      "adcxq %[lo], %[r2]\n\t"
      "adoxq %[hi], %[r3]\n\t"
      "mulxq %[a2], %[lo], %[hi]\n\t"
      "adcxq %[lo], %[r3]\n\t"
      "adoxq %[hi], %[r4]\n\t"
      "mulxq %[a3], %[lo], %[r0]\n\t"
      "adcxq %[lo], %[r4]\n\t"
      "adoxq %[z], %[r0]\n\t"
      "adcxq %[z], %[r0]\n\t"
      "movq %[r1], %%rdx\n\t"
      "imulq %[inv], %%rdx\n\t"
      "xorl %k[z], %k[z]\n\t"
      "mulxq %[p0], %[lo], %[hi]\n\t"
      "adcxq %[r1], %[lo]\n\t"
      "adoxq %[hi], %[r2]\n\t"
      "mulxq %[p1], %[lo], %[hi]\n\t"
      "adcxq %[lo], %[r2]\n\t"
      "adoxq %[hi], %[r3]\n\t"
      "mulxq %[p2], %[lo], %[hi]\n\t"
      "adcxq %[lo], %[r3]\n\t"
      "adoxq %[hi], %[r4]\n\t"
      "mulxq %[p3], %[lo], %[hi]\n\t"
      "adcxq %[lo], %[r4]\n\t"
      "adoxq %[hi], %[r0]\n\t"
      "adcxq %[z], %[r0]\n\t"
      "movq %[b2], %%rdx\n\t"
      "xorl %k[z], %k[z]\n\t"
      "mulxq %[a0], %[lo], %[hi]\n\t"
      "adcxq %[lo], %[r2]\n\t"
      "adoxq %[hi], %[r3]\n\t"
      "mulxq %[a1], %[lo], %[hi]\n\t"
      "adcxq %[lo], %[r3]\n\t"
      "adoxq %[hi], %[r4]\n\t"
      "mulxq %[a2], %[lo], %[hi]\n\t"
      "adcxq %[lo], %[r4]\n\t"
      "adoxq %[hi], %[r0]\n\t"
      "mulxq %[a3], %[lo], %[r1]\n\t"
      "adcxq %[lo], %[r0]\n\t"
      "adoxq %[z], %[r1]\n\t"
      "adcxq %[z], %[r1]\n\t"
      "movq %[r2], %%rdx\n\t"
      "imulq %[inv], %%rdx\n\t"
      "xorl %k[z], %k[z]\n\t"
      "mulxq %[p0], %[lo], %[hi]\n\t"
      "adcxq %[r2], %[lo]\n\t"
      "adoxq %[hi], %[r3]\n\t"
      "mulxq %[p1], %[lo], %[hi]\n\t"
      "adcxq %[lo], %[r3]\n\t"
      "adoxq %[hi], %[r4]\n\t"
      "mulxq %[p2], %[lo], %[hi]\n\t"
      "adcxq %[lo], %[r4]\n\t"
      "adoxq %[hi], %[r0]\n\t"
      "mulxq %[p3], %[lo], %[hi]\n\t"
      "adcxq %[lo], %[r0]\n\t"
      "adoxq %[hi], %[r1]\n\t"
      "adcxq %[z], %[r1]\n\t"
      "movq %[b3], %%rdx\n\t"
      "xorl %k[z], %k[z]\n\t"
      "mulxq %[a0], %[lo], %[hi]\n\t"
      "adcxq %[lo], %[r3]\n\t"
      "adoxq %[hi], %[r4]\n\t"
      "mulxq %[a1], %[lo], %[hi]\n\t"
      "adcxq %[lo], %[r4]\n\t"
      "adoxq %[hi], %[r0]\n\t"
      "mulxq %[a2], %[lo], %[hi]\n\t"
      "adcxq %[lo], %[r0]\n\t"
      "adoxq %[hi], %[r1]\n\t"
      "mulxq %[a3], %[lo], %[r2]\n\t"
      "adcxq %[lo], %[r1]\n\t"
      "adoxq %[z], %[r2]\n\t"
      "adcxq %[z], %[r2]\n\t"
      "movq %[r3], %%rdx\n\t"
      "imulq %[inv], %%rdx\n\t"
      "xorl %k[z], %k[z]\n\t"
      "mulxq %[p0], %[lo], %[hi]\n\t"
      "adcxq %[r3], %[lo]\n\t"
      "adoxq %[hi], %[r4]\n\t"
      "mulxq %[p1], %[lo], %[hi]\n\t"
      "adcxq %[lo], %[r4]\n\t"
      "adoxq %[hi], %[r0]\n\t"
      "mulxq %[p2], %[lo], %[hi]\n\t"
      "adcxq %[lo], %[r0]\n\t"
      "adoxq %[hi], %[r1]\n\t"
      "mulxq %[p3], %[lo], %[hi]\n\t"
      "adcxq %[lo], %[r1]\n\t"
      "adoxq %[hi], %[r2]\n\t"
      "adcxq %[z], %[r2]\n\t"

      // Subtract p once if the result (r4, r0, r1, r2) is not below it.
      "movq %[r4], %[lo]\n\t"
      "subq %[p0], %[lo]\n\t"
      "movq %[r0], %[hi]\n\t"
      "sbbq %[p1], %[hi]\n\t"
      "movq %[r1], %[z]\n\t"
      "sbbq %[p2], %[z]\n\t"
      "movq %[r2], %%rdx\n\t"
      "sbbq %[p3], %%rdx\n\t"
      "cmovncq %[lo], %[r4]\n\t"
      "cmovncq %[hi], %[r0]\n\t"
      "cmovncq %[z], %[r1]\n\t"
      "cmovncq %%rdx, %[r2]\n\t"
      : [r0] "=&r"(r0), [r1] "=&r"(r1), [r2] "=&r"(r2), [r3] "=&r"(r3), [r4] "=&r"(r4), [lo] "=&r"(lo),
        [hi] "=&r"(hi), [z] "=&r"(z)
      : [a0] "m"(a[0]), [a1] "m"(a[1]), [a2] "m"(a[2]), [a3] "m"(a[3]), [b0] "m"(b[0]), [b1] "m"(b[1]),
        [b2] "m"(b[2]), [b3] "m"(b[3]), [p0] "m"(p[0]), [p1] "m"(p[1]), [p2] "m"(p[2]), [p3] "m"(p[3]),
        [inv] "rm"(inv)
      : "rdx", "cc");
  (void)r3;
  return Repr{r4, r0, r1, r2};
}

// One step of the MULX reduction over words held in registers, with lo, hi
// and z as scratch and p0..p3, inv as operands (the names of the asm
// statements below): m = w·inv, then m·p added into (w, a, b, c). The step
// leaves w zero, so w's register then keeps the top word of m·p plus the two
// chains' carries (at most p[3] + 1: no overflow); the caller adds it at the
// word after c once all steps are done, which keeps the carries from running
// up through the upper words.
#define QUILLET_MULX_REDUCE_STEP(w, a, b, c) \
  "movq %[" w "], %%rdx\n\t"                  \
  "imulq %[inv], %%rdx\n\t"                   \
  "xorl %k[z], %k[z]\n\t"                     \
  "mulxq %[p0], %[lo], %[hi]\n\t"             \
  "adcxq %[" w "], %[lo]\n\t"                 \
  "adoxq %[hi], %[" a "]\n\t"                 \
  "mulxq %[p1], %[lo], %[hi]\n\t"             \
  "adcxq %[lo], %[" a "]\n\t"                 \
  "adoxq %[hi], %[" b "]\n\t"                 \
  "mulxq %[p2], %[lo], %[hi]\n\t"             \
  "adcxq %[lo], %[" b "]\n\t"                 \
  "adoxq %[hi], %[" c "]\n\t"                 \
  "mulxq %[p3], %[lo], %[" w "]\n\t"          \
  "adcxq %[lo], %[" c "]\n\t"                 \
  "adcxq %[z], %[" w "]\n\t"                  \
  "adoxq %[z], %[" w "]\n\t"

inline Repr mont_square_mulx_adx_body(const Repr& a, const Repr& p, uint64_t inv);
[[gnu::noinline]] inline Repr mont_square_mulx_adx_call(const Repr& a, const Repr& p, uint64_t inv) {
  return mont_square_mulx_adx_body(a, p, inv);
}

// mont_square_portable with MULX/ADCX/ADOX: 10 word products for the square
// and 16 for the reduction, where the product kernel takes 32. Requires
// cpu::runs(MulInstructions::mulx_adx). Inlined where it is used, except under
// AddressSanitizer.
inline Repr mont_square_mulx_adx(const Repr& a, const Repr& p, uint64_t inv) {
  if constexpr (kAddressSanitizer) return mont_square_mulx_adx_call(a, p, inv);
  return mont_square_mulx_adx_body(a, p, inv);
}

// The square goes by rows, a_i·(a_i, 2·a_(i+1), 2·a_(i+2), ...) at word 2i,
// with 2·(a1, a2, a3) made up front by shifts (a3 < 2^63 - 2, so it fits
// three words), so no pass doubles the cross products afterwards. Word i is
// complete once the rows up to i/2 and the reduction steps before it are in,
// so step i follows right after: the chain of the four factors m, which is
// what a run of squarings waits on, starts after one product, and rows 2 and
// 3 run beside the last steps. A row's last word is the high half of a
// product by a word below 2^64 - 4, so its two carries never overflow it.
// Against squaring through the product kernel: about 12% less time in a
// dependent chain, 10% among independent squares.
inline Repr mont_square_mulx_adx_body(const Repr& a, const Repr& p, uint64_t inv) {
  uint64_t t0, t1, t2, t3, t4, t5, t6, t7, lo, z;
  __asm__(
      // 2·(a1, a2, a3) in (lo, hi, t5).
      "movq %[a2], %[hi]\n\t"
      "movq %[a3], %[t5]\n\t"
      "shldq $1, %[hi], %[t5]\n\t"
      "movq %[a1], %[lo]\n\t"
      "shldq $1, %[lo], %[hi]\n\t"
      "addq %[lo], %[lo]\n\t"
      // Row 0: a0·(a0, 2·a1, 2·a2, 2·a3) into words 0..4.
      "movq %[a0], %%rdx\n\t"
      "xorl %k[z], %k[z]\n\t"
      "mulxq %%rdx, %[t0], %[t1]\n\t"
      "mulxq %[lo], %[lo], %[t2]\n\t"
      "adcxq %[lo], %[t1]\n\t"
      "mulxq %[hi], %[lo], %[t3]\n\t"
      "adcxq %[lo], %[t2]\n\t"
      "mulxq %[t5], %[lo], %[t4]\n\t"
      "adcxq %[lo], %[t3]\n\t"
      "adcxq %[z], %[t4]\n\t"
      QUILLET_MULX_REDUCE_STEP("t0", "t1", "t2", "t3")
      QUILLET_MULX_REDUCE_STEP("t1", "t2", "t3", "t4")
      // Row 1: a1·(a1, 2·a2, 2·a3) into words 2..5; t5 still holds the
      // doubled top word.
      "movq %[a2], %[t6]\n\t"
      "movq %[a1], %%rdx\n\t"
      "addq %[t6], %[t6]\n\t"
      "xorl %k[z], %k[z]\n\t"
      "mulxq %%rdx, %[lo], %[hi]\n\t"
      "adcxq %[lo], %[t2]\n\t"
      "adoxq %[hi], %[t3]\n\t"
      "mulxq %[t6], %[lo], %[hi]\n\t"
      "adcxq %[lo], %[t3]\n\t"
      "adoxq %[hi], %[t4]\n\t"
      "mulxq %[t5], %[lo], %[t5]\n\t"
      "adcxq %[lo], %[t4]\n\t"
      "adcxq %[z], %[t5]\n\t"
      "adoxq %[z], %[t5]\n\t"
      QUILLET_MULX_REDUCE_STEP("t2", "t3", "t4", "t5")
      // Row 2: a2·(a2, 2·a3) into words 4..6.
      "movq %[a3], %[t6]\n\t"
      "movq %[a2], %%rdx\n\t"
      "addq %[t6], %[t6]\n\t"
      "xorl %k[z], %k[z]\n\t"
      "mulxq %%rdx, %[lo], %[hi]\n\t"
      "adcxq %[lo], %[t4]\n\t"
      "adoxq %[hi], %[t5]\n\t"
      "mulxq %[t6], %[lo], %[t6]\n\t"
      "adcxq %[lo], %[t5]\n\t"
      "adcxq %[z], %[t6]\n\t"
      "adoxq %[z], %[t6]\n\t"
      QUILLET_MULX_REDUCE_STEP("t3", "t4", "t5", "t6")
      // Row 3: a3^2 into words 6, 7; then the steps' top words. Word 7
      // goes in hi, free from here on: one register fewer taken from the
      // routines this is inlined into.
      "movq %[a3], %%rdx\n\t"
      "mulxq %%rdx, %[lo], %[hi]\n\t"
      "addq %[lo], %[t6]\n\t"
      "adcq %[z], %[hi]\n\t"
      "addq %[t0], %[t4]\n\t"
      "adcq %[t1], %[t5]\n\t"
      "adcq %[t2], %[t6]\n\t"
      "adcq %[t3], %[hi]\n\t"
      // Below 2p: subtract p once if the result is not below it.
      "movq %[t4], %[t0]\n\t"
      "subq %[p0], %[t0]\n\t"
      "movq %[t5], %[t1]\n\t"
      "sbbq %[p1], %[t1]\n\t"
      "movq %[t6], %[t2]\n\t"
      "sbbq %[p2], %[t2]\n\t"
      "movq %[hi], %[t3]\n\t"
      "sbbq %[p3], %[t3]\n\t"
      "cmovncq %[t0], %[t4]\n\t"
      "cmovncq %[t1], %[t5]\n\t"
      "cmovncq %[t2], %[t6]\n\t"
      "cmovncq %[t3], %[hi]\n\t"
      : [t0] "=&r"(t0), [t1] "=&r"(t1), [t2] "=&r"(t2), [t3] "=&r"(t3), [t4] "=&r"(t4), [t5] "=&r"(t5),
        [t6] "=&r"(t6), [lo] "=&r"(lo), [hi] "=&r"(t7), [z] "=&r"(z)
      : [a0] "m"(a[0]), [a1] "m"(a[1]), [a2] "m"(a[2]), [a3] "m"(a[3]), [p0] "m"(p[0]), [p1] "m"(p[1]),
        [p2] "m"(p[2]), [p3] "m"(p[3]), [inv] "rm"(inv)
      : "rdx", "cc");
  return Repr{t4, t5, t6, t7};
}

// (w0, ..., w5) += a·b for one word b: one row of a product, added into a
// six-word window of an accumulator held in registers. The carries of both
// chains end in w5, so on input the window plus a·b must stay below 2^384.
// Requires cpu::runs(MulInstructions::mulx_adx).
inline void mul_add_row_mulx_adx(uint64_t& w0, uint64_t& w1, uint64_t& w2, uint64_t& w3, uint64_t& w4,
                                 uint64_t& w5, const Repr& a, uint64_t b) {
  uint64_t lo, hi, z;
  __asm__(
      "xorl %k[z], %k[z]\n\t"
      "mulxq 0(%[a]), %[lo], %[hi]\n\t"
      "adcxq %[lo], %[w0]\n\t"
      "adoxq %[hi], %[w1]\n\t"
      "mulxq 8(%[a]), %[lo], %[hi]\n\t"
      "adcxq %[lo], %[w1]\n\t"
      "adoxq %[hi], %[w2]\n\t"
      "mulxq 16(%[a]), %[lo], %[hi]\n\t"
      "adcxq %[lo], %[w2]\n\t"
      "adoxq %[hi], %[w3]\n\t"
      "mulxq 24(%[a]), %[lo], %[hi]\n\t"
      "adcxq %[lo], %[w3]\n\t"
      "adoxq %[hi], %[w4]\n\t"
      "adcxq %[z], %[w4]\n\t"
      "adoxq %[z], %[w5]\n\t"
      "adcxq %[z], %[w5]\n\t"
      : [w0] "+r"(w0), [w1] "+r"(w1), [w2] "+r"(w2), [w3] "+r"(w3), [w4] "+r"(w4), [w5] "+r"(w5),
        [lo] "=&r"(lo), [hi] "=&r"(hi), [z] "=&r"(z)
      : [a] "r"(a.data()), "m"(a), "d"(b)
      : "cc");
}

// (w0, ..., w4) += a·b for one word b, where the sum is known to stay below
// 2^320 (the top row of a bounded sum). Requires
// cpu::runs(MulInstructions::mulx_adx).
inline void mul_add_top_row_mulx_adx(uint64_t& w0, uint64_t& w1, uint64_t& w2, uint64_t& w3, uint64_t& w4,
                                     const Repr& a, uint64_t b) {
  uint64_t lo, hi, z;
  __asm__(
      "xorl %k[z], %k[z]\n\t"
      "mulxq 0(%[a]), %[lo], %[hi]\n\t"
      "adcxq %[lo], %[w0]\n\t"
      "adoxq %[hi], %[w1]\n\t"
      "mulxq 8(%[a]), %[lo], %[hi]\n\t"
      "adcxq %[lo], %[w1]\n\t"
      "adoxq %[hi], %[w2]\n\t"
      "mulxq 16(%[a]), %[lo], %[hi]\n\t"
      "adcxq %[lo], %[w2]\n\t"
      "adoxq %[hi], %[w3]\n\t"
      "mulxq 24(%[a]), %[lo], %[hi]\n\t"
      "adcxq %[lo], %[w3]\n\t"
      "adoxq %[hi], %[w4]\n\t"
      "adcxq %[z], %[w4]\n\t"
      : [w0] "+r"(w0), [w1] "+r"(w1), [w2] "+r"(w2), [w3] "+r"(w3), [w4] "+r"(w4), [lo] "=&r"(lo),
        [hi] "=&r"(hi), [z] "=&r"(z)
      : [a] "r"(a.data()), "m"(a), "d"(b)
      : "cc");
}

// sum_of_products_wide_portable with MULX/ADCX/ADOX: for each word j of the
// second operands, the rows of all N products go into the window starting
// at word j, so the accumulator never leaves the registers and each row
// carries only one word beyond its own five. Requires
// cpu::runs(MulInstructions::mulx_adx).
template <size_t N>
inline Wide sum_of_products_wide_mulx(const std::array<const Repr*, N>& a, const std::array<const Repr*, N>& b) {
  uint64_t t0 = 0, t1 = 0, t2 = 0, t3 = 0, t4 = 0, t5 = 0, t6 = 0, t7 = 0;
  // The window of stage j holds the sum so far over 2^(64·j), below
  // N·2^320, so its 384 bits never overflow; the last stage's five words
  // hold the whole sum over 2^192, below 2^320 because the sum fits 512
  // bits.
  for (size_t n = 0; n < N; ++n) mul_add_row_mulx_adx(t0, t1, t2, t3, t4, t5, *a[n], (*b[n])[0]);
  for (size_t n = 0; n < N; ++n) mul_add_row_mulx_adx(t1, t2, t3, t4, t5, t6, *a[n], (*b[n])[1]);
  for (size_t n = 0; n < N; ++n) mul_add_row_mulx_adx(t2, t3, t4, t5, t6, t7, *a[n], (*b[n])[2]);
  for (size_t n = 0; n < N; ++n) mul_add_top_row_mulx_adx(t3, t4, t5, t6, t7, *a[n], (*b[n])[3]);
  return Wide{t0, t1, t2, t3, t4, t5, t6, t7};
}

// mont_reduce_partial with MULX/ADCX/ADOX. Requires
// cpu::runs(MulInstructions::mulx_adx) and no_carry_modulus(p).
inline Repr mont_reduce_partial_mulx_adx(const Wide& t, const Repr& p, uint64_t inv) {
  uint64_t t0 = t[0], t1 = t[1], t2 = t[2], t3 = t[3], t4 = t[4], t5 = t[5], t6 = t[6], t7 = t[7];
  uint64_t lo, hi, z;
  __asm__(
      QUILLET_MULX_REDUCE_STEP("t0", "t1", "t2", "t3")
      QUILLET_MULX_REDUCE_STEP("t1", "t2", "t3", "t4")
      QUILLET_MULX_REDUCE_STEP("t2", "t3", "t4", "t5")
      QUILLET_MULX_REDUCE_STEP("t3", "t4", "t5", "t6")
      "addq %[t0], %[t4]\n\t"
      "adcq %[t1], %[t5]\n\t"
      "adcq %[t2], %[t6]\n\t"
      "adcq %[t3], %[t7]\n\t"
      : [t0] "+r"(t0), [t1] "+r"(t1), [t2] "+r"(t2), [t3] "+r"(t3), [t4] "+r"(t4), [t5] "+r"(t5),
        [t6] "+r"(t6), [t7] "+r"(t7), [lo] "=&r"(lo), [hi] "=&r"(hi), [z] "=&r"(z)
      : [p0] "m"(p[0]), [p1] "m"(p[1]), [p2] "m"(p[2]), [p3] "m"(p[3]), [inv] "m"(inv)
      : "rdx", "cc");
  return Repr{t4, t5, t6, t7};
}

#undef QUILLET_MULX_REDUCE_STEP

#endif

}  // namespace detail
}  // namespace quillet::field
