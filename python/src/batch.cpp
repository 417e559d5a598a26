// The extension module quillet._batch: many calls of one of the seventeen
// functions at once, spread over a few threads with the interpreter lock
// released.
//
// Each batch function converts all its arguments with the lock held, then
// runs the very core call of the single function (calls.hpp) on every item
// without the lock, and returns the results in input order. If items fail,
// the exception is the one the single function raises for the first failing
// item in input order, with the note "batch item {index}". Items after a
// failure may be skipped.
//
// Secrets: the key's text is read in place from the caller's str object and
// never copied here; the core call of each item parses the key into its own
// scalar and wipes it, exactly as for the single functions.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "python/src/binding.hpp"
#include "python/src/calls.hpp"
#include "python/src/failure.hpp"
#include "python/src/outcome.hpp"
#include "python/src/parallel.hpp"

namespace quillet::python {
namespace {

constexpr std::array<std::string_view, 5> kKinds = {
    "transfer", "withdraw", "limit_order", "liquidate", "signed_oracle_price"};

// An owned reference, released at scope exit.
class Ref {
 public:
  explicit Ref(PyObject* obj = nullptr) : obj_(obj) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(obj_); }
  PyObject* get() const { return obj_; }
  void reset(PyObject* obj) {
    Py_XDECREF(obj_);
    obj_ = obj;
  }
  PyObject* release() {
    PyObject* obj = obj_;
    obj_ = nullptr;
    return obj;
  }

