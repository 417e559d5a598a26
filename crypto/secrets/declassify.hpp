// The points where a value derived from a secret becomes public and may then
// steer control flow: the accept/reject verdict of a nonce or key candidate,
// and a signature's R and the signer's key once normalised.
#pragma once

#include <cstddef>

namespace quillet::secrets {

// Marks the `n` bytes at `p` as public from here on. Does nothing; the
// constant-time check (tests/ctime) links its own definition, which tells
// valgrind that these bytes may be branched on.
void declassify(const void* p, size_t n);

}  // namespace quillet::secrets
