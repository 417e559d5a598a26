// The seventeen functions as data: each one's parameters, failure class and
// core call, shared by the module quillet_python_sdk (one call at a time) and
// quillet._batch (many calls at once, off the interpreter lock).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "crypto/failure.hpp"
#include "crypto/spread/spread.hpp"
#include "python/src/binding.hpp"
#include "python/src/failure.hpp"

namespace quillet::python {

// What a core call gives back on success: text or a truth value; a batch's
// hash text as its characters, without a string of its own.
using HashChars = std::array<char, 66>;
using Value = std::variant<std::string, bool, HashChars>;
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

// Runs the core call of `fn` on `args`. Every failure inside it, returned or
// hard, comes back as the Failure; nothing escapes. Uses no Python API, so it
// may run without the interpreter lock.
Outcome run_core(const Function& fn, const Args& args) noexcept;

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
// hashing or signing (sdk/src/batch/many.hpp). Uses no Python API. May throw
// (out of memory); the caller may then run run_core on each item instead.
std::vector<Outcome> run_many(const Function& fn, std::span<const Args> items);

// A new reference to the Python object of `value`, or nullptr with an
// exception set. Needs the interpreter lock.
PyObject* to_python(const Value& value);

}  // namespace quillet::python
