#include "sdk/src/documents/limit_order.hpp"

#include "sdk/src/json/struct_reader.hpp"
#include "sdk/src/serde_wrapper/i128_serde.hpp"
#include "sdk/src/documents/field_decoders.hpp"
#include "sdk/src/serde_wrapper/u64_serde.hpp"

namespace quillet::sdk::transaction {
namespace {

using json::Field;
using json::Reader;
using serde_wrapper::I128SerdeAsRadix16Prefix0xString;
using serde_wrapper::U256SerdeAsRadix16Prefix0xString;
using serde_wrapper::U64SerdeAsString;

constexpr std::array<Field<LimitOrderRequest>, 7> kFields = {{
    {"amount_synthetic",
     [](Reader& r, LimitOrderRequest& d) {
       return r.read_string(d.amount_synthetic, &U64SerdeAsString::decode);
     }},
    {"amount_collateral",
     [](Reader& r, LimitOrderRequest& d) {
       return r.read_string(d.amount_collateral, &U64SerdeAsString::decode);
     }},
    {"amount_fee",
     [](Reader& r, LimitOrderRequest& d) {
       return r.read_string(d.amount_fee, &U64SerdeAsString::decode);
     }},
    {"asset_id_synthetic",
     [](Reader& r, LimitOrderRequest& d) {
       return r.read_string(d.asset_id_synthetic, &I128SerdeAsRadix16Prefix0xString::decode);
     }},
    {"asset_id_collateral",
     [](Reader& r, LimitOrderRequest& d) {
       return r.read_string(d.asset_id_collateral, &U256SerdeAsRadix16Prefix0xString::decode);
     }},
    {"position_id",
     [](Reader& r, LimitOrderRequest& d) {
       return r.read_string(d.position_id, &U64SerdeAsString::decode);
     }},
    {"is_buying_synthetic",
     [](Reader& r, LimitOrderRequest& d) { return r.read_bool(d.is_buying_synthetic); }},
}};

}  // namespace

Expected<LimitOrderRequest, JsonError> read_limit_order_request(json::Reader& r) {
  return json::read_struct_with_base(r, "struct LimitOrderRequest", kFields,
                                     &LimitOrderRequest::base);
}

Expected<LimitOrderRequest, JsonError> parse_limit_order_request(std::string_view json) {
  return json::parse_document<LimitOrderRequest>(json, read_limit_order_request);
}

}  // namespace quillet::sdk::transaction
