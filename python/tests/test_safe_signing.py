"""Signing that cannot go wrong quietly: the named-key rule, the refusals the
module lacks, values that compare as values, and typed batches."""

import dataclasses
import pickle
import warnings

import pytest

import quillet
import quillet_python_sdk as q
from quillet import (InvalidKey, InvalidMessage, KeyMismatch, LimitOrder, Liquidation,
                     MalformedSignature, PrivateKey, PublicKey, Signature, SignedOraclePrice,
                     Transfer, batch)
from quillet.documents import FIELD_MODULUS, named_key
from quillet.keys import SUBGROUP_ORDER, L1Signature
from samples import ORDER, named, text

KEY = PrivateKey.from_seed("safe signing tests: a seed of thirty-two bytes or more")
OTHER = PrivateKey.from_seed("safe signing tests: another seed of thirty-two bytes")
PUB = KEY.public_key
ORDER_OF_KEY = LimitOrder.from_json(named("limit_order", PUB.x))
TRANSFER = Transfer.from_json(named("transfer", PUB.x))
PRICE = SignedOraclePrice.from_json(named("signed_oracle_price", PUB.x))
SIG = KEY.sign(ORDER_OF_KEY)
ZERO_KEY = "0x" + "0" * 64
OUTSIDE_SUBGROUP = "0x" + "0" * 13 + "1" + "0" * 49 + "3"  # on the curve, order 8·s
BAD_R = "0x" + "f" * 64  # its y is not below the field modulus
NOT_ON_CURVE = "0x" + "0" * 13 + "1" + "0" * 49 + "2"


def other(doc):
    return dataclasses.replace(doc, public_key=OTHER.public_key.x)


# One row per refused value: the call, its exception, a part of its text, the batch note.
REFUSED = [
    (lambda: PrivateKey(ZERO_KEY), InvalidKey, "it is 0", None),
    (lambda: KEY.sign_message(0), InvalidMessage, "is message 0", None),
    (lambda: KEY.sign_message("0x0"), InvalidMessage, "is message 0", None),
    (lambda: KEY.sign_message(2 * SUBGROUP_ORDER), InvalidMessage, "is message 0", None),
    (lambda: KEY.eth_sign(SUBGROUP_ORDER), InvalidMessage, "is message 0", None),
    (lambda: KEY.sign_messages([1, "0x00"]), InvalidMessage, "is message 0", 1),
    (lambda: batch.sign_messages(KEY, ["0x1", 0]), InvalidMessage, "is message 0", 1),
    (lambda: PublicKey.from_packed("0x1234"), InvalidKey, "below 2**160", None),
    (lambda: PublicKey.from_packed("0x1"), InvalidKey, "the neutral point", None),
    (lambda: PublicKey.from_packed(ZERO_KEY), InvalidKey, "outside the prime-order", None),
    (lambda: PublicKey.from_packed(f"0x{FIELD_MODULUS - 1:064x}"), InvalidKey, "of order 2",
     None),
    (lambda: PublicKey.from_packed("0x8" + "0" * 62 + "1"), InvalidKey, "the neutral point",
     None),
    (lambda: PublicKey.from_packed("0x" + "f" * 64), InvalidKey, "not below the field", None),
    (lambda: PublicKey.from_packed(NOT_ON_CURVE), InvalidKey, "not on the curve", None),
    (lambda: PublicKey.from_packed(OUTSIDE_SUBGROUP), InvalidKey, "outside the prime-order",
     None),
    (lambda: PublicKey.from_json('{"x": "0x1234", "y": "0x0"}'), InvalidKey, "below 2**160",
     None),
    (lambda: PublicKey(PUB.x, OTHER.public_key.y), InvalidKey, "not the affine x", None),
    (lambda: KEY.sign(other(ORDER_OF_KEY)), KeyMismatch, "names the key 0x", None),
    (lambda: KEY.sign(dataclasses.replace(PRICE, signer_key=OTHER.public_key.x)), KeyMismatch,
     "not this key", None),
    (lambda: KEY.sign_many([TRANSFER, other(TRANSFER)]), KeyMismatch, "not this key", 1),
    (lambda: KEY.sign_many([TRANSFER, TRANSFER.to_json()]), TypeError, "expected a document", 1),
    (lambda: KEY.sign_many([TRANSFER], threads=True), TypeError, "not 'bool'", None),
    (lambda: KEY.sign_messages([1], threads=0), ValueError, "at least 1", None),
    (lambda: batch.sign_many("transfer", [TRANSFER, other(TRANSFER)], KEY), KeyMismatch,
     "not this key", 1),
    (lambda: batch.sign_many("transfer", [ORDER_OF_KEY], KEY), TypeError,
     "a LimitOrder is a limit_order document, not a transfer document", 0),
    (lambda: batch.hash_many("limit_order", [TRANSFER]), TypeError, "not a limit_order", 0),
    (lambda: batch.verify_many([(SIG, PUB, 1), (SIG, PUB, "0xzz")]), InvalidMessage, "0xzz", 1),
    (lambda: batch.verify_many([(SIG, PUB.x, 1)]), TypeError, "(Signature, str, ...)", 0),
    (lambda: batch.verify_many([(SIG, PUB, 1), (Signature(BAD_R, SIG.s), PUB, 1)]),
     MalformedSignature, "signature is malformed", 1),
    (lambda: PUB.verify(Signature(BAD_R, SIG.s), 1), MalformedSignature, "malformed", None),
    (lambda: L1Signature("0x1", "0x5", "0x1", PUB.x, PUB.y).verify(1), MalformedSignature,
     "not a point of the curve", None),
]


