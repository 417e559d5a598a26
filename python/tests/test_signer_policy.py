"""Every policy rule of the signing service, through the running service:
accepted at its limit, refused one past it, with the rule and the field in
the answer; the daily caps; what is allowed by omission (nothing)."""

import itertools

import pytest

from signer_fixtures import (ASSET_COLLATERAL, ASSET_SYNTHETIC, KEYS, at_second_start,
                             liquidation, oracle_price, order, signer_module, signer_setup,
                             transfer, withdrawal)

ORACLE_ASSET = "0x425443555344000000000000000000004d616b6572"
ORDER_RULES = {"asset_id_synthetic": [ASSET_SYNTHETIC], "asset_id_collateral": [ASSET_COLLATERAL],
               "position_ids": [1001], "max_amount_synthetic": 1000,
               "max_amount_collateral": 5000000, "max_amount_fee": 4000, "max_fee_ratio": 0.001,
               "expiration_min_seconds": 60, "expiration_max_seconds": 86400}
CLIENTS = {
    "bot-a": {
        "kinds": ["limit_order", "liquidate", "transfer", "withdraw", "signed_oracle_price"],
        "limit_order": ORDER_RULES,
        "liquidate": {**ORDER_RULES, "liquidated_position_ids": [3003],
                      "max_actual_collateral": 5000000, "max_actual_synthetic": 1000,
                      "max_actual_liquidator_fee": 500},
        # Amounts past 2**63 are written as decimal text.
        "transfer": {"asset_id": [ASSET_COLLATERAL], "position_ids": ["18446744073709551615"],
                     "receivers": [2002], "max_amount": 1000,
                     "expiration_min_seconds": 60, "expiration_max_seconds": 86400},
        "withdraw": {"asset_id": [ASSET_COLLATERAL], "position_ids": [1001],
                     "eth_addresses": ["0xDEADBEEF"], "max_amount": 1000},
        "signed_oracle_price": {"signed_asset_id": [ORACLE_ASSET], "max_age_seconds": 300},
    },
    "bot-c": {"kinds": ["withdraw"], "keys": ["desk", "ops"],
              "withdraw": {"max_amount_per_day": 3000}},
    "bot-b": {"kinds": ["transfer", "withdraw", "limit_order"],
              "transfer": {},  # a section naming no rule
              "withdraw": {"unrestricted": True, "max_amount_per_day": 1500},
              # limit_order: no section at all
              "messages": False},
}
nonces = itertools.count(1000)


@pytest.fixture(scope="module")
def service(signer_module):
    return signer_module.start(CLIENTS, keys=("desk", "ops"))


@pytest.fixture(scope="module")
def http(service):
    with service.client("bot-a") as client:
        yield client


def sign(http, kind, document, key="desk"):
    response = http.post(f"/v1/keys/{key}/sign", json={"kind": kind, "document": document})
    return response.status_code, response.json()


def aligned(make, **fields):
    """The document made at the start of a second, for limits counted from now."""
    at_second_start()
    return make(**fields)


