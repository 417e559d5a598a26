"""Times the module's functions from Python: median µs/op and ops/s.

Run after installing the module: .venv/bin/python bench/bench_module.py
"""

import json
import os
import statistics
import sys
import time

import quillet_python_sdk as q

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "examples"))
import demo  # noqa: E402  (its embedded sample documents)

SEED = "benchmark seed, thirty-two bytes or more of it"


def cases():
    """(name, callable) for every function that has a working core."""
    yield "private_key_from_seed", lambda: q.private_key_from_seed(SEED)
    for kind, hash_fn, document in demo.DOCUMENTS:
        text = json.dumps(document)
        yield f"hash_{kind}", lambda f=hash_fn, t=text: f(t)


def measure(fn, rounds=15, min_time=0.02):
    fn()  # warm-up, builds any one-time tables
    n = 1
    while True:
        start = time.perf_counter()
        for _ in range(n):
            fn()
        if time.perf_counter() - start >= min_time:
            break
        n *= 2
    samples = []
    for _ in range(rounds):
        start = time.perf_counter()
        for _ in range(n):
            fn()
        samples.append((time.perf_counter() - start) / n)
    return statistics.median(samples)


def main():
    print(f"{'function':32} {'median µs/op':>14} {'ops/s':>12}")
    for name, fn in cases():
        try:
            seconds = measure(fn)
        except NotImplementedError:
            continue
        print(f"{name:32} {seconds * 1e6:14.2f} {1 / seconds:12.0f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
