"""Keys and signatures as typed values.

    key = PrivateKey.from_seed("…at least 32 UTF-8 bytes…")  # or from_text, from_file, from_env
    signature = key.sign(order)                                # a Signature
    key.public_key.verify(signature, order)                    # True
    key = PrivateKey.generate()                                # fresh from the OS
    text = key.to_keystore(passphrase)                         # encrypted, to store
    key = PrivateKey.from_keystore(text, passphrase)

Every result is the fixed module's, byte for byte: the same core calls run
(through quillet._batch, which returns typed results and the core's reason
instead of printing it). A PrivateKey holds its key natively, as a
quillet._batch.SigningKey whose memory is wiped when the key is released; it
never shows the key in repr, str or error texts and refuses to be pickled.
`to_text()` is the one way to read the key back as text, and that text is a
str Python never overwrites.
"""

from __future__ import annotations

import json
import os
import stat
import warnings
from collections.abc import Callable, Iterable
from dataclasses import dataclass
from typing import Any, NoReturn, Self, TypeVar

from quillet import _batch, keystore
from quillet.documents import HEX, Document, Kind, key_value, named_key
from quillet.errors import (InvalidKey, InvalidMessage, KeyFileWarning, KeyMismatch,
                            MalformedSignature, QuilletError, SigningFailed)

E = TypeVar("E", bound=BaseException)

KEY_VARIABLE = "QUILLET_PRIVATE_KEY"
# The order of the key group: private keys are below it, only a message modulo
# it enters a signature, and a message of value 0 modulo it verifies under
# every key.
SUBGROUP_ORDER = 2736030358979909402780800718157159386076813972158567259200215660948447373041
_NEUTRAL = 1  # the packed neutral point: the public key of private key 0
_USABLE_CACHE = 4096
# The module's words for a seed under 32 bytes.
_SEED_TOO_SHORT = "Couldn't derive private key from seed: seed is too short"
_usable: dict[int, int] = {}  # packed key value -> affine x of keys known to be usable


# (True, result) or (False, the core's reason) of one module function's core call.
_call: Callable[..., tuple[bool, str | bool]] = _batch.call
_SigningKey = _batch.SigningKey
_Refused = _batch.Refused

# A keystore's passphrase: its text, kept hidden; a function that gives it,
# called only once a keystore is found that needs it (a prompt asks nothing
# for a plain key); or None for $QUILLET_KEY_PASSPHRASE.
PassphraseSource = keystore.Passphrase | Callable[[], str] | None


# What is wrong with a refused private key, by the native code: in words that
# quote none of it (the core's own text may hold the key's digits).
_KEY_FAULTS = {
    "range": "its value is out of range (not below the order of the key group)",
    "zero": "it is 0, whose public key (the neutral point) accepts a signature for every message",
}
# Why a packed public key does not decode, by the native code.
_DECODE_FAULTS = {
    "y_not_in_field": "its y is not below the field modulus",
    "not_on_curve": "it is not on the curve",
}


def _key_fault(code: str) -> str:
    return _KEY_FAULTS.get(code, "it is not a private key")


_KEY_DIGITS = 64
_HEX_DIGITS = frozenset("0123456789abcdefABCDEF")


def _malformed(text: str) -> str:
    """What keeps `text` from the form of a private key text ("0x" prefixes,
    then 64 hex digits), told without quoting it: the first character that is
    no hex digit (shown only when printable ASCII) and its position, else the
    count of digits. Positions count from 0 at the start of `text`, in UTF-8
    bytes (the characters before the one named are ASCII). A character that
    UTF-8 cannot encode (a lone surrogate, what os.environ makes of a stray
    non-UTF-8 byte) is named here before any call could raise
    UnicodeEncodeError, which would hold the whole text."""
    if not text:
        return "it is empty"
    digits = text
    while digits.startswith("0x"):
        digits = digits[2:]
    start = len(text) - len(digits)
    for position, char in enumerate(digits, start):
        if char not in _HEX_DIGITS:
            shown = f" {char!r}" if char.isascii() and char.isprintable() else ""
            return f"unexpected character U+{ord(char):04X}{shown} at position {position}"
    return f"{len(digits)} hex digits where {_KEY_DIGITS} are expected"


# The text of a message int: "0x" and 64 hex digits.
_MESSAGE_FORMAT = "0x%064x"
_MESSAGE_LIMIT = 1 << 256


