// Points of the twisted Edwards curve -x^2 + y^2 = 1 + d·x^2·y^2 over Fr, in
// extended coordinates (X, Y, T, Z) with x = X/Z, y = Y/Z and T = X·Y/Z, and
// their 32-byte compressed encoding.
//
// The subgroup marker is a type parameter only: PrimeOrder for points known to
// lie in the subgroup of order s (the fixed bases and their multiples),
// Unknown for points decoded or built from input. No operation checks it; a
// PrimeOrder point converts implicitly to an Unknown one.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "crypto/failure.hpp"
#include "crypto/field/fr.hpp"
#include "crypto/jubjub/edwards.hpp"
#include "crypto/jubjub/fs.hpp"

namespace quillet::jubjub {

using field::Fr;
using field::FrRepr;

// d = -168696/168700 mod r, the coefficient of -x^2 + y^2 = 1 + d·x^2·y^2
// (a = -1 is built into the point formulas); params.cpp checks the value.
inline constexpr Fr kEdwardsD =
    Fr::from_raw({0xd075ca8cf4d7eb8eULL, 0x039b2959ebb7c867ULL, 0x3df072d799fd11fcULL, 0x1aee90f15f218969ULL});
// 2·d, the form the cached point forms and the addition formulas take.
inline constexpr Fr kEdwardsD2 = kEdwardsD + kEdwardsD;

class AltJubjubBn256;
namespace detail {
struct PointAccess;
}

struct PrimeOrder {};
struct Unknown {};

enum class IoErrorKind { InvalidInput, UnexpectedEof };

// A failed encoding or decoding: its kind and its message.
struct IoError {
  IoErrorKind kind;
  std::string message;

  // The message alone.
  const std::string& to_string() const { return message; }
  // The record form, e.g. Custom { kind: InvalidInput, error: "not on curve" }
  // for a decoding refusal, Error { kind: UnexpectedEof, message: "failed to
  // fill whole buffer" } for short input.
  std::string debug() const;
};
using ReadError = IoError;

inline constexpr const char* kFillWholeBuffer = "failed to fill whole buffer";
inline constexpr const char* kYNotInField = "y is not in field";
inline constexpr const char* kNotOnCurve = "not on curve";

// The compressed encoding: affine y's canonical integer little-endian, with
// bit 7 of byte 31 set when affine x's canonical integer is odd.
using PointEncoding = std::array<uint8_t, 32>;

// The operations take the parameter set as the curve they work on, as every
// caller holds it; with d a constant (kEdwardsD) the arithmetic itself reads
// nothing from it.
template <class Subgroup>
class Point {
  static_assert(std::is_same_v<Subgroup, PrimeOrder> || std::is_same_v<Subgroup, Unknown>);

 public:
  // The neutral point (0, 1).
  static Point zero();

  // A PrimeOrder point seen as an Unknown one.
  template <class Other>
    requires(std::is_same_v<Subgroup, Unknown> && !std::is_same_v<Other, Unknown>)
  Point(const Point<Other>& p) : p_(p.p_) {}

  // this + other, by the unified formulas (complete for this curve: they also
  // double and never divide by zero).
  Point add(const Point& other, const AltJubjubBn256& params) const;
  // 2·this.
  Point double_() const;
  // -this.
  Point negate() const;

  // k·this in time independent of k, for private keys and nonces: signed
  // radix-16 digits, each adding one of 1·P ... 8·P chosen by a masked scan
  // of all eight (248 doublings and 63 additions).
  Point mul(const Fs& k, const AltJubjubBn256& params) const;

  // k·this for a public k, by a width-5 NAF (about 252 doublings and 42
  // additions). A raw FsRepr is taken as the 256-bit integer it holds
  // (fs_char() included), an Fs by its canonical integer. The running time
  // depends on k.
  Point mul_vartime(const FsRepr& k, const AltJubjubBn256& params) const;
  Point mul_vartime(const Fs& k, const AltJubjubBn256& params) const;

