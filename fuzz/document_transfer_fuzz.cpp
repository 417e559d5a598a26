// The transfer reader, and hash_transfer, which fails hard on exactly the
// documents the reader refuses, with the reader's error in its debug form.
#include "fuzz/document_fuzz.hpp"
#include "sdk/src/documents/transfer_hash.hpp"

using namespace quillet;
namespace documents = sdk::documents;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return fuzz::fuzz_document<documents::Transfer>(
      data, size,
      {&documents::parse_transfer, &sdk::hash_transfer,
       [](const documents::Transfer& t) { return documents::transfer_hash_internal(t); }, true});
}
