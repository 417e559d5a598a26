// The one way a document names its fields: field<&Doc::member, decode>(key)
// is the table entry that reads the member from a JSON value.
//
// `decode` is a text decoder (field_decoders.hpp) for a member read from a
// JSON string, the reader of a nested document (Expected<T, JsonError>(Reader&))
// for a member that is one, and is left out for a bool.
#pragma once

#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "sdk/src/json/struct_reader.hpp"

namespace quillet::sdk::documents {
namespace detail {

template <class>
struct MemberOf;
template <class D, class T>
struct MemberOf<T D::*> {
  using Doc = D;
  using Type = T;
};

template <auto Member>
using DocOf = typename MemberOf<decltype(Member)>::Doc;

template <auto Member, auto Decode>
json::Status read_member(json::Reader& r, DocOf<Member>& doc) {
  using T = typename MemberOf<decltype(Member)>::Type;
  if constexpr (std::is_same_v<decltype(Decode), std::nullptr_t>) {
    static_assert(std::is_same_v<T, bool>, "only a bool is read without a decoder");
    return r.read_bool(doc.*Member);
  } else if constexpr (std::is_invocable_v<decltype(Decode), json::Reader&>) {
    auto value = Decode(r);
    if (!value) return std::move(value.error());
    doc.*Member = std::move(*value);
    return std::nullopt;
  } else {
    return r.read_string(doc.*Member, Decode);
  }
}

template <auto Member, auto Decode>
json::Status decode_kept_member(const json::Reader& r, const json::Token& value, size_t at,
                                DocOf<Member>& doc) {
  return json::decode_kept(r, value, at, Decode, doc.*Member);
}

}  // namespace detail

template <auto Member, auto Decode = nullptr>
constexpr json::Field<detail::DocOf<Member>> field(std::string_view key) {
  return {key, &detail::read_member<Member, Decode>};
}

// An entry of a table of kept members: decoded from a kept string value
// after the object closed, every failure placed at its closing brace.
template <class Doc>
struct KeptField {
  std::string_view key;
  json::Status (*decode)(const json::Reader&, const json::Token&, size_t at, Doc&);
};

template <auto Member, auto Decode>
constexpr KeptField<detail::DocOf<Member>> kept_field(std::string_view key) {
  return {key, &detail::decode_kept_member<Member, Decode>};
}

}  // namespace quillet::sdk::documents
