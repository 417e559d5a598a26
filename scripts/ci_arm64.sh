#!/usr/bin/env bash
# The aarch64 build under user-mode emulation (qemu-aarch64-static, called
# explicitly: binfmt_misc need not be there):
# - the C++ unit tests, cross-built in build/aarch64 (static libcrypto and
#   libb2, as in the wheel) and run by CTest through the toolchain file's
#   emulator;
# - the aarch64 wheel from wheelhouse/ (scripts/build_wheels.sh) installed
#   into Debian 13's arm64 CPython 3.13 (build/arm64/python), and the pytest
#   suite run from it, on a subset: see PYTEST_ARGS below;
# - the hashes and signatures of every document kind computed there are the
#   x86-64 ones, byte for byte (quillet demo, run by both).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh
bash scripts/arm64_sysroot.sh
source scripts/ccache.sh
source scripts/python313.sh
export PATH="$PWD/.venv/bin:$PATH"
jobs=$(nproc)

echo "ci_arm64: C++ unit tests under emulation"
CXX=aarch64-linux-gnu-g++ cmake -S . -B build/aarch64 -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake -DCMAKE_BUILD_TYPE=Release \
  -DQUILLET_BUILD_TESTS=ON -DQUILLET_BUILD_PYTHON=OFF -DQUILLET_STATIC_DEPS=ON >/dev/null
cmake --build build/aarch64 -j "$jobs"
# Left out: the one test that re-executes its own binary for a fresh process
# (a gtest "threadsafe" death test), which needs the kernel to hand an arm64
# executable to qemu by itself (binfmt_misc).
ctest --test-dir build/aarch64 --output-on-failure -j "$jobs" \
  -E '^PoseidonHasher\.ConcurrentFirstUseAgrees$'

echo "ci_arm64: the aarch64 wheel under CPython 3.13 for arm64"
root="$PWD/build/arm64/python"
site="$root/usr/local/lib/python3.13/dist-packages"
python_arm64="$root/usr/bin/python3-qemu"
# The test dependencies, as arm64 wheels (pip's cache keeps the downloads).
deps=("pytest>=8" "hypothesis>=6.100" "cryptography>=42")
if [ "$(cat "$site/.deps" 2>/dev/null)" != "${deps[*]}" ]; then
  rm -rf "$site"
  python -m pip install -q --disable-pip-version-check --no-compile --target "$site" --only-binary=:all: \
    --implementation cp --python-version 3.13 --platform manylinux_2_34_aarch64 \
    --platform manylinux_2_28_aarch64 --platform manylinux_2_17_aarch64 \
    --platform manylinux2014_aarch64 "${deps[@]}"
  echo "${deps[*]}" >"$site/.deps"
fi
wheel=$(ls wheelhouse/*_aarch64.whl)
rm -rf "$site"/quillet "$site"/quillet_python_sdk* "$site"/quillet_python_sdk-*.dist-info
# Unpacked as pip would install it (pip on this machine refuses a foreign
# platform's wheel); it holds no scripts or data outside the packages.
python -m zipfile -e "$wheel" "$site"

# Bytecode for all the emulated interpreter imports: its standard library
# (unpacked from Debian's packages, whose post-install step would have
# compiled it), the test dependencies and the wheel. Bytecode is the same on
# every architecture, so an x86-64 CPython 3.13 compiles it natively in
# seconds; otherwise the arm64 one does, once, before the interpreters below
# start. Left to each start under emulation, the first run on a machine spent
# minutes compiling pytest and hypothesis, twice at once.
python313=$(find_python313) || python313=$python_arm64
"$python313" -m compileall -q -j "$jobs" "$root/usr/lib/python3.13" "$site" >build/aarch64/compileall.log 2>&1 ||
  { cat build/aarch64/compileall.log; exit 1; }

"$python_arm64" -I -c 'import platform, quillet_python_sdk, quillet._batch
assert platform.machine() == "aarch64", platform.machine()
print("ci_arm64:", quillet_python_sdk.__file__)'
# Every document kind's hash and signature, as x86-64 computes them.
"$python_arm64" -I -m quillet demo >build/aarch64/demo.json
python -m quillet demo >build/aarch64/demo-x86_64.json
cmp build/aarch64/demo.json build/aarch64/demo-x86_64.json

# The subset, for time (the whole suite takes over 20 minutes under
# emulation, mostly in the tests that start interpreters, each some seconds
# here): the module's hash and signature tables for every document kind,
# keys, boundary and error cases, the typed API, the batch calls' equality
# with the single functions, and the command line's message signing (its
# document commands: quillet demo above). Left out: the rest of the batch and CLI tests, audit (dask and pyarrow are
# not installed here), the concurrency, reliability, lane and property tests,
# the keystore, the stub checks (mypy), and the timing assertions (a Ctrl-C
# answered within 10 s), which emulation makes too slow to mean anything.
# Two interpreters run halves of it at once: each is single-threaded, and
# the machine has two cores.
PYTEST_HALVES=("test_boundary.py test_cli.py::test_message_signing_and_verification"
               "test_hashes.py test_signatures.py test_keys.py test_safe_signing.py
                test_security_notes.py test_typed.py
                test_batch.py::test_results_equal_the_single_functions_on_random_documents
                test_batch.py::test_messages_and_verification_equal_the_single_functions
                test_batch.py::test_a_failing_document_raises_what_the_single_function_raises
                test_batch.py::test_the_first_failing_item_in_input_order_is_raised")
pids=()
for i in "${!PYTEST_HALVES[@]}"; do
  # shellcheck disable=SC2086  # the half's words are its arguments
  (cd python/tests && exec "$python_arm64" -m pytest -q -p no:cacheprovider --durations=3 \
     ${PYTEST_HALVES[$i]}) >"build/aarch64/pytest-$i.log" 2>&1 &
  pids+=($!)
done
failed=0
for i in "${!pids[@]}"; do
  wait "${pids[$i]}" || failed=1
  cat "build/aarch64/pytest-$i.log"
done
[ "$failed" = 0 ] || { echo "ci_arm64: the pytest subset failed under emulation" >&2; exit 1; }
