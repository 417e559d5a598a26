// The salt's blocks go through libcrypto's low-level SHA256_* functions from
// the keyed inner state (deprecated since OpenSSL 3.0 in favour of EVP, which
// takes no midstate); the fixed-size blocks of the outer hash and of the
// iterations through hmac_sha256's compressions, two per iteration.
#define OPENSSL_SUPPRESS_DEPRECATED

#include "crypto/scrypt/pbkdf2.hpp"

#include <openssl/sha.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "crypto/failure.hpp"
#include "crypto/hmac_sha256/compress.hpp"
#include "crypto/secrets/wipe.hpp"

namespace quillet::scrypt {
namespace {

using hmac_sha256::Sha256Instructions;
using hmac_sha256::Sha256State;
using Block = std::array<uint8_t, SHA256_CBLOCK>;
constexpr std::size_t kDigest = SHA256_DIGEST_LENGTH;

void write_digest(const Sha256State& state, uint8_t* out) {
  for (std::size_t i = 0; i < state.size(); ++i) {
    const uint32_t word = __builtin_bswap32(state[i]);
    std::memcpy(out + 4 * i, &word, sizeof word);
  }
}

// HMAC's two states after the passphrase's pad blocks (a passphrase longer
// than a block is hashed first), wiped on destruction.
struct KeyedStates {
  Sha256State inner = hmac_sha256::kSha256Iv;
  Sha256State outer = hmac_sha256::kSha256Iv;

  KeyedStates(std::span<const uint8_t> passphrase, Sha256Instructions k) {
    std::array<Block, 2> pads{};
    if (passphrase.size() > pads[0].size()) {
      SHA256_CTX ctx;
      SHA256_Init(&ctx);
      SHA256_Update(&ctx, passphrase.data(), passphrase.size());
      SHA256_Final(pads[0].data(), &ctx);
      secrets::wipe_value(ctx);
    } else {
      std::copy(passphrase.begin(), passphrase.end(), pads[0].begin());
    }
    for (std::size_t i = 0; i < pads[0].size(); ++i) {
      pads[1][i] = pads[0][i] ^ 0x5c;
      pads[0][i] ^= 0x36;
    }
    hmac_sha256::compress_pair(k, inner, pads[0].data(), outer, pads[1].data());
    secrets::wipe_value(pads);
  }
  ~KeyedStates() {
    secrets::wipe_value(inner);
    secrets::wipe_value(outer);
  }
  KeyedStates(const KeyedStates&) = delete;
  KeyedStates& operator=(const KeyedStates&) = delete;
};

// A digest as the whole message after a key's block: the digest, then
// SHA-256's padding for 64 + 32 bytes. The block is the next compression's
// input, inner and outer alike.
struct DigestBlock {
  Block bytes{};
  DigestBlock() {
    bytes[kDigest] = 0x80;
    bytes[SHA256_CBLOCK - 2] = (SHA256_CBLOCK + kDigest) * 8 >> 8;
  }
  ~DigestBlock() { secrets::wipe_value(bytes); }
  DigestBlock(const DigestBlock&) = delete;
  DigestBlock& operator=(const DigestBlock&) = delete;

  // bytes[0, 32) = state(from) after this block.
  void advance(Sha256Instructions k, const Sha256State& from, Sha256State& state) {
    state = from;
    hmac_sha256::compress(k, state, bytes.data());
    write_digest(state, bytes.data());
  }
};

}  // namespace

void pbkdf2_sha256(std::span<const uint8_t> passphrase, std::span<const uint8_t> salt, uint32_t iterations,
                   std::span<uint8_t> out) {
  if (iterations == 0) fail_hard("PBKDF2 needs at least one iteration");
  if (out.empty() || out.size() > kMaxPbkdf2Output) fail_hard("PBKDF2 output length outside [1, 2^20]");
  const Sha256Instructions k = hmac_sha256::sha256_instructions();
  const KeyedStates keyed(passphrase, k);
  // The inner hash of salt ‖ INT(i), shared up to the block counter.
  SHA256_CTX salted;
  SHA256_Init(&salted);
  std::copy(keyed.inner.begin(), keyed.inner.end(), salted.h);
  salted.Nl = SHA256_CBLOCK * 8;  // the key's block, already in the state
  SHA256_Update(&salted, salt.data(), salt.size());

  DigestBlock u;  // U_j, the chain of MACs
  Sha256State state{};
  std::array<uint8_t, kDigest> t{};  // the xor of the U_j
  for (std::size_t at = 0, i = 1; at < out.size(); at += kDigest, ++i) {
    SHA256_CTX ctx = salted;
    const uint8_t counter[4] = {static_cast<uint8_t>(i >> 24), static_cast<uint8_t>(i >> 16),
                                static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)};
    SHA256_Update(&ctx, counter, sizeof counter);
    SHA256_Final(u.bytes.data(), &ctx);
    secrets::wipe_value(ctx);
    u.advance(k, keyed.outer, state);
    std::copy_n(u.bytes.begin(), kDigest, t.begin());
    for (uint32_t j = 1; j < iterations; ++j) {
      u.advance(k, keyed.inner, state);
      u.advance(k, keyed.outer, state);
      for (std::size_t b = 0; b < kDigest; ++b) t[b] ^= u.bytes[b];
    }
    std::copy_n(t.begin(), std::min(kDigest, out.size() - at), out.begin() + at);
  }
  secrets::wipe_value(salted);
  secrets::wipe_value(state);
  secrets::wipe_value(t);
}

}  // namespace quillet::scrypt
