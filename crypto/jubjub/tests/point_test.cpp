#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "crypto/jubjub/params.hpp"
#include "crypto/jubjub/point.hpp"
#include "crypto/jubjub/tests/test_support.hpp"

namespace quillet::jubjub {
namespace {

using testing::field_from_dec;
using testing::from_hex;
using testing::to_hex;

constexpr const char* kG5 = "b7946c9c0e5c4b987dd5f6f515c8327506e4684a642442783f5d78ea6711a085";
// r, the modulus of Fr, little-endian: a y that is just out of range.
constexpr const char* kRLittleEndian = "010000f093f5e1439170b97948e833285d588181b64550b829a031e1724e6430";

const AltJubjubBn256& params() { return jubjub_params(); }
const Point<PrimeOrder>& g() { return params().generator(kSigningBase); }

TEST(PointEncoding, ReadCases) {
  struct Case {
    std::string hex;
    IoErrorKind kind;
    const char* error;  // nullptr: decodes
  };
  const std::string neutral = "01" + std::string(62, '0');
  const std::string neutral_signed = "01" + std::string(60, '0') + "80";
  const Case cases[] = {
      {neutral, IoErrorKind::InvalidInput, nullptr},
      {neutral_signed, IoErrorKind::InvalidInput, nullptr},
      {std::string(kG5) + "ff", IoErrorKind::InvalidInput, nullptr},  // 33 bytes: the last is ignored
      {std::string(kG5).substr(0, 62), IoErrorKind::UnexpectedEof, "failed to fill whole buffer"},
      {"", IoErrorKind::UnexpectedEof, "failed to fill whole buffer"},
      {kRLittleEndian, IoErrorKind::InvalidInput, "y is not in field"},
      {std::string(62, 'f') + "7f", IoErrorKind::InvalidInput, "y is not in field"},
      // y = 2 has no x on the curve.
      {"02" + std::string(62, '0'), IoErrorKind::InvalidInput, "not on curve"},
  };
  for (const Case& c : cases) {
    const std::vector<uint8_t> bytes = from_hex(c.hex);
    const auto p = Point<Unknown>::read(bytes, params());
    if (c.error == nullptr) {
      EXPECT_TRUE(p.has_value()) << c.hex;
      continue;
    }
    ASSERT_FALSE(p.has_value()) << c.hex;
    EXPECT_EQ(p.error().message, c.error) << c.hex;
    EXPECT_EQ(p.error().kind, c.kind) << c.hex;
  }
}

TEST(PointEncoding, NeutralPointBothEncodings) {
  const Point<Unknown> zero = Point<Unknown>::zero();
  EXPECT_EQ(to_hex(zero.encode()), "01" + std::string(62, '0'));
  for (const std::string& hex : {"01" + std::string(62, '0'), "01" + std::string(60, '0') + "80"}) {
    const auto p = Point<Unknown>::read(from_hex(hex), params());
    ASSERT_TRUE(p.has_value());
    EXPECT_TRUE(*p == zero) << hex;
  }
}

TEST(PointEncoding, SigningBaseRoundTripsAndSignBitNegates) {
  const auto p = Point<Unknown>::read(from_hex(kG5), params());
  ASSERT_TRUE(p.has_value());
  EXPECT_TRUE(*p == g());
  std::vector<uint8_t> flipped = from_hex(kG5);
  flipped[31] ^= 0x80;
  const auto n = Point<Unknown>::read(flipped, params());
  ASSERT_TRUE(n.has_value());
  EXPECT_TRUE(*n == g().negate());
  EXPECT_FALSE(*n == g());
  // A point reached through projective arithmetic encodes the same as its
  // affine form.
  const Point<PrimeOrder> seven = g().mul_vartime(FsRepr{7, 0, 0, 0}, params());
  const auto back = Point<Unknown>::read(seven.encode(), params());
  ASSERT_TRUE(back.has_value());
  EXPECT_TRUE(*back == seven);
}

TEST(PointEncoding, ReadErrorDebugForms) {
  EXPECT_EQ((IoError{IoErrorKind::InvalidInput, "not on curve"}.debug()),
            "Custom { kind: InvalidInput, error: \"not on curve\" }");
  EXPECT_EQ((IoError{IoErrorKind::UnexpectedEof, "failed to fill whole buffer"}.debug()),
            "Error { kind: UnexpectedEof, message: \"failed to fill whole buffer\" }");
}

TEST(Point, FromXy) {
  EXPECT_TRUE(*Point<Unknown>::from_xy(Fr::zero(), Fr::one(), params()) == Point<Unknown>::zero());
  auto [x, y] = g().to_affine();
  const auto p = Point<Unknown>::from_xy(x, y, params());
  ASSERT_TRUE(p.has_value());
  EXPECT_TRUE(*p == g());
  y.add_assign(Fr::one());
  EXPECT_FALSE(Point<Unknown>::from_xy(x, y, params()).has_value());
  // (0, -1) is on the curve: the point of order 2.
  EXPECT_TRUE(Point<Unknown>::from_xy(Fr::zero(), -Fr::one(), params()).has_value());
}

TEST(Point, GroupLaw) {
  const Point<PrimeOrder> zero = Point<PrimeOrder>::zero();
  const Point<PrimeOrder> p = g().mul_vartime(FsRepr{12345, 0, 0, 0}, params());
  const Point<PrimeOrder> q = params().generator(0);
  EXPECT_TRUE(p.add(p.negate(), params()) == zero);
  EXPECT_TRUE(p.add(p, params()) == p.double_());
  EXPECT_TRUE(p.add(zero, params()) == p);
  EXPECT_TRUE(zero.double_() == zero);
  EXPECT_TRUE(p.add(q, params()) == q.add(p, params()));
  EXPECT_TRUE(p.clear_cofactor() == p.double_().double_().double_());
  EXPECT_TRUE(p.clear_cofactor() == p.mul_vartime(FsRepr{8, 0, 0, 0}, params()));
}

TEST(Point, ScalarMultiplication) {
  const Point<PrimeOrder> zero = Point<PrimeOrder>::zero();
  EXPECT_TRUE(g().mul_vartime(FsRepr{0, 0, 0, 0}, params()) == zero);
  EXPECT_TRUE(g().mul_vartime(FsRepr{1, 0, 0, 0}, params()) == g());
  EXPECT_TRUE(g().mul_vartime(Fs::one(), params()) == g());
  EXPECT_TRUE(g().mul_vartime(fs_char(), params()) == zero);
  // (s - 1)·G = -G, and an Fs scalar is taken by its canonical value.
  Fs minus_one = Fs::zero();
  minus_one.sub_assign(Fs::one());
  EXPECT_TRUE(g().mul_vartime(minus_one, params()) == g().negate());
  EXPECT_EQ(to_hex(g().mul_vartime(minus_one, params()).encode()),
            "b7946c9c0e5c4b987dd5f6f515c8327506e4684a642442783f5d78ea6711a005");
  // 3·G two ways.
  EXPECT_TRUE(g().mul_vartime(FsRepr{3, 0, 0, 0}, params()) == g().double_().add(g(), params()));
}

TEST(Point, SmallOrderPointsAreNotKilledByS) {
  const Point<Unknown> t = *Point<Unknown>::from_xy(Fr::zero(), -Fr::one(), params());
  EXPECT_FALSE(t == Point<Unknown>::zero());
  EXPECT_TRUE(t.double_() == Point<Unknown>::zero());
  EXPECT_FALSE(t.mul_vartime(fs_char(), params()) == Point<Unknown>::zero());
  EXPECT_TRUE(t.clear_cofactor() == Point<PrimeOrder>::zero());
}

}  // namespace
}  // namespace quillet::jubjub