def message_text(msg: str | int) -> str:
    """A message as the module takes it: hexadecimal text of a 256-bit integer."""
    if type(msg) is int and 0 <= msg < _MESSAGE_LIMIT:  # the common case, first
        return _MESSAGE_FORMAT % msg
    if isinstance(msg, bool) or not isinstance(msg, (int, str)):
        raise InvalidMessage(f"a message is a hex str or an int, not {type(msg).__name__}")
    if isinstance(msg, int):
        if not 0 <= msg < _MESSAGE_LIMIT:
            raise InvalidMessage("a message is an integer in [0, 2**256)")
        return _MESSAGE_FORMAT % msg
    if HEX.fullmatch(msg) is None:
        raise InvalidMessage(f"{msg!r} is not \"0x\" and up to 64 hex digits")
    return msg


def signable_text(msg: str | int) -> str:
    """message_text(msg) for signing: a message of value 0 modulo the group
    order is refused, since its signature verifies under every key."""
    if type(msg) is int and 0 < msg < SUBGROUP_ORDER:  # the common case: nonzero already
        return _MESSAGE_FORMAT % msg
    text = message_text(msg)
    if int(text.removeprefix("0x"), 16) % SUBGROUP_ORDER == 0:
        raise InvalidMessage(f"{msg!r} is message 0 (modulo the group order), whose signature "
                             "verifies under every public key: it is never signed")
    return text


def _hex_field(owner: str, name: str, value: object,
               error: type[QuilletError] = MalformedSignature) -> None:
    if not isinstance(value, str) or HEX.fullmatch(value) is None:
        raise error(f"{owner}.{name}: {value!r} is not \"0x\" and up to 64 hex digits")


def _value(text: str) -> int:
    return int(text.removeprefix("0x"), 16)


def _json_object(text: str | bytes, names: tuple[str, ...], what: str,
                 error: type[QuilletError] = MalformedSignature) -> dict[str, Any]:
    try:
        data = json.loads(text)
    except ValueError as cause:
        raise error(f"{what}: not a JSON text: {cause}") from None
    if not isinstance(data, dict) or any(name not in data for name in names):
        raise error(f"{what}: expected a JSON object with the keys {', '.join(names)}")
    return data


# Values compare by the integers they hold: the module reads "0x" prefixes,
# either case and missing leading zeros alike.

@dataclass(frozen=True, slots=True, eq=False)
class Signature:
    """An EdDSA signature (r, s), as the module's sign functions give it.
    Signatures compare and hash as values, not as texts."""

    r: str
    s: str

    def __post_init__(self) -> None:
        _hex_field("Signature", "r", self.r)
        _hex_field("Signature", "s", self.s)

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Signature):
            return NotImplemented
        return (_value(self.r), _value(self.s)) == (_value(other.r), _value(other.s))

    def __hash__(self) -> int:
        return hash((_value(self.r), _value(self.s)))

    def to_json(self) -> str:
        """'{"r":"0x…","s":"0x…"}', the module's text."""
        return json.dumps({"r": self.r, "s": self.s}, separators=(",", ":"))

    @classmethod
    def from_json(cls, text: str | bytes) -> Self:
        data = _json_object(text, ("r", "s"), "Signature")
        return cls(data["r"], data["s"])


# The slots' own setters: a frozen dataclass refuses setattr.
_SET_R = Signature.__dict__["r"].__set__
_SET_S = Signature.__dict__["s"].__set__
_new = object.__new__


def _signature(pair: tuple[str, str]) -> Signature:
    # The native (r, s), "0x" and 64 digits each: checked there, so made
    # without checking again, as the batch calls return thousands of them.
    signature = _new(Signature)
    _SET_R(signature, pair[0])
    _SET_S(signature, pair[1])
    return signature


