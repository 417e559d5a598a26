"""The lane kernels behind hash_many, sign_many and verify_many: each one,
forced in a fresh interpreter, gives the single functions' results for every
document kind. QUILLET_POSEIDON_LANES forces the permutations' kernel over
QUILLET_LANES, which then forces another kernel on the nonces' multiples."""

import os

import pytest

from quillet import batch

TESTS = os.path.dirname(os.path.abspath(__file__))

CHECK = """
import json, os, random, sys
os.environ["QUILLET_POSEIDON_LANES"] = {kernel!r}
os.environ["QUILLET_LANES"] = {other!r}
sys.path.insert(0, {tests!r})
import quillet_python_sdk as q
from quillet import batch
from samples import DOCUMENTS, text
rng = random.Random(5)
key = q.private_key_from_seed("lane kernel tests: a seed of thirty-two bytes")
for kind in batch.KINDS:
    field = "nonce" if "nonce" in DOCUMENTS[kind] else "timestamp"
    docs = [text(kind, **{{field: str(rng.randrange(2**31))}}) for _ in range(11)]
    if kind == "withdraw":  # to the owner's key as well as to another address
        docs += [text(kind, nonce=str(n), eth_address=DOCUMENTS[kind]["public_key"]) for n in range(5)]
    assert batch.hash_many(kind, docs, threads=2) == [getattr(q, "hash_" + kind)(d) for d in docs], kind
    assert batch.sign_many(kind, docs, key) == [getattr(q, "sign_" + kind)(d, key) for d in docs], kind
# Distinct keys, enough for the bucket method; one signature of another message.
items = []
for i in range(40):
    signer = q.private_key_from_seed(f"lane kernel tests: key {{i}} of thirty-two bytes")
    pub, sig = json.loads(q.private_key_to_public_key_xy(signer)), json.loads(q.sign(signer, hex(i + 1)))
    items.append((sig["r"], sig["s"], pub["x"], pub["y"], hex(i + 1 + (i == 17))))
verdicts = [q.verify_signature(*item) for item in items]
assert verdicts.count(False) == 1 and batch.verify_many(items, threads=2) == verdicts
print(batch.lane_kernel())
"""


@pytest.mark.parametrize("kernel", ["scalar", "emulated", "ifma"])
def test_each_forced_kernel_gives_the_single_results(run_python, kernel):
    other = "ifma" if kernel == "emulated" else "emulated"
    done = run_python(CHECK.format(kernel=kernel, other=other, tests=TESTS))
    assert done.returncode == 0, done.stderr
    # A processor without IFMA keeps its default instead.
    assert done.stdout.strip() in ({kernel, "scalar"} if kernel == "ifma" else {kernel})


def test_the_default_kernel_is_a_real_one():
    assert batch.lane_kernel() in ("scalar", "ifma")
