#!/usr/bin/env bash
# Runs every test: the C++ unit tests of each layer (GoogleTest through CTest),
# the release build and its checks (the Python tests of the module as users
# install it, on both architectures, aarch64 under emulation), the
# sanitizers, the fuzz harnesses and the constant-time check.
#
# The trees, each built once: build/cpp (release: unit tests, benchmarks and
# the constant-time programs), the wheel builds (which share build/cpp's
# objects through ccache), build/aarch64 (cross-built unit tests, run under
# qemu), build/fuzz (clang with ASan and UBSan: the unit tests and the fuzz
# harnesses) and build/tsan (the concurrency tests only).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh
source scripts/ccache.sh
export PATH="$PWD/.venv/bin:$PATH"
jobs=$(nproc)
# Each step's time, for keeping the whole run short.
step() {
  local start=$SECONDS
  "$@"
  echo "test.sh: $* took $((SECONDS - start)) s, $SECONDS s in all" >&2
}

# The arm64 trees (downloads, on a new machine) while build/cpp compiles;
# the release below needs them.
mkdir -p build
bash scripts/arm64_sysroot.sh >build/arm64_sysroot.log 2>&1 &
sysroot=$!

cmake -S . -B build/cpp -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUILLET_BUILD_TESTS=ON \
      -DQUILLET_BUILD_BENCH=ON -DQUILLET_BUILD_CTIME=ON -DQUILLET_BUILD_PYTHON=OFF
step cmake --build build/cpp -j "$jobs"
step ctest --test-dir build/cpp --output-on-failure -j "$jobs"

# The development install (.venv), which ci_arm64.sh compares with.
step python -m pip install -q --disable-pip-version-check --no-build-isolation .

# The release (sdist, x86-64 and aarch64 wheels in wheelhouse/), then the
# package as users get it: fresh venvs of CPython 3.12 and 3.13, each running
# the whole pytest suite (the development install would only repeat the
# first), stub check; and the aarch64 build under emulation: the C++ tests,
# and the pytest suite from its wheel.
wait "$sysroot" || { cat build/arm64_sysroot.log; exit 1; }
step bash scripts/build_wheels.sh
step bash scripts/ci_package.sh
step bash scripts/ci_arm64.sh

# Hardening: the C++ suite under ASan/UBSan (and the concurrency tests under
# TSan), every fuzz harness for a bounded time, and the constant-time check
# of secret handling under valgrind.
step bash scripts/ci_sanitizers.sh
FUZZ_SECONDS=${FUZZ_SECONDS:-6} step bash scripts/ci_fuzz.sh
step bash scripts/ctime.sh