@dataclass(frozen=True, slots=True, eq=False)
class L1Signature:
    """The signature eth_sign gives: the point (x, y), s, and the signer's key
    (pk_x, pk_y). L1 signatures compare and hash as values."""

    x: str
    y: str
    s: str
    pk_x: str
    pk_y: str

    def __post_init__(self) -> None:
        for name in ("x", "y", "s", "pk_x", "pk_y"):
            _hex_field("L1Signature", name, getattr(self, name))

    def to_json(self) -> str:
        """'{"x":…,"y":…,"s":…,"pk_x":…,"pk_y":…}', the module's text."""
        return json.dumps({"x": self.x, "y": self.y, "s": self.s, "pk_x": self.pk_x,
                           "pk_y": self.pk_y}, separators=(",", ":"))

    @classmethod
    def from_json(cls, text: str | bytes) -> Self:
        data = _json_object(text, ("x", "y", "s", "pk_x", "pk_y"), "L1Signature")
        return cls(data["x"], data["y"], data["s"], data["pk_x"], data["pk_y"])

    def _values(self) -> tuple[int, ...]:
        return tuple(_value(getattr(self, name)) for name in ("x", "y", "s", "pk_x", "pk_y"))

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, L1Signature):
            return NotImplemented
        return self._values() == other._values()

    def __hash__(self) -> int:
        return hash(self._values())

    @property
    def public_key(self) -> PublicKey:
        """The signer's key (pk_x, pk_y); InvalidKey if verification cannot use it."""
        return PublicKey(self.pk_x, self.pk_y)

    def to_signature(self) -> Signature:
        """The same signature in the packed form of sign: r is the point (x, y)
        packed. MalformedSignature if (x, y) is not a point of the curve."""
        x, y = _value(self.x), _value(self.y)
        packed = f"0x{y | (x & 1) << 255:064x}"
        try:
            on_curve = y < 1 << 255 and _value(_batch.public_key_xy(packed)[1]) == x
        except _Refused:
            on_curve = False
        if not on_curve:
            raise MalformedSignature("L1Signature: (x, y) is not a point of the curve")
        return Signature(packed, self.s)

    def verify(self, message: str | int) -> bool:
        """Whether this signature verifies for the message integer under its
        own key (pk_x, pk_y), as the packed signature would with
        PublicKey.verify."""
        return self.public_key.verify(self.to_signature(), message)


def _affine_x(packed: str) -> int:
    """The affine x of the point a packed key text decodes to, if verification
    can use that key: it decodes as verification decodes it, lies on the curve
    and in the prime-order subgroup, and is not the neutral point. Otherwise
    InvalidKey, saying which."""
    v = _value(packed)
    known = _usable.get(v)
    if known is not None:
        return known
    if v == _NEUTRAL:
        raise InvalidKey(f"{packed!r} is the neutral point (the key of private key 0), under "
                         "which a signature verifies for every message")
    if 0 < v < 1 << 160:
        raise InvalidKey(f"{packed!r} does not decode: verification reads a nonzero value below "
                         "2**160 as the point (0, value), which is not on the curve")
    try:
        x = _value(_batch.public_key_xy(packed)[1])
    except _Refused as refusal:
        what = _DECODE_FAULTS.get(refusal.code, "it does not decode")
        raise InvalidKey(f"{packed!r} is not a public key: {what}",
                         reason=refusal.reason) from None
    if x == 0:  # (0, 1), the neutral point, or (0, -1), of order 2
        raise InvalidKey(f"{packed!r} is not a public key: its point is the neutral point or "
                         "of order 2")
    if not _batch.is_usable_key(packed):
        raise InvalidKey(f"{packed!r} is not a public key: its point is outside the "
                         "prime-order subgroup, so no signature verifies under it")
    if len(_usable) >= _USABLE_CACHE:
        _usable.clear()
    _usable[v] = x
    return x


@dataclass(frozen=True, slots=True, eq=False)
class PublicKey:
    """A public key: `x` the packed key (what documents and verification use),
    `y` the affine x-coordinate of its point. Only keys that verification can
    use are made (decodable, on the curve, in the prime-order subgroup, not the
    neutral point); others raise InvalidKey. Keys compare and hash as values."""

    x: str
    y: str

    def __post_init__(self) -> None:
        for name in ("x", "y"):
            _hex_field("PublicKey", name, getattr(self, name), InvalidKey)
        if _affine_x(self.x) != _value(self.y):
            raise InvalidKey(f"PublicKey.y: {self.y!r} is not the affine x-coordinate of the "
                             f"point of x ({self.x})")

    @classmethod
    def _trusted(cls, x: str, y: str) -> Self:
        key = _new(cls)
        _SET_X(key, x)
        _SET_Y(key, y)
        return key

    @classmethod
    def from_packed(cls, packed: str) -> Self:
        """The key of a packed public key text. InvalidKey for a text that
        verification cannot use, saying why."""
        if isinstance(packed, str) and HEX.fullmatch(packed):
            known = _usable.get(_value(packed))
            if known is not None:  # the pair public_key_to_xy gives, without decoding again
                return cls._trusted(packed if packed.startswith("0x") else "0x" + packed,
                                    f"0x{known:064x}")
        reason = None
        if isinstance(packed, str):
            try:
                return cls(*_batch.public_key_xy(packed))
            except _Refused as refusal:
                reason = refusal.reason
            if HEX.fullmatch(packed):
                _affine_x(packed)  # says why
        raise InvalidKey(f"not a packed public key: {packed!r}", reason=reason)

    @classmethod
    def from_json(cls, text: str | bytes) -> Self:
        """The key of '{"x":…,"y":…}' (what pubkey and private_key_to_public_key_xy print)."""
        data = _json_object(text, ("x", "y"), "PublicKey", InvalidKey)
        return cls(data["x"], data["y"])

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, PublicKey):
            return NotImplemented
        return _value(self.x) == _value(other.x)

    def __hash__(self) -> int:
        return hash(_value(self.x))

    def to_json(self) -> str:
        """'{"x":"0x…","y":"0x…"}', the module's text."""
        return json.dumps({"x": self.x, "y": self.y}, separators=(",", ":"))

    @property
    def on_curve(self) -> bool:
        """True: a PublicKey exists only for a key that verification can use
        (its point is on the curve and in the prime-order subgroup)."""
        return True

    def verify(self, signature: Signature, message: Document | str | int) -> bool:
        """Whether `signature` verifies for `message` (a document, whose hash
        is checked, or a message integer) under this key. A well-formed
        signature that does not match gives False; see docs/SECURITY.md for
        what a True proves."""
        if type(message) is int and 0 <= message < _MESSAGE_LIMIT:
            msg = hex(message)  # read as the same integer as message_text's padded text
        else:
            msg = message.hash() if isinstance(message, Document) else message_text(message)
        ok, value = _call("verify_signature", signature.r, signature.s, self.x, self.y, msg)
        if not ok:  # the key and the message are known good: the signature is at fault
            raise MalformedSignature("the signature is malformed (r not a point of the curve, "
                                     "or s out of range)", reason=str(value))
        return value is True


