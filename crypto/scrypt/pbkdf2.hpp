// PBKDF2-HMAC-SHA256 (RFC 8018) for passphrases of any length: scrypt's two
// passes (one iteration each) and keystores' own PBKDF2.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace quillet::scrypt {

// The longest output: a bound for callers, far above any key (and 2^32 - 1
// blocks below the function's own limit).
inline constexpr std::size_t kMaxPbkdf2Output = std::size_t{1} << 20;

// out = PBKDF2-HMAC-SHA256(passphrase, salt, iterations, out.size()). Fails
// hard unless iterations >= 1 and 1 <= out.size() <= kMaxPbkdf2Output. Time
// depends on the lengths and the count alone. Every intermediate state is
// wiped; `out` is the caller's to wipe.
void pbkdf2_sha256(std::span<const uint8_t> passphrase, std::span<const uint8_t> salt, uint32_t iterations,
                   std::span<uint8_t> out);

}  // namespace quillet::scrypt
