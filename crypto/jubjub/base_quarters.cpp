#include "crypto/jubjub/base_quarters.hpp"

#include <vector>

#include "crypto/immortal.hpp"
#include "crypto/jubjub/params.hpp"
#include "crypto/jubjub/point.hpp"

namespace quillet::jubjub::detail {
namespace {

BaseQuarters make_base_quarters() {
  std::vector<Extended> points;
  Extended base = PointAccess::coords(signing_base());
  for (size_t q = 1; q < 4; q += 2) {
    base = times_2_64(q == 1 ? base : times_2_64(base));
    const CachedNiels twice = to_cached(to_extended(dbl(to_projective(base))), kEdwardsD2);
    Extended multiple = base;
    for (size_t j = 0; j < BaseQuarters::kOdd; ++j) {
      points.push_back(multiple);
      multiple = to_extended(add(multiple, twice));
    }
  }
  std::vector<Point<Unknown>> affine;
  affine.reserve(points.size());
  for (const Extended& p : points) affine.push_back(PointAccess::make<Unknown>(p));
  Point<Unknown>::normalize_batch(affine);
  BaseQuarters out{};
  for (size_t i = 0; i < affine.size(); ++i) {
    const Extended& p = PointAccess::coords(affine[i]);
    out.odd_quarters[i / BaseQuarters::kOdd][i % BaseQuarters::kOdd] = to_affine_niels(p.x, p.y, kEdwardsD2);
  }
  return out;
}

}  // namespace

const AffineNiels* BaseQuarters::quarter(size_t q) const {
  if (q % 2 == 1) return odd_quarters[q / 2].data();
  return signing_table().odd_multiples(q / 2);
}

const BaseQuarters& base_quarters() {
  static constinit Immortal<BaseQuarters> made;
  return made.get(make_base_quarters);
}

}  // namespace quillet::jubjub::detail