_SET_X = PublicKey.__dict__["x"].__set__
_SET_Y = PublicKey.__dict__["y"].__set__


class PrivateKey:
    """A private key. Made with generate, from_seed, from_text, from_bytes,
    from_file, from_env or from_keystore; repr and str show only its public
    key."""

    # The key itself is native (`_key`, a quillet._batch.SigningKey): its
    # scalar, parsed once and wiped when the key is released; no str of it is
    # kept here. `_x` and `_y` are its public key's texts, as the module
    # writes them (`_x` the packed key, which documents name), made into a
    # PublicKey on first use.
    __slots__ = ("_key", "_x", "_y", "_public")
    _key: _batch.SigningKey
    _x: str
    _y: str
    _public: PublicKey

    def __init__(self, text: str) -> None:
        """The key of a private key text ("0x" and exactly 64 hex digits).
        Raises InvalidKey, whose text never quotes the key; key 0 is refused."""
        if not isinstance(text, str):
            raise InvalidKey(f"a private key is a str, not {type(text).__name__}")
        if not text.isascii():
            raise InvalidKey(f"not a private key: {_malformed(text)}")
        try:
            self._hold(_SigningKey.from_text(text))
            return
        except _Refused as refusal:
            code = refusal.code
        fault = _malformed(text) if code in ("character", "length") else _key_fault(code)
        raise InvalidKey(f"not a private key: {fault}")

    def _hold(self, key: _batch.SigningKey) -> None:
        self._key = key
        self._x, self._y = key.public_key()

    @classmethod
    def _holding(cls, key: _batch.SigningKey) -> Self:
        held = _new(cls)
        held._hold(key)
        return held

    @classmethod
    def generate(cls) -> Self:
        """A fresh key: uniform in [1, SUBGROUP_ORDER), from the operating
        system's generator (getrandom(2)) by rejection, drawn natively."""
        return cls._holding(_SigningKey.generate())

    @classmethod
    def from_text(cls, text: str) -> PrivateKey:
        """The key of a private key text; surrounding whitespace is ignored."""
        return cls(text.strip() if isinstance(text, str) else text)

    @classmethod
    def from_bytes(cls, data: bytes | bytearray | memoryview) -> Self:
        """The key of its 32 big-endian bytes, read once: pass a bytearray
        and overwrite it afterwards. InvalidKey for another length, 0 or a
        value not below SUBGROUP_ORDER."""
        if not isinstance(data, (bytes, bytearray, memoryview)):
            raise InvalidKey(f"a private key's bytes are bytes or a bytearray, "
                             f"not {type(data).__name__}")
        try:
            return cls._holding(_SigningKey.from_bytes(data))
        except _Refused as refusal:
            fault = ("it is not 32 bytes" if refusal.code == "length" else
                     _key_fault(refusal.code))
        raise InvalidKey(f"not a private key: {fault}")

    def write_bytes(self, out: bytearray) -> None:
        """Writes the key's 32 big-endian bytes into `out`, a bytearray (or
        writable buffer) of 32 bytes: the secret itself, for you to overwrite
        when done."""
        self._key.write_bytes(out)

    @classmethod
    def from_seed(cls, seed: str) -> Self:
        """The key derived from a seed of at least 32 UTF-8 bytes, as
        private_key_from_seed derives it."""
        if not isinstance(seed, str):
            raise InvalidKey("no key from this seed: a seed is a str")
        if any(0xD800 <= ord(char) <= 0xDFFF for char in seed):  # never quoting the seed
            raise InvalidKey("no key from this seed: it holds a character UTF-8 cannot encode "
                             "(a lone surrogate)")
        try:
            return cls._holding(_SigningKey.from_seed(seed))
        except _Refused as refusal:
            fault = (_SEED_TOO_SHORT if refusal.code == "seed_length" else
                     _key_fault(refusal.code))
        raise InvalidKey(f"no key from this seed: {fault}")

    @classmethod
    def from_file(cls, path: str | os.PathLike[str], passphrase: str | None = None, *,
                  foreign_pubkey: bool = False) -> PrivateKey:
        """The key in a file: its text, the JSON {"private_key": …} of `quillet
        keygen`, or a keystore (as from_keystore reads it, `foreign_pubkey`
        too). A keystore is unlocked with `passphrase`, or without one with
        $QUILLET_KEY_PASSPHRASE. A file that group or others may open gives a
        KeyFileWarning."""
        secret = None if passphrase is None else keystore.Passphrase(passphrase)
        del passphrase  # from here on only in `secret`, which hides it
        try:
            return key_from_content(_read_key_file(path), secret,
                                    foreign_pubkey=foreign_pubkey)
        except InvalidKey as error:
            message = str(error)
        finally:
            if secret is not None:
                secret.clear()
        # Raised outside the handler, so that no context or frame of the
        # exception holds the file's text.
        raise InvalidKey(f"key file {os.fspath(path)!r}: {message}")

    @classmethod
    def from_keystore(cls, source: str | os.PathLike[str], passphrase: str | None = None, *,
                      foreign_pubkey: bool = False) -> PrivateKey:
        """The key in a keystore: its JSON text, or the path of its file (a
        file that group or others may open gives a KeyFileWarning). It is
        unlocked with `passphrase`, or without one with $QUILLET_KEY_PASSPHRASE.
        InvalidKey "wrong passphrase or damaged keystore" when the checksum
        fails; InvalidKey too for a keystore that is malformed, uses functions
        other than scrypt or pbkdf2, sha256 and aes-128-ctr, costs more than
        its bounds (quillet.keystore), or whose `pubkey` names another key of
        this curve. A `pubkey` that is no key of this curve (other tools
        write their own scheme's) is refused too, unless `foreign_pubkey`:
        then it is ignored."""
        secret = None if passphrase is None else keystore.Passphrase(passphrase)
        del passphrase
        try:
            if isinstance(source, str) and source.lstrip().startswith("{"):
                return cls._unlock(keystore.parse(source), secret, foreign_pubkey)
            try:
                return cls._unlock(keystore.parse(_read_key_file(source)), secret,
                                   foreign_pubkey)
            except InvalidKey as error:
                raise InvalidKey(f"key file {os.fspath(source)!r}: {error}") from None
        finally:
            if secret is not None:
                secret.clear()

    @classmethod
    def _unlock(cls, data: dict[str, Any], passphrase: PassphraseSource,
                foreign_pubkey: bool = False) -> PrivateKey:
        if not foreign_pubkey:
            refuse_foreign_pubkey(data.get("pubkey"))  # told before a second of KDF
        if callable(passphrase):  # asked for only now that it is needed
            passphrase = keystore.Passphrase(passphrase())
        if passphrase is None:
            passphrase = keystore.Passphrase.from_env()
        if passphrase is None:
            raise InvalidKey(f"it is a keystore: give its passphrase or set "
                             f"${keystore.PASSPHRASE_VARIABLE}")
        plain, pubkey = keystore.decrypt(data, passphrase)
        native: _batch.SigningKey | None = None
        with plain:  # the decrypted bytes go straight to the native key, then are wiped
            try:
                native = _SigningKey.from_bytes(plain.buffer)
            except _Refused:
                pass
        if native is None:
            raise InvalidKey("the keystore holds no private key of this curve "
                             "(its value is 0 or not below the order of the key group)")
        key = cls._holding(native)
        _refuse_another_key(pubkey, key._x)
        return key

    def to_keystore(self, passphrase: str, *, kdf: str = "scrypt", description: str = "") -> str:
        """This key encrypted under `passphrase` (not empty), as keystore JSON:
        kdf "scrypt" (n=2^18, r=8, p=1) or "pbkdf2" (HMAC-SHA256, c=2^18),
        AES-128-CTR, a fresh salt and IV. Needs the extra `keystore`."""
        secret = keystore.Passphrase(passphrase)
        del passphrase
        key = keystore.Secret(keystore.KEY_SIZE)
        self._key.write_bytes(key.buffer)  # encrypt wipes it
        return keystore.encrypt(key, secret, kdf=kdf, description=description,
                                pubkey=self._x[2:])

    @classmethod
    def from_env(cls, variable: str = KEY_VARIABLE) -> PrivateKey:
        """The key in an environment variable (by default QUILLET_PRIVATE_KEY):
        its text or the JSON of `quillet keygen`."""
        content = os.environ.get(variable)
        if content is None:
            raise InvalidKey(f"${variable} is not set")
        try:
            return key_from_content(content)
        except InvalidKey as error:
            message = str(error)
        del content  # as in from_file: no frame or context of the error holds the text
        raise InvalidKey(f"${variable}: {message}")

    @property
    def public_key(self) -> PublicKey:
        """The key's public key."""
        try:
            return self._public
        except AttributeError:
            pass
        public = PublicKey._trusted(self._x, self._y)
        self._public = public
        return public

    def to_text(self) -> str:
        """The private key text, "0x" and 64 hex digits: the secret itself, in
        a str that Python frees without overwriting and that lives as long as
        any reference to it. Keep it out of logs and long-lived variables;
        write_bytes into a bytearray you overwrite is the safer copy."""
        return self._key.to_text()

    def check_names(self, document: Document) -> None:
        """KeyMismatch unless `document` names this key as its signer's (see
        quillet.documents.named_key): the one rule of every signing path."""
        named = named_key(document)
        # Compared as text first: documents name the key as public_key.x spells it.
        if named != self._x and key_value(named) != _value(self._x):
            raise KeyMismatch(str(named), self._x)

    def sign(self, document: Document) -> Signature:
        """The signature of a document, as sign_{document.KIND} gives it.
        KeyMismatch if the document names another key as its signer's."""
        if not isinstance(document, Document):
            raise TypeError(f"sign() takes a document, not {type(document).__name__}; "
                            "use sign_message for a message integer")
        self.check_names(document)
        try:
            return _signature(self._key.sign_document(document.KIND, document.to_json()))
        except _Refused as refusal:
            reason = str(refusal.reason)
        self._failed(reason)

    def sign_message(self, msg: str | int) -> Signature:
        """The signature of a message integer (hex text or int), as sign gives
        it. Message 0 (modulo the group order) is refused: InvalidMessage."""
        try:
            return _signature(self._key.sign_message(signable_text(msg)))
        except _Refused as refusal:
            reason = refusal.reason
        raise InvalidMessage(f"sign refused the message {msg!r}", reason=reason)

    def eth_sign(self, msg: str | int) -> L1Signature:
        """The L1 signature of a message integer, as eth_sign gives it (message
        0 refused, as by sign_message)."""
        try:
            return L1Signature(*self._key.eth_sign(signable_text(msg)))
        except _Refused as refusal:
            reason = refusal.reason
        raise InvalidMessage(f"eth_sign refused the message {msg!r}", reason=reason)

    def sign_many(self, documents: Iterable[Document], *, threads: int | None = None,
                  progress: Callable[[int, int], None] | None = None,
                  chunk_size: int | None = None) -> list[Signature]:
        """[self.sign(doc) for doc in documents], on several cores (as
        quillet.batch.sign_many); kinds may mix. Every document is checked
        before any is signed: a non-document is a TypeError, one that names
        another key a KeyMismatch, noted "batch item N". `progress(done,
        total)` is called after each chunk of `chunk_size` (default 1024)."""
        _check_threads(threads)
        kinds: list[Kind] = []
        texts: list[str] = []
        for index, document in enumerate(_batch_items(documents, "documents")):
            try:
                if not isinstance(document, Document):
                    raise TypeError(f"expected a document, got {type(document).__name__}")
                if document._SIGNER(document) != self._x:  # else it names this key as written
                    self.check_names(document)
            except (TypeError, QuilletError) as error:
                _note_item(error, index)
                raise
            kinds.append(document.KIND)
            texts.append(document.to_json())

        def run(start: int, stop: int) -> list[tuple[str, str]]:
            if start == stop:
                return []
            if kinds[start:stop].count(kinds[start]) == stop - start:  # one call for one kind
                return _native(lambda: _batch.sign_many(kinds[start], texts[start:stop],
                                                        self._key, pairs=True, threads=threads),
                               range(start, stop))
            groups: dict[Kind, list[int]] = {}
            for i in range(start, stop):
                groups.setdefault(kinds[i], []).append(i)
            out = [("", "")] * (stop - start)
            for kind, chosen in groups.items():
                signed = _native(lambda: _batch.sign_many(kind, [texts[i] for i in chosen],
                                                          self._key, pairs=True,
                                                          threads=threads), chosen)
                for i, pair in zip(chosen, signed):
                    out[i - start] = pair
            return out

        return _in_chunks(run, len(texts), progress, chunk_size)

    def sign_messages(self, messages: Iterable[str | int], *, threads: int | None = None,
                      progress: Callable[[int, int], None] | None = None,
                      chunk_size: int | None = None) -> list[Signature]:
        """[self.sign_message(m) for m in messages], on several cores; every
        message is checked first (InvalidMessage, noted "batch item N")."""
        _check_threads(threads)
        texts: list[str] = []
        for index, msg in enumerate(_batch_items(messages, "messages")):
            if type(msg) is int and 0 < msg < SUBGROUP_ORDER:  # signable_text's first case
                texts.append(hex(msg))  # the same integer to the module, written faster
                continue
            try:
                texts.append(signable_text(msg))  # type: ignore[arg-type]
            except QuilletError as error:
                _note_item(error, index)
                raise

        def run(start: int, stop: int) -> list[tuple[str, str]]:
            return _native(lambda: _batch.sign_messages(self._key, texts[start:stop],
                                                        pairs=True, threads=threads),
                           range(start, stop))

        return _in_chunks(run, len(texts), progress, chunk_size)

    @staticmethod
    def _failed(reason: str) -> NoReturn:
        # The document passed its own checks and the key is valid, so the
        # reason cannot quote the key.
        raise SigningFailed(f"signing failed: {reason}", reason=reason)

    def __repr__(self) -> str:
        return f"PrivateKey(public_key={self._x})"

    __str__ = __repr__

    def __reduce__(self) -> NoReturn:
        raise TypeError("a PrivateKey is not pickled (it would write the secret); "
                        "pass PrivateKey.to_text() on purpose if you must")


