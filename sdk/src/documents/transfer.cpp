#include "sdk/src/documents/transfer.hpp"

#include "sdk/src/documents/field_decoders.hpp"
#include "sdk/src/documents/field_table.hpp"

namespace quillet::sdk::documents {
namespace {

constexpr std::array<json::Field<Transfer>, 5> kFields = {{
    field<&Transfer::sender_position_id, &U64SerdeAsString::decode>("sender_position_id"),
    field<&Transfer::receiver_public_key, &decode_key_hex>("receiver_public_key"),
    field<&Transfer::receiver_position_id, &U64SerdeAsString::decode>("receiver_position_id"),
    field<&Transfer::amount, &U64SerdeAsString::decode>("amount"),
    field<&Transfer::asset_id, &U256SerdeAsRadix16Prefix0xString::decode>("asset_id"),
}};

}  // namespace

Expected<Transfer, JsonError> parse_transfer(std::string_view json) {
  return json::parse_document<Transfer>(json, [](json::Reader& r) {
    return json::read_struct_with_shared(r, "struct Transfer", kFields, kOrderBaseOf<Transfer>);
  });
}

}  // namespace quillet::sdk::documents
