"""Times the module's functions from Python: median seconds per call.

Shared by `quillet bench` and bench/bench_module.py.
"""

from __future__ import annotations

import functools
import json
import statistics
import time
from collections.abc import Callable, Iterator

import quillet_python_sdk as q

from quillet import demo

SEED = "benchmark seed, thirty-two bytes or more of it"

# The names cases() yields, in its order: one per function of the module.
FUNCTIONS = (
    "private_key_from_seed",
    *(f"{prefix}_{kind}" for kind, *_ in demo.DOCUMENTS for prefix in ("hash", "sign")),
    "sign",
    "eth_sign",
    "verify_signature",
    "private_key_to_public_key_xy",
    "public_key_to_xy",
    "is_on_curve",
)


def cases() -> Iterator[tuple[str, Callable[[], object]]]:
    """(name, callable) for each of the module's functions, on the demo's documents."""
    yield "private_key_from_seed", lambda: q.private_key_from_seed(SEED)
    key = q.private_key_from_seed(SEED)
    pub = json.loads(q.private_key_to_public_key_xy(key))
    msg = demo.MESSAGE
    sig = json.loads(q.sign(key, msg))
    for kind, hash_fn, sign_fn, document in demo.DOCUMENTS:
        text = json.dumps(document)
        yield f"hash_{kind}", functools.partial(hash_fn, text)
        yield f"sign_{kind}", functools.partial(sign_fn, text, key)
    yield "sign", lambda: q.sign(key, msg)
    yield "eth_sign", lambda: q.eth_sign(key, msg)
    yield "verify_signature", lambda: q.verify_signature(sig["r"], sig["s"], pub["x"], pub["y"], msg)
    yield "private_key_to_public_key_xy", lambda: q.private_key_to_public_key_xy(key)
    yield "public_key_to_xy", lambda: q.public_key_to_xy(pub["x"])
    yield "is_on_curve", lambda: q.is_on_curve(pub["x"], pub["y"])


def measure(fn: Callable[[], object], rounds: int = 15, min_time: float = 0.02) -> float:
    """Median seconds per call of fn over `rounds` rounds, each round long
    enough (doubling the calls per round) to last at least min_time seconds.
    """
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


def run(names: set[str] | None = None, rounds: int = 15,
        min_time: float = 0.02) -> list[tuple[str, float]]:
    """(name, median seconds per call) for each function in `names` (all if None)."""
    return [(name, measure(fn, rounds, min_time))
            for name, fn in cases() if names is None or name in names]


def table(results: list[tuple[str, float]]) -> str:
    """The results as an aligned text table: function, median µs/op, ops/s."""
    lines = [f"{'function':32} {'median µs/op':>14} {'ops/s':>12}"]
    lines += [f"{name:32} {seconds * 1e6:14.2f} {1 / seconds:12.0f}" for name, seconds in results]
    return "\n".join(lines)
