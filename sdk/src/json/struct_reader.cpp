#include "sdk/src/json/struct_reader.hpp"

namespace quillet::sdk::json {

JsonError missing_field(const Reader& r, std::string_view key, size_t brace_end) {
  return r.error_at(brace_end, "missing field `" + std::string(key) + "`");
}

JsonError duplicate_field(const Reader& r, std::string_view key, size_t at) {
  return r.error_at(at, "duplicate field `" + std::string(key) + "`");
}

}  // namespace quillet::sdk::json
