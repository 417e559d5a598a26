#include "crypto/jubjub/fs.hpp"

#include <algorithm>
#include <array>

#include "crypto/failure.hpp"
#include "crypto/field/repr.hpp"

namespace quillet::jubjub {

// The Montgomery constant derived from s agrees with its published value.
static_assert(Fs::kInv == 0x532ce5aebc48f5efULL);

Fs to_uniform_32(std::span<const uint8_t> bytes) {
  if (bytes.size() != 32) fail_hard("assertion failed: to_uniform_32 takes exactly 32 bytes");
  std::array<uint8_t, 32> le{};
  std::copy(bytes.begin(), bytes.end(), le.begin());
  // from_raw reduces any 256-bit value with one Montgomery multiplication by
  // R^2: the same residue as reducing bit by bit, in constant time.
  return Fs::from_raw(field::repr_from_bytes_le(le));
}

}  // namespace quillet::jubjub
