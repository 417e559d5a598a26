"""The `quillet` command, run as a separate process like a user would."""

import argparse
import json
import os
import pathlib
import subprocess
import sys
import traceback
from importlib import metadata

import pytest

import quillet_python_sdk as q
from quillet.cli.common import Failure, Inputs
from quillet.cli.keys import private_key
from samples import DOCUMENTS, named, text

SEED = "command line tests: a seed of more than thirty-two bytes"
KEY = q.private_key_from_seed(SEED)
PUBLIC = json.loads(q.private_key_to_public_key_xy(KEY))
KEY_ABOVE_ORDER = "0x" + "f" * 62 + "00"  # parses as hex, refused as a field element
MSG = "0x1234abcd"
ORDER = 2736030358979909402780800718157159386076813972158567259200215660948447373041
# s = 1 and R the base point: s·B = R + h·A for every message when A is the
# neutral point (packed 0x1), the public key of private key 0.
FORGED = json.dumps({"r": json.loads(q.private_key_to_public_key_xy("0x" + "0" * 63 + "1"))["x"],
                     "s": "0x1"})
DOCUMENT_LIMIT = 1 << 20

COMMANDS = ["keygen", "key", "pubkey", "on-curve", "hash", "sign", "sign-message", "eth-sign",
            "verify", "demo", "bench", "audit"]


def quillet(*args, stdin="", key=None, cwd=None):
    """Runs `python -m quillet ARGS`; `key` goes in the environment variable."""
    if isinstance(stdin, str):
        stdin = stdin.encode()
    env = {k: v for k, v in os.environ.items() if k != "QUILLET_PRIVATE_KEY"}
    if key is not None:
        env["QUILLET_PRIVATE_KEY"] = key
    return subprocess.run([sys.executable, "-m", "quillet", *args], input=stdin,
                          capture_output=True, env=env, cwd=cwd, timeout=120)


def ok_json(proc):
    assert proc.returncode == 0, proc.stderr
    assert proc.stderr == b""
    return json.loads(proc.stdout)


def failure_line(proc, status=2):
    """The one stderr line of a failed run (nothing on stdout)."""
    assert proc.returncode == status
    assert proc.stdout == b""
    lines = proc.stderr.decode().splitlines()
    assert len(lines) == 1, lines
    assert lines[0].startswith("quillet")
    return lines[0]


@pytest.fixture
def files(tmp_path):
    """Paths of a key file, a keygen JSON key file, a seed file and one document per kind."""
    paths = {"key": tmp_path / "key.txt", "key_json": tmp_path / "key.json",
             "seed": tmp_path / "seed.txt"}
    paths["key"].write_text(KEY + "\n")
    paths["key_json"].write_text(json.dumps({"private_key": KEY}))
    for name in ("key", "key_json"):
        paths[name].chmod(0o600)  # else every command warns that others may read it
    paths["seed"].write_text(SEED + "\n")
    for kind in DOCUMENTS:
        paths[kind] = tmp_path / f"{kind}.json"
        paths[kind].write_text(named(kind, PUBLIC["x"]))
    return {name: str(path) for name, path in paths.items()}


@pytest.mark.parametrize("command", [[]] + [[c] for c in COMMANDS])
def test_every_command_has_help(command):
    proc = quillet(*command, "--help")
    assert proc.returncode == 0
    assert proc.stdout.startswith(b"usage: quillet")


def test_version_is_the_distribution_version():
    proc = quillet("--version")
    assert proc.stdout.decode().strip() == f"quillet {metadata.version('quillet_python_sdk')}"


def test_console_script_is_installed_beside_the_interpreter():
    script = pathlib.Path(sys.executable).parent / "quillet"
    proc = subprocess.run([str(script), "hash", "transfer"], input=text("transfer").encode(),
                          capture_output=True, timeout=120)
    assert ok_json(proc) == {"hash": q.hash_transfer(text("transfer"))}


