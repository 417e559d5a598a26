// The constant-time check, run under valgrind's memcheck by scripts/ctime.sh:
// the curve layer's signing kernels, the core library's key handling (keys
// held as scalars included: made from text, bytes, a seed or a generator's
// draw, written back as bytes or text), the entry points, the MULX field
// kernels and the keystore's PBKDF2, over several keys and messages. Key
// texts, keys, seeds and passphrases are marked undefined; a conditional jump or a memory
// index that depends on them, or on anything computed from them (nonces
// included), is then a memcheck error. Values that are public by construction
// go through the library's declassify() (crypto/secrets/declassify.hpp), which
// this program defines to mark them defined again. Each result is made public
// and checked: against the same operation run on defined inputs, or, for the
// curve's kernels, by their own verdicts. Outside valgrind the program only
// makes those checks.
#include <valgrind/memcheck.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "crypto/field/fr.hpp"
#include "crypto/field/repr.hpp"
#include "crypto/jubjub/eddsa.hpp"
#include "crypto/jubjub/fixed_base.hpp"
#include "crypto/jubjub/params.hpp"
#include "crypto/scrypt/pbkdf2.hpp"
#include "crypto/secrets/declassify.hpp"
#include "threads/thread_spread.hpp"
#include "sdk/src/keys/key_text.hpp"
#include "sdk/src/keys/message_signing.hpp"
#include "sdk/src/keys/private_key.hpp"
#include "sdk/src/keys/public_key.hpp"
#include "sdk/src/keys/seed.hpp"
#include "sdk/src/lib.hpp"
#include "sdk/src/batch/many.hpp"
#include "sdk/src/batch/sign_schedule.hpp"

using namespace quillet;

namespace quillet::secrets {

void declassify(const void* p, size_t n) { (void)VALGRIND_MAKE_MEM_DEFINED(p, n); }

}  // namespace quillet::secrets

namespace {

int g_failures = 0;

void expect(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "ctime: wrong result: %s\n", what);
    ++g_failures;
  }
}

void make_secret(const void* p, size_t n) { (void)VALGRIND_MAKE_MEM_UNDEFINED(p, n); }

template <class T>
void make_secret(const T& v) {
  make_secret(&v, sizeof v);
}

template <class T>
void make_public(const T& v) {
  (void)VALGRIND_MAKE_MEM_DEFINED(&v, sizeof v);
}

void make_public_text(const std::string& s) { (void)VALGRIND_MAKE_MEM_DEFINED(s.data(), s.size()); }

// Key texts: small, large, leading zeros, upper case, extra prefixes.
constexpr std::array<std::string_view, 5> kKeyTexts = {
    "0x0000000000000000000000000000000000000000000000000000000000000001",
    "0x060c89ce5c263405370a08b6d0302b0bab3eedb83920ee0a677297dc392126f0",
    "0x01b2d3f4a5968778695a4b3c2d1e0ffedcba98765432100123456789abcdef01",
    "0x0x00F3A9C6E1B2D4F5A6978899AABBCCDDEEFF00112233445566778899AABBCCDD",
    "0x0420d1c0ffee0badf00d5eed1e55c0de4b1d2c3e4f5061728394a5b6c7d8e9fa",
};

// Messages: a hash-like value, zero, all ones, a value above s.
constexpr std::array<std::string_view, 4> kMessages = {
    "0x2c3f0b4e8e1a9d7c6b5a4f3e2d1c0b9a8f7e6d5c4b3a29180706050403020100",
    "0x0",
    "0xffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff",
    "0x060c89ce5c263405370a08b6d0302b0bab3eedb83920ee0a677297dc392126f1",
};

jubjub::Fs key_of(std::string_view text) { return sdk::keys::private_key_from_string(text).value(); }

std::array<uint8_t, 32> message_bytes(std::string_view text) {
  return sdk::U256::from_str(text).value().to_little_endian();
}

