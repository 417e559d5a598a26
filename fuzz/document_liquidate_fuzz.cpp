// The liquidation reader (object and array forms), and hash_liquidate, which
// hashes exactly like the liquidator's order.
#include "fuzz/document_fuzz.hpp"
#include "sdk/src/documents/limit_order_hash.hpp"
#include "sdk/src/documents/liquidate.hpp"

using namespace quillet;
namespace documents = sdk::documents;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return fuzz::fuzz_document<documents::Liquidate>(
      data, size, {&documents::parse_liquidate, &sdk::hash_liquidate, [](const documents::Liquidate& l) {
                     return documents::limit_order_hash_internal(
                         documents::LimitOrderHashInput::from(l.liquidator_order));
                   }});
}
