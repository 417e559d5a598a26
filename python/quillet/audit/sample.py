"""Sample order logs with chosen shares of corrupted records, for demos,
tests and benchmarks. Signing is done by quillet.batch with a few signers'
keys derived from fixed seeds, so the same arguments give the same log.
"""

from __future__ import annotations

import copy
import json
import random
from collections.abc import Iterator, Mapping
from typing import Any, Literal

import quillet_python_sdk as sdk

from quillet import batch, demo
from quillet.audit.check import Outcome
from quillet.audit.log import Record

Corruption = Literal["wrong-signature", "wrong-key", "tampered-field", "malformed-document"]
CORRUPTIONS: tuple[Corruption, ...] = ("wrong-signature", "wrong-key", "tampered-field",
                                       "malformed-document")
# What the audit must find for each: a tampered field changes the hash, so the
# signature no longer verifies; another signer's valid signature shows as a key
# that is not the document's.
EXPECTED: dict[Corruption | None, Outcome] = {
    None: "valid", "wrong-signature": "bad-signature", "wrong-key": "bad-key",
    "tampered-field": "bad-signature", "malformed-document": "bad-document",
}

SIGNERS = 8
_CHUNK = 2048
# Of every 16 records: mostly limit orders, as in a real order log.
_KIND_MIX: tuple[str, ...] = ("limit_order",) * 12 + ("transfer", "withdraw", "liquidate",
                                                      "signed_oracle_price")
# A field of each kind that enters the hash, to tamper with (a liquidation's
# hash is its liquidator order's).
_HASHED = {"transfer": "amount", "withdraw": "amount", "limit_order": "amount_collateral",
           "liquidate": "amount_collateral", "signed_oracle_price": "external_price"}
_TEMPLATES = {kind: document for kind, _, _, document in demo.DOCUMENTS}


def signers() -> list[tuple[str, str]]:
    """(private key, packed public key) of the sample signers."""
    keys = []
    for n in range(SIGNERS):
        key = sdk.private_key_from_seed(f"quillet sample order log, signer number {n}")
        keys.append((key, json.loads(sdk.private_key_to_public_key_xy(key))["x"]))
    return keys


def _document(kind: str, n: int, rng: random.Random, owner: str, other: str) -> dict[str, Any]:
    document = copy.deepcopy(_TEMPLATES[kind])
    order = _hashed(document, kind)
    if kind == "signed_oracle_price":
        document["signer_key"] = owner
        document["external_price"] = str(rng.randrange(10**12, 10**14))
        document["timestamp"] = str(1767225600 + n)
        return document
    order["public_key"] = owner
    order["nonce"] = str(n)
    if kind == "transfer":
        document["receiver_public_key"] = other
        document["amount"] = str(rng.randrange(1, 10**12))
    elif kind == "withdraw":
        document["amount"] = str(rng.randrange(1, 10**12))
    else:
        order["amount_collateral"] = str(rng.randrange(1, 10**12))
    return document


def _hashed(document: dict[str, Any], kind: str) -> dict[str, Any]:
    return document["liquidator_order"] if kind == "liquidate" else document


def sample_log(count: int, shares: Mapping[Corruption, float] | None = None, *,
               seed: int = 1) -> Iterator[tuple[Record | dict[str, Any], Corruption | None]]:
    """`count` records, each with the corruption it carries (None for a sound
    one). `shares` gives the fraction of records corrupted each way (together
    at most 1); the corrupted positions are drawn at random from `seed`."""
    shares = dict(shares or {})
    unknown = set(shares) - set(CORRUPTIONS)
    if unknown or any(not 0 <= v <= 1 for v in shares.values()) or sum(shares.values()) > 1:
        raise ValueError("shares: fractions from 0 to 1 of " + ", ".join(CORRUPTIONS)
                         + ", together at most 1")
    rng = random.Random(seed)
    corruption: list[Corruption | None] = [None] * count
    positions = rng.sample(range(count), count)
    taken = 0
    for name in CORRUPTIONS:
        n = round(shares.get(name, 0.0) * count)
        for position in positions[taken:taken + n]:
            corruption[position] = name
        taken += n
    keys = signers()
    for start in range(0, count, _CHUNK):
        yield from _chunk(range(start, min(count, start + _CHUNK)), corruption, keys, rng)


def _chunk(numbers: range, corruption: list[Corruption | None], keys: list[tuple[str, str]],
           rng: random.Random) -> Iterator[tuple[Record | dict[str, Any], Corruption | None]]:
    plan = []
    for n in numbers:
        kind = _KIND_MIX[n % len(_KIND_MIX)]
        signer = n % SIGNERS
        owner, other = keys[signer][1], keys[(signer + 1) % SIGNERS][1]
        document = _document(kind, n, rng, owner, other)
        signed_by, signed = signer, document
        if corruption[n] == "wrong-key":  # a sound signature by someone the document does not name
            signed_by = (signer + 1) % SIGNERS
        elif corruption[n] == "wrong-signature":  # the signature of another document
            signed = copy.deepcopy(document)
            _hashed(signed, kind)[_HASHED[kind]] = "1"
        plan.append((n, kind, document, signed_by, signed))
    signatures: dict[int, dict[str, str]] = {}
    for kind in batch.KINDS:
        for signer, (key, _) in enumerate(keys):
            mine = [p for p in plan if p[1] == kind and p[3] == signer]
            if not mine:
                continue
            texts = [json.dumps(p[4]) for p in mine]
            for p, text in zip(mine, batch.sign_many(kind, texts, key)):
                signatures[p[0]] = json.loads(text)
    for n, kind, document, signed_by, _ in plan:
        signature = signatures[n]
        record = Record(kind, document, signature["r"], signature["s"], keys[signed_by][1])
        fields, name = _hashed(document, kind), _HASHED[kind]
        if corruption[n] == "tampered-field":
            fields[name] = str(int(fields[name]) + 1)
        elif corruption[n] == "malformed-document":
            # Either a number the module cannot read or a field it must have gone.
            if n % 2:
                fields[name] = "12ab"
            else:
                del fields[name]
        yield record, corruption[n]
