// The numeric text encodings against small reference parsers written from
// their rules: hexadecimal and decimal U256 text, the fixed-width integer
// parsers, and the field encodings that prefix their errors. The first byte
// picks the parser; the rest is the text.
#include "fuzz/fuzz_support.hpp"
#include "sdk/src/documents/field_decoders.hpp"
#include "sdk/src/numbers/parse_int.hpp"
#include "sdk/src/numbers/u256.hpp"

using namespace quillet;
using sdk::FromHexError;
using sdk::ParseIntError;
using sdk::U256;
using u128 = unsigned __int128;

namespace {

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// value = value * m + d over four 64-bit limbs; false when it reaches 2^256.
bool mul_add(std::array<uint64_t, 4>& v, uint64_t m, uint64_t d) {
  u128 carry = d;
  for (uint64_t& w : v) {
    const u128 t = static_cast<u128>(w) * m + carry;
    w = static_cast<uint64_t>(t);
    carry = t >> 64;
  }
  return carry == 0;
}

Expected<U256, FromHexError> reference_hex(std::string_view t) {
  if (t.size() >= 2 && t.substr(0, 2) == "0x") t.remove_prefix(2);
  if (t.size() > 64) return unexpected(FromHexError::invalid_string_length());
  const std::string padded = (t.size() % 2 ? "0" : "") + std::string(t);
  U256 v;
  for (size_t i = 0; i < padded.size(); ++i) {
    const int d = hex_digit(padded[i]);
    if (d < 0) return unexpected(FromHexError::invalid_hex_character(static_cast<uint8_t>(padded[i]), i));
    mul_add(v.words, 16, static_cast<uint64_t>(d));
  }
  return v;
}

void check_hex(std::string_view text) {
  const auto got = U256::from_str(text);
  const auto want = reference_hex(text);
  fuzz::check(got.has_value() == want.has_value(), "hex: accepted the same texts", text);
  if (!got) {
    fuzz::check(got.error() == want.error(), "hex: same error", got.error().to_string());
    const auto radix = U256::from_str_radix(text, 16);
    fuzz::check(!radix && radix.error() == sdk::FromStrRadixErr::from_hex(got.error()),
                "radix 16 wraps the hexadecimal error");
    return;
  }
  fuzz::check(*got == *want, "hex: same value", text);
  const std::string full = got->to_hex_0x64();
  fuzz::check(fuzz::is_hex64(full), "to_hex_0x64 form", full);
  fuzz::check(U256::from_str(full).value() == *got, "hex round trip", full);
  const std::string shortest = got->fmt_hex(true);
  fuzz::check(U256::from_str(shortest).value() == *got, "shortest hex round trip", shortest);
  fuzz::check(shortest == "0x0" || shortest[2] != '0', "no leading zero digit", shortest);
}

void check_decimal(std::string_view text) {
  const auto got = U256::from_str_radix(text, 10);
  U256 want;
  std::optional<sdk::FromDecStrErr> want_error;
  // A bad character anywhere is reported before an overflow.
  for (char c : text) {
    if (c < '0' || c > '9') want_error = sdk::FromDecStrErr::InvalidCharacter;
  }
  for (char c : text) {
    if (want_error) break;
    if (!mul_add(want.words, 10, static_cast<uint64_t>(c - '0'))) {
      want_error = sdk::FromDecStrErr::InvalidLength;
      break;
    }
  }
  if (want_error) {
    fuzz::check(!got && got.error() == sdk::FromStrRadixErr::from_dec(*want_error), "decimal error",
                text);
  } else {
    fuzz::check(got && *got == want, "decimal value", text);
  }
}

// Signed or unsigned, radix 10 or 16, with the type's bounds as magnitudes.
Expected<u128, ParseIntError> reference_int(std::string_view t, unsigned radix, bool is_signed,
                                            u128 max_pos, u128 max_neg, bool& negative) {
  using K = ParseIntError::Kind;
  negative = false;
  if (t.empty()) return unexpected(ParseIntError{K::Empty});
  if (t[0] == '+' || (is_signed && t[0] == '-')) {
    negative = t[0] == '-';
    t.remove_prefix(1);
    if (t.empty()) return unexpected(ParseIntError{K::InvalidDigit});
  }
  const u128 limit = negative ? max_neg : max_pos;
  u128 v = 0;
  for (char c : t) {
    const int d = radix == 16 ? hex_digit(c) : (c >= '0' && c <= '9' ? c - '0' : -1);
    if (d < 0) return unexpected(ParseIntError{K::InvalidDigit});
    u128 next;
    if (__builtin_mul_overflow(v, static_cast<u128>(radix), &next) ||
        __builtin_add_overflow(next, static_cast<u128>(d), &next) || next > limit) {
      return unexpected(ParseIntError{negative ? K::NegOverflow : K::PosOverflow});
    }
    v = next;
  }
  return v;
}

template <class T, class Got>
void compare_int(std::string_view text, const Got& got, const Expected<u128, ParseIntError>& want,
                 bool negative) {
  fuzz::check(got.has_value() == want.has_value(), "int: accepted the same texts", text);
  if (!got) {
    fuzz::check(got.error() == want.error(), "int: same error", got.error().to_string());
    return;
  }
  const T expect = negative ? static_cast<T>(~*want + 1) : static_cast<T>(*want);
  fuzz::check(*got == expect, "int: same value", text);
}

void check_ints(uint8_t which, std::string_view text) {
  bool neg = false;
  const u128 all = ~u128{0};
  switch (which % 4) {
    case 0: {
      const auto want = reference_int(text, 10, false, UINT32_MAX, 0, neg);
      compare_int<uint32_t>(text, sdk::parse_u32(text), want, neg);
      const auto enc = sdk::documents::U32SerdeAsString::decode(text);
      if (!want) fuzz::check(enc.error() == "u64 from string error: " + want.error().to_string(), "u32 prefix");
      break;
    }
    case 1: {
      const auto want = reference_int(text, 10, false, UINT64_MAX, 0, neg);
      compare_int<uint64_t>(text, sdk::parse_u64(text), want, neg);
      const auto enc = sdk::documents::U64SerdeAsString::decode(text);
      if (!want) fuzz::check(enc.error() == "u64 from string error: " + want.error().to_string(), "u64 prefix");
      break;
    }
    case 2: {
      const auto want = reference_int(text, 10, false, all, 0, neg);
      compare_int<u128>(text, sdk::parse_u128(text), want, neg);
      const auto enc = sdk::documents::U128SerdeAsString::decode(text);
      if (!want) fuzz::check(enc.error() == "decode u128 string error: " + want.error().to_string(), "u128 prefix");
      break;
    }
    default: {
      const auto want = reference_int(text, 16, true, all >> 1, (all >> 1) + 1, neg);
      compare_int<__int128>(text, sdk::parse_i128_hex(text), want, neg);
      std::string_view stripped = text;
      while (stripped.starts_with("0x")) stripped.remove_prefix(2);
      const auto enc = sdk::documents::I128SerdeAsRadix16Prefix0xString::decode(text);
      const auto direct = sdk::parse_i128_hex(stripped);
      fuzz::check(enc.has_value() == direct.has_value(), "i128 encoding strips every 0x", text);
      if (!enc) fuzz::check(enc.error() == "decode hex string error: " + direct.error().to_string(), "i128 prefix");
      break;
    }
  }
}

void check_u256_encodings(std::string_view text) {
  const auto radix = U256::from_str_radix(text, 16);
  const auto enc = sdk::documents::U256SerdeAsRadix16Prefix0xString::decode(text);
  const auto key = sdk::documents::decode_key_hex(text);
  fuzz::check(enc.has_value() == radix.has_value() && key.has_value() == radix.has_value(),
              "u256 encodings accept what from_str_radix accepts", text);
  if (!radix) {
    fuzz::check(enc.error() == "u256 from string error: " + radix.error().to_string(), "u256 prefix");
    fuzz::check(key.error() == radix.error().to_string(), "key-hex has no prefix");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string_view text = fuzz::as_text(data + 1, size - 1);
  switch (data[0] % 4) {
    case 0: check_hex(text); break;
    case 1: check_decimal(text); break;
    case 2: check_ints(static_cast<uint8_t>(data[0] / 4), text); break;
    default: check_u256_encodings(text); break;
  }
  return 0;
}
