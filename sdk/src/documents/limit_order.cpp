#include "sdk/src/documents/limit_order.hpp"

#include "sdk/src/documents/field_decoders.hpp"
#include "sdk/src/documents/field_table.hpp"

namespace quillet::sdk::documents {
namespace {

using Order = LimitOrderRequest;

constexpr std::array<json::Field<Order>, 7> kFields = {{
    field<&Order::amount_synthetic, &U64SerdeAsString::decode>("amount_synthetic"),
    field<&Order::amount_collateral, &U64SerdeAsString::decode>("amount_collateral"),
    field<&Order::amount_fee, &U64SerdeAsString::decode>("amount_fee"),
    field<&Order::asset_id_synthetic, &I128SerdeAsRadix16Prefix0xString::decode>("asset_id_synthetic"),
    field<&Order::asset_id_collateral, &U256SerdeAsRadix16Prefix0xString::decode>("asset_id_collateral"),
    field<&Order::position_id, &U64SerdeAsString::decode>("position_id"),
    field<&Order::is_buying_synthetic>("is_buying_synthetic"),
}};

}  // namespace

Expected<LimitOrderRequest, JsonError> read_limit_order_request(json::Reader& r) {
  return json::read_struct_with_shared(r, "struct LimitOrderRequest", kFields, kOrderBaseOf<Order>);
}

Expected<LimitOrderRequest, JsonError> parse_limit_order_request(std::string_view json) {
  return json::parse_document<LimitOrderRequest>(json, read_limit_order_request);
}

}  // namespace quillet::sdk::documents
