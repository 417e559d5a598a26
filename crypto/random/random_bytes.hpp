// Unpredictable bytes from the operating system's generator.
#pragma once

#include <cstdint>
#include <span>

namespace quillet::random {

// Fills `out` from getrandom(2), the kernel's CSPRNG, retrying short reads and
// interrupted calls. Returns false, with `out` in an unspecified state, only if
// the kernel refuses (no getrandom); callers then take a path that needs no
// randomness.
//
// The kernel rather than libcrypto's RAND_bytes: the library's generator
// brings its provider machinery into a statically linked module (four times the
// wheel's size), registers a clean-up at exit that frees state under threads
// still verifying, and holds locks a forked child may inherit taken. The
// kernel's generator is the one that seeds it.
bool fill_random(std::span<uint8_t> out);

}  // namespace quillet::random
