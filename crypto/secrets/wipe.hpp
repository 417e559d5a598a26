// Overwriting secrets before their memory is released.
//
// Private keys, nonces, HMAC states and the bytes and digits they are made
// of are overwritten with OPENSSL_cleanse, which the compiler cannot drop as
// a dead store. WipeOnExit does it when a scope ends, on every path out of
// it: returns, returned errors and hard failures alike. Copies the compiler
// makes in registers and temporaries are out of reach; named objects and
// buffers are not.
#pragma once

#include <openssl/crypto.h>

#include <cstddef>
#include <string>
#include <type_traits>
#include <vector>

namespace quillet::secrets {

inline void wipe(void* p, std::size_t n) { OPENSSL_cleanse(p, n); }

// Every byte of a plain value (a field element, a digest, a digit array).
template <class T>
  requires std::is_trivially_copyable_v<T>
void wipe_value(T& v) {
  wipe(&v, sizeof v);
}

// The characters of a text.
inline void wipe_text(std::string& s) { wipe(s.data(), s.size()); }

// Overwrites the value it guards when it goes out of scope.
template <class T>
  requires std::is_trivially_copyable_v<T>
class WipeOnExit {
 public:
  explicit WipeOnExit(T& guarded) : guarded_(guarded) {}
  ~WipeOnExit() { wipe_value(guarded_); }
  WipeOnExit(const WipeOnExit&) = delete;
  WipeOnExit& operator=(const WipeOnExit&) = delete;

 private:
  T& guarded_;
};

// Overwrites the elements of the vector it guards, as many as it then
// holds, when it goes out of scope.
template <class T>
  requires std::is_trivially_copyable_v<T>
class WipeElementsOnExit {
 public:
  explicit WipeElementsOnExit(std::vector<T>& guarded) : guarded_(guarded) {}
  ~WipeElementsOnExit() { wipe(guarded_.data(), guarded_.size() * sizeof(T)); }
  WipeElementsOnExit(const WipeElementsOnExit&) = delete;
  WipeElementsOnExit& operator=(const WipeElementsOnExit&) = delete;

 private:
  std::vector<T>& guarded_;
};

}  // namespace quillet::secrets
