// quillet._batch.SigningKey: the private key of the typed package, held
// natively.
//
// The object holds the key's scalar in its own memory, parsed or derived
// once, and wipes it when the object is released; a key being made that is
// refused, or whose making fails, is released and so wiped too. It signs with
// that scalar through the core functions the module's entry points use, so
// its signatures are theirs byte for byte, without parsing the key again. No
// str of the key exists unless to_text() is called: the key is taken from
// text (the caller's str), from bytes (a buffer the caller may wipe), from a
// seed, or from the kernel's generator, and given back as bytes into the
// caller's buffer. repr, == and hash see the public key alone; pickling and
// copying are refused. The interpreter lock is held throughout, as the
// module's single calls hold it.
//
// Failures of the typed calls raise Refused with a code (key_fault_code,
// "document", "message") and, for a document or message, the core's reason;
// no reason is ever given for a key, whose core text quotes it.
#include "python/src/key_object.hpp"

#include <optional>
#include <span>
#include <string>
#include <utility>

#include "crypto/secrets/wipe.hpp"
#include "python/src/calls.hpp"
#include "python/src/failure.hpp"
#include "python/src/ref.hpp"
#include "sdk/src/lib.hpp"

namespace quillet::python {
namespace {

using sdk::keys::KeyFault;

struct KeyObject {
  PyObject_HEAD
  jubjub::Fs sk;       // wiped by key_dealloc
  PyObject* public_x;  // the packed public key, as private_key_to_public_key_xy writes it
  PyObject* public_y;  // its point's affine x, likewise
};

KeyObject* as_key(PyObject* obj) { return reinterpret_cast<KeyObject*>(obj); }

const jubjub::Fs& scalar_of(PyObject* self) { return as_key(self)->sk; }

PyObject* refused_class(PyObject* self) { return batch_state_of(Py_TYPE(self)).refused; }

void key_dealloc(PyObject* self) {
  KeyObject* key = as_key(self);
  secrets::wipe_value(key->sk);
  Py_CLEAR(key->public_x);
  Py_CLEAR(key->public_y);
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
  Py_DECREF(type);  // instances of a heap type hold it
}

const char* key_fault_code(KeyFault fault) {
  switch (fault) {
    case KeyFault::length:
      return "length";
    case KeyFault::character:
      return "character";
    case KeyFault::range:
      return "range";
    case KeyFault::zero:
      return "zero";
    case KeyFault::seed_length:
      return "seed_length";
  }
  return "key";
}

// A new key object of `type`, its scalar written by make(sk), which returns
// false with an exception set when it refuses or fails; nullptr then.
template <class Make>
PyObject* make_key(PyObject* type_object, const Make& make) {
  auto* type = reinterpret_cast<PyTypeObject*>(type_object);
  Ref obj(reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc))(type, 0));  // zeroed
  if (obj.get() == nullptr) return nullptr;
  KeyObject* key = as_key(obj.get());
  // Any way out from here releases `obj`, whose scalar key_dealloc wipes.
  if (!make(key->sk)) return nullptr;
  const auto [x, y] = sdk::private_key_to_pubkey_xy(key->sk);
  key->public_x = PyUnicode_FromStringAndSize(x.data(), static_cast<Py_ssize_t>(x.size()));
  if (key->public_x == nullptr) return nullptr;
  key->public_y = PyUnicode_FromStringAndSize(y.data(), static_cast<Py_ssize_t>(y.size()));
  if (key->public_y == nullptr) return nullptr;
  return obj.release();
}

// make(sk) of a maker that returns its refusal, raised as Refused.
template <class Maker>
auto refusing(PyObject* type, const Maker& maker) {
  return [type, &maker](jubjub::Fs& sk) {
    const std::optional<KeyFault> fault = maker(sk);
    if (fault) raise_refused(batch_state_of(reinterpret_cast<PyTypeObject*>(type)).refused, key_fault_code(*fault));
    return !fault;
  };
}

// The UTF-8 text of a str key or seed. A str UTF-8 cannot encode (a lone
// surrogate) is refused as Refused "character", since the interpreter's
// UnicodeEncodeError would hold the whole text. False with an exception set.
bool secret_text(PyObject* type, PyObject* obj, const char* what, std::string_view& text) {
  if (!PyUnicode_Check(obj)) return raise_wrong_type(what, obj);
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
  if (utf8 == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
    PyErr_Clear();
    raise_refused(batch_state_of(reinterpret_cast<PyTypeObject*>(type)).refused, "character");
    return false;
  }
  text = std::string_view(utf8, static_cast<std::size_t>(size));
  return true;
}

PyObject* from_text(PyObject* type, PyObject* text_obj) {
  return boundary([&]() -> PyObject* {
    std::string_view text;
    if (!secret_text(type, text_obj, "a private key text is a str", text)) return nullptr;
    return make_key(type, refusing(type, [&](jubjub::Fs& sk) { return sdk::keys::signing_key_from_text(text, sk); }));
  });
}

