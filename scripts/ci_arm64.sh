#!/usr/bin/env bash
# The aarch64 build under user-mode emulation (qemu-aarch64-static, called
# explicitly: binfmt_misc need not be there):
# - the C++ unit tests, cross-built in build/aarch64 (static libcrypto and
#   libb2, as in the wheel) and run by CTest through the toolchain file's
#   emulator;
# - the aarch64 wheel from wheelhouse/ (scripts/build_wheels.sh) installed
#   into Debian 13's arm64 CPython 3.13 (build/arm64/python), and the pytest
#   suite run from it, on a subset: see PYTEST_FILES below;
# - the hashes and signatures of every document kind computed there are the
#   x86-64 ones, byte for byte (quillet demo, run by both).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh
bash scripts/arm64_sysroot.sh
source scripts/ccache.sh
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
  python -m pip install -q --disable-pip-version-check --target "$site" --only-binary=:all: \
    --implementation cp --python-version 3.13 --platform manylinux_2_34_aarch64 \
    --platform manylinux_2_28_aarch64 --platform manylinux_2_17_aarch64 \
    --platform manylinux2014_aarch64 "${deps[@]}"
  echo "${deps[*]}" >"$site/.deps"
fi
wheel=$(ls wheelhouse/*_aarch64.whl)
rm -rf "$site"/quillet "$site"/quillet_python_sdk* "$site"/quillet_python_sdk-*.dist-info
python -m pip install -q --disable-pip-version-check --no-deps --target "$site.new" "$wheel"
cp -r "$site.new"/. "$site"/ && rm -rf "$site.new"

"$python_arm64" -I -c 'import platform, quillet_python_sdk, quillet._batch
assert platform.machine() == "aarch64", platform.machine()
print("ci_arm64:", quillet_python_sdk.__file__)'
# Every document kind's hash and signature, as x86-64 computes them.
"$python_arm64" -I -m quillet demo >build/aarch64/demo.json
python -m quillet demo >build/aarch64/demo-x86_64.json
cmp build/aarch64/demo.json build/aarch64/demo-x86_64.json

# The subset: the module's hash and signature tables for every document kind,
# keys, boundary and error cases, batch equality with single calls, the typed
# API and the command line. Left out for time (each spawns many emulated
# interpreters or runs long loops, all through the same code checked here):
# audit (dask and pyarrow are not installed here), the concurrency,
# reliability and lane-spread stress tests, the property tests, the
# keystore's terminal tests, and the stub checks (mypy).
PYTEST_FILES=(test_hashes.py test_signatures.py test_keys.py test_boundary.py
              test_safe_signing.py test_security_notes.py test_batch.py
              test_typed.py test_typed_batch.py test_cli.py test_demo.py)
(cd python/tests && "$python_arm64" -m pytest -q -p no:cacheprovider \
   "${PYTEST_FILES[@]}")