def test_keygen_reads_the_seed_from_a_file_or_stdin(files):
    expected = {"private_key": KEY}
    assert ok_json(quillet("keygen", files["seed"])) == expected
    assert ok_json(quillet("keygen", stdin=SEED)) == expected
    assert ok_json(quillet("keygen", "-", stdin=SEED + "\n")) == expected
    # Only one newline is dropped: the seed is otherwise used unchanged.
    assert ok_json(quillet("keygen", stdin=SEED + "\n\n")) == {
        "private_key": q.private_key_from_seed(SEED + "\n")}


def test_pubkey_from_every_key_source(files):
    assert ok_json(quillet("pubkey", "--key-file", files["key"])) == PUBLIC
    assert ok_json(quillet("pubkey", "--key-file", files["key_json"])) == PUBLIC
    assert ok_json(quillet("pubkey", "--key-file", "-", stdin=KEY)) == PUBLIC
    assert ok_json(quillet("pubkey", key=KEY)) == PUBLIC
    # The file wins over the environment.
    assert ok_json(quillet("pubkey", "--key-file", files["key"], key="0x1")) == PUBLIC
    assert ok_json(quillet("pubkey", "--packed", PUBLIC["x"])) == PUBLIC


def test_on_curve_answers_by_exit_status():
    assert ok_json(quillet("on-curve", PUBLIC["x"], PUBLIC["y"])) == {"on_curve": True}
    proc = quillet("on-curve", PUBLIC["x"], PUBLIC["y"].upper())
    assert (proc.returncode, json.loads(proc.stdout)) == (1, {"on_curve": False})


@pytest.mark.parametrize("kind", DOCUMENTS)
def test_hash_and_sign_each_kind_as_the_module_does(kind, files):
    hash_fn = getattr(q, f"hash_{kind}")
    sign_fn = getattr(q, f"sign_{kind}")
    expected_hash = {"hash": hash_fn(text(kind))}
    assert ok_json(quillet("hash", kind, files[kind])) == expected_hash
    assert ok_json(quillet("hash", kind.replace("_", "-"), stdin=text(kind))) == expected_hash
    proc = quillet("sign", kind, files[kind], "--key-file", files["key"])
    assert proc.stdout.decode() == sign_fn(named(kind, PUBLIC["x"]), KEY) + "\n"
    assert "not this key" in failure_line(quillet("sign", kind, stdin=text(kind), key=KEY))
    # The module reads "" as key 0; the reading refuses it before any key is looked at.
    assert "'' is not valid" in failure_line(quillet("sign", kind, stdin=named(kind, ""), key=KEY))
    signature = ok_json(proc)
    verdict = quillet("verify", "--kind", kind, json.dumps(signature), PUBLIC["x"], files[kind])
    assert ok_json(verdict) == {"valid": True}


def test_message_signing_and_verification(tmp_path):
    proc = quillet("sign-message", MSG, key=KEY)
    assert proc.stdout.decode() == q.sign(KEY, MSG) + "\n"
    sig_file = tmp_path / "sig.json"
    sig_file.write_bytes(proc.stdout)
    pub = json.dumps(PUBLIC)
    assert ok_json(quillet("verify", f"@{sig_file}", pub, MSG)) == {"valid": True}
    assert ok_json(quillet("verify", "@-", pub, MSG, stdin=proc.stdout.decode())) == {"valid": True}
    wrong = quillet("verify", f"@{sig_file}", pub, "0x1234abce")
    assert (wrong.returncode, json.loads(wrong.stdout), wrong.stderr) == (1, {"valid": False}, b"")

    proc = quillet("eth-sign", MSG, key=KEY)
    assert proc.stdout.decode() == q.eth_sign(KEY, MSG) + "\n"


