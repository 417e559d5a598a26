// The limit order reader, and hash_limit_order: the reader's error is
// returned; a parsed order with a negative synthetic asset fails hard.
#include "fuzz/fuzz_support.hpp"
#include "sdk/src/lib.hpp"
#include "sdk/src/documents/limit_order.hpp"

using namespace quillet;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view json = fuzz::as_text(data, size);
  const auto parsed = sdk::documents::parse_limit_order_request(json);
  const auto hashed = fuzz::run([&] { return sdk::hash_limit_order(json); });
  if (!parsed) {
    fuzz::check(fuzz::has_position(parsed.error().to_string()), "error carries its position");
    fuzz::check(hashed.value && !hashed.value->has_value() &&
                    hashed.value->error().to_string() == parsed.error().to_string(),
                "hash_limit_order returns the parse error");
    return 0;
  }
  if (parsed->asset_id_synthetic < 0) {
    fuzz::check(hashed.hard_failure == "Unsigned integer can't be created from negative value",
                "negative synthetic asset fails hard", hashed.hard_failure);
    return 0;
  }
  fuzz::check(hashed.value && hashed.value->has_value() && fuzz::is_hex64(**hashed.value),
              "hash text form");
  return 0;
}
