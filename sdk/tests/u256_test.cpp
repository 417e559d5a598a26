#include "sdk/src/numbers/u256.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "sdk/tests/test_support.hpp"

namespace quillet::sdk {
namespace {

U256 words(uint64_t w0, uint64_t w1, uint64_t w2, uint64_t w3) { return U256{{w0, w1, w2, w3}}; }

constexpr uint64_t kMax = ~uint64_t{0};

using testing::hard_failure_text;

TEST(U256FromStr, AcceptedTexts) {
  const std::string f64(64, 'f');
  const struct {
    std::string text;
    U256 value;
  } cases[] = {
      {"", U256{}},
      {"0x", U256{}},
      {"0x1", U256::from_u64(1)},
      {"1", U256::from_u64(1)},
      {"01", U256::from_u64(1)},
      {"0x0001", U256::from_u64(1)},
      {"0xAbCdEf", U256::from_u64(0xabcdef)},
      {"123", U256::from_u64(0x123)},
      {"0x10000000000000000", words(0, 1, 0, 0)},
      {f64, words(kMax, kMax, kMax, kMax)},
      {"0x" + f64, words(kMax, kMax, kMax, kMax)},
      {"0x8" + std::string(63, '0'), words(0, 0, 0, uint64_t{1} << 63)},
  };
  for (const auto& c : cases) {
    auto r = U256::from_str(c.text);
    ASSERT_TRUE(r.has_value()) << c.text << ": " << r.error().to_string();
    EXPECT_EQ(*r, c.value) << c.text;
  }
  // Random values of every length, through the shortest text (odd lengths too).
  std::mt19937_64 rng(256);
  for (int i = 0; i < 500; ++i) {
    U256 v = words(rng(), rng(), rng(), rng());
    for (auto n = static_cast<unsigned>(rng() % 65); n < 64; ++n) v.words[n / 16] &= ~(uint64_t{15} << (4 * (n % 16)));
    const auto r = U256::from_str(v.fmt_hex());
    ASSERT_TRUE(r.has_value()) << v.fmt_hex();
    EXPECT_EQ(*r, v) << v.fmt_hex();
  }
}

TEST(U256FromStr, Errors) {
  const struct {
    std::string text;
    std::string display;
    std::string radix_debug;
  } cases[] = {
      {"0x12g4", "Invalid character 'g' at position 2",
       "FromStrRadixErr { kind: InvalidCharacter, source: Some(Hex(FromHexError { inner: "
       "InvalidHexCharacter { c: 'g', index: 2 } })) }"},
      // Odd digit count: the index counts the implied leading '0'.
      {"0x123g4", "Invalid character 'g' at position 4",
       "FromStrRadixErr { kind: InvalidCharacter, source: Some(Hex(FromHexError { inner: "
       "InvalidHexCharacter { c: 'g', index: 4 } })) }"},
      {"0X10", "Invalid character 'X' at position 1",
       "FromStrRadixErr { kind: InvalidCharacter, source: Some(Hex(FromHexError { inner: "
       "InvalidHexCharacter { c: 'X', index: 1 } })) }"},
      // The prefix is dropped once only.
      {"0x0x1", "Invalid character 'x' at position 2",
       "FromStrRadixErr { kind: InvalidCharacter, source: Some(Hex(FromHexError { inner: "
       "InvalidHexCharacter { c: 'x', index: 2 } })) }"},
      {" 1", "Invalid character ' ' at position 0",
       "FromStrRadixErr { kind: InvalidCharacter, source: Some(Hex(FromHexError { inner: "
       "InvalidHexCharacter { c: ' ', index: 0 } })) }"},
      {"-1", "Invalid character '-' at position 0",
       "FromStrRadixErr { kind: InvalidCharacter, source: Some(Hex(FromHexError { inner: "
       "InvalidHexCharacter { c: '-', index: 0 } })) }"},
      {std::string(65, '0'), "Invalid string length",
       "FromStrRadixErr { kind: InvalidLength, source: Some(Hex(FromHexError { inner: "
       "InvalidStringLength })) }"},
      // The length is checked before any digit.
      {"0x" + std::string(65, 'z'), "Invalid string length",
       "FromStrRadixErr { kind: InvalidLength, source: Some(Hex(FromHexError { inner: "
       "InvalidStringLength })) }"},
      // Non-ASCII input: the offending byte, not a decoded character.
      {"\xc3\xa9", "Invalid character '\\u{c3}' at position 0",
       "FromStrRadixErr { kind: InvalidCharacter, source: Some(Hex(FromHexError { inner: "
       "InvalidHexCharacter { c: '\\u{c3}', index: 0 } })) }"},
  };
  for (const auto& c : cases) {
    auto r = U256::from_str(c.text);
    ASSERT_FALSE(r.has_value()) << c.text;
    EXPECT_EQ(r.error().to_string(), c.display) << c.text;
    auto rr = U256::from_str_radix(c.text, 16);
    ASSERT_FALSE(rr.has_value()) << c.text;
    EXPECT_EQ(rr.error().to_string(), c.display) << c.text;
    EXPECT_EQ(rr.error().debug(), c.radix_debug) << c.text;
  }
}

TEST(CharLiteral, Escapes) {
  const struct {
    uint8_t c;
    const char* literal;
  } cases[] = {
      {'g', "'g'"},     {'\'', "'\\''"},   {'"', "'\"'"},     {'\\', "'\\\\'"},
      {'\n', "'\\n'"},  {'\r', "'\\r'"},   {'\t', "'\\t'"},   {0, "'\\0'"},
      {1, "'\\u{1}'"},  {0x1f, "'\\u{1f}'"}, {0x7f, "'\\u{7f}'"}, {0xe9, "'\\u{e9}'"},
      {' ', "' '"},     {'~', "'~'"},
  };
  for (const auto& c : cases) EXPECT_EQ(char_literal(c.c), c.literal) << int(c.c);
}

TEST(U256FromStrRadix, DecimalAndUnsupported) {
  const std::string max_dec =
      "115792089237316195423570985008687907853269984665640564039457584007913129639935";
  auto ok = [](std::string_view t) { return U256::from_str_radix(t, 10); };
  EXPECT_EQ(*ok(""), U256{});
  EXPECT_EQ(*ok("0"), U256{});
  EXPECT_EQ(*ok("18446744073709551616"), words(0, 1, 0, 0));
  EXPECT_EQ(*ok(max_dec), words(kMax, kMax, kMax, kMax));

  const struct {
    std::string text;
    uint32_t radix;
    std::string display;
    std::string debug;
  } errors[] = {
      {"12a", 10, "a character is not in the range 0-9",
       "FromStrRadixErr { kind: InvalidCharacter, source: Some(Dec(InvalidCharacter)) }"},
      {"+1", 10, "a character is not in the range 0-9",
       "FromStrRadixErr { kind: InvalidCharacter, source: Some(Dec(InvalidCharacter)) }"},
      // 2^256 exactly.
      {"115792089237316195423570985008687907853269984665640564039457584007913129639936", 10,
       "the number is too large for the type",
       "FromStrRadixErr { kind: InvalidLength, source: Some(Dec(InvalidLength)) }"},
      {"1" + std::string(100, '0'), 10, "the number is too large for the type",
       "FromStrRadixErr { kind: InvalidLength, source: Some(Dec(InvalidLength)) }"},
      {"10", 8, "the given radix is not supported",
       "FromStrRadixErr { kind: UnsupportedRadix, source: None }"},
      {"10", 0, "the given radix is not supported",
       "FromStrRadixErr { kind: UnsupportedRadix, source: None }"},
  };
  for (const auto& c : errors) {
    auto r = U256::from_str_radix(c.text, c.radix);
    ASSERT_FALSE(r.has_value()) << c.text;
    EXPECT_EQ(r.error().to_string(), c.display) << c.text;
    EXPECT_EQ(r.error().debug(), c.debug) << c.text;
  }
}

TEST(ErrorTexts, KindsWithoutSourceAndParseInt) {
  EXPECT_EQ((FromStrRadixErr{FromStrRadixErrKind::InvalidCharacter, {}}).to_string(),
            "input contains an invalid character");
  EXPECT_EQ((FromStrRadixErr{FromStrRadixErrKind::InvalidLength, {}}).to_string(),
            "length not supported for radix or type");
  EXPECT_EQ(FromStrRadixErr::from_hex(FromHexError::odd_length()).debug(),
            "FromStrRadixErr { kind: InvalidLength, source: Some(Hex(FromHexError { inner: "
            "OddLength })) }");
  EXPECT_EQ(FromHexError::odd_length().to_string(), "Odd number of digits");
  EXPECT_EQ(FromHexError::invalid_hex_character('z', 0).variant_debug(),
            "InvalidHexCharacter { c: 'z', index: 0 }");
  using K = ParseIntError::Kind;
  const struct {
    K kind;
    const char* display;
    const char* debug;
  } cases[] = {
      {K::Empty, "cannot parse integer from empty string", "ParseIntError { kind: Empty }"},
      {K::InvalidDigit, "invalid digit found in string", "ParseIntError { kind: InvalidDigit }"},
      {K::PosOverflow, "number too large to fit in target type",
       "ParseIntError { kind: PosOverflow }"},
      {K::NegOverflow, "number too small to fit in target type",
       "ParseIntError { kind: NegOverflow }"},
      {K::Zero, "number would be zero for non-zero type", "ParseIntError { kind: Zero }"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ParseIntError{c.kind}.to_string(), c.display);
    EXPECT_EQ(ParseIntError{c.kind}.debug(), c.debug);
  }
}

TEST(U256Arithmetic, Shifts) {
  const U256 one = U256::from_u64(1);
  const struct {
    U256 in;
    unsigned bits;
    U256 out;
  } cases[] = {
      {one, 0, one},
      {one, 1, U256::from_u64(2)},
      {one, 64, words(0, 1, 0, 0)},
      {one, 255, words(0, 0, 0, uint64_t{1} << 63)},
      {one, 256, U256{}},
      {one, 1000, U256{}},
      {words(kMax, 0, 0, 0), 4, words(kMax << 4, 0xf, 0, 0)},
      {words(0x123, 0, 0, kMax), 130, words(0, 0, 0x123 << 2, 0)},
      {words(kMax, kMax, kMax, kMax), 255, words(0, 0, 0, uint64_t{1} << 63)},
  };
  for (const auto& c : cases) EXPECT_EQ(c.in.shl(c.bits), c.out) << c.bits;
}

TEST(U256Arithmetic, AddAndMul) {
  const U256 max = words(kMax, kMax, kMax, kMax);
  U256 a = words(kMax, kMax, 0, 0);
  a.add_assign(U256::from_u64(1));
  EXPECT_EQ(a, words(0, 0, 1, 0));
  U256 b = words(kMax - 1, kMax, kMax, kMax);
  b.add_assign(U256::from_u64(1));
  EXPECT_EQ(b, max);

  EXPECT_EQ(words(kMax, 0, 0, 0).mul(words(kMax, 0, 0, 0)), words(1, kMax - 1, 0, 0));
  EXPECT_EQ(U256::from_u64(1).shl(128).mul(U256::from_u64(1).shl(127)),
            U256::from_u64(1).shl(255));
  EXPECT_EQ(max.mul(U256::from_u64(1)), max);
  EXPECT_EQ(max.mul(U256{}), U256{});

  const std::string overflow = "arithmetic operation overflow";
  const struct {
    U256 x, y;
  } mul_overflows[] = {
      {max, U256::from_u64(2)},
      {U256::from_u64(1).shl(128), U256::from_u64(1).shl(128)},
      {U256::from_u64(1).shl(255), U256::from_u64(2)},
      // Only the carry out of the top word overflows.
      {words(0, 0, 0, kMax), U256::from_u64(2)},
      {words(0, 0, kMax, 0), words(0, 0x100, 0, 0)},
  };
  for (const auto& c : mul_overflows) {
    EXPECT_EQ(hard_failure_text([&] { (void)c.x.mul(c.y); }), overflow);
    EXPECT_EQ(hard_failure_text([&] { (void)c.y.mul(c.x); }), overflow);
  }
  U256 m = max;
  EXPECT_EQ(hard_failure_text([&] { m.add_assign(U256::from_u64(1)); }), overflow);
  EXPECT_EQ(m, max);  // unchanged after the failure
}

TEST(U256Conversions, FromIntegersAndBytes) {
  EXPECT_EQ(U256::from_u128(~static_cast<unsigned __int128>(0)), words(kMax, kMax, 0, 0));
  const __int128 i128_max = static_cast<__int128>(~static_cast<unsigned __int128>(0) >> 1);
  EXPECT_EQ(U256::from_i128(i128_max), words(kMax, kMax >> 1, 0, 0));
  EXPECT_EQ(hard_failure_text([] { (void)U256::from_i128(-1); }),
            "Unsigned integer can't be created from negative value");

  std::vector<uint8_t> bytes(33, 0);
  EXPECT_EQ(hard_failure_text([&] { (void)U256::from_little_endian(bytes); }),
            "assertion failed: 4 * 8 >= slice.len()");
  bytes.resize(32);
  for (size_t i = 0; i < 32; ++i) bytes[i] = static_cast<uint8_t>(i);
  const U256 v = U256::from_little_endian(bytes);
  EXPECT_EQ(v.words[0], 0x0706050403020100u);
  EXPECT_EQ(v.words[3], 0x1f1e1d1c1b1a1918u);
  const auto le = v.to_little_endian();
  EXPECT_TRUE(std::equal(le.begin(), le.end(), bytes.begin()));
  const uint8_t one[] = {1};
  EXPECT_EQ(U256::from_little_endian(one), U256::from_u64(1));
  EXPECT_EQ(U256::from_little_endian({}), U256{});

  EXPECT_LT(words(kMax, 0, 0, 0), words(0, 0, 0, 1));
  EXPECT_GT(words(0, 2, 0, 0), words(kMax, 1, 0, 0));
}

TEST(U256Printing, FmtHex) {
  const U256 one = U256::from_u64(1);
  const struct {
    U256 v;
    bool alternate;
    size_t width;
    bool zero_fill;
    std::string out;
  } cases[] = {
      {U256{}, false, 0, false, "0"},
      {U256{}, true, 0, false, "0x0"},
      {U256::from_u64(0xabc), false, 0, false, "abc"},
      {words(0, 1, 0, 0), false, 0, false, "10000000000000000"},
      {one, true, 66, true, "0x" + std::string(63, '0') + "1"},
      {one, false, 64, true, std::string(63, '0') + "1"},
      {one, true, 5, false, "  0x1"},
      {one, true, 1, true, "0x1"},
      {words(kMax, kMax, kMax, kMax), true, 66, true, "0x" + std::string(64, 'f')},
  };
  for (const auto& c : cases) EXPECT_EQ(c.v.fmt_hex(c.alternate, c.width, c.zero_fill), c.out);
  EXPECT_EQ(U256{}.to_hex_0x64(), "0x" + std::string(64, '0'));
  EXPECT_EQ(one.to_hex_0x64(), "0x" + std::string(63, '0') + "1");
}

TEST(H256Printing, LowerHex) {
  H256 h;
  for (size_t i = 0; i < 32; ++i) h.bytes[i] = static_cast<uint8_t>(i);
  const std::string plain = "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";
  EXPECT_EQ(h.lower_hex(false), plain);
  EXPECT_EQ(h.lower_hex(true), "0x" + plain);
}

}  // namespace
}  // namespace quillet::sdk
