"""Running the check over whole logs: on this machine, or on a Dask cluster.

On this machine the logs are read in chunks by the calling process and checked
by a pool of worker processes, one per core, each calling quillet.batch on its
chunk (jobs=1 checks in the calling process, with quillet.batch's threads).
At most two chunks per worker are in flight, so memory stays bounded however
long the log: what grows is the list of non-valid records only.

On a cluster each file is cut into parts (byte ranges of plain NDJSON, runs of
Parquet row groups, whole gzip files) that the workers read themselves through
a dask.bag, so the files must be readable at the same path on every worker.
Both ways give the same result, in log order.
"""

from __future__ import annotations

import concurrent.futures
import importlib
import logging
import multiprocessing
import os
import sys
import time
from collections import deque
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from typing import Any, TextIO

from quillet import batch
from quillet.audit import log
from quillet.audit.check import OUTCOMES, PartResult, check_records

CHUNK = 4096  # records per chunk a worker checks at once
PART_BYTES = 8 << 20  # bytes of log per cluster task

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
    """The summary of an audit and every record that is not valid, in log order."""

    files: list[str]
    records: int
    seconds: float
    counts: dict[str, dict[str, int]]
    issues: list[Issue]
    stages: dict[str, float]
    workers: str
    setup: float = 0.0  # of `seconds`, spent starting, reaching or closing the cluster
    totals: dict[str, int] = field(init=False)

    def __post_init__(self) -> None:
        self.totals = {o: sum(c.get(o, 0) for c in self.counts.values()) for o in OUTCOMES}

    @property
    def ok(self) -> bool:
        """Whether every record is valid."""
        return not self.issues

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
            "issues": [{"file": i.file, "record": i.record, "kind": i.kind,
                        "position_id": i.position_id, "nonce": i.nonce,
                        "outcome": i.outcome, "reason": i.reason} for i in self.issues],
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
        if self.issues:
            lines += ["", f"{len(self.issues):,} records not valid:"]
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
          progress: Progress | None = None, hide_diagnostics: bool = False) -> AuditResult:
    """Checks every record of the logs at `paths` (see quillet.audit.check).

    On this machine: `jobs` worker processes (default one per core), each
    checking a chunk of `chunk` records at a time with quillet.batch on one
    thread; jobs=1 checks in this process on `threads` threads. With `dask`
    ("local:N" for a LocalCluster of N processes, else a scheduler's address)
    the cluster checks parts of about `part_bytes`. `progress` is called after
    each chunk or part. `hide_diagnostics` keeps the module's line per refused
    item off standard error when checking in this process (it redirects the
    descriptor 2 meanwhile); worker processes of this machine or of a
    LocalCluster always keep it off.
    Raises AuditError for a log that cannot be read.
    """
    files = list(paths)
    began = time.perf_counter()
    setup = 0.0
    try:
        if dask is not None:
            per_file, workers, busy = _on_dask(files, dask, chunk, part_bytes, progress)
        else:
            per_file, workers = _on_this_machine(files, jobs, threads, chunk, progress,
                                                 hide_diagnostics)
    except log.LogError as error:
        raise AuditError(str(error)) from None
    seconds = time.perf_counter() - began
    if dask is not None:
        setup = max(0.0, seconds - busy)

    total = PartResult()
    issues = []
    for path, result in zip(files, per_file):
        issues += [Issue(path, f.index + 1, f.kind, f.outcome, f.reason, f.position_id, f.nonce)
                   for f in result.findings]
        result.findings = []
        total.merge(result)
    return AuditResult(files, total.records, seconds, total.counts, issues, total.stages, workers,
                       setup)


def check_part(part: log.Part, chunk: int = CHUNK, threads: int | None = 1,
               hide_diagnostics: bool = False) -> PartResult:
    """Checks one part of a log as a worker does: findings numbered within the part."""
    result = PartResult()
    for raw, _ in log.part_chunks(part, chunk):
        result.merge(check_records(raw, threads=threads, hide_diagnostics=hide_diagnostics))
    return result


