// Marking values computed from secrets as public.
//
// The constant-time check (ctime/, built with QUILLET_BUILD_CTIME) runs key
// derivation and signing under valgrind's memcheck with the secrets marked
// undefined, so that every branch or memory index that depends on them is
// reported. A value that is public by construction although it is computed
// from secrets (a rejection-sampling verdict, a finished signature) is
// declassified before the code branches on it. In every other build this does
// nothing.
#pragma once

#include <cstddef>

#ifdef QUILLET_CTIME
#include <valgrind/memcheck.h>
#endif

namespace quillet {

inline void declassify(const void* p, std::size_t n) {
#ifdef QUILLET_CTIME
  (void)VALGRIND_MAKE_MEM_DEFINED(p, n);
#else
  (void)p;
  (void)n;
#endif
}

template <class T>
void declassify(const T& value) {
  declassify(&value, sizeof value);
}

}  // namespace quillet