def _batch_items(items: Iterable[object], what: str) -> list[object]:
    if isinstance(items, (str, bytes, bytearray)):
        raise TypeError(f"{what} must be an iterable such as a list, not "
                        f"'{type(items).__name__}'")
    return list(items)


def _note_item(error: E, index: int) -> E:
    """`error`, naming the batch item it is about as the native calls name
    theirs: the note "batch item {index}" and the attribute item_index."""
    setattr(error, "item_index", index)
    error.add_note(f"batch item {index}")
    return error


def _native(run: Callable[[], list[tuple[str, str]]],
            indexes: Iterable[int]) -> list[tuple[str, str]]:
    """run(), whose items passed every check here: a refusal by the core is a
    SigningFailed naming the item in the whole batch, never "Any { .. }"."""
    try:
        return run()
    except ValueError as error:
        position: int | None = getattr(error, "item_index", None)
        if position is None:
            raise
    failure = SigningFailed("signing failed for an item that passed every check")
    raise _note_item(failure, list(indexes)[position])


def _check_threads(threads: int | None) -> None:
    # The batch calls' own check, before any item is looked at: an empty
    # native call checks its arguments as every batch call does.
    _batch.call_many("sign", [], threads)


def _in_chunks(run: Callable[[int, int], list[tuple[str, str]]], count: int,
               progress: Callable[[int, int], None] | None,
               chunk_size: int | None) -> list[Signature]:
    if progress is None and chunk_size is None:
        return list(map(_signature, run(0, count)))
    size = 1024 if chunk_size is None else chunk_size
    if isinstance(size, bool) or not isinstance(size, int) or size < 1:
        raise ValueError(f"chunk_size must be an int of at least 1, not {chunk_size!r}")
    signatures: list[Signature] = []
    for start in range(0, count, size):
        signatures.extend(map(_signature, run(start, min(count, start + size))))
        if progress is not None:
            progress(len(signatures), count)
    if progress is not None and not count:
        progress(0, 0)
    return signatures


