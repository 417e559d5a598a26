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

// PanicException.__reduce__: pickle cannot find the class by name (it is not
// an attribute of quillet_python_sdk), so an instance is rebuilt through
// quillet._batch._rebuild_panic with its args and attributes (notes among
// them). Without this, a process pool could not send the failure back.
PyObject* panic_reduce(PyObject* self, PyObject* /*unused*/) {
  PyObject* module = PyImport_ImportModule("quillet._batch");
  if (module == nullptr) return nullptr;
  PyObject* rebuild = PyObject_GetAttrString(module, "_rebuild_panic");
  Py_DECREF(module);
  if (rebuild == nullptr) return nullptr;
  PyObject* args = PyObject_GetAttrString(self, "args");
  if (args == nullptr) {
    Py_DECREF(rebuild);
    return nullptr;
  }
  PyObject* state = PyObject_GenericGetDict(self, nullptr);
  if (state == nullptr) {
    Py_DECREF(rebuild);
    Py_DECREF(args);
    return nullptr;
  }
  return Py_BuildValue("(NNN)", rebuild, args, state);
}

PyMethodDef g_panic_reduce = {"__reduce__", panic_reduce, METH_NOARGS,
                              "Rebuilds the exception through quillet._batch when unpickled."};

}  // namespace

PyObject* panic_exception_type() {
  // Both module names of the extension file raise this one class, whichever
  // fails first. It lives in the interpreter's dictionary rather than in a
  // static, so that it belongs to the interpreter that made it. Only touched
  // with the interpreter lock held.
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
  PyObject* reduce = PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(type), &g_panic_reduce);
  if (reduce == nullptr || PyObject_SetAttrString(type, "__reduce__", reduce) < 0) {
    Py_XDECREF(reduce);
    Py_DECREF(type);
    return nullptr;
  }
  Py_DECREF(reduce);
  const int rc = PyDict_SetItemString(shared, kPanicKey, type);
  Py_DECREF(type);  // the dictionary keeps it for the life of the interpreter
  return rc == 0 ? type : nullptr;
}

PyObject* raise_refused(PyObject* refused, const char* code, const std::string* reason) {
  if (refused == nullptr) {  // the module's state cleared, as at interpreter exit
    PyErr_SetString(PyExc_ValueError, code);
    return nullptr;
  }
  const std::string message = reason == nullptr ? std::string(code) : std::string(code) + ": " + *reason;
  PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
  if (text == nullptr) return nullptr;
  PyObject* error = PyObject_CallFunctionObjArgs(refused, text, nullptr);
  Py_DECREF(text);
  if (error == nullptr) return nullptr;
  PyObject* code_text = PyUnicode_FromString(code);
  PyObject* reason_text =
      reason == nullptr
          ? Py_NewRef(Py_None)
          : PyUnicode_DecodeUTF8(reason->data(), static_cast<Py_ssize_t>(reason->size()), "replace");
  const bool set = code_text != nullptr && reason_text != nullptr &&
                   PyObject_SetAttrString(error, "code", code_text) == 0 &&
                   PyObject_SetAttrString(error, "reason", reason_text) == 0;
  Py_XDECREF(code_text);
  Py_XDECREF(reason_text);
  if (set) PyErr_SetObject(refused, error);
  Py_DECREF(error);
  return nullptr;
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
