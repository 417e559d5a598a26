// Readers for the two shapes of transaction document:
//
// - a JSON object whose own keys are decoded in text order while the other
//   members are kept, and whose OrderBase is then built from the kept members
//   (read_struct_with_base);
// - a JSON object, or a JSON array of the fields in order, without OrderBase
//   (read_struct_or_tuple).
//
// Both report missing keys in table order at the closing brace, a repeated
// own key at its second occurrence, and every failure with its position.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "sdk/src/documents/order_base.hpp"
#include "sdk/src/json/reader.hpp"

namespace quillet::sdk::json {

// One own key of a document and how its value is read into the document.
template <class Doc>
struct Field {
  std::string_view key;
  Status (*read)(Reader&, Doc&);
};

struct KeptMember {
  std::string key;
  Token value;  // first token of the value
};

JsonError missing_field(const Reader& r, std::string_view key, size_t brace_end);
// Whether a member named `key` can still matter to read_order_base: only the
// OrderBase keys do, and only their first two occurrences (the second one
// fails at the latest).
bool worth_keeping(const std::vector<KeptMember>& kept, std::string_view key);
JsonError duplicate_field(const Reader& r, std::string_view key, size_t at);

// Decodes "nonce", "public_key" and "expiration_timestamp" from `kept` in
// text order, dropping other members; every failure is placed at the
// closing brace `brace_end` of the object they came from.
Status read_order_base(const Reader& r, const std::vector<KeptMember>& kept, size_t brace_end,
                       OrderBase& out);

namespace detail {

// Index of `key` among `fields`, or N.
template <class Doc, size_t N>
size_t find_field(const std::array<Field<Doc>, N>& fields, std::string_view key) {
  for (size_t i = 0; i < N; ++i) {
    if (fields[i].key == key) return i;
  }
  return N;
}

// Reads the members of an object whose opening brace was just consumed.
// Own keys are read into `doc`; other members go to `kept` when it is given
// and they may matter to OrderBase, and are dropped otherwise. Returns the
// closing brace's token end.
template <class Doc, size_t N>
Expected<size_t, JsonError> read_members(Reader& r, const std::array<Field<Doc>, N>& fields,
                                         Doc& doc, std::vector<KeptMember>* kept) {
  std::array<bool, N> seen{};
  for (;;) {
    const Token& t = r.next();
    if (t.kind == TokenKind::kEndObject) {
      for (size_t i = 0; i < N; ++i) {
        if (!seen[i]) return unexpected(missing_field(r, fields[i].key, t.end));
      }
      return t.end;
    }
    if (t.kind != TokenKind::kKey) return unexpected(r.error_of(t));
    const size_t i = find_field(fields, t.text);
    if (i < N) {
      if (seen[i]) return unexpected(duplicate_field(r, fields[i].key, t.end));
      seen[i] = true;
      if (auto err = fields[i].read(r, doc)) return unexpected(std::move(*err));
    } else if (kept != nullptr && worth_keeping(*kept, t.text)) {
      std::string key = t.text;
      auto value = r.hold_value();
      if (!value) return unexpected(std::move(value.error()));
      kept->push_back({std::move(key), std::move(*value)});
    } else if (auto err = r.skip_value()) {
      return unexpected(std::move(*err));
    }
  }
}

}  // namespace detail

// `expected` names the document in type errors, e.g. "struct Transfer".
template <class Doc, size_t N>
Expected<Doc, JsonError> read_struct_with_base(Reader& r, std::string_view expected,
                                               const std::array<Field<Doc>, N>& fields,
                                               OrderBase Doc::*base) {
  const Token& t = r.next();
  if (t.kind != TokenKind::kStartObject) {
    if (t.kind == TokenKind::kError || t.kind == TokenKind::kEnd) return unexpected(r.error_of(t));
    return unexpected(r.invalid_type(t, expected));
  }
  Doc doc{};
  std::vector<KeptMember> kept;
  auto brace = detail::read_members(r, fields, doc, &kept);
  if (!brace) return unexpected(std::move(brace.error()));
  if (auto err = read_order_base(r, kept, *brace, doc.*base)) return unexpected(std::move(*err));
  return doc;
}

// `name` is the document's type name, e.g. "Liquidate".
template <class Doc, size_t N>
Expected<Doc, JsonError> read_struct_or_tuple(Reader& r, std::string_view name,
                                              const std::array<Field<Doc>, N>& fields) {
  const Token& t = r.next();
  Doc doc{};
  if (t.kind == TokenKind::kStartObject) {
    auto brace = detail::read_members(r, fields, doc, nullptr);
    if (!brace) return unexpected(std::move(brace.error()));
    return doc;
  }
  if (t.kind == TokenKind::kStartArray) {
    for (size_t i = 0; i < N; ++i) {
      const Token& p = r.peek();
      if (p.kind == TokenKind::kEndArray) {
        r.next();
        return unexpected(r.error_at(p.end, "invalid length " + std::to_string(i) +
                                                ", expected struct " + std::string(name) +
                                                " with " + std::to_string(N) + " elements"));
      }
      if (auto err = fields[i].read(r, doc)) return unexpected(std::move(*err));
    }
    if (auto err = r.end_fixed_array()) return unexpected(std::move(*err));
    return doc;
  }
  if (t.kind == TokenKind::kError || t.kind == TokenKind::kEnd) return unexpected(r.error_of(t));
  return unexpected(r.invalid_type(t, "struct " + std::string(name)));
}

// Runs `read` on the whole of `json` and requires nothing after the value.
template <class Doc, class Read>
Expected<Doc, JsonError> parse_document(std::string_view json, Read read) {
  Reader r(json);
  auto doc = read(r);
  if (!doc) return doc;
  if (auto err = r.finish()) return unexpected(std::move(*err));
  return doc;
}

}  // namespace quillet::sdk::json
