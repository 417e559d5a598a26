#include "sdk/src/numbers/u256.hpp"

namespace quillet::sdk {
namespace {

constexpr char kLowerDigits[] = "0123456789abcdef";

// The value of each byte as a hexadecimal digit, or -1.
constexpr std::array<int8_t, 256> kHexValues = [] {
  std::array<int8_t, 256> v{};
  v.fill(-1);
  for (int c = 0; c < 10; ++c) v[static_cast<size_t>('0' + c)] = static_cast<int8_t>(c);
  for (int c = 0; c < 6; ++c) {
    v[static_cast<size_t>('a' + c)] = static_cast<int8_t>(10 + c);
    v[static_cast<size_t>('A' + c)] = static_cast<int8_t>(10 + c);
  }
  return v;
}();

[[noreturn]] void fail_overflow() { fail_hard("arithmetic operation overflow"); }

}  // namespace

Expected<U256, FromHexError> U256::from_str(std::string_view text) {
  if (text.size() >= 2 && text[0] == '0' && text[1] == 'x') text.remove_prefix(2);
  if (text.size() > 64) return unexpected(FromHexError::invalid_string_length());
  // Decode as if an odd-length text had a leading '0'; `pad` shifts indexes.
  const size_t pad = text.size() % 2;
  const size_t digits = text.size() + pad;
  U256 out;
  for (size_t i = pad; i < digits; ++i) {
    const auto c = static_cast<uint8_t>(text[i - pad]);
    const int8_t v = kHexValues[c];
    if (v < 0) return unexpected(FromHexError::invalid_hex_character(c, i));
    const size_t shift = 4 * (digits - 1 - i);
    out.words[shift / 64] |= static_cast<uint64_t>(v) << (shift % 64);
  }
  return out;
}

Expected<U256, FromStrRadixErr> U256::from_str_radix(std::string_view text, uint32_t radix) {
  if (radix == 16) {
    auto r = from_str(text);
    if (!r) return unexpected(FromStrRadixErr::from_hex(r.error()));
    return *r;
  }
  if (radix != 10) return unexpected(FromStrRadixErr::unsupported_radix());
  // Every byte is checked before any arithmetic, so a bad character is
  // reported even in a text too long for the type.
  for (char c : text) {
    if (c < '0' || c > '9') {
      return unexpected(FromStrRadixErr::from_dec(FromDecStrErr::InvalidCharacter));
    }
  }
  U256 value;
  for (char c : text) {
    // value = value * 10 + digit, watching for a carry out of the top word.
    unsigned __int128 carry = static_cast<unsigned>(c - '0');
    for (uint64_t& w : value.words) {
      const unsigned __int128 t = static_cast<unsigned __int128>(w) * 10 + carry;
      w = static_cast<uint64_t>(t);
      carry = t >> 64;
    }
    if (carry != 0) return unexpected(FromStrRadixErr::from_dec(FromDecStrErr::InvalidLength));
  }
  return value;
}

U256 U256::from_i128(__int128 v) {
  if (v < 0) fail_hard("Unsigned integer can't be created from negative value");
  return from_u128(static_cast<unsigned __int128>(v));
}

U256 U256::from_little_endian(std::span<const uint8_t> bytes) {
  if (bytes.size() > 32) fail_hard("assertion failed: 4 * 8 >= slice.len()");
  U256 r;
  for (size_t i = 0; i < bytes.size(); ++i) {
    r.words[i / 8] |= static_cast<uint64_t>(bytes[i]) << (8 * (i % 8));
  }
  return r;
}

U256 U256::from_big_endian(const std::array<uint8_t, 32>& bytes) {
  U256 r;
  for (size_t i = 0; i < 32; ++i) {
    r.words[(31 - i) / 8] |= static_cast<uint64_t>(bytes[i]) << (8 * ((31 - i) % 8));
  }
  return r;
}

std::array<uint8_t, 32> U256::to_little_endian() const {
  std::array<uint8_t, 32> out{};
  for (size_t i = 0; i < 32; ++i) out[i] = static_cast<uint8_t>(words[i / 8] >> (8 * (i % 8)));
  return out;
}

U256 U256::shl(unsigned bits) const {
  U256 r;
  if (bits >= 256) return r;
  const unsigned word_shift = bits / 64;
  const unsigned bit_shift = bits % 64;
  for (unsigned i = 4; i-- > word_shift;) {
    const unsigned src = i - word_shift;
    uint64_t w = words[src] << bit_shift;
    if (bit_shift != 0 && src > 0) w |= words[src - 1] >> (64 - bit_shift);
    r.words[i] = w;
  }
  return r;
}

void U256::add_assign(const U256& other) {
  U256 sum;
  unsigned __int128 carry = 0;
  for (size_t i = 0; i < 4; ++i) {
    const unsigned __int128 t =
        static_cast<unsigned __int128>(words[i]) + other.words[i] + carry;
    sum.words[i] = static_cast<uint64_t>(t);
    carry = t >> 64;
  }
  if (carry != 0) fail_overflow();
  *this = sum;
}

U256 U256::mul(const U256& other) const {
  U256 r;
  for (size_t i = 0; i < 4; ++i) {
    uint64_t carry = 0;
    for (size_t j = 0; j < 4; ++j) {
      const unsigned __int128 t = static_cast<unsigned __int128>(words[i]) * other.words[j];
      if (i + j >= 4) {
        if (t != 0) fail_overflow();
        continue;
      }
      const unsigned __int128 s = t + r.words[i + j] + carry;
      r.words[i + j] = static_cast<uint64_t>(s);
      carry = static_cast<uint64_t>(s >> 64);
    }
    if (carry != 0) fail_overflow();  // the carry would land in word 4
  }
  return r;
}

std::strong_ordering U256::operator<=>(const U256& other) const {
  for (size_t i = 4; i-- > 0;) {
    if (words[i] != other.words[i]) return words[i] <=> other.words[i];
  }
  return std::strong_ordering::equal;
}

std::string U256::fmt_hex(bool alternate, size_t width, bool zero_fill) const {
  char digits[64];
  size_t n = 0;
  for (size_t i = 4; i-- > 0;) {
    for (int shift = 60; shift >= 0; shift -= 4) {
      const auto nibble = static_cast<unsigned>(words[i] >> shift) & 15;
      if (n == 0 && nibble == 0) continue;
      digits[n++] = kLowerDigits[nibble];
    }
  }
  if (n == 0) digits[n++] = '0';
  const size_t prefix = alternate ? 2 : 0;
  const size_t fill = width > prefix + n ? width - prefix - n : 0;
  std::string out;
  out.reserve(prefix + n + fill);
  if (!zero_fill) out.append(fill, ' ');
  if (alternate) out += "0x";
  if (zero_fill) out.append(fill, '0');
  out.append(digits, n);
  return out;
}

std::string U256::to_hex_0x64() const { return fmt_hex(true, 66, true); }

std::string H256::lower_hex(bool alternate) const {
  std::string out = alternate ? "0x" : "";
  out.reserve(out.size() + 64);
  for (uint8_t b : bytes) {
    out.push_back(kLowerDigits[b >> 4]);
    out.push_back(kLowerDigits[b & 15]);
  }
  return out;
}

std::string_view trim_hex_prefix(std::string_view text) {
  while (text.starts_with("0x")) text.remove_prefix(2);
  while (text.starts_with("0X")) text.remove_prefix(2);
  return text;
}

}  // namespace quillet::sdk
