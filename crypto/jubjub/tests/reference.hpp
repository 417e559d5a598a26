// Straightforward versions of the curve's fast paths, kept as the yardstick
// the randomised tests hold the fast ones against: double-and-add over all
// 256 bits, decoding by inversion and Tonelli-Shanks, verification by four
// such multiplications, and the nonce from one-shot HMACs.
#pragma once

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <random>
#include <span>
#include <vector>

#include "crypto/field/repr.hpp"
#include "crypto/hmac_sha256/hmac_sha256.hpp"
#include "crypto/jubjub/eddsa.hpp"
#include "crypto/jubjub/params.hpp"
#include "crypto/jubjub/scalar_split.hpp"

namespace quillet::jubjub::reference {

using hmac_sha256::sha256;
using hmac_sha256::Sha256Digest;

// k·P: for bit i from 255 down to 0, double, then add P if the bit is set.
template <class Subgroup>
Point<Subgroup> mul(const Point<Subgroup>& p, const FsRepr& k, const AltJubjubBn256& params) {
  Point<Subgroup> r = Point<Subgroup>::zero();
  for (int i = 255; i >= 0; --i) {
    r = r.double_();
    if ((k[i / 64] >> (i % 64)) & 1) r = r.add(p, params);
  }
  return r;
}

inline bool in_subgroup(const Point<Unknown>& p, const AltJubjubBn256& params) {
  return mul(p, fs_char(), params) == Point<Unknown>::zero();
}

inline Fs challenge(std::span<const uint8_t> msg) {
  std::array<uint8_t, 32> m{};
  std::copy_n(msg.begin(), std::min<size_t>(msg.size(), 32), m.begin());
  return to_uniform_32(m);
}

// The verification steps one by one: the subgroup checks of A and R, then
// ((A·c) + R) + (-(G·S)) against the neutral point.
inline bool verify(const Point<Unknown>& a, std::span<const uint8_t> msg, const RawSignature& sig,
                   const AltJubjubBn256& params) {
  const Fs c = challenge(msg);
  if (!in_subgroup(a, params)) return false;
  if (!in_subgroup(sig.r, params)) return false;
  const Point<Unknown> g = params.generator(kSigningBase);
  const Point<Unknown> sum = mul(a, c.into_repr(), params).add(sig.r, params);
  return sum.add(mul(g, sig.s.into_repr(), params).negate(), params) == Point<Unknown>::zero();
}

// (G·r, c·sk + r).
inline RawSignature sign(const Fs& sk, std::span<const uint8_t> msg, const Fs& r, const AltJubjubBn256& params) {
  Fs s = challenge(msg);
  s.mul_assign(sk);
  s.add_assign(r);
  return RawSignature{mul(params.generator(kSigningBase), r.into_repr(), params), s};
}

// One-shot HMAC-SHA256 over the concatenation of `parts`.
inline Sha256Digest hmac(const Sha256Digest& key, std::initializer_list<std::span<const uint8_t>> parts) {
  std::vector<uint8_t> data;
  for (std::span<const uint8_t> part : parts) data.insert(data.end(), part.begin(), part.end());
  Sha256Digest out{};
  unsigned int len = 0;
  HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), data.data(), data.size(), out.data(), &len);
  return out;
}

// The nonce, step by step with a fresh HMAC for every MAC.
inline Fs deterministic_nonce(const Fs& sk, std::span<const uint8_t> msg) {
  static constexpr uint8_t kZero[1] = {0x00};
  static constexpr uint8_t kOne[1] = {0x01};
  const Sha256Digest h1 = sha256(msg);
  const std::array<uint8_t, 32> x = field::repr_to_bytes_be(sk.into_repr());
  Sha256Digest v;
  v.fill(0x01);
  Sha256Digest k{};
  k = hmac(k, {v, kZero, x, h1});
  v = hmac(k, {v});
  k = hmac(k, {v, kOne, x, h1});
  v = hmac(k, {v});
  for (;;) {
    const Sha256Digest t = hmac(k, {v});
    const auto r = Fs::from_repr(field::repr_from_bytes_be(t));
    if (r) return *r;
    k = hmac(k, {v, v, kZero});
  }
}

// The decoding with an inversion and the field's Tonelli-Shanks square root.
inline std::optional<Point<Unknown>> read(const std::array<uint8_t, 32>& bytes, const AltJubjubBn256& params) {
  FrRepr y_repr = field::repr_from_bytes_le(bytes);
  const bool x_odd = (y_repr[3] >> 63) != 0;
  y_repr[3] &= ~(uint64_t{1} << 63);
  const auto y = Fr::from_repr(y_repr);
  if (!y) return std::nullopt;
  const Fr y2 = *y * *y;
  const std::optional<Fr> w_inv = (params.edwards_d() * y2 + Fr::one()).inverse_vartime();
  if (!w_inv) return std::nullopt;
  std::optional<Fr> x = ((y2 - Fr::one()) * *w_inv).sqrt_vartime();
  if (!x) return std::nullopt;
  if (((x->into_repr()[0] & 1) != 0) != x_odd) x->negate();
  return Point<Unknown>::from_xy(*x, *y, params);
}

