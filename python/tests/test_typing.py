"""The module's stub describes the module as installed, and type checkers find it."""

import ast
import inspect
import json
import pathlib
import subprocess
import sys

import pytest

import quillet
import quillet_python_sdk as q
from samples import DOCUMENTS, text

SITE = pathlib.Path(q.__file__).parent
STUB = SITE / "quillet_python_sdk.pyi"
STUB_PACKAGE = SITE / "quillet_python_sdk-stubs" / "__init__.pyi"

SEED = "typing tests: a seed of thirty-two bytes or more"
KEY = q.private_key_from_seed(SEED)
PUB = json.loads(q.private_key_to_public_key_xy(KEY))
MSG = "0x5eed"
SIG = json.loads(q.sign(KEY, MSG))

# Arguments that make each function succeed.
ARGS = {
    "verify_signature": (SIG["r"], SIG["s"], PUB["x"], PUB["y"], MSG),
    **{f"sign_{kind}": (text(kind), KEY) for kind in DOCUMENTS},
    **{f"hash_{kind}": (text(kind),) for kind in DOCUMENTS},
    "sign": (KEY, MSG),
    "eth_sign": (KEY, MSG),
    "private_key_from_seed": (SEED,),
    "is_on_curve": (PUB["x"], PUB["y"]),
    "public_key_to_xy": (PUB["x"],),
    "private_key_to_public_key_xy": (KEY,),
}


def stub():
    """(__all__ of the stub, its functions by name in order of definition)."""
    tree = ast.parse(STUB.read_text())
    (names,) = [ast.literal_eval(node.value) for node in tree.body
                if isinstance(node, ast.Assign) and node.targets[0].id == "__all__"]
    functions = {node.name: node for node in tree.body if isinstance(node, ast.FunctionDef)}
    return names, functions


def test_type_information_is_installed():
    assert STUB.read_bytes() == STUB_PACKAGE.read_bytes()
    assert (pathlib.Path(quillet.__file__).parent / "py.typed").is_file()


def test_stub_names_are_the_module_names_in_order():
    names, functions = stub()
    assert names == q.__all__ == list(functions)


@pytest.mark.parametrize("name", q.__all__)
def test_stub_signature_matches_what_the_function_takes_and_returns(name):
    node = stub()[1][name]
    assert [a.arg for a in node.args.args] == list(inspect.signature(getattr(q, name)).parameters)
    assert {ast.unparse(a.annotation) for a in node.args.args} == {"str"}
    result = getattr(q, name)(*ARGS[name])
    assert ast.unparse(node.returns) == type(result).__name__


@pytest.mark.parametrize("command", [
    ["mypy.stubtest", "quillet_python_sdk"],
    ["mypy", "--strict", "-p", "quillet"],  # finds both through the installed type information
])
def test_mypy_accepts_the_installed_package(command, tmp_path):
    pytest.importorskip("mypy")
    # From an empty directory, so that only installed files are seen (and cached there).
    proc = subprocess.run([sys.executable, "-m", *command], cwd=tmp_path,
                          capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stdout + proc.stderr
