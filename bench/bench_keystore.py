"""Times unlocking a keystore (scrypt, n=2^18, r=8, p=1) in fresh processes,
against hashlib.scrypt alone with the same parameters: the floor, since the
KDF is the unlock's whole work.

Each round starts, in turn: the floor (`python -c` of one hashlib.scrypt
call), the imports alone (`import quillet.keys`, `import quillet.cli`), the
library (`PrivateKey.from_keystore(path, passphrase)`) and the command
(`quillet pubkey --key-file`). It prints each one's median CPU time (user +
system, of the process and its children) and its excess over the floor,
with the load average, which says how busy the machine was.

With --sources DIR (a tree's python/ directory, read first through
PYTHONPATH, the installed extension still used), once or more, the imports,
the library and the command run from each DIR too, interleaved with the
installed package's. Two versions of the Python side compare fairly as two
DIRs (a source tree imports more slowly than the installed package):

  .venv/bin/python bench/bench_keystore.py [--rounds 7] [--sources A/python --sources B/python]
"""

import argparse
import os
import resource
import statistics
import subprocess
import sys
import tempfile

PASSPHRASE = "the bench's passphrase, long enough"
N, R, P = 1 << 18, 8, 1

FLOOR = ("import hashlib; hashlib.scrypt(b'x' * 34, salt=bytes(32), n=%d, r=%d, p=%d, dklen=32, "
         "maxmem=%d)" % (N, R, P, 128 * R * (N + P + 2) + (1 << 20)))


def cpu_seconds(command, env):
    """User and system CPU time of one run of `command` and its children."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    subprocess.run(command, env=env, check=True, stdout=subprocess.DEVNULL)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--sources", metavar="DIR", action="append", default=[],
                        help="also time the package in DIR (a python/ directory)")
    args = parser.parse_args()

    from quillet import PrivateKey  # the installed package writes the keystore once
    directory = tempfile.mkdtemp(prefix="bench-keystore-")
    path = os.path.join(directory, "bench.keystore")
    with open(os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600), "w") as file:
        file.write(PrivateKey.generate().to_keystore(PASSPHRASE))

    base = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "QUILLET_PRIVATE_KEY")}
    base["QUILLET_KEY_PASSPHRASE"] = PASSPHRASE
    trees = {"installed": base}
    for number, sources in enumerate(args.sources, 1):
        trees[f"sources {number}"] = {**base, "PYTHONPATH": os.path.abspath(sources)}
    python = sys.executable
    runs = {"floor: hashlib.scrypt": ([python, "-c", FLOOR], base),
            "python alone": ([python, "-c", "pass"], base)}
    for tree, env in trees.items():
        runs[f"{tree}: import quillet.keys"] = ([python, "-c", "import quillet.keys"], env)
        runs[f"{tree}: import quillet.cli"] = ([python, "-c", "import quillet.cli"], env)
        runs[f"{tree}: from_keystore"] = (
            [python, "-c", "from quillet import PrivateKey; "
                            f"PrivateKey.from_keystore({path!r}, {PASSPHRASE!r})"], env)
        runs[f"{tree}: quillet pubkey"] = ([python, "-m", "quillet", "pubkey", "--key-file", path],
                                           env)

    times = {name: [] for name in runs}
    try:
        for _ in range(args.rounds):
            for name, (command, env) in runs.items():
                times[name].append(cpu_seconds(command, env))
    finally:
        os.unlink(path)
        os.rmdir(directory)

    floor = statistics.median(times["floor: hashlib.scrypt"])
    alone = statistics.median(times["python alone"])
    print(f"{args.rounds} rounds, load average {os.getloadavg()[0]:.2f} at the end")
    for number, sources in enumerate(args.sources, 1):
        print(f"sources {number}: {sources}")
    print(f"{'':36} {'median CPU':>10} {'above floor':>12} {'above python':>13}")
    for name, values in times.items():
        median = statistics.median(values)
        print(f"{name:36} {median * 1e3:8.1f} ms {(median - floor) * 1e3:+9.1f} ms "
              f"{(median - alone) * 1e3:+10.1f} ms")


if __name__ == "__main__":
    main()
