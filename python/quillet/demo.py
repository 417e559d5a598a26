"""End-to-end demo on embedded data: a key from a seed, one document of each
kind hashed and signed, a message signed both ways, every signature verified.
"""

from __future__ import annotations

import json
import os
from collections.abc import Callable
from typing import Any

import quillet_python_sdk as sdk

SEED = "quillet demo seed: market maker 7, do not use for real funds"

# The packed public key of SEED's private key: a document is signed only by the
# key it names, so the samples name the key that signs them.
OWNER_KEY = "0x940b5ad2f9e90e24ff30cd3142856454c99c7ffd6dab03e2637db7219f3530a0"
USDC = "0x31857064564ed0ff978e687456963cba09c2c6985d8f9300a1de4962fafa054"
BTC = "0x4254432d3130000000000000000000"

ORDER: dict[str, Any] = {
    "amount_synthetic": "100000",
    "amount_collateral": "4200000000",
    "amount_fee": "2100000",
    "asset_id_synthetic": BTC,
    "asset_id_collateral": USDC,
    "position_id": "1001",
    "is_buying_synthetic": True,
    "nonce": "17",
    "public_key": OWNER_KEY,
    "expiration_timestamp": "1767225600",
}

MESSAGE = "0x0a1b2c3d4e5f60718293a4b5c6d7e8f9"

HashFn = Callable[[str], str]
SignFn = Callable[[str, str], str]

# (kind, hash function, signing function, document); kind is the suffix of
# the two function names.
DOCUMENTS: list[tuple[str, HashFn, SignFn, dict[str, Any]]] = [
    ("transfer", sdk.hash_transfer, sdk.sign_transfer, {
        "sender_position_id": "1001",
        "receiver_public_key": "0x2d1a3b4c5d6e7f8091a2b3c4d5e6f708192a3b4c5d6e7f8091a2b3c4d5e6f7",
        "receiver_position_id": "2002",
        "amount": "250000000",
        "asset_id": USDC,
        "nonce": "18",
        "public_key": OWNER_KEY,
        "expiration_timestamp": "1767225600",
    }),
    ("withdraw", sdk.hash_withdraw, sdk.sign_withdraw, {
        "position_id": "1001",
        "amount": "100000000",
        "eth_address": "0x742d35cc6634c0532925a3b844bc454e4438f44e",
        "asset_id": USDC,
        "nonce": "19",
        "public_key": OWNER_KEY,
        "expiration_timestamp": "1767225600",
    }),
    ("limit_order", sdk.hash_limit_order, sdk.sign_limit_order, ORDER),
    ("liquidate", sdk.hash_liquidate, sdk.sign_liquidate, {
        "liquidator_order": ORDER,
        "liquidated_position_id": "3003",
        "actual_collateral": "4200000000",
        "actual_synthetic": "100000",
        "actual_liquidator_fee": "2100000",
    }),
    ("signed_oracle_price", sdk.hash_signed_oracle_price, sdk.sign_signed_oracle_price, {
        "signer_key": OWNER_KEY,
        "external_price": "42000000000000",
        "timestamp": "1767225600",
        "signed_asset_id": "0x425443555344000000000000000000004d616b657231",
    }),
]


def run() -> dict[str, Any]:
    """Runs the demo and returns its report, calling all seventeen functions;
    report["ok"] is True when every signature verifies and every check holds.
    """
    private_key = sdk.private_key_from_seed(SEED)
    public = json.loads(sdk.private_key_to_public_key_xy(private_key))
    failures = 0

    def verified(signature_json: str, msg: str) -> dict[str, Any]:
        nonlocal failures
        signature = json.loads(signature_json)
        ok = sdk.verify_signature(signature["r"], signature["s"], public["x"], public["y"], msg)
        failures += not ok
        return {"signature": signature, "verifies": ok}

    documents = []
    for kind, hash_fn, sign_fn, document in DOCUMENTS:
        text = json.dumps(document)
        digest = hash_fn(text)
        documents.append({"kind": kind, "hash": digest, **verified(sign_fn(text, private_key), digest)})

    message = {"msg": MESSAGE, **verified(sdk.sign(private_key, MESSAGE), MESSAGE)}
    l1 = json.loads(sdk.eth_sign(private_key, MESSAGE))
    checks = {
        "on_curve": sdk.is_on_curve(public["x"], public["y"]),
        "packed_key_decodes_back": json.loads(sdk.public_key_to_xy(public["x"])) == public,
        "eth_sign_same_key": (l1["pk_x"], l1["pk_y"]) == (public["x"], public["y"]),
        "eth_sign_same_s": l1["s"] == message["signature"]["s"],
    }
    return {
        "seed": SEED,
        "private_key": private_key,
        "public_key": public,
        "documents": documents,
        "message": {**message, "eth_sign": l1},
        "checks": checks,
        "failed_signatures": failures,
        "ok": failures == 0 and all(checks.values()),
    }


def write_documents(directory: str) -> list[str]:
    """Writes KIND.json, the sample document of each kind, and seed.txt, the
    demo seed, into `directory` (created if missing); returns their paths."""
    os.makedirs(directory, exist_ok=True)
    written = []
    for name, content in [*((f"{kind}.json", json.dumps(document, indent=2) + "\n")
                            for kind, _, _, document in DOCUMENTS),
                          ("seed.txt", SEED + "\n")]:
        path = os.path.join(directory, name)
        with open(path, "w", encoding="utf-8") as file:
            file.write(content)
        written.append(path)
    return written
