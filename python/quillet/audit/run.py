"""Running the check over whole logs: on this machine, or on a Dask cluster.

On this machine the logs are read in chunks by the calling process and checked
by a pool of worker processes, one per core, each calling quillet.batch on its
chunk (jobs=1 checks in the calling process, with quillet.batch's threads).
At most two chunks per worker are in flight, and the report keeps the details
of the first `max_issues` non-valid records only (every one is counted, and
with `issues` written to a file as found), so memory stays bounded whatever
the logs hold.

On a cluster each file is cut into parts (byte ranges of plain NDJSON, runs of
Parquet row groups, whole gzip files) that the workers read themselves through
a dask.bag, so the files must be readable at the same path on every worker.
Both ways give the same result, in log order. A log named twice (or under
two names, such as a symlink) is refused: it would be counted twice.
"""

from __future__ import annotations

import concurrent.futures
import contextlib
import importlib
import json
import logging
import multiprocessing
import os
import sys
import time
from collections import deque
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from typing import IO, Any, TextIO

from quillet import batch
from quillet.audit import log
from quillet.audit.check import OUTCOMES, Finding, PartResult, check_records

CHUNK = 4096  # records per chunk a worker checks at once
PART_BYTES = 8 << 20  # bytes of log per cluster task
MAX_ISSUES = 1000  # non-valid records the report details

# (records done, bytes done, bytes in all)
Progress = Callable[[int, int, int], None]


class AuditError(Exception):
    """The audit could not run: an unreadable log, or Dask missing or failing."""


@dataclass(frozen=True)
class Issue:
    """A record that is not valid: its file, its number there (from 1; the line
    number in NDJSON), its kind, its outcome and why."""

    file: str
    record: int
    kind: str
    outcome: str
    reason: str
    position_id: str | None = None  # of the order signed, where readable
    nonce: str | None = None


@dataclass
class AuditResult:
    """The summary of an audit and the first records that are not valid, in log
    order (`more_issues`: how many others there were)."""

    files: list[str]
    records: int
    seconds: float
    counts: dict[str, dict[str, int]]
    issues: list[Issue]
    stages: dict[str, float]
    workers: str
    setup: float = 0.0  # of `seconds`, spent starting, reaching or closing the cluster
    more_issues: int = 0
    totals: dict[str, int] = field(init=False)

    def __post_init__(self) -> None:
        self.totals = {o: sum(c.get(o, 0) for c in self.counts.values()) for o in OUTCOMES}

    @property
    def ok(self) -> bool:
        """Whether there were records and every one is valid: a log with no
        record proves nothing."""
        return self.records > 0 and not self.issues and not self.more_issues

    @property
    def records_per_s(self) -> float:
        """Records checked per second, once the cluster is up."""
        busy = self.seconds - self.setup
        return self.records / busy if busy > 0 else 0.0

    def to_json(self) -> dict[str, Any]:
        return {
            "ok": self.ok, "files": self.files, "records": self.records,
            "outcomes": self.totals, "counts": self.counts,
            "seconds": round(self.seconds, 3), "setup_seconds": round(self.setup, 3),
            "records_per_s": round(self.records_per_s),
            "workers": self.workers,
            "stage_cpu_seconds": {k: round(v, 3) for k, v in self.stages.items()},
            "issues": [_issue_json(i) for i in self.issues],
            "more_issues": self.more_issues,
        }

    def table(self, width: int = 120) -> str:
        """The summary and the non-valid records as text tables."""
        setup = f", {self.setup:.2f} s of it setting up" if self.setup else ""
        lines = [f"{self.records:,} records in {self.seconds:.2f} s{setup}: "
                 f"{self.records_per_s:,.0f} records/s ({self.workers})", ""]
        rows = [[kind, *(f"{c.get(o, 0):,}" for o in OUTCOMES)]
                for kind, c in sorted(self.counts.items())]
        rows.append(["all", *(f"{self.totals[o]:,}" for o in OUTCOMES)])
        lines += _columns(["kind", *OUTCOMES], rows, right=set(range(1, 5)))
        if not self.records:
            lines += ["", "no records were found"]
        elif self.issues:
            shown = f" (the first {len(self.issues):,} shown)" if self.more_issues else ""
            lines += ["", f"{len(self.issues) + self.more_issues:,} records not valid{shown}:"]
            many = len(self.files) > 1
            rows = [([i.file] if many else []) + [f"{i.record:,}", i.kind, i.position_id or "-",
                                                  i.nonce or "-", i.outcome, i.reason]
                    for i in self.issues]
            head = (["file"] if many else []) + ["record", "kind", "position", "nonce",
                                                 "outcome", "reason"]
            lines += [line if len(line) <= width else line[:width - 1] + "…"
                      for line in _columns(head, rows, right={int(many)})]
        else:
            lines += ["", "every record is valid"]
        return "\n".join(lines)


