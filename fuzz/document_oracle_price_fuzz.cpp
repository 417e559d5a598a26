// The signed oracle price reader (object and array forms), and
// hash_signed_oracle_price, which returns the reader's error.
#include "fuzz/fuzz_support.hpp"
#include "sdk/src/lib.hpp"
#include "sdk/src/documents/oracle_price.hpp"

using namespace quillet;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view json = fuzz::as_text(data, size);
  const auto parsed = sdk::documents::parse_signed_oracle_price(json);
  const auto hashed = sdk::hash_signed_oracle_price(json);
  if (!parsed) {
    fuzz::check(fuzz::has_position(parsed.error().to_string()), "error carries its position");
    fuzz::check(!hashed && hashed.error().to_string() == parsed.error().to_string(),
                "hash_signed_oracle_price returns the parse error");
    return 0;
  }
  fuzz::check(hashed && fuzz::is_hex64(*hashed), "hash text form");
  return 0;
}