// A private key text whose 64 digits are secret; its "0x" prefixes are not.
// Every key text here has exactly 64 digits.
void check_key_text(std::string_view text) {
  const jubjub::Fs want = key_of(text);
  std::string secret_text(text);
  make_secret(secret_text.data() + secret_text.size() - 64, 64);
  auto got = sdk::keys::private_key_from_string(secret_text);
  make_public(got);
  expect(got.has_value(), "key text accepted");
  if (!got) return;
  make_public(*got);
  expect(*got == want, "key text value");
}

// sk·G, and its packed form.
void check_public_key(const jubjub::Fs& k) {
  const jubjub::AltJubjubBn256& params = jubjub::jubjub_params();
  const jubjub::PublicKey want = jubjub::PublicKey::derive(jubjub::PrivateKey(k));
  const sdk::keys::PackedPublicKey want_packed = sdk::keys::public_key_from_private(k);

  jubjub::Fs sk = k;
  make_secret(sk);
  jubjub::PublicKey got = jubjub::PublicKey::derive(jubjub::PrivateKey(sk));
  make_public(got);
  expect(got.point == want.point, "PublicKey::derive");

  make_secret(sk);
  sdk::keys::PackedPublicKey packed = sdk::keys::public_key_from_private(sk);
  make_public(packed);
  expect(packed == want_packed, "public_key_from_private");
}

// The whole signature of a 32-byte message: nonce, R, S and the self-check.
void check_sign_msg(const jubjub::Fs& k, std::span<const uint8_t> msg) {
  const sdk::keys::TxSignature want = sdk::keys::TxSignature::sign_msg(k, msg);
  jubjub::Fs sk = k;
  make_secret(sk);
  sdk::keys::TxSignature got = sdk::keys::TxSignature::sign_msg(sk, msg);
  make_public(got);
  expect(got.public_key == want.public_key, "sign_msg public key");
  expect(got.signature.r == want.signature.r && got.signature.s == want.signature.s, "sign_msg signature");
}

