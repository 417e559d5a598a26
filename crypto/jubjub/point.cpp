#include "crypto/jubjub/point.hpp"

#include <openssl/crypto.h>

#include <algorithm>

#include "crypto/field/repr.hpp"
#include "crypto/jubjub/params.hpp"

namespace quillet::jubjub {

std::string IoError::debug() const {
  switch (kind) {
    case IoErrorKind::InvalidInput:
      return "Custom { kind: InvalidInput, error: \"" + message + "\" }";
    case IoErrorKind::UnexpectedEof:
      return "Error { kind: UnexpectedEof, message: \"" + message + "\" }";
    case IoErrorKind::WriteZero:
      return "Error { kind: WriteZero, message: \"" + message + "\" }";
  }
  return message;
}

template <class Subgroup>
Point<Subgroup> Point<Subgroup>::zero() {
  return Point(Fr::zero(), Fr::one(), Fr::zero(), Fr::one());
}

// Hisil, Wong, Carter and Dawson, unified addition in extended coordinates
// with a = -1.
template <class Subgroup>
Point<Subgroup> Point<Subgroup>::add(const Point& other, const AltJubjubBn256& params) const {
  const Fr a = x_ * other.x_;
  const Fr b = y_ * other.y_;
  const Fr c = params.edwards_d() * t_ * other.t_;
  const Fr d = z_ * other.z_;
  const Fr h = b + a;
  const Fr e = (x_ + y_) * (other.x_ + other.y_) - h;
  const Fr f = d - c;
  const Fr g = d + c;
  return Point(e * f, g * h, e * h, f * g);
}

// The dedicated doubling of the same authors, with a = -1.
template <class Subgroup>
Point<Subgroup> Point<Subgroup>::double_() const {
  Fr a = x_;
  a.square();
  Fr b = y_;
  b.square();
  Fr c = z_;
  c.square();
  c.double_();
  const Fr d = -a;
  Fr e = x_ + y_;
  e.square();
  e.sub_assign(a);
  e.sub_assign(b);
  const Fr g = d + b;
  const Fr f = g - c;
  const Fr h = d - b;
  return Point(e * f, g * h, e * h, f * g);
}

template <class Subgroup>
Point<Subgroup> Point<Subgroup>::negate() const {
  return Point(-x_, y_, -t_, z_);
}

template <class Subgroup>
Point<Subgroup> Point<Subgroup>::mul_vartime(const FsRepr& k, const AltJubjubBn256& params) const {
  Point r = zero();
  for (int i = 255; i >= 0; --i) {
    r = r.double_();
    if ((k[i / 64] >> (i % 64)) & 1) r = r.add(*this, params);
  }
  return r;
}

template <class Subgroup>
Point<Subgroup> Point<Subgroup>::mul_vartime(const Fs& k, const AltJubjubBn256& params) const {
  FsRepr repr = k.into_repr();
  const Point r = mul_vartime(repr, params);
  OPENSSL_cleanse(repr.data(), sizeof repr);
  return r;
}

template <class Subgroup>
Point<PrimeOrder> Point<Subgroup>::clear_cofactor() const {
  const Point p = double_().double_().double_();
  return Point<PrimeOrder>(p.x_, p.y_, p.t_, p.z_);
}

template <class Subgroup>
std::pair<Fr, Fr> Point<Subgroup>::to_affine() const {
  // Z of a point made from a secret scalar may reveal it, so the inversion is
  // the constant-time one.
  const std::optional<Fr> z_inv = z_.invert();
  if (!z_inv) fail_hard(kUnwrapNone);
  return {x_ * *z_inv, y_ * *z_inv};
}

template <class Subgroup>
PointEncoding Point<Subgroup>::encode() const {
  const auto [x, y] = to_affine();
  PointEncoding out = y.to_repr_bytes();
  if (x.into_repr()[0] & 1) out[31] |= 0x80;
  return out;
}

template <class Subgroup>
Expected<std::monostate, WriteError> Point<Subgroup>::write(std::span<uint8_t> out) const {
  const PointEncoding bytes = encode();
  const size_t n = std::min(out.size(), bytes.size());
  std::copy_n(bytes.begin(), n, out.begin());
  if (n < bytes.size()) return unexpected(WriteError{IoErrorKind::WriteZero, kWriteWholeBuffer});
  return std::monostate{};
}

template <class Subgroup>
Expected<Point<Unknown>, ReadError> Point<Subgroup>::read(std::span<const uint8_t> in,
                                                          const AltJubjubBn256& params) {
  if (in.size() < 32) return unexpected(ReadError{IoErrorKind::UnexpectedEof, kFillWholeBuffer});
  std::array<uint8_t, 32> bytes{};
  std::copy_n(in.begin(), bytes.size(), bytes.begin());
  FrRepr y_repr = field::repr_from_bytes_le(bytes);
  const bool x_odd = (y_repr[3] >> 63) != 0;
  y_repr[3] &= ~(uint64_t{1} << 63);

  const auto y = Fr::from_repr(y_repr);
  if (!y) return unexpected(ReadError{IoErrorKind::InvalidInput, kYNotInField});

  // x^2 = (y^2 - 1) / (d·y^2 + 1).
  Fr y2 = *y;
  y2.square();
  const Fr u = y2 - Fr::one();
  const Fr w = params.edwards_d() * y2 + Fr::one();
  const std::optional<Fr> w_inv = w.inverse_vartime();
  if (!w_inv) return unexpected(ReadError{IoErrorKind::InvalidInput, kNotOnCurve});
  std::optional<Fr> x = (u * *w_inv).sqrt_vartime();
  if (!x) return unexpected(ReadError{IoErrorKind::InvalidInput, kNotOnCurve});
  if (((x->into_repr()[0] & 1) != 0) != x_odd) x->negate();

  return Point<Unknown>(*x, *y, *x * *y, Fr::one());
}

template <class Subgroup>
std::optional<Point<Unknown>> Point<Subgroup>::from_xy(const Fr& x, const Fr& y,
                                                       const AltJubjubBn256& params) {
  Fr x2 = x;
  x2.square();
  Fr y2 = y;
  y2.square();
  // -x^2 + y^2 = 1 + d·x^2·y^2
  if (!(y2 - x2 == params.edwards_d() * x2 * y2 + Fr::one())) return std::nullopt;
  return Point<Unknown>(x, y, x * y, Fr::one());
}

template <class Subgroup>
bool Point<Subgroup>::operator==(const Point& other) const {
  return (x_ * other.z_ == other.x_ * z_) & (y_ * other.z_ == other.y_ * z_);
}

template class Point<PrimeOrder>;
template class Point<Unknown>;

}  // namespace quillet::jubjub
