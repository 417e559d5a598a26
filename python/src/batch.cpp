// The extension module quillet._batch: many calls of one of the seventeen
// functions at once, spread over a few threads with the interpreter lock
// released.
//
// Each batch function converts all its arguments with the lock held, then
// runs the very core call of the single function (calls.hpp) on every item
// without the lock (verify_many, sign_many and sign_messages: the core's
// batch verification or signing on runs of items, which gives each item the
// single function's outcome, all threads working on the stages of one run),
// and returns the results in input order. If items fail, the
// exception is the one the single function raises for the first failing
// item in input order, with the note "batch item {index}": an item whose
// arguments cannot be converted fails at its place in that order, after the
// core calls of the items before it. Items after a failure may be skipped.
//
// The batch holds its own references to everything it reads, outside any
// Python container, so no Python code (an iterator, another thread) can free
// or change them while it runs. Ctrl-C stops it within about kPollInterval.
//
// hash_many hands chunks of items, a thread one chunk at a time, to the
// core's batch hashing (sdk/src/batch/many.hpp), which computes the Poseidon
// permutations of a chunk together in the process's lane kernel and gives
// each item the single call's outcome. sign_many and sign_messages, like
// verify_many, hand runs of items to the core's batch signing, all threads
// on the stages of one run.
//
// Secrets: a key's text is read in place from the caller's str object and
// never copied here; a key object's (SigningKey) is written once into the
// batch's own memory, wiped when the batch ends (KeyTexts). The core parses
// it into its own scalar, once per run of items signed together, and wipes
// it.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "python/src/binding.hpp"
#include "python/src/calls.hpp"
#include "python/src/failure.hpp"
#include "python/src/kdf.hpp"
#include "python/src/key_object.hpp"
#include "python/src/outcome.hpp"
#include "python/src/parallel.hpp"
#include "python/src/ref.hpp"
#include "sdk/src/batch/many.hpp"

namespace quillet::python {
namespace {

// Owned references, kept in no Python container: no Python code can reach
// them to clear or change them. Released at scope exit.
class Refs {
 public:
  Refs() = default;
  Refs(const Refs&) = delete;
  Refs& operator=(const Refs&) = delete;
  ~Refs() {
    // A thread ended by the interpreter at shutdown unwinds through here
    // without the lock: the references are then left alone, not released.
    if (!holds_lock()) return;
    for (PyObject* obj : objs_) Py_DECREF(obj);
  }
  // Takes over the reference `obj` (released if this throws).
  void adopt(PyObject* obj) {
    try {
      objs_.push_back(obj);
    } catch (...) {
      Py_DECREF(obj);
      throw;
    }
  }
  void reserve(std::size_t n) { objs_.reserve(n); }
  std::size_t size() const { return objs_.size(); }
  PyObject* operator[](std::size_t i) const { return objs_[i]; }

