// Calls of the seventeen core operations that return the failure's reason
// instead of raising and printing it: what the typed package quillet builds
// its own exceptions from, and the per-item outcomes of its batches.
//
// Results are those of the single functions, byte for byte: the same core
// call (calls.hpp) runs. No diagnostic line is written here, since the reason
// goes back to the caller. A key argument may be a SigningKey (KeyTexts).
// Beside them, the typed package's checks of public keys: is_usable_key and
// public_key_xy, whose refusal names its fault by a code.
#include "python/src/outcome.hpp"

#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "crypto/secrets/wipe.hpp"
#include "python/src/batch_state.hpp"
#include "python/src/binding.hpp"
#include "python/src/calls.hpp"
#include "python/src/failure.hpp"
#include "python/src/key_object.hpp"
#include "python/src/parallel.hpp"
#include "python/src/ref.hpp"
#include "sdk/src/keys/public_key.hpp"

namespace quillet::python {

// The `threads` argument: None for one thread per core, or a count >= 1.
// Returns 0 with an exception set on a bad value.
unsigned thread_count(PyObject* arg) {
  if (arg == nullptr || arg == Py_None) return default_thread_count();
  // A bool is an int to Python, but True is no count.
  if (!PyLong_Check(arg) || PyBool_Check(arg)) {
    raise_wrong_type("threads must be an int or None", arg);
    return 0;
  }
  int overflow = 0;
  const long long n = PyLong_AsLongLongAndOverflow(arg, &overflow);
  if (n == -1 && PyErr_Occurred()) return 0;
  if (overflow < 0 || (overflow == 0 && n < 1)) {
    PyErr_Format(PyExc_ValueError, "threads must be at least 1, not %R", arg);
    return 0;
  }
  // CPU-bound work gains nothing from more threads than cores; the cap only
  // keeps a mistyped count from starting thousands.
  return static_cast<unsigned>(overflow > 0 || n > kMaxThreads ? kMaxThreads : n);
}

bool check_signals(PyThreadState*& released) {
  PyEval_RestoreThread(released);
  const bool go_on = PyErr_CheckSignals() == 0;
  released = PyEval_SaveThread();
  return go_on;
}

namespace {

// The record of the function named by `name`, or nullptr with ValueError set.
const Function* named_function(PyObject* name) {
  std::string_view text;
  if (!name_text("name", name, text)) return nullptr;
  const Function* fn = find_function(text);
  if (fn == nullptr) PyErr_Format(PyExc_ValueError, "no function named %R", name);
  return fn;
}

// (True, value) or (False, reason), wiping the C++ copy of a text result:
// results include private key texts.
PyObject* outcome_tuple(Outcome& outcome) {
  if (!outcome) {
    const std::string& reason = outcome.error().text;
    PyObject* text = PyUnicode_DecodeUTF8(reason.data(), static_cast<Py_ssize_t>(reason.size()),
                                          "replace");
    if (text == nullptr) return nullptr;
    return Py_BuildValue("(ON)", Py_False, text);
  }
  PyObject* value = to_python(*outcome);
  if (std::string* text = std::get_if<std::string>(&*outcome)) secrets::wipe_text(*text);
  if (value == nullptr) return nullptr;
  return Py_BuildValue("(ON)", Py_True, value);
}

PyObject* call_one(PyObject* module, PyObject* const* args, Py_ssize_t nargsf) {
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  if (nargs < 1) {
    PyErr_SetString(PyExc_TypeError, "call() needs the function's name");
    return nullptr;
  }
  const Function* fn = named_function(args[0]);
  if (fn == nullptr) return nullptr;
  Args bound;
  KeyTexts keys(batch_state(module));
  if (!bind_arguments(fn->sig, args + 1, nargs - 1, nullptr, bound, &keys)) return nullptr;
  Outcome outcome = run_core(*fn, bound);
  return outcome_tuple(outcome);
}

PyObject* call_many(PyObject* module, PyObject* const* args, Py_ssize_t nargsf) {
  if (PyVectorcall_NARGS(nargsf) != 3 || !PyList_Check(args[1])) {
    PyErr_SetString(PyExc_TypeError,
                    "call_many(name, items: list[tuple[str, ...]], threads: int | None)");
    return nullptr;
  }
  const Function* fn = named_function(args[0]);
  if (fn == nullptr) return nullptr;
  const unsigned threads = thread_count(args[2]);
  if (threads == 0) return nullptr;

  const Py_ssize_t size = PyList_Size(args[1]);
  if (size < 0) return nullptr;
  const auto count = static_cast<std::size_t>(size);
  std::vector<Args> bound(count);
  KeyTexts keys(batch_state(module));
  std::vector<std::optional<Outcome>> outcomes(count);
  // Our own copy of the list, whose tuples keep every text alive while the
  // lock is released, whatever the caller does to its list meanwhile.
  Ref items(PyList_GetSlice(args[1], 0, size));
  if (items.get() == nullptr) return nullptr;
  for (std::size_t i = 0; i < count; ++i) {
    PyObject* item = PyList_GetItem(items.get(), static_cast<Py_ssize_t>(i));  // borrowed
    if (item == nullptr) return nullptr;
    if (!PyTuple_Check(item)) {
      raise_wrong_type(("item " + std::to_string(i) + " must be a tuple").c_str(), item);
      return nullptr;
    }
    if (!bind_tuple(fn->sig, item, bound[i], &keys)) return nullptr;
  }

  // Released by hand after the lock is back: a thread that the interpreter
  // ends at shutdown while it waits for the lock must not touch it (it leaks).
  PyObject* held = items.release();
  PyThreadState* released = PyEval_SaveThread();
  // Every item runs: a failure is one more outcome, not a reason to stop.
  // Ctrl-C does stop it, as it stops the raising batch calls.
  const ParallelRun done = run_parallel(
      count, threads,
      [&](std::size_t i) noexcept {
        outcomes[i].emplace(run_core(*fn, bound[i]));
        return true;
      },
      [&] { return check_signals(released); });
  PyEval_RestoreThread(released);
  Py_DECREF(held);
  if (done.stopped) return nullptr;  // the signal handler's exception is set

  PyObject* results = PyList_New(static_cast<Py_ssize_t>(count));
  if (results == nullptr) return nullptr;
  for (std::size_t i = 0; i < count; ++i) {
    PyObject* pair = outcome_tuple(*outcomes[i]);
    // PyList_SetItem steals `pair`, as the macro did, even when it fails.
    if (pair == nullptr || PyList_SetItem(results, static_cast<Py_ssize_t>(i), pair) < 0) {
      Py_DECREF(results);
      return nullptr;
    }
  }
  return results;
}

}  // namespace

// No C++ exception reaches the interpreter (boundary, failure.hpp).
PyObject* call_outcome(PyObject* module, PyObject* const* args, Py_ssize_t nargsf) {
  return boundary([&] { return call_one(module, args, nargsf); });
}

PyObject* call_many_outcomes(PyObject* module, PyObject* const* args, Py_ssize_t nargsf) {
  return boundary([&] { return call_many(module, args, nargsf); });
}

PyObject* is_usable_key(PyObject* /*module*/, PyObject* packed) {
  return boundary([&]() -> PyObject* {
    std::string_view text;
    if (!convert_text("public_key", packed, text)) return nullptr;
    return Py_NewRef(sdk::keys::is_usable_public_key_vartime(text) ? Py_True : Py_False);
  });
}

namespace {

const char* public_key_fault_code(std::optional<sdk::keys::PublicKeyFault> fault) {
  if (!fault) return "failed";  // not the text: the call itself (out of memory)
  switch (*fault) {
    case sdk::keys::PublicKeyFault::malformed:
      return "malformed";
    case sdk::keys::PublicKeyFault::y_not_in_field:
      return "y_not_in_field";
    case sdk::keys::PublicKeyFault::not_on_curve:
      return "not_on_curve";
  }
  return "failed";
}

}  // namespace

PyObject* public_key_xy(PyObject* module, PyObject* packed) {
  return boundary([&]() -> PyObject* {
    std::string_view text;
    if (!convert_text("public_key", packed, text)) return nullptr;
    const Outcome outcome = public_key_pair(text);
    if (outcome) return to_python(*outcome);
    const char* code = public_key_fault_code(sdk::keys::public_key_fault_vartime(text));
    return raise_refused(batch_state(module).refused, code, &outcome.error().text);
  });
}

PyObject* panic_exception(PyObject* /*module*/, PyObject* /*unused*/) {
  return Py_XNewRef(panic_exception_type());
}

PyObject* rebuild_panic(PyObject* /*module*/, PyObject* args) {
  PyObject* type = panic_exception_type();
  return type == nullptr ? nullptr : PyObject_Call(type, args, nullptr);
}

}  // namespace quillet::python
