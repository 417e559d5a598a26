"""Times the module's seventeen functions from Python, against reference paths
timed by the C++ benchmark suite in the same run.

For each function it prints the median µs/op, ops/s, and the ratio of the
Python call to its reference path:
- hash_*: one Poseidon permutation (BM_Permutation), times the number of
  permutations the sample document needs (a withdrawal to an address that is
  not the owner's key hashes twice), so 1.00 would be a hash that costs no more
  than its permutations;
- the other functions: the same operation called in C++ on the core library
  (or its nearest core benchmark), so the ratio is what the Python boundary,
  parsing and hashing add.
The reference benchmarks run in a subprocess of this script (quillet_bench
with --benchmark_format=json), once before and once after the Python
measurements; the median of all their repetitions is used.

It also starts fresh interpreters and times the first calls that build the two
one-time tables (POSEIDON_HASHER on the first hash, JUBJUB_PARAMS on the first
signature), and times the batch functions of quillet.batch (sign_many and
hash_many with threads=1 and threads=2) against a Python loop over the single
function on the same 256 limit orders, printing each speed-up as the median of
per-round ratios with its range; and verify_many against a loop over
verify_signature on 256 signatures (from 16 keys, from 256 keys, and from 16
keys with one invalid), with the goal the distinct-key ratio is held to.

Run after installing the module and building the benchmarks:
  cmake -S . -B build/cpp -G Ninja -DQUILLET_BUILD_BENCH=ON -DQUILLET_BUILD_PYTHON=OFF
  cmake --build build/cpp --target quillet_bench
  .venv/bin/python bench/bench_module.py [--bench build/cpp/bench/quillet_bench]
Without the benchmark binary the ratio column shows "-".
"""

import argparse
import json
import os
import statistics
import subprocess
import sys

from quillet import demo
from quillet.bench import (batch_table, cases, measure, run_batch,  # shared with `quillet bench`
                           run_verify_batch, verify_goals)

HERE = os.path.dirname(os.path.abspath(__file__))

# Reference benchmark of each function, and how many of it one call performs.
REFERENCES = {
    "private_key_from_seed": ("BM_PrivateKeyFromSeed", 1),
    "hash_transfer": ("BM_Permutation", 1),
    "hash_withdraw": ("BM_Permutation", None),  # set from the sample document
    "hash_limit_order": ("BM_Permutation", 1),
    "hash_liquidate": ("BM_Permutation", 1),
    "hash_signed_oracle_price": ("BM_Permutation", 1),
    "sign_transfer": ("BM_SdkSign", 1),
    "sign_withdraw": ("BM_SdkSign", 1),
    "sign_limit_order": ("BM_SdkSign", 1),
    "sign_liquidate": ("BM_SdkSign", 1),
    "sign_signed_oracle_price": ("BM_SdkSign", 1),
    "sign": ("BM_SdkSign", 1),
    "eth_sign": ("BM_SdkL1Sign", 1),
    "verify_signature": ("BM_SdkVerifySignature", 1),
    "private_key_to_public_key_xy": ("BM_PrivateKeyToPubkeyXy", 1),
    "public_key_to_xy": ("BM_PubKeyToXy", 1),
    "is_on_curve": ("BM_PubKeyToXy", 1),
}


def withdraw_permutations():
    """Permutations the sample withdrawal needs: two unless it pays the owner."""
    for kind, _, _, document in demo.DOCUMENTS:
        if kind == "withdraw":
            same = int(document["eth_address"], 16) == int(document["public_key"], 16)
            return 1 if same else 2
    return 1


def run_references(binary, names, repetitions):
    """{benchmark name: [seconds per iteration of each repetition]}."""
    pattern = "^(" + "|".join(sorted(names)) + ")$"
    out = subprocess.run(
        [binary, f"--benchmark_filter={pattern}", "--benchmark_format=json",
         f"--benchmark_repetitions={repetitions}", "--benchmark_min_time=0.05"],
        check=True, capture_output=True, text=True).stdout
    scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}
    times = {}
    for b in json.loads(out)["benchmarks"]:
        if b.get("run_type") != "iteration":
            continue
        name = b["run_name"]
        times.setdefault(name, []).append(b["real_time"] * scale[b["time_unit"]])
    return times


