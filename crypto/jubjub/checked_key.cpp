#include "crypto/jubjub/checked_key.hpp"

#include <cstddef>

#include "crypto/jubjub/params.hpp"

namespace quillet::jubjub {

CheckedKey key_before_check(const Point<Unknown>& decoded) {
  CheckedKey key{decoded, false, false, {}};
  key.quarters[0] = detail::odd_multiples(detail::PointAccess::coords(decoded), kEdwardsD2);
  return key;
}

CheckedKey check_key_vartime(const Point<Unknown>& decoded) {
  CheckedKey key = key_before_check(decoded);
  key.in_subgroup = decoded.is_in_prime_order_subgroup_vartime(jubjub_params());
  return key;
}

CheckedKey with_quarters_vartime(const CheckedKey& key) {
  CheckedKey out = key;
  detail::Extended p = detail::PointAccess::coords(key.point);
  for (size_t q = 1; q < out.quarters.size(); ++q) {
    p = detail::times_2_64(p);
    out.quarters[q] = detail::odd_multiples(p, kEdwardsD2);
  }
  out.has_quarters = true;
  return out;
}

}  // namespace quillet::jubjub
