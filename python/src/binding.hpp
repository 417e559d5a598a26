// Argument binding and conversion for the module's functions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

namespace quillet::python {

inline constexpr std::size_t kMaxParams = 5;

struct Signature {
  const char* name;                            // the function's Python name
  std::array<const char*, kMaxParams> params;  // parameter names, in order
  std::size_t arity;                           // how many of them are used
};

// Views of the arguments' UTF-8 text. The interpreter caches that text in each
// str object, and the caller keeps the objects alive for the whole call, so
// the views stay valid until the function returns; nothing is copied.
using Args = std::array<std::string_view, kMaxParams>;

// The texts of arguments that are not a str, where a call takes some: the
// calls of quillet._batch take a native key object as their key argument
// (key_object.hpp). The module's own functions take str alone.
class OtherTexts {
 public:
  // Sets `text` for `obj`, the argument for `param`, and returns 1; returns 0
  // when it takes no such argument, -1 with an exception set.
  virtual int text_of(const char* param, PyObject* obj, std::string_view& text) = 0;

 protected:
  ~OtherTexts() = default;
};

// Sets `text` to the UTF-8 text of `obj`, the argument for parameter `param`
// (a view of the interpreter's cached copy, valid while `obj` lives), or to
// the text `others` gives for it. Returns false with an exception set:
// TypeError "argument '{param}': '{type}' object cannot be converted to
// 'PyString'" for any other object, or the interpreter's UnicodeEncodeError.
bool convert_text(const char* param, PyObject* obj, std::string_view& text, OtherTexts* others = nullptr);

// The same for a name the batch functions take (a kind, a function name):
// TypeError "{what} must be a str, not '{type}'" for anything else.
bool name_text(const char* what, PyObject* obj, std::string_view& text);

// Raises TypeError "{expected}, not '{type}'", the type being obj's __name__
// (or the exception of failing to read it). Returns false.
bool raise_wrong_type(const char* expected, PyObject* obj);

// Binds a fast call with keywords to the parameters of `sig` and converts each
// bound argument to its UTF-8 text, in parameter order. Returns false with a
// Python exception set (TypeError, or the interpreter's UnicodeEncodeError) on
// the first fault. `others` as for convert_text.
bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf,
                    PyObject* kwnames, Args& out, OtherTexts* others = nullptr);

// bind_arguments for the items of `tuple` (a tuple) as positional arguments.
bool bind_tuple(const Signature& sig, PyObject* tuple, Args& out, OtherTexts* others = nullptr);

}  // namespace quillet::python
