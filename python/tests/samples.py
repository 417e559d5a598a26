"""Sample documents of each kind, shared by the module tests."""

import json

ORDER = {
    "amount_synthetic": "1000000",
    "amount_collateral": "25000000",
    "amount_fee": "12500",
    "asset_id_synthetic": "0x4254432d3130000000000000000000",
    "asset_id_collateral": "0x2893294412a4c8f915f75892b395ebbf6859ec246ec365c3b1f56f47c3a0a5d",
    "position_id": "42",
    "is_buying_synthetic": True,
    "nonce": "7",
    "public_key": "0x5a8c5c2a8b6f7e3d1e0b9c8a7f6e5d4c3b2a190817161514131211100f0e0d0c",
    "expiration_timestamp": "1700000000",
}

DOCUMENTS = {
    "transfer": {
        "sender_position_id": "42",
        "receiver_public_key": "0x1b7b5c1ff6e28a3a4a6d2a2e8b3c8f7a5e6d4c3b2a1908172635445362718090",
        "receiver_position_id": "43",
        "amount": "5000000",
        "asset_id": "0x2893294412a4c8f915f75892b395ebbf6859ec246ec365c3b1f56f47c3a0a5d",
        "nonce": "1",
        "public_key": ORDER["public_key"],
        "expiration_timestamp": "1700000000",
    },
    "withdraw": {
        "position_id": "42",
        "amount": "1000000",
        "eth_address": "0x9a6b2c4d5e6f708192a3b4c5d6e7f8091a2b3c4d",
        "asset_id": "0x2893294412a4c8f915f75892b395ebbf6859ec246ec365c3b1f56f47c3a0a5d",
        "nonce": "2",
        "public_key": ORDER["public_key"],
        "expiration_timestamp": "1700000000",
    },
    "limit_order": ORDER,
    "liquidate": {
        "liquidator_order": ORDER,
        "liquidated_position_id": "99",
        "actual_collateral": "25000000",
        "actual_synthetic": "1000000",
        "actual_liquidator_fee": "12500",
    },
    "signed_oracle_price": {
        "signer_key": "0x2c3f0b4e8e1a9d7c6b5a4f3e2d1c0b9a8f7e6d5c4b3a29180706050403020100",
        "external_price": "30000000000",
        "timestamp": "1700000000",
        "signed_asset_id": "0x425443555344000000000000000000004d616b6572",
    },
}


def text(kind: str, **changes) -> str:
    doc = dict(DOCUMENTS[kind])
    doc.update(changes)
    return json.dumps(doc)


def named(kind: str, public_key: str) -> str:
    """The sample of `kind` naming `public_key` as its signer's key."""
    doc = dict(DOCUMENTS[kind])
    if kind == "liquidate":
        doc["liquidator_order"] = dict(ORDER, public_key=public_key)
    else:
        doc["signer_key" if kind == "signed_oracle_price" else "public_key"] = public_key
    return json.dumps(doc)