# What from_keystore's error names, so that the command line can name its option instead.
FOREIGN_PUBKEY_FIX = "open it with foreign_pubkey=True"


def _pubkey_scheme(pubkey: str) -> str | None:
    """None when a keystore's `pubkey` (hex digits) may be a packed key of
    this curve (32 bytes or fewer, as a number, that decode to a point of
    it); otherwise what it is, in words."""
    size = len(pubkey) // 2
    if size > 32:
        return f"a {size}-byte key of another scheme, not one of this curve"
    if _call("public_key_to_xy", "0x" + pubkey.rjust(64, "0"))[0]:
        return None
    return f"{size} bytes that decode to no point of this curve: another scheme's key"


def refuse_foreign_pubkey(pubkey: object) -> None:
    """InvalidKey if a keystore's `pubkey` cannot be a key of this curve: it
    says nothing of the key the keystore holds. Other values pass, for the
    reading to judge."""
    if isinstance(pubkey, str) and pubkey and keystore.is_hex(pubkey):
        scheme = _pubkey_scheme(pubkey)
        if scheme is not None:
            raise InvalidKey(f"this keystore's pubkey is {scheme}: {FOREIGN_PUBKEY_FIX} to "
                             "ignore it and use the key it holds")


def _refuse_another_key(pubkey: str, x: str) -> None:
    """InvalidKey if `pubkey` (hex digits) is a key of this curve but not
    packed key `x`: the keystore is not the one its pubkey says."""
    if pubkey and int(pubkey, 16) != _value(x) and _pubkey_scheme(pubkey) is None:
        raise InvalidKey("the keystore's pubkey is not the public key of the key it holds")