ONE_PAST = int(ASSET_SYNTHETIC, 16) + 1
# (kind, rule, field, document at the limit, document one past it); the
# documents are made when the case runs (times count from then).
RULE_CASES = [
    ("limit_order", "asset_id_synthetic", "asset_id_synthetic",
     lambda: order(), lambda: order(asset_id_synthetic=hex(ONE_PAST))),
    ("limit_order", "asset_id_collateral", "asset_id_collateral",
     # Compared by value: other spellings of an allowed id are allowed.
     lambda: order(asset_id_collateral="0x0" + ASSET_COLLATERAL[2:].upper()),
     lambda: order(asset_id_collateral=hex(int(ASSET_COLLATERAL, 16) - 1))),
    ("limit_order", "position_ids", "position_id",
     lambda: order(position_id="1001"), lambda: order(position_id="1002")),
    ("limit_order", "max_amount_synthetic", "amount_synthetic",
     lambda: order(amount_synthetic="1000"), lambda: order(amount_synthetic="1001")),
    ("limit_order", "max_amount_collateral", "amount_collateral",
     lambda: order(amount_collateral="5000000"), lambda: order(amount_collateral="5000001")),
    ("limit_order", "max_amount_fee", "amount_fee",
     lambda: order(amount_fee="4000"), lambda: order(amount_fee="4001")),
    ("limit_order", "max_fee_ratio", "amount_fee",  # exactly 1/1000, then 1001/1000000
     lambda: order(amount_collateral="1000000", amount_fee="1000"),
     lambda: order(amount_collateral="1000000", amount_fee="1001")),
    ("limit_order", "max_fee_ratio", "amount_fee",  # a fee on no collateral
     lambda: order(amount_collateral="0", amount_fee="0"),
     lambda: order(amount_collateral="0", amount_fee="1")),
    ("limit_order", "expiration_min_seconds", "expiration_timestamp",
     lambda: aligned(order, expires_in=60), lambda: order(expires_in=59)),
    ("limit_order", "expiration_max_seconds", "expiration_timestamp",
     lambda: order(expires_in=86400), lambda: aligned(order, expires_in=86401)),
    ("liquidate", "asset_id_synthetic", "liquidator_order.asset_id_synthetic",
     lambda: liquidation(),
     lambda: liquidation(liquidator_order=order(asset_id_synthetic=hex(ONE_PAST)))),
    ("liquidate", "max_amount_collateral", "liquidator_order.amount_collateral",
     lambda: liquidation(liquidator_order=order(amount_collateral="5000000")),
     lambda: liquidation(liquidator_order=order(amount_collateral="5000001"))),
    ("liquidate", "max_fee_ratio", "liquidator_order.amount_fee",
     lambda: liquidation(liquidator_order=order(amount_collateral="1000000", amount_fee="1000")),
     lambda: liquidation(liquidator_order=order(amount_collateral="1000000",
                                                amount_fee="1001"))),
    ("liquidate", "expiration_min_seconds", "liquidator_order.expiration_timestamp",
     lambda: liquidation(liquidator_order=aligned(order, expires_in=60)),
     lambda: liquidation(liquidator_order=order(expires_in=59))),
    ("liquidate", "liquidated_position_ids", "liquidated_position_id",
     lambda: liquidation(), lambda: liquidation(liquidated_position_id="3004")),
    ("liquidate", "max_actual_collateral", "actual_collateral",
     lambda: liquidation(actual_collateral="5000000"),
     lambda: liquidation(actual_collateral="5000001")),
    ("liquidate", "max_actual_synthetic", "actual_synthetic",
     lambda: liquidation(actual_synthetic="1000"), lambda: liquidation(actual_synthetic="1001")),
    ("liquidate", "max_actual_liquidator_fee", "actual_liquidator_fee",
     lambda: liquidation(actual_liquidator_fee="500"),
     lambda: liquidation(actual_liquidator_fee="501")),
    ("transfer", "asset_id", "asset_id",
     lambda: transfer(sender_position_id="18446744073709551615"),
     lambda: transfer(sender_position_id="18446744073709551615", asset_id="0x1")),
    ("transfer", "position_ids", "sender_position_id",
     lambda: transfer(sender_position_id="18446744073709551615"),
     lambda: transfer(sender_position_id="18446744073709551614")),
    ("transfer", "receivers", "receiver_position_id",
     # The receiver's key is outside the hash: any key, the allowed position.
     lambda: transfer(sender_position_id="18446744073709551615", receiver_public_key="0x99"),
     lambda: transfer(sender_position_id="18446744073709551615", receiver_position_id="2003")),
    ("transfer", "max_amount", "amount",
     lambda: transfer(sender_position_id="18446744073709551615", amount="1000"),
     lambda: transfer(sender_position_id="18446744073709551615", amount="1001")),
    ("transfer", "expiration_min_seconds", "expiration_timestamp",
     lambda: aligned(transfer, sender_position_id="18446744073709551615", expires_in=60),
     lambda: transfer(sender_position_id="18446744073709551615", expires_in=59)),
    ("transfer", "expiration_max_seconds", "expiration_timestamp",
     lambda: transfer(sender_position_id="18446744073709551615", expires_in=86400),
     lambda: aligned(transfer, sender_position_id="18446744073709551615", expires_in=86401)),
    ("withdraw", "asset_id", "asset_id",
     lambda: withdrawal(amount="0"), lambda: withdrawal(amount="0", asset_id="0x2")),
    ("withdraw", "position_ids", "position_id",
     lambda: withdrawal(amount="0"), lambda: withdrawal(amount="0", position_id="1000")),
    ("withdraw", "eth_addresses", "eth_address",
     lambda: withdrawal(amount="0", eth_address="0x00deadbeef"),
     lambda: withdrawal(amount="0", eth_address="0xdeadbef0")),
    ("withdraw", "max_amount", "amount",
     lambda: withdrawal(amount="1000"), lambda: withdrawal(amount="1001")),
    ("signed_oracle_price", "signed_asset_id", "signed_asset_id",
     lambda: oracle_price(), lambda: oracle_price(signed_asset_id=ORACLE_ASSET + "1")),
    ("signed_oracle_price", "max_age_seconds", "timestamp",
     lambda: oracle_price(timestamp=at_second_start() - 300),
     lambda: oracle_price(timestamp=at_second_start() - 301)),
    ("signed_oracle_price", "max_age_seconds", "timestamp",  # from the future too
     lambda: oracle_price(timestamp=at_second_start() + 300),
     lambda: oracle_price(timestamp=at_second_start() + 301)),
]


