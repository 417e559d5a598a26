#include "sdk/src/documents/field_decoders.hpp"

#include "sdk/src/numbers/parse_int.hpp"

namespace quillet::sdk::documents {

Expected<uint32_t, std::string> U32SerdeAsString::decode(std::string_view text) {
  auto r = parse_u32(text);
  if (!r) return unexpected("u64 from string error: " + r.error().to_string());
  return *r;
}

Expected<uint64_t, std::string> U64SerdeAsString::decode(std::string_view text) {
  auto r = parse_u64(text);
  if (!r) return unexpected("u64 from string error: " + r.error().to_string());
  return *r;
}

Expected<unsigned __int128, std::string> U128SerdeAsString::decode(std::string_view text) {
  auto r = parse_u128(text);
  if (!r) return unexpected("decode u128 string error: " + r.error().to_string());
  return *r;
}

Expected<__int128, std::string> I128SerdeAsRadix16Prefix0xString::decode(std::string_view text) {
  while (text.starts_with("0x")) text.remove_prefix(2);
  auto r = parse_i128_hex(text);
  if (!r) return unexpected("decode hex string error: " + r.error().to_string());
  return *r;
}

Expected<U256, std::string> U256SerdeAsRadix16Prefix0xString::decode(std::string_view text) {
  auto r = U256::from_str_radix(text, 16);
  if (!r) return unexpected("u256 from string error: " + r.error().to_string());
  return *r;
}

Expected<U256, std::string> decode_key_hex(std::string_view text) {
  auto r = U256::from_str_radix(text, 16);
  if (!r) return unexpected(r.error().to_string());
  return *r;
}

}  // namespace quillet::sdk::documents
