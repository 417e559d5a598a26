#include "sdk/src/json/json_error.hpp"

namespace quillet::sdk {
namespace {

void append_unicode_escape(std::string& out, unsigned cp) {
  static constexpr char kDigits[] = "0123456789abcdef";
  out += "\\u{";
  bool started = false;
  for (int shift = 20; shift >= 0; shift -= 4) {
    const unsigned d = (cp >> shift) & 15;
    if (d != 0 || started || shift == 0) {
      out.push_back(kDigits[d]);
      started = true;
    }
  }
  out.push_back('}');
}

}  // namespace

std::string JsonError::to_string() const {
  return message + " at line " + std::to_string(line) + " column " + std::to_string(column);
}

std::string JsonError::debug() const {
  return "Error(" + debug_str(message) + ", line: " + std::to_string(line) +
         ", column: " + std::to_string(column) + ")";
}

std::string debug_str(std::string_view text) {
  std::string out = "\"";
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    switch (c) {
      case '"': out += "\\\""; continue;
      case '\\': out += "\\\\"; continue;
      case '\n': out += "\\n"; continue;
      case '\r': out += "\\r"; continue;
      case '\t': out += "\\t"; continue;
      case '\0': out += "\\0"; continue;
      default: break;
    }
    if (c < 0x20 || c == 0x7f) {
      append_unicode_escape(out, c);
    } else if (c == 0xc2 && i + 1 < text.size() &&
               static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(text[i + 1]) <= 0x9f) {
      // U+0080-U+009F, the C1 control characters.
      append_unicode_escape(out, static_cast<unsigned char>(text[i + 1]));
      ++i;
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  out.push_back('"');
  return out;
}

}  // namespace quillet::sdk
