// sha256() goes through the low-level SHA256_* functions (deprecated since
// OpenSSL 3.0 in favour of EVP; see hmac_sha256.hpp for why).
#define OPENSSL_SUPPRESS_DEPRECATED

#include "crypto/hmac_sha256/hmac_sha256.hpp"

#include <openssl/crypto.h>

#include <algorithm>
#include <cstring>

#include "crypto/failure.hpp"

namespace quillet::hmac_sha256 {
namespace {

constexpr size_t kBlock = SHA256_CBLOCK;
using Lane = HmacSha256Key::Lane;

size_t total_length(MacParts parts) {
  size_t len = 0;
  for (std::span<const uint8_t> part : parts) len += part.size();
  return len;
}

void write_digest(const Sha256State& state, uint8_t* out) {
  for (size_t i = 0; i < state.size(); ++i) {
    const uint32_t word = __builtin_bswap32(state[i]);
    std::memcpy(out + 4 * i, &word, sizeof word);
  }
}

// SHA-256's padding after the `len` bytes at `bytes`, which follow the key's
// block; the number of blocks they make (len at most MacMessage::kMaxLength).
size_t pad_after_key(uint8_t* bytes, size_t len) {
  const size_t count = len + 9 <= kBlock ? 1 : 2;
  const size_t end = count * kBlock;
  bytes[len] = 0x80;
  std::memset(bytes + len + 1, 0, end - 8 - (len + 1));
  const uint64_t bits = __builtin_bswap64(static_cast<uint64_t>(kBlock + len) * 8);
  std::memcpy(bytes + end - 8, &bits, sizeof bits);
  return count;
}

// The outer block's padding, written once: each MAC then writes only the
// inner digest in front of it.
void prepare(Lane& lane) { pad_after_key(lane.outer_block.data(), sizeof(Sha256Digest)); }

// One MAC in a lane, a compression at a time: the message's blocks from the
// inner state, then the inner digest's block from the outer state.
class Chain {
 public:
  Chain(Lane& lane, const MacMessage& msg, const Sha256State& inner, const Sha256State& outer)
      : lane_(lane), msg_(msg), outer_(outer) {
    lane_.state = inner;
  }

  bool done() const { return step_ > msg_.block_count(); }
  Sha256State& state() { return lane_.state; }
  const uint8_t* block() const {
    return step_ < msg_.block_count() ? msg_.block(step_) : lane_.outer_block.data();
  }

  // After block() went into state(): on to the next block, or from the
  // inner digest to the outer state.
  void advance() {
    if (++step_ != msg_.block_count()) return;
    write_digest(lane_.state, lane_.outer_block.data());
    lane_.state = outer_;
  }

  void digest(Sha256Digest& out) const { write_digest(lane_.state, out.data()); }

 private:
  Lane& lane_;
  const MacMessage& msg_;
  const Sha256State& outer_;
  size_t step_ = 0;
};

}  // namespace

MacMessage::MacMessage(MacParts parts) {
  const size_t len = total_length(parts);
  if (len > kMaxLength) fail_hard("HMAC message longer than two blocks");
  size_t at = 0;
  for (std::span<const uint8_t> part : parts) {
    std::copy(part.begin(), part.end(), bytes_.begin() + at);
    at += part.size();
  }
  count_ = pad_after_key(bytes_.data(), len);
}

MacMessage::~MacMessage() { OPENSSL_cleanse(bytes_.data(), bytes_.size()); }

HmacSha256Key::HmacSha256Key(const Sha256Digest& key, Sha256Instructions kernel) : kernel_(kernel) {
  if (!cpu::runs(kernel)) fail_hard("SHA-256 kernel not available on this processor");
  // Only the key's 32 bytes change with rekey().
  std::memset(pads_.data(), 0x36, kBlock);
  std::memset(pads_.data() + kBlock, 0x5c, kBlock);
  for (Lane& lane : lanes_) prepare(lane);
  rekey(key);
}

HmacSha256Key::~HmacSha256Key() {
  OPENSSL_cleanse(inner_.data(), sizeof inner_);
  OPENSSL_cleanse(outer_.data(), sizeof outer_);
  OPENSSL_cleanse(pads_.data(), pads_.size());
  OPENSSL_cleanse(lanes_.data(), sizeof lanes_);
}

void HmacSha256Key::rekey(const Sha256Digest& key) {
  for (size_t i = 0; i < key.size(); ++i) {
    pads_[i] = key[i] ^ 0x36;
    pads_[kBlock + i] = key[i] ^ 0x5c;
  }
  inner_ = kSha256Iv;
  outer_ = kSha256Iv;
  compress_pair(kernel_, inner_, pads_.data(), outer_, pads_.data() + kBlock);
}

Sha256Digest HmacSha256Key::mac(MacParts parts) const {
  const MacMessage msg(parts);  // fails hard beyond two blocks
  Lane lane;
  prepare(lane);
  Chain chain(lane, msg, inner_, outer_);
  while (!chain.done()) {
    compress(kernel_, chain.state(), chain.block());
    chain.advance();
  }
  Sha256Digest out;
  chain.digest(out);
  OPENSSL_cleanse(&lane, sizeof lane);
  return out;
}

void HmacSha256Key::mac_pair(const MacMessage& msg_a, const MacMessage& msg_b, Sha256Digest& a, Sha256Digest& b) {
  Chain chain_a(lanes_[0], msg_a, inner_, outer_);
  Chain chain_b(lanes_[1], msg_b, inner_, outer_);
  while (!chain_a.done() && !chain_b.done()) {
    compress_pair(kernel_, chain_a.state(), chain_a.block(), chain_b.state(), chain_b.block());
    chain_a.advance();
    chain_b.advance();
  }
  for (Chain* chain : {&chain_a, &chain_b}) {
    while (!chain->done()) {
      compress(kernel_, chain->state(), chain->block());
      chain->advance();
    }
  }
  chain_a.digest(a);
  chain_b.digest(b);
}

void HmacSha256Key::mac_pairs(HmacSha256Key& x, const PairJob& xj, HmacSha256Key& y, const PairJob& yj) {
  if (x.kernel_ != y.kernel_ || &x == &y) {
    x.mac_pair(xj.msg_a, xj.msg_b, xj.a, xj.b);
    y.mac_pair(yj.msg_a, yj.msg_b, yj.a, yj.b);
    return;
  }
  std::array<Chain, 4> chains{Chain(x.lanes_[0], xj.msg_a, x.inner_, x.outer_),
                              Chain(x.lanes_[1], xj.msg_b, x.inner_, x.outer_),
                              Chain(y.lanes_[0], yj.msg_a, y.inner_, y.outer_),
                              Chain(y.lanes_[1], yj.msg_b, y.inner_, y.outer_)};
  for (;;) {
    std::array<Chain*, 4> live{};
    size_t count = 0;
    for (Chain& chain : chains) {
      if (!chain.done()) live[count++] = &chain;
    }
    if (count == 0) break;
    for (size_t i = 0; i + 1 < count; i += 2) {
      compress_pair(x.kernel_, live[i]->state(), live[i]->block(), live[i + 1]->state(), live[i + 1]->block());
    }
    if (count % 2 == 1) compress(x.kernel_, live[count - 1]->state(), live[count - 1]->block());
    for (size_t i = 0; i < count; ++i) live[i]->advance();
  }
  chains[0].digest(xj.a);
  chains[1].digest(xj.b);
  chains[2].digest(yj.a);
  chains[3].digest(yj.b);
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
