// A cursor over the tokens of one JSON text, with the value readers the
// documents are built from. Every reader consumes exactly one complete value
// and reports the first failure in text order.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "crypto/failure.hpp"
#include "sdk/src/json/json_error.hpp"
#include "sdk/src/json/tokenizer.hpp"

namespace quillet::sdk::json {

// No failure, or the failure.
using Status = std::optional<JsonError>;

class Reader {
 public:
  // `input` must outlive the reader, and so must every token's text.
  explicit Reader(std::string_view input) : input_(input) { tokenize(input, tokens_); }
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  // The token list ends with kEnd or kError, which are never stepped over.
  const Token& peek() const { return tokens_.tokens[pos_]; }
  const Token& next();

  JsonError error_at(size_t consumed, std::string message) const {
    return error_after(input_, consumed, std::move(message));
  }
  // The failure that `t` stands for (kError, or an unexpected kEnd).
  JsonError error_of(const Token& t) const;
  // "invalid type: <value found>, expected <expected>" at the end of `t`.
  JsonError invalid_type(const Token& t, std::string_view expected) const;

  // A JSON string decoded by `decode`, whose message is reported at the
  // string's closing quote. Anything else is a type error expecting "a string".
  template <class T>
  Status read_string(T& out, Expected<T, std::string> (*decode)(std::string_view)) {
    const Token& t = next();
    if (t.kind != TokenKind::kString) return fail_value(t, "a string");
    auto r = decode(t.text);
    if (!r) return error_at(t.end, std::move(r.error()));
    out = std::move(*r);
    return std::nullopt;
  }
  // JSON true or false; anything else is a type error expecting "a boolean".
  Status read_bool(bool& out);
  // Any value, dropped.
  Status skip_value();
  // Any value, kept as its first token (a string, number, literal, or the
  // opening bracket of a sequence or map whose content is dropped).
  Expected<Token, JsonError> hold_value();

  // After the last element a fixed-length array takes: its closing bracket,
  // or "trailing characters" at the first byte of an extra element.
  Status end_fixed_array();
  // After the document: nothing but whitespace may follow.
  Status finish();

 private:
  // The type error for a value token `t` (or the failure it stands for).
  JsonError fail_value(const Token& t, std::string_view expected);

  std::string_view input_;
  TokenList tokens_;
  size_t pos_ = 0;
};

}  // namespace quillet::sdk::json
