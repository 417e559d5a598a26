// The MACs from keyed states against libcrypto's one-shot HMAC, for every
// compression kernel this processor runs.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <array>
#include <random>
#include <span>
#include <vector>

#include "crypto/failure.hpp"
#include "crypto/hmac_sha256/hmac_sha256.hpp"

namespace quillet::hmac_sha256 {
namespace {

std::vector<Sha256Instructions> kernels() {
  std::vector<Sha256Instructions> out;
  for (Sha256Instructions k : {Sha256Instructions::portable, Sha256Instructions::sha_ni}) {
    if (cpu::runs(k)) out.push_back(k);
  }
  return out;
}

std::vector<uint8_t> random_bytes(size_t n, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<uint8_t> out(n);
  for (uint8_t& c : out) c = static_cast<uint8_t>(rng());
  return out;
}

Sha256Digest one_shot(const Sha256Digest& key, std::span<const uint8_t> m) {
  Sha256Digest out{};
  unsigned out_len = 0;
  HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), m.data(), m.size(), out.data(), &out_len);
  return out;
}

TEST(Hmac, KeyedStatesMatchOneShotHmacAtEveryPaddingBoundary) {
  const std::vector<uint8_t> data = random_bytes(200, 15);
  Sha256Digest key;
  std::ranges::copy(random_bytes(32, 16), key.begin());
  // One and two padded blocks and the boundaries between them (55/56,
  // 119/120 bytes), whole or split into parts; beyond two blocks a MAC fails
  // hard (the nonce never asks for one).
  for (Sha256Instructions k : kernels()) {
    const HmacSha256Key keyed(key, k);
    for (size_t len : {0, 1, 31, 32, 54, 55, 56, 63, 64, 65, 97, 118, 119, 120, 128, 200}) {
      const std::span<const uint8_t> whole(data.data(), len);
      const std::span<const uint8_t> first = whole.first(len / 3);
      const std::span<const uint8_t> rest = whole.subspan(len / 3);
      if (len > MacMessage::kMaxLength) {
        EXPECT_THROW(keyed.mac({whole}), HardFailure) << len;
        EXPECT_THROW(keyed.mac({first, rest}), HardFailure) << len;
        continue;
      }
      const Sha256Digest want = one_shot(key, whole);
      EXPECT_EQ(keyed.mac({whole}), want) << static_cast<int>(k) << ' ' << len;
      EXPECT_EQ(keyed.mac({first, rest}), want) << static_cast<int>(k) << ' ' << len;
    }
  }
}

TEST(Hmac, PairedMacsMatchOneShotHmac) {
  const std::vector<uint8_t> data = random_bytes(256, 20);  // room for b, which starts 3 bytes in
  Sha256Digest key;
  std::ranges::copy(random_bytes(32, 21), key.begin());
  // One and two blocks on either side and either one longer, through one
  // rekeyed object.
  constexpr std::array<std::array<size_t, 2>, 5> kLengths{{{32, 65}, {65, 32}, {0, 55}, {56, 119}, {119, 0}}};
  for (Sha256Instructions k : kernels()) {
    HmacSha256Key keyed(Sha256Digest{}, k);
    keyed.rekey(key);
    for (const auto& [la, lb] : kLengths) {
      const std::span<const uint8_t> a(data.data(), la);
      const std::span<const uint8_t> b(data.data() + 3, lb);
      const MacMessage msg_a({a});
      const MacMessage msg_b({b.first(lb / 2), b.subspan(lb / 2)});
      Sha256Digest mac_a{}, mac_b{};
      keyed.mac_pair(msg_a, msg_b, mac_a, mac_b);
      EXPECT_EQ(mac_a, one_shot(key, a)) << static_cast<int>(k) << ' ' << la << ' ' << lb;
      EXPECT_EQ(mac_b, one_shot(key, b)) << static_cast<int>(k) << ' ' << la << ' ' << lb;
    }
  }
}

}  // namespace
}  // namespace quillet::hmac_sha256
