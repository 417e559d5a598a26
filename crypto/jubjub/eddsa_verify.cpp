// Verification: of a signature under a key given as a point, under a key
// already checked, under a key met for the first time (its check run beside
// the equation), and by recomputing R under a key with quarter tables.
#include <array>
#include <span>

#include "crypto/field/pow_many.hpp"
#include "crypto/jubjub/base_quarters.hpp"
#include "crypto/jubjub/eddsa.hpp"
#include "crypto/jubjub/msm/straus.hpp"
#include "crypto/jubjub/scalar_split.hpp"
#include "crypto/jubjub/subgroup.hpp"

namespace quillet::jubjub {

using detail::challenge;

namespace {

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
                            const Fs& s, detail::Beside* beside = nullptr) {
  const RatioSplit split = split_ratio_vartime(c);
  Fs v = Fs::from_raw(split.v);
  const Point<Unknown> r_signed = split.v_negative ? r.negate() : r;
  if (split.v_negative) v.negate();
  // -(v·S): the base's terms are added like the others.
  const FsRepr w = (-(v * s)).into_repr();

  const detail::Wnaf u_digits = wnaf_vartime<detail::kWnafWidth>(split.u);
  const detail::Wnaf v_digits = wnaf_vartime<detail::kWnafWidth>(split.v);
  const detail::OddMultiples r_multiples = detail::odd_multiples(detail::PointAccess::coords(r_signed), kEdwardsD2);
  const std::array<detail::WnafTerm, 2> terms{{{&u_digits, &a_multiples}, {&v_digits, &r_multiples}}};

  const FixedBaseTable& table = signing_table();
  static_assert(FixedBaseTable::kHalfBits == 128);
  const detail::Wnaf w_low = wnaf_vartime<FixedBaseTable::kNafWidth>(FsRepr{w[0], w[1], 0, 0});
  const detail::Wnaf w_high = wnaf_vartime<FixedBaseTable::kNafWidth>(FsRepr{w[2], w[3], 0, 0});
  const std::array<detail::AffineWnafTerm, 2> base_terms{
      {{&w_low, table.odd_multiples(0)}, {&w_high, table.odd_multiples(1)}}};
  return detail::is_identity_vartime(beside != nullptr ? detail::multi_mul_vartime(terms, base_terms, *beside)
                                                       : detail::multi_mul_vartime(terms, base_terms));
}

}  // namespace

bool PublicKey::verify_for_raw_message(std::span<const uint8_t> msg, const RawSignature& sig) const {
  const Fs c = challenge(msg);
  if (!point.is_in_prime_order_subgroup_vartime(jubjub_params())) return false;
  // R needs no check of its own. The group is Z/8 x Z/s; if A has no part of
  // order 8, then c·A + R = S·G forces R's part of order 8 to be that of
  // S·G - c·A, which is zero. So with A in the subgroup the equation holds
  // exactly when both "R is in the subgroup" and the equation hold, and the
  // equation needs no cofactor.
  return equation_holds_vartime(detail::odd_multiples(detail::PointAccess::coords(point), kEdwardsD2), c, sig.r,
                                sig.s);
}

bool verify_checked_key(const CheckedKey& key, std::span<const uint8_t> msg, const RawSignature& sig) {
  // As verify_for_raw_message, with the key's check and multiples made once.
  if (!key.in_subgroup) return false;
  return equation_holds_vartime(key.multiples(), challenge(msg), sig.r, sig.s);
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

NewKeyVerdict verify_new_key_vartime(const Point<Unknown>& decoded, std::span<const uint8_t> msg,
                                     const RawSignature& sig) {
  const detail::Extended& a = detail::PointAccess::coords(decoded);
  field::PowerWalk walk(detail::pairing_value_vartime(a), detail::pairing_exponent());
  NewKeyVerdict out{false, key_before_check(decoded)};
  WalkBeside beside(walk);
  const bool holds = equation_holds_vartime(out.key.multiples(), challenge(msg), sig.r, sig.s, &beside);
  out.key.in_subgroup = walk.result() == Fr::one();
  out.verifies = out.key.in_subgroup && holds;
  return out;
}

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
  const detail::BaseQuarters& base = detail::base_quarters();
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
