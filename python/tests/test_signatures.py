"""Keys, signatures and their relations, as Python sees them."""

import json
import re

import pytest

import quillet_python_sdk as q
from samples import ORDER, text

ORDER_S = 2736030358979909402780800718157159386076813972158567259200215660948447373041
KEY = q.private_key_from_seed("relations between the functions, seed text")
OTHER_KEY = q.private_key_from_seed("another trader's seed, at least 32 bytes long")
HEX64 = re.compile(r"0x[0-9a-f]{64}")

SIGNERS = {
    "transfer": (q.sign_transfer, q.hash_transfer),
    "withdraw": (q.sign_withdraw, q.hash_withdraw),
    "limit_order": (q.sign_limit_order, q.hash_limit_order),
    "liquidate": (q.sign_liquidate, q.hash_liquidate),
    "signed_oracle_price": (q.sign_signed_oracle_price, q.hash_signed_oracle_price),
}


def panic_text(fn, *args):
    with pytest.raises(BaseException) as info:
        fn(*args)
    assert type(info.value).__name__ == "PanicException"
    return info.value.args[0]


def packed_r(x_hex, y_hex):
    """The compressed encoding of (x, y) read little-endian."""
    return int(y_hex, 16) | ((int(x_hex, 16) & 1) << 255)


@pytest.mark.parametrize("kind", SIGNERS)
def test_sign_transaction_signs_the_printed_hash(kind):
    sign_fn, hash_fn = SIGNERS[kind]
    doc = text(kind)
    signature = sign_fn(doc, KEY)
    assert signature == q.sign(KEY, hash_fn(doc))
    assert sign_fn(doc, KEY) == signature
    sig = json.loads(signature)
    x, _ = json.loads(q.private_key_to_public_key_xy(KEY)).values()
    assert q.verify_signature(sig["r"], sig["s"], x, "ignored", hash_fn(doc))


def test_liquidation_and_its_order_sign_alike():
    assert q.sign_liquidate(text("liquidate"), KEY) == q.sign_limit_order(json.dumps(ORDER), KEY)


def test_signature_json_shape():
    for msg in ["0x0", "1", "0x" + "f" * 64]:
        out = q.sign(KEY, msg)
        assert len(out) == 147
        sig = json.loads(out)
        assert list(sig) == ["r", "s"]
        assert all(HEX64.fullmatch(v) for v in sig.values())


@pytest.mark.parametrize("msg", ["0x1", "1", "01", "0x0001"])
def test_message_integer_forms_agree(msg):
    assert q.sign(KEY, msg) == q.sign(KEY, "1")


def test_eth_sign_matches_sign_and_public_key():
    for msg in ["0x1", "0x2a", "1234abcd" * 8]:
        l1 = json.loads(out := q.eth_sign(KEY, msg))
        assert len(out) == 372
        assert list(l1) == ["x", "y", "s", "pk_x", "pk_y"]
        assert all(HEX64.fullmatch(v) for v in l1.values())
        sig = json.loads(q.sign(KEY, msg))
        assert l1["s"] == sig["s"]
        assert packed_r(l1["x"], l1["y"]) == int(sig["r"], 16)
        pub = json.loads(q.private_key_to_public_key_xy(KEY))
        assert (l1["pk_x"], l1["pk_y"]) == (pub["x"], pub["y"])
    # eth_sign trims "0X" from the message; sign refuses it.
    assert q.eth_sign(KEY, "0X1") == q.eth_sign(KEY, "1") == q.eth_sign(KEY, "0x1")
    with pytest.raises(ValueError):
        q.sign(KEY, "0X1")


def test_verify_signature_relations():
    m = 0x1234
    sig = json.loads(q.sign(KEY, hex(m)))
    pub = json.loads(q.private_key_to_public_key_xy(KEY))
    other = json.loads(q.private_key_to_public_key_xy(OTHER_KEY))

    def verify(msg, x=pub["x"], y=pub["y"]):
        return q.verify_signature(sig["r"], sig["s"], x, y, msg)

    assert verify(hex(m)) is True
    assert verify(f"{m:x}") is True
    assert verify(hex(m), y="anything at all") is True
    assert verify(hex(m + 1)) is False
    assert verify(hex(m + ORDER_S)) is True  # only m mod the order is checked
    assert verify(hex(m), x=other["x"], y=other["y"]) is False


def test_public_key_pair_round_trips():
    pub = json.loads(out := q.private_key_to_public_key_xy(KEY))
    assert out == json.dumps(pub, separators=(",", ":"))
    assert HEX64.fullmatch(pub["x"]) and HEX64.fullmatch(pub["y"])
    assert json.loads(q.public_key_to_xy(pub["x"])) == pub
    assert q.is_on_curve(pub["x"], pub["y"]) is True
    assert q.is_on_curve(pub["x"], pub["y"].upper().replace("0X", "0x")) is False
    assert q.is_on_curve(pub["x"], "0x" + pub["y"][2:].lstrip("0") + "1") is False
    upper = "0x" + pub["x"][2:].upper()
    assert json.loads(q.public_key_to_xy(upper))["x"] == upper
    assert json.loads(q.public_key_to_xy("0X" + pub["x"][2:]))["x"] == pub["x"]