 private:
  std::vector<PyObject*> objs_;
};

// Names the failing item on the exception being raised: the note "batch
// item {index}" (PEP 678) for people, the attribute `item_index` for
// programs (the typed package reads it).
void note_item(std::size_t index) {
  PyObject* exc = PyErr_GetRaisedException();
  if (exc == nullptr) return;
  PyObject* position = PyLong_FromSize_t(index);
  PyObject* note = PyUnicode_FromFormat("batch item %zu", index);
  PyObject* done = note == nullptr ? nullptr : PyObject_CallMethod(exc, "add_note", "O", note);
  if (done == nullptr || position == nullptr || PyObject_SetAttrString(exc, "item_index", position) < 0) {
    PyErr_Clear();  // keep the item's own exception rather than a failure to annotate it
  }
  Py_XDECREF(done);
  Py_XDECREF(note);
  Py_XDECREF(position);
  PyErr_SetRaisedException(exc);
}

// The length of a list or tuple (true when read, with no Python code
// running), -1 for any other object, or -2 with an exception set.
Py_ssize_t known_length(PyObject* obj) {
  Py_ssize_t size = 0;
  if (PyList_Check(obj)) {
    size = PyList_Size(obj);
  } else if (PyTuple_Check(obj)) {
    size = PyTuple_Size(obj);
  } else {
    return -1;
  }
  return size < 0 ? -2 : size;
}

// The threads worth starting for the items of `iterable`: for a list or
// tuple, at most one per item (its length is only a hint of how many items it
// yields, which changes the speed, never the outcome). 0 with an exception
// set if its length cannot be read.
unsigned threads_for(PyObject* iterable, unsigned threads) {
  const Py_ssize_t items = known_length(iterable);
  if (items == -2) return 0;
  if (items < 0 || static_cast<std::size_t>(items) >= threads) return threads;
  return std::max<unsigned>(1, static_cast<unsigned>(items));
}

// The single function `{prefix}{kind}`, or nullptr with an exception set.
const Function* function_of_kind(const char* prefix, PyObject* kind) {
  std::string_view name;
  if (!name_text("kind", kind, name)) return nullptr;
  std::string expected;
  for (const auto& [known, known_name] : sdk::kDocumentKinds) {
    if (name == known_name) return find_function(std::string(prefix) + std::string(name));
    expected += (expected.empty() ? "'" : ", '") + std::string(known_name) + "'";
  }
  PyErr_Format(PyExc_ValueError, "unknown kind %R; expected one of %s", kind, expected.c_str());
  return nullptr;
}

// An iterator over the items of `iterable`, or nullptr with an exception
// set. Text and bytes are refused: iterating them would give characters or
// ints.
PyObject* iterate(PyObject* iterable, const char* what) {
  if (PyUnicode_Check(iterable) || PyBytes_Check(iterable) || PyByteArray_Check(iterable)) {
    raise_wrong_type((std::string(what) + " must be an iterable such as a list").c_str(), iterable);
    return nullptr;
  }
  return PyObject_GetIter(iterable);
}

// The work of one call: the function every item runs and each item's
// arguments, whose texts stay valid while `owned` lives.
struct Batch {
  const Function* fn = nullptr;
  const char* batch_name = nullptr;
  Refs owned;  // the shared key and every item object the texts are read from
  std::optional<KeyTexts> key_text;  // the text of a key object given as the key
  std::vector<Args> items;
  bool hashes = false;  // hash_many's: chunks of items hashed together
  bool pairs = false;   // signatures as (r, s) rather than their JSON
  // The first item whose arguments could not be converted (it and the items
  // after it are not in `items`), and its exception.
  PyObject* bad_item_error = nullptr;

  Batch() = default;
  Batch(const Batch&) = delete;
  Batch& operator=(const Batch&) = delete;
  ~Batch() {
    if (holds_lock()) Py_XDECREF(bad_item_error);  // see ~Refs
  }

