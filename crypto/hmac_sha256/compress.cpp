// SHA256_Transform is deprecated since OpenSSL 3.0 in favour of EVP, which
// exposes no midstates (see hmac_sha256.cpp).
#define OPENSSL_SUPPRESS_DEPRECATED

#include "crypto/hmac_sha256/compress.hpp"

#include <openssl/crypto.h>
#include <openssl/sha.h>

#include <algorithm>

#include "crypto/immortal.hpp"

#if defined(__x86_64__)
#include <cpuid.h>
#endif

namespace quillet::hmac_sha256 {
namespace {

// CPUID's SSSE3, SSE4.1 and SHA bits. Valgrind reports a processor without
// SHA, so under it the portable kernel runs (scripts/ctime.sh).
bool cpu_has_sha_ni() {
#if defined(__x86_64__)
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return false;
  constexpr unsigned kSsse3 = 1u << 9;
  constexpr unsigned kSse41 = 1u << 19;
  if ((ecx & kSsse3) == 0 || (ecx & kSse41) == 0) return false;
  if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0) return false;
  constexpr unsigned kSha = 1u << 29;
  return (ebx & kSha) != 0;
#else
  return false;
#endif
}

void compress_portable(Sha256State& state, const uint8_t* block) {
  SHA256_CTX ctx;
  std::copy(state.begin(), state.end(), ctx.h);
  SHA256_Transform(&ctx, block);
  std::copy(ctx.h, ctx.h + 8, state.begin());
  OPENSSL_cleanse(ctx.h, sizeof ctx.h);
}

}  // namespace

bool sha256_kernel_available(Sha256Instructions k) {
  if (k == Sha256Instructions::portable) return true;
  static constinit Immortal<bool> sha_ni;
  return sha_ni.get([] { return detail::sha_ni_compiled() && cpu_has_sha_ni(); });
}

Sha256Instructions sha256_instructions() {
  return sha256_kernel_available(Sha256Instructions::sha_ni) ? Sha256Instructions::sha_ni : Sha256Instructions::portable;
}

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
