"""The private key held natively (quillet._batch.SigningKey) and the typed
boundary: the scalar wiped on release, no str of the key kept, keys from
bytes, keystores through bytearrays, Refused codes, item_index, and the
usability verdict held to the verification probe it replaced."""

import copy
import json
import os
import pickle

import pytest

import quillet_python_sdk as q
from quillet import InvalidKey, InvalidMessage, PrivateKey, PublicKey, _batch, batch, keystore
from quillet.keys import SUBGROUP_ORDER as ORDER
from samples import text
from test_security_notes import G, P, add, mul, packed

SigningKey = _batch.SigningKey
KEY = PrivateKey.from_seed("native key tests: a seed of thirty-two bytes or more")
KEY_TEXT = KEY.to_text()
DIGITS = KEY_TEXT[2:]
NOT_ON_CURVE = "0x" + "0" * 13 + "1" + "0" * 49 + "2"


def test_the_scalar_is_in_the_object_and_wiped_when_it_is_released():
    value = int(DIGITS, 16)
    # The scalar is kept in Montgomery form: value·2^256 mod the order, limbs little-endian.
    held = (value * (1 << 256) % ORDER).to_bytes(32, "little")
    secret = bytearray(value.to_bytes(32, "big"))
    key = SigningKey.from_bytes(secret)
    secret[:] = bytes(32)
    address, size = id(key), type(key).__basicsize__
    # Read through /proc, which reports memory unmapped since instead of
    # faulting. Nothing is allocated between the release and the second read
    # (the next object of the key's size would take its memory at once).
    with open("/proc/self/mem", "rb", buffering=0) as mem:
        fd = mem.fileno()
        assert held in os.pread(fd, size, address)  # the check below can see it
        del key
        try:
            after = os.pread(fd, size, address)
        except OSError:
            after = b""
    assert held not in after


def test_a_private_key_keeps_no_str_of_its_key():
    for key in (KEY, PrivateKey(KEY_TEXT), PrivateKey.from_bytes(bytes.fromhex(DIGITS))):
        key.public_key  # made and kept on first use
        held = [getattr(key, name) for name in type(key).__slots__ if hasattr(key, name)]
        held += [getattr(key.public_key, name) for name in ("x", "y")]
        assert all(isinstance(value, (str, PublicKey, SigningKey)) for value in held)
        assert not any(isinstance(value, str) and DIGITS in value.lower() for value in held)
        assert not hasattr(key, "__dict__") and DIGITS not in repr(key) + repr(key._key)


def test_a_signing_key_is_neither_copied_nor_pickled_nor_changed():
    native = KEY._key
    for refused in (pickle.dumps, copy.copy, copy.deepcopy, lambda k: SigningKey(),
                    lambda k: setattr(k, "text", "x")):
        with pytest.raises((TypeError, AttributeError)) as caught:
            refused(native)
        assert DIGITS not in str(caught.value)
    assert repr(native) == f"SigningKey(public_key={KEY.public_key.x})"
    assert native == SigningKey.from_text(KEY_TEXT) and hash(native) == hash(KEY._key)
    assert native != SigningKey.generate() and native != KEY_TEXT


@pytest.mark.parametrize("data, fault", [
    (b"", "not 32 bytes"),
    (bytes(31) + b"\x01", None),
    (b"\x01" * 31, "not 32 bytes"),
    (b"\x01" * 33, "not 32 bytes"),
    (bytes(32), "it is 0"),
    ((ORDER - 1).to_bytes(32, "big"), None),
    (ORDER.to_bytes(32, "big"), "out of range"),
    (b"\xff" * 32, "out of range"),
])
def test_keys_from_bytes(data, fault):
    for form in (bytes, bytearray, memoryview):
        if fault is None:
            key = PrivateKey.from_bytes(form(data))
            assert key.to_text() == "0x" + data.hex()
            out = bytearray(32)
            key.write_bytes(out)
            assert out == data
        else:
            with pytest.raises(InvalidKey, match=fault):
                PrivateKey.from_bytes(form(data))
    with pytest.raises(InvalidKey, match="not str"):
        PrivateKey.from_bytes(data.hex())  # type: ignore[arg-type]


