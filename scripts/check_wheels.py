"""Checks the release that scripts/build_wheels.sh left in wheelhouse/, with
the wheel of `pip wheel .` in OUT/pip: the files the wheels hold, their
tags and sizes, and their metadata against pyproject.toml and CHANGELOG.md.
Prints one line per problem and exits 1 if there is any.

Run from the repository's root by scripts/ci_package.sh:

    python scripts/check_wheels.py OUT
"""

import email.parser
import pathlib
import re
import sys
import tarfile
import tomllib
import zipfile


def main() -> int:
    out = pathlib.Path(sys.argv[1])
    (sdist,) = pathlib.Path("wheelhouse").glob("*.tar.gz")
    (wheel,) = pathlib.Path("build/wheels/dist").glob("*_x86_64.whl")
    (pip_wheel,) = (out / "pip").glob("*.whl")
    (repaired,) = pathlib.Path("wheelhouse").glob("*_x86_64.whl")
    (arm64,) = pathlib.Path("wheelhouse").glob("*_aarch64.whl")
    names = sorted(zipfile.ZipFile(wheel).namelist())
    problems = []
    if names != sorted(zipfile.ZipFile(pip_wheel).namelist()):
        problems.append("the wheel from the sdist and the wheel of `pip wheel .` hold "
                        "different files")
    # Every file of the package's sources, and what the build adds.
    required = ["quillet_python_sdk.pyi", "quillet_python_sdk-stubs/__init__.pyi",
                "quillet/_version.py",
                *sorted(str(path.relative_to("python"))
                        for path in pathlib.Path("python/quillet").rglob("*")
                        if path.suffix in (".py", ".pyi") or path.name == "py.typed")]
    problems += [f"wheel lacks {n}" for n in required if n not in names]
    extensions = [n for n in names if n.endswith(".so")]
    # One extension file, of the stable ABI, serves quillet_python_sdk and
    # quillet._batch on every CPython from 3.12 on.
    if extensions != ["quillet_python_sdk.abi3.so"]:
        problems.append(f"wheel holds {extensions}, not the one extension file "
                        "quillet_python_sdk.abi3.so")
    if "quillet/_batch.py" not in names:
        problems.append("wheel lacks quillet/_batch.py, which loads quillet._batch")
    for n in extensions:
        # The one-shot digests of libcrypto go through EVP, which links (and
        # starts) the provider machinery and its configuration file.
        if b"OPENSSL_CONF" in zipfile.ZipFile(wheel).read(n):
            problems.append(f"{n} holds libcrypto's provider machinery: call the SHA256_* "
                            "functions")

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
    # About 0.85 MB of each is the extension file; the package's Python, the
    # signing service and its client included, about 0.15 MB.
    for w, limit in ((repaired, 1_050_000), (arm64, 1_150_000)):
        vendored = [n for n in zipfile.ZipFile(w).namelist() if ".libs/" in n]
        if vendored:
            problems.append(f"auditwheel vendored shared libraries into {w.name}: {vendored}")
        if w.stat().st_size > limit:
            problems.append(f"{w.name} takes {w.stat().st_size} bytes, more than {limit / 1e6} MB")
    # The aarch64 wheel holds the same files (its extension file built for aarch64).
    def built(path: pathlib.Path) -> list[str]:
        return [n for n in zipfile.ZipFile(path).namelist() if not n.endswith(("RECORD", "WHEEL"))]

    if built(arm64) != built(repaired):
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
    changelog = pathlib.Path("CHANGELOG.md").read_text()
    if not re.search(rf"^## {re.escape(version)}\b", changelog, re.M):
        problems.append(f"CHANGELOG.md has no entry for {version}")
    urls = dict(u.split(", ", 1) for u in meta.get_all("Project-URL") or [])
    if not urls:
        problems.append("metadata lacks project URLs")
    for label, url in urls.items():
        path = url.partition("/blob/main/")[2]
        if path and not pathlib.Path(path).is_file():
            problems.append(f"project URL {label} points to {path}, which the repository lacks")
    requires = meta["Requires-Python"]
    minimum = tuple(int(p) for p in re.fullmatch(r">=(\d+)\.(\d+)", requires).groups())
    pythons = [tuple(int(p) for p in c.rsplit(":: ", 1)[1].split("."))
               for c in meta.get_all("Classifier")
               if re.fullmatch(r"Programming Language :: Python :: 3\.\d+", c)]
    if minimum not in pythons or any(v < minimum for v in pythons):
        problems.append(f"Python classifiers {pythons} do not match Requires-Python {requires}")
    # The stable-ABI wheel's tag names the oldest CPython it loads in.
    if f"-cp{minimum[0]}{minimum[1]}-abi3-" not in repaired.name:
        problems.append(f"the wheel's tag {repaired.name} does not match Requires-Python "
                        f"{requires}")
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
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
