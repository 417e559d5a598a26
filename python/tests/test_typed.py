"""The typed API: documents, keys and errors give the module's results, byte for byte."""

import asyncio
import copy
import dataclasses
import functools
import json
import pickle
import random
import traceback

import pytest

import quillet
import quillet_python_sdk as q
from quillet import (InvalidDocument, InvalidKey, LimitOrder, Liquidation, PrivateKey, PublicKey,
                     Signature, SignedOraclePrice, Transfer, Withdrawal)
from quillet.documents import DOCUMENT_TYPES, FIELD_MODULUS
from quillet.keys import L1Signature

KEY = PrivateKey.from_seed("typed api tests: a seed of thirty-two bytes or more")


def hex_id(rng, limit=FIELD_MODULUS):
    return f"0x{rng.randrange(limit):x}"


def random_document(kind, rng):
    u64 = lambda: rng.choice([0, 2**64 - 1, rng.randrange(2**64)])  # noqa: E731
    base = dict(nonce=rng.choice([0, 2**32 - 1, rng.randrange(2**32)]),
                public_key=hex_id(rng, 2**256),
                expiration_timestamp=rng.choice([0, 2**32 - 1, rng.randrange(2**32)]))
    if kind == "transfer":
        return Transfer(sender_position_id=u64(), receiver_public_key=hex_id(rng, 2**256),
                        receiver_position_id=u64(), amount=u64(), asset_id=hex_id(rng), **base)
    if kind == "withdraw":
        return Withdrawal(position_id=u64(), amount=u64(), asset_id=hex_id(rng),
                          eth_address=rng.choice([base["public_key"], hex_id(rng, 2**160)]),
                          **base)
    order = LimitOrder(amount_synthetic=u64(), amount_collateral=u64(), amount_fee=u64(),
                       asset_id_synthetic=hex_id(rng, 2**127), asset_id_collateral=hex_id(rng),
                       position_id=u64(), is_buying_synthetic=rng.random() < 0.5, **base)
    if kind == "limit_order":
        return order
    if kind == "liquidate":
        return Liquidation(liquidator_order=order, liquidated_position_id=u64(),
                           actual_collateral=u64(), actual_synthetic=u64(),
                           actual_liquidator_fee=u64())
    return SignedOraclePrice(signer_key=hex_id(rng, 2**256), signed_asset_id=hex_id(rng),
                             external_price=rng.choice([0, 2**128 - 1, rng.randrange(2**128)]),
                             timestamp=rng.randrange(2**32))


def named_by(doc, key):
    """`doc` naming `key` as its signer's."""
    if isinstance(doc, Liquidation):
        return dataclasses.replace(doc, liquidator_order=named_by(doc.liquidator_order, key))
    field = "signer_key" if isinstance(doc, SignedOraclePrice) else "public_key"
    changes = {field: key.public_key.x}
    if isinstance(doc, Withdrawal) and doc.eth_address == doc.public_key:
        changes["eth_address"] = key.public_key.x  # an owner's address may be any key
    return dataclasses.replace(doc, **changes)


@pytest.mark.parametrize("kind", DOCUMENT_TYPES)
def test_documents_hash_sign_and_round_trip_like_the_module(kind):
    rng = random.Random(kind)
    key_text = KEY.to_text()
    for _ in range(12):
        doc = named_by(random_document(kind, rng), KEY)
        text = doc.to_json()
        assert text == json.dumps(doc.to_dict(), separators=(",", ":"))
        assert doc.hash() == getattr(q, f"hash_{kind}")(text)
        assert KEY.sign(doc).to_json() == getattr(q, f"sign_{kind}")(text, key_text)
        assert type(doc).from_json(text) == doc
        assert KEY.public_key.verify(KEY.sign(doc), doc)


@pytest.mark.parametrize("kind", DOCUMENT_TYPES)
def test_a_documents_kept_json_text_is_its_own_through_copies(kind):
    doc = named_by(random_document(kind, random.Random(kind)), KEY)
    text = doc.to_json()  # kept from here on
    for same in (pickle.loads(pickle.dumps(doc)), copy.copy(doc), copy.deepcopy(doc)):
        assert same == doc and same.to_json() == text
    other = named_by(doc, PrivateKey.from_seed("another key: a seed of thirty-two bytes or more"))
    assert other.to_json() == json.dumps(other.to_dict(), separators=(",", ":")) != text


def test_keys_and_message_signatures_equal_the_module():
    text = KEY.to_text()
    assert KEY.public_key.to_json() == q.private_key_to_public_key_xy(text)
    assert PublicKey.from_packed(KEY.public_key.x) == KEY.public_key
    assert KEY.public_key.on_curve
    for msg in ["0x0a1b2c", "0x" + "f" * 60, "12"]:
        assert KEY.sign_message(msg).to_json() == q.sign(text, msg)
        assert KEY.eth_sign(msg).to_json() == q.eth_sign(text, msg)
        sig = Signature.from_json(q.sign(text, msg))
        assert KEY.public_key.verify(sig, msg) and not KEY.public_key.verify(sig, "0x5")
    assert KEY.sign_message(10) == KEY.sign_message("0x" + "0" * 62 + "0a")
    l1 = L1Signature.from_json(q.eth_sign(text, "0x1"))
    assert (l1.pk_x, l1.pk_y) == (KEY.public_key.x, KEY.public_key.y)


