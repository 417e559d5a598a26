#include "sdk/src/documents/order_base.hpp"

#include <array>

#include "sdk/src/documents/field_decoders.hpp"
#include "sdk/src/documents/field_table.hpp"

namespace quillet::sdk::documents {
namespace {

constexpr std::array<KeptField<OrderBase>, 3> kFields = {{
    kept_field<&OrderBase::nonce, &U64SerdeAsString::decode>("nonce"),
    kept_field<&OrderBase::public_key, &decode_key_hex>("public_key"),
    kept_field<&OrderBase::expiration_timestamp, &U32SerdeAsString::decode>("expiration_timestamp"),
}};

}  // namespace

bool worth_keeping(std::span<const json::KeptMember> kept, std::string_view key) {
  bool known = false;
  for (const KeptField<OrderBase>& f : kFields) known = known || f.key == key;
  if (!known) return false;
  size_t seen = 0;
  for (const json::KeptMember& m : kept) seen += m.key == key ? 1 : 0;
  return seen < 2;
}

json::Status read_order_base(const json::Reader& r, std::span<const json::KeptMember> kept,
                             size_t brace_end, OrderBase& out) {
  std::array<bool, kFields.size()> seen{};
  for (const json::KeptMember& m : kept) {
    size_t i = 0;
    while (i < kFields.size() && kFields[i].key != m.key) ++i;
    if (i == kFields.size()) continue;
    if (seen[i]) return json::duplicate_field(r, kFields[i].key, brace_end);
    seen[i] = true;
    if (auto err = kFields[i].decode(r, m.value, brace_end, out)) return err;
  }
  for (size_t i = 0; i < kFields.size(); ++i) {
    if (!seen[i]) return json::missing_field(r, kFields[i].key, brace_end);
  }
  return std::nullopt;
}

}  // namespace quillet::sdk::documents
