#!/usr/bin/env bash
# Checks that secret keys, nonces, key texts and keystore passphrases (in
# PBKDF2; scrypt's ROMix reads memory at secret-derived indexes by design and
# is not checked) never steer a branch or a memory index: builds the constant-time check in build/cpp, with the release
# flags of the unit tests and the wheel, and runs it under valgrind's
# memcheck, which reports any such use of the values it marks secret.
# Reports name functions; for file and line, configure a tree with
# -DCMAKE_CXX_FLAGS=-g (debug information leaves the code unchanged).
# Valgrind reports a processor without the SHA extensions, so the nonce's
# SHA-256 runs through the portable kernel (libcrypto's block function) here;
# the SHA-NI kernel is straight-line code with no branch or index at all.
# Nor ADX: the library then takes the portable field kernels, and the
# program calls the MULX ones directly (valgrind executes them).
# Nor AVX-512: the fixed-base lanes (batch signing, and single signing's rows
# spread over the lanes) are checked as the
# emulated kernel, the IFMA kernel's own source over plain integers.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/ccache.sh

command -v valgrind >/dev/null || { echo "ctime: valgrind is not installed (scripts/bootstrap.sh installs it)" >&2; exit 1; }
build=build/cpp
# The other options of the tree (tests, benchmarks) are left as they are.
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DQUILLET_BUILD_CTIME=ON -DQUILLET_BUILD_PYTHON=OFF >/dev/null
cmake --build "$build" -j2 --target quillet_ctime
valgrind --quiet --error-exitcode=42 --track-origins=yes "$build"/ctime/quillet_ctime
