// The seventeen functions as data: each one's parameters, failure class and
// core call, shared by the module quillet_python_sdk (one call at a time) and
// quillet._batch (many calls at once, off the interpreter lock).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <exception>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "crypto/failure.hpp"
#include "crypto/jubjub/fs.hpp"
#include "crypto/spread/spread.hpp"
#include "python/src/binding.hpp"
#include "python/src/failure.hpp"
#include "sdk/src/documents/document_hash.hpp"

namespace quillet::python {

// What a core call gives back on success: text or a truth value; a batch's
// hash text as its characters, without a string of its own; for the typed
// package, a signature's two values (r, s) in the same form, and a result's
// several texts (an L1 signature's), each a str in Python.
using HashChars = std::array<char, 66>;
using SignatureChars = std::array<HashChars, 2>;
using Texts = std::vector<std::string>;
using Value = std::variant<std::string, bool, HashChars, SignatureChars, Texts>;
using Outcome = Expected<Value, Failure>;
using CoreCall = Outcome (*)(const Args&);

struct Function {
  Signature sig;
  const char* doc;
  FailureClass failure_class;
  CoreCall call;
};

inline constexpr std::size_t kFunctionCount = 17;

// Registration order; also the order of quillet_python_sdk.__all__.
extern const std::array<Function, kFunctionCount> kFunctions;

// The record named `name`, or nullptr.
const Function* find_function(std::string_view name);

// Runs `call`, a core call giving an Outcome: every failure inside it,
// returned or hard, comes back as the Failure; nothing escapes. Uses no
// Python API, so it may run without the interpreter lock.
template <class Call>
Outcome guarded(const Call& call) noexcept {
  try {
    return call();
  } catch (const HardFailure& hard) {
    return unexpected(Failure{hard.text()});
  } catch (const std::bad_alloc&) {
    return unexpected(Failure{"memory allocation failed"});
  } catch (const std::exception& other) {
    return unexpected(Failure{other.what()});
  } catch (...) {
    return unexpected(Failure{"unknown failure"});
  }
}

// Runs the core call of `fn` on `args`, guarded.
Outcome run_core(const Function& fn, const Args& args) noexcept;

// public_key_to_xy's core call, guarded, its pair as two Texts.
Outcome public_key_pair(std::string_view packed) noexcept;

// The core calls of a native key object (key_object.hpp) on its parsed key,
// guarded: each outcome is what the function of the same name gives for the
// key's text (sign_<kind>, sign, eth_sign), the signature as SignatureChars
// or, for eth_sign, as the five Texts of its JSON in their order.
Outcome sign_document_with(sdk::DocumentKind kind, std::string_view json, const jubjub::Fs& sk) noexcept;
Outcome sign_message_with(const jubjub::Fs& sk, std::string_view msg) noexcept;
Outcome eth_sign_with(const jubjub::Fs& sk, std::string_view msg) noexcept;

// For each argument set, what run_core gives for verify_signature on it,
// through the core's batch verification (sdk/src/batch/verify_many.hpp).
// Uses no Python API, so it may run without the interpreter lock. May throw
// (out of memory); the caller may then run run_core on each item instead.
// Its stages run on `spread`.
std::vector<Outcome> run_verify_many(std::span<const Args> items, const Spread& spread);

// Whether run_many can run items of `fn` together: sign and each
// sign_<kind>, and each hash_<kind> where the process hashes in lanes.
bool runs_together(const Function& fn);

// For items of such a function (a signing function's all sharing the first
// item's key text), what run_core gives for each, through the core's batch
// hashing or signing (sdk/src/batch/many.hpp), a signing batch's stages on
// `spread`; with `pairs`, each signature as its SignatureChars rather than
// its JSON. Uses no Python API. May throw (out of memory); the caller may
// then run run_core on each item instead.
std::vector<Outcome> run_many(const Function& fn, std::span<const Args> items, const Spread& spread = serial_spread(),
                              bool pairs = false);

// A new reference to the Python object of `value`, or nullptr with an
// exception set. Needs the interpreter lock.
PyObject* to_python(const Value& value);

}  // namespace quillet::python
