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

std::string hash_text(const HashWords& h) {
  const std::array<uint8_t, 32> le = hash_message(h);
  H256 big_endian;
  for (size_t i = 0; i < 32; ++i) big_endian.bytes[i] = le[31 - i];
  return "0x" + big_endian.lower_hex();
}

}  // namespace quillet::sdk::hashing
