"""The README runs top to bottom, and a script against the typed API type-checks."""

import os
import pathlib
import re
import subprocess
import sys

import pytest

from quillet import PrivateKey

ROOT = pathlib.Path(__file__).resolve().parents[2]
# Sections whose blocks change the machine (system packages) rather than use the package.
NOT_RUN = {"Installing"}


def blocks(language):
    """The README's code blocks in `language`, in order, outside NOT_RUN."""
    found = []
    for section in re.split(r"^## ", (ROOT / "README.md").read_text(), flags=re.MULTILINE):
        if section.split("\n", 1)[0].strip() not in NOT_RUN:
            found += re.findall(rf"^```{language}\n(.*?)^```", section, re.MULTILINE | re.DOTALL)
    return found


def run(args, cwd, env=None, **kwargs):
    env = {**{k: v for k, v in os.environ.items()
              if k not in ("QUILLET_PRIVATE_KEY", "QUILLET_KEY_PASSPHRASE")}, **(env or {})}
    env["PATH"] = f"{pathlib.Path(sys.executable).parent}{os.pathsep}{env.get('PATH', '')}"
    return subprocess.run(args, cwd=cwd, env=env, capture_output=True, text=True, timeout=300,
                          **kwargs)


@pytest.mark.parametrize("language, command", [
    ("sh", ["bash", "-euo", "pipefail", "-s"]),
    ("python", [sys.executable, "-"]),
])
def test_readme_blocks_run_in_order_in_an_empty_directory(language, command, tmp_path):
    script = "\n".join(blocks(language))
    assert script.strip()
    proc = run(command, tmp_path, input=script)
    assert proc.returncode == 0, proc.stdout[-2000:] + proc.stderr[-2000:]
    if language == "sh":  # the verify lines found the signatures valid
        assert proc.stdout.count('{"valid": true}') == 6


@pytest.mark.parametrize("language, command", [
    ("sh", ["bash", "-euo", "pipefail", "-s"]),
    ("python", [sys.executable, "-"]),
])
def test_each_readme_block_runs_alone_in_a_fresh_process(language, command, tmp_path):
    for number, block in enumerate(blocks(language)):
        (tmp_path / str(number)).mkdir()
        proc = run(command, tmp_path / str(number), input=block)
        assert proc.returncode == 0, (number, block[:200], proc.stderr[-2000:])


def test_a_typed_script_passes_mypy_strict_and_runs(tmp_path):
    pytest.importorskip("mypy")
    bot = ROOT / "examples" / "trading_bot.py"
    checked = run([sys.executable, "-m", "mypy", "--strict", str(bot)], tmp_path)
    assert checked.returncode == 0, checked.stdout + checked.stderr
    # Its key comes from a keystore, the passphrase from the environment or a file.
    pytest.importorskip("cryptography")
    passphrase = "the bot's passphrase"
    (tmp_path / "bot.keystore").write_text(PrivateKey.generate().to_keystore(passphrase,
                                                                             kdf="pbkdf2"))
    (tmp_path / "passphrase").write_text(passphrase + "\n")
    for path in ("bot.keystore", "passphrase"):
        (tmp_path / path).chmod(0o600)
    for extra, env in [([], {"QUILLET_KEY_PASSPHRASE": passphrase}),
                       (["--passphrase-file", "passphrase"], {})]:
        ran = run([sys.executable, str(bot), "bot.keystore", *extra], tmp_path, env=env)
        assert ran.returncode == 0 and "signed 20 orders, 1 refused" in ran.stdout, ran.stderr
    ran = run([sys.executable, str(bot), "bot.keystore"], tmp_path,
              env={"QUILLET_KEY_PASSPHRASE": passphrase + "!"})
    assert ran.returncode == 2 and ran.stderr.endswith(
        "error: key file 'bot.keystore': wrong passphrase or damaged keystore\n"), ran.stderr
