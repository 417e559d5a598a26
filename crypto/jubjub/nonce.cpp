#include "crypto/jubjub/nonce.hpp"

#include <array>
#include <cstring>
#include <optional>

#include "crypto/failure.hpp"
#include "crypto/field/repr.hpp"
#include "crypto/hmac_sha256/hmac_sha256.hpp"
#include "crypto/jubjub/eddsa.hpp"
#include "crypto/secrets/declassify.hpp"
#include "crypto/secrets/wipe.hpp"

namespace quillet::jubjub {

using hmac_sha256::HmacSha256Key;
using hmac_sha256::MacMessage;
using hmac_sha256::sha256;
using hmac_sha256::Sha256Digest;
using secrets::declassify;
using secrets::wipe;
using secrets::wipe_value;

Nonce::~Nonce() { wipe(&r_, sizeof r_); }

namespace {

// 1 when the big-endian 32-byte integer is below s, else 0, without a branch.
uint64_t below_s(const Sha256Digest& be) {
  FsRepr candidate;
  for (size_t i = 0; i < 4; ++i) {
    uint64_t word;
    std::memcpy(&word, be.data() + 8 * (3 - i), sizeof word);
    candidate[i] = __builtin_bswap64(word);
  }
  FsRepr difference{};
  const uint64_t borrow = field::detail::sub_borrow(difference, candidate, kFsModulus);
  wipe_value(candidate);
  wipe_value(difference);
  return borrow;
}

// The HMAC-DRBG of deterministic nonces (RFC 6979, 3.2), with four departures
// that existing signatures depend on, so they must stay: h1 is the full
// SHA-256 digest, not reduced modulo s; a candidate is all 256 bits of T, not
// its leftmost 251; after a rejection K = HMAC(K, V‖V‖0x00) and V is left as
// it is; zero is an acceptable nonce. Each K serves two or three MACs from
// one keyed state. Only the accept/reject outcome of each candidate steers
// the loop, as in RFC 6979; the key bytes are never used as an index.
//
// A candidate is below s (about 2^250.6) once in 42 tries on average, so
// the rejection rounds are most of the time. Each computes T and the next K
// in one go, whatever the outcome: both MACs are of the same V under the
// same K, so their compressions run as pairs, and with the key's two pad
// blocks a round is four steps of latency for its seven compressions.
// NonceRounds holds one derivation between its rounds, so that two can run
// side by side (deterministic_nonces).
class NonceRounds {
 public:
  // Through the setup, up to the first round. Made (and the kernel checked)
  // before any secret is copied out; the key is rekeyed for every K and
  // wiped once, with everything else, on destruction.
  NonceRounds(const PrivateKey& sk, std::span<const uint8_t> msg, hmac_sha256::Sha256Instructions kernel)
      : key_(k_, kernel) {
    static constexpr uint8_t kZero[1] = {0x00};
    static constexpr uint8_t kOne[1] = {0x01};
    const Sha256Digest h1 = sha256(msg);
    v_.fill(0x01);
    FsRepr key_repr = sk.value().into_repr();
    std::array<uint8_t, 32> x = field::repr_to_bytes_be(key_repr);
    wipe_value(key_repr);

    k_ = key_.mac({v_, kZero, x, h1});
    key_.rekey(k_);
    v_ = key_.mac({v_});
    k_ = key_.mac({v_, kOne, x, h1});
    wipe_value(x);
    key_.rekey(k_);
    v_ = key_.mac({v_});
    // From here on V stays and only K changes: both messages are padded once.
    candidate_msg_.emplace(hmac_sha256::MacParts{v_});
    next_key_msg_.emplace(hmac_sha256::MacParts{v_, v_, kZero});
  }
  ~NonceRounds() {
    wipe_value(t_);
    wipe_value(k_);
    wipe_value(v_);
  }
  NonceRounds(const NonceRounds&) = delete;
  NonceRounds& operator=(const NonceRounds&) = delete;

  HmacSha256Key& key() { return key_; }
  // A round's two MACs under the key: the candidate T and the next K.
  HmacSha256Key::PairJob round() { return {*candidate_msg_, *next_key_msg_, t_, k_}; }
  // The round's MACs alone, their compressions paired with each other.
  void mac_round() { key_.mac_pair(*candidate_msg_, *next_key_msg_, t_, k_); }

  // After the round's MACs: the nonce if T is taken, else nothing and the key
  // rekeyed for the next round.
  std::optional<Nonce> finish_round() {
    // Whether a candidate is taken depends only on HMAC outputs and says
    // nothing about the nonce it yields.
    uint64_t accept = below_s(t_);
    declassify(&accept, sizeof accept);
    if (accept == 0) {
      key_.rekey(k_);
      return std::nullopt;
    }
    FsRepr nonce_repr = field::repr_from_bytes_be(t_);
    const Nonce nonce(Fs::from_raw(nonce_repr));
    wipe_value(nonce_repr);
    return nonce;
  }

 private:
  Sha256Digest v_{};
  Sha256Digest k_{};
  Sha256Digest t_{};
  HmacSha256Key key_;
  std::optional<MacMessage> candidate_msg_;
  std::optional<MacMessage> next_key_msg_;
};

}  // namespace

Nonce deterministic_nonce(const PrivateKey& sk, std::span<const uint8_t> msg, hmac_sha256::Sha256Instructions kernel) {
  NonceRounds rounds(sk, msg, kernel);
  for (;;) {
    rounds.mac_round();
    if (std::optional<Nonce> nonce = rounds.finish_round()) return *nonce;
  }
}

void deterministic_nonces(const PrivateKey& sk, std::span<const Message> msgs, std::span<Fs> out,
                          MessageQueue& queue, hmac_sha256::Sha256Instructions kernel) {
  if (msgs.size() != out.size()) fail_hard("assertion failed: one nonce per message");
  // Two derivations side by side, a finished one's place taken by the next
  // message's: each round's compressions pair with the other's.
  std::array<std::optional<NonceRounds>, 2> slot;
  std::array<size_t, 2> item{};
  const auto start = [&](size_t s) {
    const size_t i = queue.take();
    if (i == MessageQueue::kNone) return;
    if (i >= msgs.size()) fail_hard("assertion failed: a queued message of the batch");
    item[s] = i;
    slot[s].emplace(sk, msgs[i], kernel);
  };
  start(0);
  start(1);
  while (slot[0] || slot[1]) {
    if (slot[0] && slot[1]) {
      HmacSha256Key::mac_pairs(slot[0]->key(), slot[0]->round(), slot[1]->key(), slot[1]->round());
    } else {
      (slot[0] ? *slot[0] : *slot[1]).mac_round();
    }
    for (size_t s = 0; s < slot.size(); ++s) {
      if (!slot[s]) continue;
      if (const std::optional<Nonce> nonce = slot[s]->finish_round()) {
        out[item[s]] = nonce->value();
        slot[s].reset();
        start(s);
      }
    }
  }
}

}  // namespace quillet::jubjub
