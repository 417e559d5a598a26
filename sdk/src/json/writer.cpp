#include "sdk/src/json/writer.hpp"

namespace quillet::sdk::json {

void append_string(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.push_back('"');
  for (char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          out += "\\u00";
          out.push_back(kHex[c >> 4]);
          out.push_back(kHex[c & 15]);
        } else {
          out.push_back(ch);
        }
    }
  }
  out.push_back('"');
}

std::string string_object(
    std::initializer_list<std::pair<std::string_view, std::string_view>> members) {
  std::string out = "{";
  bool first = true;
  for (const auto& [key, value] : members) {
    if (!first) out.push_back(',');
    first = false;
    append_string(out, key);
    out.push_back(':');
    append_string(out, value);
  }
  out.push_back('}');
  return out;
}

}  // namespace quillet::sdk::json