PyObject* from_bytes(PyObject* type, PyObject* data) {
  return boundary([&]() -> PyObject* {
    const HeldBuffer buffer(data, PyBUF_SIMPLE);
    if (!buffer.ok()) return nullptr;
    return make_key(type, refusing(type, [&](jubjub::Fs& sk) {
                      return sdk::keys::signing_key_from_bytes(buffer.bytes(), sk);
                    }));
  });
}

PyObject* from_seed(PyObject* type, PyObject* seed_obj) {
  return boundary([&]() -> PyObject* {
    std::string_view seed;
    std::optional<HeldBuffer> buffer;
    if (PyUnicode_Check(seed_obj)) {
      if (!secret_text(type, seed_obj, "a seed is a str or bytes", seed)) return nullptr;
    } else {
      buffer.emplace(seed_obj, PyBUF_SIMPLE);
      if (!buffer->ok()) return nullptr;
      seed = std::string_view(reinterpret_cast<const char*>(buffer->bytes().data()), buffer->bytes().size());
    }
    const std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(seed.data()), seed.size());
    return make_key(type, refusing(type, [&](jubjub::Fs& sk) { return sdk::keys::signing_key_from_seed(bytes, sk); }));
  });
}

PyObject* generate(PyObject* type, PyObject* /*unused*/) {
  return boundary([&]() -> PyObject* {
    return make_key(type, [](jubjub::Fs& sk) {
      if (sdk::keys::generate_signing_key(sk)) return true;
      PyErr_SetString(PyExc_OSError, "the operating system gave no random bytes (getrandom failed)");
      return false;
    });
  });
}

PyObject* public_key(PyObject* self, PyObject* /*unused*/) {
  return PyTuple_Pack(2, as_key(self)->public_x, as_key(self)->public_y);
}

// The Python value of a typed call's outcome, or Refused with `code` and the
// core's reason.
PyObject* value_or_refused(PyObject* self, const Outcome& outcome, const char* code) {
  if (!outcome) return raise_refused(refused_class(self), code, &outcome.error().text);
  return to_python(*outcome);
}

PyObject* sign_document(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  return boundary([&]() -> PyObject* {
    if (nargs != 2) {
      PyErr_Format(PyExc_TypeError, "sign_document() takes 2 positional arguments but %zd were given", nargs);
      return nullptr;
    }
    std::string_view kind_name;
    std::string_view json;
    if (!name_text("kind", args[0], kind_name) || !convert_text("json", args[1], json)) return nullptr;
    for (const auto& [kind, name] : sdk::kDocumentKinds) {
      if (name == kind_name) return value_or_refused(self, sign_document_with(kind, json, scalar_of(self)), "document");
    }
    PyErr_Format(PyExc_ValueError, "unknown kind %R", args[0]);
    return nullptr;
  });
}

PyObject* sign_message(PyObject* self, PyObject* msg_obj) {
  return boundary([&]() -> PyObject* {
    std::string_view msg;
    if (!convert_text("msg", msg_obj, msg)) return nullptr;
    return value_or_refused(self, sign_message_with(scalar_of(self), msg), "message");
  });
}

PyObject* eth_sign(PyObject* self, PyObject* msg_obj) {
  return boundary([&]() -> PyObject* {
    std::string_view msg;
    if (!convert_text("msg", msg_obj, msg)) return nullptr;
    return value_or_refused(self, eth_sign_with(scalar_of(self), msg), "message");
  });
}

