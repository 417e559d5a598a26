#include "sdk/src/documents/transfer.hpp"

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

constexpr std::array<Field<Transfer>, 5> kFields = {{
    {"sender_position_id",
     [](Reader& r, Transfer& d) {
       return r.read_string(d.sender_position_id, &U64SerdeAsString::decode);
     }},
    {"receiver_public_key",
     [](Reader& r, Transfer& d) { return r.read_string(d.receiver_public_key, &decode_key_hex); }},
    {"receiver_position_id",
     [](Reader& r, Transfer& d) {
       return r.read_string(d.receiver_position_id, &U64SerdeAsString::decode);
     }},
    {"amount",
     [](Reader& r, Transfer& d) { return r.read_string(d.amount, &U64SerdeAsString::decode); }},
    {"asset_id",
     [](Reader& r, Transfer& d) {
       return r.read_string(d.asset_id, &U256SerdeAsRadix16Prefix0xString::decode);
     }},
}};

}  // namespace

Expected<Transfer, JsonError> parse_transfer(std::string_view json) {
  return json::parse_document<Transfer>(json, [](Reader& r) {
    return json::read_struct_with_base(r, "struct Transfer", kFields, &Transfer::base);
  });
}

}  // namespace quillet::sdk::transaction