// The curve layer's signing kernels on a secret key: the nonce, G·r from the
// table (each of its row scans, and its rows in the lanes alone and as a
// pair), S = c·sk + r, the signer's key through the table, another point's
// multiple by its own table (Point::mul), batch signing (its nonces, derived two
// side by side, and their multiples on the scalar path and in the lanes)
// with its combined self-check and the per-signature checks it falls back
// to, and scalar arithmetic.
void check_curve(uint64_t round) {
  using namespace quillet::jubjub;
  const AltJubjubBn256& params = jubjub_params();
  std::array<uint8_t, 32> msg{};
  for (size_t i = 0; i < msg.size(); ++i) msg[i] = static_cast<uint8_t>(3 * i + 1);
  Fs k = Fs::from_raw({round * 0x9e3779b97f4a7c15ULL, ~round, round << 7, 0x0123456789abcdefULL ^ round});
  make_secret(k);
  const PrivateKey sk(k);

  // HMAC-DRBG over the key's bytes; only each candidate's verdict is
  // declassified.
  const Nonce nonce = deterministic_nonce(sk, msg);

  RawSignature raw = sk.sign_raw_message(msg, nonce);
  make_public(raw);

  CheckedSignature checked = sk.sign_and_check(msg, nonce);
  make_public(checked);
  expect(checked.verifies, "sign_and_check");
  CheckedSignature with_key = sk.sign_and_check(msg, nonce, PrivateKey::SignerKey::derive);
  make_public(with_key);
  expect(with_key.verifies && with_key.public_key.has_value(), "sign_and_check with the signer's key");

  PublicKey a = PublicKey::derive(sk);
  PointEncoding encoded = a.point.encode();
  make_public(encoded);
  // The table's row scans, each kind this processor has, against the key
  // derived above. Valgrind reports AVX2 but no AVX-512: the AVX-512 scan is
  // the AVX2 one's straight line on wider registers (every entry loaded, the
  // magnitude compared in the vector unit into mask registers that only
  // select lanes), with no branch or index on the magnitude.
  const FixedBaseTable& table = signing_table();
  for (ScanInstructions scan : {ScanInstructions::sse2, ScanInstructions::avx2}) {
    if (!cpu::runs(scan)) continue;
    PointEncoding scanned = Point<Unknown>(table.mul(sk.value(), scan)).encode();
    make_public(scanned);
    expect(scanned == encoded, scan == ScanInstructions::avx2 ? "table scan (avx2)" : "table scan (sse2)");
  }
  // The table's rows spread over the emulated lanes, one scalar and a pair
  // (the IFMA kernel's source, straight-line but for the masked scans).
  PointEncoding rows = Point<Unknown>(table.mul_lanes(sk.value(), cpu::LaneKernel::emulated)).encode();
  make_public(rows);
  expect(rows == encoded, "table rows in the emulated lanes");
  const std::array<Point<PrimeOrder>, 2> pair = table.mul_pair(nonce.value(), sk.value(), cpu::LaneKernel::emulated);
  PointEncoding pair_key = Point<Unknown>(pair[1]).encode();
  PointEncoding pair_r = Point<Unknown>(pair[0]).encode();
  make_public(pair_key);
  make_public(pair_r);
  expect(pair_key == encoded && pair_r == raw.r.encode(), "a pair of table rows in the emulated lanes");
  // The multiplication of any other point by a secret, by its own radix-16
  // table.
  Point<Unknown> b = Point<Unknown>(params.generator(0)).mul(sk.value(), params);
  Point<Unknown>::normalize_batch({&b, 1});
  make_public(b);

  std::array<PrivateKey::Message, 3> msgs{msg, msg, msg};
  msgs[1][0] ^= 1;
  msgs[2].fill(0xff);
  // Batch signing's steps as its scheduler composes them, on this thread.
  std::vector<CheckedSignature> many = sdk::sign_and_check_many(sk, msgs);
  bool many_ok = many.size() == msgs.size();
  for (CheckedSignature& c : many) {
    make_public(c);
    many_ok = many_ok && c.verifies;
  }
  expect(many_ok, "sign_and_check_many");
  if (!many_ok) return;
  // The same batch and a longer one (a block of eight lanes and a tail) with
  // the nonces' multiples in the emulated lanes: the IFMA kernel's source
  // (valgrind runs no AVX-512), straight-line code in both.
  std::vector<PrivateKey::Message> lane_msgs(msgs.begin(), msgs.end());
  for (uint8_t i = 0; lane_msgs.size() < 9; ++i) {
    lane_msgs.push_back(msg);
    lane_msgs.back()[1] = i;
  }
  std::vector<CheckedSignature> lanes = sdk::sign_and_check_many(sk, lane_msgs, cpu::LaneKernel::emulated);
  bool lanes_ok = lanes.size() == lane_msgs.size();
  for (size_t i = 0; lanes_ok && i < lanes.size(); ++i) {
    make_public(lanes[i]);
    lanes_ok = lanes[i].verifies && (i >= many.size() || lanes[i].signature == many[i].signature);
  }
  expect(lanes_ok, "sign_and_check_many in the emulated lanes");
  // The same on two threads: the nonces and the lane groups in ranges, each
  // range's R normalised on its own, the secret check beside the windows.
  const ThreadSpread two_threads(2);
  std::vector<CheckedSignature> threaded =
      sdk::sign_and_check_many(sk, lane_msgs, cpu::LaneKernel::emulated, two_threads);
  bool spread_ok = threaded.size() == lanes.size();
  for (size_t i = 0; spread_ok && i < threaded.size(); ++i) {
    make_public(threaded[i]);
    spread_ok = threaded[i].verifies && threaded[i].signature == lanes[i].signature;
  }
  expect(spread_ok, "sign_and_check_many on two threads");
  std::vector<RawSignature> spoiled{many[0].signature, many[1].signature, many[2].signature};
  spoiled[1].s.add_assign(Fs::one());
  std::vector<bool> verdicts = sdk::check_own_signatures(sk, msgs, spoiled);
  expect(verdicts == std::vector<bool>{true, false, true}, "check_own_signatures with one S spoiled");

  std::array<uint8_t, 32> bytes = field::repr_to_bytes_be(sk.value().into_repr());
  make_public(bytes);
  Fs sum = sk.value() * nonce.value() + sk.value();
  make_public(sum);
}