def fresh(kind, document):
    """`document` with a nonce no other case used (its order's, for a liquidation)."""
    nonce = str(next(nonces))
    if kind == "liquidate":
        return {**document, "liquidator_order": {**document["liquidator_order"], "nonce": nonce}}
    if kind == "signed_oracle_price":  # guarded by asset and time: vary the time a little
        return document
    return {**document, "nonce": nonce}


@pytest.mark.parametrize("kind, rule, field, at_limit, past", RULE_CASES,
                         ids=[f"{c[0]}-{c[1]}-{i}" for i, c in enumerate(RULE_CASES)])
def test_each_rule_accepts_its_limit_and_refuses_one_past(http, kind, rule, field, at_limit,
                                                          past):
    status, body = sign(http, kind, fresh(kind, at_limit()))
    assert status == 200, body
    status, body = sign(http, kind, fresh(kind, past()))
    assert status == 403, body
    assert (body["error"], body["rule"], body["field"]) == ("policy", rule, field)
    assert isinstance(body["value"], str)


def test_refusals_quote_limits_and_values_as_the_documents_write_them(http):
    cases = [
        ("limit_order", order(nonce=next(nonces), amount_collateral="5000001"),
         {"limit": "5000000", "value": "5000001"}),
        ("limit_order", order(nonce=next(nonces), amount_collateral="1000000", amount_fee="1001"),
         {"limit": "0.001", "value": "0.001001"}),
        ("limit_order", order(nonce=next(nonces), asset_id_synthetic=hex(ONE_PAST)),
         {"limit": None, "value": hex(ONE_PAST)}),
        ("transfer", transfer(nonce=next(nonces), sender_position_id="18446744073709551614"),
         {"limit": None, "value": "18446744073709551614"}),
    ]
    for kind, document, expected in cases:
        status, body = sign(http, kind, document)
        assert status == 403 and {k: body[k] for k in expected} == expected, body


def test_a_document_naming_another_key_is_refused(http):
    for kind, document, field in [
            ("limit_order", order("ops", next(nonces)), "public_key"),
            ("liquidate", liquidation("ops", next(nonces)), "liquidator_order.public_key"),
            ("signed_oracle_price", oracle_price("ops"), "signer_key")]:
        status, body = sign(http, kind, document)
        assert (status, body["rule"], body["field"]) == (403, "named_key", field), body
        assert int(body["value"], 16) == int(KEYS["ops"].public_key.x, 16)


def test_nothing_is_allowed_by_omission(service):
    with service.client("bot-b") as http:
        # A kind not among its kinds, a section naming no rule, no section at all.
        for kind, document, rule in [
                ("liquidate", liquidation(nonce=next(nonces)), "kinds"),
                ("transfer", transfer(nonce=next(nonces)), "unrestricted"),
                ("limit_order", order(nonce=next(nonces)), "unrestricted")]:
            status, body = sign(http, kind, document)
            assert (status, body["rule"]) == (403, rule), body
        # unrestricted = true allows a section whose only rule is its cap.
        assert sign(http, "withdraw", withdrawal(nonce=next(nonces), amount="0"))[0] == 200
        for route in ("sign-message", "eth-sign"):
            response = http.post(f"/v1/keys/desk/{route}", json={"message": "0x1234"})
            assert (response.status_code, response.json()["rule"]) == (403, "messages")


def test_the_daily_cap_counts_what_was_signed_and_not_retries(service):
    with service.client("bot-b") as other:  # a cap of its own: 1500
        assert sign(other, "withdraw", withdrawal(nonce=next(nonces), amount="1500"))[0] == 200
        assert sign(other, "withdraw", withdrawal(nonce=next(nonces), amount="1"))[0] == 403
    with service.client("bot-c") as http:
        first = withdrawal(nonce=next(nonces), amount="1000")
        assert sign(http, "withdraw", first)[0] == 200
        assert sign(http, "withdraw", withdrawal(nonce=next(nonces), amount="1000"))[0] == 200
        # A batch: the third item reaches the cap exactly, the fourth passes it.
        batch = [withdrawal(nonce=next(nonces), amount=amount)
                 for amount in ("0", "500", "500", "1")]
        results = http.post("/v1/keys/desk/sign-many",
                            json={"kind": "withdraw", "documents": batch}).json()["results"]
        assert ["hash" in result for result in results] == [True, True, True, False]
        assert results[3] == {"status": 403, "error": {
            "error": "policy", "rule": "max_amount_per_day", "field": "amount",
            "limit": "3000", "value": "3001"}}
        # A retry of a signed document is answered from the journal, not counted.
        status, body = sign(http, "withdraw", first)
        assert status == 200 and "signature" in body
        # Another key has a cap of its own.
        assert sign(http, "withdraw", withdrawal("ops", next(nonces), amount="3000"),
                    key="ops")[0] == 200