  // Records that the next item's arguments failed to convert, with the
  // exception that is set.
  void fail_item() {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "batch item failed without an error");
    bad_item_error = PyErr_GetRaisedException();
  }
};

// Reads the items of `iterable` into `batch`: first takes them all (no
// Python code runs while a list or tuple is taken, so an item cannot change
// it half-way), then `add(item, args)` converts each (keeping what its texts
// are read from in batch.owned), returning false with an exception set if it
// cannot. Returns false with an exception set only if the iteration itself
// failed; a conversion failure is kept in the batch.
template <class AddItem>
bool read_items(Batch& batch, PyObject* iterable, const char* what, const Args& fixed,
                const AddItem& add) {
  Ref iterator(iterate(iterable, what));
  if (iterator.get() == nullptr) return false;
  Py_ssize_t hint = known_length(iterable);
  if (hint == -2) return false;
  if (hint == -1) {
    // Any other object's len() is only a hint of how many items it yields;
    // one without a len() gets none.
    hint = PyObject_Size(iterable);
    if (hint < 0) {
      if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
      PyErr_Clear();
      hint = 0;
    }
    hint = std::min<Py_ssize_t>(hint, 4096);
  }
  batch.owned.reserve(batch.owned.size() + static_cast<std::size_t>(hint));
  const std::size_t first = batch.owned.size();
  while (PyObject* item = PyIter_Next(iterator.get())) batch.owned.adopt(item);
  if (PyErr_Occurred()) return false;
  const std::size_t end = batch.owned.size();
  batch.items.reserve(end - first);
  for (std::size_t k = first; k < end; ++k) {
    Args args = fixed;
    if (!add(batch.owned[k], args)) {
      batch.fail_item();
      return true;
    }
    batch.items.push_back(args);
  }
  return true;
}

// The list of results, or the first failing item's exception (`failed`, the
// lowest failing index, or the count), from the items' outcomes: every one
// below `failed` is set.
PyObject* finish(Batch& batch, const std::vector<std::optional<Outcome>>& outcomes,
                 std::size_t failed) {
  const std::size_t count = outcomes.size();
  if (failed < count) {
    const std::string where = std::string(batch.fn->sig.name) + " (" + batch.batch_name +
                              " item " + std::to_string(failed) + ")";
    raise_failure(where, batch.fn->failure_class, outcomes[failed]->error());
    note_item(failed);
    return nullptr;
  }
  if (batch.bad_item_error != nullptr) {
    PyErr_SetRaisedException(std::exchange(batch.bad_item_error, nullptr));
    note_item(count);
    return nullptr;
  }
  Ref results(PyList_New(static_cast<Py_ssize_t>(count)));
  if (results.get() == nullptr) return nullptr;
  for (std::size_t i = 0; i < count; ++i) {
    PyObject* value = to_python(**outcomes[i]);
    // Steals `value`, as the macro did, even when it fails.
    if (value == nullptr || PyList_SetItem(results.get(), static_cast<Py_ssize_t>(i), value) < 0) {
      return nullptr;
    }
  }
  return results.release();
}

// Items per chunk of a hash batch: on one thread, the whole batch; on
// several, about a quarter of a thread's share, so that documents of unequal
// cost still leave the threads ending together. In whole groups of eight
// lanes, at most one deferral's worth.
std::size_t chunk_size(std::size_t count, unsigned threads) {
  const std::size_t pieces = threads > 1 ? std::size_t{4} * threads : 1;
  const std::size_t share = (count + pieces - 1) / pieces;
  return std::clamp<std::size_t>((share + 7) / 8 * 8, 8, sdk::kHashesTogether);
}

// Runs fill(first, last, outcomes) on the chunks [first, last) of `chunk`
// items off the interpreter lock, a chunk at a time per thread, and returns
// the list of results or raises the first failing item's exception. `fill`
// is noexcept and sets the outcome of every item of its chunk.
template <class Fill>
PyObject* run_chunks(Batch& batch, const ThreadSpread& spread, std::size_t chunk, const Fill& fill) {
  const std::size_t count = batch.items.size();
  std::vector<std::optional<Outcome>> outcomes(count);
  const std::size_t chunks = (count + chunk - 1) / chunk;
  PyThreadState* released = PyEval_SaveThread();
  const ParallelRun done = run_parallel(
      chunks, spread,
      [&](std::size_t c) noexcept {
        const std::size_t first = c * chunk;
        const std::size_t last = std::min(count, first + chunk);
        fill(first, last, outcomes);
        for (std::size_t i = first; i < last; ++i) {
          if (!outcomes[i]->has_value()) return false;
        }
        return true;
      },
      [&] { return check_signals(released); });
  PyEval_RestoreThread(released);

  if (done.stopped) return nullptr;  // the signal handler's exception is set
  std::size_t failed = count;
  if (done.first_failure < chunks) {
    // Every item of the failing chunk ran: the first failing one is in it.
    failed = done.first_failure * chunk;
    while (outcomes[failed]->has_value()) ++failed;
  }
  return finish(batch, outcomes, failed);
}

// Runs every item in contiguous runs of at most `per_run`, each through
// many(items) on all of `spread`'s threads (the core's batch verification or
// signing, which gives each item what run_core would, its stages shared by
// the threads so that a run's fixed costs are paid once), and returns the
// list of results or raises the first failing item's exception. Ctrl-C is
// seen between runs.
template <class Many>
PyObject* run_together(Batch& batch, const ThreadSpread& spread, std::size_t per_run, const Many& many) {
  const std::size_t count = batch.items.size();
  std::vector<std::optional<Outcome>> outcomes(count);
  std::size_t failed = count;
  PyThreadState* released = PyEval_SaveThread();
  for (std::size_t first = 0; first < count && failed == count; first += per_run) {
    if (first > 0 && !check_signals(released)) {
      PyEval_RestoreThread(released);
      return nullptr;  // the signal handler's exception is set
    }
    const std::size_t last = std::min(count, first + per_run);
    try {
      std::vector<Outcome> ran = many(std::span(batch.items).subspan(first, last - first));
      for (std::size_t i = first; i < last; ++i) outcomes[i].emplace(std::move(ran[i - first]));
    } catch (...) {
      // No memory for the run as a whole: each item on its own.
      spread.for_each(last - first, [&](std::size_t k) noexcept {
        outcomes[first + k].emplace(run_core(*batch.fn, batch.items[first + k]));
      });
    }
    for (std::size_t i = first; i < last && failed == count; ++i) {
      if (!outcomes[i]->has_value()) failed = i;
    }
  }
  PyEval_RestoreThread(released);
  return finish(batch, outcomes, failed);
}

// The most items signed together per thread: cut so that Ctrl-C is seen
// between runs (about 10 ms of work each).
constexpr std::size_t kSignRun = 256;

// Runs every item and returns the list of results, or raises the first
// failing item's exception. Signing batches go in runs whose stages all the
// threads share; hash batches, where the process hashes in lanes, in chunks
// of items hashed together, a thread one chunk at a time (run_many gives
// each item what run_core would); other items are chunks of one.
PyObject* run(Batch& batch, const ThreadSpread& spread) {
  const std::size_t count = batch.items.size();
  const unsigned threads = spread.width();
  const bool together = runs_together(*batch.fn);
  if (together && !batch.hashes) {
    return run_together(batch, spread, kSignRun * threads, [&](std::span<const Args> items) {
      return run_many(*batch.fn, items, spread, batch.pairs);
    });
  }
  const std::size_t chunk = together ? chunk_size(count, threads) : 1;
  return run_chunks(
      batch, spread, chunk,
      [&](std::size_t first, std::size_t last, std::vector<std::optional<Outcome>>& outcomes) noexcept {
        if (!together) {
          outcomes[first].emplace(run_core(*batch.fn, batch.items[first]));
          return;
        }
        try {
          std::vector<Outcome> ran = run_many(*batch.fn, std::span(batch.items).subspan(first, last - first));
          for (std::size_t i = first; i < last; ++i) outcomes[i].emplace(std::move(ran[i - first]));
        } catch (...) {
          // No memory for the chunk as a whole: each item on its own.
          for (std::size_t i = first; i < last; ++i) outcomes[i].emplace(run_core(*batch.fn, batch.items[i]));
        }
      });
}

// The most items verified together: cut so that Ctrl-C is seen between runs
// (about 20 ms of one thread's work each).
constexpr std::size_t kVerifyRun = 1024;

// verify_many's run: the core's batch verification (run_verify_many) on
// runs of items; its fixed costs (the subgroup queries, the windows' bucket
// sums) are paid once per run.
PyObject* run_verify(Batch& batch, const ThreadSpread& spread) {
  return run_together(batch, spread, kVerifyRun,
                      [&](std::span<const Args> items) { return run_verify_many(items, spread); });
}

// Fills `batch` with one item per element of `texts`: argument `param` (at
// position `slot`) is the element's text, the other arguments are `fixed`.
bool add_text_items(Batch& batch, PyObject* texts, const char* what, const char* param,
                    std::size_t slot, const Args& fixed) {
  return read_items(batch, texts, what, fixed, [&](PyObject* item, Args& args) {
    return convert_text(param, item, args[slot]);
  });
}

// The start of every batch call: binds its N arguments (by `format` and
// `kwlist`, the keyword-only `threads` last) into `arg`, and borrows the
// call's helper threads for the items of arg[items], before they are
// converted so that a sleeping helper's wake-up overlaps the conversion.
// False with an exception set.
template <std::size_t N>
bool begin_batch(PyObject* args, PyObject* kwargs, const char* format, const std::array<const char*, N + 1>& kwlist,
                 std::array<PyObject*, N>& arg, std::size_t items, std::optional<ThreadSpread>& spread) {
  const bool bound = std::apply(
      [&](auto&... out) {
        return PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(kwlist.data()), &out...) != 0;
      },
      arg);
  if (!bound) return false;
  const unsigned threads = thread_count(arg[N - 1]);
  if (threads == 0) return false;
  const unsigned width = threads_for(arg[items], threads);
  if (width == 0) return false;
  spread.emplace(width);
  return true;
}

