#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

#include "crypto/jubjub/fs.hpp"
#include "crypto/jubjub/tests/test_support.hpp"

namespace quillet::jubjub {
namespace {

using testing::field_from_dec;
using testing::hard_failure_text;

constexpr FsRepr kSMinusOne = {0x677297dc392126f0ULL, 0xab3eedb83920ee0aULL, 0x370a08b6d0302b0bULL,
                               0x060c89ce5c263405ULL};

TEST(Fs, FromReprAcceptsExactlyTheValuesBelowS) {
  const auto s = Fs::from_repr(fs_char());
  ASSERT_FALSE(s.has_value());
  EXPECT_EQ(s.error().to_string(),
            "0x060c89ce5c263405370a08b6d0302b0bab3eedb83920ee0a677297dc392126f1 is not an element of the field");
  EXPECT_FALSE(Fs::from_repr({~0ULL, ~0ULL, ~0ULL, ~0ULL}).has_value());

  for (const FsRepr& v : {FsRepr{0, 0, 0, 0}, FsRepr{1, 0, 0, 0}, FsRepr{0, 0, 0, 1ULL << 58}, kSMinusOne}) {
    const auto e = Fs::from_repr(v);
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->into_repr(), v);
  }
  EXPECT_EQ(fs_char(), (FsRepr{0x677297dc392126f1ULL, 0xab3eedb83920ee0aULL, 0x370a08b6d0302b0bULL,
                                0x060c89ce5c263405ULL}));
}

TEST(Fs, ArithmeticWrapsAtS) {
  Fs top = *Fs::from_repr(kSMinusOne);
  top.add_assign(Fs::one());
  EXPECT_EQ(top, Fs::zero());
  Fs minus_one = *Fs::from_repr(kSMinusOne);
  minus_one.mul_assign(minus_one);
  EXPECT_EQ(minus_one, Fs::one());
}

TEST(Fs, ToUniform32ReducesLittleEndianBytes) {
  struct Case {
    std::array<uint8_t, 32> bytes;
    const char* decimal;
  };
  std::array<uint8_t, 32> ones{};
  ones.fill(0xff);
  std::array<uint8_t, 32> first{};
  first[0] = 1;
  std::array<uint8_t, 32> last{};
  last[31] = 1;
  std::array<uint8_t, 32> s_le = field::repr_to_bytes_le(fs_char());
  const Case cases[] = {
      {ones, "878814160160000506777354846087213638043797834980739153048526248078339972213"},
      {first, "1"},
      {last, "452312848583266388373324160190187140051835877600158453279131187530910662656"},
      {std::array<uint8_t, 32>{}, "0"},
      {s_le, "0"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(to_uniform_32(c.bytes), field_from_dec<Fs>(c.decimal)) << c.decimal;
  }
}

TEST(Fs, ToUniform32NeedsExactly32Bytes) {
  for (size_t n : {0, 31, 33}) {
    const std::vector<uint8_t> bytes(n, 0);
    EXPECT_EQ(hard_failure_text([&] { to_uniform_32(bytes); }),
              "assertion failed: to_uniform_32 takes exactly 32 bytes")
        << n;
  }
}

}  // namespace
}  // namespace quillet::jubjub
