// The withdrawal reader, and hash_withdraw, which returns the reader's error.
#include "fuzz/document_fuzz.hpp"
#include "sdk/src/documents/withdraw_hash.hpp"

using namespace quillet;
namespace documents = sdk::documents;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return fuzz::fuzz_document<documents::WithdrawRequest>(
      data, size,
      {&documents::parse_withdraw_request, &sdk::hash_withdraw, [](const documents::WithdrawRequest& w) {
         return documents::withdrawal_hash(documents::WithdrawalHashInput::from(w), w.asset_id);
       }});
}
