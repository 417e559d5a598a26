#include "sdk/src/json/reader.hpp"

namespace quillet::sdk::json {
namespace {

bool is_ws(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool is_terminal(TokenKind k) { return k == TokenKind::kEnd || k == TokenKind::kError; }

}  // namespace

const Token& Reader::next() {
  const Token& t = tokens_.tokens[pos_];
  if (!is_terminal(t.kind)) ++pos_;
  return t;
}

JsonError Reader::error_of(const Token& t) const {
  if (t.kind == TokenKind::kError) return error_at(t.end, std::string(t.text));
  return error_at(t.end, "EOF while parsing a value");
}

JsonError Reader::invalid_type(const Token& t, std::string_view expected) const {
  return error_at(t.end, "invalid type: " + describe(t) + ", expected " + std::string(expected));
}

JsonError Reader::fail_value(const Token& t, std::string_view expected) {
  if (is_terminal(t.kind)) return error_of(t);
  return invalid_type(t, expected);
}

Status Reader::read_bool(bool& out) {
  const Token& t = next();
  if (t.kind != TokenKind::kBool) return fail_value(t, "a boolean");
  out = t.boolean;
  return std::nullopt;
}

Status Reader::skip_value() {
  size_t depth = 0;
  do {
    const Token& t = next();
    switch (t.kind) {
      case TokenKind::kError:
      case TokenKind::kEnd: return error_of(t);
      case TokenKind::kStartObject:
      case TokenKind::kStartArray: ++depth; break;
      case TokenKind::kEndObject:
      case TokenKind::kEndArray: --depth; break;
      default: break;
    }
  } while (depth > 0);
  return std::nullopt;
}

Expected<Token, JsonError> Reader::hold_value() {
  Token first = peek();
  if (auto err = skip_value()) return unexpected(std::move(*err));
  return first;
}

Status Reader::end_fixed_array() {
  // The previous token is the last element; look at the text after it.
  size_t i = tokens_.tokens[pos_ - 1].end;
  while (i < input_.size() && is_ws(input_[i])) ++i;
  if (i == input_.size()) return error_at(i, "EOF while parsing a list");
  if (input_[i] == ']') {
    const Token& t = next();
    if (t.kind != TokenKind::kEndArray) return error_of(t);
    return std::nullopt;
  }
  if (input_[i] == ',') {
    ++i;
    while (i < input_.size() && is_ws(input_[i])) ++i;
    if (i == input_.size()) return error_at(i, "trailing characters");
    if (input_[i] == ']') return error_at(i + 1, "trailing comma");
  }
  return error_at(i + 1, "trailing characters");
}

Status Reader::finish() {
  const Token& t = next();
  if (t.kind == TokenKind::kEnd) return std::nullopt;
  if (t.kind == TokenKind::kError) return error_of(t);
  return error_at(t.end, "trailing characters");
}

}  // namespace quillet::sdk::json