def test_small_packed_values_are_not_decoded():
    assert json.loads(q.public_key_to_xy("0x" + "a" * 40)) == {
        "x": "0x" + "a" * 40, "y": "0x" + "0" * 64}


UNWRAP = "called `Result::unwrap()` on an `Err` value: "


@pytest.mark.parametrize(
    "fn,args,expected",
    [
        (q.public_key_to_xy, ("0x" + "f" * 64,),
         UNWRAP + 'RestoreRPoint(Custom { kind: InvalidInput, error: "y is not in field" })'),
        (q.public_key_to_xy, ("0x0000000000000100000000000000000000000000000000000000000000000002",),
         UNWRAP + 'RestoreRPoint(Custom { kind: InvalidInput, error: "not on curve" })'),
        (q.public_key_to_xy, ("0xzz",),
         "Couldn't convert public key to xy: Invalid character 'z' at position 0"
         "\n\nCaused by:\n    Invalid character 'z' at position 0"),
        (q.public_key_to_xy, ("0x" + "1" * 65,),
         "Couldn't convert public key to xy: Invalid string length"
         "\n\nCaused by:\n    Invalid string length"),
        (q.is_on_curve, ("0x12g4", "0x1"),
         "Couldn't get verify xy is on curve: Invalid character 'g' at position 2"
         "\n\nCaused by:\n    Invalid character 'g' at position 2"),
        (q.is_on_curve, ("0x" + "1" * 65, "0x1"),
         "Couldn't get verify xy is on curve: Invalid string length"
         "\n\nCaused by:\n    Invalid string length"),
        (q.is_on_curve, ("0x" + "f" * 64, "0x1"),
         UNWRAP + 'RestoreRPoint(Custom { kind: InvalidInput, error: "y is not in field" })'),
        (q.is_on_curve, ("0xg", "0x1"),
         "Couldn't get verify xy is on curve: Invalid character 'g' at position 1"
         "\n\nCaused by:\n    Invalid character 'g' at position 1"),
        (q.private_key_to_public_key_xy, ("0x" + "f" * 64,),
         "Couldn't convert private key to public key xy: Cannot convert into prime field value: "
         "0x" + "f" * 64 + " is not an element of the field\n\nCaused by:\n    "
         "0x" + "f" * 64 + " is not an element of the field"),
        (q.private_key_to_public_key_xy, ("",),
         "Couldn't convert private key to public key xy: "
         "Incorrect input size. Actual: 0, expected: 32"),
    ],
)
def test_unguarded_failure_texts(fn, args, expected):
    assert panic_text(fn, *args) == expected


def _sig_parts():
    return json.loads(q.sign(KEY, "0x5"))


@pytest.mark.parametrize(
    "fn,args",
    [
        (q.sign, ("zz", "0x1")),
        (q.sign, (KEY, "0x" + "1" * 65)),
        (q.sign, ("0x" + "f" * 64, "0x1")),
        (q.eth_sign, ("0x12", "0x1")),
        (q.eth_sign, (KEY, "xyz")),
        (q.verify_signature, ("0xzz", "0x1", "0x1", "0x1", "0x1")),
        (q.verify_signature, (_sig_parts()["r"], "0x" + "f" * 64, "0x1", "0x1", "0x5")),
        (q.verify_signature, ("0x" + "f" * 64, "0x1", "0x1", "0x1", "0x1")),
        (q.verify_signature, (_sig_parts()["r"], _sig_parts()["s"], "0xq", "", "0x5")),
        (q.verify_signature, (_sig_parts()["r"], _sig_parts()["s"], "0x2", "", "0x5")),
        (q.verify_signature, (_sig_parts()["r"], _sig_parts()["s"], "0x1", "", "0x5g")),
        (q.sign_transfer, ("{}", KEY)),
        (q.sign_transfer, (text("transfer"), "zz")),
        (q.sign_withdraw, (text("withdraw"), "zz")),
        (q.sign_withdraw, ("[]", KEY)),
        (q.sign_limit_order, (text("limit_order", asset_id_synthetic="0x-1"), KEY)),
        (q.sign_limit_order, (text("limit_order"), "")),
        (q.sign_liquidate, (text("liquidate"), "0x0x")),
        (q.sign_liquidate, ("{", KEY)),
        (q.sign_signed_oracle_price, (text("signed_oracle_price"), "0X" + KEY[2:])),
        (q.sign_signed_oracle_price, ("[1]", KEY)),
    ],
)
def test_guarded_functions_raise_value_error_any(fn, args):
    with pytest.raises(ValueError) as info:
        fn(*args)
    assert str(info.value) == "Any { .. }"
    assert info.value.args == ("Any { .. }",)
