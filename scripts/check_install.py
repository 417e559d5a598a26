"""Checks a fresh install of the wheel in virtual environment VENV: both
module names come from its one extension file, a signature works, and the
running import maps no libcrypto, libb2 or libgomp. Exits with a message
naming what is wrong.

Run by scripts/ci_package.sh with the environment's interpreter, isolated
(-I), so that the sources of the working tree are not on the path; nothing
else imported here loads a libcrypto of its own (the check fails if
something does: _hashlib, _ssl):

    VENV/bin/python -I scripts/check_install.py VENV
"""

import os
import sys

import quillet_python_sdk as sdk
from quillet import _batch


def main() -> None:
    venv = os.path.realpath(sys.argv[1])
    if not os.path.realpath(sdk.__file__).startswith(venv + os.sep):
        sys.exit(f"ci_package: quillet_python_sdk imported from {sdk.__file__}, "
                 "not the fresh install")
    if _batch.__file__ != sdk.__file__:
        sys.exit(f"ci_package: quillet._batch comes from {_batch.__file__}, not {sdk.__file__}")
    key = sdk.private_key_from_seed("ci_package: a seed long enough to derive a key from")
    assert sdk.sign(key, "0x0a1b2c")
    with open("/proc/self/maps") as maps:
        mapped = sorted({line.split()[-1] for line in maps if ".so" in line.rsplit("/", 1)[-1]})
    print("ci_package: shared objects mapped after import and a signature:")
    print("\n".join("  " + m for m in mapped))
    foreign = [m for m in mapped
               if any(n in os.path.basename(m) for n in ("libcrypto", "libb2", "libgomp"))]
    if foreign:
        sys.exit(f"ci_package: the running import mapped {foreign}")


if __name__ == "__main__":
    main()
