#include "sdk/src/documents/field_decoders.hpp"

namespace quillet::sdk::serde_wrapper {

Expected<U256, std::string> U256SerdeAsRadix16Prefix0xString::decode(std::string_view text) {
  auto r = U256::from_str_radix(text, 16);
  if (!r) return unexpected("u256 from string error: " + r.error().to_string());
  return *r;
}

std::string U256SerdeAsRadix16Prefix0xString::encode(const U256& value) {
  return '"' + value.to_hex_0x64() + '"';
}

Expected<U256, std::string> decode_key_hex(std::string_view text) {
  auto r = U256::from_str_radix(text, 16);
  if (!r) return unexpected(r.error().to_string());
  return *r;
}

}  // namespace quillet::sdk::serde_wrapper
