"""Times the `quillet` command's start-up in fresh processes: Python alone,
`import quillet.cli`, `quillet --version`, `quillet pubkey --key-file` of a
plain key file and `quillet sign-message` with the key in the environment.

Each round starts each run once, in turn, so that a machine busy with other
work slows every run alike; it prints each run's median CPU time (user +
system) and median wall time, with the load average, which says how busy
the machine was.

With --sources DIR (a tree's python/ directory, read first through
PYTHONPATH, the installed extension still used), once or more, every run
but Python alone runs from each DIR, interleaved with the installed
package's. Two versions of the Python side compare fairly as two DIRs
(each compiled first, since PYTHONDONTWRITEBYTECODE would have every run
compile it again).

  .venv/bin/python bench/bench_startup.py [--rounds 15] [--sources A/python ...]
"""

import argparse
import compileall
import os
import statistics
import sys
import tempfile

from bench_keystore import interleaved  # the runs in turn, each one's CPU and wall time

KEY = "0x" + "01" * 32  # below the group order, not 0: a key the command takes


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--sources", metavar="DIR", action="append", default=[],
                        help="also time the package in DIR (a python/ directory)")
    args = parser.parse_args()

    directory = tempfile.mkdtemp(prefix="bench-startup-")
    path = os.path.join(directory, "plain.key")
    with open(os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600), "w") as file:
        file.write(KEY + "\n")

    base = {k: v for k, v in os.environ.items()
            if k not in ("PYTHONPATH", "QUILLET_PRIVATE_KEY", "QUILLET_KEY_PASSPHRASE")}
    trees = {"installed": base}
    for number, sources in enumerate(args.sources, 1):
        compileall.compile_dir(sources, quiet=1)
        trees[f"sources {number}"] = {**base, "PYTHONPATH": os.path.abspath(sources)}
    python = sys.executable
    runs = {"python alone": ([python, "-c", "pass"], base)}
    for tree, env in trees.items():
        runs[f"{tree}: import quillet.cli"] = ([python, "-c", "import quillet.cli"], env)
        runs[f"{tree}: quillet --version"] = ([python, "-m", "quillet", "--version"], env)
        runs[f"{tree}: quillet pubkey"] = ([python, "-m", "quillet", "pubkey", "--key-file", path],
                                           env)
        runs[f"{tree}: quillet sign-message"] = ([python, "-m", "quillet", "sign-message", "0x5"],
                                                 {**env, "QUILLET_PRIVATE_KEY": KEY})

    load = os.getloadavg()[0]
    try:
        times = interleaved(runs, args.rounds)
    finally:
        os.unlink(path)
        os.rmdir(directory)

    print(f"{args.rounds} rounds, load average {load:.2f} at the start, "
          f"{os.getloadavg()[0]:.2f} at the end")
    for number, sources in enumerate(args.sources, 1):
        print(f"sources {number}: {sources}")
    print(f"{'':36} {'median CPU':>10} {'median wall':>11}")
    for name, values in times.items():
        cpu = statistics.median(value[0] for value in values)
        wall = statistics.median(value[1] for value in values)
        print(f"{name:36} {cpu * 1e3:7.1f} ms {wall * 1e3:8.1f} ms")


if __name__ == "__main__":
    main()
