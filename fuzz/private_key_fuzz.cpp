// Private key texts against a reference reading of their rules, and keys from
// seeds. The first byte picks which: even for a key text, odd for a seed; the
// rest is the input.
#include "fuzz/fuzz_support.hpp"
#include "sdk/src/keys/key_text.hpp"
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

void check_key_text(std::string_view text) {
  const auto key = sdk::keys::private_key_from_string(text);
  const std::string want = reference_error(text);
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
  return 0;
}
