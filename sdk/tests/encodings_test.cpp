#include <gtest/gtest.h>

#include <string>

#include "sdk/src/documents/field_decoders.hpp"
#include "sdk/src/numbers/parse_int.hpp"

namespace quillet::sdk::documents {
namespace {

using u128 = unsigned __int128;
using i128 = __int128;

constexpr u128 kU128Max = ~u128{0};
constexpr i128 kI128Max = static_cast<i128>(kU128Max >> 1);
constexpr i128 kI128Min = -kI128Max - 1;

// Each case: the text, and either the value or the full error message.
template <class T>
struct Case {
  std::string text;
  T value;
  std::string error;  // empty when the text is accepted
};

template <class T, class Decode>
void run(const std::vector<Case<T>>& cases, Decode decode) {
  for (const auto& c : cases) {
    auto r = decode(c.text);
    if (c.error.empty()) {
      ASSERT_TRUE(r.has_value()) << "'" << c.text << "': " << r.error();
      EXPECT_TRUE(*r == c.value) << "'" << c.text << "'";
    } else {
      ASSERT_FALSE(r.has_value()) << "'" << c.text << "'";
      EXPECT_EQ(r.error(), c.error) << "'" << c.text << "'";
    }
  }
}

const std::string kLarge = "number too large to fit in target type";
const std::string kSmall = "number too small to fit in target type";
const std::string kDigit = "invalid digit found in string";
const std::string kEmpty = "cannot parse integer from empty string";

TEST(FieldEncodings, U32SharesTheU64Prefix) {
  const std::string p = "u64 from string error: ";
  run<uint32_t>({{"0", 0, ""},
                 {"+7", 7, ""},
                 {"007", 7, ""},
                 {"4294967295", 4294967295u, ""},
                 {"4294967296", 0, p + kLarge},
                 {"99999999999999999999x", 0, p + kLarge},  // overflow seen before the 'x'
                 {"-1", 0, p + kDigit},
                 {"-0", 0, p + kDigit},
                 {"+", 0, p + kDigit},
                 {"++1", 0, p + kDigit},
                 {" 1", 0, p + kDigit},
                 {"1 ", 0, p + kDigit},
                 {"0x1", 0, p + kDigit},
                 {"", 0, p + kEmpty}},
                U32SerdeAsString::decode);
}

TEST(FieldEncodings, U64) {
  const std::string p = "u64 from string error: ";
  run<uint64_t>({{"18446744073709551615", UINT64_MAX, ""},
                 {"18446744073709551616", 0, p + kLarge},
                 {"000000000000000000000000018446744073709551615", UINT64_MAX, ""},
                 {"1_000", 0, p + kDigit},
                 {"", 0, p + kEmpty}},
                U64SerdeAsString::decode);
}

TEST(FieldEncodings, U128) {
  const std::string p = "decode u128 string error: ";
  run<u128>({{"340282366920938463463374607431768211455", kU128Max, ""},
             {"340282366920938463463374607431768211456", 0, p + kLarge},
             {"+1", 1, ""},
             {"", 0, p + kEmpty},
             {"-1", 0, p + kDigit}},
            U128SerdeAsString::decode);
}

TEST(FieldEncodings, I128HexStripsEveryLeadingPrefix) {
  const std::string p = "decode hex string error: ";
  run<i128>({{"0x1f", 31, ""},
             {"0x0x1f", 31, ""},
             {"1f", 31, ""},
             {"1F", 31, ""},
             {"0x-1f", -31, ""},
             {"+1f", 31, ""},
             {"0x-8" + std::string(31, '0'), kI128Min, ""},
             {"0x7" + std::string(31, 'f'), kI128Max, ""},
             {"0x8" + std::string(31, '0'), 0, p + kLarge},
             {"-8" + std::string(30, '0') + "1", 0, p + kSmall},
             {"-0x1f", 0, p + kDigit},
             {"0X1f", 0, p + kDigit},
             {"0x", 0, p + kEmpty},
             {"0x0x", 0, p + kEmpty},
             {"-", 0, p + kDigit},
             {"1g", 0, p + kDigit}},
            I128SerdeAsRadix16Prefix0xString::decode);
}

TEST(FieldEncodings, U256HexAndKeyHex) {
  const std::string p = "u256 from string error: ";
  run<U256>({{"", U256{}, ""},
             {"0x", U256{}, ""},
             {"0x" + std::string(64, 'F'), U256{{~0ull, ~0ull, ~0ull, ~0ull}}, ""},
             {"0x" + std::string(65, '1'), U256{}, p + "Invalid string length"},
             {"0x12g4", U256{}, p + "Invalid character 'g' at position 2"},
             {"0x0x1", U256{}, p + "Invalid character 'x' at position 2"}},
            U256SerdeAsRadix16Prefix0xString::decode);
  // The key form reports the bare parse error.
  run<U256>({{"", U256{}, ""},
             {"0xAB", U256::from_u64(0xab), ""},
             {"0xzz", U256{}, "Invalid character 'z' at position 0"},
             {std::string(65, '1'), U256{}, "Invalid string length"}},
            decode_key_hex);
}

}  // namespace
}  // namespace quillet::sdk::documents
