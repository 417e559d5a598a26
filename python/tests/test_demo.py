"""The main job's demo runs from end to end on its embedded data."""

import json
import pathlib
import subprocess
import sys

import pytest

from samples import DOCUMENTS

DEMO_SCRIPT = pathlib.Path(__file__).resolve().parents[2] / "examples" / "demo.py"


@pytest.mark.parametrize("command", [["-m", "quillet", "demo"], [str(DEMO_SCRIPT)]],
                         ids=["quillet demo", "examples/demo.py"])
def test_demo_succeeds_and_every_check_passes(command):
    proc = subprocess.run([sys.executable, *command], capture_output=True, text=True,
                          timeout=300)
    assert proc.returncode == 0, proc.stderr
    assert proc.stderr == ""
    report = json.loads(proc.stdout)
    assert report["ok"] is True
    assert report["failed_signatures"] == 0
    assert all(report["checks"].values())
    assert [d["kind"] for d in report["documents"]] == list(DOCUMENTS)
    assert all(d["verifies"] for d in report["documents"])
