// Private keys held as their scalar, as the typed API's native key object
// holds them: made once from text, 32 bytes, a seed or the kernel's
// generator, each refusing 0 (whose public key accepts a signature for every
// message), and written back as bytes or text only on request.
//
// Constant time in the key: no branch or memory index depends on it. Only
// each verdict is made public (accepted, or which fault; a generator's
// candidate kept or drawn again). Every copy made here is wiped.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "crypto/failure.hpp"
#include "crypto/jubjub/fs.hpp"
#include "sdk/src/keys/key_text.hpp"

namespace quillet::sdk::keys {

// Each maker writes the key into `out` and returns nothing, or returns why
// it refuses and leaves `out` as it was.

// The key of a private key text, as private_key_from_text reads it; 0 is
// refused (`zero`).
std::optional<KeyFault> signing_key_from_text(std::string_view text, jubjub::Fs& out);

// The key of 32 big-endian bytes: `length` for any other count, `range` for
// a value of s or more, `zero` for 0. The bytes are read once.
std::optional<KeyFault> signing_key_from_bytes(std::span<const uint8_t> bytes, jubjub::Fs& out);

// The key private_key_from_seed derives (`seed_length` for fewer than 32
// bytes); 0 refused, though no seed is known to give it.
std::optional<KeyFault> signing_key_from_seed(std::span<const uint8_t> seed, jubjub::Fs& out);

// One draw of generate_signing_key: the candidate's top four bits cleared
// (s < 2^252, so about three in four are kept), then kept when 0 < v < s.
// Whether it was kept; the candidate is wiped either way.
bool signing_key_from_candidate(std::array<uint8_t, 32>& candidate, jubjub::Fs& out);

// A fresh key, uniform in [1, s): candidates from getrandom(2) until one is
// kept. False when the kernel gives no random bytes.
bool generate_signing_key(jubjub::Fs& out);

// The key's 32 big-endian bytes.
void write_key_bytes(const jubjub::Fs& sk, std::span<uint8_t, 32> out);

// The key's text, "0x" and 64 lower-case digits: private_key_from_seed's form.
inline constexpr std::size_t kKeyTextSize = 66;
void write_key_text(const jubjub::Fs& sk, std::span<char, kKeyTextSize> out);

}  // namespace quillet::sdk::keys
