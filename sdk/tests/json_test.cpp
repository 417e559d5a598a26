#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "sdk/src/documents/transfer.hpp"
#include "sdk/src/json/json_error.hpp"
#include "sdk/src/json/tokenizer.hpp"

namespace quillet::sdk::json {
namespace {

TEST(JsonError, DisplayAndDebugForms) {
  const JsonError e{"invalid type: string \"a\\b\", expected a string", 3, 14};
  EXPECT_EQ(e.to_string(), "invalid type: string \"a\\b\", expected a string at line 3 column 14");
  EXPECT_EQ(e.debug(),
            "Error(\"invalid type: string \\\"a\\\\b\\\", expected a string\", line: 3, "
            "column: 14)");
  // The form a hard failure on an unparsable transfer prints.
  auto r = documents::parse_transfer("{}");
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().debug(), "Error(\"missing field `sender_position_id`\", line: 1, column: 2)");
}

TEST(JsonError, DebugStringEscapes) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"plain", "\"plain\""},
      {"q\"b\\", "\"q\\\"b\\\\\""},
      {"\n\r\t", "\"\\n\\r\\t\""},
      {std::string("\0\x01\x1f\x7f", 4), "\"\\0\\u{1}\\u{1f}\\u{7f}\""},
      {"\xc2\x85", "\"\\u{85}\""},           // a C1 control character
      {"'\xc3\xa9", "\"'\xc3\xa9\""},        // printable non-ASCII stays
  };
  for (const auto& c : cases) EXPECT_EQ(debug_str(c.in), c.out) << c.in;
}

TEST(JsonTypeErrors, ValueDescriptions) {
  const struct {
    std::string value, description;
  } cases[] = {
      {"\"a\\\"b\\n\"", "string \"a\\\"b\\n\""},
      {"0", "integer `0`"},
      {"18446744073709551615", "integer `18446744073709551615`"},
      {"-9223372036854775808", "integer `-9223372036854775808`"},
      // Past the 64-bit ranges an integer is read as a float.
      {"18446744073709551616", "floating point `18446744073709552000.0`"},
      {"-9223372036854775809", "floating point `-9223372036854776000.0`"},
      {"-0", "floating point `-0.0`"},
      {"1.5", "floating point `1.5`"},
      {"5.0", "floating point `5.0`"},
      {"2E3", "floating point `2000.0`"},
      {"1e21", "floating point `1000000000000000000000.0`"},
      {"1e-7", "floating point `0.0000001`"},
      {"0.1", "floating point `0.1`"},
      {"1e-400", "floating point `0.0`"},
      {"true", "boolean `true`"},
      {"false", "boolean `false`"},
      {"null", "null"},
      {"[\"x\"]", "sequence"},
      {"{\"x\":1}", "map"},
  };
  for (const auto& c : cases) {
    TokenList tokens;
    tokenize(c.value, tokens);
    ASSERT_FALSE(tokens.tokens.empty());
    EXPECT_EQ(describe(tokens.tokens[0]), c.description) << c.value;
  }
  // Kept members are described the same way, at the closing brace.
  auto r = documents::parse_transfer(
      R"({"sender_position_id":"1","receiver_public_key":"2","receiver_position_id":"3",)"
      R"("amount":"4","asset_id":"5","nonce":-0})");
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().to_string(),
            "invalid type: floating point `-0.0`, expected a string at line 1 column 118");
}

// The strict scanner gives RapidJSON's tokens for what it reads, and hands
// everything else to it: edge cases, then random changes of a document.
TEST(JsonTokens, StrictScannerAsReference) {
  // Whether the scanner read it (its texts are all in the input).
  auto same = [](const std::string& text) {
    TokenList fast, reference;
    tokenize(text, fast);
    tokenize_reference(text, reference);
    if (fast.tokens.size() != reference.tokens.size()) {
      ADD_FAILURE() << text;
      return false;
    }
    for (size_t i = 0; i < fast.tokens.size(); ++i) {
      const Token& a = fast.tokens[i];
      const Token& b = reference.tokens[i];
      EXPECT_TRUE(a.kind == b.kind && a.boolean == b.boolean && a.end == b.end && a.count == b.count &&
                  a.text == b.text)
          << text << " token " << i;
    }
    return fast.texts.empty();
  };
  const std::string doc =
      R"( {"a":"0x1f","bb" : [1,-2,[3],{"x":{}}], "c":{"d":[true,false,null],"e":{"f":[]}},)"
      R"( "g":-0,"h":123456789012345678,"i":"",)" "\n\t\r" R"("j":{}} )";
  const std::vector<std::string> edges = {
      doc, "", " ", "{}", "[]", "0", "-0", "01", "-", "1.5", "1e3", "1234567890123456789", "-123456789012345678",
      R"("\u0041")", R"("\"")", "\"\x7f\"", "\"\xc3\xa9\"", std::string("\"\0\"", 3), std::string("{}\0", 3),
      "\"\x1f\"", "{\"a\":1,}", "[1,]", "[1 2]", "{\"a\" 1}", "{1:2}", "tru", "truex", "nul",
      std::string(128, '[') + std::string(128, ']'), std::string(129, '[') + std::string(129, ']'),
      R"({"a":[[[["x"]]]]})", "\"abc", "{\"a\""};
  EXPECT_TRUE(same(doc));
  for (const std::string& e : edges) same(e);
  int scanned = 0;
  std::mt19937_64 rng(29);
  const std::string alphabet = "{}[]\":,-0123456789.eE \\tfnux\x7f\xc3";
  for (int round = 0; round < 4000; ++round) {
    std::string text = doc;
    for (int edits = 1 + static_cast<int>(rng() % 3); edits > 0; --edits) {
      const size_t at = rng() % (text.size() + 1);
      const char c = alphabet[rng() % alphabet.size()];
      switch (rng() % 3) {
        case 0: text.insert(text.begin() + static_cast<std::ptrdiff_t>(at), c); break;
        case 1: if (at < text.size()) text.erase(at, 1); break;
        default: if (at < text.size()) text[at] = c; break;
      }
    }
    scanned += same(text) ? 1 : 0;
  }
  EXPECT_GT(scanned, 100);
}

TEST(JsonTypeErrors, FloatFormatting) {
  EXPECT_EQ(format_float(1.7976931348623157e308).size(), 311u);
  EXPECT_EQ(format_float(5e-324), "0." + std::string(323, '0') + "5");
  EXPECT_EQ(format_float(123.456), "123.456");
  EXPECT_EQ(format_float(-2.0), "-2.0");
}

}  // namespace
}  // namespace quillet::sdk::json