def _issue_json(issue: Issue) -> dict[str, Any]:
    return {"file": issue.file, "record": issue.record, "kind": issue.kind,
            "position_id": issue.position_id, "nonce": issue.nonce,
            "outcome": issue.outcome, "reason": issue.reason}


def _columns(head: list[str], rows: list[list[str]], right: set[int]) -> list[str]:
    widths = [max(len(r[c]) for r in [head, *rows]) for c in range(len(head))]

    def line(row: list[str]) -> str:
        cells = [cell.rjust(w) if c in right else cell.ljust(w)
                 for c, (cell, w) in enumerate(zip(row, widths))]
        return "  ".join(cells).rstrip()

    return [line(head), "  ".join("-" * w for w in widths)] + [line(r) for r in rows]


# --- the audit ------------------------------------------------------------------------

def audit(paths: Sequence[str], *, jobs: int | None = None, threads: int | None = None,
          dask: str | None = None, chunk: int = CHUNK, part_bytes: int = PART_BYTES,
          progress: Progress | None = None, hide_diagnostics: bool = False,
          max_issues: int | None = MAX_ISSUES, issues: str | None = None) -> AuditResult:
    """Checks every record of the logs at `paths` (see quillet.audit.check).

    On this machine: `jobs` worker processes (default one per core), each
    checking a chunk of `chunk` records at a time with quillet.batch on one
    thread; jobs=1 checks in this process on `threads` threads. With `dask`
    ("local:N" for a LocalCluster of N processes, else a scheduler's address)
    the cluster checks parts of about `part_bytes`. `progress` is called after
    each chunk or part. `hide_diagnostics` keeps the module's line per refused
    item off standard error when checking in this process (it redirects the
    descriptor 2 meanwhile); worker processes of this machine or of a
    LocalCluster always keep it off. The result details the first
    `max_issues` non-valid records (None: all); `issues` names a file that
    receives every one as NDJSON, in log order (with `dask`, its folder must
    be writable at the same path on every worker).
    Raises AuditError for a log that cannot be read or is named twice.
    """
    files = list(paths)
    _refuse_repeats(files)
    began = time.perf_counter()
    setup = 0.0
    try:
        sink = _IssueSink(issues) if issues is not None else None
    except OSError as error:
        raise AuditError(f"cannot write {issues}: {error.strerror}") from None
    try:
        if dask is not None:
            per_file, workers, busy = _on_dask(files, dask, chunk, part_bytes, progress,
                                               max_issues, sink)
        else:
            per_file, workers = _on_this_machine(files, jobs, threads, chunk, progress,
                                                 hide_diagnostics, max_issues, sink)
    except log.LogError as error:
        raise AuditError(str(error)) from None
    finally:
        if sink is not None:
            sink.close()
    seconds = time.perf_counter() - began
    if dask is not None:
        setup = max(0.0, seconds - busy)

    total = PartResult()
    found: list[Issue] = []
    more = 0
    for path, result in zip(files, per_file):
        room = len(result.findings) if max_issues is None else max(0, max_issues - len(found))
        found += [Issue(path, f.index + 1, f.kind, f.outcome, f.reason, f.position_id, f.nonce)
                  for f in result.findings[:room]]
        more += result.more + max(0, len(result.findings) - room)
        result.findings, result.more = [], 0
        total.merge(result)
    return AuditResult(files, total.records, seconds, total.counts, found, total.stages, workers,
                       setup, more)


def _refuse_repeats(files: list[str]) -> None:
    # Two names of one file would count its records twice.
    seen: dict[tuple[int, int], str] = {}
    for path in files:
        try:
            info = os.fstat(sys.stdin.fileno()) if path == log.STDIN else os.stat(path)
        except (OSError, ValueError, AttributeError):
            continue  # reading it will say why
        if (info.st_dev, info.st_ino) in seen:
            raise AuditError(f"{path} is the same file as {seen[info.st_dev, info.st_ino]}: "
                             "give each log once")
        seen[info.st_dev, info.st_ino] = path


