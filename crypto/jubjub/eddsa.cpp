#include "crypto/jubjub/eddsa.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <span>

#include "crypto/failure.hpp"
#include "crypto/field/pow_many.hpp"
#include "crypto/field/repr.hpp"
#include "crypto/hmac_sha256/hmac_sha256.hpp"
#include "crypto/immortal.hpp"
#include "crypto/jubjub/fixed_base_lanes.hpp"
#include "crypto/jubjub/key_cache.hpp"
#include "crypto/jubjub/msm/msm.hpp"
#include "crypto/jubjub/msm/straus.hpp"
#include "crypto/jubjub/scalar_split.hpp"
#include "crypto/jubjub/subgroup.hpp"
#include "crypto/jubjub/weights.hpp"
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
namespace {

// The message cut or zero-padded to 32 bytes, reduced modulo s.
Fs challenge(std::span<const uint8_t> msg) {
  std::array<uint8_t, kMaxMessageSize> m{};
  std::copy_n(msg.begin(), std::min(msg.size(), m.size()), m.begin());
  return to_uniform_32(m);
}

// k·G for a secret k, through the base's table when it has one (its rows in
// the lanes where the IFMA kernel runs).
Point<PrimeOrder> mul_fixed_base(const Fs& k, uint8_t generator, const AltJubjubBn256& params) {
  if (const FixedBaseTable* table = params.fixed_base_table(generator)) return table->mul_lanes(k);
  return params.generator(generator).mul(k, params);
}

// a·G and b·G for secret a and b, as mul_fixed_base gives each.
std::array<Point<PrimeOrder>, 2> mul_fixed_base_pair(const Fs& a, const Fs& b, uint8_t generator,
                                                     const AltJubjubBn256& params) {
  if (const FixedBaseTable* table = params.fixed_base_table(generator)) return table->mul_pair(a, b);
  return {params.generator(generator).mul(a, params), params.generator(generator).mul(b, params)};
}

// The text names the bound as signing callers once passed it.
void check_message_size(std::span<const uint8_t> msg) {
  if (msg.size() > kMaxMessageSize) {
    fail_hard("assertion failed: msg.len() <= max_message_size && max_message_size <= 32");
  }
}

// Whether c·A + R - S·G is the neutral point, for A in the prime-order
// subgroup. With c = u/v (mod s), u and v of about 126 bits and v odd, it is
// checked as u·A + v·R - (v·S)·G: v·c·A = u·A as A has order s, and
// multiplying by an odd v below s maps only the neutral point to the neutral
// point whatever R is. One chain of about 128 doublings serves u·A and v·R
// (width-5 NAFs) and (v·S)·G, split at bit 128 over the base's tabulated odd
// multiples (width-8 NAFs).
// `a_multiples` are A's odd multiples (detail::odd_multiples).
// `beside`, if any, runs a little at every doubling of the multiplication.
bool equation_holds_vartime(const detail::OddMultiples& a_multiples, const Fs& c, const Point<Unknown>& r,
                            const Fs& s, uint8_t generator, const AltJubjubBn256& params,
                            detail::Beside* beside = nullptr) {
  const Fr d2 = kEdwardsD + kEdwardsD;
  const RatioSplit split = split_ratio_vartime(c);
  Fs v = Fs::from_raw(split.v);
  const Point<Unknown> r_signed = split.v_negative ? r.negate() : r;
  if (split.v_negative) v.negate();
  // -(v·S): the base's terms are added like the others.
  const FsRepr w = (-(v * s)).into_repr();

  const detail::Wnaf u_digits = wnaf_vartime<detail::kWnafWidth>(split.u);
  const detail::Wnaf v_digits = wnaf_vartime<detail::kWnafWidth>(split.v);
  const detail::OddMultiples r_multiples = detail::odd_multiples(detail::PointAccess::coords(r_signed), d2);
  const std::array<detail::WnafTerm, 2> terms{{{&u_digits, &a_multiples}, {&v_digits, &r_multiples}}};

  const FixedBaseTable* table = params.fixed_base_table(generator);
  if (table == nullptr) {
    const detail::Extended acc = detail::multi_mul_vartime(terms);
    const Point<PrimeOrder> wg = params.generator(generator).mul_vartime(w, params);
    return detail::is_identity_vartime(
        detail::to_extended(detail::add(acc, detail::to_cached(detail::PointAccess::coords(wg), d2))));
  }
  static_assert(FixedBaseTable::kHalfBits == 128);
  const detail::Wnaf w_low = wnaf_vartime<FixedBaseTable::kNafWidth>(FsRepr{w[0], w[1], 0, 0});
  const detail::Wnaf w_high = wnaf_vartime<FixedBaseTable::kNafWidth>(FsRepr{w[2], w[3], 0, 0});
  const std::array<detail::AffineWnafTerm, 2> base_terms{
      {{&w_low, table->odd_multiples(0)}, {&w_high, table->odd_multiples(1)}}};
  return detail::is_identity_vartime(beside != nullptr ? detail::multi_mul_vartime(terms, base_terms, *beside)
                                                       : detail::multi_mul_vartime(terms, base_terms));
}

// S = c·sk + r, the signature's scalar for the nonce r: secret until
// published.
Fs signature_scalar(std::span<const uint8_t> msg, const Fs& sk, const Fs& nonce) {
  Fs s = challenge(msg);
  s.mul_assign(sk);
  s.add_assign(nonce);
  return s;
}

// S - c·sk, the nonce of a right signature (S, R): secret.
Fs nonce_of(std::span<const uint8_t> msg, const Fs& s, const Fs& sk) {
  Fs nonce = challenge(msg);
  nonce.mul_assign(sk);
  nonce.negate();
  nonce.add_assign(s);
  return nonce;
}

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

}  // namespace

