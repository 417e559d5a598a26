#include "sdk/src/tx/seed.hpp"

#include <openssl/crypto.h>
#include <openssl/sha.h>

#include <array>

#include "crypto/jubjub/fs_modulus.hpp"

namespace quillet::sdk::tx {
namespace {

using Digest = std::array<uint8_t, SHA256_DIGEST_LENGTH>;

// On input, `d` is a 32-byte big-endian integer. Returns whether it is below s.
// The result is public (rejection sampling), so this may branch on it.
bool below_subgroup_order_vartime(const Digest& d) {
  for (int limb = 3; limb >= 0; --limb) {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = (v << 8) | d[(3 - limb) * 8 + i];
    const uint64_t m = jubjub::kFsModulus[limb];
    if (v != m) return v < m;
  }
  return false;
}

std::string to_hex(const Digest& d) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out = "0x";
  out.reserve(2 + 2 * d.size());
  for (uint8_t b : d) {
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 15]);
  }
  return out;
}

}  // namespace

Result<std::string> private_key_from_seed(std::span<const uint8_t> seed) {
  if (seed.size() < 32) return unexpected(Error("seed is too short"));
  Digest d{};
  Digest c{};
  SHA256(seed.data(), seed.size(), d.data());
  for (;;) {
    SHA256(d.data(), d.size(), c.data());
    if (below_subgroup_order_vartime(c)) break;
    d = c;
  }
  std::string key = to_hex(c);
  OPENSSL_cleanse(d.data(), d.size());
  OPENSSL_cleanse(c.data(), c.size());
  return key;
}

}  // namespace quillet::sdk::tx