 private:
  PyObject* obj_;
};

// Adds the note "batch item {index}" (PEP 678) to the exception being raised.
void note_item(std::size_t index) {
  PyObject* exc = PyErr_GetRaisedException();
  if (exc == nullptr) return;
  PyObject* done =
      PyObject_CallMethod(exc, "add_note", "N", PyUnicode_FromFormat("batch item %zu", index));
  if (done == nullptr) {
    PyErr_Clear();  // keep the item's own exception rather than a failure to annotate it
  } else {
    Py_DECREF(done);
  }
  PyErr_SetRaisedException(exc);
}

// The `threads` argument: None for one thread per core, or a count >= 1.
// Returns 0 with an exception set on a bad value.
unsigned thread_count(PyObject* arg) {
  if (arg == nullptr || arg == Py_None) return default_thread_count();
  if (!PyLong_Check(arg)) {
    PyErr_Format(PyExc_TypeError, "threads must be an int or None, not '%s'",
                 Py_TYPE(arg)->tp_name);
    return 0;
  }
  int overflow = 0;
  const long long n = PyLong_AsLongLongAndOverflow(arg, &overflow);
  if (n == -1 && PyErr_Occurred()) return 0;
  if (overflow < 0 || (overflow == 0 && n < 1)) {
    PyErr_Format(PyExc_ValueError, "threads must be at least 1, not %R", arg);
    return 0;
  }
  // CPU-bound work gains nothing from more threads than cores; the cap only
  // keeps a mistyped count from starting thousands.
  return static_cast<unsigned>(overflow > 0 || n > kMaxThreads ? kMaxThreads : n);
}

// The single function `{prefix}{kind}`, or nullptr with an exception set.
const Function* function_of_kind(const char* prefix, PyObject* kind) {
  if (!PyUnicode_Check(kind)) {
    PyErr_Format(PyExc_TypeError, "kind must be a str, not '%s'", Py_TYPE(kind)->tp_name);
    return nullptr;
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(kind, &size);
  if (text == nullptr) return nullptr;
  const std::string_view name(text, static_cast<std::size_t>(size));
  for (std::string_view known : kKinds) {
    if (name == known) return find_function(std::string(prefix) + std::string(name));
  }
  PyErr_Format(PyExc_ValueError,
               "unknown kind %R; expected one of 'transfer', 'withdraw', 'limit_order', "
               "'liquidate', 'signed_oracle_price'",
               kind);
  return nullptr;
}

// A list holding the items of `iterable`, taken now, so that the caller
// changing its own container while the batch runs changes nothing here.
// Text and bytes are refused: iterating them would give characters or ints.
PyObject* snapshot(PyObject* iterable, const char* what) {
  if (PyUnicode_Check(iterable) || PyBytes_Check(iterable) || PyByteArray_Check(iterable)) {
    PyErr_Format(PyExc_TypeError, "%s must be an iterable such as a list, not '%s'", what,
                 Py_TYPE(iterable)->tp_name);
    return nullptr;
  }
  return PySequence_List(iterable);
}

// The work of one call: the function every item runs and each item's
// arguments, whose texts stay valid while `keep` (and the call's own
// arguments) live.
struct Batch {
  const Function* fn = nullptr;
  const char* batch_name = nullptr;
  Ref key;   // the key shared by every item, if any
  Ref keep;  // the snapshot of the items
  std::vector<Args> items;
};

// Runs every item off the interpreter lock and returns the list of results,
// or raises the first failing item's exception.
PyObject* run(const Batch& batch, unsigned threads) {
  const std::size_t count = batch.items.size();
  std::vector<std::optional<Outcome>> outcomes(count);
  std::size_t failed = count;
  Py_BEGIN_ALLOW_THREADS
  failed = run_parallel(count, threads, [&](std::size_t i) noexcept {
    outcomes[i].emplace(run_core(*batch.fn, batch.items[i]));
    return outcomes[i]->has_value();
  });
  Py_END_ALLOW_THREADS

  if (failed < count) {
    const std::string where = std::string(batch.fn->sig.name) + " (" + batch.batch_name +
                              " item " + std::to_string(failed) + ")";
    raise_failure(where, batch.fn->failure_class, outcomes[failed]->error());
    note_item(failed);
    return nullptr;
  }
  Ref results(PyList_New(static_cast<Py_ssize_t>(count)));
  if (results.get() == nullptr) return nullptr;
  for (std::size_t i = 0; i < count; ++i) {
    PyObject* value = to_python(**outcomes[i]);
    if (value == nullptr) return nullptr;
    PyList_SET_ITEM(results.get(), static_cast<Py_ssize_t>(i), value);
  }
  return results.release();
}

// Fills `batch` with one item per element of `texts`: argument `param` (at
// position `slot`) is the element's text, the other arguments are `fixed`.
bool add_text_items(Batch& batch, PyObject* texts, const char* what, const char* param,
                    std::size_t slot, const Args& fixed) {
  batch.keep.reset(snapshot(texts, what));
  if (batch.keep.get() == nullptr) return false;
  const Py_ssize_t count = PyList_GET_SIZE(batch.keep.get());
  batch.items.assign(static_cast<std::size_t>(count), fixed);
  for (Py_ssize_t i = 0; i < count; ++i) {
    auto& item = batch.items[static_cast<std::size_t>(i)];
    if (!convert_text(param, PyList_GET_ITEM(batch.keep.get(), i), item[slot])) {
      note_item(static_cast<std::size_t>(i));
      return false;
    }
  }
  return true;
}

PyObject* hash_many(PyObject* /*module*/, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"kind", "docs", "threads", nullptr};
  PyObject* kind = nullptr;
  PyObject* docs = nullptr;
  PyObject* threads_arg = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|$O:hash_many", const_cast<char**>(kwlist),
                                   &kind, &docs, &threads_arg)) {
    return nullptr;
  }
  const unsigned threads = thread_count(threads_arg);
  if (threads == 0) return nullptr;
  Batch batch;
  batch.batch_name = "hash_many";
  batch.fn = function_of_kind("hash_", kind);
  if (batch.fn == nullptr) return nullptr;
  if (!add_text_items(batch, docs, "docs", batch.fn->sig.params[0], 0, Args{})) return nullptr;
  return run(batch, threads);
}

PyObject* sign_many(PyObject* /*module*/, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"kind", "docs", "pri_key", "threads", nullptr};
  PyObject* kind = nullptr;
  PyObject* docs = nullptr;
  PyObject* key = nullptr;
  PyObject* threads_arg = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO|$O:sign_many", const_cast<char**>(kwlist),
                                   &kind, &docs, &key, &threads_arg)) {
    return nullptr;
  }
  const unsigned threads = thread_count(threads_arg);
  if (threads == 0) return nullptr;
  Batch batch;
  batch.batch_name = "sign_many";
  batch.fn = function_of_kind("sign_", kind);
  if (batch.fn == nullptr) return nullptr;
  Args fixed{};
  if (!convert_text(batch.fn->sig.params[1], key, fixed[1])) return nullptr;
  batch.key.reset(Py_NewRef(key));
  if (!add_text_items(batch, docs, "docs", batch.fn->sig.params[0], 0, fixed)) return nullptr;
  return run(batch, threads);
}