FIRST_CALLS = r"""
import json, sys, time
import quillet_python_sdk as q
from quillet import demo
from quillet.bench import SEED
docs = {kind: json.dumps(doc) for kind, _, _, doc in demo.DOCUMENTS}
key = q.private_key_from_seed(SEED)
t0 = time.perf_counter(); q.hash_transfer(docs["transfer"]); t1 = time.perf_counter()
q.hash_transfer(docs["transfer"]); t2 = time.perf_counter()
q.sign(key, demo.MESSAGE); t3 = time.perf_counter()
q.sign(key, demo.MESSAGE); t4 = time.perf_counter()
print(json.dumps({"hash_first": t1 - t0, "hash_next": t2 - t1, "sign_first": t3 - t2, "sign_next": t4 - t3}))
"""


def first_calls(processes):
    """Medians over fresh interpreters: the first hash and signature, and the
    one-time table builds (first call minus the next one)."""
    runs = []
    for _ in range(processes):
        out = subprocess.run([sys.executable, "-c", FIRST_CALLS],
                             check=True, capture_output=True, text=True).stdout
        runs.append(json.loads(out))
    med = {k: statistics.median(r[k] for r in runs) for k in runs[0]}
    tables = (med["hash_first"] - med["hash_next"]) + (med["sign_first"] - med["sign_next"])
    return med, tables


def default_binary():
    path = os.path.join(HERE, "..", "build", "cpp", "bench", "quillet_bench")
    return path if os.path.exists(path) else None


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bench", default=os.environ.get("QUILLET_BENCH") or default_binary(),
                        help="the quillet_bench binary (default: build/cpp/bench/quillet_bench)")
    parser.add_argument("--rounds", type=int, default=15, help="timed batches per function")
    parser.add_argument("--repetitions", type=int, default=5, help="repetitions of each reference benchmark")
    parser.add_argument("--processes", type=int, default=5, help="fresh interpreters for the first calls")
    parser.add_argument("--batch-rounds", type=int, default=7, help="rounds of the batch comparison")
    args = parser.parse_args()

    refs = dict(REFERENCES)
    refs["hash_withdraw"] = ("BM_Permutation", withdraw_permutations())
    names = {name for name, _ in refs.values()}

    ref_times = {}
    if args.bench:
        ref_times = run_references(args.bench, names, args.repetitions)
    results = [(name, measure(fn, args.rounds)) for name, fn in cases()]
    if args.bench:
        for name, samples in run_references(args.bench, names, args.repetitions).items():
            ref_times.setdefault(name, []).extend(samples)
    ref_median = {name: statistics.median(samples) for name, samples in ref_times.items()}

    print(f"{'function':30} {'median µs/op':>13} {'ops/s':>10} {'ratio':>7}  reference")
    for name, seconds in results:
        ref_name, count = refs[name]
        ratio = "-"
        if ref_name in ref_median:
            ratio = f"{seconds / (ref_median[ref_name] * count):.2f}"
        label = ref_name + (f" x{count}" if count != 1 else "")
        print(f"{name:30} {seconds * 1e6:13.2f} {1 / seconds:10.0f} {ratio:>7}  {label}")
    print()
    for name in sorted(ref_median):
        print(f"reference {name:28} {ref_median[name] * 1e6:11.2f} µs  "
              f"({len(ref_times[name])} repetitions, before and after)")

    med, tables = first_calls(args.processes)
    print()
    print(f"fresh process, medians of {args.processes}: first hash_transfer {med['hash_first'] * 1e3:.2f} ms "
          f"(next {med['hash_next'] * 1e6:.0f} µs), first sign {med['sign_first'] * 1e3:.2f} ms "
          f"(next {med['sign_next'] * 1e3:.2f} ms)")
    print(f"one-time tables (POSEIDON_HASHER + JUBJUB_PARAMS, first calls minus next): {tables * 1e3:.2f} ms")
    print()
    print(batch_table(run_batch(rounds=args.batch_rounds)))
    print()
    verify_rows = run_verify_batch(rounds=args.batch_rounds)
    print(batch_table(verify_rows, "signatures"))
    print(verify_goals(verify_rows))
    return 0


if __name__ == "__main__":
    sys.exit(main())