class _IssueSink:
    """The file of every non-valid record, one JSON object per line, in log order."""

    def __init__(self, path: str) -> None:
        self.path = path
        self._file: IO[str] = open(path, "w", encoding="utf-8")

    def write(self, path: str, offset: int, findings: list[Finding]) -> None:
        for f in findings:
            self._file.write(json.dumps(_issue_json(
                Issue(path, offset + f.index + 1, f.kind, f.outcome, f.reason,
                      f.position_id, f.nonce))) + "\n")

    def close(self) -> None:
        self._file.close()


def check_part(part: log.Part, chunk: int = CHUNK, threads: int | None = 1,
               hide_diagnostics: bool = False, limit: int | None = None,
               spool: str | None = None) -> PartResult:
    """Checks one part of a log as a worker does: findings numbered within the
    part, the first `limit` kept; with `spool`, every finding is also written
    to that file as JSON lines [index, kind, outcome, reason, position_id, nonce]."""
    result = PartResult(limit=limit)
    with contextlib.ExitStack() as stack:
        out = stack.enter_context(open(spool, "w", encoding="utf-8")) if spool else None
        for raw, _ in log.part_chunks(part, chunk):
            checked = check_records(raw, threads=threads, hide_diagnostics=hide_diagnostics,
                                    limit=None if out is not None else limit)
            if out is not None:
                for f in checked.findings:
                    out.write(json.dumps([result.records + f.index, f.kind, f.outcome,
                                          f.reason, f.position_id, f.nonce]) + "\n")
            result.merge(checked)
    return result


def _on_this_machine(files: list[str], jobs: int | None, threads: int | None, chunk: int,
                     progress: Progress | None, hide: bool, limit: int | None,
                     sink: _IssueSink | None) -> tuple[list[PartResult], str]:
    jobs = jobs or batch.default_threads()
    keep = limit if sink is None else None  # findings a chunk details: all for the sink
    parts = [log.plan_parts(path)[0] for path in files]
    size = sum(p.size for p in parts)
    done_records = done_bytes = 0
    results = []

    def report(whole: PartResult, path: str, result: PartResult, consumed: int) -> None:
        nonlocal done_records, done_bytes
        if sink is not None:  # every finding of the chunk, before the report keeps the first
            sink.write(path, whole.records, result.findings)
        whole.merge(result)
        done_records += result.records
        done_bytes += consumed
        if progress is not None:
            progress(done_records, done_bytes, size)

    if jobs == 1:
        for part in parts:
            whole = PartResult(limit=limit)
            for raw, consumed in log.part_chunks(part, chunk):
                report(whole, part.path, check_records(raw, threads=threads,
                                                       hide_diagnostics=hide, limit=keep),
                       consumed)
            results.append(whole)
        return results, f"1 process, {threads or batch.default_threads()} threads"

    # fork is quick and needs no importable __main__, but is safe only while
    # this process runs no other thread (pyarrow starts native ones).
    context = multiprocessing.get_context("fork" if _single_threaded() else "spawn")
    with concurrent.futures.ProcessPoolExecutor(jobs, mp_context=context) as pool:
        for part in parts:
            whole = PartResult(limit=limit)
            flight: deque[tuple[concurrent.futures.Future[PartResult], int]] = deque()
            for raw, consumed in log.part_chunks(part, chunk):
                flight.append((pool.submit(check_records, raw, threads=1,
                                           hide_diagnostics=True, limit=keep), consumed))
                while len(flight) >= 2 * jobs:
                    future, consumed = flight.popleft()
                    report(whole, part.path, future.result(), consumed)
            while flight:
                future, consumed = flight.popleft()
                report(whole, part.path, future.result(), consumed)
            results.append(whole)
    return results, f"{jobs} processes"


def _single_threaded() -> bool:
    try:
        return len(os.listdir("/proc/self/task")) == 1
    except OSError:
        return False


def _check_task(item: tuple[log.Part, str | None], chunk: int, hide: bool,
                limit: int | None) -> PartResult:
    part, spool = item
    return check_part(part, chunk, 1, hide, limit, spool)