def test_bench_times_the_chosen_functions():
    timings = ok_json(quillet("bench", "--rounds", "1", "--min-time", "0.0001",
                              "sign", "hash_transfer"))
    assert list(timings) == ["hash_transfer", "sign"]  # the benchmark's own order
    assert all(t["median_us"] > 0 and t["ops_per_s"] > 0 for t in timings.values())
    proc = quillet("bench", "--rounds", "1", "--min-time", "0.0001", "--table", "is_on_curve")
    assert proc.returncode == 0
    assert proc.stdout.decode().splitlines()[0].split()[:2] == ["function", "median"]


def test_bench_batch_compares_the_batch_functions_with_a_loop():
    rows = ok_json(quillet("bench", "--batch", "--batch-size", "3", "--rounds", "1",
                           "--min-time", "0.0001"))
    assert list(rows) == ["loop over sign_limit_order", "sign_many threads=1",
                          "sign_many threads=2", "loop over hash_limit_order",
                          "hash_many threads=1", "hash_many threads=2"]
    assert rows["loop over sign_limit_order"]["ratio"] == 1
    assert all(r["items_per_s"] > 0 and r["ratio_min"] <= r["ratio"] <= r["ratio_max"]
               for r in rows.values())


FAILURES = [
    # (arguments, stdin, environment key, text the stderr line must hold)
    (["keygen"], "s" * 31, None, "seed is too short"),
    (["hash", "transfer"], "{}", None, "the document is refused: sender_position_id: missing"),
    (["hash", "withdraw", "--raw"], "{}", None, "Couldn't get hash: missing field `position_id`"),
    (["hash", "transfer", "/no/such/file"], "", None, "cannot read the document"),
    (["hash", "transfer"], b"{\xff}", None, "not UTF-8 text (byte 1)"),
    (["hash", "swap"], "", None, "invalid choice: 'swap'"),
    (["hash", "transfer", "--ndjson"], b"{}\n{\xff}\n", None,
     "line 2 of the NDJSON input is not UTF-8 text (byte 1)"),
    (["sign", "transfer", "--ndjson"], " " * (DOCUMENT_LIMIT + 1), KEY,
     "line 1 of the NDJSON input is longer than 1048576 bytes"),
    (["sign", "transfer"], text("transfer"), None, "no private key"),
    (["sign", "withdraw"], text("withdraw"), KEY_ABOVE_ORDER,
     "$QUILLET_PRIVATE_KEY: not a private key: its value is out of range"),
    (["sign", "transfer", "-", "--key-file", "-"], text("transfer"), None,
     "standard input already holds the document"),
    (["sign-message", "0X1"], "", KEY, "'0X1' is not \"0x\" and up to 64 hex digits"),
    (["sign-message", "0x"], "", KEY, "'0x' is not \"0x\" and up to 64 hex digits"),
    (["sign-message", hex(ORDER)], "", KEY, "is message 0 (modulo the group order)"),
    (["eth-sign", "0X0"], "", KEY, "'0X0' is not \"0x\" and up to 64 hex digits"),
    (["eth-sign", "0x00"], "", KEY, "'0x00' is message 0 (modulo the group order)"),
    (["pubkey"], "", "0x" + "0" * 64, "not a private key: it is 0, whose public key"),
    (["eth-sign", "0x" + "1" * 65], "", KEY, 'is not "0x" and up to 64 hex digits'),
    (["pubkey"], "", "  ", "$QUILLET_PRIVATE_KEY: not a private key: it is empty"),
    (["pubkey", "--key-file", "-"], '{"key": "0x1"}', None, 'without a "private_key"'),
    (["pubkey", "--packed", "0xzz"], "", None, "not a packed public key: '0xzz'"),
    # The neutral point: a signature made without any key verifies under it.
    (["pubkey", "--packed", "0x1"], "", None, "'0x1' is the neutral point"),
    (["verify", FORGED, "0x1", MSG], "", None, "'0x1' is the neutral point"),
    (["on-curve", "0xzz", "0x1"], "", None, "is_on_curve failed"),
    (["verify", "{}", "0x1", MSG], "", None, 'with "r" and "s" texts'),
    (["verify", '{"r": "0xzz", "s": "0x1"}', json.dumps(PUBLIC), MSG], "", None,
     "Signature.r: '0xzz' is not \"0x\" and up to 64 hex digits"),
    (["bench", "--rounds", "0"], "", None, "not a positive whole number"),
    (["bench", "nothing"], "", None, "invalid choice: 'nothing'"),
    (["bench", "--batch", "sign"], "", None, "give no FUNCTION"),
    ([], "", None, "required: COMMAND"),
    # Inputs are read up to a bound, JSON of any depth is refused in one line.
    (["hash", "transfer"], " " * (DOCUMENT_LIMIT + 1), None, "longer than 1048576 bytes"),
    (["hash", "transfer", "/dev/zero"], "", None, "document is longer than 1048576 bytes"),
    (["keygen", "/dev/zero"], "", None, "seed is longer than 1048576 bytes"),
    (["pubkey", "--key-file", "/dev/zero"], "", None, "private key is longer than 65536 bytes"),
    (["verify", "@/dev/zero", "0x1", MSG], "", None, "signature is longer than 4096 bytes"),
    (["verify", '{"r": "0x1", "s": "0x1"}', "@/dev/zero", MSG], "", None,
     "public key is longer than 4096 bytes"),
    (["verify", "@-", "0x1", MSG], "[" * 4000, None, 'with "r" and "s" texts'),
    (["verify", '{"r": "0x1", "s": "0x1"}', "@-", MSG], '{"x": ' + "[" * 4000, None,
     'with "x" and "y" texts'),
    (["pubkey", "--key-file", "-"], '{"private_key": ' + "[" * 4000, None,
     "standard input: not a private key: malformed JSON"),
    (["keygen", "--force"], SEED, None, "--force only applies to --out FILE"),
    (["hash", "transfer", "--raw"], '"\u2028\u202e"', None,
     'invalid type: string \\"\\u2028\\u202e\\"'),
    (["hash", "transfer"], '{"sender_position_id": "\u2028\u202e"}', None,
     'sender_position_id: expected decimal digits in a JSON string, got "\\u2028\\u202e"'),
]


