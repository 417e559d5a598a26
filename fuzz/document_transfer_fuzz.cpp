// The transfer reader, and hash_transfer, which fails hard on exactly the
// documents the reader refuses, with the reader's error in its debug form.
#include "fuzz/fuzz_support.hpp"
#include "sdk/src/hashing/message_hash.hpp"
#include "sdk/src/lib.hpp"
#include "sdk/src/documents/transfer.hpp"
#include "sdk/src/documents/transfer_hash.hpp"

using namespace quillet;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view json = fuzz::as_text(data, size);
  const auto parsed = sdk::documents::parse_transfer(json);
  const auto hashed = fuzz::run([&] { return sdk::hash_transfer(json); });
  if (!parsed) {
    fuzz::check(fuzz::has_position(parsed.error().to_string()), "error carries its position");
    fuzz::check(!hashed.value, "hash_transfer accepted a refused document");
    fuzz::check(hashed.hard_failure == std::string(kUnwrapErr) + parsed.error().debug(),
                "hard failure shows the parse error", hashed.hard_failure);
    return 0;
  }
  fuzz::check(hashed.value && hashed.value->has_value(), "hash_transfer refused a parsed document");
  fuzz::check(fuzz::is_hex64(**hashed.value), "hash text form", **hashed.value);
  fuzz::check(**hashed.value == sdk::hash_text(sdk::documents::transfer_hash_internal(*parsed)),
              "hash of the parsed document");
  return 0;
}
