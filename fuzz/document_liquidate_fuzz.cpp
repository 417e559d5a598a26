// The liquidation reader (object and array forms), and hash_liquidate, which
// hashes exactly like the liquidator's order.
#include "fuzz/fuzz_support.hpp"
#include "sdk/src/hashing/message_hash.hpp"
#include "sdk/src/lib.hpp"
#include "sdk/src/documents/limit_order_hash.hpp"
#include "sdk/src/documents/liquidate.hpp"

using namespace quillet;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view json = fuzz::as_text(data, size);
  const auto parsed = sdk::documents::parse_liquidate(json);
  const auto hashed = fuzz::run([&] { return sdk::hash_liquidate(json); });
  if (!parsed) {
    fuzz::check(fuzz::has_position(parsed.error().to_string()), "error carries its position");
    fuzz::check(hashed.value && !hashed.value->has_value() &&
                    hashed.value->error().to_string() == parsed.error().to_string(),
                "hash_liquidate returns the parse error");
    return 0;
  }
  if (parsed->liquidator_order.asset_id_synthetic < 0) {
    fuzz::check(hashed.hard_failure == "Unsigned integer can't be created from negative value",
                "negative synthetic asset fails hard", hashed.hard_failure);
    return 0;
  }
  fuzz::check(hashed.value && hashed.value->has_value() && fuzz::is_hex64(**hashed.value),
              "hash text form");
  const auto order = sdk::documents::LimitOrderHashInput::from(parsed->liquidator_order);
  fuzz::check(**hashed.value == sdk::hash_text(sdk::documents::limit_order_hash_internal(order)),
              "a liquidation hashes as its order");
  return 0;
}
