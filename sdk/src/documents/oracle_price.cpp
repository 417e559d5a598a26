#include "sdk/src/documents/oracle_price.hpp"

#include "sdk/src/json/struct_reader.hpp"
#include "sdk/src/serde_wrapper/i128_serde.hpp"
#include "sdk/src/documents/field_decoders.hpp"
#include "sdk/src/serde_wrapper/u32_serde.hpp"

namespace quillet::sdk::transaction {
namespace {

using json::Field;
using json::Reader;
using serde_wrapper::decode_key_hex;
using serde_wrapper::U128SerdeAsString;
using serde_wrapper::U256SerdeAsRadix16Prefix0xString;
using serde_wrapper::U32SerdeAsString;

constexpr std::array<Field<SignedOraclePrice>, 4> kFields = {{
    {"signer_key",
     [](Reader& r, SignedOraclePrice& d) { return r.read_string(d.signer_key, &decode_key_hex); }},
    {"external_price",
     [](Reader& r, SignedOraclePrice& d) {
       return r.read_string(d.external_price, &U128SerdeAsString::decode);
     }},
    {"timestamp",
     [](Reader& r, SignedOraclePrice& d) {
       return r.read_string(d.timestamp, &U32SerdeAsString::decode);
     }},
    {"signed_asset_id",
     [](Reader& r, SignedOraclePrice& d) {
       return r.read_string(d.signed_asset_id, &U256SerdeAsRadix16Prefix0xString::decode);
     }},
}};

}  // namespace

Expected<SignedOraclePrice, JsonError> parse_signed_oracle_price(std::string_view json) {
  return json::parse_document<SignedOraclePrice>(json, [](Reader& r) {
    return json::read_struct_or_tuple(r, "SignedOraclePrice", kFields);
  });
}

}  // namespace quillet::sdk::transaction
