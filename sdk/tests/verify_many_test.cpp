// verify_many against verify_signature, item by item, on well-formed,
// wrong, malformed and small-order inputs in any order.
#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <deque>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "threads/thread_spread.hpp"
#include "sdk/src/lib.hpp"
#include "sdk/src/batch/verify_many.hpp"

namespace quillet::sdk {
namespace {

std::string describe(const ItemResult<bool>& o) {
  if (!o) return "hard failure: " + o.error().text();
  if (!o.value()) return "error: " + o.value().error().to_string();
  return *o.value() ? "true" : "false";
}

// The calling thread alone, stages cut as for three threads: ranges of
// items meet the same keys.
class ThreeRanges final : public Spread {
 public:
  unsigned width() const noexcept override { return 3; }
};

void expect_matches_single(const std::vector<VerifyArgs>& items, const Spread& spread = serial_spread()) {
  const std::vector<ItemResult<bool>> got = verify_many(items, spread);
  ASSERT_EQ(got.size(), items.size());
  for (size_t i = 0; i < items.size(); ++i) {
    EXPECT_EQ(describe(got[i]), describe(verify_one(items[i])))
        << "item " << i << ": " << items[i].sig_r << " " << items[i].sig_s << " " << items[i].pub_key_x << " "
        << items[i].msg;
  }
}

struct Texts {
  std::deque<std::string> keep;  // owns every text the items point into (never moved)
  std::vector<VerifyArgs> items;
};

const Texts& cases() {
  static const Texts texts = [] {
    Texts t;
    const auto text = [&](std::string s) -> std::string_view { return t.keep.emplace_back(std::move(s)); };
    const std::string zeros(64, '0');
    const std::string s_order = "0x060c89ce5c263405370a08b6d0302b0bab3eedb83920ee0a677297dc392126f1";
    for (char fill : {'a', 'b', 'c'}) {
      const std::string seed(40, fill);
      const std::string key = *private_key_from_seed({reinterpret_cast<const uint8_t*>(seed.data()), seed.size()});
      const auto xy = *private_key_to_pubkey_xy(key);
      const std::string msg = std::string("0x") + fill + "1234";
      const std::string sig = to_json(*sign(key, msg));
      const std::string_view r = text(sig.substr(6, 66)), s = text(sig.substr(79, 66));
      const std::string_view pub = text(xy.first), pub_y = text(xy.second), m = text(msg);
      std::string upper = xy.first.substr(2);
      for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      const std::string_view s_plus_one = text(to_json(*sign(key, "0x77")).substr(79, 66));
      t.items.insert(t.items.end(), {
          {r, s, pub, pub_y, m},                          // valid
          {r, s, text(upper), "", m},                     // the same key in other text
          {r, s, pub, pub_y, text(msg + "5")},            // other message
          {r, s_plus_one, pub, pub_y, m},                 // other S
          {text("0x" + zeros), s, pub, "", m},            // R of order 4 (y = 0)
          {text("0x" + zeros.substr(1) + "1"), s, pub, "", m},  // R neutral
          {text("zz"), s, pub, "", m},                    // R text malformed: hard failure
          {text("0x" + std::string(64, 'f')), s, pub, "", m},   // R not decodable: hard failure
          {r, text(s_order), pub, "", m},                 // S out of range: hard failure
          {r, s, pub, "", text("0xzz")},                  // message error
          {r, s, text("0xzz"), "", m},                    // key text error
          {r, s, text("0x" + std::string(63, 'f') + "0"), "", m},  // key not decodable: hard failure
          {r, s, text("0x1"), "", m},                     // small-value rule: the neutral key
          {r, s, text("0x2"), "", m},                     // small-value rule: off the curve, an error
          {r, s, text("0x" + zeros), "", m},              // key of order 4
          {r, s, pub, pub, m},                            // pub_key_y not the key's x
      });
    }
    return t;
  }();
  return texts;
}

TEST(VerifyMany, EachItemAsVerifySignatureGivesIt) {
  const std::vector<VerifyArgs>& all = cases().items;
  expect_matches_single({});
  expect_matches_single(all);
  expect_matches_single(all, ThreeRanges());
  for (const VerifyArgs& item : all) expect_matches_single({item});
  std::mt19937_64 rng(19);
  for (int round = 0; round < 10; ++round) {
    std::vector<VerifyArgs> mixed;
    const size_t n = 1 + rng() % 60;
    for (size_t i = 0; i < n; ++i) mixed.push_back(all[rng() % all.size()]);
    expect_matches_single(mixed, round % 2 == 0 ? serial_spread() : ThreeRanges());
  }
}

TEST(VerifyMany, OneWrongSignatureAmongManyValidOnes) {
  const std::vector<VerifyArgs>& all = cases().items;
  std::vector<VerifyArgs> items;
  for (size_t i = 0; i < 100; ++i) items.push_back(all[(i % 3) * 16]);  // the three valid ones
  items[37] = all[3];                                                    // other S
  const std::vector<ItemResult<bool>> got = verify_many(items);
  for (size_t i = 0; i < items.size(); ++i) EXPECT_EQ(describe(got[i]), i == 37 ? "false" : "true") << i;
}

TEST(Concurrency, BatchVerifiersWithHelpersAtOnceGetALoneCallersVerdicts) {
  // Enough points for the subgroup queries, whose partial products cross
  // between threads, and an R plan in the tables each caller keeps.
  const std::vector<VerifyArgs>& all = cases().items;
  std::vector<VerifyArgs> items;
  for (size_t i = 0; i < 130; ++i) items.push_back(all[(i % 3) * 16]);
  items[77] = all[3];
  std::vector<std::string> alone;
  for (const ItemResult<bool>& r : verify_many(items)) alone.push_back(describe(r));
  std::atomic<int> wrong{0};
  std::vector<std::thread> callers;
  for (int c = 0; c < 3; ++c) {
    callers.emplace_back([&] {
      const ThreadSpread spread(2);
      for (int round = 0; round < 2; ++round) {
        const std::vector<ItemResult<bool>> got = verify_many(items, spread);
        for (size_t i = 0; i < got.size(); ++i) wrong.fetch_add(describe(got[i]) == alone[i] ? 0 : 1);
      }
    });
  }
  for (std::thread& caller : callers) caller.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace quillet::sdk
