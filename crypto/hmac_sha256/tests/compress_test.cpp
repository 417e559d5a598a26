// The compression kernels against libcrypto's block function, for every
// kernel this processor runs.
#define OPENSSL_SUPPRESS_DEPRECATED

#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <algorithm>
#include <array>
#include <random>
#include <vector>

#include "crypto/hmac_sha256/compress.hpp"

namespace quillet::hmac_sha256 {
namespace {

using Block = std::array<uint8_t, 64>;

std::vector<Sha256Instructions> kernels() {
  std::vector<Sha256Instructions> out;
  for (Sha256Instructions k : {Sha256Instructions::portable, Sha256Instructions::sha_ni}) {
    if (cpu::runs(k)) out.push_back(k);
  }
  return out;
}

Sha256State transformed(const Sha256State& state, const Block& block) {
  SHA256_CTX ctx;
  SHA256_Init(&ctx);
  std::copy(state.begin(), state.end(), ctx.h);
  SHA256_Transform(&ctx, block.data());
  Sha256State out;
  std::copy(ctx.h, ctx.h + 8, out.begin());
  return out;
}

// Edge states and blocks (all bits clear or set, the initial value), then
// random ones.
struct Inputs {
  std::vector<Sha256State> states;
  std::vector<Block> blocks;
};

Inputs inputs() {
  std::mt19937_64 rng(19);
  Inputs in;
  in.states = {kSha256Iv, Sha256State{}, Sha256State{}};
  in.states[2].fill(0xffffffff);
  in.blocks = {Block{}, Block{}};
  in.blocks[1].fill(0xff);
  for (int i = 0; i < 6; ++i) {
    Sha256State s;
    for (uint32_t& w : s) w = static_cast<uint32_t>(rng());
    in.states.push_back(s);
    Block b;
    for (uint8_t& c : b) c = static_cast<uint8_t>(rng());
    in.blocks.push_back(b);
  }
  return in;
}

TEST(Sha256Kernels, MatchLibcryptoOnOneAndTwoStreams) {
  const Inputs in = inputs();
  for (Sha256Instructions k : kernels()) {
    for (size_t i = 0; i < in.states.size(); ++i) {
      for (size_t j = 0; j < in.blocks.size(); ++j) {
        const Sha256State want = transformed(in.states[i], in.blocks[j]);
        Sha256State one = in.states[i];
        compress(k, one, in.blocks[j].data());
        EXPECT_EQ(one, want) << static_cast<int>(k) << ' ' << i << ' ' << j;
        // The second stream differs in state and block, or is the same one:
        // a mix-up of the streams' registers shows either way.
        for (size_t other : {i, (i + 1) % in.states.size()}) {
          const size_t other_block = (j + other) % in.blocks.size();
          Sha256State a = in.states[i];
          Sha256State b = in.states[other];
          compress_pair(k, a, in.blocks[j].data(), b, in.blocks[other_block].data());
          EXPECT_EQ(a, want) << static_cast<int>(k) << ' ' << i << ' ' << j;
          EXPECT_EQ(b, transformed(in.states[other], in.blocks[other_block])) << static_cast<int>(k);
        }
      }
    }
  }
}

}  // namespace
}  // namespace quillet::hmac_sha256
