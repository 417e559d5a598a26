#include "sdk/src/error.hpp"

#include <cstdio>

namespace quillet::sdk {
namespace {

// Appends `text`, continuing each of its further lines with `indent`.
void append_indented(std::string& out, const std::string& text, const char* indent) {
  for (char c : text) {
    out.push_back(c);
    if (c == '\n') out += indent;
  }
}

}  // namespace

std::string Error::to_string() const {
  std::string out = message_;
  if (causes_.empty()) return out;
  out += "\n\nCaused by:";
  if (causes_.size() == 1) {
    out += "\n    ";
    append_indented(out, causes_[0], "    ");
    return out;
  }
  for (size_t i = 0; i < causes_.size(); ++i) {
    char number[32];
    std::snprintf(number, sizeof number, "\n%5zu: ", i);
    out += number;
    append_indented(out, causes_[i], "       ");
  }
  return out;
}

}  // namespace quillet::sdk