def test_write_bytes_needs_a_writable_buffer_of_32_bytes():
    for out, error in [(bytes(32), BufferError), (bytearray(31), ValueError),
                       (bytearray(33), ValueError), ("x" * 32, TypeError)]:
        with pytest.raises(error):
            KEY.write_bytes(out)  # type: ignore[arg-type]


@pytest.mark.parametrize("text, code", [
    ("", "length"),
    ("0x" + "1" * 63, "length"),
    ("0x" + "1" * 66, "length"),
    ("0X" + "1" * 64, "character"),
    (KEY_TEXT[:-1] + "g", "character"),
    (KEY_TEXT + "\udca0", "character"),  # UTF-8 cannot encode it: the interpreter's error would quote the text
    ("0x" + "f" * 64, "range"),
    (f"0x{ORDER:064x}", "range"),
    ("0x0x" + "0" * 64, "zero"),
])
def test_refused_key_texts_have_a_code_and_no_text(text, code):
    with pytest.raises(_batch.Refused) as caught:
        SigningKey.from_text(text)
    error = caught.value
    assert (error.code, error.reason, str(error)) == (code, None, code)
    assert error.__context__ is None


def test_seeds_and_their_refusal():
    seed = "native key tests: a seed of thirty-two bytes or more"
    assert SigningKey.from_seed(seed) == SigningKey.from_seed(bytearray(seed.encode())) == KEY._key
    with pytest.raises(_batch.Refused) as caught:
        SigningKey.from_seed("x" * 31)
    assert caught.value.code == "seed_length"
    with pytest.raises(InvalidKey, match="seed is too short"):
        PrivateKey.from_seed("x" * 31)


@pytest.mark.parametrize("kdf", keystore.KDFS)
def test_keystores_pass_the_key_through_bytearrays_only(kdf, monkeypatch):
    pytest.importorskip("cryptography")
    monkeypatch.setattr(keystore, "SCRYPT_N", 1 << 10)
    monkeypatch.setattr(keystore, "PBKDF2_ROUNDS", 1000)
    given = []
    encrypt = keystore.encrypt

    def watched_encrypt(key, *args, **kwargs):
        given.append(key.buffer)
        return encrypt(key, *args, **kwargs)

    class WatchedKey:  # what _unlock hands the decrypted bytes to
        @staticmethod
        def from_bytes(data):
            given.append(data)
            return SigningKey.from_bytes(data)

    monkeypatch.setattr(keystore, "encrypt", watched_encrypt)
    monkeypatch.setattr("quillet.keys._SigningKey", WatchedKey)
    stored = KEY.to_keystore("a passphrase", kdf=kdf)
    assert PrivateKey.from_keystore(stored, "a passphrase").to_text() == KEY_TEXT
    assert DIGITS not in stored
    assert [type(buffer) for buffer in given] == [bytearray, bytearray]
    assert all(buffer == bytes(32) for buffer in given)  # wiped once used


def test_typed_results_equal_the_module():
    native = KEY._key
    order = text("limit_order")
    assert native.public_key() == tuple(json.loads(q.private_key_to_public_key_xy(KEY_TEXT)).values())
    assert native.sign_document("limit_order", order) == tuple(
        json.loads(q.sign_limit_order(order, KEY_TEXT)).values())
    assert native.sign_message("0x5eed") == tuple(json.loads(q.sign(KEY_TEXT, "0x5eed")).values())
    assert native.eth_sign("0X5eed") == tuple(json.loads(q.eth_sign(KEY_TEXT, "0X5eed")).values())
    msgs = ["0x1", "0x2", "0x" + "f" * 64]
    assert _batch.sign_messages(native, msgs) == _batch.sign_messages(KEY_TEXT, msgs)
    assert _batch.sign_messages(native, msgs, pairs=True) == [
        tuple(json.loads(sig).values()) for sig in _batch.sign_messages(KEY_TEXT, msgs)]
    assert _batch.sign_many("limit_order", [order], native) == [q.sign_limit_order(order, KEY_TEXT)]
    assert _batch.call_many("sign", [(native, "0x1"), (KEY_TEXT, "0x1")], 1) == [
        (True, q.sign(KEY_TEXT, "0x1"))] * 2
    assert _batch.call("eth_sign", native, "0x1") == (True, q.eth_sign(KEY_TEXT, "0x1"))


