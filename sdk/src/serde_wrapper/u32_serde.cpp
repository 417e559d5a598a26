#include "sdk/src/serde_wrapper/u32_serde.hpp"

#include "sdk/src/numbers/parse_int.hpp"

namespace quillet::sdk::serde_wrapper {

Expected<uint32_t, std::string> U32SerdeAsString::decode(std::string_view text) {
  auto r = parse_u32(text);
  if (!r) return unexpected("u64 from string error: " + r.error().to_string());
  return *r;
}

}  // namespace quillet::sdk::serde_wrapper
