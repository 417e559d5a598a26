// quillet._batch.SigningKey: a private key held natively, as the typed
// package's PrivateKey holds it (see key_object.cpp).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <deque>
#include <string_view>

#include "python/src/batch_state.hpp"
#include "python/src/binding.hpp"
#include "sdk/src/keys/private_key.hpp"

namespace quillet::python {

// Makes the class SigningKey and the exception Refused, adds both to
// `module` (quillet._batch) and keeps them in its state. -1 with an
// exception set.
int add_key_classes(PyObject* module, BatchState& state);

// The texts of the key objects given to a call of quillet._batch as its key
// argument (a parameter named pri_key or private_key): each written once,
// natively, into memory held here and wiped when this is destroyed, for the
// core to parse as it parses a key's str. No str is ever made of it. A key
// object given for any other argument is refused as any non-str is.
class KeyTexts final : public OtherTexts {
 public:
  explicit KeyTexts(const BatchState& state) : key_type_(state.key_type) {}
  KeyTexts(const KeyTexts&) = delete;
  KeyTexts& operator=(const KeyTexts&) = delete;
  ~KeyTexts();

  int text_of(const char* param, PyObject* obj, std::string_view& text) override;

 private:
  struct Entry {
    PyObject* key;  // compared only: the caller keeps the object alive
    std::array<char, sdk::keys::kKeyTextSize> text;
  };
  PyObject* key_type_;
  std::deque<Entry> entries_;  // in place as it grows: views stay valid
};

}  // namespace quillet::python
