#!/usr/bin/env bash
# Checks the package as users get it, from the release that
# scripts/build_wheels.sh left in wheelhouse/ (run it first):
# - the sdist, and the wheels built from it alone with libcrypto and libb2
#   linked statically: auditwheel called them manylinux with nothing to
#   vendor, twine accepted the metadata, and each holds one extension file,
#   quillet_python_sdk.abi3.so, exporting only its two module initialisers
#   and calling only CPython 3.12's stable ABI (abi3audit), in at most 0.9 MB
#   (aarch64, whose code compresses less: 1.1 MB), tagged cp312-abi3;
#   `pip wheel .` must make a wheel with the same files;
# - the repaired x86-64 wheel (the aarch64 one: scripts/ci_arm64.sh) in a
#   fresh virtual environment of CPython 3.12, then
#   of 3.13 (from pyenv; in CI its absence fails): its extension file loads
#   no libcrypto, libb2 or libgomp (ldd, and /proc/self/maps of a running
#   import), both module names come from it, then `quillet demo` (3.12) and
#   the whole pytest suite (module, CLI, stub with stubtest and mypy) run
#   from that install;
# - a source build on a machine without the compiler and the libraries stops
#   with one message naming the packages to install.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh
source scripts/ccache.sh
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

"$venv_python" - "$out" <<'EOF'
import email.parser, pathlib, re, sys, tarfile, tomllib, zipfile

out = pathlib.Path(sys.argv[1])
(sdist,) = pathlib.Path("wheelhouse").glob("*.tar.gz")
(wheel,) = pathlib.Path("build/wheels/dist").glob("*_x86_64.whl")
(pip_wheel,) = (out / "pip").glob("*.whl")
(repaired,) = pathlib.Path("wheelhouse").glob("*_x86_64.whl")
(arm64,) = pathlib.Path("wheelhouse").glob("*_aarch64.whl")
names = sorted(zipfile.ZipFile(wheel).namelist())
problems = []
if names != sorted(zipfile.ZipFile(pip_wheel).namelist()):
    problems.append("the wheel from the sdist and the wheel of `pip wheel .` hold different files")
required = ["quillet_python_sdk.pyi", "quillet_python_sdk-stubs/__init__.pyi",
            "quillet/__init__.py", "quillet/py.typed",
            *(f"quillet/cli/{m}.py" for m in ("__init__", "common", "keys", "documents",
                                              "messages", "checks", "tools", "parser")),
            "quillet/batch.py", "quillet/_batch.pyi", "quillet/_version.py",
            "quillet/audit/__init__.py", "quillet/keystore.py", "quillet/signer.py",
            "quillet/cli/signer.py",
            *(f"quillet/service/{m}.py" for m in ("__init__", "config", "tokens", "policy",
                                                  "storage", "app", "protocol", "observe",
                                                  "server", "postgres"))]
# The signing service's client, and batch signing through any signer.
required += ["quillet/remote.py", "quillet/_signer_batch.py"]
problems += [f"wheel lacks {n}" for n in required if n not in names]
extensions = [n for n in names if n.endswith(".so")]
# One extension file, of the stable ABI, serves quillet_python_sdk and
# quillet._batch on every CPython from 3.12 on.
if extensions != ["quillet_python_sdk.abi3.so"]:
    problems.append(f"wheel holds {extensions}, not the one extension file quillet_python_sdk.abi3.so")
if "quillet/_batch.py" not in names:
    problems.append("wheel lacks quillet/_batch.py, which loads quillet._batch")
for n in extensions:
    # The one-shot digests of libcrypto go through EVP, which links (and
    # starts) the provider machinery and its configuration file.
    if b"OPENSSL_CONF" in zipfile.ZipFile(wheel).read(n):
        problems.append(f"{n} holds libcrypto's provider machinery: call the SHA256_* functions")

# The repaired wheel: one wheel for CPython 3.12 and later, a manylinux tag,
# and nothing vendored.
for w in (repaired, arm64):
    if "-cp312-abi3-manylinux_2_34_" not in w.name:
        problems.append(f"{w.name} is not tagged cp312-abi3-manylinux_2_34")
if "-manylinux_" not in repaired.name:
    problems.append(f"auditwheel did not grant a manylinux tag: {repaired.name}")
# The README promises this tag: a newer symbol (glibc, libstdc++) would lose
# the systems it names.
elif "-manylinux_2_34_" not in repaired.name:
    problems.append(f"the wheel needs a newer system than manylinux_2_34: {repaired.name} "
                    f"(see build/wheels/auditwheel-show.txt for the symbol versions)")
# aarch64's fixed-width instructions compress less: the same code takes more.
for w, limit in ((repaired, 900_000), (arm64, 1_100_000)):
    vendored = [n for n in zipfile.ZipFile(w).namelist() if ".libs/" in n]
    if vendored:
        problems.append(f"auditwheel vendored shared libraries into {w.name}: {vendored}")
    if w.stat().st_size > limit:
        problems.append(f"{w.name} takes {w.stat().st_size} bytes, more than {limit / 1e6} MB")
# The aarch64 wheel holds the same files (its extension file built for aarch64).
if [n for n in zipfile.ZipFile(arm64).namelist() if not n.endswith(("RECORD", "WHEEL"))] != \
        [n for n in zipfile.ZipFile(repaired).namelist() if not n.endswith(("RECORD", "WHEEL"))]:
    problems.append(f"{arm64.name} and {repaired.name} hold different files")