@pytest.mark.parametrize("call, error, words, item", REFUSED)
def test_refused_values_name_what_is_wrong(call, error, words, item):
    with pytest.raises(error) as caught:
        call()
    assert words in str(caught.value) and "Any { .. }" not in str(caught.value)
    assert KEY.to_text()[2:] not in str(caught.value)
    assert getattr(caught.value, "__notes__", None) == (
        None if item is None else [f"batch item {item}"])


def test_one_function_names_the_signer_key_for_every_kind():
    liquidation = Liquidation.from_json(named("liquidate", PUB.x))
    for doc in (TRANSFER, ORDER_OF_KEY, liquidation, PRICE):
        assert named_key(doc) == PUB.x
        assert named_key(doc.to_dict(), doc.KIND) == PUB.x
    assert named_key({"liquidator_order": ORDER}, "liquidate") == ORDER["public_key"]
    assert named_key({"liquidator_order": "x"}, "liquidate") is None


def test_key_mismatch_names_both_public_keys_and_pickles():
    with pytest.raises(KeyMismatch) as caught:
        KEY.sign(other(ORDER_OF_KEY))
    error = caught.value
    assert (error.named, error.signer) == (OTHER.public_key.x, PUB.x)
    assert isinstance(error, quillet.QuilletError) and isinstance(error, ValueError)
    copy = pickle.loads(pickle.dumps(error))
    assert (type(copy), str(copy), copy.named) == (KeyMismatch, str(error), error.named)


def test_signatures_and_keys_are_values():
    upper = Signature("0x" + SIG.r[2:].upper(), "0x" + SIG.s[2:].lstrip("0"))
    assert upper == SIG and hash(upper) == hash(SIG) and len({SIG, upper}) == 1
    assert PublicKey(PUB.x.upper().replace("0X", "0x"), PUB.y) == PUB
    assert PublicKey.from_packed(PUB.x) == PUB and PUB.on_curve
    l1 = KEY.eth_sign(77)
    assert l1 == L1Signature(*("0x" + getattr(l1, name)[2:].upper().lstrip("0")
                               for name in ("x", "y", "s", "pk_x", "pk_y")))
    assert (l1.verify(77), l1.verify(78), l1.to_signature()) == (True, False,
                                                                 KEY.sign_message(77))


def test_typed_batches_equal_the_single_calls():
    docs = [TRANSFER, ORDER_OF_KEY, PRICE, ORDER_OF_KEY, TRANSFER]
    singles = [KEY.sign(doc) for doc in docs]
    seen = []
    assert KEY.sign_many(docs) == singles
    assert KEY.sign_many(docs, threads=2, chunk_size=2,
                         progress=lambda done, total: seen.append((done, total))) == singles
    assert seen == [(2, 5), (4, 5), (5, 5)]
    assert all(type(s) is Signature for s in KEY.sign_many(docs))
    msgs = [1, "0x2", 2**256 - 1]
    assert [(s.r, s.s) for s in KEY.sign_messages(msgs)] == \
        [(s.r, s.s) for s in map(KEY.sign_message, msgs)]  # the module's texts, not only values
    assert batch.sign_messages(KEY, msgs) == [KEY.sign_message(m).to_json() for m in msgs]
    rows = [(singles[0], PUB, TRANSFER), (singles[2], PUB, PRICE), (singles[0], PUB, PRICE),
            (KEY.sign_message(5), PUB, 5), [KEY.sign_message(5), PUB, "0x5"],
            (KEY.sign_message(5), PUB, 6)]
    assert batch.verify_many(rows) == [True, True, False, True, True, False]
    assert batch.verify_many(rows, chunk_size=3) == [True, True, False, True, True, False]
    assert KEY.sign_many([]) == [] and KEY.sign_messages([]) == []


def test_the_old_error_name_warns_and_is_the_same_class():
    with pytest.warns(DeprecationWarning, match="MalformedSignature"):
        assert quillet.InvalidSignature is MalformedSignature
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        from quillet import MalformedSignature as current  # noqa: F401


def test_samples_that_name_another_key_are_not_signed_by_the_module_path_either():
    # The module itself signs them (it is fixed); the typed path refuses.
    assert q.sign_transfer(text("transfer"), KEY.to_text())
    with pytest.raises(KeyMismatch):
        KEY.sign(Transfer.from_json(text("transfer")))
