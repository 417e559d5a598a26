#include "sdk/src/keys/seed.hpp"

#include <array>

#include "crypto/field/repr.hpp"
#include "crypto/hmac_sha256/hmac_sha256.hpp"
#include "crypto/jubjub/fs.hpp"
#include "crypto/secrets/wipe.hpp"
#include "sdk/src/keys/key_text.hpp"

namespace quillet::sdk::keys {
namespace {

using Digest = hmac_sha256::Sha256Digest;

std::string to_hex(const Digest& d) {
  std::string out = "0x";
  out.reserve(2 + 2 * d.size());
  append_hex_ct(out, d);
  return out;
}

constexpr const char* kSeedTooShort = "seed is too short";

// The key's 32 big-endian bytes, the first digest of the chain below s, into
// `key`; false for a seed under 32 bytes. Only each candidate's verdict
// steers: it decides whether to hash again.
bool derive(std::span<const uint8_t> seed, Digest& key) {
  if (seed.size() < 32) return false;
  Digest d{};
  const secrets::WipeOnExit<Digest> wipe_d(d);
  hmac_sha256::sha256(seed, d);
  for (;;) {
    hmac_sha256::sha256(d, key);
    jubjub::FsRepr candidate = field::repr_from_bytes_be(key);
    const bool below = below_subgroup_order(candidate);
    secrets::wipe_value(candidate);
    if (below) return true;
    d = key;
  }
}

}  // namespace

Result<std::string> private_key_from_seed(std::span<const uint8_t> seed) {
  Digest c{};
  const secrets::WipeOnExit<Digest> wipe_c(c);
  if (!derive(seed, c)) return unexpected(Error(kSeedTooShort));
  // The key text leaves in the result; whoever holds it last overwrites it.
  return to_hex(c);
}

Result<jubjub::Fs> private_key_scalar_from_seed(std::span<const uint8_t> seed) {
  Digest c{};
  const secrets::WipeOnExit<Digest> wipe_c(c);
  if (!derive(seed, c)) return unexpected(Error(kSeedTooShort));
  jubjub::FsRepr repr = field::repr_from_bytes_be(c);
  const secrets::WipeOnExit<jubjub::FsRepr> wipe_repr(repr);
  jubjub::Fs key = jubjub::Fs::from_raw(repr);  // below s: its own value
  Result<jubjub::Fs> out(key);
  secrets::wipe_value(key);
  return out;
}

}  // namespace quillet::sdk::keys
