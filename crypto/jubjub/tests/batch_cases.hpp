// Signatures of each kind a batch may hold, for the tests of batch
// verification's steps here and of its schedule in the core library.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

#include "crypto/jubjub/batch_verify.hpp"
#include "crypto/jubjub/tests/reference.hpp"

namespace quillet::jubjub::testing {

// A signature with the key it is under.
struct BatchCase {
  const char* what;
  PublicKey key;
  BatchSignature sig;
};

// Per key of three: a valid signature, wrong ones, points of small order in
// R or the key; then S·G = R under the neutral key.
inline std::vector<BatchCase> batch_cases(reference::Rng& rng) {
  const AltJubjubBn256& params = jubjub_params();
  const Point<Unknown> t8 = reference::order_eight_point(rng, params);
  const Point<Unknown> t2 = t8.double_().double_();
  std::vector<BatchCase> out;
  for (int k = 0; k < 3; ++k) {
    const Fs sk = rng.scalar();
    const PublicKey key = PublicKey::derive(PrivateKey(sk));
    const auto sign = [&](const std::array<uint8_t, 32>& msg) {
      return reference::sign(sk, msg, rng.scalar(), params);
    };
    const std::array<uint8_t, 32> msg = rng.bytes();
    const RawSignature good = sign(msg);
    RawSignature bad_s = good;
    bad_s.s.add_assign(Fs::one());
    std::array<uint8_t, 32> other_msg = msg;
    other_msg[3] ^= 1;
    const auto with = [&](const char* what, const PublicKey& a, const RawSignature& s,
                          const std::array<uint8_t, 32>& m) { out.push_back({what, a, {s, m, 0}}); };
    with("valid", key, good, msg);
    with("signature of another message", key, sign(rng.bytes()), msg);
    with("wrong S", key, bad_s, msg);
    with("other message", key, good, other_msg);
    with("R plus order 2", key, {good.r.add(t2, params), good.s}, msg);
    with("R plus order 8", key, {good.r.add(t8, params), good.s}, msg);
    with("key plus order 2", PublicKey{key.point.add(t2, params)}, good, msg);
    with("key of order 8", PublicKey{t8}, good, msg);
    with("neutral key", PublicKey{Point<Unknown>::zero()}, RawSignature{good.r, good.s}, msg);
  }
  // Under the neutral key S·G = R verifies.
  const Fs s = rng.scalar();
  out.push_back({"neutral key, R = S·G", PublicKey{Point<Unknown>::zero()},
                 {{reference::mul(params.generator(kSigningBase), s.into_repr(), params), s}, rng.bytes(), 0}});
  return out;
}

// The cases named `what`.
inline std::vector<BatchCase> cases_named(const std::vector<BatchCase>& all, std::string_view what) {
  std::vector<BatchCase> out;
  for (const BatchCase& c : all) {
    if (what == c.what) out.push_back(c);
  }
  return out;
}

// A batch of `picked`: equal keys passed once.
struct Batch {
  std::vector<PublicKey> keys;
  std::vector<BatchSignature> sigs;
};

inline Batch batch_of(const std::vector<BatchCase>& picked) {
  Batch b;
  for (const BatchCase& c : picked) {
    size_t k = 0;
    while (k < b.keys.size() && !(b.keys[k].point == c.key.point)) ++k;
    if (k == b.keys.size()) b.keys.push_back(c.key);
    b.sigs.push_back(c.sig);
    b.sigs.back().key = k;
  }
  return b;
}

// Each signature verified alone.
inline std::vector<bool> verified_alone(const std::vector<BatchCase>& picked) {
  std::vector<bool> out;
  for (const BatchCase& c : picked) out.push_back(c.key.verify_for_raw_message(c.sig.msg, c.sig.signature));
  return out;
}

}  // namespace quillet::jubjub::testing
