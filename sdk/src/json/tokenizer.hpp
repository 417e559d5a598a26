// Turns JSON text into a flat list of tokens with the positions at which the
// parser completed each one: a strict scanner for plainly written texts,
// RapidJSON's SAX reader for the rest and for every error.
//
// The list always ends with exactly one End or Error token. Syntax errors are
// turned into the messages of typed JSON deserialisers at the position where
// such a parser notices them, so a document reader that walks the tokens in
// text order reports the first failure a streaming deserialiser would.
//
// The documents look inside the top-level value and inside objects one level
// below it, never deeper: arrays from the second level on and objects from
// the third level on are only skipped or named in a type error. Of those only
// the brackets are recorded, which keeps the list small for any input (the
// whole text is still parsed and checked).
#pragma once

#include <cstddef>
#include <cstdint>
#include <forward_list>
#include <string>
#include <string_view>
#include <utility>

#include "sdk/src/json/inline_vector.hpp"
#include "sdk/src/json/json_error.hpp"

namespace quillet::sdk::json {

// Arrays and objects nest at most this deep; the document's own value is
// level 1.
inline constexpr size_t kMaxDepth = 128;
// Longer texts are refused before parsing: no transaction comes near it, and
// it bounds the memory the token list of a pathological text can take.
inline constexpr size_t kMaxInputSize = size_t{1} << 20;

enum class TokenKind : uint8_t {
  kStartObject,
  kEndObject,
  kStartArray,
  kEndArray,
  kKey,
  kString,
  kNumber,
  kBool,
  kNull,
  kError,
  kEnd,
};

// A token's text lies in the input or in its TokenList: it lives as long as
// both.
struct Token {
  TokenKind kind = TokenKind::kEnd;
  bool boolean = false;  // kBool
  size_t end = 0;        // bytes consumed when the token was complete
  size_t count = 0;      // kEndObject, kEndArray: members or elements
  std::string_view text;  // kKey, kString: unescaped; kNumber: as written; kError: message
};

// The tokens of one text and the texts that are not in it as written
// (unescaped strings, error messages). A document's tokens fit in place.
struct TokenList {
  InlineVector<Token, 64> tokens;
  std::forward_list<std::string> texts;  // nodes never move: the views stay valid

  std::string_view keep(std::string text) {
    texts.push_front(std::move(text));
    return texts.front();
  }
};

// Fills `out` (empty) with the tokens of `input`. Texts written plainly
// (printable ASCII strings without escapes, short integers, no error) are
// read by a strict scanner that leaves every token's text in the input;
// anything else goes through RapidJSON, which gives the same tokens for what
// the scanner reads and the positioned errors for the rest.
void tokenize(std::string_view input, TokenList& out);

// tokenize through RapidJSON alone: the reference of the strict scanner.
void tokenize_reference(std::string_view input, TokenList& out);

// The error `message` positioned after the first `consumed` bytes of `input`.
JsonError error_after(std::string_view input, size_t consumed, std::string message);

// The type description of the value a token starts: string "abc", integer
// `5`, floating point `1.5`, boolean `true`, null, sequence, map.
std::string describe(const Token& t);

// A double as written in type errors: shortest round-trip digits, never an
// exponent, with ".0" when there is no fraction ("5.0", "1e21" as
// "1000000000000000000000.0", "-0.0").
std::string format_float(double d);

}  // namespace quillet::sdk::json
