#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "sdk/src/documents/limit_order.hpp"
#include "sdk/src/documents/liquidate.hpp"
#include "sdk/src/documents/oracle_price.hpp"
#include "sdk/src/documents/transfer.hpp"
#include "sdk/src/documents/withdraw.hpp"
#include "sdk/src/json/tokenizer.hpp"

namespace quillet::sdk::documents {
namespace {

// The error text of a parse, or "OK".
template <class Parse>
std::string outcome(Parse parse, const std::string& json) {
  auto r = parse(json);
  return r ? "OK" : r.error().to_string();
}

struct Case {
  std::string json;
  std::string expected;  // "OK" or the full error text with its position
};

template <class Parse>
void run(Parse parse, const std::vector<Case>& cases) {
  for (const auto& c : cases) EXPECT_EQ(outcome(parse, c.json), c.expected) << c.json;
}

const std::string kBase = R"("nonce":"6","public_key":"0x7","expiration_timestamp":"8")";
const std::string kTransferOwn =
    R"("sender_position_id":"1","receiver_public_key":"0x2","receiver_position_id":"3",)"
    R"("amount":"4","asset_id":"0x5")";
const std::string kOrderOwn =
    R"("amount_synthetic":"1","amount_collateral":"2","amount_fee":"3",)"
    R"("asset_id_synthetic":"0x-1f","asset_id_collateral":"0xabc","position_id":"5",)"
    R"("is_buying_synthetic":true)";
const std::string kOrder = "{" + kOrderOwn + "," + kBase + "}";

TEST(Transfer, ReadsEveryField) {
  auto t = parse_transfer("{" + kTransferOwn + "," + kBase + "}");
  ASSERT_TRUE(t.has_value()) << t.error().to_string();
  EXPECT_EQ(t->sender_position_id, 1u);
  EXPECT_EQ(t->receiver_public_key, U256::from_u64(2));
  EXPECT_EQ(t->receiver_position_id, 3u);
  EXPECT_EQ(t->amount, 4u);
  EXPECT_EQ(t->asset_id, U256::from_u64(5));
  EXPECT_EQ(t->base, (OrderBase{6, U256::from_u64(7), 8}));
}

TEST(Transfer, Failures) {
  const std::string own = kTransferOwn;
  const std::string brace = std::to_string(("{" + own + "}").size());
  // Column of the last byte of a one-line document.
  auto last = [](const std::string& json) { return std::to_string(json.size()); };
  const std::string no_key = "{" + own + R"(,"nonce":"1"})";
  const std::string bad_key =
      "{" + own + R"(,"nonce":"1","public_key":"0xz","expiration_timestamp":"1"})";
  const std::string big_ts =
      "{" + own + R"(,"nonce":"1","public_key":"1","expiration_timestamp":"4294967296"})";
  const std::string full = "{" + own + "," + kBase + "}";
  run(parse_transfer,
      {
          {"{}", "missing field `sender_position_id` at line 1 column 2"},
          // OrderBase keys are checked after all own keys, at the brace.
          {"{" + own + "}", "missing field `nonce` at line 1 column " + brace},
          {no_key, "missing field `public_key` at line 1 column " + last(no_key)},
          {R"({"amount":5})", "invalid type: integer `5`, expected a string at line 1 column 11"},
          {R"({"amount":-5})", "invalid type: integer `-5`, expected a string at line 1 column 12"},
          {R"({"amount":5.0})",
           "invalid type: floating point `5.0`, expected a string at line 1 column 13"},
          {R"({"amount":null})", "invalid type: null, expected a string at line 1 column 14"},
          {R"({"amount":[1]})", "invalid type: sequence, expected a string at line 1 column 11"},
          {R"({"amount":{}})", "invalid type: map, expected a string at line 1 column 11"},
          {R"({"amount":"x"})",
           "u64 from string error: invalid digit found in string at line 1 column 13"},
          {R"({"amount":"18446744073709551616"})",
           "u64 from string error: number too large to fit in target type at line 1 column 32"},
          // A bad kept member comes first in the text, but own keys are
          // decoded first.
          {R"({"nonce":"x","amount":"y"})",
           "u64 from string error: invalid digit found in string at line 1 column 25"},
          {R"({"nonce":"x"})", "missing field `sender_position_id` at line 1 column 13"},
          {"{\"nonce\":5," + own + "}",
           "invalid type: integer `5`, expected a string at line 1 column " +
               std::to_string(("{\"nonce\":5," + own + "}").size())},
          {R"({"amount":"1","amount":"2"})", "duplicate field `amount` at line 1 column 22"},
          {"{" + own + "," + kBase + R"(,"nonce":"9"})",
           "duplicate field `nonce` at line 1 column " +
               std::to_string(("{" + own + "," + kBase + R"(,"nonce":"9"})").size())},
          // The first of two "nonce" members is decoded before the repeat is seen.
          {"{" + own + R"(,"nonce":"x","nonce":"1"})",
           "u64 from string error: invalid digit found in string at line 1 column " +
               std::to_string(("{" + own + R"(,"nonce":"x","nonce":"1"})").size())},
          // An odd digit count: the index counts the implied leading '0'.
          {bad_key, "Invalid character 'z' at position 1 at line 1 column " + last(bad_key)},
          {big_ts, "u64 from string error: number too large to fit in target type at line 1 "
                   "column " + last(big_ts)},
          {R"({"asset_id":"0x)" + std::string(65, '1') + "\"}",
           "u256 from string error: Invalid string length at line 1 column 81"},
          {R"({"receiver_public_key":"0X10"})",
           "Invalid character 'X' at position 1 at line 1 column 29"},
          {"[]", "invalid type: sequence, expected struct Transfer at line 1 column 1"},
          {"\"t\"", "invalid type: string \"t\", expected struct Transfer at line 1 column 3"},
          {full + " x", "trailing characters at line 1 column " + std::to_string(full.size() + 2)},
          {full, "OK"},
      });
}

TEST(Transfer, KeysAreMatchedAfterUnescapingAndCaseSensitively) {
  run(parse_transfer,
      {
          {R"({"am\u006funt":"x"})",
           "u64 from string error: invalid digit found in string at line 1 column 18"},
          {R"({"Amount":"x"})", "missing field `sender_position_id` at line 1 column 14"},
      });
}

TEST(Transfer, EmptyKeyTextIsZeroAndExtraKeysAreIgnored) {
  const std::string json = R"({"receiver_public_key":"","sender_position_id":"1",)"
                           R"("x":{"y":[1,2.5,null,{"z":true}]},"receiver_position_id":"3",)"
                           R"("amount":"4","asset_id":"0x","public_key":"","nonce":"+0",)"
                           R"("expiration_timestamp":"0","nonce_":7})";
  auto t = parse_transfer(json);
  ASSERT_TRUE(t.has_value()) << t.error().to_string();
  EXPECT_EQ(t->receiver_public_key, U256{});
  EXPECT_EQ(t->asset_id, U256{});
  EXPECT_EQ(t->base, OrderBase{});
}

TEST(Transfer, PositionsInMultiLineDocuments) {
  const std::string pretty =
      "{\n"
      "  \"sender_position_id\": \"1\",\n"
      "  \"receiver_public_key\": \"0x2\",\n"
      "  \"receiver_position_id\": \"3\",\n"
      "  \"amount\": \"4\",\n"
      "  \"asset_id\": \"0x5\",\n"
      "  \"nonce\": 6,\n"
      "  \"public_key\": \"0x7\",\n"
      "  \"expiration_timestamp\": \"8\"\n"
      "}";
  run(parse_transfer,
      {
          {pretty, "invalid type: integer `6`, expected a string at line 10 column 1"},
          {"{\n  \"amount\": \"1\",\n  \"amount\": \"2\"\n}",
           "duplicate field `amount` at line 3 column 10"},
          {"{\n  \"amount\": \"-1\"\n}",
           "u64 from string error: invalid digit found in string at line 2 column 16"},
          {"\n\n   {}  \n", "missing field `sender_position_id` at line 3 column 5"},
          {"{}\n\n  x", "missing field `sender_position_id` at line 1 column 2"},
          {"\n", "EOF while parsing a value at line 2 column 0"},
          {"{\n\"amount\"\n", "EOF while parsing an object at line 3 column 0"},
          {"{\r\n\"amount\": @}", "expected value at line 2 column 11"},
          // Columns count bytes: the e-acute is two.
          {"{\"\xc3\xa9\": 1, \"amount\": 2}",
           "invalid type: integer `2`, expected a string at line 1 column 21"},
      });
}

TEST(OtherDocuments, EmptyObjectNamesTheFirstKey) {
  EXPECT_EQ(outcome(parse_withdraw_request, "{}"),
            "missing field `position_id` at line 1 column 2");
  EXPECT_EQ(outcome(parse_limit_order_request, "{}"),
            "missing field `amount_synthetic` at line 1 column 2");
  EXPECT_EQ(outcome(parse_liquidate, "{}"), "missing field `liquidator_order` at line 1 column 2");
  EXPECT_EQ(outcome(parse_signed_oracle_price, "{}"),
            "missing field `signer_key` at line 1 column 2");
}

TEST(WithdrawRequest, ReadsEveryField) {
  auto w = parse_withdraw_request(
      R"({"position_id":"1","amount":"2","eth_address":"","asset_id":"0xff",)" + kBase + "}");
  ASSERT_TRUE(w.has_value()) << w.error().to_string();
  EXPECT_EQ(w->position_id, 1u);
  EXPECT_EQ(w->amount, 2u);
  EXPECT_EQ(w->eth_address, U256{});
  EXPECT_EQ(w->asset_id, U256::from_u64(255));
  EXPECT_EQ(w->base.nonce, 6u);
  EXPECT_EQ(outcome(parse_withdraw_request, "[1]"),
            "invalid type: sequence, expected struct WithdrawRequest at line 1 column 1");
}

TEST(LimitOrderRequest, ReadsEveryFieldAndChecksTheBoolean) {
  auto o = parse_limit_order_request(kOrder);
  ASSERT_TRUE(o.has_value()) << o.error().to_string();
  EXPECT_EQ(o->amount_synthetic, 1u);
  EXPECT_EQ(o->amount_collateral, 2u);
  EXPECT_EQ(o->amount_fee, 3u);
  EXPECT_TRUE(o->asset_id_synthetic == -31);
  EXPECT_EQ(o->asset_id_collateral, U256::from_u64(0xabc));
  EXPECT_EQ(o->position_id, 5u);
  EXPECT_TRUE(o->is_buying_synthetic);
  run(parse_limit_order_request,
      {
          {R"({"is_buying_synthetic":"true"})",
           "invalid type: string \"true\", expected a boolean at line 1 column 29"},
          {R"({"is_buying_synthetic":1})",
           "invalid type: integer `1`, expected a boolean at line 1 column 24"},
          {R"({"is_buying_synthetic":null})",
           "invalid type: null, expected a boolean at line 1 column 27"},
          {R"({"asset_id_synthetic":"-0x1f"})",
           "decode hex string error: invalid digit found in string at line 1 column 29"},
          {R"({"asset_id_synthetic":"0x"})",
           "decode hex string error: cannot parse integer from empty string at line 1 column 26"},
          {"5", "invalid type: integer `5`, expected struct LimitOrderRequest at line 1 column 1"},
      });
}

TEST(Liquidate, ObjectAndArrayForms) {
  const std::string tail =
      R"("liquidated_position_id":"1","actual_collateral":"2","actual_synthetic":"3",)"
      R"("actual_liquidator_fee":"4")";
  auto l = parse_liquidate(R"({"nonce":"x","liquidator_order":)" + kOrder + "," + tail + "}");
  ASSERT_TRUE(l.has_value()) << l.error().to_string();
  EXPECT_EQ(l->liquidator_order, *parse_limit_order_request(kOrder));
  EXPECT_EQ(l->actual_liquidator_fee, 4u);

  auto a = parse_liquidate("[" + kOrder + R"(,"1","2","3","4"])");
  ASSERT_TRUE(a.has_value()) << a.error().to_string();
  EXPECT_EQ(*a, *l);

  const std::string order_without_nonce =
      "{" + kOrderOwn + R"(,"public_key":"1","expiration_timestamp":"1"})";
  const size_t inner_brace = std::string(R"({"liquidator_order":)").size() +
                             order_without_nonce.size();
  const std::string arr = "[" + kOrder + R"(,"1","2","3")";
  run(parse_liquidate,
      {
          // The nonce at the top level does not stand in for the order's.
          {R"({"nonce":"1","liquidator_order":)" + order_without_nonce + "," + tail + "}",
           "missing field `nonce` at line 1 column " + std::to_string(inner_brace + 12)},
          {R"({"liquidator_order":)" + order_without_nonce + "}",
           "missing field `nonce` at line 1 column " + std::to_string(inner_brace)},
          {R"({"liquidator_order":[]})",
           "invalid type: sequence, expected struct LimitOrderRequest at line 1 column 21"},
          {R"({"liquidator_order":{},"liquidator_order":{}})",
           "missing field `amount_synthetic` at line 1 column 22"},
          {R"({"actual_collateral":"1","actual_collateral":"1"})",
           "duplicate field `actual_collateral` at line 1 column 44"},
          {arr + "]",
           "invalid length 4, expected struct Liquidate with 5 elements at line 1 column " +
               std::to_string(arr.size() + 1)},
          {"[]", "invalid length 0, expected struct Liquidate with 5 elements at line 1 column 2"},
          {arr + R"(,"4","5"])", "trailing characters at line 1 column " +
                                     std::to_string(arr.size() + 6)},
          {arr + R"(,"4" , [1])", "trailing characters at line 1 column " +
                                      std::to_string(arr.size() + 8)},
          {arr + R"(,"4",])", "trailing comma at line 1 column " + std::to_string(arr.size() + 6)},
          {arr + R"(,"4" x)", "trailing characters at line 1 column " +
                                  std::to_string(arr.size() + 6)},
          {arr + R"(,"4",)", "trailing characters at line 1 column " +
                                 std::to_string(arr.size() + 5)},
          {arr + R"(,"4")", "EOF while parsing a list at line 1 column " +
                                std::to_string(arr.size() + 4)},
          {arr + R"(,4])", "invalid type: integer `4`, expected a string at line 1 column " +
                               std::to_string(arr.size() + 2)},
          {"\"x\"", "invalid type: string \"x\", expected struct Liquidate at line 1 column 3"},
          {"true", "invalid type: boolean `true`, expected struct Liquidate at line 1 column 4"},
      });
}

TEST(SignedOraclePrice, ObjectAndArrayForms) {
  auto o = parse_signed_oracle_price(
      R"({"signer_key":"0x1","external_price":"340282366920938463463374607431768211455",)"
      R"("timestamp":"4294967295","signed_asset_id":"0x2","extra":[{}]})");
  ASSERT_TRUE(o.has_value()) << o.error().to_string();
  EXPECT_EQ(o->signer_key, U256::from_u64(1));
  EXPECT_TRUE(o->external_price == ~static_cast<unsigned __int128>(0));
  EXPECT_EQ(o->timestamp, 4294967295u);
  EXPECT_EQ(o->signed_asset_id, U256::from_u64(2));

  auto a = parse_signed_oracle_price(R"(["0x1","340282366920938463463374607431768211455",)"
                                     R"("4294967295","0x2"])");
  ASSERT_TRUE(a.has_value()) << a.error().to_string();
  EXPECT_EQ(*a, *o);

  run(parse_signed_oracle_price,
      {
          {R"(["1","2","3"])",
           "invalid length 3, expected struct SignedOraclePrice with 4 elements at line 1 "
           "column 13"},
          {"[\n\"1\",\n\"2\",\n\"3\"\n]",
           "invalid length 3, expected struct SignedOraclePrice with 4 elements at line 5 "
           "column 1"},
          {R"(["1","2","4294967296","4"])",
           "u64 from string error: number too large to fit in target type at line 1 column 21"},
          {R"(["1","","4","4"])",
           "decode u128 string error: cannot parse integer from empty string at line 1 column 7"},
          {R"(["0xgg","2","3","4"])", "Invalid character 'g' at position 0 at line 1 column 7"},
          {R"({"signer_key":1})",
           "invalid type: integer `1`, expected a string at line 1 column 15"},
          {"1.5",
           "invalid type: floating point `1.5`, expected struct SignedOraclePrice at line 1 "
           "column 3"},
          {"null", "invalid type: null, expected struct SignedOraclePrice at line 1 column 4"},
      });
}

// Syntax errors: wording and position of a streaming deserialiser.
TEST(JsonSyntax, MessagesAndPositions) {
  run(parse_signed_oracle_price,
      {
          {"", "EOF while parsing a value at line 1 column 0"},
          {"  ", "EOF while parsing a value at line 1 column 2"},
          {"{", "EOF while parsing an object at line 1 column 1"},
          {"{\"a\"", "EOF while parsing an object at line 1 column 4"},
          {"{\"a\":", "EOF while parsing a value at line 1 column 5"},
          {"{\"a\":1", "EOF while parsing an object at line 1 column 6"},
          {"{\"a\":1,", "EOF while parsing a value at line 1 column 7"},
          {"{\"a\":[", "EOF while parsing a list at line 1 column 6"},
          {"{\"a\":[1", "EOF while parsing a list at line 1 column 7"},
          {"{\"a\":[1,", "EOF while parsing a value at line 1 column 8"},
          {"{\"a\":\"ab", "EOF while parsing a string at line 1 column 8"},
          {"{\"a\":\"ab\\", "EOF while parsing a string at line 1 column 9"},
          {"{\"a\":\"\\u12", "EOF while parsing a string at line 1 column 10"},
          {"{\"a\":tr", "EOF while parsing a value at line 1 column 7"},
          {"{\"a\":-", "EOF while parsing a value at line 1 column 6"},
          {"{\"a\":1.", "EOF while parsing a value at line 1 column 7"},
          {"{\"a\" 1}", "expected `:` at line 1 column 6"},
          {"{\"a\":1 \"b\":2}", "expected `,` or `}` at line 1 column 8"},
          {"{\"a\":[1 2]}", "expected `,` or `]` at line 1 column 9"},
          {"{\"a\":1,}", "trailing comma at line 1 column 8"},
          {"{\"a\":[1,]}", "trailing comma at line 1 column 9"},
          {"{1:2}", "key must be a string at line 1 column 2"},
          {"{\"a\":x}", "expected value at line 1 column 6"},
          {"{\"a\":}", "expected value at line 1 column 6"},
          {"{\"a\":[,1]}", "expected value at line 1 column 7"},
          {"{\"a\":tru}", "expected ident at line 1 column 9"},
          {"{\"a\":nul1}", "expected ident at line 1 column 9"},
          {"{\"a\":-x}", "invalid number at line 1 column 7"},
          {"{\"a\":01}", "invalid number at line 1 column 7"},
          {"{\"a\":-01}", "invalid number at line 1 column 8"},
          {"{\"a\":1.e}", "invalid number at line 1 column 8"},
          {"{\"a\":1e+}", "invalid number at line 1 column 9"},
          {"{\"a\":1e400}", "number out of range at line 1 column 10"},
          {"{\"a\":1e-400}", "missing field `signer_key` at line 1 column 12"},
          {"{\"a\":\"\\q\"}", "invalid escape at line 1 column 8"},
          {"{\"a\":\"\\u12g4\"}", "invalid escape at line 1 column 11"},
          {"{\"a\":\"\\ud800\"}", "unexpected end of hex escape at line 1 column 13"},
          {"{\"a\":\"\\ud800\\n\"}", "unexpected end of hex escape at line 1 column 14"},
          {"{\"a\":\"\\ud800\\u0041\"}",
           "lone leading surrogate in hex escape at line 1 column 18"},
          {"{\"a\":\"\\udc00\"}", "lone leading surrogate in hex escape at line 1 column 13"},
          {"{\"a\":\"\\ud83d\\ude00\"}", "missing field `signer_key` at line 1 column 20"},
          {"{\"a\":\"\t\"}", "control character (\\u0000-\\u001F) found while parsing a string at "
                             "line 1 column 7"},
          {std::string("{\"a\":\"\0\"}", 9),
           "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 7"},
          {"{\"a\":\"\xff\"}", "invalid unicode code point at line 1 column 7"},
          {"{\"a\":\"\xed\xa0\x80\"}", "invalid unicode code point at line 1 column 7"},
          // Skipped values are checked as thoroughly as read ones.
          {"{\"a\":[[{\"b\":[null,01]}]]}", "invalid number at line 1 column 20"},
          {"{\"a\":{\"b\":{\"c\":\"\\q\"}}}", "invalid escape at line 1 column 18"},
          {"{\"a\":[true,{\"b\":nil}]}", "expected ident at line 1 column 18"},
          {"{} x", "missing field `signer_key` at line 1 column 2"},
          {"[\"1\",\"2\",\"3\",\"4\"] x", "trailing characters at line 1 column 19"},
          {"[\"1\",\"2\",\"3\",\"4\"]\n\n  ]", "trailing characters at line 3 column 3"},
          {std::string("[\"1\",\"2\",\"3\",\"4\"]\0", 18),
           "trailing characters at line 1 column 18"},
          {std::string("\0", 1), "expected value at line 1 column 1"},
          {"x", "expected value at line 1 column 1"},
          {"]", "expected value at line 1 column 1"},
      });
}

// The document's own object is level 1: 128 levels pass, 129 are refused at
// the bracket that opens level 129.
TEST(JsonSyntax, NestingLimit) {
  auto nested = [](size_t levels) {
    // {"x": [[...]]} with `levels` levels counting the outer object.
    return "{\"x\":" + std::string(levels - 1, '[') + std::string(levels - 1, ']') + "}";
  };
  EXPECT_EQ(outcome(parse_signed_oracle_price, nested(128)),
            "missing field `signer_key` at line 1 column " + std::to_string(nested(128).size()));
  EXPECT_EQ(outcome(parse_signed_oracle_price, nested(129)),
            "recursion limit exceeded at line 1 column 133");
  EXPECT_EQ(outcome(parse_transfer, nested(129)), "recursion limit exceeded at line 1 column 133");
  // Deep input far beyond the limit stops at the limit.
  EXPECT_EQ(outcome(parse_liquidate, "{\"x\":" + std::string(100000, '[')),
            "recursion limit exceeded at line 1 column 133");
  // A type error noticed before the limit wins.
  EXPECT_EQ(outcome(parse_transfer, "{\"amount\":" + std::string(200, '[')),
            "invalid type: sequence, expected a string at line 1 column 11");
}

TEST(JsonSyntax, OversizedInputIsRefusedUnread) {
  const std::string huge(json::kMaxInputSize + 1, ' ');
  EXPECT_EQ(outcome(parse_transfer, huge), "document exceeds 1048576 bytes at line 1 column 0");
}

// Every prefix and many single-byte corruptions of valid documents are
// refused cleanly by all five parsers (run under the sanitizers).
TEST(JsonSyntax, TruncatedAndCorruptedInputsFailCleanly) {
  const std::vector<std::function<bool(const std::string&)>> parsers = {
      [](const std::string& s) { return parse_transfer(s).has_value(); },
      [](const std::string& s) { return parse_withdraw_request(s).has_value(); },
      [](const std::string& s) { return parse_limit_order_request(s).has_value(); },
      [](const std::string& s) { return parse_liquidate(s).has_value(); },
      [](const std::string& s) { return parse_signed_oracle_price(s).has_value(); },
  };
  const std::vector<std::string> docs = {
      "{" + kTransferOwn + ",\n" + kBase + ",\"x\":[1.5e3,-0,\"\\u00e9\\ud83d\\ude00\"]}",
      "[" + kOrder + ",\"1\",\"2\",\"3\",\"4\"]",
      R"(["0x1","2","3","0x4"])",
  };
  uint32_t seed = 12345;
  auto rnd = [&seed] {
    seed = seed * 1103515245u + 12345u;
    return seed >> 8;
  };
  for (const auto& doc : docs) {
    for (size_t n = 0; n < doc.size(); ++n) {
      for (const auto& p : parsers) EXPECT_FALSE(p(doc.substr(0, n))) << doc.substr(0, n);
    }
    for (int i = 0; i < 2000; ++i) {
      std::string s = doc;
      s[rnd() % s.size()] = static_cast<char>(rnd() & 0xff);
      if (i % 3 == 0) s.insert(rnd() % s.size(), 1, static_cast<char>(rnd() & 0xff));
      for (const auto& p : parsers) (void)p(s);
    }
  }
}

}  // namespace
}  // namespace quillet::sdk::documents
