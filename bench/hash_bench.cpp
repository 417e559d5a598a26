// The five hash entry points of the core library on one sample document each,
// and the transfer document's parse and hash on their own: where the time of a
// hash goes besides its permutations.
#include <benchmark/benchmark.h>

#include <string_view>

#include "crypto/poseidon/poseidon.hpp"
#include "sdk/src/documents/transfer.hpp"
#include "sdk/src/documents/transfer_hash.hpp"
#include "sdk/src/lib.hpp"

namespace {

constexpr std::string_view kTransfer =
    R"({"sender_position_id":"1001","receiver_public_key":"0x2d1a3b4c5d6e7f8091a2b3c4d5e6f708192a3b4c5d6e7f8091a2b3c4d5e6f7",)"
    R"("receiver_position_id":"2002","amount":"250000000",)"
    R"("asset_id":"0x31857064564ed0ff978e687456963cba09c2c6985d8f9300a1de4962fafa054","nonce":"18",)"
    R"("public_key":"0x0f62b52c0d31d63d24b1f5bc8ee2bd2ae0a6d9b3cb7cd1b7e4b4a0e1e8c1f0aa","expiration_timestamp":"1767225600"})";

constexpr std::string_view kWithdraw =
    R"({"position_id":"1001","amount":"100000000","eth_address":"0x742d35cc6634c0532925a3b844bc454e4438f44e",)"
    R"("asset_id":"0x31857064564ed0ff978e687456963cba09c2c6985d8f9300a1de4962fafa054","nonce":"19",)"
    R"("public_key":"0x0f62b52c0d31d63d24b1f5bc8ee2bd2ae0a6d9b3cb7cd1b7e4b4a0e1e8c1f0aa","expiration_timestamp":"1767225600"})";

constexpr std::string_view kLimitOrder =
    R"({)"
    R"("amount_synthetic":"100000","amount_collateral":"4200000000","amount_fee":"2100000",)"
    R"("asset_id_synthetic":"0x4254432d3130000000000000000000",)"
    R"("asset_id_collateral":"0x31857064564ed0ff978e687456963cba09c2c6985d8f9300a1de4962fafa054",)"
    R"("position_id":"1001","is_buying_synthetic":true,"nonce":"17",)"
    R"("public_key":"0x0f62b52c0d31d63d24b1f5bc8ee2bd2ae0a6d9b3cb7cd1b7e4b4a0e1e8c1f0aa",)"
    R"("expiration_timestamp":"1767225600"})";
constexpr std::string_view kLiquidate =
    R"({"liquidator_order":{)"
    R"("amount_synthetic":"100000","amount_collateral":"4200000000","amount_fee":"2100000",)"
    R"("asset_id_synthetic":"0x4254432d3130000000000000000000",)"
    R"("asset_id_collateral":"0x31857064564ed0ff978e687456963cba09c2c6985d8f9300a1de4962fafa054",)"
    R"("position_id":"1001","is_buying_synthetic":true,"nonce":"17",)"
    R"("public_key":"0x0f62b52c0d31d63d24b1f5bc8ee2bd2ae0a6d9b3cb7cd1b7e4b4a0e1e8c1f0aa",)"
    R"("expiration_timestamp":"1767225600"})"
    R"(,"liquidated_position_id":"3003","actual_collateral":"4200000000",)"
    R"("actual_synthetic":"100000","actual_liquidator_fee":"2100000"})";

constexpr std::string_view kOraclePrice =
    R"({"signer_key":"0x1c6a5d8e9f0a1b2c3d4e5f60718293a4b5c6d7e8f90a1b2c3d4e5f6071829300",)"
    R"("external_price":"42000000000000","timestamp":"1767225600",)"
    R"("signed_asset_id":"0x425443555344000000000000000000004d616b657231"})";

using HashFn = quillet::sdk::Result<std::string> (*)(std::string_view);

void BM_Hash(benchmark::State& st, HashFn hash, std::string_view document) {
  quillet::poseidon::poseidon_hasher();  // keep the one-time build out of the loop
  for (auto _ : st) benchmark::DoNotOptimize(hash(document));
}
BENCHMARK_CAPTURE(BM_Hash, hash_transfer, &quillet::sdk::hash_transfer, kTransfer);
BENCHMARK_CAPTURE(BM_Hash, hash_withdraw, &quillet::sdk::hash_withdraw, kWithdraw);
BENCHMARK_CAPTURE(BM_Hash, hash_limit_order, &quillet::sdk::hash_limit_order, kLimitOrder);
BENCHMARK_CAPTURE(BM_Hash, hash_liquidate, &quillet::sdk::hash_liquidate, kLiquidate);
BENCHMARK_CAPTURE(BM_Hash, hash_signed_oracle_price, &quillet::sdk::hash_signed_oracle_price, kOraclePrice);

void BM_ParseTransfer(benchmark::State& st) {
  for (auto _ : st) benchmark::DoNotOptimize(quillet::sdk::documents::parse_transfer(kTransfer));
}
BENCHMARK(BM_ParseTransfer);

void BM_TransferHashInternal(benchmark::State& st) {
  const auto transfer = *quillet::sdk::documents::parse_transfer(kTransfer);
  quillet::poseidon::poseidon_hasher();
  for (auto _ : st) benchmark::DoNotOptimize(quillet::sdk::documents::transfer_hash_internal(transfer));
}
BENCHMARK(BM_TransferHashInternal);

}  // namespace
