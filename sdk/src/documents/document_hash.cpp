#include "sdk/src/documents/document_hash.hpp"

#include <string>

#include "crypto/failure.hpp"
#include "sdk/src/documents/limit_order_hash.hpp"
#include "sdk/src/documents/liquidate.hpp"
#include "sdk/src/documents/oracle_price_hash.hpp"
#include "sdk/src/documents/transfer_hash.hpp"
#include "sdk/src/documents/withdraw_hash.hpp"
#include "sdk/src/json/json_error.hpp"

namespace quillet::sdk::documents {
namespace {

Error parse_error(const JsonError& e) { return Error(e.to_string()); }

}  // namespace

Result<hashing::HashWords> document_hash(DocumentKind kind, std::string_view json, poseidon::Squeezer* squeezer) {
  switch (kind) {
    case DocumentKind::transfer: {
      // A transfer that does not parse fails hard, showing the error's debug form.
      const auto transfer = parse_transfer(json);
      if (!transfer) fail_hard(std::string(kUnwrapErr) + transfer.error().debug());
      return transfer_hash_internal(*transfer, squeezer);
    }
    case DocumentKind::withdraw: {
      const auto withdrawal = parse_withdraw_request(json);
      if (!withdrawal) return unexpected(parse_error(withdrawal.error()));
      return withdrawal_hash(WithdrawalHashInput::from(*withdrawal), withdrawal->asset_id, squeezer);
    }
    case DocumentKind::limit_order: {
      const auto order = parse_limit_order_request(json);
      if (!order) return unexpected(parse_error(order.error()));
      return limit_order_hash_internal(LimitOrderHashInput::from(*order), squeezer);
    }
    case DocumentKind::liquidate: {
      const auto liquidation = parse_liquidate(json);
      if (!liquidation) return unexpected(parse_error(liquidation.error()));
      return limit_order_hash_internal(LimitOrderHashInput::from(liquidation->liquidator_order), squeezer);
    }
    case DocumentKind::signed_oracle_price: {
      const auto price = parse_signed_oracle_price(json);
      if (!price) return unexpected(parse_error(price.error()));
      return oracle_price_hash(*price, squeezer);
    }
  }
  fail_hard("internal error: unknown document kind");
}

Error rejected_key(DocumentKind kind, Error error) {
  if (kind == DocumentKind::transfer || kind == DocumentKind::withdraw) {
    fail_hard(std::string(kUnwrapErr) + error.to_string());
  }
  return error;
}

}  // namespace quillet::sdk::documents
