// The five transaction signing operations: what is signed and which failure
// goes through which channel.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "crypto/failure.hpp"
#include "sdk/src/lib.hpp"

namespace quillet::sdk {
namespace {

const std::string kKey = "0x0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
const std::string kTooLarge = "0x" + std::string(64, 'f');

const std::string kOrder =
    R"({"amount_synthetic":"10","amount_collateral":"20","amount_fee":"3","asset_id_synthetic":"0x1f",)"
    R"("asset_id_collateral":"0x2","position_id":"11","is_buying_synthetic":true,"nonce":"5",)"
    R"("public_key":"0x99","expiration_timestamp":"1700000000"})";
const std::string kNegativeOrder =
    R"({"amount_synthetic":"10","amount_collateral":"20","amount_fee":"3","asset_id_synthetic":"0x-1",)"
    R"("asset_id_collateral":"0x2","position_id":"11","is_buying_synthetic":true,"nonce":"5",)"
    R"("public_key":"0x99","expiration_timestamp":"1700000000"})";
const std::string kTransfer =
    R"({"sender_position_id":"1","receiver_public_key":"0x2","receiver_position_id":"3","amount":"4",)"
    R"("asset_id":"0x5","nonce":"6","public_key":"0x7","expiration_timestamp":"8"})";
const std::string kWithdrawal =
    R"({"position_id":"1","amount":"2","eth_address":"0x3","asset_id":"0x4","nonce":"5",)"
    R"("public_key":"0x6","expiration_timestamp":"7"})";
const std::string kPrice =
    R"({"signer_key":"0x1","external_price":"2","timestamp":"3","signed_asset_id":"0x4"})";
const std::string kLiquidation = R"({"liquidator_order":)" + kOrder +
                                 R"(,"liquidated_position_id":"1","actual_collateral":"2",)"
                                 R"("actual_synthetic":"3","actual_liquidator_fee":"4"})";
const std::string kNegativeLiquidation = R"({"liquidator_order":)" + kNegativeOrder +
                                         R"(,"liquidated_position_id":"1","actual_collateral":"2",)"
                                         R"("actual_synthetic":"3","actual_liquidator_fee":"4"})";

using SignFn = Result<keys::JubjubSignature> (*)(std::string_view, std::string_view);
using HashFn = Result<std::string> (*)(std::string_view);

// "ok", "error: <text>" or "hard: <text>".
std::string outcome(SignFn sign_fn, const std::string& json, const std::string& key) {
  try {
    const auto r = sign_fn(json, key);
    return r ? "ok" : "error: " + r.error().to_string();
  } catch (const HardFailure& f) {
    return "hard: " + f.text();
  }
}

TEST(TransactionSigning, SignsTheHashValue) {
  struct Case {
    SignFn sign_fn;
    HashFn hash_fn;
    std::string json;
  };
  const Case cases[] = {{sign_transfer, hash_transfer, kTransfer},
                        {sign_withdraw, hash_withdraw, kWithdrawal},
                        {sign_limit_order, hash_limit_order, kOrder},
                        {sign_liquidate, hash_liquidate, kLiquidation},
                        {sign_signed_oracle_price, hash_signed_oracle_price, kPrice}};
  for (const Case& c : cases) {
    const std::string hash = *c.hash_fn(c.json);
    const std::string signature = to_json(*c.sign_fn(c.json, kKey));
    EXPECT_EQ(signature, to_json(*sign(kKey, hash))) << c.json;
    EXPECT_EQ(signature, to_json(*c.sign_fn(c.json, kKey))) << "deterministic";
  }
}

TEST(TransactionSigning, FailureChannels) {
  const std::string unwrap = "called `Result::unwrap()` on an `Err` value: ";
  const std::string field_error =
      kTooLarge + " is not an element of the field";
  struct Case {
    SignFn sign_fn;
    std::string json;
    std::string key;
    std::string expected;
  };
  const Case cases[] = {
      {sign_transfer, "{}", kKey,
       "hard: " + unwrap + "Error(\"missing field `sender_position_id`\", line: 1, column: 2)"},
      {sign_transfer, kTransfer, "zz", "hard: " + unwrap + "Invalid character 'z' at position 0"},
      {sign_withdraw, "{}", "zz", "error: missing field `position_id` at line 1 column 2"},
      {sign_withdraw, kWithdrawal, "zz", "hard: " + unwrap + "Invalid character 'z' at position 0"},
      {sign_withdraw, kWithdrawal, kTooLarge,
       "hard: " + unwrap + "Cannot convert into prime field value: " + field_error +
           "\n\nCaused by:\n    " + field_error},
      {sign_limit_order, kOrder, "zz", "error: Invalid character 'z' at position 0"},
      {sign_limit_order, kNegativeOrder, "zz",
       "hard: Unsigned integer can't be created from negative value"},
      {sign_limit_order, "{", kKey, "error: EOF while parsing an object at line 1 column 1"},
      {sign_liquidate, kLiquidation, "0x12", "error: Incorrect input size. Actual: 1, expected: 32"},
      {sign_liquidate, kNegativeLiquidation, kKey,
       "hard: Unsigned integer can't be created from negative value"},
      {sign_signed_oracle_price, kPrice, "zz", "error: Invalid character 'z' at position 0"},
      {sign_signed_oracle_price, "{}", kKey,
       "error: missing field `signer_key` at line 1 column 2"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(outcome(c.sign_fn, c.json, c.key), c.expected) << c.json << " / " << c.key;
  }
}

}  // namespace
}  // namespace quillet::sdk
