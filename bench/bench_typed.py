"""Times the typed API against the module calls it wraps, and the typed batches
against the raw batch calls, as ratios (typed / raw; 1.00 costs nothing more).

Each ratio is min(typed) / min(raw) over interleaved rounds on the same inputs
(the machine may be shared: minimums are the least disturbed). With --before
DIR (a copy of an older quillet package, e.g. made by `git worktree add`), the
same measurements run there too, in the same run, round by round, and both
columns are printed; a typed call that the older package lacks shows "-".

  .venv/bin/python bench/bench_typed.py [--before /tmp/old-src] [--rounds 9]
"""

import argparse
import json
import os
import subprocess
import sys
import time

WORKER = r"""
import json, sys, time
import quillet_python_sdk as q
from quillet import PrivateKey, PublicKey, LimitOrder, _batch, batch, demo
from quillet.keys import Signature

key = PrivateKey.from_seed(demo.SEED)
text_key = key.to_text()
pub = key.public_key
orders = [LimitOrder.from_dict(dict(demo.ORDER, public_key=pub.x, nonce=str(n))) for n in range(64)]
texts = [o.to_json() for o in orders]
msgs = list(range(1, 65))
msg_texts = [f"0x{m:064x}" for m in msgs]
sigs = [key.sign_message(m) for m in msgs]
many = (orders * 4)[:256]
many_texts = [o.to_json() for o in many]
many_msgs = (msgs * 4)[:256]
many_msg_texts = [f"0x{m:064x}" for m in many_msgs]
many_sigs = (sigs * 4)[:256]
triples = [(s, pub, m) for s, m in zip(many_sigs, many_msgs)]
rows = [(s.r, s.s, pub.x, pub.y, t) for s, t in zip(many_sigs, many_msg_texts)]
has_sign_many = hasattr(PrivateKey, "sign_many")

def loop(fn, items):
    return lambda: [fn(i) for i in items]

PAIRS = {
    "sign (document)": (loop(key.sign, orders), lambda: [q.sign_limit_order(t, text_key) for t in texts], 64),
    "sign_message": (loop(key.sign_message, msgs), lambda: [q.sign(text_key, t) for t in msg_texts], 64),
    "verify": (lambda: [pub.verify(s, m) for s, m in zip(sigs, msgs)],
               lambda: [q.verify_signature(s.r, s.s, pub.x, pub.y, t) for s, t in zip(sigs, msg_texts)], 64),
    "hash": (lambda: [o.hash() for o in orders], lambda: [q.hash_limit_order(t) for t in texts], 64),
    "PublicKey.from_packed": (lambda: [PublicKey.from_packed(pub.x) for _ in range(64)],
                              lambda: [q.public_key_to_xy(pub.x) for _ in range(64)], 64),
    "PrivateKey(text)": (lambda: [PrivateKey(text_key) for _ in range(64)],
                         lambda: [q.private_key_to_public_key_xy(text_key) for _ in range(64)], 64),
}
for threads in (1, 2):
    raw_docs = lambda threads=threads: _batch.sign_many("limit_order", many_texts, text_key, threads=threads)
    raw_msgs = lambda threads=threads: _batch.sign_messages(text_key, many_msg_texts, threads=threads)
    if has_sign_many:
        docs = lambda threads=threads: key.sign_many(many, threads=threads)
        ints = lambda threads=threads: key.sign_messages(many_msgs, threads=threads)
        trip = lambda threads=threads: batch.verify_many(triples, threads=threads)
    else:
        docs = lambda threads=threads: batch.sign_many("limit_order", many, key, threads=threads)
        ints = lambda threads=threads: batch.sign_messages(key, many_msg_texts, threads=threads)
        trip = None
    PAIRS[f"sign_many 256, threads={threads}"] = (docs, raw_docs, 256)
    PAIRS[f"sign_messages 256, threads={threads}"] = (ints, raw_msgs, 256)
    PAIRS[f"verify_many triples 256, threads={threads}"] = (
        trip, lambda threads=threads: _batch.verify_many(rows, threads=threads), 256)

def timed(fn):
    t = time.perf_counter(); fn(); return time.perf_counter() - t

out = {}
for name, (typed, raw, count) in PAIRS.items():
    if typed is None:
        out[name] = None
        continue
    typed(); raw()
    a = b = float("inf")
    for _ in range(5):  # interleaved: a disturbance hits both sides alike
        a = min(a, timed(typed))
        b = min(b, timed(raw))
    out[name] = [a / count, b / count]
print(json.dumps(out))
"""


def run_worker(path):
    env = dict(os.environ)
    if path:
        env["PYTHONPATH"] = path
    out = subprocess.run([sys.executable, "-c", WORKER], check=True, capture_output=True,
                         text=True, env=env).stdout
    return json.loads(out)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--before", help="directory holding an older quillet package")
    parser.add_argument("--rounds", type=int, default=9, help="interleaved rounds")
    args = parser.parse_args()
    best = {"after": {}, "before": {}}
    start = time.perf_counter()
    for _ in range(args.rounds):
        for label, path in (("before", args.before), ("after", None)):
            if label == "before" and not path:
                continue
            for name, times in run_worker(path).items():
                if times is None:
                    best[label].setdefault(name, None)
                    continue
                old = best[label].get(name) or [float("inf")] * 2
                best[label][name] = [min(old[0], times[0]), min(old[1], times[1])]
    print(f"{'typed call / raw call':42} {'µs/item typed':>13} {'raw':>9} {'ratio':>7}"
          + (f" {'before':>7}" if args.before else ""))
    for name, (typed, raw) in best["after"].items():
        row = f"{name:42} {typed * 1e6:13.2f} {raw * 1e6:9.2f} {typed / raw:7.3f}"
        if args.before:
            was = best["before"].get(name)
            row += f" {was[0] / was[1]:7.3f}" if was else f" {'-':>7}"
        print(row)
    print(f"({args.rounds} interleaved rounds, minimums; {time.perf_counter() - start:.0f} s)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
