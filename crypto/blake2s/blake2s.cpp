#include "crypto/blake2s/blake2s.hpp"

#include <blake2.h>

#include <cstring>

#include "crypto/failure.hpp"

namespace quillet::blake2s {

std::array<uint8_t, 32> blake2s_personalized(std::initializer_list<std::span<const uint8_t>> parts,
                                             const Personalization& personal) {
  static_assert(sizeof(Personalization) == BLAKE2S_PERSONALBYTES);
  // The personalisation only reaches the hash through the parameter block;
  // the plain blake2s_init() would leave it zero.
  blake2s_param param;
  std::memset(&param, 0, sizeof param);
  param.digest_length = BLAKE2S_OUTBYTES;
  param.key_length = 0;
  param.fanout = 1;
  param.depth = 1;
  std::memcpy(param.personal, personal.data(), personal.size());

  blake2s_state state;
  if (blake2s_init_param(&state, &param) != 0) fail_hard("BLAKE2s initialisation failed");
  for (std::span<const uint8_t> part : parts) {
    if (blake2s_update(&state, part.data(), part.size()) != 0) fail_hard("BLAKE2s update failed");
  }
  std::array<uint8_t, 32> digest{};
  if (blake2s_final(&state, digest.data(), digest.size()) != 0) fail_hard("BLAKE2s finalisation failed");
  return digest;
}

}  // namespace quillet::blake2s
