#include "crypto/jubjub/eddsa.hpp"

#include <openssl/crypto.h>

#include <algorithm>
#include <array>

#include "crypto/failure.hpp"
#include "crypto/field/repr.hpp"
#include "crypto/jubjub/hmac_sha256.hpp"

namespace quillet::jubjub {
namespace {

// Whether the big-endian 32-byte integer `be` is below s. The result decides
// only whether a DRBG candidate is drawn again, so it may branch.
bool below_s_vartime(const Sha256Digest& be) {
  const FsRepr v = field::repr_from_bytes_be(be);
  for (int i = 3; i >= 0; --i) {
    if (v[i] != kFsModulus[i]) return v[i] < kFsModulus[i];
  }
  return false;
}

// The message cut or zero-padded to 32 bytes, reduced modulo s.
Fs challenge(std::span<const uint8_t> msg) {
  std::array<uint8_t, kMaxMessageSize> m{};
  std::copy_n(msg.begin(), std::min(msg.size(), m.size()), m.begin());
  return to_uniform_32(m);
}

void wipe(void* p, size_t n) { OPENSSL_cleanse(p, n); }

}  // namespace

Seed::~Seed() { wipe(&r_, sizeof r_); }
PrivateKey::~PrivateKey() { wipe(&sk_, sizeof sk_); }

// The HMAC-DRBG of deterministic nonces (RFC 6979, 3.2), with four departures
// that existing signatures depend on, so they must stay: h1 is the full
// SHA-256 digest, not reduced modulo s; a candidate is all 256 bits of T, not
// its leftmost 251; after a rejection K = HMAC(K, V‖V‖0x00) and V is left as
// it is; zero is an acceptable nonce.
Seed Seed::deterministic_seed(const PrivateKey& sk, std::span<const uint8_t> msg) {
  static constexpr uint8_t kZero[1] = {0x00};
  static constexpr uint8_t kOne[1] = {0x01};
  const Sha256Digest h1 = sha256(msg);
  std::array<uint8_t, 32> x = field::repr_to_bytes_be(sk.value().into_repr());
  Sha256Digest v;
  v.fill(0x01);
  Sha256Digest k{};

  HmacSha256 hmac;
  k = hmac.mac(k, {v, kZero, x, h1});
  v = hmac.mac(k, {v});
  k = hmac.mac(k, {v, kOne, x, h1});
  v = hmac.mac(k, {v});
  wipe(x.data(), x.size());

  for (;;) {
    Sha256Digest t = hmac.mac(k, {v});
    if (below_s_vartime(t)) {
      const auto r = Fs::from_repr(field::repr_from_bytes_be(t));
      wipe(t.data(), t.size());
      wipe(k.data(), k.size());
      wipe(v.data(), v.size());
      return Seed(*r);
    }
    k = hmac.mac(k, {v, v, kZero});
  }
}

RawSignature PrivateKey::sign_raw_message(std::span<const uint8_t> msg, const Seed& seed, uint8_t generator,
                                          const AltJubjubBn256& params, size_t max_message_size) const {
  if (max_message_size > kMaxMessageSize || msg.size() > max_message_size) {
    fail_hard("assertion failed: msg.len() <= max_message_size && max_message_size <= 32");
  }
  const Point<PrimeOrder>& g = params.generator(generator);

  const Point<PrimeOrder> a = g.mul_vartime(sk_, params);
  const Point<PrimeOrder> order_check = a.mul_vartime(fs_char(), params);
  if (!(order_check == Point<PrimeOrder>::zero())) {
    fail_hard("assertion failed: order_check.eq(&Point::zero())");
  }

  const Point<PrimeOrder> r = g.mul_vartime(seed.value(), params);
  Fs s = challenge(msg);
  s.mul_assign(sk_);
  s.add_assign(seed.value());
  return RawSignature{r, s};
}

PublicKey PublicKey::derive(const PrivateKey& sk, uint8_t generator, const AltJubjubBn256& params) {
  return PublicKey{params.generator(generator).mul_vartime(sk.value(), params)};
}

bool PublicKey::verify_for_raw_message(std::span<const uint8_t> msg, const RawSignature& sig, uint8_t generator,
                                       const AltJubjubBn256& params, size_t /*max_message_size*/) const {
  const Fs c = challenge(msg);
  const Point<Unknown> zero = Point<Unknown>::zero();
  // With A and R in the prime-order subgroup the equation needs no cofactor.
  if (!(point.mul_vartime(fs_char(), params) == zero)) return false;
  if (!(sig.r.mul_vartime(fs_char(), params) == zero)) return false;
  const Point<Unknown> minus_sg = params.generator(generator).mul_vartime(sig.s, params).negate();
  return point.mul_vartime(c, params).add(sig.r, params).add(minus_sg, params) == zero;
}

}  // namespace quillet::jubjub
