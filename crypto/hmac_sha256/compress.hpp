// SHA-256 compressions one block at a time, for MACs scheduled block by
// block: one compression is bound by the latency of its rounds, so two
// independent ones (two MACs under one key, a key's two pad blocks) run
// interleaved in about the time of one where the SHA instructions exist.
// libcrypto has no call for two streams; everything else stays with it.
#pragma once

#include <array>
#include <cstdint>

#include "crypto/cpu/cpu.hpp"

namespace quillet::hmac_sha256 {

// The eight working words h0..h7 between compressions.
using Sha256State = std::array<uint32_t, 8>;

inline constexpr Sha256State kSha256Iv = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                          0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

// portable: libcrypto's block function, once per stream. sha_ni: the
// streams interleaved with the SHA extensions (x86-64 with SHA and SSE4.1).
// Both take time independent of the states and blocks. cpu::runs(k) says
// whether `k` runs here.
using cpu::Sha256Instructions;

// The process's kernel (cpu::dispatch()).
inline Sha256Instructions sha256_instructions() { return cpu::dispatch().sha256(); }

// state = compress(state, block), `block` 64 bytes. `k` must run here.
void compress(Sha256Instructions k, Sha256State& state, const uint8_t* block);
// The same for two independent streams, a with block_a and b with block_b
// (a and b distinct objects).
void compress_pair(Sha256Instructions k, Sha256State& a, const uint8_t* block_a, Sha256State& b, const uint8_t* block_b);

namespace detail {
// The SHA-NI kernel's entry points (compress_sha_ni.cpp), only called where
// it runs.
void compress_sha_ni_1(uint32_t* state, const uint8_t* block);
void compress_sha_ni_2(uint32_t* a, const uint8_t* block_a, uint32_t* b, const uint8_t* block_b);
}  // namespace detail

}  // namespace quillet::hmac_sha256
