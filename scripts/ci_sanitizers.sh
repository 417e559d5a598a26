#!/usr/bin/env bash
# Runs the C++ unit tests of every layer under AddressSanitizer and
# UndefinedBehaviorSanitizer, in their own build directory (build/asan); any
# sanitizer report fails the test that triggered it. Then runs the
# concurrency test (threads racing at the first use of the constant tables)
# and the batch threads' test (ThreadSpread) under ThreadSanitizer, from a
# second build (build/tsan).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh
jobs=$(nproc)

# No -fno-omit-frame-pointer: the field's MULX/ADX kernels need every
# general register but rsp and rdx, and GCC cannot allocate their inline
# assembly with rbp reserved.
flags="-fsanitize=address,undefined -fno-sanitize-recover=all"
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" \
      -DQUILLET_BUILD_TESTS=ON -DQUILLET_BUILD_BENCH=OFF -DQUILLET_BUILD_PYTHON=OFF >/dev/null
cmake --build build/asan -j "$jobs"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir build/asan --output-on-failure -j "$jobs"

cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCMAKE_CXX_FLAGS="-fsanitize=thread" -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=thread" \
      -DQUILLET_BUILD_TESTS=ON -DQUILLET_BUILD_BENCH=OFF -DQUILLET_BUILD_PYTHON=OFF >/dev/null
cmake --build build/tsan -j "$jobs" --target quillet_sdk_tests quillet_jubjub_tests
TSAN_OPTIONS=halt_on_error=1 build/tsan/sdk/quillet_sdk_tests --gtest_filter='Concurrency.*'
TSAN_OPTIONS=halt_on_error=1 build/tsan/crypto/jubjub/quillet_jubjub_tests --gtest_filter='ThreadSpread.*'