@pytest.mark.parametrize("args, stdin, key, expected", FAILURES)
def test_failures_print_one_line_and_exit_2(args, stdin, key, expected):
    assert expected in failure_line(quillet(*args, stdin=stdin, key=key))


def test_a_refused_key_never_reaches_stderr(files):
    digits = KEY_ABOVE_ORDER[2:]
    for args in (["pubkey"], ["sign-message", MSG], ["sign", "limit_order", files["limit_order"]]):
        line = failure_line(quillet(*args, key=KEY_ABOVE_ORDER))
        assert "$QUILLET_PRIVATE_KEY: not a private key: its value is out of range" in line
        assert digits not in line.lower()


def split(key, at, char="\u200b"):
    return key[:at] + char + key[at:]


def assert_no_key_digits(line):
    """No 8 digits in a row of KEY appear in `line`, whatever splits them."""
    digits = "".join(c for c in line.lower() if c in "0123456789abcdef")
    assert not any(KEY[i:i + 8] in digits for i in range(2, len(KEY) - 7)), line


@pytest.mark.parametrize("args", [
    ["pubkey", KEY],
    ["pubkey", "--key", KEY],
    ["pubkey", "--private-key", KEY],
    ["sign-message", MSG, KEY],
    ["sign", "transfer", "--key-file", KEY],
    ["sign", "transfer", f"--key-file={KEY[2:]}"],
    ["eth-sign", "--key-file", KEY, MSG],
    ["pubkey", split(KEY, 33)],
    ["pubkey", split(KEY, 17, "\u2060"), "--key-file", "-"],
    ["sign", "transfer", "--key-file", split(KEY, 33)],
    ["sign", "transfer", "--key-file", KEY + '",'],
])
def test_a_key_on_the_command_line_is_refused_and_not_echoed(args):
    proc = quillet(*args, stdin=text("transfer"))
    line = failure_line(proc)
    assert_no_key_digits(line)
    assert "QUILLET_PRIVATE_KEY" in line or "not the key itself" in line


