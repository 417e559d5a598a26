#include "sdk/src/lib.hpp"

#include "sdk/src/tx/seed.hpp"

namespace quillet::sdk {

Result<std::string> private_key_from_seed(std::span<const uint8_t> seed) {
  return tx::private_key_from_seed(seed);
}

}  // namespace quillet::sdk
