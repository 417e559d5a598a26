#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <array>
#include <string>

#include "sdk/src/error.hpp"
#include "sdk/src/lib.hpp"

namespace quillet::sdk {
namespace {

std::span<const uint8_t> bytes(const std::string& s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

std::string hex(const std::array<uint8_t, 32>& d) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out = "0x";
  for (uint8_t b : d) {
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 15]);
  }
  return out;
}

TEST(PrivateKeyFromSeed, LengthBoundary) {
  struct Case {
    size_t length;
    bool ok;
  };
  for (const Case& c : {Case{0, false}, Case{31, false}, Case{32, true}, Case{200, true}}) {
    auto key = private_key_from_seed(bytes(std::string(c.length, 's')));
    ASSERT_EQ(key.has_value(), c.ok) << c.length;
    if (!c.ok) {
      EXPECT_EQ(key.error().to_string(), "seed is too short");
      EXPECT_TRUE(key.error().causes().empty());
    }
  }
}

// The key is the first iterate SHA-256^k(seed), k >= 2, that is below s;
// checked against an independent walk over the iterates.
TEST(PrivateKeyFromSeed, IsFirstIterateBelowOrder) {
  const std::string s_hex = "0x060c89ce5c263405370a08b6d0302b0bab3eedb83920ee0a677297dc392126f1";
  for (const std::string& seed : {std::string(32, '\0'), std::string("correct horse battery staple, 32b"),
                                 std::string(64, 'x')}) {
    auto key = private_key_from_seed(bytes(seed));
    ASSERT_TRUE(key.has_value());
    ASSERT_EQ(key->size(), 66u);
    std::array<uint8_t, 32> d{};
    SHA256(reinterpret_cast<const uint8_t*>(seed.data()), seed.size(), d.data());
    std::string expected;
    for (int k = 0; k < 10000 && expected.empty(); ++k) {
      SHA256(d.data(), d.size(), d.data());
      // Equal-length lower-case hex compares like the numbers it spells.
      if (hex(d) < s_hex) expected = hex(d);
    }
    EXPECT_EQ(*key, expected);
    EXPECT_EQ(*private_key_from_seed(bytes(seed)), *key) << "deterministic";
  }
}

TEST(ErrorText, CausedBySection) {
  struct Case {
    Error error;
    const char* text;
  };
  const Case cases[] = {
      {Error("plain"), "plain"},
      {Error("top", {"inner"}), "top\n\nCaused by:\n    inner"},
      {Error("top", {"two\nlines"}), "top\n\nCaused by:\n    two\n    lines"},
      {Error("top", {"a", "b\nc"}), "top\n\nCaused by:\n    0: a\n    1: b\n       c"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.error.to_string(), c.text);
}

}  // namespace
}  // namespace quillet::sdk
