// An owned reference to a Python object, released at scope exit.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace quillet::python {

// Whether this thread holds the interpreter lock: only then has it a current
// thread state, whose dictionary the stable ABI hands out without raising
// (none, at worst, when there is no memory for it: the caller then leaks).
inline bool holds_lock() { return PyThreadState_GetDict() != nullptr; }

// Released at scope exit, which must then hold the interpreter lock.
class Ref {
 public:
  explicit Ref(PyObject* obj = nullptr) : obj_(obj) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(obj_); }
  PyObject* get() const { return obj_; }
  PyObject* release() { return std::exchange(obj_, nullptr); }

 private:
  PyObject* obj_;
};

}  // namespace quillet::python
