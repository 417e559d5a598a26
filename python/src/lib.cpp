// The extension module quillet_python_sdk: its initialisation and the
// seventeen functions, each binding its arguments, calling one core operation
// and mapping the outcome to a Python value or exception.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <new>
#include <span>
#include <string>
#include <utility>
#include <variant>

#include "crypto/failure.hpp"
#include "crypto/jubjub/secret.hpp"
#include "python/src/binding.hpp"
#include "python/src/failure.hpp"
#include "python/src/model.hpp"
#include "sdk/src/lib.hpp"

namespace quillet::python {
namespace {

using Value = std::variant<std::string, bool>;
using Outcome = Expected<Value, Failure>;
using CoreCall = Outcome (*)(const Args&);

// "{context}: {error}", the description of a returned core error.
Failure with_context(const char* context, const sdk::Error& error) {
  return Failure{std::string(context) + ": " + error.to_string()};
}

std::span<const uint8_t> bytes(std::string_view text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

Outcome call_private_key_from_seed(const Args& a) {
  auto key = sdk::private_key_from_seed(bytes(a[0]));
  if (!key) return unexpected(with_context("Couldn't derive private key from seed", key.error()));
  return Value(std::move(*key));
}

template <sdk::Result<std::string> (*Hash)(std::string_view)>
Outcome call_hash(const Args& a) {
  auto hash = Hash(a[0]);
  if (!hash) return unexpected(with_context("Couldn't get hash", hash.error()));
  return Value(std::move(*hash));
}

template <sdk::Result<sdk::tx::JubjubSignature> (*Sign)(std::string_view, std::string_view)>
Outcome call_sign_transaction(const Args& a) {
  auto signature = Sign(a[0], a[1]);
  if (!signature) return unexpected(with_context("Couldn get jubjubSignature", signature.error()));
  return Value(sdk::to_json(*signature));
}

Outcome call_sign(const Args& a) {
  auto signature = sdk::sign(a[0], a[1]);
  if (!signature) return unexpected(with_context("Couldn't sign msg", signature.error()));
  return Value(sdk::to_json(*signature));
}

Outcome call_eth_sign(const Args& a) {
  auto signature = sdk::l1_sign(a[1], a[0]);  // the core takes the message first
  if (!signature) return unexpected(with_context("Couldn't sign msg", signature.error()));
  return Value(sdk::to_json(*signature));
}

Outcome call_verify_signature(const Args& a) {
  auto valid = sdk::verify_signature(a[0], a[1], a[2], a[3], a[4]);
  if (!valid) {
    return unexpected(with_context("Couldn't get verify_signature result", valid.error()));
  }
  return Value(*valid);
}

Outcome call_is_on_curve(const Args& a) {
  auto on_curve = sdk::is_on_curve(a[0], a[1]);
  if (!on_curve) {
    return unexpected(with_context("Couldn't get verify xy is on curve", on_curve.error()));
  }
  return Value(*on_curve);
}

Outcome public_key_json(const char* context,
                        sdk::Result<std::pair<std::string, std::string>> pair) {
  if (!pair) return unexpected(with_context(context, pair.error()));
  return Value(model::to_json(model::PublicKey{std::move(pair->first), std::move(pair->second)}));
}

Outcome call_public_key_to_xy(const Args& a) {
  return public_key_json("Couldn't convert public key to xy", sdk::pub_key_to_xy(a[0]));
}

Outcome call_private_key_to_public_key_xy(const Args& a) {
  return public_key_json("Couldn't convert private key to public key xy",
                         sdk::private_key_to_pubkey_xy(a[0]));
}

struct Function {
  Signature sig;
  const char* doc;
  FailureClass failure_class;
  CoreCall call;
};

constexpr FailureClass kGuarded = FailureClass::guarded;
constexpr FailureClass kUnguarded = FailureClass::unguarded;

// Registration order; also the order of __all__.
constexpr Function kFunctions[] = {
    {{"verify_signature", {"sig_r", "sig_s", "pub_key_x", "pub_key_y", "msg"}, 5},
     "verify_signature(sig_r, sig_s, pub_key_x, pub_key_y, msg)\n--\n\n", kGuarded, call_verify_signature},
    {{"sign_withdraw", {"json", "pri_key"}, 2}, "sign_withdraw(json, pri_key)\n--\n\n", kGuarded,
     call_sign_transaction<sdk::sign_withdraw>},
    {{"sign_transfer", {"json", "pri_key"}, 2}, "sign_transfer(json, pri_key)\n--\n\n", kGuarded,
     call_sign_transaction<sdk::sign_transfer>},
    {{"sign_limit_order", {"json", "pri_key"}, 2}, "sign_limit_order(json, pri_key)\n--\n\n",
     kGuarded, call_sign_transaction<sdk::sign_limit_order>},
    {{"sign_liquidate", {"json", "pri_key"}, 2}, "sign_liquidate(json, pri_key)\n--\n\n", kGuarded,
     call_sign_transaction<sdk::sign_liquidate>},
    {{"sign_signed_oracle_price", {"json", "pri_key"}, 2},
     "sign_signed_oracle_price(json, pri_key)\n--\n\n", kGuarded, call_sign_transaction<sdk::sign_signed_oracle_price>},
    {{"hash_withdraw", {"json"}, 1}, "hash_withdraw(json)\n--\n\n", kUnguarded, call_hash<sdk::hash_withdraw>},
    {{"hash_transfer", {"json"}, 1}, "hash_transfer(json)\n--\n\n", kUnguarded, call_hash<sdk::hash_transfer>},
    {{"hash_limit_order", {"json"}, 1}, "hash_limit_order(json)\n--\n\n", kUnguarded, call_hash<sdk::hash_limit_order>},
    {{"hash_liquidate", {"json"}, 1}, "hash_liquidate(json)\n--\n\n", kUnguarded, call_hash<sdk::hash_liquidate>},
    {{"hash_signed_oracle_price", {"json"}, 1}, "hash_signed_oracle_price(json)\n--\n\n",
     kUnguarded, call_hash<sdk::hash_signed_oracle_price>},
    {{"sign", {"private_key", "msg"}, 2}, "sign(private_key, msg)\n--\n\n", kGuarded, call_sign},
    {{"eth_sign", {"private_key", "msg"}, 2}, "eth_sign(private_key, msg)\n--\n\n", kGuarded,
     call_eth_sign},
    {{"private_key_from_seed", {"seed"}, 1}, "private_key_from_seed(seed)\n--\n\n", kUnguarded,
     call_private_key_from_seed},
    {{"is_on_curve", {"x", "y"}, 2}, "is_on_curve(x, y)\n--\n\n", kUnguarded, call_is_on_curve},
    {{"public_key_to_xy", {"public_key"}, 1}, "public_key_to_xy(public_key)\n--\n\n", kUnguarded,
     call_public_key_to_xy},
    {{"private_key_to_public_key_xy", {"private_key"}, 1},
     "private_key_to_public_key_xy(private_key)\n--\n\n", kUnguarded, call_private_key_to_public_key_xy},
};
constexpr std::size_t kFunctionCount = std::size(kFunctions);
static_assert(kFunctionCount == 17);

PyObject* to_python(const Value& value) {
  if (const bool* b = std::get_if<bool>(&value)) return Py_NewRef(*b ? Py_True : Py_False);
  const std::string& s = std::get<std::string>(value);
  return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

// Runs the core call of `fn`. Every failure inside it, returned or hard, is
// mapped here and only here.
PyObject* invoke(const Function& fn, const Args& args) {
  Failure failure;
  try {
    Outcome outcome = fn.call(args);
    if (outcome) {
      PyObject* result = to_python(*outcome);
      // Results include private key texts (private_key_from_seed); the
      // interpreter holds its own copy now.
      if (std::string* text = std::get_if<std::string>(&*outcome)) jubjub::wipe_text(*text);
      return result;
    }
    failure = std::move(outcome.error());
  } catch (const HardFailure& hard) {
    failure = Failure{hard.text()};
  } catch (const std::bad_alloc&) {
    failure = Failure{"memory allocation failed"};
  } catch (const std::exception& other) {
    failure = Failure{other.what()};
  } catch (...) {
    failure = Failure{"unknown failure"};
  }
  return raise_failure(fn.sig.name, fn.failure_class, failure);
}

template <std::size_t I>
PyObject* entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargsf,
                PyObject* kwnames) {
  const Function& fn = kFunctions[I];
  Args bound;
  if (!bind_arguments(fn.sig, args, nargsf, kwnames, bound)) return nullptr;
  return invoke(fn, bound);
}

template <std::size_t... I>
std::array<PyMethodDef, kFunctionCount> make_method_defs(std::index_sequence<I...>) {
  return {PyMethodDef{kFunctions[I].sig.name, 
                      // The usual CPython cast for METH_FASTCALL functions.
                      reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry<I>)),
                      METH_FASTCALL | METH_KEYWORDS, kFunctions[I].doc}...};
}

// CPython keeps pointers to these records for the life of the functions.
std::array<PyMethodDef, kFunctionCount> g_method_defs =
    make_method_defs(std::make_index_sequence<kFunctionCount>{});

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "quillet_python_sdk",
    "Python module for signing and hashing quillet exchange transactions.",
    0,        // no per-module state
    nullptr,  // functions are added after creation
    nullptr, nullptr, nullptr, nullptr,
};

