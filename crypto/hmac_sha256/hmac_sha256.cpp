// The keyed states need SHA-256 midstates, which only the low-level SHA256_*
// functions expose (deprecated since OpenSSL 3.0 in favour of EVP, whose
// per-call setup costs more than the hash of one block here).
#define OPENSSL_SUPPRESS_DEPRECATED

#include "crypto/hmac_sha256/hmac_sha256.hpp"

#include <openssl/crypto.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace quillet::hmac_sha256 {

HmacSha256Key::HmacSha256Key(const Sha256Digest& key) {
  std::array<uint8_t, SHA256_CBLOCK> pad;
  std::memset(pad.data(), 0x36, pad.size());
  for (size_t i = 0; i < key.size(); ++i) pad[i] ^= key[i];
  SHA256_Init(&inner_);
  SHA256_Update(&inner_, pad.data(), pad.size());
  // 0x36 ^ 0x5c turns the inner pad into the outer one.
  for (uint8_t& b : pad) b ^= 0x36 ^ 0x5c;
  SHA256_Init(&outer_);
  SHA256_Update(&outer_, pad.data(), pad.size());
  OPENSSL_cleanse(pad.data(), pad.size());
}

HmacSha256Key::~HmacSha256Key() {
  OPENSSL_cleanse(&inner_, sizeof inner_);
  OPENSSL_cleanse(&outer_, sizeof outer_);
}

namespace {

constexpr size_t kBlock = SHA256_CBLOCK;
// Messages up to this length (after the key's block) are padded by hand into
// at most two blocks and compressed straight from the keyed state.
constexpr size_t kShortMessage = 2 * kBlock - 9;

// The digest of `state` continued over `len` bytes of `blocks` (the message
// after `prefix` bytes already compressed into the state), with SHA-256's
// padding written into `blocks` after them. `blocks` holds two blocks and
// len is at most kShortMessage.
Sha256Digest finish_short(SHA256_CTX state, std::array<uint8_t, 2 * kBlock>& blocks, size_t len, size_t prefix) {
  const size_t count = len + 9 <= kBlock ? 1 : 2;
  const size_t end = count * kBlock;
  blocks[len] = 0x80;
  std::memset(blocks.data() + len + 1, 0, end - 8 - (len + 1));
  const uint64_t bits = __builtin_bswap64(static_cast<uint64_t>(prefix + len) * 8);
  std::memcpy(blocks.data() + end - 8, &bits, sizeof bits);
  for (size_t b = 0; b < count; ++b) SHA256_Transform(&state, blocks.data() + b * kBlock);
  Sha256Digest out;
  for (size_t i = 0; i < 8; ++i) {
    const uint32_t word = __builtin_bswap32(state.h[i]);
    std::memcpy(out.data() + 4 * i, &word, sizeof word);
  }
  OPENSSL_cleanse(&state, sizeof state);
  return out;
}

}  // namespace

Sha256Digest HmacSha256Key::mac(std::initializer_list<std::span<const uint8_t>> parts) const {
  size_t len = 0;
  for (std::span<const uint8_t> part : parts) len += part.size();
  std::array<uint8_t, 2 * kBlock> blocks;
  Sha256Digest inner_hash;
  if (len <= kShortMessage) {
    size_t at = 0;
    for (std::span<const uint8_t> part : parts) {
      std::copy(part.begin(), part.end(), blocks.begin() + at);
      at += part.size();
    }
    inner_hash = finish_short(inner_, blocks, len, kBlock);
  } else {
    SHA256_CTX ctx = inner_;
    for (std::span<const uint8_t> part : parts) SHA256_Update(&ctx, part.data(), part.size());
    SHA256_Final(inner_hash.data(), &ctx);
    OPENSSL_cleanse(&ctx, sizeof ctx);
  }
  std::copy(inner_hash.begin(), inner_hash.end(), blocks.begin());
  const Sha256Digest out = finish_short(outer_, blocks, inner_hash.size(), kBlock);
  OPENSSL_cleanse(blocks.data(), blocks.size());
  OPENSSL_cleanse(inner_hash.data(), inner_hash.size());
  return out;
}

void sha256(std::span<const uint8_t> data, Sha256Digest& out) {
  SHA256_CTX ctx;
  SHA256_Init(&ctx);
  SHA256_Update(&ctx, data.data(), data.size());
  SHA256_Final(out.data(), &ctx);
  OPENSSL_cleanse(&ctx, sizeof ctx);
}

Sha256Digest sha256(std::span<const uint8_t> data) {
  Sha256Digest out{};
  sha256(data, out);
  return out;
}

}  // namespace quillet::hmac_sha256
