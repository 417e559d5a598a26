// Constant-time check of the curve layer, run under valgrind's memcheck by
// scripts/ctime.sh. Secret inputs (keys, nonces) are marked undefined; memcheck
// then reports every conditional jump and every memory index that depends on
// them. The only values allowed to steer are those passed to declassify(),
// which this program defines to mark them defined again. Exits non-zero
// (through valgrind's --error-exitcode) on any report.
#include <valgrind/memcheck.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "crypto/field/repr.hpp"
#include "crypto/jubjub/eddsa.hpp"
#include "crypto/jubjub/fixed_base.hpp"
#include "crypto/jubjub/params.hpp"
#include "crypto/secrets/declassify.hpp"

namespace quillet::secrets {

void declassify(const void* p, size_t n) { (void)VALGRIND_MAKE_MEM_DEFINED(p, n); }

}  // namespace quillet::secrets

namespace {

using namespace quillet::jubjub;

template <class T>
void make_secret(T& v) {
  (void)VALGRIND_MAKE_MEM_UNDEFINED(&v, sizeof v);
}

template <class T>
void make_public(T& v) {
  (void)VALGRIND_MAKE_MEM_DEFINED(&v, sizeof v);
}

Fs secret_scalar(uint64_t seed) {
  Fs k = Fs::from_raw({seed * 0x9e3779b97f4a7c15ULL, ~seed, seed << 7, 0x0123456789abcdefULL ^ seed});
  make_secret(k);
  return k;
}

}  // namespace

int main() {
  const AltJubjubBn256& params = jubjub_params();
  std::array<uint8_t, 32> msg{};
  for (size_t i = 0; i < msg.size(); ++i) msg[i] = static_cast<uint8_t>(3 * i + 1);

  for (uint64_t round = 1; round <= 3; ++round) {
    const PrivateKey sk(secret_scalar(round));

    // The nonce: HMAC-DRBG over the key's bytes; only each candidate's
    // verdict is declassified.
    const Seed seed = Seed::deterministic_seed(sk, msg);

    // Signing: G·r from the table, S = c·sk + r; the outputs are public.
    RawSignature raw = sk.sign_raw_message(msg, seed, kSigningBase, params);
    make_public(raw);

    // The whole signing step with the signer's key and the self-check.
    CheckedSignature checked = sk.sign_and_check(msg, seed, kSigningBase, params);
    make_public(checked);
    if (!checked.verifies) return 1;
    CheckedSignature with_key =
        sk.sign_and_check(msg, seed, kSigningBase, params, PrivateKey::SignerKey::derive);
    make_public(with_key);
    if (!with_key.verifies || !with_key.public_key.has_value()) return 1;

    // The signer's key through the table and through the per-call table of
    // another base, and its constant-time normalisation and encoding.
    PublicKey a = PublicKey::derive(sk, kSigningBase, params);
    PointEncoding encoded = a.point.encode();
    make_public(encoded);
    PublicKey b = PublicKey::derive(sk, 0, params);
    Point<Unknown>::normalize_batch({&b.point, 1});
    make_public(b);

    // Signing several messages together: nonces, R, one shared inversion,
    // the combined self-check and, with one S spoiled, the per-signature
    // checks it falls back to.
    std::array<PrivateKey::Message, 3> msgs{msg, msg, msg};
    msgs[1][0] ^= 1;
    msgs[2].fill(0xff);
    std::vector<CheckedSignature> many = sk.sign_and_check_many(msgs, kSigningBase, params);
    for (CheckedSignature& c : many) {
      make_public(c);
      if (!c.verifies) return 1;
    }
    std::vector<RawSignature> spoiled{many[0].signature, many[1].signature, many[2].signature};
    spoiled[1].s.add_assign(Fs::one());
    std::vector<bool> verdicts = sk.check_own_signatures(msgs, spoiled, kSigningBase, params);
    if (verdicts != std::vector<bool>{true, false, true}) return 1;

    // Scalar conversions and arithmetic on secrets.
    std::array<uint8_t, 32> bytes = quillet::field::repr_to_bytes_be(sk.value().into_repr());
    make_public(bytes);
    Fs sum = sk.value() * seed.value() + sk.value();
    make_public(sum);
  }
  std::puts("constant-time check done");
  return 0;
}
