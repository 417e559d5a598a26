// Many permutations through each lane kernel the processor runs, per state,
// beside the single permutation of poseidon_bench.cpp.
#include <benchmark/benchmark.h>

#include <vector>

#include <string>
#include <string_view>

#include "bench/stage_clock.hpp"
#include "crypto/poseidon/lanes.hpp"
#include "sdk/src/lib.hpp"
#include "sdk/src/batch/many.hpp"

namespace {

using quillet::poseidon::LaneKernel;

void BM_PermuteSqueezeMany(benchmark::State& st, LaneKernel k) {
  if (!quillet::cpu::runs(k)) {
    st.SkipWithError("kernel not available on this processor");
    return;
  }
  const auto& spec = quillet::poseidon::hasher_lane_spec();
  const size_t n = static_cast<size_t>(st.range(0));
  std::vector<quillet::poseidon::State> states(n, quillet::poseidon::State::initial());
  for (size_t i = 0; i < n; ++i) states[i].words[2] = quillet::field::Fr::from_u128(i, 0);
  std::vector<quillet::field::Fr> out(n);
  for (auto _ : st) {
    std::vector<quillet::poseidon::State> work = states;
    quillet::poseidon::permute_squeeze_many(spec, work, out, k);
    benchmark::DoNotOptimize(out.data());
  }
  st.SetItemsProcessed(static_cast<int64_t>(st.iterations() * n));
}
BENCHMARK_CAPTURE(BM_PermuteSqueezeMany, scalar, LaneKernel::scalar)->Arg(256);
BENCHMARK_CAPTURE(BM_PermuteSqueezeMany, ifma, LaneKernel::ifma)->Arg(8)->Arg(256);

}  // namespace

namespace {

// 256 transfers differing by nonce, as one batch.
std::vector<std::string> transfers() {
  std::vector<std::string> docs;
  for (int n = 0; n < 256; ++n) {
    docs.push_back(R"({"sender_position_id":"1","receiver_public_key":"0x2","receiver_position_id":"3",)"
                   R"("amount":"4","asset_id":"0x5","nonce":")" + std::to_string(n) +
                   R"(","public_key":"0x7","expiration_timestamp":"8"})");
  }
  return docs;
}

const std::string kBenchKey = "0x0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

void BM_HashTransferLoop(benchmark::State& st) {
  const auto docs = transfers();
  for (auto _ : st) {
    for (const auto& d : docs) benchmark::DoNotOptimize(quillet::sdk::hash_transfer(d));
  }
  st.SetItemsProcessed(static_cast<int64_t>(st.iterations() * docs.size()));
}
BENCHMARK(BM_HashTransferLoop);

void BM_HashTransferMany(benchmark::State& st) {
  const auto docs = transfers();
  const std::vector<std::string_view> views(docs.begin(), docs.end());
  for (auto _ : st) benchmark::DoNotOptimize(quillet::sdk::hash_many(quillet::sdk::DocumentKind::transfer, views));
  st.SetItemsProcessed(static_cast<int64_t>(st.iterations() * docs.size()));
  st.SetLabel(std::string(quillet::poseidon::lane_kernel_name(quillet::poseidon::lane_kernel())));
}
BENCHMARK(BM_HashTransferMany);

void BM_SignTransferLoop(benchmark::State& st) {
  const auto docs = transfers();
  for (auto _ : st) {
    for (const auto& d : docs) benchmark::DoNotOptimize(quillet::sdk::sign_transfer(d, kBenchKey));
  }
  st.SetItemsProcessed(static_cast<int64_t>(st.iterations() * docs.size()));
}
BENCHMARK(BM_SignTransferLoop);

void BM_SignTransferMany(benchmark::State& st) {
  const auto docs = transfers();
  const std::vector<std::string_view> views(docs.begin(), docs.end());
  for (auto _ : st) {
    benchmark::DoNotOptimize(quillet::sdk::sign_many(quillet::sdk::DocumentKind::transfer, views, kBenchKey));
  }
  st.SetItemsProcessed(static_cast<int64_t>(st.iterations() * docs.size()));
  st.SetLabel(std::string(quillet::poseidon::lane_kernel_name(quillet::poseidon::lane_kernel())));
}
BENCHMARK(BM_SignTransferMany);

// The serial fractions of sign_many and sign_messages on 256 items.
void BM_SignTransferManySerial(benchmark::State& st) {
  const auto docs = transfers();
  const std::vector<std::string_view> views(docs.begin(), docs.end());
  quillet::bench::time_serial_part(st, [&](const quillet::Spread& spread) {
    benchmark::DoNotOptimize(quillet::sdk::sign_many(quillet::sdk::DocumentKind::transfer, views, kBenchKey,
                                                     quillet::poseidon::lane_kernel(),
                                                     quillet::jubjub::fixed_base_kernel(), spread));
  });
}
BENCHMARK(BM_SignTransferManySerial)->Unit(benchmark::kMillisecond);

// Per stage of sign_many on two threads (bench/stage_clock.hpp).
void BM_SignTransferManyStages(benchmark::State& st) {
  const auto docs = transfers();
  const std::vector<std::string_view> views(docs.begin(), docs.end());
  quillet::bench::profile_stages(st, [&](const quillet::Spread& spread) {
    benchmark::DoNotOptimize(quillet::sdk::sign_many(quillet::sdk::DocumentKind::transfer, views, kBenchKey,
                                                     quillet::poseidon::lane_kernel(),
                                                     quillet::jubjub::fixed_base_kernel(), spread));
  });
}
BENCHMARK(BM_SignTransferManyStages)->Unit(benchmark::kMillisecond);

// Per stage of sign_many on real threads (argument: threads).
void BM_SignTransferManyRealStages(benchmark::State& st) {
  const auto docs = transfers();
  const std::vector<std::string_view> views(docs.begin(), docs.end());
  quillet::bench::time_real_stages(st, static_cast<unsigned>(st.range(0)), [&](const quillet::Spread& spread) {
    benchmark::DoNotOptimize(quillet::sdk::sign_many(quillet::sdk::DocumentKind::transfer, views, kBenchKey,
                                                     quillet::poseidon::lane_kernel(),
                                                     quillet::jubjub::fixed_base_kernel(), spread));
  });
}
BENCHMARK(BM_SignTransferManyRealStages)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

void BM_SignMessagesSerial(benchmark::State& st) {
  std::vector<std::string> msgs;
  for (int n = 0; n < 256; ++n) msgs.push_back("0x" + std::to_string(1000003 * n + 7));
  const std::vector<std::string_view> views(msgs.begin(), msgs.end());
  quillet::bench::time_serial_part(st, [&](const quillet::Spread& spread) {
    benchmark::DoNotOptimize(
        quillet::sdk::sign_messages(kBenchKey, views, quillet::jubjub::fixed_base_kernel(), spread));
  });
}
BENCHMARK(BM_SignMessagesSerial)->Unit(benchmark::kMillisecond);

}  // namespace
