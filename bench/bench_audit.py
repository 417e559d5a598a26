"""Times `quillet audit` on a sample order log, on this machine and on a Dask
LocalCluster, with the peak memory of each run.

It writes a log of --records records (default 100,000; 0.25 % of them
corrupted each of the four ways) and prints:
- the rate of each stage per core (parse, hash, verify), from one process
  checking --stage-records records on one thread;
- `quillet audit LOG` on this machine (one worker process per core, and one
  process with quillet.batch's threads: --jobs 1) and `quillet audit LOG --dask
  local:N` (N = cores), each on both logs: the rate (for the cluster once it
  is up), the CPU efficiency (the stages' CPU per record over the CPU each
  further record costs the run, from the difference of the two logs: on an
  idle machine the rate is cores x per-core rate x this), the fixed CPU cost
  of starting, and the peak memory (proportional set size, summed over the
  process and all its children, sampled every 20 ms) on each log.
Every run is a fresh `python -m quillet audit` process and must exit 1 (the log
has corrupted records) with the counts the log was written with.

  .venv/bin/python bench/bench_audit.py [--records N] [--keep DIR]
"""

import argparse
import json
import os
import resource
import subprocess
import sys
import tempfile
import threading
import time

from quillet import audit, batch

SHARE = 0.0025


def tree_memory(pid: int) -> int:
    """Proportional resident bytes (PSS: a page shared by n processes counts 1/n
    in each, so forked workers are not counted twice) of a process and all its
    descendants."""
    total, todo = 0, [pid]
    while todo:
        p = todo.pop()
        try:
            with open(f"/proc/{p}/smaps_rollup") as rollup:
                total += next(int(line.split()[1]) * 1024 for line in rollup
                              if line.startswith("Pss:"))
            for task in os.listdir(f"/proc/{p}/task"):
                with open(f"/proc/{p}/task/{task}/children") as children:
                    todo += [int(c) for c in children.read().split()]
        except (OSError, StopIteration):
            continue
    return total


def run_audit(*args: str) -> tuple[dict, int, float]:
    """Runs `python -m quillet audit ARGS`; returns its JSON, the peak memory and
    the CPU seconds of the run and every process it started."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    proc = subprocess.Popen([sys.executable, "-m", "quillet", "audit", "--no-progress", *args],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    peak = 0
    done = threading.Event()

    def sample() -> None:
        nonlocal peak
        while not done.is_set():
            peak = max(peak, tree_memory(proc.pid))
            time.sleep(0.02)

    sampler = threading.Thread(target=sample)
    sampler.start()
    out, err = proc.communicate()
    done.set()
    sampler.join()
    if proc.returncode != 1:
        raise SystemExit(f"quillet audit {' '.join(args)} exited {proc.returncode}: {err.decode()}")
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime + after.ru_stime) - (before.ru_utime + before.ru_stime)
    return json.loads(out), peak, cpu


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

    # One process, one thread: the cost of each stage per core, in CPU time,
    # which other jobs on the machine do not inflate as they do wall time.
    stages = audit.audit([stage_path], jobs=1, threads=1, hide_diagnostics=True)
    print(f"\nper core ({args.stage_records:,} records, one process, one thread, CPU time):")
    for stage, seconds in stages.stages.items():
        print(f"  {stage:<7} {args.stage_records / seconds:>9,.0f} records/s")
    per_core = args.stage_records / sum(stages.stages.values())
    print(f"  all     {per_core:>9,.0f} records/s")

    print(f"\n{cores} cores, load average {os.getloadavg()[0]:.1f} before the runs; "
          f"each way on {args.stage_records:,} and on {args.records:,} records:")
    print(f"  {'run':<28} {'records/s':>10} {'vs 1 core':>9} {'CPU eff.':>8} {'fixed CPU s':>11} "
          f"{'setup s':>8} {'peak MB':>13}")
    ways = [("a process per core", []), ("1 process, batch threads", ["--jobs", "1"]),
            (f"LocalCluster of {cores}", ["--dask", f"local:{cores}"])]
    for name, extra in ways:
        (small, small_peak, small_cpu), (big, big_peak, big_cpu) = (
            run_audit(path, *extra) for path in (stage_path, log_path))
        if big["outcomes"] != expected:
            raise SystemExit(f"{name}: found {big['outcomes']}, expected {expected}")
        # CPU efficiency: the CPU the checking stages need per record, over the
        # CPU the run spends per further record (reading, shipping records to
        # workers, the cluster's traffic); the fixed part is start-up.
        extra_cpu = big_cpu - small_cpu
        efficiency = (args.records - args.stage_records) / per_core / extra_cpu
        fixed = small_cpu - args.stage_records * extra_cpu / (args.records - args.stage_records)
        rate = big["records_per_s"]
        print(f"  {name:<28} {rate:>10,} {rate / per_core:>9.2f} {efficiency:>8.2f} "
              f"{fixed:>11.1f} {big['setup_seconds']:>8.1f} "
              f"{small_peak / 1e6:>6.0f} {big_peak / 1e6:>6.0f}")
    print(f"\n(records/s and setup on the larger log; vs 1 core: the rate over {per_core:,.0f}; "
          "peak MB on the smaller and the larger log. On an idle machine N workers "
          "check about N x the per-core rate x the CPU efficiency.)")
    if not args.keep:
        for path in (log_path, stage_path):
            os.remove(path)
        os.rmdir(folder)


if __name__ == "__main__":
    main()
