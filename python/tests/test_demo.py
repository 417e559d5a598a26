"""The main job's demo runs from end to end on its embedded data."""

import pathlib
import subprocess
import sys

DEMO = pathlib.Path(__file__).resolve().parents[2] / "examples" / "demo.py"


def test_demo_succeeds_and_every_signature_verifies():
    proc = subprocess.run([sys.executable, str(DEMO)], capture_output=True, text=True,
                          timeout=300)
    assert proc.returncode == 0, proc.stderr
    assert proc.stderr == ""
    assert "verifies    False" not in proc.stdout
    assert proc.stdout.rstrip().endswith("all signatures verify")
