// Transaction hashes: each document is checked against the hash of the
// values its packing rules give, written out here as independent constants.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "crypto/failure.hpp"
#include "sdk/src/hashing/message_hash.hpp"
#include "sdk/src/lib.hpp"

namespace quillet::sdk {
namespace {

using hashing::hash_text;

U256 hex(const char* text) { return *U256::from_str(text); }

// The hash of `values` absorbed as four words each, bit 255 dropped.
std::string reference_hash(const std::vector<U256>& values) {
  hashing::PoseidonHasher hasher;
  for (U256 v : values) {
    v.words[3] &= 0x7fffffffffffffffULL;
    for (uint64_t w : v.words) hasher.update(w);
  }
  return hash_text(hasher.finalize());
}

U256 reference_hash2(const U256& a, const U256& b) {
  return *U256::from_str(reference_hash({a, b}));
}

std::string transfer(const std::string& asset, const std::string& nonce,
                     const std::string& receiver_key = "0x1234", const std::string& key = "0xabc") {
  return R"({"sender_position_id":"7","receiver_public_key":")" + receiver_key +
         R"(","receiver_position_id":"9","amount":"18446744073709551615","asset_id":")" + asset +
         R"(","nonce":")" + nonce + R"(","public_key":")" + key +
         R"(","expiration_timestamp":"4294967295"})";
}

std::string withdrawal(const std::string& eth, const std::string& key, const std::string& asset,
                       const std::string& position, const std::string& nonce) {
  return R"({"position_id":")" + position + R"(","amount":"1000","eth_address":")" + eth +
         R"(","asset_id":")" + asset + R"(","nonce":")" + nonce + R"(","public_key":")" + key +
         R"(","expiration_timestamp":"1700000000"})";
}

std::string order(bool buying, const std::string& synthetic, const std::string& collateral,
                  const std::string& nonce, const std::string& key = "0x99") {
  return R"({"amount_synthetic":"10","amount_collateral":"20","amount_fee":"4294967295",)"
         R"("asset_id_synthetic":")" + synthetic + R"(","asset_id_collateral":")" + collateral +
         R"(","position_id":"11","is_buying_synthetic":)" + (buying ? "true" : "false") +
         R"(,"nonce":")" + nonce + R"(","public_key":")" + key +
         R"(","expiration_timestamp":"1700000000"})";
}

const char* kBit255Plus5 = "0x8000000000000000000000000000000000000000000000000000000000000005";

TEST(TransferHash, PacksSenderTwiceAndCarriesAWideNonce) {
  const std::string expected = reference_hash(
      {hex("0x5"), U256{},
       hex("0x0000000000000000000000070000000000000009000000000000000800000000"),
       hex("0x0009fffffffffffffffe0000000000000001fffffffe00000000000000000000")});
  EXPECT_EQ(*hash_transfer(transfer("0x5", "4294967296")), expected);
  // Bit 255 of the asset id and both public keys stay out of the hash.
  EXPECT_EQ(*hash_transfer(transfer(kBit255Plus5, "4294967296", "", "0xdef")), expected);
  EXPECT_NE(*hash_transfer(transfer("0x5", "4294967295")), expected);
}

TEST(WithdrawalHash, TagFollowsNumericEqualityOfAddressAndKey) {
  const char* packed6 = "0x000c00000000000000060000000a00000000000007d0caa7e200000000000000";
  const char* packed7 = "0x000e00000000000000060000000a00000000000007d0caa7e200000000000000";
  struct Case {
    const char* eth;
    const char* key;
    bool to_owner;
  };
  for (const Case& c : {Case{"0x01", "1", true}, Case{"", "0x0", true}, Case{"0xab", "0xab", true},
                        Case{"0x02", "1", false}, Case{"0xab", "", false}}) {
    const std::string got = *hash_withdraw(withdrawal(c.eth, c.key, "0x5", "3", "5"));
    const U256 eth = hex(c.eth);
    const std::string expected = c.to_owner
                                     ? reference_hash({hex("0x5"), hex(packed6)})
                                     : reference_hash({reference_hash2(hex("0x5"), eth), hex(packed7)});
    EXPECT_EQ(got, expected) << c.eth << " " << c.key;
  }
  // Tag 6 drops bit 255 of the asset id; a wide nonce carries into the position.
  EXPECT_EQ(*hash_withdraw(withdrawal("1", "1", kBit255Plus5, "3", "5")),
            *hash_withdraw(withdrawal("1", "1", "0x5", "3", "5")));
  EXPECT_EQ(*hash_withdraw(withdrawal("1", "1", "0x5", "3", "4294967296")),
            *hash_withdraw(withdrawal("1", "1", "0x5", "4", "0")));
}

