#include <gtest/gtest.h>

#include <array>
#include <cctype>
#include <string>
#include <vector>

#include "sdk/src/keys/key_text.hpp"
#include "sdk/src/keys/seed.hpp"

namespace quillet::sdk::keys {
namespace {

constexpr const char* kS = "060c89ce5c263405370a08b6d0302b0bab3eedb83920ee0a677297dc392126f1";
constexpr const char* kSMinusOne = "060c89ce5c263405370a08b6d0302b0bab3eedb83920ee0a677297dc392126f0";
const std::string kZeros64(64, '0');

TEST(PrivateKeyFromString, Errors) {
  struct Case {
    std::string text;
    std::string error;  // the printed general error
  };
  const std::string not_in_field = "0x" + std::string(64, 'f') + " is not an element of the field";
  const std::string s_not_in_field = std::string("0x") + kS + " is not an element of the field";
  const Case cases[] = {
      {"", "Incorrect input size. Actual: 0, expected: 32"},
      {"0x", "Incorrect input size. Actual: 0, expected: 32"},
      {"0x0x", "Incorrect input size. Actual: 0, expected: 32"},
      {"0x" + std::string(63, '1'), "Odd number of digits"},
      {"0x" + std::string(62, '1'), "Incorrect input size. Actual: 31, expected: 32"},
      {"0x" + std::string(66, '0'), "Incorrect input size. Actual: 33, expected: 32"},
      {"0X" + std::string(64, '1'), "Invalid character 'X' at position 1"},
      {"0xg" + std::string(63, '1'), "Invalid character 'g' at position 0"},
      {"0x0x" + std::string(10, '1') + "z" + std::string(53, '1'), "Invalid character 'z' at position 10"},
      {" 0x" + std::string(63, '1'), "Invalid character ' ' at position 0"},
      {"0x" + std::string(64, 'f'),
       "Cannot convert into prime field value: " + not_in_field + "\n\nCaused by:\n    " + not_in_field},
      {std::string("0x") + kS,
       "Cannot convert into prime field value: " + s_not_in_field + "\n\nCaused by:\n    " + s_not_in_field},
  };
  for (const Case& c : cases) {
    const auto key = private_key_from_string(c.text);
    ASSERT_FALSE(key.has_value()) << c.text;
    EXPECT_EQ(key.error().to_string(), c.error) << c.text;
  }
}

TEST(PrivateKeyFromString, AcceptedForms) {
  struct Case {
    std::string text;
    std::string hex;  // FeConvert::to_hex of the key
  };
  const std::string mixed = "0123456789abcdefABCDEF0123456789abcdefABCDEF0123456789abcdef0123";
  std::string lower = mixed;
  for (char& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  const Case cases[] = {
      {std::string("0x") + kSMinusOne, kSMinusOne},
      {kSMinusOne, kSMinusOne},
      {std::string("0x0x0x") + kSMinusOne, kSMinusOne},
      {"0x" + kZeros64, kZeros64},
      {"0x" + mixed, lower},
      {lower, lower},
  };
  for (const Case& c : cases) {
    const auto key = private_key_from_string(c.text);
    ASSERT_TRUE(key.has_value()) << c.text << ": " << key.error().to_string();
    EXPECT_EQ(FeConvert::to_hex(*key), c.hex) << c.text;
  }
}

TEST(PrivateKeyFromString, ReadsKeysMadeFromSeeds) {
  for (char fill : {'a', 'b', 'q'}) {
    const std::string seed(40, fill);
    const auto text =
        private_key_from_seed({reinterpret_cast<const uint8_t*>(seed.data()), seed.size()});
    ASSERT_TRUE(text.has_value());
    const auto key = private_key_from_string(*text);
    ASSERT_TRUE(key.has_value());
    EXPECT_EQ("0x" + FeConvert::to_hex(*key), *text);
  }
}

TEST(FeConvert, FromBytes) {
  for (size_t n : {0, 31, 33}) {
    const std::vector<uint8_t> bytes(n, 0);
    const auto v = FeConvert::from_bytes(bytes);
    ASSERT_FALSE(v.has_value());
    EXPECT_EQ(v.error().to_string(), "Incorrect input size. Actual: " + std::to_string(n) + ", expected: 32");
    EXPECT_EQ(v.error().debug(), "IncorrectInputSize { size: " + std::to_string(n) + ", expected_size: 32 }");
    EXPECT_FALSE(v.error().cause().has_value());
  }
  std::array<uint8_t, 32> one{};
  one[31] = 1;
  EXPECT_EQ(*FeConvert::from_bytes(one), Fs::one());
  std::array<uint8_t, 32> high{};
  high[0] = 1;
  EXPECT_EQ(FeConvert::to_hex(*FeConvert::from_bytes(high)), "01" + std::string(62, '0'));

  std::array<uint8_t, 32> all{};
  all.fill(0xff);
  const auto bad = FeConvert::from_bytes(all);
  ASSERT_FALSE(bad.has_value());
  EXPECT_EQ(bad.error().debug(), "PrimeFieldDecodingError(NotInField(\"0x" + std::string(64, 'f') + "\"))");
  EXPECT_EQ(bad.error().cause(), "0x" + std::string(64, 'f') + " is not an element of the field");
}

TEST(FeConvert, ToHexKeepsLeadingZeros) {
  EXPECT_EQ(FeConvert::to_hex(Fs::one()), std::string(63, '0') + "1");
  EXPECT_EQ(FeConvert::to_hex(Fs::zero()), kZeros64);
  EXPECT_EQ(FeConvert::to_hex(Fr::one()), std::string(63, '0') + "1");
  EXPECT_EQ(FeConvert::to_hex(-Fr::one()), "30644e72e131a029b85045b68181585d2833e84879b9709143e1f593f0000000");
}

TEST(FrU256, Conversions) {
  const U256 r{{0x43e1f593f0000001ULL, 0x2833e84879b97091ULL, 0xb85045b68181585dULL, 0x30644e72e131a029ULL}};
  const auto bad = u256_to_fr(r);
  ASSERT_FALSE(bad.has_value());
  EXPECT_EQ(bad.error().to_string(),
            "0x30644e72e131a029b85045b68181585d2833e84879b9709143e1f593f0000001 is not an element of the field");
  U256 r_minus_one = r;
  r_minus_one.words[0] -= 1;
  const auto top = u256_to_fr(r_minus_one);
  ASSERT_TRUE(top.has_value());
  EXPECT_EQ(*top, -Fr::one());
  EXPECT_EQ(fr_to_u256(*top), r_minus_one);

  std::array<uint8_t, 32> le{};
  le[0] = 1;
  EXPECT_EQ(le_to_u256(le), U256::from_u64(1));
  le[31] = 0x80;
  EXPECT_EQ(le_to_u256(le).words[3], 0x8000000000000000ULL);
}

}  // namespace
}  // namespace quillet::sdk::keys