def test_a_key_object_is_taken_as_a_key_argument_only():
    for call in (lambda: _batch.call("sign", "0x1", KEY._key),
                 lambda: _batch.call_many("hash_transfer", [(KEY._key,)], 1),
                 lambda: q.sign(KEY._key, "0x1")):  # the module itself takes str alone
        with pytest.raises(TypeError, match="'SigningKey' object cannot be converted"):
            call()


@pytest.mark.parametrize("call, kind, code", [
    (lambda: KEY._key.sign_document("transfer", "{}"), "document", "sender_position_id"),
    (lambda: KEY._key.sign_document("withdraw", "{}"), "document", "Couldn get jubjubSignature"),
    (lambda: KEY._key.sign_message("0xzz"), "message", "Invalid character"),
    (lambda: KEY._key.eth_sign("0x" + "1" * 65), "message", "Couldn't sign msg"),
    (lambda: _batch.public_key_xy("0xzz"), "malformed", "Couldn't convert public key to xy"),
    (lambda: _batch.public_key_xy("0x" + "f" * 64), "y_not_in_field", "y is not in field"),
    (lambda: _batch.public_key_xy(NOT_ON_CURVE), "not_on_curve", "not on curve"),
])
def test_refusals_carry_a_code_and_the_cores_reason(call, kind, code, capfd):
    with pytest.raises(_batch.Refused) as caught:
        call()
    assert caught.value.code == kind and code in caught.value.reason
    assert capfd.readouterr().err == ""  # no diagnostic line: the caller words the error


def test_batch_failures_name_their_item_by_attribute_and_note():
    docs = [text("withdraw")] * 5 + ["{}"] + [text("withdraw")]
    for key in (KEY_TEXT, KEY):
        for chunk_size in (None, 2):
            with pytest.raises(ValueError) as caught:
                batch.sign_many("withdraw", docs, key, chunk_size=chunk_size)
            assert (caught.value.item_index, caught.value.__notes__) == (5, ["batch item 5"])
    with pytest.raises(BaseException) as caught:
        _batch.hash_many("transfer", [text("transfer"), "{}"])
    assert (caught.value.item_index, caught.value.__notes__) == (1, ["batch item 1"])
    with pytest.raises(InvalidMessage) as caught:
        batch.sign_messages(KEY, ["0x1", 0])
    assert caught.value.item_index == 1


def probe(key):
    """The check the usability verdict replaced: a signature of message 0
    with R = G and S = 1 verifies under a key exactly when verification
    decodes it into the prime-order subgroup."""
    try:
        return q.verify_signature(packed(G), "0x1", key, "", "0x0")
    except ValueError:
        return False


# Points of small order: (0, -1) of order 2, (±sqrt(-1), 0) of order 4.
NON_RESIDUE = next(g for g in range(2, 100) if pow(g, (P - 1) // 2, P) == P - 1)
ORDER_TWO = (0, P - 1)
ORDER_FOUR = (pow(NON_RESIDUE, (P - 1) // 4, P), 0)
SMALL_ORDER = [ORDER_TWO, ORDER_FOUR, (P - ORDER_FOUR[0], 0)]
PUBLIC = (int(KEY.public_key.y, 16), int(KEY.public_key.x, 16) & ((1 << 255) - 1))


@pytest.mark.parametrize("key, usable", [
    (KEY.public_key.x, True),
    (packed(mul(7, G)), True),
    ("0x1", False),  # the neutral point: verifies everything, usable for nothing
    ("0x8" + "0" * 62 + "1", False),  # its other encoding
    *[(packed(point), False) for point in SMALL_ORDER],
    (packed(add(PUBLIC, ORDER_TWO)), False),  # on the curve, outside the subgroup
    (packed(add(PUBLIC, ORDER_FOUR)), False),
    ("0x" + "0" * 13 + "1" + "0" * 49 + "3", False),  # order 8·s
    (NOT_ON_CURVE, False),  # its x lies on the twist
    ("0x" + "f" * 64, False),  # y not below the field modulus
    ("0x1234", False),  # read as (0, 0x1234), off the curve
    ("0x0", False),
    ("0xzz", False),
    ("", False),
])
def test_is_usable_key_is_the_probe_without_the_neutral_point(key, usable):
    neutral = key in ("0x1", "0x8" + "0" * 62 + "1")
    assert _batch.is_usable_key(key) is usable is (probe(key) and not neutral)
