// verify_many on 256 items against verify_signature on the same items, per
// item: all valid from 16 keys, all valid from distinct keys, one wrong.
#include <benchmark/benchmark.h>

#include <chrono>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "bench/stage_clock.hpp"
#include "threads/thread_spread.hpp"
#include "crypto/jubjub/msm/msm.hpp"
#include "crypto/jubjub/params.hpp"
#include "sdk/src/lib.hpp"
#include "sdk/src/batch/verify_many.hpp"

namespace {

namespace sdk = quillet::sdk;

constexpr size_t kItems = 256;

struct Batch {
  std::vector<std::string> texts;
  std::vector<sdk::VerifyArgs> items;
};

// kItems signatures from `keys` keys in turn; item `wrong` (if any) gets the
// S of another message.
const Batch& batch(size_t keys, bool one_wrong) {
  static std::map<std::pair<size_t, bool>, Batch> made;  // nodes never move
  const auto [it, fresh] = made.try_emplace({keys, one_wrong});
  Batch& b = it->second;
  if (!fresh) return b;
  b.texts.reserve(5 * kItems);
  for (size_t i = 0; i < kItems; ++i) {
    const std::string seed = "verify_many bench key " + std::to_string(i % keys) + " of 32 bytes or more";
    const std::string key = *sdk::private_key_from_seed({reinterpret_cast<const uint8_t*>(seed.data()), seed.size()});
    const std::string msg = "0x" + std::to_string(1000003 * (i + 1));
    const std::string sig = sdk::to_json(*sdk::sign(key, msg));
    const std::string other = sdk::to_json(*sdk::sign(key, msg + "1"));
    const auto pub = *sdk::private_key_to_pubkey_xy(key);
    const bool wrong = one_wrong && i == kItems / 3;
    for (std::string t : {sig.substr(6, 66), (wrong ? other : sig).substr(79, 66), pub.first, pub.second, msg}) {
      b.texts.push_back(std::move(t));
    }
    const std::string* t = &b.texts[5 * i];
    b.items.push_back({t[0], t[1], t[2], t[3], t[4]});
  }
  return b;
}

void BM_VerifyMany(benchmark::State& state) {
  const Batch& b = batch(static_cast<size_t>(state.range(0)), state.range(1) != 0);
  for (auto _ : state) benchmark::DoNotOptimize(sdk::verify_many(b.items));
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kItems));
}
// Arguments: keys, one wrong item.
BENCHMARK(BM_VerifyMany)->Args({16, 0})->Args({256, 0})->Args({16, 1})->Unit(benchmark::kMillisecond);

// verify_many's serial fraction s, and the speed-up two threads could reach
// by Amdahl's law, 1 / (s + (1 - s) / 2).
void BM_VerifyManySerial(benchmark::State& state) {
  const Batch& b = batch(static_cast<size_t>(state.range(0)), state.range(1) != 0);
  quillet::bench::time_serial_part(
      state, [&](const quillet::Spread& spread) { benchmark::DoNotOptimize(sdk::verify_many(b.items, spread)); });
}
BENCHMARK(BM_VerifyManySerial)->Args({16, 0})->Args({256, 0})->Unit(benchmark::kMillisecond);

// Per stage of verify_many on two threads (StageProfile): pieces, one
// thread's time and two threads', the serial work before each, in µs.
void BM_VerifyManyStages(benchmark::State& state) {
  const Batch& b = batch(static_cast<size_t>(state.range(0)), state.range(1) != 0);
  quillet::bench::profile_stages(
      state, [&](const quillet::Spread& spread) { benchmark::DoNotOptimize(sdk::verify_many(b.items, spread)); });
}
BENCHMARK(BM_VerifyManyStages)->Args({16, 0})->Args({256, 0})->Unit(benchmark::kMillisecond);

void BM_VerifyManyRealStages(benchmark::State& state) {
  const Batch& b = batch(static_cast<size_t>(state.range(1)), false);
  quillet::bench::time_real_stages(state, static_cast<unsigned>(state.range(0)), [&](const quillet::Spread& spread) {
    benchmark::DoNotOptimize(sdk::verify_many(b.items, spread));
  });
}
// Arguments: threads, keys.
BENCHMARK(BM_VerifyManyRealStages)->ArgsProduct({{1, 2}, {16, 256}})->Unit(benchmark::kMillisecond);

void BM_VerifyLoop(benchmark::State& state) {
  const Batch& b = batch(static_cast<size_t>(state.range(0)), state.range(1) != 0);
  for (auto _ : state) {
    for (const sdk::VerifyArgs& a : b.items) {
      benchmark::DoNotOptimize(sdk::verify_signature(a.sig_r, a.sig_s, a.pub_key_x, a.pub_key_y, a.msg));
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kItems));
}
BENCHMARK(BM_VerifyLoop)->Args({16, 0})->Args({256, 0})->Args({16, 1})->Unit(benchmark::kMillisecond);

// The bucket method alone on 256 terms, by kernel (0 scalar, 2 IFMA where
// it runs), scalar bits and window: the figures behind msm.cpp's costs.
void BM_BucketMsm(benchmark::State& state) {
  namespace j = quillet::jubjub;
  const auto kernel = static_cast<quillet::cpu::LaneKernel>(state.range(0));
  if (!quillet::cpu::runs(kernel)) {
    state.SkipWithError("kernel not here");
    return;
  }
  const j::AltJubjubBn256& params = j::jubjub_params();
  const quillet::field::Fr d2 = j::kEdwardsD2;
  std::vector<j::detail::Extended> points;
  std::vector<j::FsRepr> scalars;
  j::detail::Extended p = j::detail::PointAccess::coords(params.generator(j::kSigningBase));
  const auto bits = static_cast<unsigned>(state.range(1));
  for (size_t i = 0; i < kItems; ++i) {
    const quillet::field::Fr inv = p.z.inverse_vartime().value();
    points.push_back({p.x * inv, p.y * inv, p.t * inv, quillet::field::Fr::one()});
    p = j::detail::add_points(p, p, d2);
    j::FsRepr k{};
    for (size_t w = 0; w < 4; ++w) k[w] = 0x9e3779b97f4a7c15ULL * (4 * i + w + 1);
    for (unsigned b = bits; b < 256; ++b) k[b / 64] &= ~(uint64_t{1} << (b % 64));
    scalars.push_back(k);
  }
  const auto window = static_cast<unsigned>(state.range(2));
  for (auto _ : state) {
    benchmark::DoNotOptimize(j::detail::msm_with_window_vartime(points, scalars, bits, window, d2, kernel));
  }
}
BENCHMARK(BM_BucketMsm)
    ->ArgsProduct({{0, 2}, {128, 252}, {5, 6, 7, 8}})
    ->Unit(benchmark::kMicrosecond);

}  // namespace
