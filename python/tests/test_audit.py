"""quillet audit: every corruption kind found, on one machine and on a Dask
LocalCluster, the same report from every log format."""

import copy
import gzip
import importlib.util
import json
import os
import subprocess
import sys
import threading

import pytest

from quillet import audit
from quillet.audit import log
from quillet.documents import FIELD_MODULUS

SHARES = {"wrong-signature": 0.05, "wrong-key": 0.05, "tampered-field": 0.05,
          "malformed-document": 0.05}
COUNT = 400


@pytest.fixture(scope="module")
def logs(tmp_path_factory):
    """The same sample log in every format, and the outcome expected of each record."""
    pytest.importorskip("pyarrow")
    pairs = list(audit.sample_log(COUNT, SHARES, seed=7))
    assert {c for _, c in pairs} == {None, *audit.CORRUPTIONS}
    folder = tmp_path_factory.mktemp("logs")
    paths = {}
    for name, document in [("log.ndjson", "json"), ("log.ndjson.gz", "json"),
                           ("log.parquet", "json"), ("struct.parquet", "struct")]:
        paths[name] = str(folder / name)
        audit.write_log(paths[name], (r for r, _ in pairs), document=document)
    return paths, [audit.EXPECTED[c] for _, c in pairs]


def outcomes(result, path=None):
    found = ["valid"] * COUNT
    for issue in result.issues:
        if path is None or issue.file == path:
            found[issue.record - 1] = issue.outcome
    return found


def report(result, path):
    return [(i.record, i.kind, i.outcome, i.reason) for i in result.issues if i.file == path]


@pytest.mark.parametrize("jobs", [1, 2])
def test_one_machine_finds_every_corruption_in_every_format(logs, jobs):
    paths, expected = logs
    results = {name: audit.audit([path], jobs=jobs, chunk=64, hide_diagnostics=True)
               for name, path in paths.items()}
    for name, result in results.items():
        assert result.records == COUNT and not result.ok, name
        assert outcomes(result) == expected, name
        assert sum(result.totals.values()) == COUNT
    # The JSON column holds each document's text as NDJSON does: the same report.
    first = report(results["log.ndjson"], paths["log.ndjson"])
    for name in ("log.ndjson.gz", "log.parquet"):
        assert report(results[name], paths[name]) == first, name


def test_local_cluster_gives_the_one_machine_report(logs):
    pytest.importorskip("distributed")
    paths, expected = logs
    files = [paths["log.ndjson"], paths["log.parquet"]]
    alone = audit.audit(files, jobs=1, hide_diagnostics=True)
    # Parts of 20 kB: the NDJSON log is split among tasks in mid-line.
    cluster = audit.audit(files, dask="local:2", part_bytes=20_000)
    assert "LocalCluster" in cluster.workers
    assert cluster.issues == alone.issues
    assert cluster.counts == alone.counts and cluster.records == 2 * COUNT
    for path in files:
        assert outcomes(cluster, path) == expected


def good_record():
    (record, _), = audit.sample_log(1)
    return record.to_json()


def changed(path, value):
    """A sound record with the member at `path` (keys, "" for the record) set to
    `value` (None deletes it)."""
    record = copy.deepcopy(good_record())
    *outer, last = path
    holder = record
    for key in outer:
        holder = holder[key]
    if value is None:
        del holder[last]
    else:
        holder[last] = value
    return json.dumps(record).encode()


def rewritten(**fields):
    """A sound limit order's record with document fields rewritten, signature kept."""
    record = good_record()
    assert record["kind"] == "limit_order"
    record["document"].update({k: v(record["document"][k]) for k, v in fields.items()})
    return json.dumps(record).encode()


