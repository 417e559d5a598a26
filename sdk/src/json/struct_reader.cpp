#include "sdk/src/json/struct_reader.hpp"

#include "sdk/src/documents/field_decoders.hpp"
#include "sdk/src/serde_wrapper/u32_serde.hpp"
#include "sdk/src/serde_wrapper/u64_serde.hpp"

namespace quillet::sdk::json {
namespace {

// Decodes a kept value with `decode`, placing every failure at `at`.
template <class T>
Status decode_kept(const Reader& r, const Token& value, size_t at,
                   Expected<T, std::string> (*decode)(std::string_view), T& out) {
  if (value.kind != TokenKind::kString) {
    return r.error_at(at, "invalid type: " + describe(value) + ", expected a string");
  }
  auto v = decode(value.text);
  if (!v) return r.error_at(at, std::move(v.error()));
  out = std::move(*v);
  return std::nullopt;
}

}  // namespace

JsonError missing_field(const Reader& r, std::string_view key, size_t brace_end) {
  return r.error_at(brace_end, "missing field `" + std::string(key) + "`");
}

JsonError duplicate_field(const Reader& r, std::string_view key, size_t at) {
  return r.error_at(at, "duplicate field `" + std::string(key) + "`");
}

namespace {
constexpr std::string_view kOrderBaseKeys[] = {"nonce", "public_key", "expiration_timestamp"};
}  // namespace

bool worth_keeping(const std::vector<KeptMember>& kept, std::string_view key) {
  bool known = false;
  for (std::string_view k : kOrderBaseKeys) known = known || k == key;
  if (!known) return false;
  size_t seen = 0;
  for (const KeptMember& m : kept) seen += m.key == key ? 1 : 0;
  return seen < 2;
}

Status read_order_base(const Reader& r, const std::vector<KeptMember>& kept, size_t brace_end,
                       OrderBase& out) {
  const auto& kKeys = kOrderBaseKeys;
  bool seen[3] = {};
  for (const KeptMember& m : kept) {
    size_t i = 0;
    while (i < 3 && kKeys[i] != m.key) ++i;
    if (i == 3) continue;
    if (seen[i]) return duplicate_field(r, kKeys[i], brace_end);
    seen[i] = true;
    Status err;
    switch (i) {
      case 0:
        err = decode_kept(r, m.value, brace_end, &serde_wrapper::U64SerdeAsString::decode,
                          out.nonce);
        break;
      case 1:
        err = decode_kept(r, m.value, brace_end, &serde_wrapper::decode_key_hex, out.public_key);
        break;
      default:
        err = decode_kept(r, m.value, brace_end, &serde_wrapper::U32SerdeAsString::decode,
                          out.expiration_timestamp);
        break;
    }
    if (err) return err;
  }
  for (size_t i = 0; i < 3; ++i) {
    if (!seen[i]) return missing_field(r, kKeys[i], brace_end);
  }
  return std::nullopt;
}

}  // namespace quillet::sdk::json
