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

#include "crypto/failure.hpp"
#include "crypto/field/fr.hpp"
#include "crypto/jubjub/fs.hpp"

namespace quillet::jubjub {

using field::Fr;
using field::FrRepr;

class AltJubjubBn256;

struct PrimeOrder {};
struct Unknown {};

enum class IoErrorKind { InvalidInput, UnexpectedEof, WriteZero };

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
using WriteError = IoError;

inline constexpr const char* kFillWholeBuffer = "failed to fill whole buffer";
inline constexpr const char* kWriteWholeBuffer = "failed to write whole buffer";
inline constexpr const char* kYNotInField = "y is not in field";
inline constexpr const char* kNotOnCurve = "not on curve";

// The compressed encoding: affine y's canonical integer little-endian, with
// bit 7 of byte 31 set when affine x's canonical integer is odd.
using PointEncoding = std::array<uint8_t, 32>;

template <class Subgroup>
class Point {
  static_assert(std::is_same_v<Subgroup, PrimeOrder> || std::is_same_v<Subgroup, Unknown>);

 public:
  // The neutral point (0, 1).
  static Point zero();

  // A PrimeOrder point seen as an Unknown one.
  template <class Other>
    requires(std::is_same_v<Subgroup, Unknown> && !std::is_same_v<Other, Unknown>)
  Point(const Point<Other>& p) : x_(p.x_), y_(p.y_), t_(p.t_), z_(p.z_) {}

  // this + other, by the unified formulas (complete for this curve: they also
  // double and never divide by zero).
  Point add(const Point& other, const AltJubjubBn256& params) const;
  // 2·this.
  Point double_() const;
  // -this.
  Point negate() const;

  // k·this by double-and-add over all 256 bits of k; a raw FsRepr is taken as
  // it is (fs_char() included), an Fs by its canonical integer. The running
  // time depends on the bits of k.
  Point mul_vartime(const FsRepr& k, const AltJubjubBn256& params) const;
  Point mul_vartime(const Fs& k, const AltJubjubBn256& params) const;

  // 8·this, which lies in the prime-order subgroup.
  Point<PrimeOrder> clear_cofactor() const;

  // The affine (x, y), by one constant-time inversion of Z. Fails hard if Z is
  // not invertible, which no point built by this module allows.
  std::pair<Fr, Fr> to_affine() const;

  // Writes the 32-byte encoding to the front of `out`. A shorter `out` gets
  // the encoding's first bytes and the write fails (WriteZero, "failed to
  // write whole buffer").
  Expected<std::monostate, WriteError> write(std::span<uint8_t> out) const;
  // The 32-byte encoding.
  PointEncoding encode() const;

  // Decodes the first 32 bytes of `in`; the rest is ignored. Fails with
  // UnexpectedEof "failed to fill whole buffer" on fewer than 32 bytes, with
  // InvalidInput "y is not in field" when y is not below r and with
  // InvalidInput "not on curve" when no x fits y. Makes no subgroup check.
  static Expected<Point<Unknown>, ReadError> read(std::span<const uint8_t> in,
                                                  const AltJubjubBn256& params);

  // The point (x, y) if it satisfies the curve equation, else nothing. Makes
  // no subgroup check.
  static std::optional<Point<Unknown>> from_xy(const Fr& x, const Fr& y, const AltJubjubBn256& params);

  // Equality of the projective points: X1·Z2 = X2·Z1 and Y1·Z2 = Y2·Z1.
  bool operator==(const Point& other) const;

 private:
  template <class>
  friend class Point;

  Point(const Fr& x, const Fr& y, const Fr& t, const Fr& z) : x_(x), y_(y), t_(t), z_(z) {}

  Fr x_;
  Fr y_;
  Fr t_;
  Fr z_;
};

extern template class Point<PrimeOrder>;
extern template class Point<Unknown>;

}  // namespace quillet::jubjub