def test_a_private_key_shows_and_pickles_no_secret(monkeypatch, tmp_path):
    secret = KEY.to_text()
    for shown in (repr(KEY), str(KEY), f"{KEY}"):
        assert secret[2:] not in shown and KEY.public_key.x in shown
    with pytest.raises(TypeError):
        pickle.dumps(KEY)
    (tmp_path / "key.json").write_text(json.dumps({"private_key": secret}) + "\n")
    (tmp_path / "key.json").chmod(0o600)
    assert PrivateKey.from_file(tmp_path / "key.json").to_text() == secret
    monkeypatch.setenv("QUILLET_PRIVATE_KEY", secret + "\n")
    assert PrivateKey.from_env().public_key == KEY.public_key


@pytest.mark.parametrize("bad, fault", [
    ("0x" + "f" * 64, "out of range"),
    ("0x12345678zz", "unexpected character U+007A 'z' at position 10"),
    ("0x" + "1" * 70, "70 hex digits where 64 are expected"),
    ("0x" + "1" * 63, "63 hex digits where 64 are expected"),
])
def test_a_bad_key_is_named_without_its_digits(monkeypatch, bad, fault):
    monkeypatch.setenv("QUILLET_PRIVATE_KEY", bad)
    with pytest.raises(InvalidKey) as caught:
        PrivateKey.from_env()
    message = str(caught.value)
    assert message.startswith("$QUILLET_PRIVATE_KEY: ") and fault in message
    assert "12345678" not in message and "ffff" not in message and caught.value.reason is None


BASE_ORDER = random_document("limit_order", random.Random("base")).to_dict()
ORDER_ARGS = {name: (int(value) if isinstance(value, str) and value.isdigit() else value)
              for name, value in BASE_ORDER.items()}


@pytest.mark.parametrize("field, value, words", [
    ("nonce", 2**32, "below 2**32"),
    ("nonce", 2**32 + 7, "4294967303 is out of range: the hash does not bind it"),
    ("nonce", -1, "out of range"),
    ("expiration_timestamp", 1_767_225_600_000, "looks like milliseconds"),
    ("amount_fee", 2**64, "unsigned 64-bit"),
    ("position_id", "1001", "expected an int"),
    ("position_id", True, "expected an int"),
    ("is_buying_synthetic", 1, "expected a bool"),
    ("asset_id_collateral", f"0x{FIELD_MODULUS:x}", "the hash does not bind it"),
    ("asset_id_synthetic", "0x" + "8" + "0" * 31, "below 2**127"),
    ("public_key", "0x" + "1" * 65, "at most 64 hex digits"),
    ("public_key", "key", "at most 64 hex digits"),
])
def test_construction_names_the_refused_field(field, value, words):
    # Every field the hash reduces, truncates or overlaps is refused here, and so
    # by the audit and `quillet verify --kind`, which validate through these classes.
    with pytest.raises(InvalidDocument) as caught:
        LimitOrder(**{**ORDER_ARGS, field: value})
    assert caught.value.field == field and words in str(caught.value)
    assert isinstance(caught.value, ValueError) and str(caught.value).startswith(field + ": ")


def test_a_withdrawal_address_is_a_field_element_unless_it_is_the_owner():
    rng = random.Random("address")
    base = random_document("withdraw", rng).to_dict() | {"eth_address": "0x1"}
    high = f"0x{FIELD_MODULUS + 1:x}"
    with pytest.raises(InvalidDocument, match="eth_address: .* the hash does not bind it"):
        Withdrawal.from_json(json.dumps({**base, "eth_address": high}))
    # Equal to the public key, it is not hashed: any key value is fine.
    assert Withdrawal.from_json(json.dumps({**base, "eth_address": high, "public_key": high}))


@pytest.mark.parametrize("change, field", [
    ({"nonce": "0x11"}, "nonce"),
    ({"position_id": 1001}, "position_id"),
    ({"expiration_timestamp": "1767225600000"}, "expiration_timestamp"),
    ({"amount_fee": "+5"}, "amount_fee"),
])
def test_from_json_names_the_refused_field(change, field):
    with pytest.raises(InvalidDocument) as caught:
        LimitOrder.from_json(json.dumps({**BASE_ORDER, **change}))
    assert caught.value.field == field


