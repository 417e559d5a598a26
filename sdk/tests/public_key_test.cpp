#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <utility>
#include <vector>

#include "crypto/failure.hpp"
#include "sdk/src/keys/key_text.hpp"
#include "sdk/src/keys/public_key.hpp"
#include "sdk/src/lib.hpp"
#include "sdk/tests/test_support.hpp"

namespace quillet::sdk {
namespace {

// The signing base: its packed form (the encoding read little-endian) and its
// affine coordinates; it is the public key of the private key 1.
constexpr const char* kBasePacked = "0x85a01167ea785d3f784224644a68e4067532c815f5f6d57d984b5c0e9c6c94b7";
using testing::kBaseX;
constexpr const char* kBaseY = "0x05a01167ea785d3f784224644a68e4067532c815f5f6d57d984b5c0e9c6c94b7";
// A packed key whose point's affine x has a leading zero digit.
constexpr const char* kLeadingZeroPacked = "0x8000000000000000000000010000000000000000000000000000000000000003";
constexpr const char* kLeadingZeroX = "0x07a07fcee5d5c4bb3ce2a9ce227dae701848408bb03917d86f0aa5d9821c5351";
using testing::hard_failure_text;
using testing::kKeyOne;
using testing::kNotOnCurve;
using testing::kYNotInField;
using testing::kZeros64;
using testing::u256;
// r, the modulus of the coordinates' field.
const std::string kR = testing::kRDigits;

std::string upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

TEST(TrimHexPrefix, RemovesLowerThenUpperPrefixes) {
  const std::pair<std::string, std::string> cases[] = {
      {"0x5", "5"},   {"0x0x5", "5"},     {"0X0X5", "5"}, {"0X0x5", "0x5"}, {"0x0X5", "5"},
      {"5", "5"},     {"", ""},           {"0x", ""},     {"0", "0"},       {"x0x5", "x0x5"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(trim_hex_prefix(in), out) << in;
}

TEST(GetXyFromR, DecodesOrFailsHard) {
  const auto [x, y] = keys::get_xy_from_r(u256(kBasePacked));
  EXPECT_EQ(keys::fr_to_u256(x).to_hex_0x64(), kBaseX);
  EXPECT_EQ(keys::fr_to_u256(y).to_hex_0x64(), kBaseY);

  const std::pair<std::string, std::string> failures[] = {
      {kR, kYNotInField},                                       // y = r
      {"b" + std::string(kR).substr(1), kYNotInField},          // y = r with the sign bit set
      {"4" + std::string(63, '0'), kYNotInField},               // y = 2^254
      {"1" + std::string(40, '0'), kNotOnCurve},                // y = 2^160
      {"2", kNotOnCurve},                                       // y = 2
  };
  for (const auto& [hex, text] : failures) {
    // Captured by name: Clang 14 (the sanitizer build) cannot capture a binding.
    EXPECT_EQ(hard_failure_text([&hex = hex] { keys::get_xy_from_r(u256(hex)); }), text) << hex;
  }
}

TEST(BabyJubjubPoint, SmallValueRule) {
  struct Case {
    std::string packed;
    bool small;  // taken as (0, v) without decoding
  };
  const Case cases[] = {
      {"1", true},
      {"2", true},  // would not decode
      {std::string(40, 'f'), true},                // 2^160 - 1
      {"0", false},                                // zero is decoded: (sqrt(-1), 0)
      {"1" + std::string(39, '0') + "3", false},  // 2^160 + 3
  };
  for (const Case& c : cases) {
    const U256 v = u256(c.packed);
    const keys::BabyJubjubPoint p = keys::BabyJubjubPoint::from_packed(keys::PackedPublicKey{v});
    EXPECT_EQ(p.y, v) << c.packed;
    EXPECT_EQ(p.x.is_zero(), c.small) << c.packed;
  }
  // 2^160 is past the rule and so decoded, which fails for this y.
  EXPECT_EQ(hard_failure_text([] {
              keys::BabyJubjubPoint::from_packed(keys::PackedPublicKey{u256("1" + std::string(40, '0'))});
            }),
            kNotOnCurve);
}

TEST(ConvertToPubkey, RefusesPointsOffTheCurve) {
  const std::string modulus_text = std::string("0x") + kR + " is not an element of the field";
  struct Case {
    std::string x;
    std::string y;
    std::string error;  // empty: accepted
  };
  const Case cases[] = {
      {"0", "1", ""},
      {kBaseX, kBaseY, ""},
      // (0, v) is on the curve only for v = 1 among the small values.
      {"0", "0", "could not decode public key by x and y"},
      {"0", "2", "could not decode public key by x and y"},
      {"0", "3", "could not decode public key by x and y"},
      {"0", std::string(40, 'f'), "could not decode public key by x and y"},
      {kBaseX, "0x05a01167ea785d3f784224644a68e4067532c815f5f6d57d984b5c0e9c6c94b8",
       "could not decode public key by x and y"},
      {kR, "1", modulus_text},
      {"0", kR, modulus_text},
      {kR, kR, modulus_text},
  };
  for (const Case& c : cases) {
    const auto key = keys::convert_to_pubkey(u256(c.x), u256(c.y));
    if (c.error.empty()) {
      EXPECT_TRUE(key.has_value()) << c.x << ", " << c.y;
    } else {
      ASSERT_FALSE(key.has_value()) << c.x << ", " << c.y;
      EXPECT_EQ(key.error().to_string(), c.error);
    }
  }
}

TEST(PubKeyToXy, Pairs) {
  struct Case {
    std::string text;
    std::string x;
    std::string y;
  };
  const std::string base_digits = std::string(kBasePacked).substr(2);
  const std::string small = "0x" + std::string(40, 'a');
  const Case cases[] = {
      {kBasePacked, kBasePacked, kBaseX},
      {base_digits, kBasePacked, kBaseX},
      // Case and prefix of the given text are kept, only the prefix is
      // normalised to "0x".
      {"0x" + upper(base_digits), "0x" + upper(base_digits), kBaseX},
      {"0X" + base_digits, kBasePacked, kBaseX},
      {"0x0X0X" + base_digits, kBasePacked, kBaseX},
      // Leading zeros are neither added nor removed, in x or in y.
      {"0x000a", "0x000a", "0x" + kZeros64},
      {kLeadingZeroPacked, kLeadingZeroPacked, kLeadingZeroX},
      {small, small, "0x" + kZeros64},
      {"0x1", "0x1", "0x" + kZeros64},
      // "0X" then "0x": the parser drops the second prefix, x keeps it.
      {"0X0x" + std::string(40, 'a'), "0x0x" + std::string(40, 'a'), "0x" + kZeros64},
  };
  for (const Case& c : cases) {
    const auto pair = pub_key_to_xy(c.text);
    ASSERT_TRUE(pair.has_value()) << c.text << ": " << pair.error().to_string();
    EXPECT_EQ(pair->first, c.x) << c.text;
    EXPECT_EQ(pair->second, c.y) << c.text;
  }
}

// A text error of the key as the general error prints it: the error, then
// again as its cause.
std::string caused(const std::string& error) { return error + "\n\nCaused by:\n    " + error; }

TEST(PubKeyToXy, ParseErrorsAndHardFailures) {
  const std::pair<std::string, std::string> errors[] = {
      {"0xzz", "Invalid character 'z' at position 0"},
      {"0x" + std::string(65, '1'), "Invalid string length"},
      {"0x12g4", "Invalid character 'g' at position 2"},
      {"0x123g4", "Invalid character 'g' at position 4"},
      {" 0x12", "Invalid character ' ' at position 1"},  // odd count: a '0' is put in front
  };
  for (const auto& [text, error] : errors) {
    const auto pair = pub_key_to_xy(text);
    ASSERT_FALSE(pair.has_value()) << text;
    EXPECT_EQ(pair.error().to_string(), caused(error)) << text;
  }
  EXPECT_EQ(hard_failure_text([] { (void)pub_key_to_xy(std::string("0x") + kR); }), kYNotInField);
  EXPECT_EQ(hard_failure_text([] { (void)pub_key_to_xy("0x1" + std::string(40, '0')); }), kNotOnCurve);
}

TEST(PrivateKeyToPubkeyXy, KnownKeyAndRoundTrips) {
  const auto one = private_key_to_pubkey_xy(kKeyOne);
  ASSERT_TRUE(one.has_value());
  EXPECT_EQ(one->first, kBasePacked);
  EXPECT_EQ(one->second, kBaseX);

  for (const std::string& seed : {std::string(32, 'a'), std::string(40, 'q'), std::string(64, '7')}) {
    const auto key = private_key_from_seed({reinterpret_cast<const uint8_t*>(seed.data()), seed.size()});
    ASSERT_TRUE(key.has_value());
    const auto pair = private_key_to_pubkey_xy(*key);
    ASSERT_TRUE(pair.has_value());
    EXPECT_EQ(pair->first.size(), 66u);
    EXPECT_EQ(pair->second.size(), 66u);
    EXPECT_EQ(pub_key_to_xy(pair->first).value(), *pair);
    EXPECT_TRUE(is_on_curve(pair->first, pair->second).value());
  }
}

TEST(PrivateKeyToPubkeyXy, AnswersAsDecodingItsOwnPackedKey) {
  // The pair comes from the derived point directly; decoding the packed key
  // text, as pub_key_to_xy does, must give the same texts. Keys of every
  // magnitude, upper-case digits included.
  std::vector<std::string> keys = {kKeyOne, "0x" + kZeros64, "0x" + std::string(63, '0') + "2",
                                   "0x060c89ce5c263405370a08b6d0302b0bab3eedb83920ee0a677297dc392126f0",
                                   "0x0x" + upper("05a01167ea785d3f784224644a68e4067532c815f5f6d57d984b5c0e9c6c94b7")};
  uint64_t state = 0x9e3779b97f4a7c15ULL;
  for (int i = 0; i < 40; ++i) {
    std::string key = "0x0";
    for (int d = 0; d < 63; ++d) {
      state = state * 6364136223846793005ULL + 1442695040888963407ULL;
      // The leading digit stays below 6, so the key is below s.
      key.push_back("0123456789abcdefABCDEF"[(state >> 33) % (d == 0 ? 6 : 22)]);
    }
    keys.push_back(key);
  }
  for (const std::string& key : keys) {
    const auto sk = keys::private_key_from_string(key);
    ASSERT_TRUE(sk.has_value()) << key;
    const auto pair = private_key_to_pubkey_xy(key);
    ASSERT_TRUE(pair.has_value()) << key;
    EXPECT_EQ(*pair, pub_key_to_xy(keys::public_key_from_private(*sk).to_hex()).value()) << key;
  }
}

TEST(PrivateKeyToPubkeyXy, KeyZeroPacksTheNeutralPoint) {
  // 0·G is (0, 1), whose packed value 1 falls under the small-value rule.
  const auto pair = private_key_to_pubkey_xy("0x" + kZeros64);
  ASSERT_TRUE(pair.has_value());
  EXPECT_EQ(pair->first, kKeyOne);
  EXPECT_EQ(pair->second, "0x" + kZeros64);
}

TEST(PrivateKeyToPubkeyXy, KeyErrorsKeepTheirCauses) {
  const std::string not_in_field = "0x" + std::string(64, 'f') + " is not an element of the field";
  const std::pair<std::string, std::string> cases[] = {
      {"zz", "Invalid character 'z' at position 0"},
      {"0x" + std::string(64, 'f'),
       "Cannot convert into prime field value: " + not_in_field + "\n\nCaused by:\n    " + not_in_field},
  };
  for (const auto& [text, error] : cases) {
    const auto pair = private_key_to_pubkey_xy(text);
    ASSERT_FALSE(pair.has_value()) << text;
    EXPECT_EQ(pair.error().to_string(), error);
  }
}

TEST(IsOnCurve, ComparesTextsExactly) {
  const std::string base_digits = std::string(kBasePacked).substr(2);
  const std::string x_digits = std::string(kBaseX).substr(2);
  const std::string small = "0x" + std::string(40, 'a');
  const std::string base_minus_x = "0x017054bebd8ed76269b84220f215264ea2e9cc2c72ec13c846bfd7d39d28920a";  // r - x
  struct Case {
    std::string x;
    std::string y;
    bool expected;
  };
  const Case cases[] = {
      {kBasePacked, kBaseX, true},
      {base_digits, x_digits, true},
      {"0X" + base_digits, "0X" + x_digits, true},
      {"0x" + upper(base_digits), kBaseX, true},    // x is compared with itself
      {kBasePacked, "0x" + upper(x_digits), false},  // y must be lower case
      {kBasePacked, kBaseY, false},                  // the affine y is not the pair's y
      {kBasePacked, base_minus_x, false},            // -x fits y too, but is not the point's x
      {kBasePacked, kBasePacked, false},
      {"0X0x" + base_digits, kBaseX, false},         // x still carries a prefix after trimming
      {kLeadingZeroPacked, kLeadingZeroX, true},
      {kLeadingZeroPacked, "0x" + std::string(kLeadingZeroX).substr(3), false},  // leading zero dropped
      {small, "0x" + kZeros64, true},
      {small, "0x0", false},                         // leading zeros are required
      {small, "0x", false},
  };
  for (const Case& c : cases) {
    const auto result = is_on_curve(c.x, c.y);
    ASSERT_TRUE(result.has_value()) << c.x << ", " << c.y;
    EXPECT_EQ(*result, c.expected) << c.x << ", " << c.y;
  }
  for (const auto& [x, error] : {std::pair{std::string("0xzz"), "Invalid character 'z' at position 0"},
                                 {"0x12g4", "Invalid character 'g' at position 2"},
                                 {"0x" + std::string(65, '1'), "Invalid string length"}}) {
    const auto bad = is_on_curve(x, kBaseX);
    ASSERT_FALSE(bad.has_value()) << x;
    EXPECT_EQ(bad.error().to_string(), caused(error)) << x;
  }
  EXPECT_EQ(hard_failure_text([] { (void)is_on_curve(std::string("0x") + kR, "0x0"); }), kYNotInField);
}

}  // namespace
}  // namespace quillet::sdk
