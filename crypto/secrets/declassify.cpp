#include "crypto/secrets/declassify.hpp"

namespace quillet::secrets {

// Weak, so that a program may replace it (the constant-time check does).
[[gnu::weak]] void declassify(const void* /*p*/, size_t /*n*/) {}

}  // namespace quillet::secrets
