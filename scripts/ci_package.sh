#!/usr/bin/env bash
# Checks the package as users get it: builds an sdist, then a wheel from that
# sdist alone (a clean build of exactly the shipped sources), installs the
# wheel into a fresh virtual environment and runs the whole pytest suite
# there (module, CLI, stub with stubtest and mypy). Also checks that
# `pip wheel .` makes a wheel with the same files and that the metadata is
# complete.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh
out=build/package
rm -rf "$out"
mkdir -p "$out"
venv_python=.venv/bin/python

echo "ci_package: sdist, then a wheel built from it"
"$venv_python" -m build --no-isolation --outdir "$out/dist" . >"$out/build.log" 2>&1 ||
  { tail -n 40 "$out/build.log"; exit 1; }
echo "ci_package: pip wheel ."
"$venv_python" -m pip wheel -q --disable-pip-version-check --no-build-isolation --no-deps \
  -w "$out/pip" . >"$out/pip-wheel.log" 2>&1 ||
  { tail -n 40 "$out/pip-wheel.log"; exit 1; }

"$venv_python" - "$out" <<'EOF'
import email.parser, pathlib, sys, tarfile, zipfile

out = pathlib.Path(sys.argv[1])
(sdist,) = (out / "dist").glob("*.tar.gz")
(wheel,) = (out / "dist").glob("*.whl")
(pip_wheel,) = (out / "pip").glob("*.whl")
names = sorted(zipfile.ZipFile(wheel).namelist())
problems = []
if names != sorted(zipfile.ZipFile(pip_wheel).namelist()):
    problems.append("the wheel from the sdist and the wheel of `pip wheel .` hold different files")
required = ["quillet_python_sdk.pyi", "quillet_python_sdk-stubs/__init__.pyi",
            "quillet/__init__.py", "quillet/cli.py", "quillet/py.typed",
            "quillet/batch.py", "quillet/_batch.pyi", "quillet/audit/__init__.py"]
problems += [f"wheel lacks {n}" for n in required if n not in names]
if not any(n.startswith("quillet_python_sdk.cpython-") and n.endswith(".so") for n in names):
    problems.append("wheel lacks the extension module")
if not any(n.startswith("quillet/_batch.cpython-") and n.endswith(".so") for n in names):
    problems.append("wheel lacks the batch extension module quillet._batch")
dist_info = next(n.split("/")[0] for n in names if n.endswith(".dist-info/METADATA"))
meta = email.parser.Parser().parsestr(
    zipfile.ZipFile(wheel).read(f"{dist_info}/METADATA").decode())
for field in ("Name", "Version", "Summary", "License-Expression", "Requires-Python"):
    if not meta.get(field):
        problems.append(f"metadata lacks {field}")
if "quillet = quillet.cli:main" not in zipfile.ZipFile(wheel).read(
        f"{dist_info}/entry_points.txt").decode():
    problems.append("wheel lacks the quillet console script")
members = tarfile.open(sdist).getnames()
if any("/build/" in m or "/.venv/" in m for m in members):
    problems.append("sdist holds build outputs")
for p in problems:
    print("ci_package:", p, file=sys.stderr)
print(f"ci_package: {sdist.name} ({len(members)} files), {wheel.name} ({len(names)} files)")
sys.exit(1 if problems else 0)
EOF

echo "ci_package: fresh virtual environment"
base_python=$("$venv_python" -c 'import sys; print(sys._base_executable)')
"$base_python" -m venv "$out/venv"
"$out/venv/bin/python" -m pip install -q --disable-pip-version-check "$out"/dist/*.whl pytest mypy hypothesis
# From the repository root: python/tests is on the path, the sources are not.
"$out/venv/bin/python" -m pytest python/tests -q -p no:cacheprovider