PyObject* hash_many_unguarded(PyObject* /*module*/, PyObject* args, PyObject* kwargs) {
  std::array<PyObject*, 3> arg{};  // kind, docs, threads
  std::optional<ThreadSpread> spread;
  if (!begin_batch<3>(args, kwargs, "OO|$O:hash_many", {"kind", "docs", "threads", nullptr}, arg, 1, spread)) {
    return nullptr;
  }
  Batch batch;
  batch.batch_name = "hash_many";
  batch.fn = function_of_kind("hash_", arg[0]);
  if (batch.fn == nullptr) return nullptr;
  batch.hashes = true;
  if (!add_text_items(batch, arg[1], "docs", batch.fn->sig.params[0], 0, Args{})) return nullptr;
  return run(batch, *spread);
}

// The shared key of a signing batch, a text or a key object, converted into
// `fixed[slot]` and kept alive by the batch; and the `pairs` option. False
// with an exception set if the key is neither, or `pairs` no bool.
bool add_key(PyObject* module, Batch& batch, PyObject* key, std::size_t slot, PyObject* pairs, Args& fixed) {
  if (pairs != nullptr && !PyBool_Check(pairs)) return raise_wrong_type("pairs must be a bool", pairs);
  batch.pairs = pairs == Py_True;
  batch.key_text.emplace(batch_state(module));
  if (!convert_text(batch.fn->sig.params[slot], key, fixed[slot], &*batch.key_text)) return false;
  batch.owned.adopt(Py_NewRef(key));
  return true;
}

