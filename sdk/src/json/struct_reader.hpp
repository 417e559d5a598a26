// Readers for the two shapes of JSON object a document may take:
//
// - a JSON object whose own keys are decoded in text order while the members
//   a shared part asks for are kept, and then handed to that part once the
//   object is closed (read_struct_with_shared);
// - a JSON object, or a JSON array of the fields in order
//   (read_struct_or_tuple).
//
// Both report missing keys in table order at the closing brace, a repeated
// own key at its second occurrence, and every failure with its position.
// Which keys exist and how their values decode is the caller's table: this
// layer knows no document.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <span>
#include <string_view>
#include <utility>

#include "sdk/src/json/reader.hpp"

namespace quillet::sdk::json {

// One own key of a document and how its value is read into the document.
template <class Doc>
struct Field {
  std::string_view key;
  Status (*read)(Reader&, Doc&);
};

// Views into the Reader's tokens: valid while it lives.
struct KeptMember {
  std::string_view key;
  Token value;  // first token of the value
};

// The members kept from one object: a shared part keeps a few.
using KeptMembers = InlineVector<KeptMember, 8>;

// The members of an object that belong to a part shared by several
// documents: kept while the object is read, decoded after its closing brace.
template <class Doc>
struct SharedMembers {
  // Whether a member named `key` can still matter, given those kept so far.
  bool (*keep)(std::span<const KeptMember> kept, std::string_view key);
  // Decodes the kept members into `doc`; every failure is placed at
  // `brace_end`, the closing brace of the object they came from.
  Status (*read)(const Reader& r, std::span<const KeptMember> kept, size_t brace_end, Doc& doc);
};

JsonError missing_field(const Reader& r, std::string_view key, size_t brace_end);
JsonError duplicate_field(const Reader& r, std::string_view key, size_t at);

// A kept value decoded with `decode`, every failure placed at `at`: a string
// is expected.
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
// Own keys are read into `doc`; other members go to `kept` when `keep` is
// given and says so, and are dropped otherwise. Returns the closing brace's
// token end.
template <class Doc, size_t N>
Expected<size_t, JsonError> read_members(Reader& r, const std::array<Field<Doc>, N>& fields, Doc& doc,
                                         bool (*keep)(std::span<const KeptMember>, std::string_view),
                                         KeptMembers* kept) {
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
    } else if (keep != nullptr && keep(*kept, t.text)) {
      const std::string_view key = t.text;
      auto value = r.hold_value();
      if (!value) return unexpected(std::move(value.error()));
      kept->push_back({key, *value});
    } else if (auto err = r.skip_value()) {
      return unexpected(std::move(*err));
    }
  }
}

}  // namespace detail

// `expected` names the document in type errors, e.g. "struct Transfer".
template <class Doc, size_t N>
Expected<Doc, JsonError> read_struct_with_shared(Reader& r, std::string_view expected,
                                                 const std::array<Field<Doc>, N>& fields,
                                                 const SharedMembers<Doc>& shared) {
  const Token& t = r.next();
  if (t.kind != TokenKind::kStartObject) {
    if (t.kind == TokenKind::kError || t.kind == TokenKind::kEnd) return unexpected(r.error_of(t));
    return unexpected(r.invalid_type(t, expected));
  }
  Doc doc{};
  KeptMembers kept;
  auto brace = detail::read_members(r, fields, doc, shared.keep, &kept);
  if (!brace) return unexpected(std::move(brace.error()));
  if (auto err = shared.read(r, kept, *brace, doc)) return unexpected(std::move(*err));
  return doc;
}

// `name` is the document's type name, e.g. "Liquidate".
template <class Doc, size_t N>
Expected<Doc, JsonError> read_struct_or_tuple(Reader& r, std::string_view name,
                                              const std::array<Field<Doc>, N>& fields) {
  const Token& t = r.next();
  Doc doc{};
  if (t.kind == TokenKind::kStartObject) {
    auto brace = detail::read_members(r, fields, doc, nullptr, nullptr);
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
