// The key derivations of quillet.keystore: scrypt and PBKDF2-HMAC-SHA256
// (crypto/scrypt), run without the interpreter lock.
//
// The passphrase and the salt are read from buffers the caller holds (a
// bytearray it wipes afterwards), and the derived key is written into the
// caller's writable buffer: no Python object of this module's making holds
// either. The buffers are held for the whole call, so a bytearray cannot be
// resized while the lock is released. The parameters are checked here,
// against the keystore's bounds, before anything is mapped; scrypt's memory
// that the system does not give raises MemoryError.
#include "python/src/kdf.hpp"

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "crypto/scrypt/pbkdf2.hpp"
#include "crypto/scrypt/scrypt.hpp"
#include "python/src/binding.hpp"
#include "python/src/failure.hpp"
#include "python/src/ref.hpp"

namespace quillet::python {
namespace {

// The value of an int argument (not a bool) in [0, 2^64), or `fallback`
// (out of bounds for every caller) for a negative or larger one. False with
// TypeError set for anything else.
bool count_arg(const char* name, PyObject* obj, uint64_t fallback, uint64_t& out) {
  if (!PyLong_Check(obj) || PyBool_Check(obj)) return raise_wrong_type((std::string(name) + " must be an int").c_str(), obj);
  const unsigned long long value = PyLong_AsUnsignedLongLong(obj);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
    PyErr_Clear();  // negative, or 2^64 and above
    out = fallback;
    return true;
  }
  out = value;
  return true;
}

// The key's buffer: writable, of 1..`limit` bytes. False with an exception set.
bool key_buffer(const HeldBuffer& out, std::size_t limit) {
  if (!out.ok()) return false;
  if (out.bytes().empty() || out.bytes().size() > limit) {
    PyErr_Format(PyExc_ValueError, "the key's buffer holds %zu bytes, not 1 to %zu", out.bytes().size(), limit);
    return false;
  }
  return true;
}

// Runs `derive` (no Python in it) with the interpreter lock released; what it
// throws is rethrown once the lock is back, for boundary() to map.
template <class Derive>
auto without_lock(const Derive& derive) {
  decltype(derive()) result{};
  std::exception_ptr failure;
  PyThreadState* released = PyEval_SaveThread();
  try {
    result = derive();
  } catch (...) {
    failure = std::current_exception();
  }
  PyEval_RestoreThread(released);
  if (failure) std::rethrow_exception(failure);
  return result;
}

PyObject* scrypt_into(PyObject* /*module*/, PyObject* args, PyObject* kwargs) {
  return boundary([&]() -> PyObject* {
    static const char* kwlist[] = {"", "", "", "", "", "", "kernel", nullptr};
    PyObject *passphrase_obj, *salt_obj, *n_obj, *r_obj, *p_obj, *out_obj, *kernel_obj = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOOO|$O:scrypt_into", const_cast<char**>(kwlist),
                                     &passphrase_obj, &salt_obj, &n_obj, &r_obj, &p_obj, &out_obj, &kernel_obj)) {
      return nullptr;
    }
    uint64_t n = 0, r = 0, p = 0;
    if (!count_arg("n", n_obj, 0, n) || !count_arg("r", r_obj, 0, r) || !count_arg("p", p_obj, 0, p)) return nullptr;
    const scrypt::ScryptParams params = {n, static_cast<uint32_t>(r), static_cast<uint32_t>(p)};
    if (r > scrypt::kMaxScryptR || p > scrypt::kMaxScryptP || !scrypt::scrypt_within_bounds(params)) {
      PyErr_Format(PyExc_ValueError, "scrypt with n=%R, r=%R, p=%R is outside the keystore bounds", n_obj, r_obj, p_obj);
      return nullptr;
    }
    scrypt::SalsaKernel kernel = scrypt::salsa_kernel();
    if (kernel_obj != Py_None) {
      std::string_view name;
      if (!name_text("kernel", kernel_obj, name)) return nullptr;
      const std::optional<scrypt::SalsaKernel> named = scrypt::salsa_kernel_named(name);
      if (!named || !cpu::runs(*named)) {
        PyErr_Format(PyExc_ValueError, "no scrypt kernel %R runs here (scrypt_kernels() names those that do)",
                     kernel_obj);
        return nullptr;
      }
      kernel = *named;
    }
    const HeldBuffer passphrase(passphrase_obj, PyBUF_SIMPLE);
    if (!passphrase.ok()) return nullptr;
    const HeldBuffer salt(salt_obj, PyBUF_SIMPLE);
    if (!salt.ok()) return nullptr;
    const HeldBuffer out(out_obj, PyBUF_WRITABLE);
    if (!key_buffer(out, scrypt::kMaxScryptOutput)) return nullptr;
    const std::optional<scrypt::ScryptFault> fault =
        without_lock([&] { return scrypt::scrypt_vartime(passphrase.bytes(), salt.bytes(), params, out.bytes(), kernel); });
    if (fault) {
      PyErr_Format(PyExc_MemoryError, "scrypt could not map its %llu MiB of memory",
                   static_cast<unsigned long long>((scrypt::scrypt_memory(params) + (1 << 20) - 1) >> 20));
      return nullptr;
    }
    Py_RETURN_NONE;
  });
}

