#include "sdk/src/keys/seed.hpp"

#include <array>

#include "crypto/field/montgomery.hpp"
#include "crypto/field/repr.hpp"
#include "crypto/hmac_sha256/hmac_sha256.hpp"
#include "crypto/jubjub/fs.hpp"
#include "crypto/secrets/declassify.hpp"
#include "crypto/secrets/wipe.hpp"
#include "sdk/src/keys/key_text.hpp"

namespace quillet::sdk::keys {
namespace {

using Digest = hmac_sha256::Sha256Digest;

// On input, `d` is a 32-byte big-endian integer. Returns whether it is below
// s, without a branch: the accepted candidate is the private key.
bool below_subgroup_order(const Digest& d) {
  jubjub::FsRepr candidate = field::repr_from_bytes_be(d);
  jubjub::FsRepr difference{};
  uint64_t below = field::detail::sub_borrow(difference, candidate, jubjub::kFsModulus);
  secrets::wipe_value(candidate);
  secrets::wipe_value(difference);
  // Only the verdict becomes public; it decides whether to hash again.
  secrets::declassify(&below, sizeof below);
  return below != 0;
}

std::string to_hex(const Digest& d) {
  std::string out = "0x";
  out.reserve(2 + 2 * d.size());
  append_hex_ct(out, d);
  return out;
}

}  // namespace

Result<std::string> private_key_from_seed(std::span<const uint8_t> seed) {
  if (seed.size() < 32) return unexpected(Error("seed is too short"));
  Digest d{};
  Digest c{};
  const secrets::WipeOnExit<Digest> wipe_d(d);
  const secrets::WipeOnExit<Digest> wipe_c(c);
  hmac_sha256::sha256(seed, d);
  for (;;) {
    hmac_sha256::sha256(d, c);
    if (below_subgroup_order(c)) break;
    d = c;
  }
  // The key text leaves in the result; whoever holds it last overwrites it.
  return to_hex(c);
}

}  // namespace quillet::sdk::keys