@pytest.mark.parametrize("key_text, problem", [
    (KEY + '",', "unexpected character U+0022 '\"' at position 66"),
    (split(KEY, 20, " "), "unexpected character U+0020 ' ' at position 20"),
    (split(KEY, 33), "unexpected character U+200B at position 33"),
    ("0x0x" + split(KEY[2:], 5, "\u202e"), "unexpected character U+202E at position 9"),
    ('{"private_key": "%s\u200b"}' % KEY, "unexpected character U+200B at position 66"),
    (KEY + "0", "65 hex digits where 64 are expected"),
    (KEY[:-1], "63 hex digits where 64 are expected"),
])
def test_a_malformed_key_is_described_never_quoted(key_text, problem, tmp_path):
    key_file = tmp_path / "key"
    key_file.write_text(key_text)
    key_file.chmod(0o600)
    for proc in (quillet("sign-message", MSG, key=key_text),
                 quillet("pubkey", "--key-file", str(key_file))):
        line = failure_line(proc)
        assert line.endswith(f": not a private key: {problem}")
        assert_no_key_digits(line)


@pytest.mark.parametrize("key_text, want", [
    (KEY_ABOVE_ORDER, None), ("0x" + "0" * 64, None), (KEY[:-1], None), (KEY, "keystore"),
    (json.dumps({"private_key": KEY}), "keystore"),
])
def test_a_refused_key_stays_out_of_the_failures_frames(key_text, want, monkeypatch):
    # A reporter that shows traceback locals must find no key text there.
    monkeypatch.setenv("QUILLET_PRIVATE_KEY", key_text)
    args = argparse.Namespace(key_file=None, passphrase_file=None)
    with pytest.raises(Failure) as info:
        private_key(args, Inputs(), want)
    frames = [frame for frame, _ in traceback.walk_tb(info.value.__traceback__)
              if frame.f_code.co_filename != __file__]
    shown = "".join(f"{name}={value!r}" for frame in frames
                    for name, value in frame.f_locals.items())
    assert frames and key_text[2:40] not in shown and KEY[2:40] not in shown, shown


@pytest.mark.parametrize("redirect, status, expected", [
    (">/dev/full", 2, "cannot write to standard output: No space left on device"),
    (">&-", 2, "cannot write to standard output: it is closed"),
    ("2>&-", 0, ""),
])
def test_a_full_or_closed_output_is_one_line_and_status_2(redirect, status, expected):
    proc = subprocess.run(["sh", "-c", f'exec "$0" -m quillet "$@" {redirect}', sys.executable,
                           "sign-message", MSG], env={**os.environ, "QUILLET_PRIVATE_KEY": KEY},
                          capture_output=True, timeout=120)
    assert proc.returncode == status
    assert proc.stderr.decode().splitlines() == ([f"quillet sign-message: {expected}"]
                                                 if expected else [])
    # With stderr closed a failure still exits 2, not 1 ("answered false").
    if redirect == "2>&-":
        bad = subprocess.run(["sh", "-c", f'exec "$0" -m quillet "$@" {redirect}',
                              sys.executable, "verify", "{}", "0x1", MSG], timeout=120)
        assert bad.returncode == 2


def test_keygen_out_creates_a_private_file_once(files, tmp_path):
    out = tmp_path / "new-key.json"

    def keygen(*extra):
        return subprocess.run([sys.executable, "-m", "quillet", "keygen", files["seed"],
                               "--out", str(out), *extra], capture_output=True, timeout=120,
                              preexec_fn=lambda: os.umask(0))

    assert keygen().returncode == 0
    assert (out.stat().st_mode & 0o777, json.loads(out.read_text())) == (
        0o600, {"private_key": KEY})
    out.write_text("kept")
    out.chmod(0o644)
    assert "exists; give --force" in failure_line(keygen())
    assert out.read_text() == "kept"
    assert keygen("--force").returncode == 0
    assert (out.stat().st_mode & 0o777, json.loads(out.read_text())) == (
        0o600, {"private_key": KEY})
    assert sorted(p.name for p in tmp_path.iterdir() if p.name.startswith(".")) == []