Seed::~Seed() { wipe(&r_, sizeof r_); }
PrivateKey::~PrivateKey() { wipe(&sk_, sizeof sk_); }

namespace {

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
// side by side (Seed::deterministic_seeds).
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
  std::optional<Seed> finish_round() {
    // Whether a candidate is taken depends only on HMAC outputs and says
    // nothing about the nonce it yields.
    uint64_t accept = below_s(t_);
    declassify(&accept, sizeof accept);
    if (accept == 0) {
      key_.rekey(k_);
      return std::nullopt;
    }
    FsRepr nonce_repr = field::repr_from_bytes_be(t_);
    const Seed nonce(Fs::from_raw(nonce_repr));
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

Seed Seed::deterministic_seed(const PrivateKey& sk, std::span<const uint8_t> msg, hmac_sha256::Sha256Instructions kernel) {
  NonceRounds rounds(sk, msg, kernel);
  for (;;) {
    rounds.mac_round();
    if (std::optional<Seed> nonce = rounds.finish_round()) return *nonce;
  }
}

void Seed::deterministic_seeds(const PrivateKey& sk, std::span<const std::array<uint8_t, kMaxMessageSize>> msgs,
                               std::span<Fs> out, std::atomic<size_t>& next, hmac_sha256::Sha256Instructions kernel) {
  // Two derivations side by side, a finished one's place taken by the next
  // message's: each round's compressions pair with the other's.
  std::array<std::optional<NonceRounds>, 2> slot;
  std::array<size_t, 2> item{};
  const auto start = [&](size_t s) {
    const size_t i = next.fetch_add(1, std::memory_order_relaxed);
    if (i >= msgs.size()) return;
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
      if (const std::optional<Seed> nonce = slot[s]->finish_round()) {
        out[item[s]] = nonce->value();
        slot[s].reset();
        start(s);
      }
    }
  }
}

RawSignature PrivateKey::sign_raw_message(std::span<const uint8_t> msg, const Seed& seed, uint8_t generator,
                                          const AltJubjubBn256& params) const {
  check_message_size(msg);
  // sk·G lies in the prime-order subgroup by construction (G does), so no
  // order check of the signer's key is made here.
  const Point<PrimeOrder> r = mul_fixed_base(seed.value(), generator, params);
  return RawSignature{r, signature_scalar(msg, sk_, seed.value())};
}

CheckedSignature PrivateKey::sign_and_check(std::span<const uint8_t> msg, const Seed& seed, uint8_t generator,
                                            const AltJubjubBn256& params, SignerKey signer_key) const {
  const bool with_key = signer_key == SignerKey::derive;
  RawSignature sig{Point<Unknown>::zero(), Fs::zero()};
  std::array<Point<Unknown>, 2> points{Point<Unknown>::zero(), Point<Unknown>::zero()};
  if (with_key) {
    // R = r·G and A = sk·G are independent: one pass of the lanes for both.
    check_message_size(msg);
    const std::array<Point<PrimeOrder>, 2> ra = mul_fixed_base_pair(seed.value(), sk_, generator, params);
    sig.r = ra[0];
    points[1] = ra[1];
    sig.s = signature_scalar(msg, sk_, seed.value());
  } else {
    sig = sign_raw_message(msg, seed, generator, params);
  }
  points[0] = sig.r;
  // With A = sk·G, the verification equation S·G = R + c·A is
  // (S - c·sk)·G = R: one more constant-time multiplication by the table
  // checks S against R, where a verifier's c·A would cost a variable-base
  // one. When A is derived as well, (S - c·sk + sk)·G = R + A checks it in
  // the same multiplication. The scalar is the nonce (plus the key), so it is
  // handled as a secret.
  Fs check_scalar = nonce_of(msg, sig.s, sk_);
  if (with_key) check_scalar.add_assign(sk_);
  const Point<PrimeOrder> check_point = mul_fixed_base(check_scalar, generator, params);
  wipe_value(check_scalar);
  bool verifies = with_key ? check_point == points[0].add(points[1], params) : check_point == sig.r;
  declassify(&verifies, sizeof verifies);

  // Normalised in constant time, R (and A) may be handled as public.
  Point<Unknown>::normalize_batch(std::span(points).first(with_key ? 2 : 1));
  declassify(points.data(), sizeof points);
  declassify(&sig.s, sizeof sig.s);
  CheckedSignature out{std::nullopt, RawSignature{points[0], sig.s}, verifies};
  if (with_key) out.public_key = PublicKey{points[1]};
  return out;
}

std::vector<CheckedSignature> PrivateKey::sign_and_check_many(std::span<const Message> msgs, uint8_t generator,
                                                              const AltJubjubBn256& params, cpu::LaneKernel kernel,
                                                              const Spread& spread) const {
  const size_t n = msgs.size();
  // The nonces first, each thread deriving two side by side and taking the
  // next message as one ends: the rejection rounds make their cost uneven.
  std::vector<Fs> nonces(n, Fs::zero());
  // Wiped however the stages end (a stage rethrows a piece's exception).
  struct WipeNonces {
    std::vector<Fs>& v;
    ~WipeNonces() { wipe(v.data(), v.size() * sizeof v[0]); }
  } wipe_nonces{nonces};
  std::atomic<size_t> next{0};
  spread.for_each(spread.width(), [&](size_t) { Seed::deterministic_seeds(*this, msgs, nonces, next); });
  // Then R and S, one range of whole lane groups per thread (the same work
  // for every nonce), each range's R normalised by its own inversion: the
  // normal form does not depend on how the points were grouped.
  std::vector<RawSignature> sigs(n, RawSignature{Point<Unknown>::zero(), Fs::zero()});
  const FixedBaseTable* table = params.fixed_base_table(generator);
  constexpr size_t kGroup = fixed_base_lanes::kLanes;
  spread.for_ranges((n + kGroup - 1) / kGroup, 1, [&](size_t first_group, size_t last_group) {
    const size_t first = first_group * kGroup;
    const size_t last = std::min(n, last_group * kGroup);
    const std::span<const Fs> k = std::span<const Fs>(nonces).subspan(first, last - first);
    std::vector<Point<PrimeOrder>> nonce_points(k.size(), Point<PrimeOrder>::zero());
    if (table != nullptr) {
      table->mul_many(k, nonce_points, kernel);
    } else {
      for (size_t i = 0; i < k.size(); ++i) nonce_points[i] = mul_fixed_base(k[i], generator, params);
    }
    std::vector<Point<Unknown>> r(nonce_points.begin(), nonce_points.end());
    wipe(nonce_points.data(), nonce_points.size() * sizeof nonce_points[0]);
    for (size_t i = first; i < last; ++i) {
      sigs[i].s = signature_scalar(msgs[i], sk_, nonces[i]);
      declassify(&sigs[i].s, sizeof sigs[i].s);
    }
    // Normalised in constant time, the R may be handled as public.
    Point<Unknown>::normalize_batch(r);
    declassify(r.data(), r.size() * sizeof r[0]);
    for (size_t i = first; i < last; ++i) sigs[i].r = r[i - first];
  });
  wipe(nonces.data(), nonces.size() * sizeof nonces[0]);
  const std::vector<bool> verifies = check_own_signatures(msgs, sigs, generator, params, spread);
  std::vector<CheckedSignature> out;
  out.reserve(n);
  for (size_t i = 0; i < n; ++i) out.push_back({std::nullopt, sigs[i], verifies[i]});
  return out;
}

std::vector<bool> PrivateKey::check_own_signatures(std::span<const Message> msgs, std::span<const RawSignature> sigs,
                                                   uint8_t generator, const AltJubjubBn256& params,
                                                   const Spread& spread) const {
  if (msgs.size() != sigs.size()) fail_hard("assertion failed: one signature per message");
  const size_t n = msgs.size();
  std::vector<bool> out(n, true);
  std::vector<FsRepr> scalars(n);
  if (n != 0 && detail::draw_weights(scalars)) {
    // z_i·R_i by one public multi-scalar multiplication, against
    // (sum of z_i·S_i - (sum of z_i·c_i)·sk)·G by one secret one. The sums
    // by ranges (all public: the S and weights are), added in order.
    std::vector<detail::Extended> points(n);
    const size_t ranges = std::min<size_t>(n, spread.width());
    std::vector<Fs> part_zs(ranges, Fs::zero());
    std::vector<Fs> part_zc(ranges, Fs::zero());
    spread.for_each(ranges, [&](size_t k) {
      // Summed in locals, stored once: the parts of all ranges share a cache
      // line, which threads adding into it per item would pass back and forth.
      Fs zs_part = Fs::zero();
      Fs zc_part = Fs::zero();
      for (size_t i = k * n / ranges; i < (k + 1) * n / ranges; ++i) {
        const Fs z = Fs::from_raw(scalars[i]);
        zs_part.add_assign(z * sigs[i].s);
        zc_part.add_assign(z * challenge(msgs[i]));
        points[i] = detail::PointAccess::coords(sigs[i].r);
      }
      part_zs[k] = zs_part;
      part_zc[k] = zc_part;
    });
    Fs zs = Fs::zero();
    Fs zc = Fs::zero();
    for (size_t k = 0; k < ranges; ++k) {
      zs.add_assign(part_zs[k]);
      zc.add_assign(part_zc[k]);
    }
    zc.mul_assign(sk_);
    zs.sub_assign(zc);
    wipe_value(zc);
    // The secret multiplication is one more piece beside the windows of
    // the public one; then the windows are combined (the doublings).
    const Fr d2 = params.edwards_d() + params.edwards_d();
    detail::MsmPlanVartime plan(points, scalars, detail::kWeightBits, d2);
    // An odd pass out between two threads is cut in halves (G's piece is
    // short beside a pass).
    if (spread.width() == 2 && plan.passes() % 2 == 1) plan.split_passes(1);
    std::vector<detail::Extended> sums(plan.pieces());
    Point<Unknown> combined = Point<Unknown>::zero();
    spread.for_each(sums.size() + 1, [&](size_t i) {
      if (i == 0) {
        combined = Point<Unknown>(mul_fixed_base(zs, generator, params));
      } else {
        sums[i - 1] = plan.piece(i - 1);
      }
    });
    wipe_value(zs);
    bool holds = combined == detail::PointAccess::make<Unknown>(plan.combine(sums));
    declassify(&holds, sizeof holds);
    if (holds) return out;
  }
  std::vector<uint8_t> verifies(n, 0);
  spread.for_ranges(n, 4, [&](size_t first, size_t last) {
    for (size_t i = first; i < last; ++i) {
      Fs nonce = nonce_of(msgs[i], sigs[i].s, sk_);
      bool ok = mul_fixed_base(nonce, generator, params) == sigs[i].r;
      wipe_value(nonce);
      declassify(&ok, sizeof ok);
      verifies[i] = ok ? 1 : 0;
    }
  });
  for (size_t i = 0; i < n; ++i) out[i] = verifies[i] != 0;
  return out;
}

PublicKey PublicKey::derive(const PrivateKey& sk, uint8_t generator, const AltJubjubBn256& params) {
  return PublicKey{mul_fixed_base(sk.value(), generator, params)};
}

bool PublicKey::verify_for_raw_message(std::span<const uint8_t> msg, const RawSignature& sig, uint8_t generator,
                                       const AltJubjubBn256& params) const {
  const Fs c = challenge(msg);
  if (!point.is_in_prime_order_subgroup_vartime(params)) return false;
  // R needs no check of its own. The group is Z/8 x Z/s; if A has no part of
  // order 8, then c·A + R = S·G forces R's part of order 8 to be that of
  // S·G - c·A, which is zero. So with A in the subgroup the equation holds
  // exactly when both "R is in the subgroup" and the equation hold, and the
  // equation needs no cofactor.
  return equation_holds_vartime(detail::odd_multiples(detail::PointAccess::coords(point), kEdwardsD + kEdwardsD),
                                c, sig.r, sig.s, generator, params);
}

bool verify_checked_key(const CheckedKey& key, std::span<const uint8_t> msg, const RawSignature& sig,
                        uint8_t generator, const AltJubjubBn256& params) {
  // As verify_for_raw_message, with the key's check and multiples made once.
  if (!key.in_subgroup) return false;
  return equation_holds_vartime(key.multiples(), challenge(msg), sig.r, sig.s, generator, params);
}

namespace {

// A power advanced at each doubling of a multiplication. Two products a
// doubling finish the subgroup check's ~310 within the ~128 doublings; one
// or three did no better (measured).
class WalkBeside final : public detail::Beside {
 public:
  explicit WalkBeside(field::PowerWalk& walk) : walk_(walk) {}
  void step() override { walk_.advance(kProductsPerStep); }