def test_each_record_is_classified_with_its_reason(tmp_path):
    sound = json.dumps(good_record()).encode()
    key = good_record()["public_key"]
    # Rewritten to hash exactly like the signed order: the nonce's carry
    # reaches the fee word; an asset id is reduced modulo the field.
    carried = rewritten(amount_fee=lambda fee: str(int(fee) - 1),
                        nonce=lambda nonce: str(int(nonce) + 2**32))
    shifted = rewritten(asset_id_collateral=lambda a: hex(int(a, 16) + FIELD_MODULUS))
    cases = [  # (line, outcome, part of the reason)
        (sound, "valid", ""),
        (b"", "bad-document", "empty line"),
        (b"{not json", "bad-document", "not a JSON text"),
        (b"[1, 2]", "bad-document", "not a JSON object"),
        (b"\xff{}", "bad-document", "not UTF-8"),
        (b"{" + b" " * log.MAX_LINE + b"}", "bad-document", "longer than"),
        (changed(["kind"], "swap"), "bad-document", 'unknown kind "swap"'),
        (changed(["document"], None), "bad-document", "no document object"),
        (changed(["document", "nonce"], 5), "bad-document", "nonce: expected decimal digits"),
        (changed(["document", "nonce"], "0x11"), "bad-document", "nonce: expected decimal"),
        (carried, "bad-document", "is out of range: the hash does not bind it"),
        (shifted, "bad-document", "asset_id_collateral: "),
        # The module still judges what the typed documents let through.
        (changed(["document", "asset_id_synthetic"], "0x0x1"), "bad-document", ""),
        # A repeated key is refused at every level: no reading picks one of two.
        (sound.replace(b'"nonce": ', b'"nonce": "1", "nonce": ', 1), "bad-document", "nonce"),
        (changed(["public_key"], None), "bad-key", "no public_key"),
        (changed(["public_key"], "0xzz"), "bad-key", "not hexadecimal"),
        (changed(["public_key"], "0x" + "f" * 64), "bad-key", "does not decode"),
        # The same key written differently is the same key.
        (changed(["document", "public_key"], key.upper().replace("0X", "")), "valid", ""),
        (changed(["signature"], None), "bad-signature", "no signature"),
        (changed(["signature", "s"], "0x" + "f" * 64), "bad-signature", "unreadable"),
        (changed(["signature", "r"], "0x1234"), "bad-signature", ""),
        (sound, "valid", ""),
    ]
    path = tmp_path / "cases.ndjson"
    path.write_bytes(b"\n".join(line for line, _, _ in cases) + b"\n")
    for jobs in (1, 2):
        result = audit.audit([str(path)], jobs=jobs, hide_diagnostics=True)
        found = {i.record: i for i in result.issues}
        assert result.records == len(cases)
        for number, (_, outcome, reason) in enumerate(cases, 1):
            issue = found.get(number)
            assert (issue.outcome if issue else "valid") == outcome, (number, issue)
            assert reason in (issue.reason if issue else ""), (number, issue)


def test_reader_gives_the_records_written(tmp_path):
    pairs = list(audit.sample_log(5))
    path = str(tmp_path / "small.ndjson.gz")
    audit.write_log(path, (r for r, _ in pairs))
    assert list(audit.read_log(path)) == [r for r, _ in pairs]
    (tmp_path / "bad.ndjson").write_bytes(b'{"kind": "transfer"}\n')
    with pytest.raises(audit.LogError, match="record 1: no document object"):
        list(audit.read_log(str(tmp_path / "bad.ndjson")))


def quillet(*args, code=None):
    command = ["-c", code] if code else ["-m", "quillet"]
    return subprocess.run([sys.executable, *command, *args], capture_output=True,
                          text=True, timeout=120)


def test_command_writes_a_demo_log_and_audits_it(tmp_path):
    path = str(tmp_path / "demo.ndjson")
    made = quillet("demo", "--log", path, "--count", "60", "--wrong-key", "0.1")
    assert made.returncode == 0, made.stderr
    assert json.loads(made.stdout)["corrupted"]["wrong-key"] == 6
    checked = quillet("audit", path, "--jobs", "1")
    assert checked.returncode == 1 and checked.stderr == ""
    summary = json.loads(checked.stdout)
    assert summary["outcomes"] == {"valid": 54, "bad-document": 0, "bad-key": 6,
                                   "bad-signature": 0}
    lines = open(path).read().splitlines()
    for issue in summary["issues"]:  # the order signed, named by its position and nonce
        document = json.loads(lines[issue["record"] - 1])["document"]
        order = document.get("liquidator_order", document)
        assert (issue["position_id"], issue["nonce"]) == (order["position_id"], order["nonce"])
    result = audit.audit([path], jobs=1)
    assert any(line.endswith("…") and len(line) == 60 for line in result.table(60).splitlines())
    clean = str(tmp_path / "clean.ndjson")
    assert quillet("demo", "--log", clean, "--count", "10").returncode == 0
    table = quillet("audit", clean, "--table")
    assert table.returncode == 0 and "every record is valid" in table.stdout
    # Without dask installed, --dask says what to install; the log is still read.
    missing = quillet("audit", clean, "--dask", "local:2", code=(
        "import sys; sys.modules['dask.bag'] = None; sys.argv[0] = 'quillet'; "
        "from quillet.cli import main; sys.exit(main(sys.argv[1:]))"))
    assert missing.returncode == 2
    assert "pip install 'quillet_python_sdk[audit]'" in missing.stderr
    (tmp_path / "bad.parquet").write_bytes(b"PAR1" + b"x" * 8)
    for args, text in [(["audit", str(tmp_path / "absent.ndjson")], "cannot read"),
                       # Where the extra is missing (the wheel's test venv), it is named.
                       (["audit", str(tmp_path / "bad.parquet")],
                        "as Parquet" if importlib.util.find_spec("pyarrow") else "needs pyarrow"),
                       (["demo", "--count", "5"], "need --log FILE")]:
        failed = quillet(*args)
        assert failed.returncode == 2 and text in failed.stderr, failed.stderr