  // Whether s·this is the neutral point, s = fs_char(): whether the point
  // lies in the prime-order subgroup. Decided by a pairing of order 8 instead
  // of the multiplication (about 330 field multiplications instead of 2100).
  // For public points.
  bool is_in_prime_order_subgroup_vartime(const AltJubjubBn256& params) const;

  // 8·this, which lies in the prime-order subgroup.
  Point<PrimeOrder> clear_cofactor() const;

  // The affine (x, y), by one constant-time inversion of Z (never zero: no
  // point of this module has Z = 0).
  std::pair<Fr, Fr> to_affine() const;
  // The same for a public point: free when Z is one (decoded, built from
  // coordinates or normalised). Fails hard with "called `Option::unwrap()`
  // on a `None` value" if Z were zero.
  std::pair<Fr, Fr> to_affine_vartime() const;

  // Rewrites each point to its affine form (Z = 1), with one constant-time
  // inversion for all of them.
  static void normalize_batch(std::span<Point> points);

  // The 32-byte encoding, through to_affine.
  PointEncoding encode() const;
  // The 32-byte encoding of a public point, through to_affine_vartime.
  PointEncoding encode_vartime() const;

  // Decodes the first 32 bytes of `in`; the rest is ignored. Fails with
  // UnexpectedEof "failed to fill whole buffer" on fewer than 32 bytes, with
  // InvalidInput "y is not in field" when y is not below r and with
  // InvalidInput "not on curve" when no x fits y. Makes no subgroup check.
  // The result has Z = 1.
  static Expected<Point<Unknown>, ReadError> read(std::span<const uint8_t> in,
                                                  const AltJubjubBn256& params);

  // read of each input, the same results, with the two square roots taken
  // together (sqrt_ratio_pair_vartime) when both encodings get that far.
  static std::array<Expected<Point<Unknown>, ReadError>, 2> read_pair(std::span<const uint8_t> in0,
                                                                       std::span<const uint8_t> in1,
                                                                       const AltJubjubBn256& params);

  // What read gives, when `x` is the point's x up to sign: the square root
  // is then checked (two products) instead of taken. Nothing for any other
  // x, and wherever read fails; the caller then reads as usual.
  static std::optional<Point<Unknown>> read_with_x(std::span<const uint8_t> in, const Fr& x,
                                                   const AltJubjubBn256& params);

  // read of each 32-byte encoding, the same results, with the square roots
  // taken together (field::sqrt_ratio_many_vartime).
  static std::vector<Expected<Point<Unknown>, ReadError>> read_many(std::span<const PointEncoding> in,
                                                                    const AltJubjubBn256& params);

  // The point (x, y) if it satisfies the curve equation, else nothing. Makes
  // no subgroup check. The result has Z = 1.
  static std::optional<Point<Unknown>> from_xy(const Fr& x, const Fr& y, const AltJubjubBn256& params);

  // Equality of the projective points: X1·Z2 = X2·Z1 and Y1·Z2 = Y2·Z1.
  bool operator==(const Point& other) const;

 private:
  template <class>
  friend class Point;
  friend struct detail::PointAccess;

  explicit Point(const detail::Extended& p) : p_(p) {}

  detail::Extended p_;
};

extern template class Point<PrimeOrder>;
extern template class Point<Unknown>;

namespace detail {
// The coordinates behind a Point, for the curve's own algorithms (tables,
// multi-scalar multiplication); nothing outside crypto/jubjub uses it.
struct PointAccess {
  template <class Subgroup>
  static const Extended& coords(const Point<Subgroup>& p) {
    return p.p_;
  }
  template <class Subgroup>
  static Point<Subgroup> make(const Extended& p) {
    return Point<Subgroup>(p);
  }
};
}  // namespace detail

}  // namespace quillet::jubjub
