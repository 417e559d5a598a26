#include "sdk/src/documents/liquidate.hpp"

#include "sdk/src/json/struct_reader.hpp"
#include "sdk/src/serde_wrapper/u64_serde.hpp"

namespace quillet::sdk::transaction {
namespace {

using json::Field;
using json::Reader;
using serde_wrapper::U64SerdeAsString;

constexpr std::array<Field<Liquidate>, 5> kFields = {{
    {"liquidator_order",
     [](Reader& r, Liquidate& d) -> json::Status {
       auto order = read_limit_order_request(r);
       if (!order) return std::move(order.error());
       d.liquidator_order = std::move(*order);
       return std::nullopt;
     }},
    {"liquidated_position_id",
     [](Reader& r, Liquidate& d) {
       return r.read_string(d.liquidated_position_id, &U64SerdeAsString::decode);
     }},
    {"actual_collateral",
     [](Reader& r, Liquidate& d) {
       return r.read_string(d.actual_collateral, &U64SerdeAsString::decode);
     }},
    {"actual_synthetic",
     [](Reader& r, Liquidate& d) {
       return r.read_string(d.actual_synthetic, &U64SerdeAsString::decode);
     }},
    {"actual_liquidator_fee",
     [](Reader& r, Liquidate& d) {
       return r.read_string(d.actual_liquidator_fee, &U64SerdeAsString::decode);
     }},
}};

}  // namespace

Expected<Liquidate, JsonError> parse_liquidate(std::string_view json) {
  return json::parse_document<Liquidate>(
      json, [](Reader& r) { return json::read_struct_or_tuple(r, "Liquidate", kFields); });
}

}  // namespace quillet::sdk::transaction
