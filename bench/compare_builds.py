"""Compares the module's single calls in two installs, in one run.

Each install is the interpreter of a virtual environment holding one build
(for example today's main and a change). Both run as workers side by side:
the rounds alternate between them, function by function and in turns, so that
both see the same load on a shared machine, and each function's time per call
is the minimum of its rounds (other work only ever adds time). A signing
round takes every key of quillet.bench's cycle, so that all rounds of both
builds do the same work. It prints the minimum µs per call in each build and
the ratio after ÷ before.

With --callgrind it also counts, under valgrind's callgrind, the instructions
per call of a loop over each function (after two warm-up calls, so one-time
tables are left out; the loop's own few hundred instructions, the same in both
builds, included): a ratio that no other load on the machine moves.

  python bench/compare_builds.py BEFORE/bin/python AFTER/bin/python [--callgrind]
"""

import argparse
import os
import subprocess
import sys
import tempfile
import time

WORKER = r"""
import sys, time
from quillet.bench import cases
functions = dict(cases())
for fn in functions.values():
    fn()
print("ready", flush=True)
for line in sys.stdin:
    name, n = line.split()
    fn = functions[name]
    start = time.perf_counter()
    for _ in range(int(n)):
        fn()
    print((time.perf_counter() - start) / int(n), flush=True)
"""

# Under callgrind: the counters are dumped, and so zeroed, whenever the marker
# sys.getswitchinterval() is entered; the second dump holds the measured calls.
# (CPython calls a module function from the loop straight through its C
# pointer, so no interpreter function brackets the call alone.)
COUNTED = r"""
import sys
from quillet.bench import cases
fn = dict(cases())[sys.argv[1]]
fn()
fn()
sys.getswitchinterval()
for _ in range(int(sys.argv[2])):
    fn()
sys.getswitchinterval()
"""
MARKER = "sys_getswitchinterval"


class Worker:
    def __init__(self, python):
        self.proc = subprocess.Popen([python, "-I", "-c", WORKER], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, text=True)
        if self.proc.stdout.readline().strip() != "ready":
            sys.exit(f"compare_builds: {python} did not start its worker")

    def time(self, name, n):
        self.proc.stdin.write(f"{name} {n}\n")
        self.proc.stdin.flush()
        return float(self.proc.stdout.readline())

    def close(self):
        self.proc.stdin.close()
        self.proc.wait()


def function_names(python):
    out = subprocess.run([python, "-I", "-c", "from quillet.bench import FUNCTIONS, SIGNING_KEYS\n"
                          "print(SIGNING_KEYS, *FUNCTIONS)"],
                         check=True, capture_output=True, text=True).stdout.split()
    return int(out[0]), out[1:]


def calls_per_round(worker, name, min_time, keys):
    """Calls lasting at least min_time; for a signing function, whole cycles of keys."""
    n = keys if name.startswith(("sign", "eth_sign")) else 1
    while worker.time(name, n) * n < min_time:
        n *= 2
    return n


def wall_times(before, after, rounds, min_time):
    keys, names = function_names(before)
    workers = [Worker(before), Worker(after)]
    try:
        calls = {name: calls_per_round(workers[0], name, min_time, keys) for name in names}
        best = {name: [float("inf"), float("inf")] for name in names}
        for r in range(rounds):
            for name in names:
                for k in ((0, 1) if r % 2 == 0 else (1, 0)):
                    best[name][k] = min(best[name][k], workers[k].time(name, calls[name]))
    finally:
        for w in workers:
            w.close()
    return names, best


def instructions(python, tag, name, calls, workdir):
    """Instructions per call of a loop over `name`, under callgrind."""
    prefix = os.path.join(workdir, f"{tag}.{name}")
    subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={prefix}",
                    f"--dump-before={MARKER}", python, "-I", "-c", COUNTED, name, str(calls)],
                   check=True, capture_output=True)
    with open(prefix + ".2") as f:
        for line in f:
            if line.startswith("summary:"):
                return int(line.split()[1]) / calls
    sys.exit(f"compare_builds: no callgrind count of {name} for {python}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("before", help="the interpreter of the install to compare against")
    parser.add_argument("after", help="the interpreter of the install compared")
    parser.add_argument("--rounds", type=int, default=40, help="timed rounds per function and build")
    parser.add_argument("--min-time", type=float, default=0.02, help="least seconds of one round")
    parser.add_argument("--callgrind", action="store_true", help="also count instructions per call")
    parser.add_argument("--calls", type=int, default=256, help="calls counted under callgrind")
    args = parser.parse_args()

    start = time.monotonic()
    names, best = wall_times(args.before, args.after, args.rounds, args.min_time)
    counts = {}
    if args.callgrind:
        with tempfile.TemporaryDirectory() as workdir:
            for name in names:
                counts[name] = [instructions(python, tag, name, args.calls, workdir)
                                for tag, python in (("before", args.before), ("after", args.after))]

    header = f"{'function':30} {'before µs':>10} {'after µs':>10} {'ratio':>7}"
    if counts:
        header += f" {'before Ir':>11} {'after Ir':>11} {'ratio':>7}"
    print(f"minimum of {args.rounds} interleaved rounds per function and build"
          + (f"; instructions per call over {args.calls} calls (callgrind)" if counts else ""))
    print(header)
    for name in names:
        b, a = best[name]
        line = f"{name:30} {b * 1e6:10.2f} {a * 1e6:10.2f} {a / b:7.3f}"
        if counts:
            cb, ca = counts[name]
            line += f" {cb:11.0f} {ca:11.0f} {ca / cb:7.4f}"
        print(line)
    print(f"({time.monotonic() - start:.0f} s)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
