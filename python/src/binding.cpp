#include "python/src/binding.hpp"

#include <algorithm>

namespace quillet::python {
namespace {

// "{fn} missing {k} required positional argument(s): {list}"
void raise_missing(const Signature& sig, const std::array<PyObject*, kMaxParams>& slots) {
  std::array<const char*, kMaxParams> missing{};
  std::size_t k = 0;
  for (std::size_t i = 0; i < sig.arity; ++i) {
    if (slots[i] == nullptr) missing[k++] = sig.params[i];
  }
  std::string list;
  for (std::size_t i = 0; i < k; ++i) {
    if (i > 0) {
      if (k == 2) {
        list += " and ";
      } else {
        list += (i + 1 == k) ? ", and " : ", ";
      }
    }
    list += '\'';
    list += missing[i];
    list += '\'';
  }
  PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional %s: %s", sig.name, k,
               k == 1 ? "argument" : "arguments", list.c_str());
}

// The UTF-8 text of a str (the interpreter's cached copy).
bool str_text(PyObject* obj, std::string_view& text) {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
  if (utf8 == nullptr) return false;
  text = std::string_view(utf8, static_cast<std::size_t>(size));
  return true;
}

}  // namespace

bool raise_wrong_type(const char* expected, PyObject* obj) {
  PyObject* name = PyType_GetName(Py_TYPE(obj));
  if (name == nullptr) return false;
  PyErr_Format(PyExc_TypeError, "%s, not '%U'", expected, name);
  Py_DECREF(name);
  return false;
}

bool name_text(const char* what, PyObject* obj, std::string_view& text) {
  if (!PyUnicode_Check(obj)) {
    const std::string expected = std::string(what) + " must be a str";
    return raise_wrong_type(expected.c_str(), obj);
  }
  return str_text(obj, text);
}

bool convert_text(const char* param, PyObject* obj, std::string_view& text, OtherTexts* others) {
  // An exact str, the usual case, is known by its type's address; the
  // limited API's subclass test is a call into the interpreter.
  if (!PyUnicode_CheckExact(obj) && !PyUnicode_Check(obj)) {
    const int other = others == nullptr ? 0 : others->text_of(param, obj, text);
    if (other != 0) return other > 0;
    PyObject* qualname = PyType_GetQualName(Py_TYPE(obj));
    if (qualname != nullptr) {
      PyErr_Format(PyExc_TypeError, "argument '%s': '%U' object cannot be converted to 'PyString'",
                   param, qualname);
      Py_DECREF(qualname);
    } else {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError,
                   "argument '%s': '<failed to extract type name>' object cannot be converted to "
                   "'PyString'",
                   param);
    }
    return false;
  }
  return str_text(obj, text);
}

bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf,
                    PyObject* kwnames, Args& out, OtherTexts* others) {
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  const auto arity = static_cast<Py_ssize_t>(sig.arity);
  if (nargs > arity) {
    PyErr_Format(PyExc_TypeError, "%s() takes %zd positional arguments but %zd were given",
                 sig.name, arity, nargs);
    return false;
  }

  std::array<PyObject*, kMaxParams> slots{};
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[static_cast<std::size_t>(i)] = args[i];

  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_Size(kwnames);
  if (nkw < 0) return false;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GetItem(kwnames, k);  // borrowed
    if (key == nullptr) return false;
    std::size_t index = sig.arity;
    for (std::size_t i = 0; i < sig.arity; ++i) {
      // Exact name match; a key that is not valid text matches nothing.
      if (PyUnicode_CompareWithASCIIString(key, sig.params[i]) == 0) {
        index = i;
        break;
      }
    }
    if (index == sig.arity) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.name,
                   key);
      return false;
    }
    if (slots[index] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", sig.name,
                   sig.params[index]);
      return false;
    }
    slots[index] = args[nargs + k];
  }

  for (std::size_t i = 0; i < sig.arity; ++i) {
    if (slots[i] == nullptr) {
      raise_missing(sig, slots);
      return false;
    }
  }
  for (std::size_t i = 0; i < sig.arity; ++i) {
    if (!convert_text(sig.params[i], slots[i], out[i], others)) return false;
  }
  return true;
}

bool bind_tuple(const Signature& sig, PyObject* tuple, Args& out, OtherTexts* others) {
  const Py_ssize_t size = PyTuple_Size(tuple);
  if (size < 0) return false;
  // Only the first kMaxParams can be bound: with more, bind_arguments refuses
  // the count before it reads any.
  std::array<PyObject*, kMaxParams> items{};
  const Py_ssize_t taken = std::min<Py_ssize_t>(size, kMaxParams);
  for (Py_ssize_t i = 0; i < taken; ++i) {
    items[static_cast<std::size_t>(i)] = PyTuple_GetItem(tuple, i);  // borrowed
    if (items[static_cast<std::size_t>(i)] == nullptr) return false;
  }
  return bind_arguments(sig, items.data(), size, nullptr, out, others);
}

}  // namespace quillet::python
