"""End-to-end demo of quillet_python_sdk on embedded sample data."""

import json

import quillet_python_sdk as sdk

SEED = "quillet demo seed: market maker 7, do not use for real funds"

OWNER_KEY = "0x0f62b52c0d31d63d24b1f5bc8ee2bd2ae0a6d9b3cb7cd1b7e4b4a0e1e8c1f0aa"
USDC = "0x31857064564ed0ff978e687456963cba09c2c6985d8f9300a1de4962fafa054"
BTC = "0x4254432d3130000000000000000000"

ORDER = {
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

DOCUMENTS = [
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
        "signer_key": "0x1c6a5d8e9f0a1b2c3d4e5f60718293a4b5c6d7e8f90a1b2c3d4e5f6071829300",
        "external_price": "42000000000000",
        "timestamp": "1767225600",
        "signed_asset_id": "0x425443555344000000000000000000004d616b657231",
    }),
]


def main() -> int:
    private_key = sdk.private_key_from_seed(SEED)
    public = json.loads(sdk.private_key_to_public_key_xy(private_key))
    print(f"seed          {SEED!r}")
    print(f"private key   {private_key}")
    print(f"public key    x={public['x']}")
    print(f"              y={public['y']}")
    print(f"on curve      {sdk.is_on_curve(public['x'], public['y'])}")

    failures = 0

    def check(sig_json: str, msg: str) -> None:
        nonlocal failures
        sig = json.loads(sig_json)
        ok = sdk.verify_signature(sig["r"], sig["s"], public["x"], public["y"], msg)
        failures += not ok
        print(f"  signature   r={sig['r']}")
        print(f"              s={sig['s']}")
        print(f"  verifies    {ok}")

    for kind, hash_fn, sign_fn, document in DOCUMENTS:
        doc = json.dumps(document)
        digest = hash_fn(doc)
        print(f"{kind}")
        print(f"  hash        {digest}")
        check(sign_fn(doc, private_key), digest)

    print(f"message       {MESSAGE}")
    check(sdk.sign(private_key, MESSAGE), MESSAGE)
    l1 = json.loads(sdk.eth_sign(private_key, MESSAGE))
    print(f"  eth_sign    x={l1['x']}")
    print(f"              y={l1['y']}")
    print(f"              s={l1['s']}")
    print(f"  same key    {(l1['pk_x'], l1['pk_y']) == (public['x'], public['y'])}")
    print("all signatures verify" if failures == 0 else f"{failures} signatures failed")
    return 1 if failures else 0


if __name__ == "__main__":
    raise SystemExit(main())
