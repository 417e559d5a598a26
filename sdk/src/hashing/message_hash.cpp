#include "sdk/src/hashing/message_hash.hpp"

namespace quillet::sdk::hashing {

void absorb_u256(PoseidonHasher& hasher, const U256& v) {
  hasher.update(v.words[0]);
  hasher.update(v.words[1]);
  hasher.update(v.words[2]);
  hasher.update(v.words[3] & ~(uint64_t{1} << 63));
}

HashWords hash2(const U256& a, const U256& b, poseidon::Squeezer* squeezer) {
  PoseidonHasher hasher(squeezer);
  absorb_u256(hasher, a);
  absorb_u256(hasher, b);
  return hasher.finalize();
}

std::array<uint8_t, 32> hash_message(const HashWords& h) {
  std::array<uint8_t, 32> out{};
  for (size_t i = 0; i < 4; ++i) {
    for (size_t b = 0; b < 8; ++b) out[8 * i + b] = static_cast<uint8_t>(h[i] >> (8 * b));
  }
  return out;
}

HashChars hash_chars(const HashWords& h) {
  static constexpr char kDigits[] = "0123456789abcdef";
  HashChars out{};
  out[0] = '0';
  out[1] = 'x';
  // Most significant word and nibble first.
  for (size_t i = 0; i < 64; ++i) out[2 + i] = kDigits[(h[3 - i / 16] >> (60 - 4 * (i % 16))) & 15];
  return out;
}

std::string hash_text(const HashWords& h) {
  const HashChars chars = hash_chars(h);
  return std::string(chars.data(), chars.size());
}

}  // namespace quillet::sdk::hashing
