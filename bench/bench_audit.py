"""Times `quillet audit` on a sample order log, on this machine and on a Dask
LocalCluster, with the peak memory of each run.

It writes a log of --records records (default 100,000; 0.25 % of them
corrupted each of the four ways) and prints:
- the rate of each stage per core (parse, hash, verify), from one process
  checking --stage-records records on one thread;
- `quillet audit LOG` on this machine: one worker process per core, and in one
  process with quillet.batch's threads (--jobs 1);
- `quillet audit LOG --dask local:N` (N = cores): the rate once the cluster is
  up, the cluster's start and stop, and its efficiency against N cores at the
  one-process rate;
- the peak resident memory of each run, summed over the process and all its
  children (sampled every 20 ms).
Every run is a fresh `python -m quillet audit` process and must exit 1 (the log
has corrupted records) with the counts the log was written with.

  .venv/bin/python bench/bench_audit.py [--records N] [--keep DIR]
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import threading
import time

from quillet import audit, batch

SHARE = 0.0025


def tree_rss(pid: int) -> int:
    """Resident bytes of a process and all its descendants."""
    total, todo = 0, [pid]
    while todo:
        p = todo.pop()
        try:
            with open(f"/proc/{p}/status") as status:
                total += next(int(line.split()[1]) * 1024 for line in status
                              if line.startswith("VmRSS:"))
            for task in os.listdir(f"/proc/{p}/task"):
                with open(f"/proc/{p}/task/{task}/children") as children:
                    todo += [int(c) for c in children.read().split()]
        except (OSError, StopIteration):
            continue
    return total


def run_audit(*args: str) -> tuple[dict, int]:
    """Runs `python -m quillet audit ARGS`; returns its JSON and the peak memory."""
    proc = subprocess.Popen([sys.executable, "-m", "quillet", "audit", "--no-progress", *args],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    peak = 0
    done = threading.Event()

    def sample() -> None:
        nonlocal peak
        while not done.is_set():
            peak = max(peak, tree_rss(proc.pid))
            time.sleep(0.02)

    sampler = threading.Thread(target=sample)
    sampler.start()
    out, err = proc.communicate()
    done.set()
    sampler.join()
    if proc.returncode != 1:
        raise SystemExit(f"quillet audit {' '.join(args)} exited {proc.returncode}: {err.decode()}")
    return json.loads(out), peak


def write(path: str, count: int) -> dict[str, int]:
    shares = dict.fromkeys(audit.CORRUPTIONS, SHARE)
    expected = dict.fromkeys(audit.OUTCOMES, 0)

    def records():
        for record, corruption in audit.sample_log(count, shares):
            expected[audit.EXPECTED[corruption]] += 1
            yield record

    audit.write_log(path, records())
    return expected


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--records", type=int, default=100_000)
    parser.add_argument("--stage-records", type=int, default=20_000)
    parser.add_argument("--keep", metavar="DIR", help="write the logs here and keep them")
    args = parser.parse_args()
    cores = batch.default_threads()
    folder = args.keep or tempfile.mkdtemp(prefix="quillet-audit-bench-")
    log_path = os.path.join(folder, f"orders-{args.records}.ndjson")
    stage_path = os.path.join(folder, f"orders-{args.stage_records}.ndjson")

    began = time.perf_counter()
    expected = write(log_path, args.records)
    print(f"wrote {args.records:,} records ({os.path.getsize(log_path) / 1e6:.0f} MB) "
          f"in {time.perf_counter() - began:.1f} s; expected {expected}")
    write(stage_path, args.stage_records)

    # One process, one thread: the cost of each stage per core.
    stages = audit.audit([stage_path], jobs=1, threads=1, hide_diagnostics=True)
    print(f"\nper core ({args.stage_records:,} records, one process, one thread):")
    for stage, seconds in stages.stages.items():
        print(f"  {stage:<7} {args.stage_records / seconds:>9,.0f} records/s")
    per_core = stages.records_per_s
    print(f"  all     {per_core:>9,.0f} records/s")

    print(f"\n{args.records:,} records, {cores} cores:")
    print(f"  {'run':<34} {'records/s':>10} {'vs 1 core':>9} {'setup s':>8} {'peak MB':>8}")
    result, peak = run_audit(stage_path)
    print(f"  {'(' + format(args.stage_records, ',') + ' records, a process per core)':<34} "
          f"{result['records_per_s']:>10,} {result['records_per_s'] / per_core:>9.2f} "
          f"{0:>8.1f} {peak / 1e6:>8.0f}")
    runs = [("this machine, a process per core", []),
            ("this machine, 1 process, threads", ["--jobs", "1"]),
            (f"dask LocalCluster, {cores} workers", ["--dask", f"local:{cores}"])]
    for name, extra in runs:
        result, peak = run_audit(log_path, *extra)
        if result["outcomes"] != expected:
            raise SystemExit(f"{name}: found {result['outcomes']}, expected {expected}")
        rate = result["records_per_s"]
        print(f"  {name:<34} {rate:>10,} {rate / per_core:>9.2f} "
              f"{result['setup_seconds']:>8.1f} {peak / 1e6:>8.0f}")
    print(f"\n(efficiency of N workers: their rate / (N x {per_core:,.0f}))")
    if not args.keep:
        for path in (log_path, stage_path):
            os.remove(path)
        os.rmdir(folder)


if __name__ == "__main__":
    main()
