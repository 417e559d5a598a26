// The extension module quillet_python_sdk: its initialisation and the
// seventeen functions (calls.hpp), each binding its arguments, calling one core
// operation and mapping the outcome to a Python value or exception.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <utility>
#include <variant>

#include "crypto/secrets/wipe.hpp"
#include "python/src/binding.hpp"
#include "python/src/calls.hpp"
#include "python/src/failure.hpp"

namespace quillet::python {
namespace {

// Runs the core call of `fn` and turns its outcome into the result or the
// exception of its failure class.
PyObject* invoke(const Function& fn, const Args& args) {
  Outcome outcome = run_core(fn, args);
  if (outcome) {
    PyObject* result = to_python(*outcome);
    // Results include private key texts (private_key_from_seed); the
    // interpreter holds its own copy now.
    if (std::string* text = std::get_if<std::string>(&*outcome)) secrets::wipe_text(*text);
    return result;
  }
  return raise_failure(fn.sig.name, fn.failure_class, outcome.error());
}

template <std::size_t I>
PyObject* entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargsf,
                PyObject* kwnames) {
  return boundary([&]() -> PyObject* {
    const Function& fn = kFunctions[I];
    Args bound;
    if (!bind_arguments(fn.sig, args, nargsf, kwnames, bound)) return nullptr;
    return invoke(fn, bound);
  });
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
    // Neither call steals: both references are released here, after use.
    PyObject* name = PyObject_GetAttrString(function, "__name__");
    if (name == nullptr || !append_to_all(module, name)) {
      ok = false;
    } else if (PyObject_SetAttr(module, name, function) < 0) {
      ok = false;
    }
    Py_XDECREF(name);
    Py_DECREF(function);
  }
  Py_DECREF(module_name);
  return ok;
}

}  // namespace
}  // namespace quillet::python

namespace quillet::python {
namespace {

PyObject* create_module() {
  PyObject* module = PyModule_Create(&g_module_def);
  if (module == nullptr) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    return nullptr;
  }
  // Refused before the once-per-process flag is taken: a sub-interpreter's
  // attempt must not use up the import of the main interpreter (id 0).
  const int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (interpreter < 0) {
    Py_DECREF(module);
    return nullptr;
  }
  if (interpreter != 0) {
    Py_DECREF(module);
    PyErr_SetString(PyExc_ImportError,
                    "quillet_python_sdk can only be imported in the main interpreter, "
                    "not in a sub-interpreter");
    return nullptr;
  }
  // From CPython 3.13 on, a sub-interpreter's import first runs this in the
  // main interpreter, on a thread state made for it that runs no Python frame
  // (the main interpreter's own imports run in importlib's frames), then
  // again in the sub-interpreter, refused above. That first run makes the
  // module without taking the flag: the main interpreter's import must still
  // succeed. (Failing it instead crashes 3.13.0 for an isolated
  // sub-interpreter.)
  PyFrameObject* frame = PyThreadState_GetFrame(PyThreadState_Get());
  const bool for_sub_interpreter = frame == nullptr;
  Py_XDECREF(reinterpret_cast<PyObject*>(frame));
  if (!for_sub_interpreter && g_initialised.exchange(true)) {
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

}  // namespace
}  // namespace quillet::python

extern "C" PyMODINIT_FUNC PyInit_quillet_python_sdk(void) {
  return quillet::python::boundary(quillet::python::create_module);
}
