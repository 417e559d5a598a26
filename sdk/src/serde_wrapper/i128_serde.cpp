#include "sdk/src/serde_wrapper/i128_serde.hpp"

#include "sdk/src/numbers/parse_int.hpp"

namespace quillet::sdk::serde_wrapper {

Expected<__int128, std::string> I128SerdeAsRadix16Prefix0xString::decode(std::string_view text) {
  while (text.starts_with("0x")) text.remove_prefix(2);
  auto r = parse_i128_hex(text);
  if (!r) return unexpected("decode hex string error: " + r.error().to_string());
  return *r;
}

Expected<unsigned __int128, std::string> U128SerdeAsString::decode(std::string_view text) {
  auto r = parse_u128(text);
  if (!r) return unexpected("decode u128 string error: " + r.error().to_string());
  return *r;
}

}  // namespace quillet::sdk::serde_wrapper
