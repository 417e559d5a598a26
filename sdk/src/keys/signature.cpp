#include "sdk/src/keys/signature.hpp"

#include <string>

#include "crypto/failure.hpp"

namespace quillet::sdk::keys {

U256 parse_signature_text(std::string_view text) {
  const auto v = U256::from_str_radix(trim_hex_prefix(text), 16);
  if (!v) fail_hard(std::string(kUnwrapErr) + v.error().debug());
  return *v;
}

jubjub::Fs signature_scalar(const U256& s) {
  const auto v = jubjub::Fs::from_repr(s.words);
  if (!v) fail_hard(std::string(kUnwrapErr) + v.error().debug());
  return *v;
}

}  // namespace quillet::sdk::keys