// The entry points over texts, with the key's digits secret.
void check_entry_points(std::string_view key, std::string_view msg) {
  const auto want_sign = sdk::sign(key, msg).value();
  const auto want_l1 = sdk::l1_sign(msg, key).value();
  const auto want_xy = sdk::private_key_to_pubkey_xy(key).value();

  std::string secret_key(key);
  const auto poison = [&] { make_secret(secret_key.data() + secret_key.size() - 64, 64); };

  poison();
  auto sig = sdk::sign(secret_key, msg);
  make_public(sig);
  expect(sig && *sig == want_sign, "sign");

  // The batch form: the key parsed once, the messages signed together.
  const std::array<std::string_view, 3> msgs{msg, "0x5", msg};
  poison();
  auto many = sdk::sign_messages(secret_key, msgs);
  make_public(many);
  bool many_ok = many.size() == msgs.size();
  for (size_t i = 0; many_ok && i < msgs.size(); ++i) {
    make_public(many[i]);
    many_ok = many[i] && many[i]->has_value() && **many[i] == sdk::sign(key, msgs[i]).value();
  }
  expect(many_ok, "sign_messages");

  poison();
  auto lanes = sdk::sign_messages(secret_key, msgs, cpu::LaneKernel::emulated);
  make_public(lanes);
  bool lanes_ok = lanes.size() == msgs.size();
  for (size_t i = 0; lanes_ok && i < msgs.size(); ++i) {
    make_public(lanes[i]);
    lanes_ok = lanes[i] && lanes[i]->has_value() && **lanes[i] == sdk::sign(key, msgs[i]).value();
  }
  expect(lanes_ok, "sign_messages in the emulated lanes");

  poison();
  auto l1 = sdk::l1_sign(msg, secret_key);
  make_public(l1);
  if (l1) {
    for (const std::string* s : {&l1->x, &l1->y, &l1->s, &l1->pk_x, &l1->pk_y}) make_public_text(*s);
  }
  expect(l1 && sdk::to_json(*l1) == sdk::to_json(want_l1), "l1_sign");

  poison();
  auto xy = sdk::private_key_to_pubkey_xy(secret_key);
  make_public(xy);
  if (xy) {
    make_public_text(xy->first);
    make_public_text(xy->second);
  }
  expect(xy && *xy == want_xy, "private_key_to_pubkey_xy");
}

// A limit order, for the entry point that signs a document under a parsed key.
constexpr std::string_view kOrder =
    R"({"amount_synthetic":"10","amount_collateral":"20","amount_fee":"3","asset_id_synthetic":"0x1f",)"
    R"("asset_id_collateral":"0x2","position_id":"11","is_buying_synthetic":true,"nonce":"5",)"
    R"("public_key":"0x99","expiration_timestamp":"1700000000"})";

