#!/usr/bin/env bash
# The constant-time check: builds ctime/ctime.cpp as a release build (-O2 -g,
# no sanitizers) in build/ctime and runs it under valgrind's memcheck with
# the secrets marked undefined. Fails if memcheck reports any error (a branch
# or memory index that depends on a secret) or a result is wrong.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh

cmake -S . -B build/ctime -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DQUILLET_BUILD_CTIME=ON -DQUILLET_BUILD_TESTS=OFF -DQUILLET_BUILD_PYTHON=OFF >/dev/null
cmake --build build/ctime -j "$(nproc)" --target quillet_ctime
valgrind --tool=memcheck --error-exitcode=42 --track-origins=yes --num-callers=40 \
         --exit-on-first-error=no build/ctime/ctime/quillet_ctime
