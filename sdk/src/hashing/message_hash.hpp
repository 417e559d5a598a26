// The pieces every transaction hash shares: feeding 256-bit values to the
// buffered Poseidon hasher, the two-input hash, and the forms of a result.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "sdk/src/hashing/poseidon_hasher.hpp"
#include "sdk/src/numbers/u256.hpp"

namespace quillet::sdk::hashing {

// A hash value: four 64-bit words, least significant first.
using HashWords = std::array<uint64_t, 4>;

// Pushes the four words of `v`, least significant first, with bit 255
// cleared: the hasher's elements are below 2^255, whatever the input.
void absorb_u256(PoseidonHasher& hasher, const U256& v);

// The hash of the pair (a, b).
HashWords hash2(const U256& a, const U256& b, poseidon::Squeezer* squeezer = nullptr);

// "0x" and the 64 lower-case digits of the hash, most significant byte first.
std::string hash_text(const HashWords& h);
// The same characters in place, for callers that write them on (a batch's
// results) without a string of their own.
using HashChars = std::array<char, 66>;
HashChars hash_chars(const HashWords& h);

// The 32 little-endian bytes of the hash: the message a signature covers.
std::array<uint8_t, 32> hash_message(const HashWords& h);

}  // namespace quillet::sdk::hashing
