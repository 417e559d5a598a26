// Keys held as scalars (keys/private_key.hpp) and the entry points that sign
// with them: the same keys as the texts' parsers, the same signatures and
// errors as the text entry points, the faults by category. Keys from bytes
// and fresh ones are tested through the module (python/tests/test_native_key.py).
#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <string>

#include "crypto/failure.hpp"
#include "sdk/src/keys/key_text.hpp"
#include "sdk/src/keys/private_key.hpp"
#include "sdk/src/keys/public_key.hpp"
#include "sdk/src/keys/seed.hpp"
#include "sdk/src/lib.hpp"
#include "sdk/tests/test_support.hpp"

namespace quillet::sdk::keys {
namespace {

using jubjub::Fs;
using testing::hard_failure_text;
using testing::kKeyOne;
using testing::kNotOnCurve;
using testing::kSDigits;
using testing::kYNotInField;
using testing::kZeros64;

const std::string kSMinusOneDigits = kSDigits.substr(0, 63) + "0";

std::array<uint8_t, 32> bytes_of(const std::string& digits) {
  std::array<uint8_t, 32> out{};
  for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<uint8_t>(std::stoi(digits.substr(2 * i, 2), nullptr, 16));
  return out;
}

std::string text_of(const Fs& sk) {
  std::array<char, kKeyTextSize> text{};
  write_key_text(sk, text);
  return std::string(text.data(), text.size());
}

std::span<const uint8_t> span_of(const std::string& s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

TEST(SigningKeyFromText, FaultsAreTheTextErrorsCategories) {
  struct Case {
    std::string text;
    std::optional<KeyFault> fault;  // nothing: accepted
  };
  const Case cases[] = {
      {"", KeyFault::length},
      {"0x", KeyFault::length},
      {"0x" + std::string(63, '1'), KeyFault::length},  // "Odd number of digits"
      {"0x" + std::string(62, '1'), KeyFault::length},
      {"0x" + std::string(66, '1'), KeyFault::length},
      {"0X" + std::string(64, '1'), KeyFault::character},
      {"0xg" + std::string(63, '1'), KeyFault::character},
      {" 0x" + std::string(63, '1'), KeyFault::character},
      {"0x" + std::string(64, 'f'), KeyFault::range},
      {"0x" + kSDigits, KeyFault::range},
      {"0x" + kZeros64, KeyFault::zero},
      {"0x0x" + kZeros64, KeyFault::zero},
      {"0x" + kSMinusOneDigits, std::nullopt},
      {kKeyOne, std::nullopt},
      {"0x0x0123456789ABCDEF0123456789abcdef0123456789abcdef0123456789abcdef", std::nullopt},
  };
  for (const Case& c : cases) {
    Fs sk = Fs::one();
    const std::optional<KeyFault> fault = signing_key_from_text(c.text, sk);
    EXPECT_EQ(fault, c.fault) << c.text;
    const auto parsed = private_key_from_string(c.text);
    // The module's parser refuses exactly the same texts, 0 aside.
    EXPECT_EQ(parsed.has_value(), !c.fault || *c.fault == KeyFault::zero) << c.text;
    if (!fault) {
      EXPECT_EQ(sk, *parsed) << c.text;
    } else {
      EXPECT_EQ(sk, Fs::one()) << "a refused key leaves `out` alone: " << c.text;
    }
  }
}

// Each draw's top four bits are cleared; the rest is kept when 0 < v < s,
// and the candidate is wiped either way.
TEST(SigningKeyFromCandidate, KeepsExactlyTheValuesBelowTheOrder) {
  auto masked_s_minus_one = bytes_of(kSMinusOneDigits);
  masked_s_minus_one[0] |= 0xf0;
  struct Case {
    std::array<uint8_t, 32> candidate;
    std::optional<std::string> key;  // the text kept, if any
  };
  std::array<uint8_t, 32> all_ones{};
  all_ones.fill(0xff);
  const Case cases[] = {
      {{}, std::nullopt},
      {all_ones, std::nullopt},  // 0x0fff…: above s
      {bytes_of(kSDigits), std::nullopt},
      {bytes_of(kSMinusOneDigits), "0x" + kSMinusOneDigits},
      {masked_s_minus_one, "0x" + kSMinusOneDigits},
  };
  for (const Case& c : cases) {
    std::array<uint8_t, 32> candidate = c.candidate;
    Fs sk{};
    const bool kept = signing_key_from_candidate(candidate, sk);
    EXPECT_EQ(kept, c.key.has_value());
    if (kept) {
      EXPECT_EQ(text_of(sk), *c.key);
    }
    EXPECT_EQ(candidate, (std::array<uint8_t, 32>{})) << "wiped";
  }
}

TEST(SigningKeyFromSeed, IsTheKeyOfTheSeedsText) {
  for (const std::string& seed : {std::string(32, 'a'), std::string("a seed phrase of more than 32 bytes, typed")}) {
    Fs sk{};
    ASSERT_FALSE(signing_key_from_seed(span_of(seed), sk).has_value());
    EXPECT_EQ(text_of(sk), *private_key_from_seed(span_of(seed)));
  }
  Fs sk{};
  EXPECT_EQ(signing_key_from_seed(span_of(std::string(31, 'a')), sk), KeyFault::seed_length);
}

// "ok: <value>", "error: <text>" or "hard: <text>" of a call.
template <class Call>
std::string outcome(const Call& call) {
  try {
    const auto r = call();
    if (!r) return "error: " + r.error().to_string();
    return "ok: " + to_json(*r);
  } catch (const HardFailure& f) {
    return "hard: " + f.text();
  }
}

// The entry points under a parsed key give what those under its text give.
TEST(ParsedKeyEntryPoints, EqualTheTextEntryPoints) {
  const std::string order =
      R"({"amount_synthetic":"10","amount_collateral":"20","amount_fee":"3","asset_id_synthetic":"0x1f",)"
      R"("asset_id_collateral":"0x2","position_id":"11","is_buying_synthetic":true,"nonce":"5",)"
      R"("public_key":"0x99","expiration_timestamp":"1700000000"})";
  const std::string transfer =
      R"({"sender_position_id":"1","receiver_public_key":"0x2","receiver_position_id":"3","amount":"4",)"
      R"("asset_id":"0x5","nonce":"6","public_key":"0x7","expiration_timestamp":"8"})";
  struct Document {
    DocumentKind kind;
    Result<JubjubSignature> (*sign)(std::string_view, std::string_view);
    std::string json;
  };
  const Document documents[] = {
      {DocumentKind::limit_order, sdk::sign_limit_order, order},
      {DocumentKind::transfer, sdk::sign_transfer, transfer},
      {DocumentKind::transfer, sdk::sign_transfer, "{}"},                      // fails hard
      {DocumentKind::withdraw, sdk::sign_withdraw, "{}"},                      // returned
      {DocumentKind::limit_order, sdk::sign_limit_order, R"({"nonce":"x"})"},  // returned
  };
  for (const std::string& text : {testing::seed_key('k'), kKeyOne, "0x0x" + kSMinusOneDigits}) {
    Fs sk{};
    ASSERT_FALSE(signing_key_from_text(text, sk).has_value());
    for (const Document& d : documents) {
      EXPECT_EQ(outcome([&] { return sdk::sign_document(d.kind, d.json, sk); }),
                outcome([&] { return d.sign(d.json, text); }))
          << d.json;
    }
    for (const std::string& msg : {std::string("0x1"), "0x" + std::string(64, 'f'), std::string("0X1"),
                                   std::string("zz"), std::string()}) {
      EXPECT_EQ(outcome([&] { return sdk::sign(sk, msg); }), outcome([&] { return sdk::sign(text, msg); })) << msg;
      EXPECT_EQ(outcome([&] { return sdk::l1_sign(msg, sk); }), outcome([&] { return sdk::l1_sign(msg, text); }))
          << msg;
    }
    EXPECT_EQ(sdk::private_key_to_pubkey_xy(sk), *sdk::private_key_to_pubkey_xy(text));
    // signature_chars gives to_json's two values.
    const auto signature = sdk::sign(sk, "0x5eed");
    ASSERT_TRUE(signature.has_value());
    const auto chars = signature_chars(*signature);
    EXPECT_EQ(to_json(*signature), R"({"r":")" + std::string(chars[0].data(), 66) + R"(","s":")" +
                                       std::string(chars[1].data(), 66) + R"("})");
  }
}

// The category of each failure of pub_key_to_xy, and no fault where it succeeds.
TEST(PublicKeyFault, NamesHowPubKeyToXyFails) {
  struct Case {
    std::string text;
    std::optional<PublicKeyFault> fault;
    std::string failure;  // pub_key_to_xy's hard failure, for the two decode faults
  };
  const std::string not_on_curve = "0x" + std::string(13, '0') + "1" + std::string(49, '0') + "2";
  const Case cases[] = {
      {"0xzz", PublicKeyFault::malformed, ""},
      {"0x" + std::string(65, '1'), PublicKeyFault::malformed, ""},
      {"0x" + std::string(64, 'f'), PublicKeyFault::y_not_in_field, kYNotInField},
      {not_on_curve, PublicKeyFault::not_on_curve, kNotOnCurve},
      {"0x1234", std::nullopt, ""},  // the small-value rule: no decoding
      {sdk::private_key_to_pubkey_xy(testing::seed_key('p'))->first, std::nullopt, ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(public_key_fault_vartime(c.text), c.fault) << c.text;
    if (!c.fault) {
      EXPECT_TRUE(pub_key_to_xy(c.text).has_value()) << c.text;
    } else if (*c.fault == PublicKeyFault::malformed) {
      EXPECT_EQ(hard_failure_text([&] { (void)pub_key_to_xy(c.text); }), testing::kNoFailure);
      EXPECT_FALSE(pub_key_to_xy(c.text).has_value()) << c.text;
    } else {
      EXPECT_EQ(hard_failure_text([&] { (void)pub_key_to_xy(c.text); }), c.failure) << c.text;
    }
  }
}

}  // namespace
}  // namespace quillet::sdk::keys
