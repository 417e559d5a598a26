#!/usr/bin/env bash
# Runs the C++ unit tests of every layer under AddressSanitizer and
# UndefinedBehaviorSanitizer, in the fuzz harnesses' tree (build/fuzz: clang,
# every layer instrumented); any sanitizer report fails the test that
# triggered it. Then runs the concurrency tests (threads racing at the first
# use of the constant tables, concurrent callers, the batch threads of
# ThreadSpread, the remembered keys shared by verifications) under ThreadSanitizer,
# from a second tree (build/tsan) that builds only them and the library.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh
source scripts/ccache.sh
jobs=$(nproc)

CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DQUILLET_BUILD_FUZZ=ON -DQUILLET_BUILD_TESTS=ON -DQUILLET_BUILD_PYTHON=OFF >/dev/null
cmake --build build/fuzz -j "$jobs"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir build/fuzz --output-on-failure -j "$jobs"

# -O1 and line tables only (-g1): the tree builds the whole library for a
# few seconds of tests, and its reports still name every file and line.
cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" \
      -DCMAKE_CXX_FLAGS="-fsanitize=thread" -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=thread" \
      -DQUILLET_BUILD_TESTS=ON -DQUILLET_BUILD_PYTHON=OFF >/dev/null
cmake --build build/tsan -j "$jobs" --target quillet_concurrency_tests
TSAN_OPTIONS=halt_on_error=1 build/tsan/quillet_concurrency_tests \
    --gtest_filter='Concurrency.*:ThreadSpread.*:RememberedKeys.*'