 private:
  static constexpr unsigned kProductsPerStep = 2;
  field::PowerWalk& walk_;
};

}  // namespace

bool verify_new_key_vartime(const PointEncoding& encoding, const Point<Unknown>& decoded,
                            std::span<const uint8_t> msg, const RawSignature& sig, uint8_t generator,
                            const AltJubjubBn256& params) {
  const detail::Extended& a = detail::PointAccess::coords(decoded);
  field::PowerWalk walk(detail::pairing_value_vartime(a), detail::pairing_exponent());
  CheckedKey key = key_before_check(decoded);
  WalkBeside beside(walk);
  const bool holds = equation_holds_vartime(key.multiples(), challenge(msg), sig.r, sig.s, generator, params, &beside);
  key.in_subgroup = walk.result() == Fr::one();
  remember_checked_key(encoding, key);
  return key.in_subgroup && holds;
}

namespace {

// Odd multiples 1·B ... 127·B of B_q = 2^(64q)·B for the signing base B, in
// affine form, for width-8 NAFs of 64-bit quarters. Quarters 0 and 2 (B and
// 2^128·B) are the signing table's odd multiples; 1 and 3 are made here.
struct BaseQuarters {
  static constexpr size_t kOdd = FixedBaseTable::kOddMultiples;
  std::array<std::array<detail::AffineNiels, kOdd>, 2> odd_quarters;

