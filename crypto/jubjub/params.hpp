// The curve parameter set: the coefficient d and the six fixed bases, each
// derived by the BLAKE2s group hash when the set is built, and the table of
// multiples of the signing base.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "crypto/blake2s/blake2s.hpp"
#include "crypto/field/fr.hpp"
#include "crypto/jubjub/fixed_base.hpp"
#include "crypto/jubjub/point.hpp"

namespace quillet::jubjub {

using blake2s::Personalization;

// The index of the base that every key, signature and verification uses.
inline constexpr uint8_t kSigningBase = 5;
inline constexpr size_t kFixedBaseCount = 6;

class AltJubjubBn256 {
 public:
  // Parses d, derives the six fixed bases (a few dozen BLAKE2s evaluations,
  // square roots and doublings) and tabulates the signing base. Fails hard
  // only on the construction checks, which these constants pass: "Neutral
  // element!", "Duplicate generator!" and the counter-byte assertion.
  AltJubjubBn256();

  // d = -168696/168700 mod r; the coefficient a = -1 is built into the point
  // formulas.
  const Fr& edwards_d() const { return kEdwardsD; }

  // The fixed base with that index. Fails hard for an index of 6 or more
  // ("index out of bounds: the len is 6 but the index is N").
  const Point<PrimeOrder>& generator(uint8_t index) const;

  // The table of multiples of the signing base, generator(kSigningBase)
  // (the other bases have none).
  const FixedBaseTable& signing_table() const { return signing_table_; }

 private:
  std::vector<Point<PrimeOrder>> fixed_bases_;
  FixedBaseTable signing_table_;
};

// The process-wide parameter set, built on first use (concurrent first users
// wait for the one build) and read-only afterwards.
const AltJubjubBn256& jubjub_params();

// The signing base G of the process-wide set, which every key, signature and
// verification uses, and its table.
inline const Point<PrimeOrder>& signing_base() { return jubjub_params().generator(kSigningBase); }
inline const FixedBaseTable& signing_table() { return jubjub_params().signing_table(); }

// The digest one group-hash attempt decodes: BLAKE2s-256 personalised with
// `personal` over the 64-character tag prefix and `tag`.
std::array<uint8_t, 32> group_hash_digest(std::span<const uint8_t> tag, const Personalization& personal);

// One attempt of the group hash: the digest read as a point and multiplied by
// the cofactor 8; nothing if it does not decode or lands on the neutral
// point. Needs only `params.edwards_d()`.
std::optional<Point<PrimeOrder>> baby_group_hash(std::span<const uint8_t> tag, const Personalization& personal,
                                                 const AltJubjubBn256& params);

// The first successful attempt over the tags m‖0, m‖1, ... . Fails hard with
// "assertion failed: tag[i] != u8::max_value()" once an attempt with counter
// byte 255 has been made.
Point<PrimeOrder> find_group_hash(std::span<const uint8_t> m, const Personalization& personal,
                                  const AltJubjubBn256& params);

}  // namespace quillet::jubjub
