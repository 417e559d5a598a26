#include "sdk/src/numbers/parse_errors.hpp"

namespace quillet::sdk {

std::string char_literal(uint8_t c) {
  switch (c) {
    case '\'': return "'\\''";
    case '\\': return "'\\\\'";
    case '\n': return "'\\n'";
    case '\r': return "'\\r'";
    case '\t': return "'\\t'";
    case '\0': return "'\\0'";
    default: break;
  }
  if (c >= 0x20 && c < 0x7f) return std::string{'\'', static_cast<char>(c), '\''};
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out = "'\\u{";
  if (c >= 0x10) out.push_back(kDigits[c >> 4]);
  out.push_back(kDigits[c & 15]);
  out += "}'";
  return out;
}

std::string FromHexError::to_string() const {
  switch (kind) {
    case Kind::InvalidHexCharacter:
      return "Invalid character " + char_literal(c) + " at position " + std::to_string(index);
    case Kind::OddLength: return "Odd number of digits";
    case Kind::InvalidStringLength: return "Invalid string length";
  }
  return {};
}

std::string FromHexError::variant_debug() const {
  switch (kind) {
    case Kind::InvalidHexCharacter:
      return "InvalidHexCharacter { c: " + char_literal(c) + ", index: " + std::to_string(index) +
             " }";
    case Kind::OddLength: return "OddLength";
    case Kind::InvalidStringLength: return "InvalidStringLength";
  }
  return {};
}

std::string FromHexError::debug() const {
  return "FromHexError { inner: " + variant_debug() + " }";
}

std::string to_string(FromDecStrErr e) {
  return e == FromDecStrErr::InvalidCharacter ? "a character is not in the range 0-9"
                                              : "the number is too large for the type";
}

std::string debug(FromDecStrErr e) {
  return e == FromDecStrErr::InvalidCharacter ? "InvalidCharacter" : "InvalidLength";
}

FromStrRadixErr FromStrRadixErr::from_hex(const FromHexError& e) {
  const auto kind = e.kind == FromHexError::Kind::InvalidHexCharacter
                        ? FromStrRadixErrKind::InvalidCharacter
                        : FromStrRadixErrKind::InvalidLength;
  return {kind, e};
}

FromStrRadixErr FromStrRadixErr::from_dec(FromDecStrErr e) {
  const auto kind = e == FromDecStrErr::InvalidCharacter ? FromStrRadixErrKind::InvalidCharacter
                                                         : FromStrRadixErrKind::InvalidLength;
  return {kind, e};
}

std::string FromStrRadixErr::to_string() const {
  if (source) {
    if (const auto* hex = std::get_if<FromHexError>(&*source)) return hex->to_string();
    return sdk::to_string(std::get<FromDecStrErr>(*source));
  }
  switch (kind) {
    case FromStrRadixErrKind::UnsupportedRadix: return "the given radix is not supported";
    case FromStrRadixErrKind::InvalidCharacter: return "input contains an invalid character";
    case FromStrRadixErrKind::InvalidLength: return "length not supported for radix or type";
  }
  return {};
}

Error FromStrRadixErr::to_error() const {
  if (!source) return Error(to_string());
  return Error(to_string(), {to_string()});
}

std::string FromStrRadixErr::debug() const {
  std::string out = "FromStrRadixErr { kind: ";
  switch (kind) {
    case FromStrRadixErrKind::InvalidCharacter: out += "InvalidCharacter"; break;
    case FromStrRadixErrKind::InvalidLength: out += "InvalidLength"; break;
    case FromStrRadixErrKind::UnsupportedRadix: out += "UnsupportedRadix"; break;
  }
  out += ", source: ";
  if (!source) {
    out += "None";
  } else if (const auto* hex = std::get_if<FromHexError>(&*source)) {
    out += "Some(Hex(" + hex->debug() + "))";
  } else {
    out += "Some(Dec(" + sdk::debug(std::get<FromDecStrErr>(*source)) + "))";
  }
  out += " }";
  return out;
}

std::string ParseIntError::to_string() const {
  switch (kind) {
    case Kind::Empty: return "cannot parse integer from empty string";
    case Kind::InvalidDigit: return "invalid digit found in string";
    case Kind::PosOverflow: return "number too large to fit in target type";
    case Kind::NegOverflow: return "number too small to fit in target type";
    case Kind::Zero: return "number would be zero for non-zero type";
  }
  return {};
}

std::string ParseIntError::debug() const {
  static constexpr const char* kNames[] = {"Empty", "InvalidDigit", "PosOverflow", "NegOverflow",
                                           "Zero"};
  return std::string("ParseIntError { kind: ") + kNames[static_cast<int>(kind)] + " }";
}

}  // namespace quillet::sdk
