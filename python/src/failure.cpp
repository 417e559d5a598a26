#include "python/src/failure.hpp"

#include <unistd.h>

#include <cerrno>
#include <string>

namespace quillet::python {
namespace {

constexpr const char kPanicDoc[] =
    "Raised when the quillet_sdk core library fails.\n\n"
    "Like SystemExit, it derives from BaseException, so it is not caught by\n"
    "`except Exception` and typically propagates through the whole stack and\n"
    "ends the interpreter.";

// Where the class is kept: the interpreter's dictionary for extension data,
// which no Python code can reach.
constexpr const char kPanicKey[] = "quillet_python_sdk.PanicException";

// One line, whatever the failure text holds.
void write_diagnostic(std::string_view function, const std::string& text) {
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
  // One write(2) per line, bypassing stdio's lock and buffer; a full pipe
  // blocks here, without the interpreter lock, until someone reads it.
  Py_BEGIN_ALLOW_THREADS
  std::size_t done = 0;
  while (done < line.size()) {
    const ssize_t n = ::write(STDERR_FILENO, line.data() + done, line.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      break;  // stderr closed or failing: the exception still carries the text
    }
  }
  Py_END_ALLOW_THREADS
}

}  // namespace

PyObject* panic_exception_type() {
  // quillet_python_sdk and quillet._batch each link this file, so a static
  // here would give each module its own class. Keeping the one class in the
  // interpreter's dictionary lets both raise the same type, whichever fails
  // first. Only touched with the interpreter lock held.
  PyObject* shared = PyInterpreterState_GetDict(PyInterpreterState_Get());
  if (shared == nullptr) {
    PyErr_SetString(PyExc_SystemError, "no interpreter dictionary for PanicException");
    return nullptr;
  }
  PyObject* type = PyDict_GetItemString(shared, kPanicKey);  // borrowed
  if (type != nullptr) return type;
  type = PyErr_NewExceptionWithDoc("quillet_python_sdk.PanicException", kPanicDoc,
                                   PyExc_BaseException, nullptr);
  if (type == nullptr) return nullptr;
  const int rc = PyDict_SetItemString(shared, kPanicKey, type);
  Py_DECREF(type);  // the dictionary keeps it for the life of the interpreter
  return rc == 0 ? type : nullptr;
}

PyObject* raise_failure(std::string_view function, FailureClass cls, const Failure& failure) {
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