AUDIT_RSS = """
import resource, subprocess, sys
proc = subprocess.run([sys.executable, "-m", "quillet", "audit", *sys.argv[1:]],
                      capture_output=True, text=True)
print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)
print(proc.returncode)
print(proc.stdout)
"""


@pytest.mark.parametrize("name, content, jobs", [
    ("blank.gz", lambda: gzip.compress(b"\n" * 2_000_000), "1"),
    ("bad.ndjson", lambda: b'{"kind": "swap"}\n' * 1_000_000, "2"),
])
def test_audit_memory_stays_bounded_whatever_the_log_holds(tmp_path, name, content, jobs):
    # Every record is counted; the report details the first 1000 only.
    path = tmp_path / name
    path.write_bytes(content())
    rss, status, out = subprocess.run(
        [sys.executable, "-c", AUDIT_RSS, str(path), "--jobs", jobs],
        capture_output=True, text=True, timeout=120).stdout.split("\n", 2)
    report = json.loads(out)
    assert (status, report["ok"], len(report["issues"])) == ("1", False, 1000)
    assert report["more_issues"] == report["records"] - 1000 >= 999_000
    assert int(rss) < 200 * 1024, f"peak RSS {int(rss) // 1024} MiB"


def test_issues_are_all_streamed_and_the_report_keeps_the_first(tmp_path):
    sound = json.dumps(good_record()).encode()
    path = tmp_path / "log.ndjson"
    path.write_bytes(b"\n".join([sound, b"", b"x", sound, b"[1]", b"y"]) + b"\n")
    for mode in ({"jobs": 1}, {"jobs": 2}, {"dask": "local:1"}):
        if "dask" in mode and importlib.util.find_spec("distributed") is None:
            continue
        issues = tmp_path / "issues.ndjson"
        result = audit.audit([str(path)], max_issues=2, issues=str(issues),
                             hide_diagnostics=True, **mode)
        assert [i.record for i in result.issues] == [2, 3] and result.more_issues == 2
        streamed = [json.loads(line) for line in issues.read_text().splitlines()]
        assert [i["record"] for i in streamed] == [2, 3, 5, 6], mode
        assert not result.ok and result.totals["bad-document"] == 4


def test_a_log_named_twice_is_refused_in_every_mode(tmp_path):
    path = tmp_path / "log.ndjson"
    audit.write_log(str(path), (r for r, _ in audit.sample_log(20)))
    (tmp_path / "link.ndjson").symlink_to(path)
    for names in ([path, path], [path, tmp_path / "link.ndjson"]):
        for mode in ({"jobs": 1}, {"jobs": 2}, {"dask": "local:2"}):
            with pytest.raises(audit.AuditError, match="is the same file as .*: give each log"):
                audit.audit([str(n) for n in names], **mode)


def test_pipes_devices_and_stdin_are_read_as_streams(tmp_path):
    pairs = list(audit.sample_log(30, SHARES, seed=3))
    plain = tmp_path / "log.ndjson"
    audit.write_log(str(plain), (r for r, _ in pairs))
    expected = audit.audit([str(plain)], jobs=1, hide_diagnostics=True).totals
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    feeder = threading.Thread(target=lambda: fifo.write_bytes(gzip.compress(plain.read_bytes())),
                              daemon=True)  # a reader that stops early leaves it blocked
    feeder.start()

    def run(*args, stdin=b""):  # a timeout: a reader that opens a pipe twice hangs
        return subprocess.run([sys.executable, "-m", "quillet", "audit", *args], input=stdin,
                              capture_output=True, text=False, timeout=60)

    assert json.loads(run(str(fifo), "--jobs", "2").stdout)["outcomes"] == expected
    assert json.loads(run("-", stdin=plain.read_bytes()).stdout)["outcomes"] == expected
    # No record is no pass: a device read as a stream, an empty file.
    (tmp_path / "empty.ndjson").write_bytes(b"")
    for empty in ("/dev/null", str(tmp_path / "empty.ndjson")):
        checked = run(empty)
        assert checked.returncode == 1 and json.loads(checked.stdout)["ok"] is False
        assert b"no records were found" in checked.stderr
