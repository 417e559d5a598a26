#!/usr/bin/env bash
# Checks the package as users get it, from the release that
# scripts/build_wheels.sh left in wheelhouse/ (run it first):
# - the sdist, and the wheels built from it alone with libcrypto and libb2
#   linked statically: auditwheel called them manylinux with nothing to
#   vendor, twine accepted the metadata, and each holds one extension file,
#   quillet_python_sdk.abi3.so, exporting only its two module initialisers
#   and calling only CPython 3.12's stable ABI (abi3audit), in at most 1.05 MB
#   (aarch64, whose code compresses less: 1.15 MB), tagged cp312-abi3;
#   `pip wheel .` must make a wheel with the same files;
# - the repaired x86-64 wheel (the aarch64 one: scripts/ci_arm64.sh) in a
#   fresh virtual environment of CPython 3.12, then
#   of 3.13 (from pyenv; in CI its absence fails): its extension file loads
#   no libcrypto, libb2 or libgomp (ldd, and /proc/self/maps of a running
#   import), both module names come from it, then `quillet demo` (3.12) and
#   the whole pytest suite (module, CLI, stub with stubtest and mypy) run
#   from each install, the two interpreters at once;
# - a source build on a machine without the compiler and the libraries stops
#   with one message naming the packages to install.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh
source scripts/ccache.sh
source scripts/python313.sh
out=build/package
rm -rf "$out"
mkdir -p "$out"
venv_python=.venv/bin/python
tools=.venv/bin
export PATH="$PWD/.venv/bin:$PATH"
if ! ls wheelhouse/*.tar.gz wheelhouse/*_x86_64.whl wheelhouse/*_aarch64.whl \
     build/wheels/dist/*_x86_64.whl >/dev/null 2>&1; then
  echo "ci_package: no release in wheelhouse/: run scripts/build_wheels.sh first" >&2
  exit 1
fi

echo "ci_package: pip wheel ."
"$venv_python" -m pip wheel -q --disable-pip-version-check --no-build-isolation --no-deps \
  -w "$out/pip" . >"$out/pip-wheel.log" 2>&1 ||
  { tail -n 40 "$out/pip-wheel.log"; exit 1; }

# Every interpreter symbol the extension file uses is in the stable ABI of
# the version its tag names.
"$tools/abi3audit" --strict --summary wheelhouse/*.whl >"$out/abi3audit.txt" 2>&1 ||
  { cat "$out/abi3audit.txt"; echo "ci_package: the extension file leaves the stable ABI" >&2; exit 1; }

"$venv_python" scripts/check_wheels.py "$out"

# The one wheel serves every CPython from 3.12 on: it is tested on 3.12 (the
# interpreter of .venv) and on 3.13.

wheel=$(ls wheelhouse/*_x86_64.whl)
# A fresh virtual environment $1 of interpreter $2 with the repaired wheel,
# its keystore and signer extras (as its metadata names them: the keystore
# and signing service tests run too) and the test tools.
fresh_venv() {
  echo "ci_package: fresh virtual environment of CPython $("$2" -c 'import platform; print(platform.python_version())')"
  "$2" -m venv "$1"
  "$1/bin/python" -m pip install -q --disable-pip-version-check "$wheel[keystore,signer]" pytest mypy hypothesis
}

# Both module names come from the fresh install in virtual environment $1,
# and the running import maps no libcrypto, libb2 or libgomp. -I keeps the
# sources of the working tree off the path; nothing else imported here loads
# a libcrypto of its own (the check fails if something does: _hashlib, _ssl).
check_import() {
  "$1/bin/python" -I scripts/check_install.py "$1"
}

base_python=$("$venv_python" -c 'import sys; print(sys._base_executable)')
fresh_venv "$out/venv" "$base_python"
site=$("$out/venv/bin/python" -c 'import sysconfig; print(sysconfig.get_path("platlib"))')

# The extension file finds no system libcrypto, libb2 or libgomp among its
# dependencies.
echo "ci_package: libraries and symbols of the installed extension file"
so="$site/quillet_python_sdk.abi3.so"
ldd "$so" | tee "$out/ldd.txt"
if grep -E 'libcrypto|libb2|libgomp|not found' "$out/ldd.txt"; then
  echo "ci_package: ${so#"$site"/} depends on the libraries above" >&2
  exit 1
fi
# The linked-in libraries and the core stay private: another libcrypto in
# the process can neither interpose on them nor bind to them.
exported=$(nm -D --defined-only "$so" | awk '{print $3}' | sort | tr '\n' ' ')
if [ "$exported" != "PyInit__batch PyInit_quillet_python_sdk " ]; then
  echo "ci_package: ${so#"$site"/} exports $exported" >&2
  exit 1
fi
check_import "$out/venv"
du -sk "$site"/quillet_python_sdk* "$site"/quillet | awk '{s += $1} END {print "ci_package: installed size " s " KiB"}'

echo "ci_package: quillet demo, from the fresh install"
"$out/venv/bin/quillet" demo >"$out/demo.json" || { cat "$out/demo.json"; exit 1; }

suites=("$out/venv")
if python313=$(find_python313); then
  fresh_venv "$out/venv-3.13" "$python313"
  check_import "$out/venv-3.13"
  suites+=("$out/venv-3.13")
elif [ "${CI:-}" = true ]; then
  echo "ci_package: CPython 3.13 not found (on PATH or under pyenv's versions): CI tests the wheel on it" >&2
  exit 1
else
  echo "ci_package: CPython 3.13 not found (on PATH or under pyenv's versions): its tests skipped"
fi

# The whole suite from each fresh install, the interpreters side by side:
# most of a run is one busy thread (the interpreter, a server it started)
# and the machine has two cores. From the repository root: python/tests is
# on the path, the sources are not. Each run's output is printed whole when
# both have ended.
echo "ci_package: the tests, from the fresh installs (${#suites[@]} interpreters at once)"
pids=()
for venv in "${suites[@]}"; do
  "$venv/bin/python" -m pytest python/tests -q -p no:cacheprovider >"$venv.pytest.log" 2>&1 &
  pids+=($!)
done
failed=0
for i in "${!pids[@]}"; do
  status=0
  wait "${pids[$i]}" || status=$?
  echo "ci_package: pytest on $("${suites[$i]}/bin/python" -c 'import platform; print(platform.python_version())'):"
  cat "${suites[$i]}.pytest.log"
  [ "$status" = 0 ] || failed=1
done
[ "$failed" = 0 ] || { echo "ci_package: the tests failed (above)" >&2; exit 1; }

echo "ci_package: a source build without the compiler and the libraries"
# Hidden from the configure step: the compiler (CXX), libb2 (pkg-config),
# OpenSSL, and RapidJSON's headers.
if CXX=/nonexistent/c++ PKG_CONFIG_LIBDIR=/nonexistent "$tools/cmake" -S . -B "$out/bare" \
     -DQUILLET_BUILD_PYTHON=OFF -DCMAKE_DISABLE_FIND_PACKAGE_OpenSSL=ON \
     -DCMAKE_IGNORE_PATH=/usr/include >"$out/bare.log" 2>&1; then
  echo "ci_package: configuring without the compiler and the libraries succeeded" >&2
  exit 1
fi
for want in "apt-get install g++ libssl-dev libb2-dev rapidjson-dev" \
            "dnf install gcc-c++ openssl-devel libb2-devel rapidjson-devel"; do
  grep -q "$want" "$out/bare.log" || { cat "$out/bare.log"; echo "ci_package: no \"$want\" in the message" >&2; exit 1; }
done
grep -c "CMake Error" "$out/bare.log" | grep -qx 1 || { cat "$out/bare.log"; echo "ci_package: more than one error" >&2; exit 1; }
echo "ci_package: passed"
