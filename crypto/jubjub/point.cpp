#include "crypto/jubjub/point.hpp"

#include <openssl/crypto.h>

#include <algorithm>
#include <vector>

#include "crypto/field/fr_algorithms.hpp"
#include "crypto/field/repr.hpp"
#include "crypto/field/pow_many.hpp"
#include "crypto/jubjub/msm/straus.hpp"
#include "crypto/jubjub/scalar_recoding.hpp"
#include "crypto/jubjub/subgroup.hpp"

namespace quillet::jubjub {

std::string IoError::debug() const {
  switch (kind) {
    case IoErrorKind::InvalidInput:
      return "Custom { kind: InvalidInput, error: \"" + message + "\" }";
    case IoErrorKind::UnexpectedEof:
      return "Error { kind: UnexpectedEof, message: \"" + message + "\" }";
  }
  return message;
}

namespace {

using detail::AffineNiels;
using detail::CachedNiels;
using detail::Completed;
using detail::Extended;

// The entry |d|·P of `table` (1·P ... 8·P), negated when d < 0, read by a
// masked scan of every entry: no branch or index depends on d.
CachedNiels select_ct(const std::array<CachedNiels, 8>& table, int8_t d) {
  const int sign = d >> 7;  // -1 or 0
  const auto magnitude = static_cast<uint64_t>((d ^ sign) - sign);
  CachedNiels out = detail::identity_cached();
  for (size_t j = 0; j < table.size(); ++j) detail::cmov(out, table[j], detail::eq_mask(magnitude, j + 1));
  detail::cneg(out, 0 - static_cast<uint64_t>(sign & 1));
  return out;
}

}  // namespace

template <class Subgroup>
Point<Subgroup> Point<Subgroup>::zero() {
  return Point(detail::identity_extended());
}

// Hisil, Wong, Carter and Dawson, unified addition in extended coordinates
// with a = -1.
template <class Subgroup>
Point<Subgroup> Point<Subgroup>::add(const Point& other, const AltJubjubBn256& /*params*/) const {
  const Extended& p = p_;
  const Extended& q = other.p_;
  const Fr a = p.x * q.x;
  const Fr b = p.y * q.y;
  const Fr c = kEdwardsD * p.t * q.t;
  const Fr d = p.z * q.z;
  const Fr h = b + a;
  const Fr e = (p.x + p.y) * (q.x + q.y) - h;
  const Fr f = d - c;
  const Fr g = d + c;
  return Point(Extended{e * f, g * h, e * h, f * g});
}

// The dedicated doubling of the same authors, with a = -1.
template <class Subgroup>
Point<Subgroup> Point<Subgroup>::double_() const {
  return Point(detail::to_extended(detail::dbl(detail::to_projective(p_))));
}

template <class Subgroup>
Point<Subgroup> Point<Subgroup>::negate() const {
  return Point(Extended{-p_.x, p_.y, -p_.t, p_.z});
}

template <class Subgroup>
Point<Subgroup> Point<Subgroup>::mul(const Fs& k, const AltJubjubBn256& /*params*/) const {
  std::array<CachedNiels, 8> table{};
  const CachedNiels base = detail::to_cached(p_, kEdwardsD2);
  Extended multiple = p_;
  table[0] = base;
  for (size_t j = 1; j < table.size(); ++j) {
    multiple = detail::to_extended(detail::add(multiple, base));
    table[j] = detail::to_cached(multiple, kEdwardsD2);
  }
  std::array<int8_t, kRadix16Digits> digits = signed_radix16(k);
  Completed acc{Fr::zero(), Fr::one(), Fr::one(), Fr::one()};
  for (size_t i = kRadix16Digits; i-- > 0;) {
    if (i + 1 != kRadix16Digits) {
      for (int n = 0; n < 4; ++n) acc = detail::dbl(detail::to_projective(acc));
    }
    acc = detail::add(detail::to_extended(acc), select_ct(table, digits[i]));
  }
  OPENSSL_cleanse(digits.data(), digits.size());
  return Point(detail::to_extended(acc));
}

template <class Subgroup>
Point<Subgroup> Point<Subgroup>::mul_vartime(const FsRepr& k, const AltJubjubBn256& /*params*/) const {
  const detail::Wnaf digits = wnaf_vartime<detail::kWnafWidth>(k);
  const detail::OddMultiples multiples = detail::odd_multiples(p_, kEdwardsD2);
  const detail::WnafTerm term{&digits, &multiples};
  return Point(detail::multi_mul_vartime({&term, 1}));
}

template <class Subgroup>
Point<Subgroup> Point<Subgroup>::mul_vartime(const Fs& k, const AltJubjubBn256& params) const {
  return mul_vartime(k.into_repr(), params);
}

template <class Subgroup>
bool Point<Subgroup>::is_in_prime_order_subgroup_vartime(const AltJubjubBn256& /*params*/) const {
  return detail::in_prime_order_subgroup_vartime(p_);
}

template <class Subgroup>
Point<PrimeOrder> Point<Subgroup>::clear_cofactor() const {
  const Point p = double_().double_().double_();
  return Point<PrimeOrder>(p.p_);
}

template <class Subgroup>
std::pair<Fr, Fr> Point<Subgroup>::to_affine() const {
  // Z of a point made from a secret scalar may reveal it, so the inversion is
  // the constant-time one, and Z is not tested: no point of this module has
  // Z = 0 (decoding and from_xy set it to one; the addition law is complete).
  const Fr z_inv = field::invert_safegcd(p_.z);
  return {p_.x * z_inv, p_.y * z_inv};
}

template <class Subgroup>
std::pair<Fr, Fr> Point<Subgroup>::to_affine_vartime() const {
  if (p_.z == Fr::one()) return {p_.x, p_.y};
  if (p_.z.is_zero()) fail_hard(kUnwrapNone);
  const Fr z_inv = field::invert_safegcd(p_.z);
  return {p_.x * z_inv, p_.y * z_inv};
}

template <class Subgroup>
void Point<Subgroup>::normalize_batch(std::span<Point> points) {
  if (points.empty()) return;
  // Montgomery's trick: prefix products, one inversion, then each inverse
  // peeled off the running inverse.
  std::vector<Fr> prefix(points.size());
  Fr running = Fr::one();
  for (size_t i = 0; i < points.size(); ++i) {
    running.mul_assign(points[i].p_.z);
    prefix[i] = running;
  }
  Fr inv = field::invert_safegcd(running);
  for (size_t i = points.size(); i-- > 0;) {
    Extended& p = points[i].p_;
    const Fr z_inv = i == 0 ? inv : inv * prefix[i - 1];
    inv.mul_assign(p.z);
    p.x.mul_assign(z_inv);
    p.y.mul_assign(z_inv);
    p.t = p.x * p.y;
    p.z = Fr::one();
  }
}

namespace {

PointEncoding encode_affine(const Fr& x, const Fr& y) {
  PointEncoding out = y.to_repr_bytes();
  // Bit 7 of byte 31 is free (y < r < 2^255); the parity of x goes there
  // without a branch.
  out[31] = static_cast<uint8_t>(out[31] | ((x.into_repr()[0] & 1) << 7));
  return out;
}

}  // namespace

template <class Subgroup>
PointEncoding Point<Subgroup>::encode() const {
  const auto [x, y] = to_affine();
  return encode_affine(x, y);
}

template <class Subgroup>
PointEncoding Point<Subgroup>::encode_vartime() const {
  const auto [x, y] = to_affine_vartime();
  return encode_affine(x, y);
}

namespace {

// An encoding's y and sign, and the ratio whose square root is x:
// x^2 = (y^2 - 1) / (d·y^2 + 1). The denominator is never zero (d is not a
// square); a zero one would be refused like a non-square.
struct Encoding {
  Fr y;
  bool x_odd;
  Fr u;
  Fr w;
};

Expected<Encoding, ReadError> parse_encoding(std::span<const uint8_t> in) {
  if (in.size() < 32) return unexpected(ReadError{IoErrorKind::UnexpectedEof, kFillWholeBuffer});
  std::array<uint8_t, 32> bytes{};
  std::copy_n(in.begin(), bytes.size(), bytes.begin());
  FrRepr y_repr = field::repr_from_bytes_le(bytes);
  const bool x_odd = (y_repr[3] >> 63) != 0;
  y_repr[3] &= ~(uint64_t{1} << 63);

  const auto y = Fr::from_repr(y_repr);
  if (!y) return unexpected(ReadError{IoErrorKind::InvalidInput, kYNotInField});
  Fr y2 = *y;
  y2.square();
  return Encoding{*y, x_odd, y2 - Fr::one(), kEdwardsD * y2 + Fr::one()};
}

// The point of `e` from a root of its ratio (nothing: not on the curve).
Expected<Extended, ReadError> point_from_root(const Encoding& e, std::optional<Fr> x) {
  if (!x) return unexpected(ReadError{IoErrorKind::InvalidInput, kNotOnCurve});
  if (((x->into_repr()[0] & 1) != 0) != e.x_odd) x->negate();
  return Extended{*x, e.y, *x * e.y, Fr::one()};
}

}  // namespace

template <class Subgroup>
Expected<Point<Unknown>, ReadError> Point<Subgroup>::read(std::span<const uint8_t> in,
                                                          const AltJubjubBn256& /*params*/) {
  const auto e = parse_encoding(in);
  if (!e) return unexpected(e.error());
  const auto p = point_from_root(*e, field::sqrt_ratio_vartime(e->u, e->w));
  if (!p) return unexpected(p.error());
  return Point<Unknown>(*p);
}

template <class Subgroup>
std::array<Expected<Point<Unknown>, ReadError>, 2> Point<Subgroup>::read_pair(std::span<const uint8_t> in0,
                                                                               std::span<const uint8_t> in1,
                                                                               const AltJubjubBn256& params) {
  const auto e0 = parse_encoding(in0);
  const auto e1 = parse_encoding(in1);
  if (!e0 || !e1) return {read(in0, params), read(in1, params)};
  const std::array<std::optional<Fr>, 2> roots = field::sqrt_ratio_pair_vartime(e0->u, e0->w, e1->u, e1->w);
  const auto finish = [](const Encoding& e, const std::optional<Fr>& x) -> Expected<Point<Unknown>, ReadError> {
    const auto p = point_from_root(e, x);
    if (!p) return unexpected(p.error());
    return Point<Unknown>(*p);
  };
  return {finish(*e0, roots[0]), finish(*e1, roots[1])};
}

template <class Subgroup>
std::optional<Point<Unknown>> Point<Subgroup>::read_with_x(std::span<const uint8_t> in, const Fr& x,
                                                           const AltJubjubBn256& /*params*/) {
  const auto e = parse_encoding(in);
  // x^2 = u/w, with w never zero: the roots are x and -x, and point_from_root
  // picks the one of the encoding's sign whichever it is given.
  if (!e || !(x * x * e->w == e->u)) return std::nullopt;
  const auto p = point_from_root(*e, x);
  if (!p) return std::nullopt;
  return Point<Unknown>(*p);
}

template <class Subgroup>
std::vector<Expected<Point<Unknown>, ReadError>> Point<Subgroup>::read_many(std::span<const PointEncoding> in,
                                                                            const AltJubjubBn256& /*params*/) {
  std::vector<Expected<Encoding, ReadError>> parsed;
  parsed.reserve(in.size());
  std::vector<Fr> u;
  std::vector<Fr> w;
  for (const PointEncoding& bytes : in) {
    parsed.push_back(parse_encoding(bytes));
    if (!parsed.back()) continue;
    u.push_back(parsed.back()->u);
    w.push_back(parsed.back()->w);
  }
  const std::vector<std::optional<Fr>> roots = field::sqrt_ratio_many_vartime(u, w);
  std::vector<Expected<Point<Unknown>, ReadError>> out;
  out.reserve(in.size());
  size_t next = 0;
  for (const auto& e : parsed) {
    if (!e) {
      out.push_back(unexpected(e.error()));
      continue;
    }
    const auto p = point_from_root(*e, roots[next++]);
    if (p) {
      out.push_back(Point<Unknown>(*p));
    } else {
      out.push_back(unexpected(p.error()));
    }
  }
  return out;
}

template <class Subgroup>
std::optional<Point<Unknown>> Point<Subgroup>::from_xy(const Fr& x, const Fr& y,
                                                       const AltJubjubBn256& /*params*/) {
  Fr x2 = x;
  x2.square();
  Fr y2 = y;
  y2.square();
  // -x^2 + y^2 = 1 + d·x^2·y^2
  if (!(y2 - x2 == kEdwardsD * x2 * y2 + Fr::one())) return std::nullopt;
  return Point<Unknown>(Extended{x, y, x * y, Fr::one()});
}

template <class Subgroup>
bool Point<Subgroup>::operator==(const Point& other) const {
  const Extended& p = p_;
  const Extended& q = other.p_;
  return (p.x * q.z == q.x * p.z) & (p.y * q.z == q.y * p.z);
}

template class Point<PrimeOrder>;
template class Point<Unknown>;

}  // namespace quillet::jubjub