def _on_dask(files: list[str], address: str, chunk: int, part_bytes: int,
             progress: Progress | None, limit: int | None,
             sink: _IssueSink | None) -> tuple[list[PartResult], str, float]:
    for path in files:
        if log.is_stream(path):
            raise AuditError(f"{path} is not a regular file: the cluster's workers read logs "
                             "by path (run without --dask to read a pipe or standard input)")
    try:  # by name: optional extras without type information
        bag_module: Any = importlib.import_module("dask.bag")
        distributed: Any = importlib.import_module("distributed")
    except ImportError:
        raise AuditError(f"--dask needs dask and distributed: {log.AUDIT_EXTRA}") from None

    # Each part remembers its file by position: a result is never keyed by path.
    parts = [(number, part) for number, path in enumerate(files)
             for part in log.plan_parts(path, part_bytes)]
    size = sum(p.size for _, p in parts)
    results = [PartResult(limit=limit) for _ in files]
    if not parts:
        return results, "dask", 0.0
    spools = [f"{sink.path}.part{i}" if sink is not None else None for i in range(len(parts))]
    cluster: Any = None
    if address.startswith("local:"):
        count = address.removeprefix("local:")
        if not count.isdigit() or int(count) == 0:
            raise AuditError(f"--dask local:N takes a count of worker processes, not {count!r}")
        cluster = distributed.LocalCluster(n_workers=int(count), threads_per_worker=1,
                                           processes=True, dashboard_address=None,
                                           silence_logs=logging.ERROR)
        workers = f"dask LocalCluster, {count} processes"
    else:
        workers = f"dask scheduler {address}"
    try:
        with distributed.Client(cluster or address, timeout="30s") as client:
            began = time.perf_counter()
            bag = bag_module.from_sequence([(p, spool) for (_, p), spool in zip(parts, spools)],
                                           partition_size=1)
            # A LocalCluster's workers are processes of ours: the module's line per
            # refused item stays off the terminal. A remote worker's log is left alone.
            checked = bag.map(_check_task, chunk, cluster is not None, limit)
            futures = client.compute(checked.to_delayed())
            done_records = done_bytes = 0
            # Taken in log order, each released once merged: the report keeps the
            # first findings only, whatever the number of parts.
            for (number, part), spool in zip(parts, spools):
                future = futures.pop(0)
                result, = future.result()
                future.release()
                if sink is not None and spool is not None:
                    _unspool(sink, spool, files[number], results[number].records)
                results[number].merge(result)
                done_records += result.records
                done_bytes += part.size
                if progress is not None:
                    progress(done_records, done_bytes, size)
            busy = time.perf_counter() - began
    except (OSError, TimeoutError) as error:
        raise AuditError(f"dask scheduler {address}: {error}") from None
    except (log.LogError, AuditError):
        raise
    except Exception as error:  # a worker lost, or one without quillet_python_sdk
        raise AuditError(f"the cluster failed: {type(error).__name__}: {error}") from None
    finally:
        if cluster is not None:
            cluster.close()
        for spool in spools:
            if spool is not None:
                with contextlib.suppress(OSError):
                    os.remove(spool)
    return results, workers, busy


def _unspool(sink: _IssueSink, spool: str, path: str, offset: int) -> None:
    try:
        with open(spool, encoding="utf-8") as lines:
            for line in lines:
                sink.write(path, offset, [Finding(*json.loads(line))])
    except OSError as error:
        raise AuditError(f"cannot read the issues a worker wrote to {spool}: "
                         f"{error.strerror} (with --dask, --issues must name a folder "
                         "every worker can write at the same path)") from None


# --- on a terminal ------------------------------------------------------------------

class ProgressBar:
    """A one-line progress bar on a terminal: records, records/s, share done, ETA."""

    def __init__(self, stream: TextIO = sys.stderr, every: float = 0.2) -> None:
        self._stream = stream
        self._every = every
        self._began = time.perf_counter()
        self._shown = 0.0

    def __call__(self, records: int, done: int, total: int) -> None:
        now = time.perf_counter()
        if now - self._shown < self._every and done < total:
            return
        self._shown = now
        elapsed = max(now - self._began, 1e-9)
        share = done / total if total else 1.0
        eta = elapsed * (1 - share) / share if share > 0 else 0.0
        filled = int(share * 30)
        self._stream.write(f"\r[{'#' * filled}{'.' * (30 - filled)}] {share:4.0%} "
                           f"{records:,} records {records / elapsed:,.0f}/s "
                           f"ETA {int(eta) // 60}:{int(eta) % 60:02d} ")
        self._stream.flush()

    def close(self) -> None:
        self._stream.write("\r\033[K")
        self._stream.flush()
