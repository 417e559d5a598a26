// The deterministic nonce: known answers for messages of every length, the
// keyed-state derivation against one-shot HMACs (tests/reference.hpp), and
// two derivations side by side against each alone, for every SHA-256 kernel.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "crypto/hmac_sha256/compress.hpp"
#include "crypto/jubjub/eddsa.hpp"
#include "crypto/jubjub/nonce.hpp"
#include "crypto/jubjub/tests/reference.hpp"
#include "crypto/jubjub/tests/test_support.hpp"

namespace quillet::jubjub {
namespace {

using reference::Rng;
using testing::field_from_hex;

// Nonces of messages that take one and two SHA-256 blocks or more, for
// every kernel: key, message length (bytes 0xa5 ^ 7i), nonce.
TEST(Nonce, KnownNoncesOfMessagesOfAnyLength) {
  struct Row {
    const char* key;
    size_t len;
    const char* nonce;
  };
  constexpr Row kRows[] = {
      {"0312345678abcdeffedcba98765432100123456789abcdef1111111111111111", 0,
       "01797f4cfeef9f7f2a6dc01264f24af09dd27fa33c52d7a46d55b7c088a26229"},
      {"0312345678abcdeffedcba98765432100123456789abcdef2222222222222222", 55,
       "00490fee654ce0d82838644cfc925e862b5f1b6043648a6f248f6412faffebb7"},
      {"0312345678abcdeffedcba98765432100123456789abcdef3333333333333333", 56,
       "02cd3391049f89a8bb135514f0caa834ff12c868a54e4036ab84ef112e125f7d"},
      {"0312345678abcdeffedcba98765432100123456789abcdef4444444444444444", 119,
       "02ec989bfaaaaac59d8ab87d59762a4df3d167d7382624bde160573ce61178cd"},
      {"0312345678abcdeffedcba98765432100123456789abcdef5555555555555555", 200,
       "02fde77500025af35b082e76ed517553a6f66121cd5459953d994a970264a952"},
  };
  for (hmac_sha256::Sha256Instructions kernel : {hmac_sha256::Sha256Instructions::portable, hmac_sha256::Sha256Instructions::sha_ni}) {
    if (!cpu::runs(kernel)) continue;
    for (const Row& row : kRows) {
      std::vector<uint8_t> msg(row.len);
      for (size_t i = 0; i < msg.size(); ++i) msg[i] = static_cast<uint8_t>(0xa5 ^ (i * 7));
      const Nonce nonce = deterministic_nonce(PrivateKey(field_from_hex<Fs>(row.key)), msg, kernel);
      EXPECT_EQ(nonce.value(), field_from_hex<Fs>(row.nonce)) << row.len;
    }
  }
}

TEST(Nonce, KeyedStatesMatchOneShotHmac) {
  Rng rng(9);
  for (const Fs& k : reference::edge_scalars(rng, 30)) {
    std::array<uint8_t, 64> msg;
    for (size_t i = 0; i < msg.size(); i += 32) std::ranges::copy(rng.bytes(), msg.begin() + i);
    for (size_t len : {size_t{0}, size_t{31}, size_t{32}, size_t{55}, size_t{56}, size_t{64}}) {
      const std::span<const uint8_t> m(msg.data(), len);
      const Fs want = reference::deterministic_nonce(k, m);
      for (hmac_sha256::Sha256Instructions kernel : {hmac_sha256::Sha256Instructions::portable, hmac_sha256::Sha256Instructions::sha_ni}) {
        if (!cpu::runs(kernel)) continue;
        EXPECT_EQ(deterministic_nonce(PrivateKey(k), m, kernel).value(), want) << len;
      }
    }
  }
}

// Messages from one counter, as batch signing's threads share it.
class SharedQueue final : public MessageQueue {
 public:
  explicit SharedQueue(size_t count) : count_(count) {}
  size_t take() override {
    const size_t i = next_.fetch_add(1);
    return i < count_ ? i : kNone;
  }

 private:
  std::atomic<size_t> next_{0};
  size_t count_;
};

TEST(Nonce, DerivationsSideBySideGiveEachItsOwn) {
  // Counts that leave one derivation alone at the end or none; the rounds
  // each takes differ, so finished ones are replaced mid-way.
  Rng rng(11);
  for (const Fs& k : reference::edge_scalars(rng, 3)) {
    for (size_t count : {size_t{0}, size_t{1}, size_t{2}, size_t{7}}) {
      std::vector<std::array<uint8_t, kMaxMessageSize>> msgs;
      for (size_t i = 0; i < count; ++i) msgs.push_back(rng.bytes());
      for (hmac_sha256::Sha256Instructions kernel : {hmac_sha256::Sha256Instructions::portable, hmac_sha256::Sha256Instructions::sha_ni}) {
        if (!cpu::runs(kernel)) continue;
        // Two threads on one queue, as batch signing runs it; one call on
        // the range of all.
        std::vector<Fs> shared(count, Fs::zero());
        SharedQueue queue(count);
        std::thread other([&] { deterministic_nonces(PrivateKey(k), msgs, shared, queue, kernel); });
        deterministic_nonces(PrivateKey(k), msgs, shared, queue, kernel);
        other.join();
        std::vector<Fs> ranged(count, Fs::zero());
        MessageRange all(0, count);
        deterministic_nonces(PrivateKey(k), msgs, ranged, all, kernel);
        for (size_t i = 0; i < count; ++i) {
          const Fs want = deterministic_nonce(PrivateKey(k), msgs[i]).value();
          EXPECT_EQ(shared[i], want) << i;
          EXPECT_EQ(ranged[i], want) << i;
        }
      }
    }
  }
}

}  // namespace
}  // namespace quillet::jubjub
