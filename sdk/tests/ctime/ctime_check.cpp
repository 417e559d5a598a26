// Constant-time check of the core library's key handling, run under
// valgrind's memcheck by scripts/ctime.sh: the private key text and the seed
// are marked undefined, and memcheck reports every conditional jump and
// memory index that depends on them, except the values passed to
// declassify(), which this program defines to mark them defined again.
#include <valgrind/memcheck.h>

#include <cstdio>
#include <string>

#include "crypto/secrets/declassify.hpp"
#include "sdk/src/lib.hpp"

namespace quillet::secrets {

void declassify(const void* p, size_t n) { (void)VALGRIND_MAKE_MEM_DEFINED(p, n); }

}  // namespace quillet::secrets

namespace {

void make_secret(std::string& s) { (void)VALGRIND_MAKE_MEM_UNDEFINED(s.data(), s.size()); }

template <class T>
void make_public(T& v) {
  (void)VALGRIND_MAKE_MEM_DEFINED(&v, sizeof v);
}

void make_public(std::string& s) { (void)VALGRIND_MAKE_MEM_DEFINED(s.data(), s.size()); }

}  // namespace

int main() {
  namespace sdk = quillet::sdk;
  const std::string msg = "0x1c7c6f1b2d0e5a9f3e8b7d6c5a4f3e2d1c0b9a8f7e6d5c4b3a2f1e0d9c8b7a6f";
  for (const char* text : {"0x0123456789abcdef0123456789ABCDEF0123456789abcdef0123456789abcdef",
                           "0x05a01167ea785d3f784224644a68e4067532c815f5f6d57d984b5c0e9c6c94b7"}) {
    std::string key = text;
    // The "0x" prefix is format, not key material.
    std::string digits = key.substr(2);
    make_secret(digits);
    key = "0x" + digits;

    auto sig = sdk::sign(key, msg);
    make_public(sig);
    if (!sig) return 1;
    auto l1 = sdk::l1_sign(msg, key);
    make_public(l1);
    if (!l1) return 1;
    auto pair = sdk::private_key_to_pubkey_xy(key);
    make_public(pair);
    if (!pair) return 1;
  }

  std::string seed = "a seed of thirty-two bytes or more, kept secret";
  make_secret(seed);
  auto key = sdk::private_key_from_seed({reinterpret_cast<const uint8_t*>(seed.data()), seed.size()});
  if (!key) return 1;
  make_public(*key);
  std::puts("constant-time check done");
  return 0;
}
