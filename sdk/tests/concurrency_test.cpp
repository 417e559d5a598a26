// Entry points called from many threads at once. CTest runs every test in a
// process of its own, so the threads here are also the first users of the two
// constant tables and race to build them. Under the sanitizer build this is
// where a data race on first use or a use of a half-built table would show.
#include <gtest/gtest.h>

#include <functional>
#include <latch>
#include <string>
#include <thread>
#include <vector>

#include "sdk/src/lib.hpp"

namespace quillet::sdk {
namespace {

constexpr int kThreads = 8;
constexpr int kRounds = 3;

std::string key_of(int t) {
  const std::string seed = "concurrency test, thread " + std::to_string(t) + ", seed bytes";
  return private_key_from_seed({reinterpret_cast<const uint8_t*>(seed.data()), seed.size()}).value();
}

std::string transfer(int t) {
  return R"({"sender_position_id":")" + std::to_string(t) +
         R"(","receiver_public_key":"0x2","receiver_position_id":"3","amount":"4",)"
         R"("asset_id":"0x5","nonce":"6","public_key":"0x7","expiration_timestamp":"8"})";
}

const std::string kPrice = R"(["0x1","2","3","0x4"])";

// The outcomes of one thread's calls, in order, as text. Each thread starts
// with a different call so that both tables have several first users.
std::vector<std::string> work(int t) {
  const std::string key = key_of(t);
  const std::string msg = "0x" + std::to_string(1000 + t);
  std::vector<std::string> out;
  const std::vector<std::function<std::string()>> steps = {
      [&] { return hash_transfer(transfer(t)).value(); },
      [&] { return to_json(sign_transfer(transfer(t), key).value()); },
      [&] { return hash_signed_oracle_price(kPrice).value(); },
      [&] { return to_json(sign_signed_oracle_price(kPrice, key).value()); },
      [&] {
        const std::string sig = to_json(sign(key, msg).value());
        const auto xy = private_key_to_pubkey_xy(key).value();
        const bool good = verify_signature(sig.substr(6, 66), sig.substr(79, 66), xy.first, xy.second, msg).value();
        const bool bad = verify_signature(sig.substr(6, 66), sig.substr(79, 66), xy.first, xy.second, msg + "1").value();
        return sig + (good ? " verifies" : " FAILS") + (bad ? " FORGED" : " rejects other");
      },
      [&] { return to_json(l1_sign(msg, key).value()); },
  };
  for (int round = 0; round < kRounds; ++round) {
    for (size_t i = 0; i < steps.size(); ++i) out.push_back(steps[(i + t) % steps.size()]());
  }
  return out;
}

TEST(Concurrency, ThreadsAtFirstUseGiveTheSingleThreadedResults) {
  std::vector<std::vector<std::string>> got(kThreads);
  std::latch start(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      start.arrive_and_wait();
      got[t] = work(t);
    });
  }
  for (std::thread& th : threads) th.join();

  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(got[t], work(t)) << "thread " << t;
    for (const std::string& s : got[t]) EXPECT_EQ(s.find("FAILS"), std::string::npos) << s;
    for (const std::string& s : got[t]) EXPECT_EQ(s.find("FORGED"), std::string::npos) << s;
  }
}

}  // namespace
}  // namespace quillet::sdk
