#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "sdk/src/lib.hpp"

namespace {

namespace sdk = quillet::sdk;

const std::string kKey = "0x0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
const std::string kMsg = "0x1c7c6f1b2d0e5a9f3e8b7d6c5a4f3e2d1c0b9a8f7e6d5c4b3a2f1e0d9c8b7a6f";

// The nonce search draws a key- and message-dependent number of candidates
// (42 on average), so signing is timed over many messages.
const std::vector<std::string>& messages() {
  static const std::vector<std::string> m = [] {
    std::vector<std::string> out;
    for (int i = 0; i < 64; ++i) out.push_back(kMsg.substr(0, 60) + std::to_string(1000 + i));
    return out;
  }();
  return m;
}

void BM_SdkSign(benchmark::State& state) {
  size_t i = 0;
  for (auto _ : state) {
    auto sig = sdk::sign(kKey, messages()[i++ % messages().size()]);
    benchmark::DoNotOptimize(sig);
  }
}
BENCHMARK(BM_SdkSign)->Unit(benchmark::kMicrosecond);

void BM_SdkL1Sign(benchmark::State& state) {
  size_t i = 0;
  for (auto _ : state) {
    auto sig = sdk::l1_sign(messages()[i++ % messages().size()], kKey);
    benchmark::DoNotOptimize(sig);
  }
}
BENCHMARK(BM_SdkL1Sign)->Unit(benchmark::kMicrosecond);

void BM_SdkVerifySignature(benchmark::State& state) {
  const std::string json = sdk::to_json(*sdk::sign(kKey, kMsg));
  const std::string r = json.substr(6, 66);
  const std::string s = json.substr(79, 66);
  const std::string pk = sdk::private_key_to_pubkey_xy(kKey)->first;
  for (auto _ : state) {
    auto ok = sdk::verify_signature(r, s, pk, "", kMsg);
    benchmark::DoNotOptimize(ok);
  }
}
BENCHMARK(BM_SdkVerifySignature)->Unit(benchmark::kMicrosecond);

// Each call under another key, more keys than the decoded-key cache holds:
// every call decodes and checks its key. Argument 1: pub_key_y is the pair's
// y, as callers pass it (the key's square root is only checked); 0: empty.
void BM_SdkVerifySignatureDistinctKeys(benchmark::State& state) {
  struct Call {
    std::string r, s, pk, pk_y;
  };
  static const std::vector<Call> calls = [] {
    std::vector<Call> out;
    for (int i = 0; i < 1024; ++i) {
      const std::string key = kKey.substr(0, 62) + std::to_string(1000 + i);
      const std::string json = sdk::to_json(*sdk::sign(key, kMsg));
      const auto pair = *sdk::private_key_to_pubkey_xy(key);
      out.push_back({json.substr(6, 66), json.substr(79, 66), pair.first, pair.second});
    }
    return out;
  }();
  const bool with_y = state.range(0) != 0;
  size_t i = 0;
  for (auto _ : state) {
    const Call& c = calls[i++ % calls.size()];
    auto ok = sdk::verify_signature(c.r, c.s, c.pk, with_y ? c.pk_y : std::string(), kMsg);
    benchmark::DoNotOptimize(ok);
  }
}
BENCHMARK(BM_SdkVerifySignatureDistinctKeys)->Arg(1)->Arg(0)->Unit(benchmark::kMicrosecond);

void BM_PrivateKeyToPubkeyXy(benchmark::State& state) {
  for (auto _ : state) {
    auto pair = sdk::private_key_to_pubkey_xy(kKey);
    benchmark::DoNotOptimize(pair);
  }
}
BENCHMARK(BM_PrivateKeyToPubkeyXy)->Unit(benchmark::kMicrosecond);

void BM_PubKeyToXy(benchmark::State& state) {
  const std::string pk = sdk::private_key_to_pubkey_xy(kKey)->first;
  for (auto _ : state) {
    auto pair = sdk::pub_key_to_xy(pk);
    benchmark::DoNotOptimize(pair);
  }
}
BENCHMARK(BM_PubKeyToXy)->Unit(benchmark::kMicrosecond);

}  // namespace