// A key held as its scalar, as the typed API's native key holds it: made
// from secret text, bytes and a generator's candidate (its range and zero
// checks), written back as bytes and text, and signing through the entry
// points that take the scalar. The key text has exactly 64 digits.
void check_signing_key(std::string_view key, std::string_view msg) {
  namespace keys = sdk::keys;
  const jubjub::Fs want = key_of(key);
  std::array<uint8_t, 32> want_bytes{};
  keys::write_key_bytes(want, want_bytes);
  std::array<char, keys::kKeyTextSize> want_text{};
  keys::write_key_text(want, want_text);

  std::string secret_text(key);
  make_secret(secret_text.data() + secret_text.size() - 64, 64);
  jubjub::Fs from_text{};
  auto fault = keys::signing_key_from_text(secret_text, from_text);
  make_public(fault);
  make_public(from_text);
  expect(!fault && from_text == want, "signing_key_from_text");

  jubjub::Fs sk = want;
  make_secret(sk);
  std::array<uint8_t, 32> bytes{};
  keys::write_key_bytes(sk, bytes);
  std::array<char, keys::kKeyTextSize> text{};
  keys::write_key_text(sk, text);
  make_public(bytes);
  make_public(text);
  expect(bytes == want_bytes && text == want_text, "write_key_bytes, write_key_text");

  make_secret(bytes);
  jubjub::Fs from_bytes{};
  fault = keys::signing_key_from_bytes(bytes, from_bytes);
  make_public(fault);
  make_public(from_bytes);
  expect(!fault && from_bytes == want, "signing_key_from_bytes");

  // A generator's draw with its top bits set: cleared, then kept.
  std::array<uint8_t, 32> candidate = want_bytes;
  candidate[0] |= 0xf0;
  make_secret(candidate);
  jubjub::Fs drawn{};
  const bool kept = keys::signing_key_from_candidate(candidate, drawn);
  make_public(drawn);
  expect(kept && drawn == want, "signing_key_from_candidate");

  const auto want_sign = sdk::sign(key, msg).value();
  const auto want_order = sdk::sign_limit_order(kOrder, key).value();
  const auto want_l1 = sdk::l1_sign(msg, key).value();
  make_secret(sk);
  auto sig = sdk::sign(sk, msg);
  make_public(sig);
  expect(sig && *sig == want_sign, "sign under a parsed key");
  make_secret(sk);
  auto order = sdk::sign_document(sdk::DocumentKind::limit_order, kOrder, sk);
  make_public(order);
  expect(order && *order == want_order, "sign_document under a parsed key");
  make_secret(sk);
  auto l1 = sdk::l1_sign(msg, sk);
  make_public(l1);
  if (l1) {
    for (const std::string* part : {&l1->x, &l1->y, &l1->s, &l1->pk_x, &l1->pk_y}) make_public_text(*part);
  }
  expect(l1 && *l1 == want_l1, "l1_sign under a parsed key");
  make_secret(sk);
  auto xy = sdk::private_key_to_pubkey_xy(sk);
  make_public_text(xy.first);
  make_public_text(xy.second);
  expect(xy == sdk::private_key_to_pubkey_xy(key).value(), "private_key_to_pubkey_xy of a parsed key");
}

// A private key from a secret seed: hash chain, range check, key text; the
// core's function and the entry point; the scalar made from it.
void check_seed(std::string_view seed) {
  const std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(seed.data()), seed.size());
  const std::string want = sdk::keys::private_key_from_seed(bytes).value();
  std::string secret_seed(seed);
  const std::span<const uint8_t> secret_bytes(reinterpret_cast<const uint8_t*>(secret_seed.data()),
                                              secret_seed.size());
  make_secret(secret_seed.data(), secret_seed.size());
  auto got = sdk::keys::private_key_from_seed(secret_bytes);
  make_public(got);
  if (got) make_public_text(*got);
  expect(got && *got == want, "keys::private_key_from_seed");

  make_secret(secret_seed.data(), secret_seed.size());
  auto entry = sdk::private_key_from_seed(secret_bytes);
  make_public(entry);
  if (entry) make_public_text(*entry);
  expect(entry && *entry == want, "private_key_from_seed");

  make_secret(secret_seed.data(), secret_seed.size());
  jubjub::Fs sk{};
  auto fault = sdk::keys::signing_key_from_seed(secret_bytes, sk);
  make_public(fault);
  make_public(sk);
  expect(!fault && sk == key_of(want), "signing_key_from_seed");
}

// A keystore passphrase through PBKDF2-HMAC-SHA256 (scrypt's two passes,
// and keystores' own PBKDF2): the passphrase is secret, its length is not.
// scrypt's ROMix is left out: its memory index is secret-derived by design.
void check_pbkdf2(std::string_view passphrase, uint32_t iterations) {
  const std::span<const uint8_t> salt(reinterpret_cast<const uint8_t*>("a public salt"), 13);
  std::vector<uint8_t> secret(passphrase.begin(), passphrase.end());
  std::array<uint8_t, 48> want{}, got{};
  scrypt::pbkdf2_sha256(secret, salt, iterations, want);
  make_secret(secret.data(), secret.size());
  scrypt::pbkdf2_sha256(secret, salt, iterations, got);
  make_public(got);
  expect(got == want, "PBKDF2 of a secret passphrase");
}

}  // namespace

