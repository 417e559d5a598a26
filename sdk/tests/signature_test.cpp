#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <array>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "crypto/failure.hpp"
#include "sdk/src/keys/key_text.hpp"
#include "sdk/src/keys/message_signing.hpp"
#include "sdk/src/keys/public_key.hpp"
#include "sdk/src/keys/signature.hpp"
#include "sdk/src/lib.hpp"
#include "sdk/tests/test_support.hpp"

namespace quillet::sdk {
namespace {

using testing::hard_failure_text;
using testing::kBaseX;
using testing::kKeyOne;
using testing::kNotOnCurve;
using testing::kYNotInField;
using testing::kZeros64;
using testing::point_from_xy;
using testing::read_signature;
using testing::seed_key;
using testing::u256;

// s, the order of the signing subgroup, and r, the coordinates' modulus.
const std::string kS = "0x" + testing::kSDigits;
const std::string kSMinusOne = kS.substr(0, 65) + "0";
const std::string kR = "0x" + testing::kRDigits;
const std::string kBaseYPlusOne = "0x05a01167ea785d3f784224644a68e4067532c815f5f6d57d984b5c0e9c6c94b8";
const std::string kF64(64, 'f');
const std::string kKeyZero = "0x" + kZeros64;

bool is_hex_0x64(const std::string& v) {
  return v.size() == 66 && v.starts_with("0x") &&
         v.find_first_not_of("0123456789abcdef", 2) == std::string::npos;
}

// The members of a flat JSON object of strings, in document order.
std::vector<std::pair<std::string, std::string>> members(const std::string& json) {
  rapidjson::Document doc;
  doc.Parse(json.c_str(), json.size());
  std::vector<std::pair<std::string, std::string>> out;
  if (doc.HasParseError() || !doc.IsObject()) return out;
  for (const auto& m : doc.GetObject()) out.emplace_back(m.name.GetString(), m.value.GetString());
  return out;
}

struct Signed {
  std::string r;
  std::string s;
};

Signed sign_ok(const std::string& key, const std::string& msg) {
  const auto sig = sign(key, msg);
  EXPECT_TRUE(sig.has_value()) << key << ", " << msg << ": " << sig.error().to_string();
  if (!sig) return {};
  const auto m = members(to_json(*sig));
  if (m.size() != 2) return {};
  return {m[0].second, m[1].second};
}

const std::vector<std::string>& test_keys() {
  static const std::vector<std::string> keys = {kKeyOne, kKeyZero, kSMinusOne, seed_key('a'), seed_key('z')};
  return keys;
}

const std::vector<std::string>& test_messages() {
  static const std::vector<std::string> msgs = {"",    "0x1", "0x" + kF64, "0x1234abcd", kS,
                                                "0x" + std::string(63, '0') + "2"};
  return msgs;
}

TEST(Sign, JsonFormAndDeterminism) {
  for (const std::string& key : test_keys()) {
    for (const std::string& msg : test_messages()) {
      const auto sig = sign(key, msg);
      ASSERT_TRUE(sig.has_value()) << key << ", " << msg;
      const std::string json = to_json(*sig);
      EXPECT_EQ(json.size(), 147u);
      const auto m = members(json);
      ASSERT_EQ(m.size(), 2u) << json;
      EXPECT_EQ(m[0].first, "r");
      EXPECT_EQ(m[1].first, "s");
      EXPECT_TRUE(is_hex_0x64(m[0].second)) << json;
      EXPECT_TRUE(is_hex_0x64(m[1].second)) << json;
      EXPECT_LT(u256(m[1].second), u256(kS));
      EXPECT_EQ(to_json(sign(key, msg).value()), json);
    }
  }
}

TEST(Sign, MessageTextsOfOneInteger) {
  const Signed one = sign_ok(kKeyOne, "0x1");
  for (const char* msg : {"1", "01", "0x0001", "0x01"}) {
    const Signed other = sign_ok(kKeyOne, msg);
    EXPECT_EQ(other.r, one.r) << msg;
    EXPECT_EQ(other.s, one.s) << msg;
  }
  const Signed two = sign_ok(kKeyOne, "0x2");
  EXPECT_NE(two.s, one.s);
}

TEST(Sign, Errors) {
  const std::string bad_key_not_in_field = "0x" + kF64 + " is not an element of the field";
  struct Case {
    std::string key;
    std::string msg;
    std::string error;
  };
  const Case cases[] = {
      // An odd digit count is read with a '0' in front, which the position
      // counts.
      {kKeyOne, "0X1", "Invalid character 'X' at position 2"},
      {kKeyOne, "0X10", "Invalid character 'X' at position 1"},
      {kKeyOne, "0x" + std::string(65, '1'), "Invalid string length"},
      {kKeyOne, "0x0x1", "Invalid character 'x' at position 2"},
      {kKeyOne, "0x1g", "Invalid character 'g' at position 1"},
      // The message is looked at before the key.
      {"zz", "0X1", "Invalid character 'X' at position 2"},
      {"zz", "0x1", "Invalid character 'z' at position 0"},
      {"0x" + kF64, "0x1",
       "Cannot convert into prime field value: " + bad_key_not_in_field + "\n\nCaused by:\n    " +
           bad_key_not_in_field},
  };
  for (const Case& c : cases) {
    const auto sig = sign(c.key, c.msg);
    ASSERT_FALSE(sig.has_value()) << c.key << ", " << c.msg;
    EXPECT_EQ(sig.error().to_string(), c.error) << c.key << ", " << c.msg;
  }
}

TEST(L1Sign, AgreesWithSignAndPublicKey) {
  for (const std::string& key : test_keys()) {
    const auto pair = private_key_to_pubkey_xy(key);
    ASSERT_TRUE(pair.has_value());
    for (const std::string& msg : test_messages()) {
      const auto l1 = l1_sign(msg, key);
      ASSERT_TRUE(l1.has_value()) << key << ", " << msg;
      const std::string json = to_json(*l1);
      EXPECT_EQ(json.size(), 372u) << json;
      const auto m = members(json);
      ASSERT_EQ(m.size(), 5u) << json;
      const char* names[] = {"x", "y", "s", "pk_x", "pk_y"};
      for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(m[i].first, names[i]);
        EXPECT_TRUE(is_hex_0x64(m[i].second)) << json;
      }
      // Same s; packing (x, y) gives sign's r.
      const auto sig = sign(key, msg).value();
      EXPECT_EQ(l1->s, U256{sig.s.into_repr()}.to_hex_0x64());
      EXPECT_EQ(to_json(keys::JubjubSignature{point_from_xy(u256(l1->x), u256(l1->y)), sig.s}), to_json(sig));
      EXPECT_EQ(l1->pk_x, pair->first);
      EXPECT_EQ(l1->pk_y, pair->second);
    }
  }
}

TEST(L1Sign, MessagePrefixesAndErrors) {
  const keys::L1Signature one = l1_sign("1", kKeyOne).value();
  for (const char* msg : {"0x1", "0X1", "0x0x1", "0X0X01", "0X0x1"}) {
    const auto l1 = l1_sign(msg, kKeyOne);
    ASSERT_TRUE(l1.has_value()) << msg;
    EXPECT_EQ(*l1, one) << msg;
  }
  struct Case {
    std::string msg;
    std::string key;
    std::string error;
  };
  const Case cases[] = {
      {"0x" + std::string(65, '1'), kKeyOne, "Invalid string length"},
      {"0x1", "zz", "Invalid character 'z' at position 0"},
      // The key is looked at before the message.
      {"0x" + std::string(65, '1'), "0x", "Incorrect input size. Actual: 0, expected: 32"},
      // Trimming takes "0x"s, then "0X"s; the parser drops one more "0x".
      {"0X0x0x1", kKeyOne, "Invalid character 'x' at position 2"},
  };
  for (const Case& c : cases) {
    const auto l1 = l1_sign(c.msg, c.key);
    ASSERT_FALSE(l1.has_value()) << c.msg << ", " << c.key;
    EXPECT_EQ(l1.error().to_string(), c.error);
  }
}

TEST(VerifySignature, OwnSignaturesAndTheirVariants) {
  for (const std::string& key : test_keys()) {
    const std::string pk = private_key_to_pubkey_xy(key).value().first;
    const std::string other_pk = private_key_to_pubkey_xy(seed_key('m')).value().first;
    for (const std::string& msg : test_messages()) {
      const Signed sig = sign_ok(key, msg);
      const U256 m = u256(msg);
      // The challenge is the message modulo s: a zero challenge makes the
      // signature independent of the key, and the key 0 makes it
      // independent of the message.
      const bool zero_challenge = m.is_zero() || m == u256(kS);
      const bool zero_key = key == kKeyZero;
      const bool fits = m.words[3] < 0xf000000000000000ULL;  // s < 2^251, so m + s < 2^256
      U256 m_plus_s = m;
      if (fits) m_plus_s.add_assign(u256(kS));
      const U256 m_plus_one = m == u256("0x" + kF64) ? U256{} : [&] {
        U256 v = m;
        v.add_assign(U256::from_u64(1));
        return v;
      }();

      struct Case {
        std::string r, s, x, y, msg;
        bool expected;
      };
      std::vector<Case> cases = {
          {sig.r, sig.s, pk, "", msg, true},
          {sig.r, sig.s, pk, "anything at all", msg, true},
          {sig.r, sig.s, pk, pk, msg, true},
          {sig.r, sig.s, pk.substr(2), "", msg, true},
          {sig.r, sig.s, pk, "", m.to_hex_0x64().substr(2), true},
          {"0X" + sig.r.substr(2), "0x0x" + sig.s.substr(2), pk, "", msg, true},
          {sig.r, sig.s, pk, "", m_plus_one.to_hex_0x64(), zero_key},
          {sig.r, sig.s, other_pk, "", msg, zero_challenge},
          // The neutral point as key (packed 1) and a key of order 4 (packed 0).
          {sig.r, sig.s, "0x1", "", msg, zero_key || zero_challenge},
          {sig.r, sig.s, "0x0", "", msg, false},
      };
      if (fits) cases.push_back({sig.r, sig.s, pk, "", m_plus_s.to_hex_0x64(), true});
      for (const Case& c : cases) {
        const auto ok = verify_signature(c.r, c.s, c.x, c.y, c.msg);
        ASSERT_TRUE(ok.has_value()) << ok.error().to_string();
        EXPECT_EQ(*ok, c.expected) << "key " << key << " msg " << msg << " -> " << c.x << ", " << c.msg;
      }
    }
  }
}

std::string caused(const std::string& error) { return error + "\n\nCaused by:\n    " + error; }

TEST(VerifySignature, ReturnedErrors) {
  const Signed sig = sign_ok(kKeyOne, "0x1");
  const std::string pk = private_key_to_pubkey_xy(kKeyOne).value().first;
  struct Case {
    std::string x;
    std::string msg;
    std::string error;
  };
  const Case cases[] = {
      {pk, "0X10", "Invalid character 'X' at position 1"},
      {pk, "0x" + std::string(65, '1'), "Invalid string length"},
      // The message is looked at before the key.
      {"0xzz", "0X10", "Invalid character 'X' at position 1"},
      // A key text error keeps its cause.
      {"0xzz", "0x1", caused("Invalid character 'z' at position 0")},
      // The key gets no prefix trimming beyond the parser's single "0x".
      {"0X" + pk.substr(4), "0x1", caused("Invalid character 'X' at position 1")},
      {"0X" + pk.substr(2), "0x1", caused("Invalid string length")},
      {"0x0x" + pk.substr(2), "0x1", caused("Invalid string length")},
      {"0x0x1", "0x1", caused("Invalid character 'x' at position 2")},
      // Small values other than 1 are no point of the curve.
      {"0x2", "0x1", "could not decode public key by x and y"},
      {"0x" + std::string(40, 'f'), "0x1", "could not decode public key by x and y"},
  };
  for (const Case& c : cases) {
    const auto ok = verify_signature(sig.r, sig.s, c.x, "", c.msg);
    ASSERT_FALSE(ok.has_value()) << c.x << ", " << c.msg;
    EXPECT_EQ(ok.error().to_string(), c.error) << c.x << ", " << c.msg;
  }
}

TEST(VerifySignature, HardFailures) {
  const Signed sig = sign_ok(kKeyOne, "0x1");
  const std::string pk = private_key_to_pubkey_xy(kKeyOne).value().first;
  const std::string radix_zz =
      "called `Result::unwrap()` on an `Err` value: FromStrRadixErr { kind: InvalidCharacter, source: "
      "Some(Hex(FromHexError { inner: InvalidHexCharacter { c: 'z', index: 0 } })) }";
  struct Case {
    std::string r, s, x, msg;
    std::string text;
  };
  const Case cases[] = {
      {sig.r, "0x" + kF64, pk, "0x1",
       "called `Result::unwrap()` on an `Err` value: NotInField(\"0x" + kF64 + "\")"},
      {sig.r, kS, pk, "0x1", "called `Result::unwrap()` on an `Err` value: NotInField(\"" + std::string(kS) + "\")"},
      {"0x1" + std::string(40, '0'), sig.s, pk, "0x1", kNotOnCurve},
      {kR, sig.s, pk, "0x1", kYNotInField},
      {"0xzz", sig.s, pk, "0x1", radix_zz},
      {sig.r, "zz", pk, "0x1", radix_zz},
      {"0x" + std::string(65, '1'), sig.s, pk, "0x1",
       "called `Result::unwrap()` on an `Err` value: FromStrRadixErr { kind: InvalidLength, source: "
       "Some(Hex(FromHexError { inner: InvalidStringLength })) }"},
      // Signature texts are looked at before anything else.
      {"0xzz", sig.s, "0xzz", "zz", radix_zz},
      {sig.r, "0x" + kF64, "0x2", "0X1",
       "called `Result::unwrap()` on an `Err` value: NotInField(\"0x" + kF64 + "\")"},
      // An undecodable packed key.
      {sig.r, sig.s, kR, "0x1", kYNotInField},
      {sig.r, sig.s, "0x1" + std::string(40, '0'), "0x1", kNotOnCurve},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(hard_failure_text([&] { (void)verify_signature(c.r, c.s, c.x, "", c.msg); }), c.text)
        << c.r << ", " << c.s << ", " << c.x << ", " << c.msg;
  }
  // s = s - 1 is accepted (and wrong).
  EXPECT_FALSE(verify_signature(sig.r, kSMinusOne, pk, "", "0x1").value());
}

// verify_signature as the plain sequence of its steps, with the key rebuilt
// from its affine integers.
Result<bool> verify_step_by_step(const std::string& r, const std::string& s, const std::string& x,
                                 const std::string& msg) {
  const keys::JubjubSignature q = read_signature(r, s);
  const auto m = U256::from_str(msg);
  if (!m) return unexpected(Error(m.error().to_string()));
  const auto v = U256::from_str_radix(x, 16);
  if (!v) return unexpected(v.error().to_error());
  const keys::BabyJubjubPoint point = keys::BabyJubjubPoint::from_packed(keys::PackedPublicKey{*v});
  auto key = keys::convert_to_pubkey(point.x, point.y);
  if (!key) return unexpected(std::move(key).error());
  const std::array<uint8_t, 32> bytes = m->to_little_endian();
  return key->verify_for_raw_message(bytes, q);
}

// The result, returned error or hard failure, as one text.
template <class F>
std::string outcome(F&& f) {
  std::string out;
  const std::string failure = hard_failure_text([&] {
    const Result<bool> r = f();
    out = r ? (*r ? "true" : "false") : "error: " + r.error().to_string();
  });
  return out.empty() ? "hard failure: " + failure : out;
}

// R and the key decoded together, and every outcome reported at its own
// step: the same answers, errors and hard failures, in the same order, as
// the steps one by one, over every combination of good and bad parts.
TEST(VerifySignature, AgreesWithItsStepsOneByOne) {
  const std::string key = seed_key('q');
  const Signed sig = sign_ok(key, "0x1234");
  const Signed other = sign_ok(seed_key('r'), "0x1234");
  const std::string r_texts[] = {sig.r, other.r, "0x1" + std::string(40, '0'), kR, "0xzz"};
  const std::string s_texts[] = {sig.s, kSMinusOne, kS, "zz"};
  const std::string keys[] = {private_key_to_pubkey_xy(key).value().first,
                              private_key_to_pubkey_xy(seed_key('r')).value().first,
                              kKeyOne,                       // (0, 1), the neutral point
                              "0x2",                         // (0, 2), off the curve
                              kKeyZero,                      // decoded
                              "0x1" + std::string(40, '0'),  // decoded, not on the curve
                              kR,
                              "0X1",
                              "0xzz"};
  const std::string msgs[] = {"0x1234", "0x1235", "zz"};
  size_t verified = 0;
  for (const std::string& r : r_texts) {
    for (const std::string& s : s_texts) {
      for (const std::string& x : keys) {
        for (const std::string& msg : msgs) {
          const std::string fast = outcome([&] { return verify_signature(r, s, x, "", msg); });
          EXPECT_EQ(fast, outcome([&] { return verify_step_by_step(r, s, x, msg); }))
              << r << ", " << s << ", " << x << ", " << msg;
          verified += fast == "true" ? 1 : 0;
        }
      }
    }
  }
  EXPECT_EQ(verified, 1u);
}

// A key met for the first time is decoded with the help of pub_key_y: the
// same outcomes as the steps one by one whatever that holds (the key's x or
// its negative, another key's x, no number), with R or the message broken
// or not. Each case has a key of its own, so that none comes from the cache.
TEST(VerifySignature, PubKeyYNeverChangesAnOutcome) {
  const std::string other_y = private_key_to_pubkey_xy(seed_key('r')).value().second;
  const auto negated = [](const std::string& y) {
    field::Fr v = keys::u256_to_fr(u256(y)).value();
    v.negate();
    return keys::fr_to_u256(v).to_hex_0x64();
  };
  char fill = 'A';
  size_t verified = 0;
  for (int hint = 0; hint < 5; ++hint) {
    for (int broken = 0; broken < 3; ++broken) {
      const std::string key = seed_key(fill++);
      const auto pair = private_key_to_pubkey_xy(key).value();
      const std::string& x = pair.first;
      const std::string& y = pair.second;
      const Signed sig = sign_ok(key, "0x77");
      const std::string ys[] = {y, negated(y), other_y, "0xzz", ""};
      const std::string r = broken == 1 ? "0x1" + std::string(40, '0') : sig.r;
      const std::string msg = broken == 2 ? "zz" : "0x77";
      const std::string fast = outcome([&] { return verify_signature(r, sig.s, x, ys[hint], msg); });
      EXPECT_EQ(fast, outcome([&] { return verify_step_by_step(r, sig.s, x, msg); })) << hint << " " << broken;
      verified += fast == "true" ? 1 : 0;
    }
  }
  EXPECT_EQ(verified, 5u);
}

TEST(PointFromXy, HardFailures) {
  const std::string not_in_field =
      "called `Result::unwrap()` on an `Err` value: " + std::string(kR) + " is not an element of the field";
  const std::pair<std::pair<std::string, std::string>, std::string> cases[] = {
      {{kR, "0x1"}, not_in_field},
      {{"0x0", kR}, not_in_field},
      {{kR, kR}, not_in_field},
      {{kBaseX, kBaseYPlusOne}, "called `Option::unwrap()` on a `None` value"},
      {{"0x0", "0x2"}, "called `Option::unwrap()` on a `None` value"},
  };
  for (const auto& [xy, text] : cases) {
    // Captured by name: Clang 14 (the sanitizer build) cannot capture a binding.
    EXPECT_EQ(hard_failure_text([&xy = xy] { point_from_xy(u256(xy.first), u256(xy.second)); }),
              text);
  }
  EXPECT_EQ(point_from_xy(U256{}, U256::from_u64(1)), jubjub::Point<jubjub::Unknown>::zero());
}

TEST(TxSignature, SignMsgCarriesTheSignersKeyAndSelfChecks) {
  const jubjub::Fs sk = keys::private_key_from_string(seed_key('c')).value();
  std::array<uint8_t, 32> msg{};
  msg[0] = 7;
  const keys::TxSignature t = keys::TxSignature::sign_msg(sk, msg);
  EXPECT_EQ(t.public_key, keys::public_key_from_private(sk));
  EXPECT_EQ(t.signature, sign(seed_key('c'), "0x7").value());
  // Without the key, the same signature.
  const jubjub::RawSignature raw = keys::sign_raw_msg(sk, msg);
  EXPECT_TRUE(raw.r == t.signature.r);
  EXPECT_EQ(raw.s, t.signature.s);
}

TEST(JubjubSignature, TextsReadBackToTheSignature) {
  const Signed sig = sign_ok(kKeyOne, "0x1234");
  const keys::JubjubSignature j = read_signature(sig.r, sig.s);
  EXPECT_EQ(j, sign(kKeyOne, "0x1234").value());
  EXPECT_EQ(members(to_json(j)), (std::vector<std::pair<std::string, std::string>>{{"r", sig.r}, {"s", sig.s}}));
}

}  // namespace
}  // namespace quillet::sdk