PyObject* sign_messages(PyObject* /*module*/, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"pri_key", "msgs", "threads", nullptr};
  PyObject* key = nullptr;
  PyObject* msgs = nullptr;
  PyObject* threads_arg = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|$O:sign_messages", const_cast<char**>(kwlist),
                                   &key, &msgs, &threads_arg)) {
    return nullptr;
  }
  const unsigned threads = thread_count(threads_arg);
  if (threads == 0) return nullptr;
  Batch batch;
  batch.batch_name = "sign_messages";
  batch.fn = find_function("sign");
  Args fixed{};
  if (!convert_text(batch.fn->sig.params[0], key, fixed[0])) return nullptr;
  batch.key.reset(Py_NewRef(key));
  if (!add_text_items(batch, msgs, "msgs", batch.fn->sig.params[1], 1, fixed)) return nullptr;
  return run(batch, threads);
}

PyObject* verify_many(PyObject* /*module*/, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"items", "threads", nullptr};
  PyObject* items = nullptr;
  PyObject* threads_arg = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$O:verify_many", const_cast<char**>(kwlist),
                                   &items, &threads_arg)) {
    return nullptr;
  }
  const unsigned threads = thread_count(threads_arg);
  if (threads == 0) return nullptr;
  Batch batch;
  batch.batch_name = "verify_many";
  batch.fn = find_function("verify_signature");
  batch.keep.reset(snapshot(items, "items"));
  if (batch.keep.get() == nullptr) return nullptr;
  PyObject* list = batch.keep.get();
  const Py_ssize_t count = PyList_GET_SIZE(list);
  batch.items.resize(static_cast<std::size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* item = PyList_GET_ITEM(list, i);
    if (!PyTuple_Check(item) && !PyList_Check(item)) {
      PyErr_Format(PyExc_TypeError,
                   "each item must be a tuple or list of the verify_signature arguments "
                   "(sig_r, sig_s, pub_key_x, pub_key_y, msg), not '%s'",
                   Py_TYPE(item)->tp_name);
      note_item(static_cast<std::size_t>(i));
      return nullptr;
    }
    // Our own tuple keeps the texts alive even if the caller's list changes.
    PyObject* fields = PySequence_Tuple(item);
    if (fields == nullptr) return nullptr;
    PyList_SetItem(list, i, fields);  // steals `fields`, drops our reference to `item`
    if (!bind_arguments(batch.fn->sig, PySequence_Fast_ITEMS(fields), PyTuple_GET_SIZE(fields),
                        nullptr, batch.items[static_cast<std::size_t>(i)])) {
      note_item(static_cast<std::size_t>(i));
      return nullptr;
    }
  }
  return run(batch, threads);
}

PyObject* default_threads(PyObject* /*module*/, PyObject* /*unused*/) {
  return PyLong_FromUnsignedLong(default_thread_count());
}

// The usual CPython cast for functions taking keywords.
template <class F>
PyCFunction as_method(F* f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef g_methods[] = {
    {"hash_many", as_method(hash_many), METH_VARARGS | METH_KEYWORDS,
     "hash_many(kind, docs, *, threads=None)\n--\n\n"
     "The hash text of each document of one kind, in input order."},
    {"sign_many", as_method(sign_many), METH_VARARGS | METH_KEYWORDS,
     "sign_many(kind, docs, pri_key, *, threads=None)\n--\n\n"
     "The signature JSON of each document of one kind under one key, in input order."},
    {"sign_messages", as_method(sign_messages), METH_VARARGS | METH_KEYWORDS,
     "sign_messages(pri_key, msgs, *, threads=None)\n--\n\n"
     "The signature JSON of each message integer under one key, in input order."},
    {"verify_many", as_method(verify_many), METH_VARARGS | METH_KEYWORDS,
     "verify_many(items, *, threads=None)\n--\n\n"
     "Whether each (sig_r, sig_s, pub_key_x, pub_key_y, msg) verifies, in input order."},
    {"default_threads", default_threads, METH_NOARGS,
     "default_threads()\n--\n\n"
     "The thread count used when threads is None: one per core the process may run on."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "quillet._batch",
    "Batch calls of quillet_python_sdk's functions, run on several threads.",
    0,  // no per-module state
    g_methods,
    nullptr, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace quillet::python

PyMODINIT_FUNC PyInit__batch(void) {
  PyObject* module = PyModule_Create(&quillet::python::g_module_def);
  if (module != nullptr && quillet::python::add_outcome_functions(module) < 0) Py_CLEAR(module);
  return module;
}