TEST(LimitOrderHash, SellBuyViewAndNonceWrappingInItsWord) {
  const U256 second = hex("0x0006000000000000001600000000000000160000000000000016caa7e2000000");
  // Buying: collateral is sold. Fee 2^32 - 1 plus nonce 2^32 wraps the lowest
  // word to zero and the carry is dropped.
  EXPECT_EQ(*hash_limit_order(order(true, "0x1f", "0x2", "4294967296")),
            reference_hash({hex("0x2"), hex("0x1f"), hex("0x2"),
                            hex("0x000000000000000000000014000000000000000a000000000000000000000000"),
                            second}));
  // Selling: the synthetic asset is sold; the order's key is not hashed.
  const std::string selling = reference_hash(
      {hex("0x1f"), hex("0x2"), hex("0x2"),
       hex("0x00000000000000000000000a000000000000001400000000ffffffff00000005"), second});
  EXPECT_EQ(*hash_limit_order(order(false, "0x1f", "0x2", "5")), selling);
  EXPECT_EQ(*hash_limit_order(order(false, "0x0x1f", "0x2", "5", "")), selling);
  EXPECT_EQ(*hash_limit_order(order(false, "0x1f", "0x8000000000000000000000000000000000000000000000000000000000000002", "5")),
            selling);
}

TEST(LimitOrderHash, NegativeSyntheticAssetFailsHard) {
  EXPECT_TRUE(hash_limit_order(order(true, "0x0", "0x2", "1")).has_value());
  try {
    (void)hash_limit_order(order(true, "0x-1", "0x2", "1"));
    FAIL() << "no hard failure";
  } catch (const HardFailure& f) {
    EXPECT_EQ(f.text(), "Unsigned integer can't be created from negative value");
  }
}

TEST(LiquidationHash, IsTheHashOfTheLiquidatorOrder) {
  const std::string o = order(true, "0x1f", "0x2", "77");
  const std::string expected = *hash_limit_order(o);
  for (const char* fields : {R"("1","2","3","4")", R"("9","8","7","6")"}) {
    const std::string object = R"({"liquidator_order":)" + o +
                               R"(,"liquidated_position_id":"1","actual_collateral":"2",)"
                               R"("actual_synthetic":"3","actual_liquidator_fee":"4"})";
    EXPECT_EQ(*hash_liquidate(object), expected);
    EXPECT_EQ(*hash_liquidate("[" + o + "," + fields + "]"), expected);
  }
}

TEST(OraclePriceHash, PacksPriceAndTimestampBelow2To160) {
  const std::string price =
      R"({"signer_key":"0x1","external_price":"340282366920938463463374607431768211455",)"
      R"("timestamp":"4294967295","signed_asset_id":")";
  const std::string expected =
      reference_hash({hex("0x42"), hex("0xffffffffffffffffffffffffffffffffffffffff")});
  EXPECT_EQ(*hash_signed_oracle_price(price + "0x42\"}"), expected);
  EXPECT_EQ(*hash_signed_oracle_price(
                R"({"signer_key":"0xfff","external_price":"340282366920938463463374607431768211455",)"
                R"("timestamp":"4294967295","signed_asset_id":"0x8000000000000000000000000000000000000000000000000000000000000042"})"),
            expected);
}

TEST(HashEntryPoints, ParseFailureChannels) {
  try {
    (void)hash_transfer("{}");
    FAIL() << "no hard failure";
  } catch (const HardFailure& f) {
    EXPECT_EQ(f.text(),
              "called `Result::unwrap()` on an `Err` value: "
              "Error(\"missing field `sender_position_id`\", line: 1, column: 2)");
  }
  struct Case {
    Result<std::string> (*hash)(std::string_view);
    const char* text;
  };
  const Case cases[] = {
      {hash_withdraw, "missing field `position_id` at line 1 column 2"},
      {hash_limit_order, "missing field `amount_synthetic` at line 1 column 2"},
      {hash_liquidate, "missing field `liquidator_order` at line 1 column 2"},
      {hash_signed_oracle_price, "missing field `signer_key` at line 1 column 2"},
  };
  for (const Case& c : cases) {
    const auto r = c.hash("{}");
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().to_string(), c.text);
  }
}

TEST(HashText, BigEndianWithLeadingZeros) {
  EXPECT_EQ(hash_text({1, 0, 0, 0}),
            "0x0000000000000000000000000000000000000000000000000000000000000001");
  EXPECT_EQ(hash_text({0x0807060504030201ULL, 0, 0, 0x00ff000000000000ULL}),
            "0x00ff000000000000000000000000000000000000000000000807060504030201");
}

}  // namespace
}  // namespace quillet::sdk
