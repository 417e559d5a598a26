#include "sdk/src/numbers/parse_int.hpp"

namespace quillet::sdk {
namespace {

using K = ParseIntError::Kind;
using u128 = unsigned __int128;

int digit_value(char c, unsigned radix) {
  int v = -1;
  if (c >= '0' && c <= '9') v = c - '0';
  else if (c >= 'a' && c <= 'z') v = c - 'a' + 10;
  else if (c >= 'A' && c <= 'Z') v = c - 'A' + 10;
  return v >= 0 && static_cast<unsigned>(v) < radix ? v : -1;
}

// The magnitude of `digits` (no sign) in `radix`, failing once it would pass
// `limit`; `over` is the kind reported then.
Expected<u128, ParseIntError> magnitude(std::string_view digits, unsigned radix, u128 limit,
                                        K over) {
  u128 v = 0;
  for (char c : digits) {
    const int d = digit_value(c, radix);
    if (d < 0) return unexpected(ParseIntError{K::InvalidDigit});
    if (v > (limit - static_cast<u128>(d)) / radix) return unexpected(ParseIntError{over});
    v = v * radix + static_cast<u128>(d);
  }
  return v;
}

Expected<u128, ParseIntError> parse_unsigned(std::string_view text, u128 max) {
  if (text.empty()) return unexpected(ParseIntError{K::Empty});
  if (text[0] == '+') {
    text.remove_prefix(1);
    if (text.empty()) return unexpected(ParseIntError{K::InvalidDigit});
  }
  return magnitude(text, 10, max, K::PosOverflow);
}

}  // namespace

Expected<uint32_t, ParseIntError> parse_u32(std::string_view text) {
  auto r = parse_unsigned(text, UINT32_MAX);
  if (!r) return unexpected(r.error());
  return static_cast<uint32_t>(*r);
}

Expected<uint64_t, ParseIntError> parse_u64(std::string_view text) {
  auto r = parse_unsigned(text, UINT64_MAX);
  if (!r) return unexpected(r.error());
  return static_cast<uint64_t>(*r);
}

Expected<unsigned __int128, ParseIntError> parse_u128(std::string_view text) {
  return parse_unsigned(text, ~u128{0});
}

Expected<__int128, ParseIntError> parse_i128_hex(std::string_view text) {
  if (text.empty()) return unexpected(ParseIntError{K::Empty});
  bool negative = false;
  if (text[0] == '+' || text[0] == '-') {
    negative = text[0] == '-';
    text.remove_prefix(1);
    if (text.empty()) return unexpected(ParseIntError{K::InvalidDigit});
  }
  const u128 max_positive = ~u128{0} >> 1;  // 2^127 - 1
  auto m = negative ? magnitude(text, 16, max_positive + 1, K::NegOverflow)
                    : magnitude(text, 16, max_positive, K::PosOverflow);
  if (!m) return unexpected(m.error());
  // Two's complement negation keeps -2^127 exact without signed overflow.
  return static_cast<__int128>(negative ? ~*m + 1 : *m);
}

}  // namespace quillet::sdk