def _on_this_machine(files: list[str], jobs: int | None, threads: int | None, chunk: int,
                     progress: Progress | None,
                     hide: bool) -> tuple[list[PartResult], str]:
    jobs = jobs or batch.default_threads()
    parts = [log.plan_parts(path)[0] for path in files]
    size = sum(p.size for p in parts)
    done_records = done_bytes = 0
    results = []

    def report(result: PartResult, consumed: int) -> None:
        nonlocal done_records, done_bytes
        done_records += result.records
        done_bytes += consumed
        if progress is not None:
            progress(done_records, done_bytes, size)

    if jobs == 1:
        for part in parts:
            whole = PartResult()
            for raw, consumed in log.part_chunks(part, chunk):
                result = check_records(raw, threads=threads, hide_diagnostics=hide)
                whole.merge(result)
                report(result, consumed)
            results.append(whole)
        return results, f"1 process, {threads or batch.default_threads()} threads"

    # fork is quick and needs no importable __main__, but is safe only while
    # this process runs no other thread (pyarrow starts native ones).
    context = multiprocessing.get_context("fork" if _single_threaded() else "spawn")
    with concurrent.futures.ProcessPoolExecutor(jobs, mp_context=context) as pool:
        for part in parts:
            whole = PartResult()
            flight: deque[tuple[concurrent.futures.Future[PartResult], int]] = deque()
            for raw, consumed in log.part_chunks(part, chunk):
                flight.append((pool.submit(check_records, raw, threads=1,
                                           hide_diagnostics=True), consumed))
                while len(flight) >= 2 * jobs:
                    _take(flight, whole, report)
            while flight:
                _take(flight, whole, report)
            results.append(whole)
    return results, f"{jobs} processes"


def _single_threaded() -> bool:
    try:
        return len(os.listdir("/proc/self/task")) == 1
    except OSError:
        return False


def _take(flight: deque[tuple[concurrent.futures.Future[PartResult], int]], whole: PartResult,
          report: Callable[[PartResult, int], None]) -> None:
    future, consumed = flight.popleft()
    result = future.result()
    whole.merge(result)
    report(result, consumed)


def _on_dask(files: list[str], address: str, chunk: int, part_bytes: int,
             progress: Progress | None) -> tuple[list[PartResult], str, float]:
    try:  # by name: optional extras without type information
        bag_module: Any = importlib.import_module("dask.bag")
        distributed: Any = importlib.import_module("distributed")
    except ImportError:
        raise AuditError(f"--dask needs dask and distributed: {log.AUDIT_EXTRA}") from None

    parts = [part for path in files for part in log.plan_parts(path, part_bytes)]
    size = sum(p.size for p in parts)
    if not parts:
        return [], "dask", 0.0
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
            bag = bag_module.from_sequence(parts, partition_size=1)
            # A LocalCluster's workers are processes of ours: the module's line per
            # refused item stays off the terminal. A remote worker's log is left alone.
            checked = bag.map(check_part, chunk, 1, cluster is not None)
            futures = client.compute(checked.to_delayed())
            done_records = done_bytes = 0
            sizes = {f.key: p.size for f, p in zip(futures, parts)}  # a part per partition
            for future in distributed.as_completed(futures):
                done_records += sum(r.records for r in future.result())
                done_bytes += sizes[future.key]
                if progress is not None:
                    progress(done_records, done_bytes, size)
            per_part = [r for f in futures for r in f.result()]
            busy = time.perf_counter() - began
    except (OSError, TimeoutError) as error:
        raise AuditError(f"dask scheduler {address}: {error}") from None
    except log.LogError:
        raise
    except Exception as error:  # a worker lost, or one without quillet_python_sdk
        raise AuditError(f"the cluster failed: {type(error).__name__}: {error}") from None
    finally:
        if cluster is not None:
            cluster.close()

    # Parts come back in log order; number each part's findings from its file's start.
    results: dict[str, PartResult] = {path: PartResult() for path in files}
    for part, result in zip(parts, per_part):
        results[part.path].merge(result)
    return [results[path] for path in files], workers, busy


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