def key_file_exposure(mode: int) -> str | None:
    """What is wrong with a key file of st_mode `mode`: a regular file that
    group or others may open (a pipe or terminal is no such file); else None.
    A warning, not a refusal, as ssh would: refusing would stop deployments
    that work today."""
    if not stat.S_ISREG(mode) or not mode & 0o077:
        return None
    return f"group or others may open it (mode {stat.S_IMODE(mode):04o}); chmod 600 it"


def _read_key_file(path: str | os.PathLike[str]) -> str:
    """The text of a key file; one larger than any keystore is refused. No
    error raised here holds the file's bytes (they may be a key). A file that
    group or others may open gives a KeyFileWarning, at the caller of the
    PrivateKey method that called this."""
    try:
        with open(path, "rb") as file:
            exposure = key_file_exposure(os.fstat(file.fileno()).st_mode)
            data = file.read(keystore.SIZE_LIMIT + 1)
    except OSError as error:
        raise InvalidKey(f"cannot read it: {error.strerror}") from None
    if exposure is not None:
        warnings.warn(f"key file {os.fspath(path)!r}: {exposure}", KeyFileWarning, stacklevel=3)
    if len(data) > keystore.SIZE_LIMIT:
        raise InvalidKey(f"it is longer than {keystore.SIZE_LIMIT} bytes: no key file")
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as error:
        message = f"not UTF-8 text (byte {error.start})"
    del data
    raise InvalidKey(message)


