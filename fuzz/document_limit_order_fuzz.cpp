// The limit order reader, and hash_limit_order: the reader's error is
// returned; a parsed order with a negative synthetic asset fails hard.
#include "fuzz/document_fuzz.hpp"
#include "sdk/src/documents/limit_order_hash.hpp"

using namespace quillet;
namespace documents = sdk::documents;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return fuzz::fuzz_document<documents::LimitOrderRequest>(
      data, size,
      {&documents::parse_limit_order_request, &sdk::hash_limit_order, [](const documents::LimitOrderRequest& o) {
         return documents::limit_order_hash_internal(documents::LimitOrderHashInput::from(o));
       }});
}
