#include "crypto/jubjub/params.hpp"

#include <string>
#include <string_view>

#include "crypto/failure.hpp"
#include "crypto/immortal.hpp"

namespace quillet::jubjub {
namespace {

// The coefficient as it is usually written, checked against the constant.
static_assert(kEdwardsD ==
              Fr::from_decimal_constant(
                  "12181644023421730124874158521699555681764249180949974110617291017600649128846"));
// d is -168696/168700, the a = -1 form of 168700·x^2 + y^2 = 1 + 168696·x^2·y^2.
static_assert(kEdwardsD * Fr::from_u128(168700, 0) + Fr::from_u128(168696, 0) == Fr::zero());

// Every group-hash input starts with these 64 ASCII characters (the
// characters themselves, not the bytes they spell).
constexpr std::string_view kTagPrefix = "096b36a5804bfacef1691e173c366a47ff5ba84a44f26ddd7e8d9f79d5b42df0";

constexpr Personalization personalization(std::string_view text) {
  Personalization p{};
  for (size_t i = 0; i < p.size(); ++i) p[i] = static_cast<uint8_t>(text[i]);
  return p;
}

struct BaseSource {
  std::string_view m;
  Personalization personal;
};

// The fixed bases in index order; the last is the signing base.
constexpr std::array<BaseSource, kFixedBaseCount> kBaseSources = {{
    {"", personalization("Zcash_H_")},
    {"r", personalization("Zcash_PH")},
    {"", personalization("Zcash_J_")},
    {"v", personalization("Zcash_cv")},
    {"r", personalization("Zcash_cv")},
    {"", personalization("Zcash_G_")},
}};

std::span<const uint8_t> bytes_of(std::string_view s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

// The six bases in index order, checked. Reads only d from `params`, which
// is set before this runs.
std::vector<Point<PrimeOrder>> checked_fixed_bases(const AltJubjubBn256& params) {
  std::vector<Point<PrimeOrder>> bases;
  bases.reserve(kFixedBaseCount);
  for (const BaseSource& source : kBaseSources) {
    bases.push_back(find_group_hash(bytes_of(source.m), source.personal, params));
  }
  const Point<PrimeOrder> neutral = Point<PrimeOrder>::zero();
  for (size_t i = 0; i < bases.size(); ++i) {
    if (bases[i] == neutral) fail_hard("Neutral element!");
    for (size_t j = i + 1; j < bases.size(); ++j) {
      if (bases[i] == bases[j]) fail_hard("Duplicate generator!");
    }
  }
  return bases;
}

}  // namespace

AltJubjubBn256::AltJubjubBn256()
    : fixed_bases_(checked_fixed_bases(*this)), signing_table_(fixed_bases_[kSigningBase]) {}

const Point<PrimeOrder>& AltJubjubBn256::generator(uint8_t index) const {
  if (index >= fixed_bases_.size()) {
    fail_hard("index out of bounds: the len is " + std::to_string(fixed_bases_.size()) + " but the index is " +
              std::to_string(index));
  }
  return fixed_bases_[index];
}

const AltJubjubBn256& jubjub_params() {
  // Built once, never destroyed, safe across fork (immortal.hpp); a build that
  // fails hard is retried by the next user.
  static constinit Immortal<AltJubjubBn256> params;
  return params.get([] { return AltJubjubBn256(); });
}

std::array<uint8_t, 32> group_hash_digest(std::span<const uint8_t> tag, const Personalization& personal) {
  return blake2s::blake2s_personalized({bytes_of(kTagPrefix), tag}, personal);
}

std::optional<Point<PrimeOrder>> baby_group_hash(std::span<const uint8_t> tag, const Personalization& personal,
                                                 const AltJubjubBn256& params) {
  const std::array<uint8_t, 32> digest = group_hash_digest(tag, personal);
  const auto p = Point<Unknown>::read(digest, params);
  if (!p) return std::nullopt;
  const Point<PrimeOrder> q = p->clear_cofactor();
  if (q == Point<PrimeOrder>::zero()) return std::nullopt;
  return q;
}

Point<PrimeOrder> find_group_hash(std::span<const uint8_t> m, const Personalization& personal,
                                  const AltJubjubBn256& params) {
  std::vector<uint8_t> tag(m.begin(), m.end());
  tag.push_back(0);
  uint8_t& counter = tag.back();
  for (;;) {
    const std::optional<Point<PrimeOrder>> p = baby_group_hash(tag, personal, params);
    if (counter == 255) fail_hard("assertion failed: tag[i] != u8::max_value()");
    ++counter;
    if (p) return *p;
  }
}

}  // namespace quillet::jubjub
