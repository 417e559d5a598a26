#!/usr/bin/env bash
# Checks that secret keys, nonces and key texts never steer a branch or a
# memory index: builds the constant-time checks in build/cpp, with the release
# flags of the unit tests and the wheel, and runs them under valgrind's
# memcheck, which reports any such use of the values they mark secret.
# Reports name functions; for file and line, configure a tree with
# -DCMAKE_CXX_FLAGS=-g (debug information leaves the code unchanged).
# Valgrind reports a processor without the SHA extensions, so the nonce's
# SHA-256 runs through the portable kernel (libcrypto's block function) here;
# the SHA-NI kernel is straight-line code with no branch or index at all.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/ccache.sh

command -v valgrind >/dev/null || { echo "ctime: valgrind is not installed (scripts/bootstrap.sh installs it)" >&2; exit 1; }
build=build/cpp
# The other options of the tree (tests, benchmarks) are left as they are.
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DQUILLET_BUILD_CTIME=ON -DQUILLET_BUILD_PYTHON=OFF >/dev/null
cmake --build "$build" -j2 --target quillet_jubjub_ctime quillet_sdk_ctime quillet_ctime
for check in "$build"/crypto/jubjub/quillet_jubjub_ctime "$build"/sdk/quillet_sdk_ctime "$build"/ctime/quillet_ctime; do
  echo "ctime: $(basename "$check")"
  valgrind --quiet --error-exitcode=42 --track-origins=yes "$check"
done
