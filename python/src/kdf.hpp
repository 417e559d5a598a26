// The keystore's key derivations in quillet._batch: see kdf.cpp.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace quillet::python {

// Adds scrypt_into, pbkdf2_sha256_into and scrypt_kernels to quillet._batch.
int add_kdf_functions(PyObject* module);

}  // namespace quillet::python
