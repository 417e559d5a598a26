// The one document harness, instantiated by each document_*_fuzz.cpp: a
// reader, the hash entry point that reads the same text, and the hash of a
// parsed document. A refused text must be refused by the entry point with
// the reader's error; an accepted one must hash as the parsed document does
// (a negative synthetic asset id failing hard in both).
#pragma once

#include <string>
#include <string_view>

#include "fuzz/fuzz_support.hpp"
#include "sdk/src/hashing/message_hash.hpp"
#include "sdk/src/json/json_error.hpp"
#include "sdk/src/json/tokenizer.hpp"
#include "sdk/src/lib.hpp"

namespace quillet::fuzz {

template <class Doc>
struct DocumentUnderTest {
  Expected<Doc, sdk::JsonError> (*parse)(std::string_view);
  sdk::Result<std::string> (*hash_entry)(std::string_view);
  sdk::hashing::HashWords (*hash)(const Doc&);
  // hash_transfer fails hard on a refused text, showing the error's debug
  // form; the other entry points return the error.
  bool refusal_fails_hard = false;
};

template <class Doc>
int fuzz_document(const uint8_t* data, size_t size, const DocumentUnderTest<Doc>& d) {
  const std::string_view json = as_text(data, size);
  // The strict scanner's tokens are RapidJSON's wherever it reads the text.
  sdk::json::TokenList fast, reference;
  sdk::json::tokenize(json, fast);
  sdk::json::tokenize_reference(json, reference);
  check(fast.tokens.size() == reference.tokens.size(), "token count of the strict scanner");
  for (size_t i = 0; i < fast.tokens.size(); ++i) {
    const sdk::json::Token& a = fast.tokens[i];
    const sdk::json::Token& b = reference.tokens[i];
    check(a.kind == b.kind && a.boolean == b.boolean && a.end == b.end && a.count == b.count && a.text == b.text,
          "token of the strict scanner");
  }
  const auto parsed = d.parse(json);
  const auto hashed = run([&] { return d.hash_entry(json); });
  if (!parsed) {
    check(has_position(parsed.error().to_string()), "error carries its position");
    if (d.refusal_fails_hard) {
      check(!hashed.value, "the entry point hashed a refused document");
      check(hashed.hard_failure == std::string(kUnwrapErr) + parsed.error().debug(),
            "hard failure shows the parse error", hashed.hard_failure);
    } else {
      check(hashed.value && !hashed.value->has_value() &&
                hashed.value->error().to_string() == parsed.error().to_string(),
            "the entry point returns the parse error");
    }
    return 0;
  }
  const auto direct = run([&] { return sdk::hashing::hash_text(d.hash(*parsed)); });
  if (!direct.value) {
    check(direct.hard_failure == "Unsigned integer can't be created from negative value",
          "only a negative synthetic asset fails hard", direct.hard_failure);
    check(!hashed.value && hashed.hard_failure == direct.hard_failure, "the entry point fails hard alike",
          hashed.hard_failure);
    return 0;
  }
  check(hashed.value && hashed.value->has_value(), "the entry point refused a parsed document");
  check(is_hex64(**hashed.value), "hash text form", **hashed.value);
  check(**hashed.value == *direct.value, "hash of the parsed document", **hashed.value);
  return 0;
}

}  // namespace quillet::fuzz
