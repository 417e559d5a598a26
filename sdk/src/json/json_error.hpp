// The one error of the JSON document layer: a message and the position at
// which the parser noticed the failure.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quillet::sdk {

struct JsonError {
  std::string message;
  // The last byte the parser had consumed: line counted from 1 ("\n" starts
  // a new line), column in bytes from 1 within its line. A position before
  // the first byte of a line is column 0.
  size_t line = 0;
  size_t column = 0;

  // message + " at line L column C"
  std::string to_string() const;
  // Error("message as an escaped string literal", line: L, column: C)
  std::string debug() const;

  bool operator==(const JsonError&) const = default;
};

// `text` as a double-quoted string literal: \" \\ \n \r \t \0 escaped, other
// control characters (U+0000-U+001F, U+007F-U+009F) as \u{x}; everything else,
// including other non-ASCII UTF-8, as it is.
std::string debug_str(std::string_view text);

}  // namespace quillet::sdk