# Metadata: what pyproject.toml says is what the wheel carries, with one
# version, a changelog entry for it and URLs into the repository's documents.
project = tomllib.loads(pathlib.Path("pyproject.toml").read_text())["project"]
dist_info = next(n.split("/")[0] for n in names if n.endswith(".dist-info/METADATA"))
meta = email.parser.Parser().parsestr(
    zipfile.ZipFile(wheel).read(f"{dist_info}/METADATA").decode())
for field in ("Name", "Version", "Summary", "License-Expression", "Requires-Python", "Author"):
    if not meta.get(field):
        problems.append(f"metadata lacks {field}")
version = project["version"]
if meta["Version"] != version:
    problems.append(f"wheel version {meta['Version']} is not pyproject's {version}")
if not re.search(rf"^## {re.escape(version)}\b", pathlib.Path("CHANGELOG.md").read_text(), re.M):
    problems.append(f"CHANGELOG.md has no entry for {version}")
urls = dict(u.split(", ", 1) for u in meta.get_all("Project-URL") or [])
if not urls:
    problems.append("metadata lacks project URLs")
for label, url in urls.items():
    path = url.partition("/blob/main/")[2]
    if path and not pathlib.Path(path).is_file():
        problems.append(f"project URL {label} points to {path}, which the repository lacks")
minimum = tuple(int(p) for p in re.fullmatch(r">=(\d+)\.(\d+)", meta["Requires-Python"]).groups())
pythons = [tuple(int(p) for p in c.rsplit(":: ", 1)[1].split("."))
           for c in meta.get_all("Classifier") if re.fullmatch(r"Programming Language :: Python :: 3\.\d+", c)]
if minimum not in pythons or any(v < minimum for v in pythons):
    problems.append(f"Python classifiers {pythons} do not match Requires-Python {meta['Requires-Python']}")
# The stable-ABI wheel's tag names the oldest CPython it loads in.
if f"-cp{minimum[0]}{minimum[1]}-abi3-" not in repaired.name:
    problems.append(f"the wheel's tag {repaired.name} does not match Requires-Python {meta['Requires-Python']}")
if "quillet = quillet.cli:main" not in zipfile.ZipFile(wheel).read(
        f"{dist_info}/entry_points.txt").decode():
    problems.append("wheel lacks the quillet console script")
members = tarfile.open(sdist).getnames()
if any("/build/" in m or "/.venv/" in m for m in members):
    problems.append("sdist holds build outputs")
for p in problems:
    print("ci_package:", p, file=sys.stderr)
print(f"ci_package: {sdist.name} ({len(members)} files), {repaired.name} "
      f"({len(names)} files, {repaired.stat().st_size // 1024} KiB), {arm64.name} "
      f"({arm64.stat().st_size // 1024} KiB)")
sys.exit(1 if problems else 0)
EOF

# The one wheel serves every CPython from 3.12 on: it is tested on 3.12 (the
# interpreter of .venv) and on 3.13.
find_python313() {
  if command -v python3.13 >/dev/null 2>&1 && python3.13 -c 'import venv' 2>/dev/null; then
    command -v python3.13
    return
  fi
  local root candidate
  root=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
  for candidate in "$root"/versions/3.13*/bin/python3.13; do
    [ -x "$candidate" ] && { echo "$candidate"; return; }
  done
  return 1
}

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
  "$1/bin/python" -I - "$1" <<'EOF'
import os, sys
import quillet_python_sdk as sdk
from quillet import _batch

venv = os.path.realpath(sys.argv[1])
if not os.path.realpath(sdk.__file__).startswith(venv + os.sep):
    sys.exit(f"ci_package: quillet_python_sdk imported from {sdk.__file__}, not the fresh install")
if _batch.__file__ != sdk.__file__:
    sys.exit(f"ci_package: quillet._batch comes from {_batch.__file__}, not {sdk.__file__}")
key = sdk.private_key_from_seed("ci_package: a seed long enough to derive a key from")
assert sdk.sign(key, "0x0a1b2c")
with open("/proc/self/maps") as maps:
    mapped = sorted({line.split()[-1] for line in maps if ".so" in line.rsplit("/", 1)[-1]})
print("ci_package: shared objects mapped after import and a signature:")
print("\n".join("  " + m for m in mapped))
foreign = [m for m in mapped if any(n in os.path.basename(m) for n in ("libcrypto", "libb2", "libgomp"))]
if foreign:
    sys.exit(f"ci_package: the running import mapped {foreign}")
EOF
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

echo "ci_package: quillet demo and the tests, from the fresh install"
"$out/venv/bin/quillet" demo >"$out/demo.json" || { cat "$out/demo.json"; exit 1; }
# From the repository root: python/tests is on the path, the sources are not.
"$out/venv/bin/python" -m pytest python/tests -q -p no:cacheprovider

if python313=$(find_python313); then
  fresh_venv "$out/venv-3.13" "$python313"
  check_import "$out/venv-3.13"
  echo "ci_package: the tests, from the fresh install on CPython 3.13"
  "$out/venv-3.13/bin/python" -m pytest python/tests -q -p no:cacheprovider
elif [ "${CI:-}" = true ]; then
  echo "ci_package: CPython 3.13 not found (on PATH or under pyenv's versions): CI tests the wheel on it" >&2
  exit 1
else
  echo "ci_package: CPython 3.13 not found (on PATH or under pyenv's versions): its tests skipped"
fi

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
