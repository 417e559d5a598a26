#include "sdk/src/documents/withdraw.hpp"

#include "sdk/src/json/struct_reader.hpp"
#include "sdk/src/documents/field_decoders.hpp"
#include "sdk/src/serde_wrapper/u64_serde.hpp"

namespace quillet::sdk::transaction {
namespace {

using json::Field;
using json::Reader;
using serde_wrapper::decode_key_hex;
using serde_wrapper::U256SerdeAsRadix16Prefix0xString;
using serde_wrapper::U64SerdeAsString;

constexpr std::array<Field<WithdrawRequest>, 4> kFields = {{
    {"position_id",
     [](Reader& r, WithdrawRequest& d) {
       return r.read_string(d.position_id, &U64SerdeAsString::decode);
     }},
    {"amount",
     [](Reader& r, WithdrawRequest& d) {
       return r.read_string(d.amount, &U64SerdeAsString::decode);
     }},
    {"eth_address",
     [](Reader& r, WithdrawRequest& d) { return r.read_string(d.eth_address, &decode_key_hex); }},
    {"asset_id",
     [](Reader& r, WithdrawRequest& d) {
       return r.read_string(d.asset_id, &U256SerdeAsRadix16Prefix0xString::decode);
     }},
}};

}  // namespace

Expected<WithdrawRequest, JsonError> parse_withdraw_request(std::string_view json) {
  return json::parse_document<WithdrawRequest>(json, [](Reader& r) {
    return json::read_struct_with_base(r, "struct WithdrawRequest", kFields,
                                       &WithdrawRequest::base);
  });
}

}  // namespace quillet::sdk::transaction
