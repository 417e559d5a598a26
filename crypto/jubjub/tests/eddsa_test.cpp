#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "crypto/jubjub/eddsa.hpp"
#include "crypto/jubjub/tests/test_support.hpp"

namespace quillet::jubjub {
namespace {

using testing::field_from_hex;
using testing::from_hex;
using testing::hard_failure_text;
using testing::to_hex;

const AltJubjubBn256& params() { return jubjub_params(); }

std::vector<uint8_t> counting(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i);
  return v;
}

struct Signed {
  PublicKey pk;
  RawSignature sig;
};

Signed sign(const Fs& key, const std::vector<uint8_t>& msg) {
  const PrivateKey sk(key);
  const Nonce nonce = deterministic_nonce(sk, msg);
  return {PublicKey::derive(sk),
          sk.sign_raw_message(msg, nonce)};
}

bool verify(const PublicKey& pk, const std::vector<uint8_t>& msg, const RawSignature& sig) {
  return pk.verify_for_raw_message(msg, sig);
}

// Known answers: key, message, nonce, public key, R and S. The nonces take
// 19, 237, 16 and 5 candidates, so the rejection path is covered.
struct Vector {
  const char* key;
  std::vector<uint8_t> msg;
  const char* nonce;
  const char* public_key;
  const char* r;
  const char* s;
};

const std::vector<Vector>& vectors() {
  static const std::vector<Vector> v = {
      {"0000000000000000000000000000000000000000000000000000000000000001", std::vector<uint8_t>(32, 0),
       "04e2a3785db6be39be03bc7155c435853aa3ac1ec8e9332826fa41e59e792cff",
       "b7946c9c0e5c4b987dd5f6f515c8327506e4684a642442783f5d78ea6711a085",
       "accf949a660978a8e2bdc3311f34f45fcd96ef5e55da369a671e330ff110280e",
       "04e2a3785db6be39be03bc7155c435853aa3ac1ec8e9332826fa41e59e792cff"},
      {"0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef", counting(32),
       "0283f136bb9be7100aab542727b40e8eb19cc2257260833ecb1297b119829907",
       "191a1479692a36717e7725399b7970082c28a11445b5fa63be14a4f62aba748a",
       "047c79f3c8965129125756dfac383be81f24ee7980e31441b0b153e0bc0199a5",
       "059f4dbf5f94d80b8f1aec1a1a3c37ef232d5f8bc4df991320d85aa3e19c7413"},
      {"060c89ce5c263405370a08b6d0302b0bab3eedb83920ee0a677297dc392126f0", counting(31),
       "053c33e68be13d2d5744868cbc460e0ef75eeae4a74210d3d1aaeaff2f068cfd",
       "b7946c9c0e5c4b987dd5f6f515c8327506e4684a642442783f5d78ea6711a005",
       "06f0c84d6302702ac0e905d3402cf8ca3567ecc57cccccf2dc2ae99a5186d3aa",
       "051e16ca70c72415402e7178a933fcfee850ddd89c3807cbcaa4e5fb2c048bfd"},
      {"060c89ce5c263405370a08b6d0302b0bab3eedb83920ee0a677297dc392126f0", [] {
         auto m = counting(31);
         m.push_back(0);
         return m;
       }(),
       "04122d39e15dd95aa8724238b0c58ae7ed84b2ccaa5acc1cb63386b9c4c90fec",
       "b7946c9c0e5c4b987dd5f6f515c8327506e4684a642442783f5d78ea6711a005",
       "b3c4953abbf7da5fddf70b5d56f16805f6425f9e0732478d7bc64bccbecb7424",
       "03f4101dc643c042915c2d249db379d7de76a5c09f50c314af2d81b5c1c70eec"},
  };
  return v;
}

TEST(EdDsa, KnownAnswers) {
  for (const Vector& v : vectors()) {
    const Fs key = field_from_hex<Fs>(v.key);
    const Nonce nonce = deterministic_nonce(PrivateKey(key), v.msg);
    EXPECT_EQ(nonce.value(), field_from_hex<Fs>(v.nonce)) << v.key;
    const Signed out = sign(key, v.msg);
    EXPECT_EQ(to_hex(out.pk.point.encode()), v.public_key);
    EXPECT_EQ(to_hex(out.sig.r.encode()), v.r);
    EXPECT_EQ(out.sig.s, field_from_hex<Fs>(v.s));
    EXPECT_TRUE(verify(out.pk, v.msg, out.sig));
  }
}

TEST(EdDsa, SigningIsDeterministic) {
  const Fs key = field_from_hex<Fs>(vectors()[1].key);
  const Signed a = sign(key, counting(32));
  const Signed b = sign(key, counting(32));
  EXPECT_TRUE(a.sig.r == b.sig.r);
  EXPECT_EQ(a.sig.s, b.sig.s);
}

TEST(EdDsa, ThirtyOneAndThirtyTwoByteFormsShareTheChallengeNotTheNonce) {
  const Vector& short_form = vectors()[2];
  const Vector& long_form = vectors()[3];
  const Fs key = field_from_hex<Fs>(short_form.key);
  const Signed a = sign(key, short_form.msg);
  const Signed b = sign(key, long_form.msg);
  EXPECT_FALSE(a.sig.r == b.sig.r);
  for (const auto* msg : {&short_form.msg, &long_form.msg}) {
    EXPECT_TRUE(verify(a.pk, *msg, a.sig));
    EXPECT_TRUE(verify(b.pk, *msg, b.sig));
  }
}

TEST(EdDsa, VerificationDependsOnTheFirst32MessageBytes) {
  const Fs key = field_from_hex<Fs>(vectors()[1].key);
  const std::vector<uint8_t> msg = counting(32);
  const Signed out = sign(key, msg);

  std::vector<uint8_t> changed = msg;
  changed[7] ^= 1;
  EXPECT_FALSE(verify(out.pk, changed, out.sig));

  std::vector<uint8_t> longer = msg;
  longer.insert(longer.end(), {0xde, 0xad});
  EXPECT_TRUE(verify(out.pk, longer, out.sig));

  // Only the value modulo s counts: msg + s (little-endian) is the same challenge.
  std::array<uint8_t, 32> le{};
  std::copy(msg.begin(), msg.end(), le.begin());
  FsRepr v = field::repr_from_bytes_le(le);
  uint64_t carry = 0;
  for (int i = 0; i < 4; ++i) v[i] = field::detail::adc(v[i], fs_char()[i], carry);
  ASSERT_EQ(carry, 0u);
  const auto plus_s = field::repr_to_bytes_le(v);
  EXPECT_TRUE(verify(out.pk, std::vector<uint8_t>(plus_s.begin(), plus_s.end()), out.sig));

  // A different key does not verify.
  const Signed other = sign(field_from_hex<Fs>(vectors()[0].key), msg);
  EXPECT_FALSE(verify(other.pk, msg, out.sig));
}

TEST(EdDsa, PointsOutsideThePrimeOrderSubgroupAreRejected) {
  const Point<Unknown> order_two = *Point<Unknown>::from_xy(Fr::zero(), -Fr::one(), params());
  const Fs key = field_from_hex<Fs>(vectors()[1].key);

  const std::vector<uint8_t> msg = counting(32);
  const Signed out = sign(key, msg);
  const RawSignature shifted_r{out.sig.r.add(order_two, params()), out.sig.s};
  EXPECT_EQ(to_hex(shifted_r.r.encode()), "fd8386fcca5e901a7f19639a9baff83f3d34930736623b7779eedd00b64ccb0a");
  EXPECT_FALSE(verify(out.pk, msg, shifted_r));

  // With the challenge zero, c·(A + T) vanishes and the equation alone would
  // accept the shifted key: only the subgroup check of A refuses it.
  const std::vector<uint8_t> zero_msg(32, 0);
  const Signed zero_out = sign(key, zero_msg);
  const PublicKey shifted_key{zero_out.pk.point.add(order_two, params())};
  EXPECT_TRUE(verify(zero_out.pk, zero_msg, zero_out.sig));
  EXPECT_FALSE(verify(shifted_key, zero_msg, zero_out.sig));
  EXPECT_FALSE(verify(PublicKey{out.pk.point.add(order_two, params())}, msg, out.sig));
}

TEST(EdDsa, SigningRefusesMessagesAboveItsBound) {
  const PrivateKey sk(Fs::one());
  const std::vector<uint8_t> msg = counting(33);
  const Nonce nonce = deterministic_nonce(sk, msg);
  const std::string text = "assertion failed: msg.len() <= max_message_size && max_message_size <= 32";
  EXPECT_EQ(hard_failure_text([&] { sk.sign_raw_message(msg, nonce); }), text);
}

}  // namespace
}  // namespace quillet::jubjub