std::atomic<bool> g_initialised{false};

// Appends `name` to the module's __all__, creating the list on first use.
bool append_to_all(PyObject* module, PyObject* name) {
  PyObject* all = PyObject_GetAttrString(module, "__all__");
  if (all == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = PyList_New(0);
    if (all == nullptr) return false;
    if (PyObject_SetAttrString(module, "__all__", all) < 0) {
      Py_DECREF(all);
      return false;
    }
  }
  const int rc = PyList_Append(all, name);
  Py_DECREF(all);
  return rc == 0;
}

bool add_functions(PyObject* module) {
  PyObject* module_name = PyModule_GetNameObject(module);
  if (module_name == nullptr) return false;
  bool ok = true;
  for (std::size_t i = 0; ok && i < kFunctionCount; ++i) {
    PyObject* function = PyCMethod_New(&g_method_defs[i], module, module_name, nullptr);
    if (function == nullptr) {
      ok = false;
      break;
    }
    PyObject* name = PyObject_GetAttrString(function, "__name__");
    ok = name != nullptr && append_to_all(module, name) &&
         PyObject_SetAttr(module, name, function) == 0;
    Py_XDECREF(name);
    Py_DECREF(function);
  }
  Py_DECREF(module_name);
  return ok;
}

}  // namespace
}  // namespace quillet::python

extern "C" PyMODINIT_FUNC PyInit_quillet_python_sdk(void) {
  using namespace quillet::python;
  PyObject* module = PyModule_Create2(&g_module_def, 1013);
  if (module == nullptr) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    return nullptr;
  }
  if (g_initialised.exchange(true)) {
    Py_DECREF(module);
    PyErr_SetString(PyExc_ImportError,
                    "quillet_python_sdk may only be initialized once per interpreter process");
    return nullptr;
  }
  if (!add_functions(module)) {
    Py_DECREF(module);
    return nullptr;
  }
  return module;
}
