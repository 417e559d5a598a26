#include "sdk/src/documents/oracle_price.hpp"

#include "sdk/src/documents/field_decoders.hpp"
#include "sdk/src/documents/field_table.hpp"

namespace quillet::sdk::documents {
namespace {

using Price = SignedOraclePrice;

constexpr std::array<json::Field<Price>, 4> kFields = {{
    field<&Price::signer_key, &decode_key_hex>("signer_key"),
    field<&Price::external_price, &U128SerdeAsString::decode>("external_price"),
    field<&Price::timestamp, &U32SerdeAsString::decode>("timestamp"),
    field<&Price::signed_asset_id, &U256SerdeAsRadix16Prefix0xString::decode>("signed_asset_id"),
}};

}  // namespace

Expected<SignedOraclePrice, JsonError> parse_signed_oracle_price(std::string_view json) {
  return json::parse_document<SignedOraclePrice>(json, [](json::Reader& r) {
    return json::read_struct_or_tuple(r, "SignedOraclePrice", kFields);
  });
}

}  // namespace quillet::sdk::documents
