#include "sdk/src/tx/seed.hpp"

#include <array>

#include "crypto/field/montgomery.hpp"
#include "crypto/field/repr.hpp"
#include "crypto/jubjub/declassify.hpp"
#include "crypto/jubjub/fs_modulus.hpp"
#include "crypto/jubjub/hmac_sha256.hpp"
#include "crypto/jubjub/secret.hpp"
#include "sdk/src/tx/convert.hpp"

namespace quillet::sdk::tx {
namespace {

using Digest = jubjub::Sha256Digest;

// On input, `d` is a 32-byte big-endian integer. Returns whether it is below
// s, without a branch: the accepted candidate is the private key.
bool below_subgroup_order(const Digest& d) {
  jubjub::FsRepr candidate = field::repr_from_bytes_be(d);
  jubjub::FsRepr difference{};
  uint64_t below = field::detail::sub_borrow(difference, candidate, jubjub::kFsModulus);
  jubjub::wipe_value(candidate);
  jubjub::wipe_value(difference);
  // Only the verdict becomes public; it decides whether to hash again.
  jubjub::declassify(&below, sizeof below);
  return below != 0;
}

std::string to_hex(const Digest& d) {
  std::string out = "0x";
  out.reserve(2 + 2 * d.size());
  for (uint8_t b : d) {
    out.push_back(hex_digit_ct(b >> 4));
    out.push_back(hex_digit_ct(b & 15));
  }
  return out;
}

}  // namespace

Result<std::string> private_key_from_seed(std::span<const uint8_t> seed) {
  if (seed.size() < 32) return unexpected(Error("seed is too short"));
  Digest d{};
  Digest c{};
  const jubjub::WipeOnExit<Digest> wipe_d(d);
  const jubjub::WipeOnExit<Digest> wipe_c(c);
  jubjub::sha256(seed, d);
  for (;;) {
    jubjub::sha256(d, c);
    if (below_subgroup_order(c)) break;
    d = c;
  }
  // The key text leaves in the result; whoever holds it last overwrites it.
  return to_hex(c);
}

}  // namespace quillet::sdk::tx
