// Many documents at once: every item's outcome is that of its single call,
// on every lane kernel this processor runs.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "threads/thread_spread.hpp"
#include "sdk/src/lib.hpp"
#include "sdk/src/batch/many.hpp"

namespace quillet::sdk {
namespace {

using poseidon::LaneKernel;

const std::string kKey = "0x0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
// Keys of a batch: valid ones, then rejected texts (not hex, above the order).
const std::string kKeys[] = {kKey, "0x01", "zz", "0x" + std::string(64, 'f')};

// The calling thread alone, and three threads sharing a batch's stages.
std::array<const Spread*, 2> spreads() {
  static const ThreadSpread three(3);
  return {&serial_spread(), &three};
}

std::string order(int nonce, bool buying, const char* synthetic = "0x1f") {
  return R"({"amount_synthetic":"10","amount_collateral":"20","amount_fee":"3","asset_id_synthetic":")" +
         std::string(synthetic) + R"(","asset_id_collateral":"0x2","position_id":"11","is_buying_synthetic":)" +
         (buying ? "true" : "false") + R"(,"nonce":")" + std::to_string(nonce) +
         R"(","public_key":"0x99","expiration_timestamp":"1700000000"})";
}

// Documents of `kind`: valid ones varying by nonce (for a withdrawal, to its
// owner and to another address in turn), then failing ones.
std::vector<std::string> documents(DocumentKind kind) {
  std::vector<std::string> docs;
  for (int n = 0; n < 19; ++n) {
    const std::string nonce = std::to_string(n);
    switch (kind) {
      case DocumentKind::transfer:
        docs.push_back(R"({"sender_position_id":"1","receiver_public_key":"0x2","receiver_position_id":"3",)"
                       R"("amount":"4","asset_id":"0x5","nonce":")" + nonce +
                       R"(","public_key":"0x7","expiration_timestamp":"8"})");
        break;
      case DocumentKind::withdraw:
        docs.push_back(R"({"position_id":"1","amount":"2","eth_address":")" +
                       std::string(n % 2 == 0 ? "0x6" : "0x3") + R"(","asset_id":"0x4","nonce":")" + nonce +
                       R"(","public_key":"0x6","expiration_timestamp":"7"})");
        break;
      case DocumentKind::limit_order:
        docs.push_back(order(n, n % 2 == 0));
        break;
      case DocumentKind::liquidate:
        docs.push_back(R"({"liquidator_order":)" + order(n, n % 3 == 0) +
                       R"(,"liquidated_position_id":"1","actual_collateral":"2","actual_synthetic":"3",)"
                       R"("actual_liquidator_fee":"4"})");
        break;
      case DocumentKind::signed_oracle_price:
        docs.push_back(R"({"signer_key":"0x1","external_price":")" + nonce +
                       R"(","timestamp":"3","signed_asset_id":"0x4"})");
        break;
    }
  }
  docs.insert(docs.begin() + 5, "{}");
  docs.push_back("not json");
  docs.push_back(order(1, true, "0x-1"));  // a negative synthetic asset fails hard
  return docs;
}

template <class T>
std::string describe(const ItemResult<T>& r) {
  if (!r) return "hard: " + r.error().text();
  if (!r.value()) return "error: " + r.value().error().to_string();
  if constexpr (std::is_same_v<T, std::string>) {
    return *r.value();
  } else if constexpr (std::is_same_v<T, hashing::HashChars>) {
    return std::string(r.value()->data(), r.value()->size());
  } else {
    return to_json(*r.value());
  }
}

template <class F>
std::string describe_single(F f) {
  return describe(run_item(f));
}

