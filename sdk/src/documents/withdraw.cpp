#include "sdk/src/documents/withdraw.hpp"

#include "sdk/src/documents/field_decoders.hpp"
#include "sdk/src/documents/field_table.hpp"

namespace quillet::sdk::documents {
namespace {

constexpr std::array<json::Field<WithdrawRequest>, 4> kFields = {{
    field<&WithdrawRequest::position_id, &U64SerdeAsString::decode>("position_id"),
    field<&WithdrawRequest::amount, &U64SerdeAsString::decode>("amount"),
    field<&WithdrawRequest::eth_address, &decode_key_hex>("eth_address"),
    field<&WithdrawRequest::asset_id, &U256SerdeAsRadix16Prefix0xString::decode>("asset_id"),
}};

}  // namespace

Expected<WithdrawRequest, JsonError> parse_withdraw_request(std::string_view json) {
  return json::parse_document<WithdrawRequest>(json, [](json::Reader& r) {
    return json::read_struct_with_shared(r, "struct WithdrawRequest", kFields, kOrderBaseOf<WithdrawRequest>);
  });
}

}  // namespace quillet::sdk::documents