  const detail::AffineNiels* quarter(size_t q) const {
    if (q % 2 == 1) return odd_quarters[q / 2].data();
    return jubjub_params().fixed_base_table(kSigningBase)->odd_multiples(q / 2);
  }
};

BaseQuarters make_base_quarters() {
  const Fr d2 = kEdwardsD + kEdwardsD;
  std::vector<detail::Extended> points;
  detail::Extended base = detail::PointAccess::coords(jubjub_params().generator(kSigningBase));
  for (size_t q = 1; q < 4; q += 2) {
    base = detail::times_2_64(q == 1 ? base : detail::times_2_64(base));
    const detail::CachedNiels twice =
        detail::to_cached(detail::to_extended(detail::dbl(detail::to_projective(base))), d2);
    detail::Extended multiple = base;
    for (size_t j = 0; j < BaseQuarters::kOdd; ++j) {
      points.push_back(multiple);
      multiple = detail::to_extended(detail::add(multiple, twice));
    }
  }
  std::vector<Point<Unknown>> affine;
  affine.reserve(points.size());
  for (const detail::Extended& p : points) affine.push_back(detail::PointAccess::make<Unknown>(p));
  Point<Unknown>::normalize_batch(affine);
  BaseQuarters out{};
  for (size_t i = 0; i < affine.size(); ++i) {
    const detail::Extended& p = detail::PointAccess::coords(affine[i]);
    out.odd_quarters[i / BaseQuarters::kOdd][i % BaseQuarters::kOdd] = detail::to_affine_niels(p.x, p.y, d2);
  }
  return out;
}

// Built once, never destroyed, safe across fork (crypto/immortal.hpp).
const BaseQuarters& base_quarters() {
  static constinit Immortal<BaseQuarters> made;
  return made.get(make_base_quarters);
}

}  // namespace

bool recomputed_r_matches_vartime(const CheckedKey& key, std::span<const uint8_t> msg, const Fs& s,
                                  const PointEncoding& r_encoding) {
  if (!key.in_subgroup || !key.has_quarters) return false;
  // -c·A = (s - c)·A, as A has order s.
  Fs minus_c = challenge(msg);
  minus_c.negate();
  const FsRepr k = minus_c.into_repr();
  const FsRepr w = s.into_repr();
  std::array<detail::Wnaf, 4> k_digits{};
  std::array<detail::Wnaf, 4> w_digits{};
  std::array<detail::WnafTerm, 4> key_terms{};
  std::array<detail::AffineWnafTerm, 4> base_terms{};
  const BaseQuarters& base = base_quarters();
  for (size_t q = 0; q < 4; ++q) {
    k_digits[q] = wnaf_vartime<detail::kWnafWidth>(FsRepr{k[q], 0, 0, 0});
    w_digits[q] = wnaf_vartime<8>(FsRepr{w[q], 0, 0, 0});
    key_terms[q] = {&k_digits[q], &key.quarters[q]};
    base_terms[q] = {&w_digits[q], base.quarter(q)};
  }
  const Point<Unknown> r = detail::PointAccess::make<Unknown>(detail::multi_mul_vartime(key_terms, base_terms));
  return r.encode_vartime() == r_encoding;
}

}  // namespace quillet::jubjub
