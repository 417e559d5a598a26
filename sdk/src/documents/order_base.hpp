// The order fields shared by transfers, withdrawals and limit orders.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "sdk/src/json/struct_reader.hpp"
#include "sdk/src/numbers/u256.hpp"

namespace quillet::sdk::documents {

// In a document its three keys stand beside the document's own keys:
// "nonce" (u64 decimal string), "public_key" (hexadecimal packed key of the
// order's owner), "expiration_timestamp" (u32 decimal string).
struct OrderBase {
  uint64_t nonce = 0;
  U256 public_key;
  uint32_t expiration_timestamp = 0;

  bool operator==(const OrderBase&) const = default;
};

// Whether a member named `key` can still matter to read_order_base: only the
// OrderBase keys do, and only their first two occurrences (the second one
// fails at the latest).
bool worth_keeping(std::span<const json::KeptMember> kept, std::string_view key);

// Decodes "nonce", "public_key" and "expiration_timestamp" from `kept` in
// text order, dropping other members; every failure is placed at the
// closing brace `brace_end` of the object they came from.
json::Status read_order_base(const json::Reader& r, std::span<const json::KeptMember> kept,
                             size_t brace_end, OrderBase& out);

// The shared members of a document whose OrderBase is its member `base`.
template <class Doc>
inline constexpr json::SharedMembers<Doc> kOrderBaseOf = {
    &worth_keeping,
    [](const json::Reader& r, std::span<const json::KeptMember> kept, size_t brace_end, Doc& doc) {
      return read_order_base(r, kept, brace_end, doc.base);
    }};

}  // namespace quillet::sdk::documents