// The MULX field kernels (product and square) on secret operands.
// Valgrind's CPUID hides ADX, so under it the library takes the portable
// kernels; valgrind still executes MULX, ADCX and ADOX, so they are called
// here directly.
template <class F>
void check_mulx_kernels(const F& value, const F& other) {
#if defined(__x86_64__)
  if (!RUNNING_ON_VALGRIND && F::fastest_instructions() != field::MulInstructions::mulx_adx) return;
  F square = value;
  F product = value;
  make_secret(square);
  make_secret(product);
  square.template square_with<field::MulInstructions::mulx_adx>();
  product.template mul_assign_with<field::MulInstructions::mulx_adx>(other);
  make_public(square);
  make_public(product);
  F square_expected = value;
  F product_expected = value;
  square_expected.template square_with<field::MulInstructions::portable>();
  product_expected.template mul_assign_with<field::MulInstructions::portable>(other);
  expect(square == square_expected, "MULX square");
  expect(product == product_expected, "MULX product");
#else
  (void)value;
  (void)other;
#endif
}

int main() {
  if (!RUNNING_ON_VALGRIND) {
    std::printf("ctime: not under valgrind, so only the results are checked\n");
  }
  // The shared curve parameters are public; build them before any secret
  // is around.
  (void)jubjub::jubjub_params();

  for (std::string_view text : kKeyTexts) {
    check_key_text(text);
    const jubjub::Fs k = key_of(text);
    check_public_key(k);
    for (std::string_view m : kMessages) {
      const std::array<uint8_t, 32> msg = message_bytes(m);
      check_sign_msg(k, msg);
    }
  }
  for (uint64_t round = 1; round <= 3; ++round) check_curve(round);
  for (uint64_t i = 0; i < 4; ++i) {
    const field::Repr r{0x9e3779b97f4a7c15ULL * (i + 1), ~i, i << 61, 0x0123456789abcdefULL ^ i};
    check_mulx_kernels(field::Fr::from_raw(r), -field::Fr::from_raw(field::Repr{i + 3, 0, 0, 0}));
    check_mulx_kernels(jubjub::Fs::from_raw(r), -jubjub::Fs::one());
  }
  check_entry_points(kKeyTexts[2], kMessages[0]);
  check_entry_points(kKeyTexts[3], kMessages[2]);
  // Mixed-case digits, and a key with a zero nibble high up.
  check_entry_points("0x0123456789abcdef0123456789ABCDEF0123456789abcdef0123456789abcdef", kMessages[3]);
  check_entry_points("0x05a01167ea785d3f784224644a68e4067532c815f5f6d57d984b5c0e9c6c94b7", kMessages[0]);
  check_signing_key(kKeyTexts[1], kMessages[0]);
  check_signing_key("0x0123456789abcdef0123456789ABCDEF0123456789abcdef0123456789abcdef", kMessages[3]);
  check_seed("a seed phrase of at least thirty-two bytes, as users type them");
  check_seed("a seed of thirty-two bytes or more, kept secret");
  check_seed(std::string_view("\x00\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e\x0f"
                              "\x10\x11\x12\x13\x14\x15\x16\x17\x18\x19\x1a\x1b\x1c\x1d\x1e\x1f",
                              32));
  check_pbkdf2("a keystore passphrase", 3);
  check_pbkdf2(std::string(100, 'p'), 2);  // longer than a block: hashed first

  if (g_failures != 0) {
    std::fprintf(stderr, "ctime: %d wrong results\n", g_failures);
    return 1;
  }
  std::printf("ctime: all results as expected\n");
  return 0;
}