PyObject* sign_many_unguarded(PyObject* module, PyObject* args, PyObject* kwargs) {
  std::array<PyObject*, 5> arg{};  // kind, docs, pri_key, pairs, threads
  std::optional<ThreadSpread> spread;
  if (!begin_batch<5>(args, kwargs, "OOO|$OO:sign_many", {"kind", "docs", "pri_key", "pairs", "threads", nullptr},
                      arg, 1, spread)) {
    return nullptr;
  }
  Batch batch;
  batch.batch_name = "sign_many";
  batch.fn = function_of_kind("sign_", arg[0]);
  if (batch.fn == nullptr) return nullptr;
  Args fixed{};
  if (!add_key(module, batch, arg[2], 1, arg[3], fixed)) return nullptr;
  if (!add_text_items(batch, arg[1], "docs", batch.fn->sig.params[0], 0, fixed)) return nullptr;
  return run(batch, *spread);
}

PyObject* sign_messages_unguarded(PyObject* module, PyObject* args, PyObject* kwargs) {
  std::array<PyObject*, 4> arg{};  // pri_key, msgs, pairs, threads
  std::optional<ThreadSpread> spread;
  if (!begin_batch<4>(args, kwargs, "OO|$OO:sign_messages", {"pri_key", "msgs", "pairs", "threads", nullptr}, arg,
                      1, spread)) {
    return nullptr;
  }
  Batch batch;
  batch.batch_name = "sign_messages";
  batch.fn = find_function("sign");
  Args fixed{};
  if (!add_key(module, batch, arg[0], 0, arg[2], fixed)) return nullptr;
  if (!add_text_items(batch, arg[1], "msgs", batch.fn->sig.params[1], 1, fixed)) return nullptr;
  return run(batch, *spread);
}

PyObject* verify_many_unguarded(PyObject* /*module*/, PyObject* args, PyObject* kwargs) {
  std::array<PyObject*, 2> arg{};  // items, threads
  std::optional<ThreadSpread> spread;
  if (!begin_batch<2>(args, kwargs, "O|$O:verify_many", {"items", "threads", nullptr}, arg, 0, spread)) {
    return nullptr;
  }
  PyObject* items = arg[0];
  Batch batch;
  batch.batch_name = "verify_many";
  batch.fn = find_function("verify_signature");
  const bool read = read_items(batch, items, "items", Args{}, [&](PyObject* item, Args& out) {
    if (!PyTuple_Check(item) && !PyList_Check(item)) {
      return raise_wrong_type("each item must be a tuple or list of the verify_signature arguments "
                              "(sig_r, sig_s, pub_key_x, pub_key_y, msg)",
                              item);
    }
    // A tuple of our own: nobody can change which texts it holds. (An exact
    // tuple is its own: PySequence_Tuple returns it, not a copy.)
    PyObject* fields = PySequence_Tuple(item);
    if (fields == nullptr) return false;
    batch.owned.adopt(fields);
    return bind_tuple(batch.fn->sig, fields, out);
  });
  if (!read) return nullptr;
  return run_verify(batch, *spread);
}