def _key_content(content: str) -> str | dict[str, Any]:
    """What a key file or variable holds, surrounding blanks dropped: a
    private key text (bare, or the "private_key" of the JSON of `quillet
    keygen`) or a keystore's JSON object. InvalidKey for other JSON."""
    text = content.strip()
    if not text.startswith("{"):
        return text
    try:
        data = json.loads(text)
    except (ValueError, RecursionError):
        raise InvalidKey("not a private key: malformed JSON") from None
    if keystore.is_keystore(data):
        return data  # type: ignore[no-any-return]
    if not isinstance(data, dict) or not isinstance(data.get("private_key"), str):
        raise InvalidKey('not a private key: JSON without a "private_key" text')
    return data["private_key"].strip()  # type: ignore[no-any-return]


def holds_keystore(content: str) -> bool:
    """Whether a key file's or variable's `content` is a keystore."""
    try:
        return isinstance(_key_content(content), dict)
    except InvalidKey:
        return False


def key_from_content(content: str, passphrase: PassphraseSource = None, *,
                     foreign_pubkey: bool = False) -> PrivateKey:
    """The key a key file or variable holds (`content`): its text, the JSON
    {"private_key": …} of `quillet keygen`, or a keystore, unlocked as
    PrivateKey.from_keystore unlocks it, with `passphrase`. InvalidKey says
    what is wrong, never quoting the content; its source is the caller's to
    name."""
    found = _key_content(content)
    if isinstance(found, dict):
        return PrivateKey._unlock(found, passphrase, foreign_pubkey)
    return PrivateKey(found)


__all__ = ["KEY_VARIABLE", "SUBGROUP_ORDER", "L1Signature", "PrivateKey", "PublicKey", "Signature",
           "message_text", "signable_text"]
