// An owned reference to a Python object, and a buffer held, for a scope.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <span>
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

// A buffer held for the length of a scope: while it is held, its object
// cannot be resized (a bytearray refuses), so the bytes stay where they are
// even when the interpreter lock is released.
class HeldBuffer {
 public:
  // `flags` as for PyObject_GetBuffer. Check ok() before use.
  HeldBuffer(PyObject* obj, int flags) : ok_(PyObject_GetBuffer(obj, &view_, flags) == 0) {}
  HeldBuffer(const HeldBuffer&) = delete;
  HeldBuffer& operator=(const HeldBuffer&) = delete;
  ~HeldBuffer() {
    if (ok_) PyBuffer_Release(&view_);
  }
  bool ok() const { return ok_; }
  std::span<uint8_t> bytes() const { return {static_cast<uint8_t*>(view_.buf), static_cast<std::size_t>(view_.len)}; }

 private:
  Py_buffer view_{};
  bool ok_;
};

}  // namespace quillet::python
