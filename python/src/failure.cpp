#include "python/src/failure.hpp"

#include <cstdio>

namespace quillet::python {
namespace {

constexpr const char kPanicDoc[] =
    "Raised when the quillet_sdk core library fails.\n\n"
    "Like SystemExit, it derives from BaseException, so it is not caught by\n"
    "`except Exception` and typically propagates through the whole stack and\n"
    "ends the interpreter.";

// One line, whatever the failure text holds.
void write_diagnostic(const char* function, const std::string& text) {
  std::string line = "quillet_python_sdk: ";
  line += function;
  line += " failed: ";
  for (char c : text) {
    if (c == '\n') {
      line += "\\n";
    } else {
      line.push_back(c);
    }
  }
  line.push_back('\n');
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

}  // namespace

PyObject* panic_exception_type() {
  // Only touched with the interpreter lock held; created once per process.
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc("quillet_python_sdk.PanicException", kPanicDoc,
                                     PyExc_BaseException, nullptr);
  }
  return type;
}

PyObject* raise_failure(const char* function, FailureClass cls, const Failure& failure) {
  write_diagnostic(function, failure.text);
  if (cls == FailureClass::guarded) {
    PyErr_SetString(PyExc_ValueError, "Any { .. }");
    return nullptr;
  }
  PyObject* type = panic_exception_type();
  if (type == nullptr) return nullptr;
  PyObject* text =
      PyUnicode_DecodeUTF8(failure.text.data(), static_cast<Py_ssize_t>(failure.text.size()),
                           "replace");
  if (text == nullptr) return nullptr;
  PyObject* args = PyTuple_Pack(1, text);
  Py_DECREF(text);
  if (args == nullptr) return nullptr;
  PyErr_SetObject(type, args);
  Py_DECREF(args);
  return nullptr;
}

}  // namespace quillet::python
