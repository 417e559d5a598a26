// The one place where failures of the core library become Python exceptions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cxxabi.h>

#include <exception>
#include <new>
#include <string>
#include <string_view>

namespace quillet::python {

// How a function reports a failure of its core call.
enum class FailureClass {
  guarded,    // ValueError "Any { .. }", whatever went wrong
  unguarded,  // PanicException with the failure's text
};

// A failed core call, described as "{context}: {error}" or by the hard
// failure's own text.
struct Failure {
  std::string text;
};

// Runs `body`, an entry point's work returning a new reference or nullptr
// with an exception set, so that no C++ exception reaches the interpreter:
// std::bad_alloc becomes MemoryError, any other one SystemError.
template <class Body>
PyObject* boundary(const Body& body) {
  try {
    return body();
  } catch (abi::__forced_unwind&) {
    throw;  // the interpreter is ending this thread (pthread_exit at shutdown)
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_Format(PyExc_SystemError, "unexpected C++ exception: %s", e.what());
    return nullptr;
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
    return nullptr;
  }
}

// Writes the diagnostic line for `function` (a function name, possibly with
// words saying where in a batch) to the process's standard error and raises
// the exception its failure class calls for. Returns nullptr, for the caller
// to return to the interpreter. The line is written with the interpreter lock
// released, so a stderr nobody reads blocks only this thread.
PyObject* raise_failure(std::string_view function, FailureClass cls, const Failure& failure);

// Raises `refused` (quillet._batch.Refused, the typed package's native
// exception) with the attributes `code`, what was refused, and `reason`, the
// core's text or None; the message is the code, then the reason. Writes no
// diagnostic line: the caller makes its own error of them. Callers pass no
// reason where the core's text could quote a private key. Returns nullptr.
PyObject* raise_refused(PyObject* refused, const char* code, const std::string* reason = nullptr);

// PanicException: derived directly from BaseException, created on first use
// and reused by every module of the process that raises it. Returns a
// borrowed reference, or nullptr with an exception set.
PyObject* panic_exception_type();

}  // namespace quillet::python
