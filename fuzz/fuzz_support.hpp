// Shared pieces of the libFuzzer harnesses.
//
// A harness feeds one input to the library and checks what came back. The
// library may answer with a value, a returned error or a HardFailure; any
// other exception escapes the harness and stops the fuzzer, as do the
// sanitizers. A broken property calls violated(), which aborts.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "crypto/failure.hpp"
#include "crypto/jubjub/params.hpp"
#include "crypto/poseidon/poseidon.hpp"

namespace quillet::fuzz {

[[noreturn]] inline void violated(const char* what, std::string_view detail = {}) {
  std::fprintf(stderr, "property violated: %s\n%.*s\n", what, static_cast<int>(detail.size()),
               detail.data());
  std::abort();
}

inline void check(bool ok, const char* what, std::string_view detail = {}) {
  if (!ok) violated(what, detail);
}

inline std::string_view as_text(const uint8_t* data, size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

// Splits the input into up to N texts at the byte 0x00, so that the
// corpus files stay readable (the last text takes the rest, separators
// included).
template <size_t N>
std::array<std::string_view, N> split(std::string_view input) {
  std::array<std::string_view, N> out{};
  for (size_t i = 0; i + 1 < N; ++i) {
    const size_t at = input.find('\0');
    if (at == std::string_view::npos) {
      out[i] = input;
      return out;
    }
    out[i] = input.substr(0, at);
    input.remove_prefix(at + 1);
  }
  out[N - 1] = input;
  return out;
}

// The outcome of `f()`, or the hard failure's text.
template <class F>
struct Outcome {
  std::optional<decltype(std::declval<F>()())> value;
  std::string hard_failure;
};

template <class F>
Outcome<F> run(F f) {
  Outcome<F> out;
  try {
    out.value.emplace(f());
  } catch (const HardFailure& e) {
    out.hard_failure = e.text();
  }
  return out;
}

inline bool is_lower_hex(std::string_view digits) {
  for (char c : digits) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

// "0x" followed by exactly 64 lower-case hexadecimal digits.
inline bool is_hex64(std::string_view text) {
  return text.size() == 66 && text.starts_with("0x") && is_lower_hex(text.substr(2));
}

// A JSON-layer error text: a message, " at line L column C".
inline bool has_position(std::string_view text) {
  const size_t at = text.rfind(" at line ");
  if (at == std::string_view::npos) return false;
  return text.find(" column ", at) != std::string_view::npos;
}

}  // namespace quillet::fuzz

// Builds the two constant tables before the first input, so that their
// one-time cost is not charged to it (and cannot trip the per-input timeout).
extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  (void)quillet::poseidon::poseidon_hasher();
  (void)quillet::jubjub::jubjub_params();
  return 0;
}
