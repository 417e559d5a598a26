// Private key texts against a reference reading of their rules, keys from
// seeds, and keys held as scalars (made from text, bytes or a seed) against
// both. The first byte picks which: even for a key text, odd for a seed; the
// rest is the input, also read as bytes.
#include <algorithm>
#include <array>
#include <span>

#include "fuzz/fuzz_support.hpp"
#include "sdk/src/keys/key_text.hpp"
#include "sdk/src/keys/private_key.hpp"
#include "sdk/src/lib.hpp"

using namespace quillet;

namespace {

bool is_hex_digit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

std::string lower(std::string_view t) {
  std::string out(t);
  for (char& c : out) {
    if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

// The texts of the key errors, or "" for a text that parses.
std::string reference_error(std::string_view t) {
  while (t.starts_with("0x")) t.remove_prefix(2);
  if (t.size() % 2 != 0) return "Odd number of digits";
  for (size_t i = 0; i < t.size(); ++i) {
    if (!is_hex_digit(t[i])) return "Invalid character " + sdk::char_literal(static_cast<uint8_t>(t[i])) +
                                    " at position " + std::to_string(i);
  }
  if (t.size() != 64) return "Incorrect input size. Actual: " + std::to_string(t.size() / 2) + ", expected: 32";
  // s = 0x060c89ce...: anything at or above it is refused.
  if (lower(t) >= "060c89ce5c263405370a08b6d0302b0bab3eedb83920ee0a677297dc392126f1") {
    const std::string field = "0x" + lower(t) + " is not an element of the field";
    return "Cannot convert into prime field value: " + field + "\n\nCaused by:\n    " + field;
  }
  return "";
}

// The category of a reference error text, as private_key_from_text names it.
sdk::keys::KeyFault reference_fault(const std::string& error) {
  if (error.starts_with("Invalid character")) return sdk::keys::KeyFault::character;
  if (error.starts_with("Cannot convert")) return sdk::keys::KeyFault::range;
  return sdk::keys::KeyFault::length;
}

void check_key_text(std::string_view text) {
  const auto key = sdk::keys::private_key_from_string(text);
  const std::string want = reference_error(text);
  jubjub::Fs held{};
  const auto fault = sdk::keys::signing_key_from_text(text, held);
  if (!want.empty()) {
    fuzz::check(fault == reference_fault(want), "signing key text fault", want);
  } else {
    const bool zero = *key == jubjub::Fs::zero();
    fuzz::check(zero ? fault == sdk::keys::KeyFault::zero : !fault && held == *key, "signing key from text");
  }
  if (!key) {
    fuzz::check(key.error().to_string() == want, "key error text", key.error().to_string());
    const auto xy = sdk::private_key_to_pubkey_xy(text);
    fuzz::check(!xy && xy.error().to_string() == want, "private_key_to_pubkey_xy returns the key error");
    return;
  }
  fuzz::check(want.empty(), "accepted a refused key", want);
  std::string_view digits = text;
  while (digits.starts_with("0x")) digits.remove_prefix(2);
  fuzz::check(sdk::keys::FeConvert::to_hex(*key) == lower(digits), "key value");

  const auto xy = sdk::private_key_to_pubkey_xy(text);
  fuzz::check(xy && fuzz::is_hex64(xy->first) && fuzz::is_hex64(xy->second), "public key pair form");
  const auto on_curve = sdk::is_on_curve(xy->first, xy->second);
  fuzz::check(on_curve && *on_curve, "a derived pair is on the curve", xy->first);
  const auto again = sdk::pub_key_to_xy(xy->first);
  fuzz::check(again && *again == *xy, "the packed key gives the same pair back");
}

void check_seed(std::string_view seed) {
  const std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(seed.data()), seed.size());
  const auto key = sdk::private_key_from_seed(bytes);
  if (seed.size() < 32) {
    fuzz::check(!key && key.error().to_string() == "seed is too short", "short seed refused");
    return;
  }
  fuzz::check(key && fuzz::is_hex64(*key), "seed key form");
  const auto parsed = sdk::keys::private_key_from_string(*key);
  fuzz::check(parsed && "0x" + sdk::keys::FeConvert::to_hex(*parsed) == *key, "seed key parses back", *key);
  jubjub::Fs held{};
  fuzz::check(!sdk::keys::signing_key_from_seed(bytes, held) && held == *parsed, "signing key from seed");
}

// The input as 32 big-endian bytes: refused by length, range or zero, else
// the key whose bytes and text are written back.
void check_key_bytes(std::span<const uint8_t> bytes) {
  jubjub::Fs held{};
  const auto fault = sdk::keys::signing_key_from_bytes(bytes, held);
  if (bytes.size() != 32) {
    fuzz::check(fault == sdk::keys::KeyFault::length, "key bytes of another length");
    return;
  }
  const auto reference = sdk::keys::FeConvert::from_bytes(bytes);
  if (!reference || *reference == jubjub::Fs::zero()) {
    fuzz::check(fault == (reference ? sdk::keys::KeyFault::zero : sdk::keys::KeyFault::range), "key bytes refused");
    return;
  }
  fuzz::check(!fault && held == *reference, "key from bytes");
  std::array<uint8_t, 32> back{};
  sdk::keys::write_key_bytes(held, back);
  fuzz::check(std::equal(back.begin(), back.end(), bytes.begin()), "key bytes written back");
  std::array<char, sdk::keys::kKeyTextSize> text{};
  sdk::keys::write_key_text(held, text);
  fuzz::check(std::string_view(text.data(), text.size()) == "0x" + sdk::keys::FeConvert::to_hex(held), "key text");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string_view text = fuzz::as_text(data + 1, size - 1);
  if (data[0] % 2 == 0) {
    check_key_text(text);
  } else {
    check_seed(text);
  }
  check_key_bytes({data + 1, size - 1});
  return 0;
}
