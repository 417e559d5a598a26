#include "sdk/src/keys/key_text.hpp"

#include <algorithm>
#include <array>
#include <type_traits>
#include <vector>

#include "crypto/field/repr.hpp"
#include "crypto/secrets/declassify.hpp"
#include "crypto/secrets/wipe.hpp"

namespace quillet::sdk::keys {
namespace {


constexpr size_t kKeySize = 32;

template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

std::string bytes_to_hex(const std::array<uint8_t, 32>& bytes) {
  std::string out;
  out.reserve(64);
  append_hex_ct(out, bytes);
  return out;
}

// 1 when lo <= c, else 0; c and lo in [0, 255]. No branch.
int at_least(int c, int lo) { return ((lo - 1 - c) >> 8) & 1; }

// The value of the hexadecimal digit c (either case) and whether c is one,
// without a branch or a table: key text is secret.
struct HexValue {
  int value;
  int valid;  // 1 or 0
};
HexValue hex_value_ct(uint8_t c) {
  const int ch = c;
  const int is_num = at_least(ch, '0') & (1 - at_least(ch, '9' + 1));
  const int is_lower = at_least(ch, 'a') & (1 - at_least(ch, 'f' + 1));
  const int is_upper = at_least(ch, 'A') & (1 - at_least(ch, 'F' + 1));
  const int value = ((-is_num) & (ch - '0')) | ((-is_lower) & (ch - 'a' + 10)) | ((-is_upper) & (ch - 'A' + 10));
  return HexValue{value, is_num | is_lower | is_upper};
}

// The first byte of `digits` that is not a hexadecimal digit, as the error
// that names it. The digits are looked at without branching on them; only
// when one is invalid is the first such searched for.
std::optional<FromHexError> first_invalid_digit(std::string_view digits) {
  int all_valid = 1;
  for (char c : digits) all_valid &= hex_value_ct(static_cast<uint8_t>(c)).valid;
  // The caller's answer (an error or not) tells this verdict anyway.
  secrets::declassify(&all_valid, sizeof all_valid);
  if (all_valid != 0) return std::nullopt;
  for (size_t i = 0; i < digits.size(); ++i) {
    const auto c = static_cast<uint8_t>(digits[i]);
    if (hex_value_ct(c).valid == 0) return FromHexError::invalid_hex_character(c, i);
  }
  return std::nullopt;
}

// 64 valid hexadecimal digits as 32 bytes, first digit high, without a branch
// or a table lookup on them.
std::array<uint8_t, kKeySize> decode_key_digits(std::string_view digits) {
  std::array<uint8_t, kKeySize> out{};
  for (size_t i = 0; i < out.size(); ++i) {
    const int high = hex_value_ct(static_cast<uint8_t>(digits[2 * i])).value;
    const int low = hex_value_ct(static_cast<uint8_t>(digits[2 * i + 1])).value;
    out[i] = static_cast<uint8_t>((high << 4) | low);
  }
  return out;
}

}  // namespace

std::string ConversionError::to_string() const {
  return std::visit(
      Overloaded{
          [](const IncorrectInputSize& e) {
            return "Incorrect input size. Actual: " + std::to_string(e.size) +
                   ", expected: " + std::to_string(e.expected_size);
          },
          [](const PrimeFieldDecodingError& e) {
            return "Cannot convert into prime field value: " + e.error.to_string();
          },
      },
      v_);
}

std::string ConversionError::debug() const {
  return std::visit(
      Overloaded{
          [](const IncorrectInputSize& e) {
            return "IncorrectInputSize { size: " + std::to_string(e.size) +
                   ", expected_size: " + std::to_string(e.expected_size) + " }";
          },
          [](const PrimeFieldDecodingError& e) { return "PrimeFieldDecodingError(" + e.error.debug() + ")"; },
      },
      v_);
}

std::optional<std::string> ConversionError::cause() const {
  if (const auto* e = std::get_if<PrimeFieldDecodingError>(&v_)) return e->error.to_string();
  return std::nullopt;
}

Error ConversionError::to_error() const {
  std::vector<std::string> causes;
  if (std::optional<std::string> c = cause()) causes.push_back(std::move(*c));
  return Error(to_string(), std::move(causes));
}

Expected<Fs, ConversionError> FeConvert::from_bytes(std::span<const uint8_t> bytes) {
  if (bytes.size() != kKeySize) {
    return unexpected(ConversionError(ConversionError::IncorrectInputSize{bytes.size(), kKeySize}));
  }
  std::array<uint8_t, 32> be{};
  const secrets::WipeOnExit<std::array<uint8_t, 32>> wipe_be(be);
  std::copy(bytes.begin(), bytes.end(), be.begin());
  jubjub::FsRepr repr = field::repr_from_bytes_be(be);
  const secrets::WipeOnExit<jubjub::FsRepr> wipe_repr(repr);
  // The range test and the conversion run in constant time (the bytes are
  // usually a private key); only the verdict steers, and the caller's answer
  // tells it anyway.
  if (!below_subgroup_order(repr)) {
    auto error = Fs::from_repr(repr);
    return unexpected(ConversionError(ConversionError::PrimeFieldDecodingError{std::move(error).error()}));
  }
  Fs v = Fs::from_raw(repr);
  Expected<Fs, ConversionError> out(v);
  secrets::wipe_value(v);
  return out;
}

std::string FeConvert::to_hex(const Fs& v) { return bytes_to_hex(field::repr_to_bytes_be(v.into_repr())); }

std::string FeConvert::to_hex(const Fr& v) { return bytes_to_hex(field::repr_to_bytes_be(v.into_repr())); }

bool below_subgroup_order(const jubjub::FsRepr& v) {
  jubjub::FsRepr difference{};
  uint64_t below = field::detail::sub_borrow(difference, v, jubjub::kFsModulus);
  secrets::wipe_value(difference);
  secrets::declassify(&below, sizeof below);
  return below != 0;
}

U256 fr_to_u256(const Fr& v) { return U256{v.into_repr()}; }

Expected<Fr, field::PrimeFieldDecodingError> u256_to_fr(const U256& v) { return Fr::from_repr(v.words); }

U256 le_to_u256(std::span<const uint8_t, 32> bytes) { return U256::from_little_endian(bytes); }

namespace {

// `key`'s scalar as an `Out`, the copy left in `key` wiped.
template <class Out, class E>
Out take_key(Expected<Fs, E>& key) {
  Out out(*key);
  secrets::wipe_value(*key);
  return out;
}

// Why a key text is refused, as the first description finds it: its
// hexadecimal error, or its conversion error. Texts are made from it only on
// demand, since they quote the key.
using Refusal = std::variant<FromHexError, ConversionError>;

// The key as first described: strip every leading "0x", then decode. Its
// branches on the prefixes see the text's first digits, so it only runs on
// texts that are not well-formed keys, to find their error.
Expected<Fs, Refusal> key_from_text_vartime(std::string_view text) {
  while (text.starts_with("0x")) text.remove_prefix(2);
  if (text.size() % 2 != 0) return unexpected(Refusal(FromHexError::odd_length()));
  if (const auto bad = first_invalid_digit(text)) return unexpected(Refusal(*bad));
  // Any other length is refused by from_bytes, on the length alone.
  if (text.size() != 2 * kKeySize) {
    return unexpected(Refusal(ConversionError(ConversionError::IncorrectInputSize{text.size() / 2, kKeySize})));
  }
  std::array<uint8_t, kKeySize> bytes = decode_key_digits(text);
  const secrets::WipeOnExit<std::array<uint8_t, kKeySize>> wipe_bytes(bytes);
  auto key = FeConvert::from_bytes(bytes);
  if (!key) return unexpected(Refusal(std::move(key).error()));
  return take_key<Expected<Fs, Refusal>>(key);
}

// The key of a private key text, or why it is refused.
Expected<Fs, Refusal> key_from_text(std::string_view text) {
  // A well-formed key is k "0x" prefixes and 64 digits, so the length alone
  // says where the digits start; the prefixes and the digits are then
  // checked and decoded without branching on them, and only the verdict
  // steers. A text that fails is not a key, and the first description finds
  // its exact error.
  constexpr size_t kDigits = 2 * kKeySize;
  if (text.size() >= kDigits && (text.size() - kDigits) % 2 == 0) {
    const size_t prefix = text.size() - kDigits;
    unsigned diff = 0;
    for (size_t i = 0; i < prefix; ++i) diff |= static_cast<uint8_t>(text[i]) ^ (i % 2 == 0 ? '0' : 'x');
    // A digit string never starts with "0x" ('x' is no digit), so the
    // prefixes counted from the length are all the first description strips.
    unsigned prefix_ok = ((diff - 1) >> 8) & 1;  // diff < 256
    secrets::declassify(&prefix_ok, sizeof prefix_ok);
    const std::string_view digits = text.substr(prefix);
    if (prefix_ok != 0 && !first_invalid_digit(digits)) {
      std::array<uint8_t, kKeySize> bytes = decode_key_digits(digits);
      const secrets::WipeOnExit<std::array<uint8_t, kKeySize>> wipe_bytes(bytes);
      auto key = FeConvert::from_bytes(bytes);
      if (key) return take_key<Expected<Fs, Refusal>>(key);
    }
  }
  return key_from_text_vartime(text);
}

}  // namespace

Result<Fs> private_key_from_string(std::string_view text) {
  auto key = key_from_text(text);
  if (key) return take_key<Result<Fs>>(key);
  return unexpected(std::visit(Overloaded{
                                   [](const FromHexError& e) { return Error(e.to_string()); },
                                   [](const ConversionError& e) { return e.to_error(); },
                               },
                               key.error()));
}

Expected<Fs, KeyFault> private_key_from_text(std::string_view text) {
  auto key = key_from_text(text);
  if (key) return take_key<Expected<Fs, KeyFault>>(key);
  return unexpected(std::visit(Overloaded{
                                   [](const FromHexError& e) {
                                     return e.kind == FromHexError::Kind::InvalidHexCharacter ? KeyFault::character
                                                                                               : KeyFault::length;
                                   },
                                   [](const ConversionError& e) {
                                     return std::holds_alternative<ConversionError::IncorrectInputSize>(e.variant())
                                                ? KeyFault::length
                                                : KeyFault::range;
                                   },
                               },
                               key.error()));
}

}  // namespace quillet::sdk::keys
