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
    """(name, callable) for each of the module's functions."""
    yield "private_key_from_seed", lambda: q.private_key_from_seed(SEED)
    key = q.private_key_from_seed(SEED)
    pub = json.loads(q.private_key_to_public_key_xy(key))
    msg = demo.MESSAGE
    sig = json.loads(q.sign(key, msg))
    for kind, hash_fn, sign_fn, document in demo.DOCUMENTS:
        text = json.dumps(document)
        yield f"hash_{kind}", lambda f=hash_fn, t=text: f(t)
        yield f"sign_{kind}", lambda f=sign_fn, t=text: f(t, key)
    yield "sign", lambda: q.sign(key, msg)
    yield "eth_sign", lambda: q.eth_sign(key, msg)
    yield "verify_signature", lambda: q.verify_signature(sig["r"], sig["s"], pub["x"], pub["y"], msg)
    yield "private_key_to_public_key_xy", lambda: q.private_key_to_public_key_xy(key)
    yield "public_key_to_xy", lambda: q.public_key_to_xy(pub["x"])
    yield "is_on_curve", lambda: q.is_on_curve(pub["x"], pub["y"])


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
        seconds = measure(fn)
        print(f"{name:32} {seconds * 1e6:14.2f} {1 / seconds:12.0f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
