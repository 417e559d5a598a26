// scrypt (RFC 7914) for keystores, byte for byte libcrypto's EVP_PBE_scrypt
// (hashlib.scrypt) within the bounds below: PBKDF2-HMAC-SHA256 of the
// passphrase into p blocks B of 128·r bytes, ROMix of each in memory of
// 128·r·n bytes, PBKDF2 again with the B as salt.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "crypto/scrypt/kernels.hpp"

namespace quillet::scrypt {

struct ScryptParams {
  uint64_t n;  // the cost: a power of two
  uint32_t r;  // the block size, in 128-byte units
  uint32_t p;  // the parallelism: ROMix runs, one after the other
};

// The bytes scrypt needs: V (128·r·n), two working blocks of 128·r and the
// p blocks of B, as libcrypto counts them.
constexpr uint64_t scrypt_memory(const ScryptParams& s) { return uint64_t{128} * s.r * (s.n + s.p + 2); }

// The bounds of a keystore that is read (the keystore reader checks them
// before it calls; see its module text): memory and work (n·r·p block
// mixes) each at most four times the default's, r and p at most 32.
inline constexpr ScryptParams kDefaultScrypt = {uint64_t{1} << 18, 8, 1};
inline constexpr uint64_t kMaxScryptMemory = 4 * scrypt_memory(kDefaultScrypt);
inline constexpr uint64_t kMaxScryptWork = 4 * kDefaultScrypt.n * kDefaultScrypt.r * kDefaultScrypt.p;
inline constexpr uint32_t kMaxScryptR = 32;
inline constexpr uint32_t kMaxScryptP = 32;
// The longest output: any key, with room to spare.
inline constexpr std::size_t kMaxScryptOutput = 1024;

// Whether `s` is within the bounds and scrypt's own conditions: n a power
// of two, 2 <= n, and n < 2^(16·r) (r = 1..3 lower the bound on n).
constexpr bool scrypt_within_bounds(const ScryptParams& s) {
  if (s.n < 2 || (s.n & (s.n - 1)) != 0 || s.r < 1 || s.r > kMaxScryptR || s.p < 1 || s.p > kMaxScryptP) {
    return false;
  }
  if (s.r < 4 && s.n >= uint64_t{1} << (16 * s.r)) return false;
  return s.n <= kMaxScryptWork && s.n * s.r * s.p <= kMaxScryptWork && scrypt_memory(s) <= kMaxScryptMemory;
}

enum class ScryptFault : uint8_t {
  memory,  // the system gave no mapping of scrypt_memory(params) bytes
};

// out = scrypt(passphrase, salt, params, out.size()) with Salsa20/8 kernel
// `k`. Fails hard unless `params` is within the bounds, 1 <= out.size() <=
// kMaxScryptOutput and `k` runs here; returns the fault, `out` untouched, if
// the memory cannot be mapped. The memory is mapped for this call alone
// (huge pages asked for, left out of core dumps), wiped and unmapped before
// it returns (see scrypt.cpp for what is wiped). Variable time: ROMix's
// index is secret-derived (romix_vartime); the PBKDF2 passes are not.
std::optional<ScryptFault> scrypt_vartime(std::span<const uint8_t> passphrase, std::span<const uint8_t> salt,
                                          const ScryptParams& params, std::span<uint8_t> out,
                                          SalsaKernel k = salsa_kernel());

}  // namespace quillet::scrypt
