#include "sdk/src/keys/private_key.hpp"

#include <algorithm>

#include "crypto/field/repr.hpp"
#include "crypto/random/random_bytes.hpp"
#include "crypto/secrets/declassify.hpp"
#include "crypto/secrets/wipe.hpp"
#include "sdk/src/keys/seed.hpp"

namespace quillet::sdk::keys {
namespace {

using jubjub::Fs;
using jubjub::FsRepr;

// Whether the canonical value `v` is 0, without a branch; only the verdict
// is made public.
bool is_zero(const FsRepr& v) {
  const uint64_t any = v[0] | v[1] | v[2] | v[3];
  uint64_t zero = ((any | (0 - any)) >> 63) ^ 1;
  secrets::declassify(&zero, sizeof zero);
  return zero != 0;
}

// Moves the key in `key` into `out` unless it is 0, wiping `key`.
template <class E>
std::optional<KeyFault> take_nonzero(Expected<Fs, E>& key, Fs& out) {
  FsRepr value = key->into_repr();
  const bool zero = is_zero(value);
  secrets::wipe_value(value);
  if (!zero) out = *key;
  secrets::wipe_value(*key);
  return zero ? std::optional(KeyFault::zero) : std::nullopt;
}

}  // namespace

std::optional<KeyFault> signing_key_from_text(std::string_view text, Fs& out) {
  auto key = private_key_from_text(text);
  if (!key) return key.error();
  return take_nonzero(key, out);
}

std::optional<KeyFault> signing_key_from_bytes(std::span<const uint8_t> bytes, Fs& out) {
  std::array<uint8_t, 32> be{};
  if (bytes.size() != be.size()) return KeyFault::length;
  const secrets::WipeOnExit<std::array<uint8_t, 32>> wipe_be(be);
  std::copy(bytes.begin(), bytes.end(), be.begin());
  FsRepr repr = field::repr_from_bytes_be(be);
  const secrets::WipeOnExit<FsRepr> wipe_repr(repr);
  if (!below_subgroup_order(repr)) return KeyFault::range;
  if (is_zero(repr)) return KeyFault::zero;
  out = Fs::from_raw(repr);  // below s: its own value
  return std::nullopt;
}

std::optional<KeyFault> signing_key_from_seed(std::span<const uint8_t> seed, Fs& out) {
  auto key = private_key_scalar_from_seed(seed);
  if (!key) return KeyFault::seed_length;  // its only error
  return take_nonzero(key, out);
}

bool signing_key_from_candidate(std::array<uint8_t, 32>& candidate, Fs& out) {
  const secrets::WipeOnExit<std::array<uint8_t, 32>> wipe_candidate(candidate);
  candidate[0] &= 0x0F;
  return !signing_key_from_bytes(candidate, out).has_value();
}

bool generate_signing_key(Fs& out) {
  std::array<uint8_t, 32> candidate{};
  const secrets::WipeOnExit<std::array<uint8_t, 32>> wipe_candidate(candidate);
  do {
    if (!random::fill_random(candidate)) return false;
  } while (!signing_key_from_candidate(candidate, out));
  return true;
}

void write_key_bytes(const Fs& sk, std::span<uint8_t, 32> out) {
  FsRepr value = sk.into_repr();
  std::array<uint8_t, 32> be = field::repr_to_bytes_be(value);
  std::copy(be.begin(), be.end(), out.begin());
  secrets::wipe_value(value);
  secrets::wipe_value(be);
}

void write_key_text(const Fs& sk, std::span<char, kKeyTextSize> out) {
  std::array<uint8_t, 32> be{};
  write_key_bytes(sk, be);
  out[0] = '0';
  out[1] = 'x';
  for (size_t i = 0; i < be.size(); ++i) {
    out[2 + 2 * i] = hex_digit_ct(be[i] >> 4);
    out[3 + 2 * i] = hex_digit_ct(be[i] & 15);
  }
  secrets::wipe_value(be);
}

}  // namespace quillet::sdk::keys
