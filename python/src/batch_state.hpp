// The state of the module quillet._batch: the classes its functions and its
// key objects share, made when the module is.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace quillet::python {

// Zeroed by the interpreter when the module is made, filled by its
// initialisation.
struct BatchState {
  PyObject* key_type;  // SigningKey (key_object.hpp)
  PyObject* refused;   // Refused, the typed calls' exception (raise_refused)
};

// The state of `module`, quillet._batch itself (the `self` of its functions).
inline BatchState& batch_state(PyObject* module) { return *static_cast<BatchState*>(PyModule_GetState(module)); }

// The state of the module that made `type` (a type of quillet._batch).
inline BatchState& batch_state_of(PyTypeObject* type) {
  return *static_cast<BatchState*>(PyType_GetModuleState(type));
}

}  // namespace quillet::python