@pytest.mark.parametrize("text, words", [
    ('{"nonce": "1", "nonce": "2"}', "nonce: repeated"),
    ("{}", "amount_synthetic: missing"),
    ("[1, 2", "not a JSON text"),
    ("[]", "must be a JSON object"),
])
def test_from_json_refuses_malformed_texts(text, words):
    with pytest.raises(InvalidDocument, match=words.replace("*", r"\*")):
        LimitOrder.from_json(text)


def test_errors_carry_the_core_reason_and_pickle_whole():
    order = LimitOrder.from_dict(BASE_ORDER)
    liquidation = Liquidation.from_json(json.dumps(
        [BASE_ORDER, "1", "2", "3", "4"]))  # the array form the module takes too
    assert liquidation.hash() == order.hash()
    with pytest.raises(quillet.QuilletError) as caught:
        PublicKey.from_packed("0xzz")
    error = caught.value
    assert isinstance(error, Exception) and error.reason and "Invalid character" in error.reason
    copy = pickle.loads(pickle.dumps(error))
    assert (type(copy), str(copy), copy.reason) == (type(error), str(error), error.reason)


def test_panic_exception_is_exported_and_pickles_with_its_notes():
    with pytest.raises(quillet.PanicException) as caught:
        q.hash_transfer("{}")
    assert type(caught.value) is quillet.PanicException
    caught.value.add_note("context")
    copy = pickle.loads(pickle.dumps(caught.value))
    assert type(copy) is quillet.PanicException
    assert (copy.args, copy.__notes__) == (caught.value.args, ["context"])


def _failures(key):
    """Every typed and batch call that fails given a PrivateKey: (name, call)."""
    from quillet import aio, batch

    def progress_fails(done, total):
        raise RuntimeError("progress")

    doc = random_document("transfer", random.Random("leak")).to_json()
    return [
        ("sign_many", lambda: batch.sign_many("transfer", ["{}"], key)),
        ("sign_many chunked", lambda: batch.sign_many("transfer", ["{}"], key, chunk_size=1)),
        ("sign_many progress", lambda: batch.sign_many("transfer", [doc], key,
                                                       progress=progress_fails)),
        ("sign_many outcomes", lambda: batch.sign_many("transfer", [doc], key, outcomes=True,
                                                       threads=True)),
        ("sign_many unwrap", lambda: batch.sign_many("transfer", ["{}"], key,
                                                     outcomes=True)[0].unwrap()),
        ("sign_messages", lambda: batch.sign_messages(key, ["0xzz"])),
        ("sign_messages outcomes", lambda: batch.sign_messages(key, ["0x1"], outcomes=True,
                                                               threads=0)),
        ("sign_messages progress", lambda: batch.sign_messages(key, ["0x1"],
                                                               progress=progress_fails)),
        ("aio.sign_many", lambda: asyncio.run(aio.sign_many("transfer", ["{}"], key))),
        ("aio.sign_messages", lambda: asyncio.run(aio.sign_messages(key, ["0xzz"]))),
        ("sign", lambda: key.sign(doc)),
        ("sign_message", lambda: key.sign_message("0xzz")),
        ("eth_sign", lambda: key.eth_sign(-1)),
    ]


def _shows_key(text, key):
    digits, text = key.to_text()[2:].lower(), text.lower()
    return any(digits[i:i + 16] in text for i in range(len(digits) - 15))


@pytest.mark.parametrize("name", [name for name, _ in _failures(KEY)])
def test_no_traceback_of_a_failing_call_shows_the_private_key(name):
    # What error reporters print: every frame's locals, chained exceptions too.
    call = dict(_failures(KEY))[name]
    with pytest.raises(BaseException) as caught:
        call()
    error = caught.value
    shown = "".join(traceback.TracebackException.from_exception(
        error, capture_locals=True).format())
    shown += "".join(traceback.format_exception(error))
    assert not _shows_key(shown, KEY), name


@pytest.mark.parametrize("stray", ["\udca0", "\u00e9"])
def test_a_stray_character_in_a_key_is_named_not_quoted(monkeypatch, tmp_path, stray):
    secret = KEY.to_text()
    monkeypatch.setenv("QUILLET_PRIVATE_KEY", secret + stray)
    (tmp_path / "key").write_bytes(secret.encode() + b"\xa0")
    (tmp_path / "key").chmod(0o600)
    # (call, whether its frames may hold the text: only when the caller passed it)
    for call, passed in [(PrivateKey.from_env, False),
                         (functools.partial(PrivateKey.from_file, tmp_path / "key"), False),
                         (functools.partial(PrivateKey, secret + stray), True)]:
        with pytest.raises(InvalidKey) as caught:
            call()
        error = caught.value
        assert f"position {len(secret)}" in str(error) or f"byte {len(secret)}" in str(error)
        assert error.__context__ is None and error.__cause__ is None
        shown = str(error) + repr(error.args)
        if not passed:  # every frame below the test's own
            shown += "".join(traceback.TracebackException(
                type(error), error, error.__traceback__.tb_next, capture_locals=True).format())
        assert not _shows_key(shown, KEY), shown