TEST(Many, EveryItemAsItsSingleCallOnEveryKernel) {
  using HashFn = Result<std::string> (*)(std::string_view);
  using SignFn = Result<keys::JubjubSignature> (*)(std::string_view, std::string_view);
  struct Case {
    DocumentKind kind;
    HashFn hash;
    SignFn sign;
  };
  const Case cases[] = {{DocumentKind::transfer, hash_transfer, sign_transfer},
                        {DocumentKind::withdraw, hash_withdraw, sign_withdraw},
                        {DocumentKind::limit_order, hash_limit_order, sign_limit_order},
                        {DocumentKind::liquidate, hash_liquidate, sign_liquidate},
                        {DocumentKind::signed_oracle_price, hash_signed_oracle_price, sign_signed_oracle_price}};
  for (const Case& c : cases) {
    const std::vector<std::string> docs = documents(c.kind);
    const std::vector<std::string_view> views(docs.begin(), docs.end());
    std::vector<std::string> hashes;
    for (const std::string& d : docs) hashes.push_back(describe_single([&] { return c.hash(d); }));
    for (LaneKernel k : {LaneKernel::scalar, LaneKernel::emulated, LaneKernel::ifma}) {
      if (!cpu::runs(k)) continue;
      const auto hashed = hash_many(c.kind, views, k);
      ASSERT_EQ(hashed.size(), docs.size());
      for (size_t i = 0; i < docs.size(); ++i) {
        EXPECT_EQ(describe(hashed[i]), hashes[i]) << lane_kernel_name(k) << " item " << i;
      }
      for (const std::string& key : kKeys) {
        for (const Spread* spread : spreads()) {
          // The same kernel for the permutations and the nonces' multiples.
          const auto signed_ = sign_many(c.kind, views, key, k, k, *spread);
          ASSERT_EQ(signed_.size(), docs.size());
          for (size_t i = 0; i < docs.size(); ++i) {
            EXPECT_EQ(describe(signed_[i]), describe_single([&] { return c.sign(docs[i], key); }))
                << lane_kernel_name(k) << " key " << key << " item " << i << " width " << spread->width();
          }
        }
      }
    }
  }
}

TEST(Many, MessagesSignedTogetherAsAlone) {
  // Zero, the largest value, s, repeats, and texts refused as hex.
  const std::vector<std::string_view> msgs = {
      "0x0", "0x" "ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff",
      "0x060c89ce5c263405370a08b6d0302b0bab3eedb83920ee0a677297dc392126f1", "0x5", "0x5", "g", "0X1", ""};
  for (LaneKernel k : {LaneKernel::scalar, LaneKernel::emulated, LaneKernel::ifma}) {
    if (!cpu::runs(k)) continue;
    for (const std::string& key : kKeys) {
      for (const Spread* spread : spreads()) {
        const auto together = sign_messages(key, msgs, k, *spread);
        ASSERT_EQ(together.size(), msgs.size());
        for (size_t i = 0; i < msgs.size(); ++i) {
          EXPECT_EQ(describe(together[i]), describe_single([&] { return sign(key, msgs[i]); }))
              << lane_kernel_name(k) << " " << key << " " << i << " width " << spread->width();
        }
      }
    }
  }
}

// Run by the thread sanitizer's build with the other concurrency tests: a
// batch long enough for every stage to cut several ranges per thread.
TEST(Concurrency, BatchSigningOnThreadsAsOnOne) {
  std::vector<std::string> docs;
  std::vector<std::string> msgs;
  for (int n = 0; n < 40; ++n) {
    docs.push_back(order(n, n % 2 == 0));
    msgs.push_back("0x" + std::to_string(977 * n + 3));
  }
  const std::vector<std::string_view> doc_views(docs.begin(), docs.end());
  const std::vector<std::string_view> msg_views(msgs.begin(), msgs.end());
  const auto texts = [](const auto& results) {
    std::vector<std::string> out;
    for (const auto& r : results) out.push_back(describe(r));
    return out;
  };
  const auto alone_docs = texts(sign_many(DocumentKind::limit_order, doc_views, kKey));
  const auto alone_msgs = texts(sign_messages(kKey, msg_views));
  for (unsigned threads : {2U, 3U}) {
    const ThreadSpread spread(threads);
    EXPECT_EQ(texts(sign_many(DocumentKind::limit_order, doc_views, kKey, poseidon::lane_kernel(),
                              jubjub::fixed_base_kernel(), spread)),
              alone_docs)
        << threads;
    EXPECT_EQ(texts(sign_messages(kKey, msg_views, jubjub::fixed_base_kernel(), spread)), alone_msgs) << threads;
  }
}

}  // namespace
}  // namespace quillet::sdk
