// The entry points called from several threads at once, from the first call
// of the process on (so the one-time tables are built under contention):
// every thread gets exactly what a lone caller gets. Batch callers run the
// core like this, without any lock of their own.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "sdk/src/lib.hpp"

namespace quillet::sdk {
namespace {

std::string order(int nonce) {
  return R"({"amount_synthetic":"10","amount_collateral":"20","amount_fee":"3",)"
         R"("asset_id_synthetic":"0x1f","asset_id_collateral":"0x2","position_id":"11",)"
         R"("is_buying_synthetic":true,"nonce":")" +
         std::to_string(nonce) + R"(","public_key":"0x99","expiration_timestamp":"1700000000"})";
}

std::string key(int index) {
  std::string text = "0x0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcde0";
  text.back() = "0123456789abcdef"[index % 16];
  return text;
}

// Hash, signature, message signature and verification of one item, as text.
std::string work(int item) {
  const std::string doc = order(item);
  const std::string k = key(item);
  std::string out = *hash_limit_order(doc);
  const keys::JubjubSignature order_sig = *sign_limit_order(doc, k);
  out += to_json(order_sig);
  const std::string msg = "0x" + std::to_string(1000 + item);
  const std::string sig = to_json(*sign(k, msg));
  out += sig;
  const auto pub = *private_key_to_pubkey_xy(k);
  const std::string r = sig.substr(6, 66);
  const std::string s = sig.substr(79, 66);
  out += *verify_signature(r, s, pub.first, pub.second, msg) ? "valid" : "invalid";
  return out;
}

TEST(Concurrency, ThreadsGetWhatALoneCallerGets) {
  constexpr int kThreads = 4;
  constexpr int kItemsPerThread = 3;
  std::vector<std::vector<std::string>> results(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &results] {
      for (int i = 0; i < kItemsPerThread; ++i) results[t].push_back(work(t * kItemsPerThread + i));
    });
  }
  for (std::thread& thread : threads) thread.join();

  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kItemsPerThread; ++i) {
      const std::string alone = work(t * kItemsPerThread + i);
      EXPECT_EQ(results[t][i], alone);
      EXPECT_TRUE(alone.ends_with("valid") && !alone.ends_with("invalid"));
    }
  }
}

}  // namespace
}  // namespace quillet::sdk