def test_verify_says_what_its_arguments_should_be(files, tmp_path):
    document = files["limit_order"]
    signed = quillet("sign", "limit-order", document, "--key-file", files["key"])
    (tmp_path / "sig.json").write_bytes(signed.stdout)
    (tmp_path / "pub.json").write_text(json.dumps(PUBLIC))
    hint = "hex text: a message is up to 64 hex digits (0x allowed); a document is verified " \
           "with --kind KIND"
    runs = [  # (arguments, what stdout holds, or the failure line)
        (["@sig.json", "@pub.json", document], f"quillet verify: MESSAGE {document} is a file, "
                                               f"not {hint}"),
        (["@sig.json", "@pub.json", "order"], f"quillet verify: MESSAGE is not {hint}"),
        (["@sig.json", "@pub.json", "0x" + "1" * 65], "quillet verify: '0x" + "1" * 65 +
         "' is not \"0x\" and up to 64 hex digits"),  # hex, too long
        # A file named without @ is read when the argument is no value itself.
        (["sig.json", "pub.json", "--kind", "limit-order", document], {"valid": True}),
        (["nosig.json", "pub.json", "--kind", "limit-order", document],
         'quillet verify: the signature must be a JSON object with "r" and "s" texts (a file '
         "is read with @FILE)"),
        (["sig.json", "pub", "--kind", "limit-order", document],
         'quillet verify: the public key must be a packed key (0x...) or the JSON {"x", "y"} '
         "of `quillet pubkey` (a file is read with @FILE)"),
    ]
    for args, expected in runs:
        proc = quillet("verify", *args, cwd=tmp_path)
        if isinstance(expected, dict):
            assert ok_json(proc) == expected
        else:
            assert failure_line(proc).startswith(expected)


def test_verify_kind_refuses_a_document_rewritten_to_hash_like_the_signed_one(tmp_path):
    # The nonce's carry reaches the fee word: the same hash, so the same signature.
    signed = json.loads(text("limit_order"))
    rewritten = {**signed, "amount_fee": str(int(signed["amount_fee"]) - 1),
                 "nonce": str(int(signed["nonce"]) + 2**32)}
    assert q.hash_limit_order(json.dumps(rewritten)) == q.hash_limit_order(text("limit_order"))
    signature = q.sign_limit_order(text("limit_order"), KEY)
    (tmp_path / "doc.json").write_text(json.dumps(rewritten))
    line = failure_line(quillet("verify", "--kind", "limit_order", signature, PUBLIC["x"],
                                str(tmp_path / "doc.json")))
    assert "nonce: 4294967" in line and "the hash does not bind it" in line
    row = {"signature": json.loads(signature), "public_key": PUBLIC["x"], "document": rewritten}
    checked = quillet("verify", "--ndjson", "--kind", "limit_order", stdin=json.dumps(row))
    assert "the hash does not bind it" in json.loads(checked.stdout)["error"]