PyObject* to_text(PyObject* self, PyObject* /*unused*/) {
  std::array<char, sdk::keys::kKeyTextSize> text{};
  sdk::keys::write_key_text(scalar_of(self), text);
  PyObject* out = PyUnicode_DecodeASCII(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
  secrets::wipe_value(text);
  return out;
}

PyObject* write_bytes(PyObject* self, PyObject* out) {
  const HeldBuffer buffer(out, PyBUF_WRITABLE);
  if (!buffer.ok()) return nullptr;
  const std::span<uint8_t> bytes = buffer.bytes();
  if (bytes.size() != 32) {
    PyErr_Format(PyExc_ValueError, "write_bytes() writes 32 bytes, into a buffer of 32, not %zu", bytes.size());
    return nullptr;
  }
  sdk::keys::write_key_bytes(scalar_of(self), bytes.first<32>());
  Py_RETURN_NONE;
}

PyObject* refuse_copy(PyObject* /*self*/, PyObject* /*unused*/) {
  PyErr_SetString(PyExc_TypeError, "a SigningKey is neither pickled nor copied (it would copy the secret)");
  return nullptr;
}

PyObject* key_repr(PyObject* self) { return PyUnicode_FromFormat("SigningKey(public_key=%U)", as_key(self)->public_x); }

PyObject* key_richcompare(PyObject* self, PyObject* other, int op) {
  if (Py_TYPE(other) != Py_TYPE(self) || (op != Py_EQ && op != Py_NE)) Py_RETURN_NOTIMPLEMENTED;
  return PyObject_RichCompare(as_key(self)->public_x, as_key(other)->public_x, op);
}

Py_hash_t key_hash(PyObject* self) { return PyObject_Hash(as_key(self)->public_x); }

// The usual CPython casts for the calling conventions.
template <class F>
PyCFunction method(F* f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef g_key_methods[] = {
    {"from_text", method(from_text), METH_CLASS | METH_O,
     "from_text($cls, text, /)\n--\n\n"
     "The key of a private key text (\"0x\" prefixes and 64 hex digits, below the order, not 0)."},
    {"from_bytes", method(from_bytes), METH_CLASS | METH_O,
     "from_bytes($cls, data, /)\n--\n\n"
     "The key of 32 big-endian bytes (a bytearray you may wipe afterwards), below the order, not 0."},
    {"from_seed", method(from_seed), METH_CLASS | METH_O,
     "from_seed($cls, seed, /)\n--\n\n"
     "The key private_key_from_seed derives from a seed of at least 32 bytes (str as UTF-8, or bytes)."},
    {"generate", method(generate), METH_CLASS | METH_NOARGS,
     "generate($cls)\n--\n\n"
     "A fresh key, uniform in [1, order), from getrandom(2) by rejection."},
    {"public_key", method(public_key), METH_NOARGS,
     "public_key($self)\n--\n\nThe texts (x, y) private_key_to_public_key_xy gives."},
    {"sign_document", method(sign_document), METH_FASTCALL,
     "sign_document($self, kind, json, /)\n--\n\nThe signature (r, s) sign_<kind> gives for the JSON document."},
    {"sign_message", method(sign_message), METH_O,
     "sign_message($self, msg, /)\n--\n\nThe signature (r, s) sign gives for the message integer."},
    {"eth_sign", method(eth_sign), METH_O,
     "eth_sign($self, msg, /)\n--\n\nThe texts (x, y, s, pk_x, pk_y) of the L1 signature eth_sign gives."},
    {"to_text", method(to_text), METH_NOARGS,
     "to_text($self)\n--\n\n"
     "The key's text: a str holding the secret, which Python frees without overwriting."},
    {"write_bytes", method(write_bytes), METH_O,
     "write_bytes($self, out, /)\n--\n\nWrites the key's 32 big-endian bytes into `out`, a writable buffer of 32 bytes."},
    {"__reduce__", method(refuse_copy), METH_NOARGS, "Refused: a key is not pickled."},
    {"__copy__", method(refuse_copy), METH_NOARGS, "Refused: a key is not copied."},
    {"__deepcopy__", method(refuse_copy), METH_O, "Refused: a key is not copied."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_key_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(key_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(key_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(key_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(key_hash)},
    {Py_tp_methods, g_key_methods},
    {Py_tp_doc, const_cast<char*>("A private key held natively; its scalar is wiped when the key is released.")},
    {0, nullptr},
};

PyType_Spec g_key_spec = {
    "quillet._batch.SigningKey",
    sizeof(KeyObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    g_key_slots,
};

constexpr const char kRefusedDoc[] =
    "A refusal of a typed call: `code` names what was refused; `reason` is the core's text, or None for a key.";

}  // namespace

int add_key_classes(PyObject* module, BatchState& state) {
  state.refused = PyErr_NewExceptionWithDoc("quillet._batch.Refused", kRefusedDoc, PyExc_ValueError, nullptr);
  if (state.refused == nullptr || PyModule_AddObjectRef(module, "Refused", state.refused) < 0) return -1;
  state.key_type = PyType_FromModuleAndSpec(module, &g_key_spec, nullptr);
  if (state.key_type == nullptr || PyModule_AddObjectRef(module, "SigningKey", state.key_type) < 0) return -1;
  return 0;
}

KeyTexts::~KeyTexts() {
  for (Entry& entry : entries_) secrets::wipe_value(entry.text);
}

int KeyTexts::text_of(const char* param, PyObject* obj, std::string_view& text) {
  const std::string_view name(param);
  if (key_type_ == nullptr || Py_TYPE(obj) != reinterpret_cast<PyTypeObject*>(key_type_) ||
      (name != "pri_key" && name != "private_key")) {
    return 0;
  }
  // A batch's items share their key: written once for a run of them.
  if (entries_.empty() || entries_.back().key != obj) {
    entries_.push_back(Entry{obj, {}});
    sdk::keys::write_key_text(scalar_of(obj), entries_.back().text);
  }
  text = std::string_view(entries_.back().text.data(), entries_.back().text.size());
  return 1;
}

}  // namespace quillet::python