// The entry points: no C++ exception reaches the interpreter.
template <PyObject* (*F)(PyObject*, PyObject*, PyObject*)>
PyObject* entry(PyObject* module, PyObject* args, PyObject* kwargs) {
  return boundary([&] { return F(module, args, kwargs); });
}

PyObject* default_threads(PyObject* /*module*/, PyObject* /*unused*/) {
  return PyLong_FromUnsignedLong(default_thread_count());
}

PyObject* lane_kernel(PyObject* /*module*/, PyObject* /*unused*/) {
  const std::string_view name = sdk::hash_kernel_name();
  return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
}

// The usual CPython cast for functions taking keywords.
template <class F>
PyCFunction as_method(F* f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef g_methods[] = {
    {"hash_many", as_method(entry<hash_many_unguarded>), METH_VARARGS | METH_KEYWORDS,
     "hash_many(kind, docs, *, threads=None)\n--\n\n"
     "The hash text of each document of one kind, in input order."},
    {"sign_many", as_method(entry<sign_many_unguarded>), METH_VARARGS | METH_KEYWORDS,
     "sign_many(kind, docs, pri_key, *, pairs=False, threads=None)\n--\n\n"
     "The signature JSON (with pairs, (r, s)) of each document of one kind under one key (a text or a "
     "SigningKey), in input order."},
    {"sign_messages", as_method(entry<sign_messages_unguarded>), METH_VARARGS | METH_KEYWORDS,
     "sign_messages(pri_key, msgs, *, pairs=False, threads=None)\n--\n\n"
     "The signature JSON (with pairs, (r, s)) of each message integer under one key (a text or a "
     "SigningKey), in input order."},
    {"verify_many", as_method(entry<verify_many_unguarded>), METH_VARARGS | METH_KEYWORDS,
     "verify_many(items, *, threads=None)\n--\n\n"
     "Whether each (sig_r, sig_s, pub_key_x, pub_key_y, msg) verifies, in input order."},
    {"default_threads", default_threads, METH_NOARGS,
     "default_threads()\n--\n\n"
     "The thread count used when threads is None: one per core the process may run on."},
    {"lane_kernel", lane_kernel, METH_NOARGS,
     "lane_kernel()\n--\n\n"
     "The Poseidon kernel of hash_many and sign_many in this process: 'ifma', 'emulated' or 'scalar'."},
    {nullptr, nullptr, 0, nullptr},
};

int traverse_state(PyObject* module, visitproc visit, void* arg) {
  BatchState& state = batch_state(module);
  Py_VISIT(state.key_type);
  Py_VISIT(state.refused);
  return 0;
}

int clear_state(PyObject* module) {
  BatchState& state = batch_state(module);
  Py_CLEAR(state.key_type);
  Py_CLEAR(state.refused);
  return 0;
}

void free_state(void* module) { clear_state(static_cast<PyObject*>(module)); }

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "quillet._batch",
    "Batch calls of quillet_python_sdk's functions, run on several threads.",
    sizeof(BatchState),
    g_methods,
    nullptr,
    traverse_state,
    clear_state,
    free_state,
};

PyObject* create_module() {
  PyObject* module = PyModule_Create(&g_module_def);
  if (module != nullptr &&
      (add_outcome_functions(module) < 0 || add_kdf_functions(module) < 0 ||
       add_key_classes(module, batch_state(module)) < 0)) {
    Py_CLEAR(module);
  }
  return module;
}

}  // namespace
}  // namespace quillet::python

PyMODINIT_FUNC PyInit__batch(void) { return quillet::python::boundary(quillet::python::create_module); }