def test_ndjson_mode_gives_one_result_per_line(tmp_path):
    good, bad = named("transfer", PUBLIC["x"]), "{}"
    lines = f"{good}\n{bad}\n \n{good}\n"
    (tmp_path / "lines").write_text(lines)
    hashed = quillet("hash", "transfer", "--ndjson", stdin=lines)
    assert hashed.returncode == 2
    results = [json.loads(line) for line in hashed.stdout.splitlines()]
    assert results[0] == results[3] == {"hash": q.hash_transfer(good)}
    assert results[1]["error"] == "sender_position_id: missing"
    assert results[2] == {"error": "empty line"}  # line N answers line N
    path = str(tmp_path / "lines")
    for args in (["transfer", path, "--ndjson"], ["transfer", "--ndjson", path]):
        signed = quillet("sign", *args, key=KEY)
        assert [json.loads(line).get("error", "signed")[:6] for line in signed.stdout.splitlines()
                ] == ["signed", "sender", "empty ", "signed"]
    assert failure_line(quillet("hash", "transfer", "-", "--ndjson", path)).endswith(
        f"unrecognized arguments: {path} (see quillet --help)")
    other = quillet("sign", "transfer", "--ndjson", stdin=text("transfer") + "\n", key=KEY)
    assert "not this key" in json.loads(other.stdout)["error"]
    signature = json.loads(q.sign_transfer(good, KEY))
    rows = [{"signature": signature, "public_key": PUBLIC["x"], "document": json.loads(good)},
            {"signature": signature, "public_key": PUBLIC, "message": "0x5"},
            {"signature": json.loads(FORGED), "public_key": "0x1", "document": json.loads(good)}]
    (tmp_path / "rows").write_text("\n".join(map(json.dumps, rows)))
    checked = quillet("verify", "--ndjson", "--kind", "transfer", str(tmp_path / "rows"))
    answers = [json.loads(line) for line in checked.stdout.decode().splitlines()]
    assert answers[0] == {"valid": True}
    assert "error" in answers[1]
    assert "'0x1' is the neutral point" in answers[2]["error"]


def test_demo_writes_sample_documents_that_sign_and_verify(tmp_path):
    written = ok_json(quillet("demo", "--documents", "docs", cwd=tmp_path))["documents"]
    assert sorted(os.path.basename(p) for p in written) == sorted(
        [f"{kind}.json" for kind in DOCUMENTS] + ["seed.txt"])
    for kind in DOCUMENTS:
        doc = (tmp_path / "docs" / f"{kind}.json").read_text()
        assert ok_json(quillet("hash", kind, f"docs/{kind}.json", cwd=tmp_path)) == {
            "hash": getattr(q, f"hash_{kind}")(doc)}


def test_ndjson_shows_progress_on_a_terminal(monkeypatch, capsys):
    import io

    from quillet import cli
    lines = (text("transfer") + "\n") * 2500
    monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(lines.encode())))
    monkeypatch.setattr(sys.stderr, "isatty", lambda: True)
    assert cli.main(["hash", "transfer", "--ndjson"]) == 0
    out, err = capsys.readouterr()
    assert len(out.splitlines()) == 2500
    assert err == "\r1024 lines done\r2048 lines done\r2500 lines done\n"


# What the command line's import, and every command but those of the audit and
# the signing service, keep out: an event loop, process pools, logging, TLS,
# sockets, threads, SQLite, TOML and statistics, the service's and the
# audit's modules, and the extras'. The service's actions keep out its event
# loop and the extras.
STARTUP = ("asyncio", "concurrent.futures", "multiprocessing", "logging", "ssl", "socket",
           "threading", "subprocess", "tempfile", "sqlite3", "tomllib", "statistics",
           "starlette", "uvicorn", "httpx", "quillet.audit", "quillet.service")
SERVICE_ACTIONS = ("asyncio", "concurrent.futures", "multiprocessing", "logging", "ssl",
                   "starlette", "uvicorn", "httpx", "quillet.audit")


@pytest.mark.parametrize("run, kept_out", [
    ("import quillet.cli", STARTUP),
    (f"from quillet.cli import main; main(['pubkey', '--packed', '{PUBLIC['x']}'])", STARTUP),
    ("from quillet.cli import main; main(['signer', 'hash-token', '--generate'])",
     SERVICE_ACTIONS),
])
def test_a_command_imports_only_what_it_uses(run, kept_out):
    code = f"import sys\n{run}\nprint([m for m in {kept_out!r} if m in sys.modules])"
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines()[-1] == "[]"