// The ratio split by the partial extended Euclidean algorithm with each
// quotient taken by long division, one bit at a time:
// r_(i+1) = r_(i-1) - q·r_i and |t_(i+1)| = |t_(i-1)| + q·|t_i|, stopping at
// the first r below 2^126; an even t gives way to the shorter neighbour.
inline RatioSplit split_ratio(const Fs& c) {
  struct Entry {
    FsRepr r, t;
  };
  const auto bits = [](const FsRepr& a) {
    unsigned n = 0;
    for (unsigned i = 0; i < 256; ++i) {
      if ((a[i / 64] >> (i % 64)) & 1) n = i + 1;
    }
    return n;
  };
  const auto shl = [](const FsRepr& a, unsigned k) {
    FsRepr r{};
    for (unsigned i = 0; i + k < 256; ++i) r[(i + k) / 64] |= ((a[i / 64] >> (i % 64)) & 1) << ((i + k) % 64);
    return r;
  };
  const auto next = [&](const Entry& prev, const Entry& cur) {
    Entry out = prev;
    for (unsigned k = 256; k-- > 0;) {
      if (bits(cur.r) + k > 256) continue;
      const FsRepr shifted = shl(cur.r, k);
      if (field::detail::less_than_vartime(out.r, shifted)) continue;
      field::detail::sub_borrow(out.r, out.r, shifted);
      field::detail::add_carry(out.t, out.t, shl(cur.t, k));
    }
    return out;
  };
  Entry prev{fs_char(), FsRepr{}};
  Entry cur{c.into_repr(), FsRepr{1, 0, 0, 0}};
  size_t index = 1;
  while (bits(cur.r) > 126) {
    const Entry n = next(prev, cur);
    prev = cur;
    cur = n;
    ++index;
  }
  if ((cur.t[0] & 1) != 0) return RatioSplit{cur.r, cur.t, index % 2 == 0};
  const Entry after = next(prev, cur);
  if (!field::detail::is_zero_vartime(after.r) &&
      std::max(bits(after.r), bits(after.t)) < std::max(bits(prev.r), bits(prev.t))) {
    return RatioSplit{after.r, after.t, (index + 1) % 2 == 0};
  }
  return RatioSplit{prev.r, prev.t, (index - 1) % 2 == 0};
}

// Reproducible random values for the equality tests.
class Rng {
 public:
  explicit Rng(uint64_t seed) : gen_(seed) {}
  uint64_t word() { return gen_(); }
  FsRepr repr() { return FsRepr{word(), word(), word(), word()}; }
  Fs scalar() { return Fs::from_raw(repr()); }
  Fr fr() { return Fr::from_raw(repr()); }
  std::array<uint8_t, 32> bytes() { return field::repr_to_bytes_le(repr()); }

  // A point of the whole curve group (any order), from a random encoding.
  Point<Unknown> point(const AltJubjubBn256& params) {
    for (;;) {
      const auto p = Point<Unknown>::read(bytes(), params);
      if (p) return *p;
    }
  }

 private:
  std::mt19937_64 gen_;
};

// Scalars whose digits sit on the recodings' edges, then random ones.
inline std::vector<Fs> edge_scalars(Rng& rng, size_t random_count) {
  Fs minus_one = Fs::zero();
  minus_one.sub_assign(Fs::one());
  std::vector<Fs> out = {
      Fs::zero(),
      Fs::one(),
      minus_one,
      Fs::from_raw({8, 0, 0, 0}),  // a lone digit 8 becomes -8 and a carry
      Fs::from_raw({0x8888888888888888ULL, 0x8888888888888888ULL, 0x8888888888888888ULL, 0x0888888888888888ULL}),
      Fs::from_raw({0x7777777777777777ULL, 0x7777777777777777ULL, 0x7777777777777777ULL, 0x0577777777777777ULL}),
      Fs::from_raw({0xffffffffffffffffULL, 0xffffffffffffffffULL, 0xffffffffffffffffULL, 0x05ffffffffffffffULL}),
      Fs::from_raw({0, 0, 0, 0x0400000000000000ULL}),  // only the top digit
  };
  for (size_t i = 0; i < random_count; ++i) out.push_back(rng.scalar());
  return out;
}

// A point of order 8: it and its multiples are the whole torsion of the curve.
inline Point<Unknown> order_eight_point(Rng& rng, const AltJubjubBn256& params) {
  for (;;) {
    const Point<Unknown> t = mul(rng.point(params), fs_char(), params);
    if (!(t.double_().double_() == Point<Unknown>::zero())) return t;
  }
}

}  // namespace quillet::jubjub::reference
