"""Times unlocking a keystore (scrypt, n=2^18, r=8, p=1) in fresh processes,
against the KDF alone with the same parameters: the floor, since the KDF is
the unlock's whole work.

Each round starts, in turn: the KDFs alone (`python -c` of one call: the
native scrypt_into, hashlib.scrypt, and pycryptodome's scrypt where an
interpreter has it), Python alone, the imports alone (`import quillet.keys`,
`import quillet.cli`), the library (`PrivateKey.from_keystore(path,
passphrase)`) and the command (`quillet pubkey --key-file`). It prints each
one's median CPU time (user + system, of the process and its children), its
median wall time, and its CPU time above the native KDF's run and above
Python alone, with the load average, which says how busy the machine was.

With --sources DIR (a tree's python/ directory, read first through
PYTHONPATH, the installed extension still used), once or more, the imports,
the library and the command run from each DIR too, interleaved with the
installed package's. Two versions of the Python side compare fairly as two
DIRs (a source tree imports more slowly than the installed package); a tree
whose keystore.py calls hashlib times the unlock as it was before the native
KDF. pycryptodome is no dependency: --pycryptodome PYTHON names an
interpreter that has it (a scratch venv), else this one is used if it has it.

  .venv/bin/python bench/bench_keystore.py [--rounds 7] [--sources A/python ...]
      [--pycryptodome /tmp/venv/bin/python]
"""

import argparse
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time

PASSPHRASE = "the bench's passphrase, long enough"
N, R, P = 1 << 18, 8, 1
ARGS = "b'x' * 34, bytes(32)"

NATIVE = ("import quillet._batch as b; b.scrypt_into(%s, %d, %d, %d, bytearray(32))"
          % (ARGS, N, R, P))
HASHLIB = ("import hashlib; hashlib.scrypt(b'x' * 34, salt=bytes(32), n=%d, r=%d, p=%d, dklen=32, "
           "maxmem=%d)" % (N, R, P, 128 * R * (N + P + 2) + (1 << 20)))
PYCRYPTODOME = ("from Crypto.Protocol.KDF import scrypt; scrypt(%s, 32, %d, %d, %d)"
                % (ARGS, N, R, P))


def timed(command, env):
    """CPU time (user + system, of the process and its children) and wall
    time of one run of `command`."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    subprocess.run(command, env=env, check=True, stdout=subprocess.DEVNULL)
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime, wall


def interleaved(runs, rounds):
    """{name: [(CPU, wall) of each round]} of `runs` ({name: (command, env)}),
    each round running each once, in turn: a machine busy with other work
    slows every run alike."""
    times = {name: [] for name in runs}
    for _ in range(rounds):
        for name, (command, env) in runs.items():
            times[name].append(timed(command, env))
    return times


def has_pycryptodome(python):
    probe = subprocess.run([python, "-c", "import Crypto.Protocol.KDF"], capture_output=True)
    return probe.returncode == 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--sources", metavar="DIR", action="append", default=[],
                        help="also time the package in DIR (a python/ directory)")
    parser.add_argument("--pycryptodome", metavar="PYTHON",
                        help="an interpreter with pycryptodome, for its scrypt")
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
    runs = {"kdf: native scrypt_into": ([python, "-c", NATIVE], base),
            "kdf: hashlib.scrypt": ([python, "-c", HASHLIB], base)}
    other = args.pycryptodome or python
    if has_pycryptodome(other):
        runs["kdf: pycryptodome scrypt"] = ([other, "-c", PYCRYPTODOME], base)
    runs["python alone"] = ([python, "-c", "pass"], base)
    for tree, env in trees.items():
        runs[f"{tree}: import quillet.keys"] = ([python, "-c", "import quillet.keys"], env)
        runs[f"{tree}: import quillet.cli"] = ([python, "-c", "import quillet.cli"], env)
        runs[f"{tree}: from_keystore"] = (
            [python, "-c", "from quillet import PrivateKey; "
                            f"PrivateKey.from_keystore({path!r}, {PASSPHRASE!r})"], env)
        runs[f"{tree}: quillet pubkey"] = ([python, "-m", "quillet", "pubkey", "--key-file", path],
                                           env)

    try:
        times = interleaved(runs, args.rounds)
    finally:
        os.unlink(path)
        os.rmdir(directory)

    def median(name, i):
        return statistics.median(value[i] for value in times[name])

    floor = median("kdf: native scrypt_into", 0)
    alone = median("python alone", 0)
    print(f"{args.rounds} rounds, load average {os.getloadavg()[0]:.2f} at the end")
    for number, sources in enumerate(args.sources, 1):
        print(f"sources {number}: {sources}")
    if other != python and "kdf: pycryptodome scrypt" in runs:
        print(f"pycryptodome: {other}")
    print(f"{'':36} {'median CPU':>10} {'median wall':>11} {'above native':>13} "
          f"{'above python':>13}")
    for name in times:
        cpu, wall = median(name, 0), median(name, 1)
        print(f"{name:36} {cpu * 1e3:8.1f} ms {wall * 1e3:8.1f} ms {(cpu - floor) * 1e3:+10.1f} ms "
              f"{(cpu - alone) * 1e3:+10.1f} ms")


if __name__ == "__main__":
    main()
