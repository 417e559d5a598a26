// SHA256_Transform is deprecated since OpenSSL 3.0 in favour of EVP, which
// exposes no midstates (see hmac_sha256.cpp).
#define OPENSSL_SUPPRESS_DEPRECATED

#include "crypto/hmac_sha256/compress.hpp"

#include <openssl/crypto.h>
#include <openssl/sha.h>

#include <algorithm>

namespace quillet::hmac_sha256 {
namespace {

void compress_portable(Sha256State& state, const uint8_t* block) {
  SHA256_CTX ctx;
  std::copy(state.begin(), state.end(), ctx.h);
  SHA256_Transform(&ctx, block);
  std::copy(ctx.h, ctx.h + 8, state.begin());
  OPENSSL_cleanse(ctx.h, sizeof ctx.h);
}

}  // namespace

void compress(Sha256Instructions k, Sha256State& state, const uint8_t* block) {
  if (k == Sha256Instructions::sha_ni) {
    detail::compress_sha_ni_1(state.data(), block);
  } else {
    compress_portable(state, block);
  }
}

void compress_pair(Sha256Instructions k, Sha256State& a, const uint8_t* block_a, Sha256State& b, const uint8_t* block_b) {
  if (k == Sha256Instructions::sha_ni) {
    detail::compress_sha_ni_2(a.data(), block_a, b.data(), block_b);
  } else {
    compress_portable(a, block_a);
    compress_portable(b, block_b);
  }
}

}  // namespace quillet::hmac_sha256
