"""Times the module's functions from Python: median seconds per call; and the
batch functions of quillet.batch against a Python loop over the single ones.

Shared by `quillet bench` and bench/bench_module.py.
"""

from __future__ import annotations

import functools
import itertools
import json
import os
import time
from collections.abc import Callable, Iterator
from typing import NamedTuple

import quillet_python_sdk as q

from quillet import batch, demo

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


# Signing draws nonce candidates until one is below the group order: 42 on
# average, but a fixed number for a given key and message, from a handful to
# over a hundred. Signing cases therefore take the keys in turn from this many,
# so that their medians are those of an average signature, not of one draw.
SIGNING_KEYS = 256


def _with_next_key(sign_fn: Callable[[str, str], str], text: str,
                   next_key: Callable[[], str]) -> Callable[[], str]:
    return lambda: sign_fn(text, next_key())


def cases() -> Iterator[tuple[str, Callable[[], object]]]:
    """(name, callable) for each of the module's functions, on the demo's
    documents; signing cases cycle through SIGNING_KEYS keys."""
    yield "private_key_from_seed", lambda: q.private_key_from_seed(SEED)
    key = q.private_key_from_seed(SEED)
    next_key = itertools.cycle([q.private_key_from_seed(f"{SEED} {i}") for i in range(SIGNING_KEYS)]).__next__
    pub = json.loads(q.private_key_to_public_key_xy(key))
    msg = demo.MESSAGE
    sig = json.loads(q.sign(key, msg))
    for kind, hash_fn, sign_fn, document in demo.DOCUMENTS:
        text = json.dumps(document)
        yield f"hash_{kind}", functools.partial(hash_fn, text)
        yield f"sign_{kind}", _with_next_key(sign_fn, text, next_key)
    yield "sign", lambda: q.sign(next_key(), msg)
    yield "eth_sign", lambda: q.eth_sign(next_key(), msg)
    yield "verify_signature", lambda: q.verify_signature(sig["r"], sig["s"], pub["x"], pub["y"], msg)
    yield "private_key_to_public_key_xy", lambda: q.private_key_to_public_key_xy(key)
    yield "public_key_to_xy", lambda: q.public_key_to_xy(pub["x"])
    yield "is_on_curve", lambda: q.is_on_curve(pub["x"], pub["y"])


def measure(fn: Callable[[], object], rounds: int = 15, min_time: float = 0.02) -> float:
    """Median seconds per call of fn over `rounds` rounds, each round long
    enough (doubling the calls per round) to last at least min_time seconds.
    """
    fn()  # warm-up, builds any one-time tables
    n = _repeats(fn, min_time)
    samples = []
    for _ in range(rounds):
        start = time.perf_counter()
        for _ in range(n):
            fn()
        samples.append((time.perf_counter() - start) / n)
    return _median(samples)


def _median(values: list[float]) -> float:
    # statistics.median's value; the module (with fractions and decimal) would
    # cost every command of the command line a few milliseconds to import.
    ordered = sorted(values)
    middle = len(ordered) // 2
    return ordered[middle] if len(ordered) % 2 else (ordered[middle - 1] + ordered[middle]) / 2


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


# --- batch calls against a Python loop ---------------------------------------

BATCH_SIZE = 256


def batch_documents(count: int = BATCH_SIZE) -> list[str]:
    """`count` distinct limit orders: the demo's order with nonces 1..count."""
    return [json.dumps({**demo.ORDER, "nonce": str(i)}) for i in range(1, count + 1)]


BatchCase = tuple[str, Callable[[], object]]


def batch_cases(count: int = BATCH_SIZE) -> Iterator[tuple[str, list[BatchCase]]]:
    """(loop name, [(name, callable)]) groups; each callable does the same
    `count` items, the first of each group by a Python loop over the single
    function."""
    key = q.private_key_from_seed(SEED)
    docs = batch_documents(count)
    yield "sign_limit_order", [
        ("loop over sign_limit_order", lambda: [q.sign_limit_order(doc, key) for doc in docs]),
        ("sign_many threads=1", lambda: batch.sign_many("limit_order", docs, key, threads=1)),
        ("sign_many threads=2", lambda: batch.sign_many("limit_order", docs, key, threads=2)),
    ]
    yield "hash_limit_order", [
        ("loop over hash_limit_order", lambda: [q.hash_limit_order(doc) for doc in docs]),
        ("hash_many threads=1", lambda: batch.hash_many("limit_order", docs, threads=1)),
        ("hash_many threads=2", lambda: batch.hash_many("limit_order", docs, threads=2)),
    ]


def _repeats(fn: Callable[[], object], min_time: float) -> int:
    """Calls of fn that last at least min_time seconds (doubling from 1)."""
    n = 1
    while True:
        start = time.perf_counter()
        for _ in range(n):
            fn()
        if time.perf_counter() - start >= min_time:
            return n
        n *= 2


class BatchRow(NamedTuple):
    name: str
    items: int  # per call
    items_per_s: float  # median over the rounds
    ratio: float  # items/s over the loop's, median of the rounds' ratios
    ratio_min: float
    ratio_max: float
    cores: float  # CPU seconds per wall second the process got, median over the rounds
    cpu_per_item: float  # CPU seconds, all threads, median over the rounds


def run_batch(count: int = BATCH_SIZE, rounds: int = 7,
              min_time: float = 0.1) -> list[BatchRow]:
    """Items per second of each batch case and its speed-up over the loop.

    In every round the cases of a group run back to back, so that each
    round's ratios compare timings taken under the same machine load; a
    ratio is reported as the median of the rounds' ratios with their minimum
    and maximum, which show how noisy the machine was. `cores` tells how many
    cores the process actually had meanwhile: about 2 for two threads on an
    idle machine, less when other processes take them. `cpu_per_item` does
    not depend on that load: equal for the loop and a batch, it means the
    batch adds no work, only cores.
    """
    return _run_groups([group for _, group in batch_cases(count)], count, rounds, min_time)


