"""The five hash functions as Python sees them."""

import re

import pytest

import quillet_python_sdk as q
from samples import ORDER, text

HASHES = {
    "transfer": q.hash_transfer,
    "withdraw": q.hash_withdraw,
    "limit_order": q.hash_limit_order,
    "liquidate": q.hash_liquidate,
    "signed_oracle_price": q.hash_signed_oracle_price,
}


def panic_text(fn, *args):
    with pytest.raises(BaseException) as info:
        fn(*args)
    assert type(info.value).__name__ == "PanicException"
    assert len(info.value.args) == 1
    return info.value.args[0]


@pytest.mark.parametrize("kind", HASHES)
def test_hash_text_is_deterministic_0x_and_64_digits(kind):
    h = HASHES[kind](text(kind))
    assert re.fullmatch(r"0x[0-9a-f]{64}", h)
    assert HASHES[kind](text(kind)) == h


@pytest.mark.parametrize(
    "kind,field,other",
    [
        ("transfer", "receiver_public_key", "0x1"),
        ("transfer", "public_key", ""),
        ("withdraw", "public_key", "0x7"),  # only compared with eth_address
        ("limit_order", "public_key", "0x7"),
        ("liquidate", "actual_collateral", "1"),
        ("liquidate", "liquidated_position_id", "1"),
        ("signed_oracle_price", "signer_key", "0x7"),
    ],
)
def test_fields_outside_the_hash(kind, field, other):
    assert HASHES[kind](text(kind, **{field: other})) == HASHES[kind](text(kind))


@pytest.mark.parametrize(
    "kind,field,other",
    [
        ("transfer", "amount", "5000001"),
        ("transfer", "nonce", "2"),
        ("transfer", "receiver_position_id", "44"),
        ("withdraw", "eth_address", "0x1"),
        ("limit_order", "is_buying_synthetic", False),
        ("limit_order", "position_id", "41"),
        ("signed_oracle_price", "timestamp", "1700000001"),
    ],
)
def test_fields_inside_the_hash(kind, field, other):
    assert HASHES[kind](text(kind, **{field: other})) != HASHES[kind](text(kind))


def test_liquidation_hashes_like_its_order():
    assert q.hash_liquidate(text("liquidate")) == q.hash_limit_order(text("limit_order"))


def test_withdrawal_to_owner_compares_numbers():
    same = text("withdraw", eth_address="0x01", public_key="1")
    assert q.hash_withdraw(same) == q.hash_withdraw(text("withdraw", eth_address="0x5",
                                                         public_key="0x0005"))


@pytest.mark.parametrize(
    "fn,doc,expected",
    [
        (q.hash_transfer, "{}",
         "called `Result::unwrap()` on an `Err` value: "
         "Error(\"missing field `sender_position_id`\", line: 1, column: 2)"),
        (q.hash_transfer, '{"amount": 5}',
         "called `Result::unwrap()` on an `Err` value: "
         "Error(\"invalid type: integer `5`, expected a string\", line: 1, column: 12)"),
        (q.hash_withdraw, "{}", "Couldn't get hash: missing field `position_id` at line 1 column 2"),
        (q.hash_limit_order, "[]",
         "Couldn't get hash: invalid type: sequence, expected struct LimitOrderRequest "
         "at line 1 column 1"),
        (q.hash_liquidate, "{}",
         "Couldn't get hash: missing field `liquidator_order` at line 1 column 2"),
        (q.hash_signed_oracle_price, '["0x1", "2", "3"]',
         "Couldn't get hash: invalid length 3, expected struct SignedOraclePrice with 4 "
         "elements at line 1 column 17"),
        (q.hash_signed_oracle_price, "",
         "Couldn't get hash: EOF while parsing a value at line 1 column 0"),
        (q.hash_limit_order, text("limit_order", asset_id_synthetic="0x-1"),
         "Unsigned integer can't be created from negative value"),
        (q.hash_liquidate,
         text("liquidate", liquidator_order=dict(ORDER, asset_id_synthetic="-0x0x1")),
         "Couldn't get hash: decode hex string error: invalid digit found in string "
         "at line 1 column 139"),
    ],
)
def test_failure_texts(fn, doc, expected):
    assert panic_text(fn, doc) == expected
