// The functions of quillet._batch that return outcomes instead of raising,
// for the typed package: see outcome.cpp.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace quillet::python {

// The `threads` argument of every batch call: None for one thread per core,
// or an int >= 1 (a bool is refused), capped at kMaxThreads. Returns 0 with an
// exception set on a bad value.
unsigned thread_count(PyObject* arg);

// Asks the interpreter, from a thread running a batch without its lock,
// whether to go on: false if a signal handler raised (KeyboardInterrupt),
// with that exception set for the calling thread. `released` is the thread
// state that PyEval_SaveThread returned; it is replaced by the new one.
bool check_signals(PyThreadState*& released);

// call(name, *args) -> (True, result) or (False, reason): the named function's
// core call on positional text arguments.
PyObject* call_outcome(PyObject* module, PyObject* const* args, Py_ssize_t nargsf);

// call_many(name, items, threads) -> [(ok, result or reason), ...]: the same
// for every tuple of `items`, on up to `threads` threads without the lock.
PyObject* call_many_outcomes(PyObject* module, PyObject* const* args, Py_ssize_t nargsf);

// is_usable_key(public_key) -> whether verification can use the packed key
// text and it is not the neutral point (sdk::keys::is_usable_public_key_vartime).
PyObject* is_usable_key(PyObject* module, PyObject* packed);

// public_key_xy(public_key) -> (x, y), public_key_to_xy's pair, or Refused
// with the code "malformed", "y_not_in_field" or "not_on_curve" and the
// core's reason.
PyObject* public_key_xy(PyObject* module, PyObject* packed);

// panic_exception() -> the PanicException class the modules raise.
PyObject* panic_exception(PyObject* module, PyObject* unused);

// _rebuild_panic(*args) -> a PanicException, for unpickling one.
PyObject* rebuild_panic(PyObject* module, PyObject* args);

// Adds the six functions above to quillet._batch.
inline int add_outcome_functions(PyObject* module) {
  static PyMethodDef methods[] = {
      {"call", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(call_outcome)),
       METH_FASTCALL,
       "call(name, /, *args)\n--\n\n"
       "(True, result) or (False, reason) of one function's core call; writes no diagnostic."},
      {"call_many",
       reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(call_many_outcomes)),
       METH_FASTCALL,
       "call_many(name, items, threads, /)\n--\n\n"
       "[(ok, result or reason), ...] for each argument tuple, every item run."},
      {"is_usable_key", is_usable_key, METH_O,
       "is_usable_key(public_key, /)\n--\n\n"
       "Whether verification can use the packed key text and it is not the neutral point."},
      {"public_key_xy", public_key_xy, METH_O,
       "public_key_xy(public_key, /)\n--\n\n"
       "The pair (x, y) public_key_to_xy gives, or Refused naming why the key does not decode."},
      {"panic_exception", panic_exception, METH_NOARGS,
       "panic_exception()\n--\n\nThe PanicException class raised by quillet_python_sdk."},
      {"_rebuild_panic", rebuild_panic, METH_VARARGS,
       "_rebuild_panic(*args)\n--\n\nA PanicException with these args (unpickling)."},
      {nullptr, nullptr, 0, nullptr},
  };
  return PyModule_AddFunctions(module, methods);
}

}  // namespace quillet::python