PyObject* pbkdf2_sha256_into(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs) {
  return boundary([&]() -> PyObject* {
    if (nargs != 4) {
      PyErr_Format(PyExc_TypeError, "pbkdf2_sha256_into() takes 4 positional arguments but %zd were given", nargs);
      return nullptr;
    }
    uint64_t rounds = 0;
    if (!count_arg("rounds", args[2], 0, rounds)) return nullptr;
    if (rounds < 1 || rounds > UINT32_MAX) {
      PyErr_Format(PyExc_ValueError, "PBKDF2 rounds = %R is outside [1, 2^32 - 1]", args[2]);
      return nullptr;
    }
    const HeldBuffer passphrase(args[0], PyBUF_SIMPLE);
    if (!passphrase.ok()) return nullptr;
    const HeldBuffer salt(args[1], PyBUF_SIMPLE);
    if (!salt.ok()) return nullptr;
    const HeldBuffer out(args[3], PyBUF_WRITABLE);
    if (!key_buffer(out, scrypt::kMaxPbkdf2Output)) return nullptr;
    without_lock([&] {
      scrypt::pbkdf2_sha256(passphrase.bytes(), salt.bytes(), static_cast<uint32_t>(rounds), out.bytes());
      return true;
    });
    Py_RETURN_NONE;
  });
}

PyObject* scrypt_kernels(PyObject* /*module*/, PyObject* /*unused*/) {
  Ref names(PyList_New(0));
  if (names.get() == nullptr) return nullptr;
  const scrypt::SalsaKernel chosen = scrypt::salsa_kernel();
  // The chosen kernel first, then the others that run.
  std::vector<scrypt::SalsaKernel> order = {chosen};
  for (scrypt::SalsaKernel k : scrypt::kSalsaKernels) {
    if (k != chosen && cpu::runs(k)) order.push_back(k);
  }
  for (scrypt::SalsaKernel k : order) {
    const std::string_view name = scrypt::salsa_kernel_name(k);
    Ref text(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
    if (text.get() == nullptr || PyList_Append(names.get(), text.get()) < 0) return nullptr;
  }
  return names.release();
}

}  // namespace

int add_kdf_functions(PyObject* module) {
  static PyMethodDef methods[] = {
      {"scrypt_into", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(scrypt_into)),
       METH_VARARGS | METH_KEYWORDS,
       "scrypt_into(passphrase, salt, n, r, p, out, /, *, kernel=None)\n--\n\n"
       "Writes scrypt(passphrase, salt, n, r, p) into the writable buffer `out` (its length is the key's), "
       "within the keystore's bounds; MemoryError if its memory cannot be had."},
      {"pbkdf2_sha256_into", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(pbkdf2_sha256_into)),
       METH_FASTCALL,
       "pbkdf2_sha256_into(passphrase, salt, rounds, out, /)\n--\n\n"
       "Writes PBKDF2-HMAC-SHA256(passphrase, salt, rounds) into the writable buffer `out`."},
      {"scrypt_kernels", scrypt_kernels, METH_NOARGS,
       "scrypt_kernels()\n--\n\n"
       "The Salsa20/8 kernels scrypt_into runs here, the one it chooses first."},
      {nullptr, nullptr, 0, nullptr},
  };
  return PyModule_AddFunctions(module, methods);
}

}  // namespace quillet::python