def _run_groups(groups: list[list[BatchCase]], count: int, rounds: int,
                min_time: float) -> list[BatchRow]:
    """run_batch's timing of each group, the first case of each the loop."""
    rows: list[BatchRow] = []
    for group in groups:
        repeats = [_repeats(fn, min_time) for _, fn in group]  # also the warm-up
        per_item: list[list[float]] = [[] for _ in group]
        cores: list[list[float]] = [[] for _ in group]
        cpu_per_item: list[list[float]] = [[] for _ in group]
        for _ in range(rounds):
            for (_, fn), n, samples, used, cpu_samples in zip(group, repeats, per_item, cores,
                                                               cpu_per_item):
                cpu_start, start = time.process_time(), time.perf_counter()
                for _ in range(n):
                    fn()
                wall = time.perf_counter() - start
                cpu = time.process_time() - cpu_start
                samples.append(wall / (n * count))
                used.append(cpu / wall)
                cpu_samples.append(cpu / (n * count))
        loop = per_item[0]
        for (name, _), samples, used, cpu_samples in zip(group, per_item, cores, cpu_per_item):
            ratios = [base / t for base, t in zip(loop, samples)]
            rows.append(BatchRow(name, count, 1 / _median(samples),
                                 _median(ratios), min(ratios), max(ratios),
                                 _median(used), _median(cpu_samples)))
    return rows


def batch_table(rows: list[BatchRow], what: str = "limit orders") -> str:
    """The rows of run_batch (or run_verify_batch, what="signatures") as an
    aligned text table."""
    title = f"batch of {rows[0].items} {what}" if rows else "batch"
    width = max([30, len(title)] + [len(row.name) for row in rows])
    lines = [f"{title:{width}} {'items/s':>8} {'vs loop':>8} {'(min-max)':>11} {'cores':>6} "
             f"{'CPU µs/item':>12}"]
    lines += [f"{row.name:{width}} {row.items_per_s:8.0f} {row.ratio:8.2f} "
              f"{f'({row.ratio_min:.2f}-{row.ratio_max:.2f})':>11} {row.cores:6.2f} "
              f"{row.cpu_per_item * 1e6:12.1f}" for row in rows]
    # Other processes take cores from the threads: the ratios need this to be read.
    lines.append(f"load average {os.getloadavg()[0]:.2f} on {os.cpu_count()} cores; "
                 f"default threads {batch.default_threads()}; "
                 f"Poseidon lanes {batch.lane_kernel()}")
    return "\n".join(lines)


# --- batch verification against a loop --------------------------------------

VerifyItem = tuple[str, str, str, str, str]


def verify_items(count: int, keys: int, invalid: int | None = None) -> list[VerifyItem]:
    """`count` verify_signature argument tuples signed by `keys` keys in turn,
    each on its own message; item `invalid` (if any) carries the S of another
    message, so it alone does not verify."""
    private = [q.private_key_from_seed(f"{SEED} verify {k}") for k in range(keys)]
    public = [json.loads(q.private_key_to_public_key_xy(key)) for key in private]
    def message(i: int) -> str:
        return f"0x{(0x9E3779B97F4A7C15 * (i + 1)) % 2**250:064x}"

    items: list[VerifyItem] = []
    for i in range(count):
        key, pub = private[i % keys], public[i % keys]
        sig = json.loads(q.sign(key, message(i)))
        s = sig["s"] if i != invalid else json.loads(q.sign(key, message(count + i)))["s"]
        items.append((sig["r"], s, pub["x"], pub["y"], message(i)))
    return items


# (label, keys (None: one per item), one invalid item, goal: verify_many
# threads=1 over the loop).
# The goal is the current one; the others print their ratio only (since
# verify_signature caches keys, a loop over 16 keys is itself twice as fast).
VERIFY_CASES: tuple[tuple[str, int | None, bool, float | None], ...] = (
    ("16 keys", 16, False, None), ("distinct keys", None, False, 3.5),
    ("one invalid, 16 keys", 16, True, None))


def _verify_group(label: str, items: list[VerifyItem]) -> list[BatchCase]:
    return [
        (f"loop over verify_signature ({label})", lambda: [q.verify_signature(*it) for it in items]),
        (f"verify_many threads=1 ({label})", lambda: batch.verify_many(items, threads=1)),
        (f"verify_many threads=2 ({label})", lambda: batch.verify_many(items, threads=2)),
    ]


def run_verify_batch(count: int = BATCH_SIZE, rounds: int = 7,
                     min_time: float = 0.1) -> list[BatchRow]:
    """verify_many against a Python loop over verify_signature, timed as
    run_batch times its cases, for each of VERIFY_CASES."""
    groups = [_verify_group(label, verify_items(count, keys or count, count // 3 if invalid else None))
              for label, keys, invalid, _ in VERIFY_CASES]
    return _run_groups(groups, count, rounds, min_time)


def verify_goals(rows: list[BatchRow]) -> str:
    """Each goal of VERIFY_CASES with the ratio reached in `rows`."""
    ratio = {row.name: row for row in rows}
    lines = []
    for label, _, _, goal in VERIFY_CASES:
        row = ratio.get(f"verify_many threads=1 ({label})")
        if row is None or goal is None:
            continue
        verdict = "met" if row.ratio >= goal else "missed"
        lines.append(f"goal verify_many threads=1 ({label}) >= {goal:.1f}x the loop: "
                     f"{row.ratio:.2f}x ({row.ratio_min:.2f}-{row.ratio_max:.2f}), {verdict}")
    return "\n".join(lines)
