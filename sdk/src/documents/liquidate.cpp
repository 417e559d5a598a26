#include "sdk/src/documents/liquidate.hpp"

#include "sdk/src/documents/field_decoders.hpp"
#include "sdk/src/documents/field_table.hpp"

namespace quillet::sdk::documents {
namespace {

constexpr std::array<json::Field<Liquidate>, 5> kFields = {{
    field<&Liquidate::liquidator_order, &read_limit_order_request>("liquidator_order"),
    field<&Liquidate::liquidated_position_id, &U64SerdeAsString::decode>("liquidated_position_id"),
    field<&Liquidate::actual_collateral, &U64SerdeAsString::decode>("actual_collateral"),
    field<&Liquidate::actual_synthetic, &U64SerdeAsString::decode>("actual_synthetic"),
    field<&Liquidate::actual_liquidator_fee, &U64SerdeAsString::decode>("actual_liquidator_fee"),
}};

}  // namespace

Expected<Liquidate, JsonError> parse_liquidate(std::string_view json) {
  return json::parse_document<Liquidate>(
      json, [](json::Reader& r) { return json::read_struct_or_tuple(r, "Liquidate", kFields); });
}

}  // namespace quillet::sdk::documents
