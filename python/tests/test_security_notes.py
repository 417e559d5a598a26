"""What docs/SECURITY.md says about verification, checked: the challenge is
the message, so anyone holding a public key can make a pair that verifies;
the neutral point as a key accepts everything; other keys outside the
prime-order subgroup accept nothing. Also what the hashes leave out or let
overlap, message 0, the one extension file behind both module names and
the raw diagnostic line."""

import json
import os

import pytest

import quillet_python_sdk as q
from quillet import _batch
from samples import text

P = 21888242871839275222246405745257275088548364400416034343698204186575808495617
ORDER = 2736030358979909402780800718157159386076813972158567259200215660948447373041
D = 12181644023421730124874158521699555681764249180949974110617291017600649128846
G = (21237458262955047976410108958495203094252581401952870797780751629344472264183,
     2544379904535866821506503524998632645451772693132171985463128613946158519479)
NEUTRAL = (0, 1)


def add(a, b):
    """The curve's addition law (a = -1), affine."""
    (x1, y1), (x2, y2) = a, b
    t = D * x1 * x2 * y1 * y2 % P
    x3 = (x1 * y2 + y1 * x2) * pow(1 + t, -1, P) % P
    y3 = (y1 * y2 + x1 * x2) * pow(1 - t, -1, P) % P
    return x3, y3


def mul(k, point):
    acc = NEUTRAL
    for bit in bin(k)[2:]:
        acc = add(acc, acc)
        if bit == "1":
            acc = add(acc, point)
    return acc


def packed(point):
    x, y = point
    return "0x%064x" % (y | (x & 1) << 255)


def public_point(pub):
    """The point of a private_key_to_public_key_xy pair: y from the packed key."""
    return int(pub["y"], 16), int(pub["x"], 16) & ((1 << 255) - 1)


KEY = q.private_key_from_seed("security notes: a key whose owner signs nothing here")
PUB = json.loads(q.private_key_to_public_key_xy(KEY))


def test_the_curve_helpers_agree_with_the_module():
    a = public_point(PUB)
    assert mul(int(KEY, 16), G) == a
    assert packed(a) == PUB["x"]


@pytest.mark.parametrize("msg", ["0x1", "0x" + "ab" * 32, "0x0"])
@pytest.mark.parametrize("s", [1, 123456789, ORDER - 1])
def test_anyone_with_the_public_key_makes_a_pair_that_verifies(msg, s):
    m = int(msg, 16) % ORDER
    x, y = public_point(PUB)
    r = add(mul(s, G), mul(m, ((-x) % P, y)))  # R = S·G - m·A
    assert q.verify_signature(packed(r), "0x%064x" % s, PUB["x"], PUB["y"], msg)


def test_key_zero_signs_every_message_at_once():
    zero = "0x" + "0" * 64
    pub = json.loads(q.private_key_to_public_key_xy(zero))
    assert pub["x"] == "0x" + "0" * 63 + "1"
    sig = json.loads(q.sign(zero, "0x1234"))
    for key_text in (pub["x"], "0x1", "0x8" + "0" * 62 + "1"):
        for msg in ("0x1234", "0x1", "0x" + "f" * 64):
            assert q.verify_signature(sig["r"], sig["s"], key_text, "", msg)


def test_small_order_key_accepts_nothing():
    order_two = packed((0, P - 1))  # (0, -1) has order 2
    sig = json.loads(q.sign(KEY, "0x1234"))
    assert not q.verify_signature(sig["r"], sig["s"], order_two, "", "0x1234")
    assert q.verify_signature(sig["r"], sig["s"], PUB["x"], PUB["y"], "0x1234")


WIDE = 2**32


@pytest.mark.parametrize("kind, one, other", [
    # The limit order's nonce adds into the fee's 64-bit word and a carry out
    # of that word is lost.
    ("limit_order", {"amount_fee": "12500", "nonce": str(WIDE + 7)},
     {"amount_fee": "12501", "nonce": "7"}),
    ("limit_order", {"amount_fee": str(WIDE - 1), "nonce": str(WIDE)},
     {"amount_fee": "0", "nonce": "0"}),
    # The withdrawal's nonce carries into the position.
    ("withdraw", {"position_id": "42", "nonce": str(WIDE + 2)},
     {"position_id": "43", "nonce": "2"}),
    # Left out of the hash altogether.
    ("transfer", {}, {"receiver_public_key": "0x1", "public_key": "0x2"}),
    ("limit_order", {}, {"public_key": "0x3"}),
    ("withdraw", {"public_key": "0x4"}, {"public_key": "0x5"}),  # both differ from eth_address
    ("liquidate", {}, {"liquidated_position_id": "1", "actual_collateral": "2"}),
])
def test_different_documents_share_a_hash_and_a_signature(kind, one, other):
    first, second = text(kind, **one), text(kind, **other)
    assert first != second
    hash_fn, sign_fn = getattr(q, f"hash_{kind}"), getattr(q, f"sign_{kind}")
    assert hash_fn(first) == hash_fn(second)
    assert sign_fn(first, KEY) == sign_fn(second, KEY)


@pytest.mark.parametrize("msg", ["0x", "0x0", hex(ORDER)])
def test_message_zero_is_signed_for_every_key(msg):
    sig = json.loads(q.sign(KEY, msg))
    for seed in ("someone else, who never signed it", "and someone else again, no signer"):
        other = json.loads(q.private_key_to_public_key_xy(q.private_key_from_seed(seed)))
        assert q.verify_signature(sig["r"], sig["s"], other["x"], other["y"], msg)


def test_both_module_names_come_from_one_extension_file():
    # One file mapped once: one core and one set of its tables per process.
    assert _batch.__file__ == q.__file__
    with open("/proc/self/maps") as maps:
        mapped = {line.split()[-1] for line in maps if "quillet" in line.rsplit("/", 1)[-1]}
    assert mapped == {os.path.realpath(q.__file__)}


def test_invisible_characters_of_a_document_reach_stderr_raw(capfd):
    with pytest.raises(BaseException, match="invalid type"):
        q.hash_transfer('"\u2028\u202e"')
    assert '"\u2028\u202e\\"' in capfd.readouterr().err
