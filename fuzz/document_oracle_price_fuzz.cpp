// The signed oracle price reader (object and array forms), and
// hash_signed_oracle_price, which returns the reader's error.
#include "fuzz/document_fuzz.hpp"
#include "sdk/src/documents/oracle_price_hash.hpp"

using namespace quillet;
namespace documents = sdk::documents;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return fuzz::fuzz_document<documents::SignedOraclePrice>(
      data, size,
      {&documents::parse_signed_oracle_price, &sdk::hash_signed_oracle_price,
       [](const documents::SignedOraclePrice& p) { return documents::oracle_price_hash(p); }});
}
