"""Keys and signatures as typed values.

    key = PrivateKey.from_seed("…at least 32 UTF-8 bytes…")  # or from_text, from_file, from_env
    signature = key.sign(order)                                # a Signature
    key.public_key.verify(signature, order)                    # True

Every result is the fixed module's, byte for byte: the same core calls run
(through quillet._batch.call, which returns the core's reason instead of
printing it). A PrivateKey never shows its key in repr, str or error texts
and refuses to be pickled; `to_text()` is the one way to read it back.
"""

from __future__ import annotations

import json
import os
from dataclasses import dataclass
from typing import Any, NoReturn, Self

from quillet import _batch
from quillet.documents import HEX, Document
from quillet.errors import InvalidKey, InvalidMessage, InvalidSignature, SigningFailed

KEY_VARIABLE = "QUILLET_PRIVATE_KEY"


def _call(name: str, *args: str) -> tuple[bool, str | bool]:
    return _batch.call(name, *args)


def _key_fault(reason: str) -> str:
    """What is wrong with a private key text, in words that quote none of it
    (the core's own text may hold the key's digits)."""
    if "not an element of the field" in reason:
        return "its value is out of range (not below the order of the key group)"
    if "Invalid character" in reason:
        return "it is not hexadecimal text (\"0x\" and 64 hex digits)"
    if "size" in reason or "length" in reason or "Odd number" in reason:
        return "it does not have 64 hex digits"
    return "it is not a private key"


def message_text(msg: str | int) -> str:
    """A message as the module takes it: hexadecimal text of a 256-bit integer."""
    if isinstance(msg, bool) or not isinstance(msg, (int, str)):
        raise InvalidMessage(f"a message is a hex str or an int, not {type(msg).__name__}")
    if isinstance(msg, int):
        if not 0 <= msg < 1 << 256:
            raise InvalidMessage("a message is an integer in [0, 2**256)")
        return f"0x{msg:064x}"
    if HEX.fullmatch(msg) is None:
        raise InvalidMessage(f"{msg!r} is not \"0x\" and up to 64 hex digits")
    return msg


def _hex_field(owner: str, name: str, value: object) -> None:
    if not isinstance(value, str) or HEX.fullmatch(value) is None:
        raise InvalidSignature(f"{owner}.{name}: {value!r} is not \"0x\" and up to 64 hex digits")


def _json_object(text: str | bytes, names: tuple[str, ...], what: str) -> dict[str, Any]:
    try:
        data = json.loads(text)
    except ValueError as error:
        raise InvalidSignature(f"{what}: not a JSON text: {error}") from None
    if not isinstance(data, dict) or any(name not in data for name in names):
        raise InvalidSignature(f"{what}: expected a JSON object with the keys {', '.join(names)}")
    return data


@dataclass(frozen=True, slots=True)
class Signature:
    """An EdDSA signature (r, s), as the module's sign functions give it."""

    r: str
    s: str

    def __post_init__(self) -> None:
        _hex_field("Signature", "r", self.r)
        _hex_field("Signature", "s", self.s)

    def to_json(self) -> str:
        """'{"r":"0x…","s":"0x…"}', the module's text."""
        return json.dumps({"r": self.r, "s": self.s}, separators=(",", ":"))

    @classmethod
    def from_json(cls, text: str | bytes) -> Self:
        data = _json_object(text, ("r", "s"), "Signature")
        return cls(data["r"], data["s"])


@dataclass(frozen=True, slots=True)
class L1Signature:
    """The signature eth_sign gives: the point (x, y), s, and the signer's key (pk_x, pk_y)."""

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


@dataclass(frozen=True, slots=True)
class PublicKey:
    """A public key: `x` the packed key (what documents and verification use),
    `y` the affine x-coordinate of its point."""

    x: str
    y: str

    def __post_init__(self) -> None:
        for name in ("x", "y"):
            value = getattr(self, name)
            if not isinstance(value, str) or HEX.fullmatch(value) is None:
                raise InvalidKey(f"PublicKey.{name}: {value!r} is not \"0x\" and up to 64 hex "
                                 "digits")

    @classmethod
    def from_packed(cls, packed: str) -> Self:
        """The key of a packed public key text."""
        ok, value = _call("public_key_to_xy", packed) if isinstance(packed, str) else (False, "")
        if not ok:
            raise InvalidKey(f"not a packed public key: {packed!r}", reason=str(value) or None)
        return cls.from_json(str(value))

    @classmethod
    def from_json(cls, text: str | bytes) -> Self:
        """The key of '{"x":…,"y":…}' (what pubkey and private_key_to_public_key_xy print)."""
        try:
            data = json.loads(text)
        except ValueError as error:
            raise InvalidKey(f"PublicKey: not a JSON text: {error}") from None
        if not isinstance(data, dict) or "x" not in data or "y" not in data:
            raise InvalidKey('PublicKey: expected a JSON object with the keys x, y')
        return cls(data["x"], data["y"])

    def to_json(self) -> str:
        """'{"x":"0x…","y":"0x…"}', the module's text."""
        return json.dumps({"x": self.x, "y": self.y}, separators=(",", ":"))

    @property
    def on_curve(self) -> bool:
        """Whether (x, y) is a point of the curve, as is_on_curve says."""
        ok, value = _call("is_on_curve", self.x, self.y)
        if not ok:
            raise InvalidKey("is_on_curve refused the key", reason=str(value))
        return value is True

    def verify(self, signature: Signature, message: Document | str | int) -> bool:
        """Whether `signature` verifies for `message` (a document, whose hash
        is checked, or a message integer) under this key. A well-formed
        signature that does not match gives False; see docs/SECURITY.md for
        what a True proves."""
        msg = message.hash() if isinstance(message, Document) else message_text(message)
        ok, value = _call("verify_signature", signature.r, signature.s, self.x, self.y, msg)
        if not ok:
            raise InvalidSignature("verify_signature refused its input", reason=str(value))
        return value is True


class PrivateKey:
    """A private key. Made with from_seed, from_text, from_file or from_env;
    repr and str show only its public key."""

    __slots__ = ("_text", "_public")
    _text: str
    _public: PublicKey

    def __init__(self, text: str) -> None:
        """The key of a private key text ("0x" and up to 64 hex digits).
        Raises InvalidKey, whose text never quotes the key."""
        if not isinstance(text, str):
            raise InvalidKey(f"a private key is a str, not {type(text).__name__}")
        ok, value = _call("private_key_to_public_key_xy", text)
        if not ok:
            raise InvalidKey(f"not a private key: {_key_fault(str(value))}")
        self._text = text
        self._public = PublicKey.from_json(str(value))

    @classmethod
    def from_text(cls, text: str) -> PrivateKey:
        """The key of a private key text; surrounding whitespace is ignored."""
        return cls(text.strip() if isinstance(text, str) else text)

    @classmethod
    def from_seed(cls, seed: str) -> PrivateKey:
        """The key derived from a seed of at least 32 UTF-8 bytes, as
        private_key_from_seed derives it."""
        ok, value = _call("private_key_from_seed", seed) if isinstance(seed, str) else (False, "")
        if not ok:
            raise InvalidKey(f"no key from this seed: {value or 'a seed is a str'}")
        return cls(str(value))

    @classmethod
    def from_file(cls, path: str | os.PathLike[str]) -> PrivateKey:
        """The key in a file: its text, or the JSON {"private_key": …} of `quillet keygen`."""
        try:
            with open(path, encoding="utf-8") as file:
                content = file.read(4096)
        except (OSError, UnicodeDecodeError) as error:
            why = getattr(error, "strerror", None) or type(error).__name__
            raise InvalidKey(f"cannot read the key file {os.fspath(path)!r}: {why}") from None
        try:
            return cls._from_content(content)
        except InvalidKey as error:
            raise InvalidKey(f"key file {os.fspath(path)!r}: {error}") from None

    @classmethod
    def from_env(cls, variable: str = KEY_VARIABLE) -> PrivateKey:
        """The key in an environment variable (by default QUILLET_PRIVATE_KEY):
        its text or the JSON of `quillet keygen`."""
        content = os.environ.get(variable)
        if content is None:
            raise InvalidKey(f"${variable} is not set")
        try:
            return cls._from_content(content)
        except InvalidKey as error:
            raise InvalidKey(f"${variable}: {error}") from None

    @classmethod
    def _from_content(cls, content: str) -> PrivateKey:
        text = content.strip()
        if text.startswith("{"):
            try:
                data = json.loads(text)
            except ValueError:
                raise InvalidKey("not a private key: malformed JSON") from None
            if not isinstance(data, dict) or not isinstance(data.get("private_key"), str):
                raise InvalidKey('not a private key: JSON without a "private_key" text')
            text = data["private_key"]
        return cls(text)

    @property
    def public_key(self) -> PublicKey:
        """The key's public key."""
        return self._public

    def to_text(self) -> str:
        """The private key text: the secret itself. Store it with care."""
        return self._text

    def sign(self, document: Document) -> Signature:
        """The signature of a document, as sign_{document.KIND} gives it."""
        if not isinstance(document, Document):
            raise TypeError(f"sign() takes a document, not {type(document).__name__}; "
                            "use sign_message for a message integer")
        ok, value = _call("sign_" + document.KIND, document.to_json(), self._text)
        if not ok:
            self._failed(str(value))
        return Signature.from_json(str(value))

    def sign_message(self, msg: str | int) -> Signature:
        """The signature of a message integer (hex text or int), as sign gives it."""
        ok, value = _call("sign", self._text, message_text(msg))
        if not ok:
            raise InvalidMessage(f"sign refused the message {msg!r}", reason=str(value))
        return Signature.from_json(str(value))

    def eth_sign(self, msg: str | int) -> L1Signature:
        """The L1 signature of a message integer, as eth_sign gives it."""
        ok, value = _call("eth_sign", self._text, message_text(msg))
        if not ok:
            raise InvalidMessage(f"eth_sign refused the message {msg!r}", reason=str(value))
        return L1Signature.from_json(str(value))

    @staticmethod
    def _failed(reason: str) -> NoReturn:
        # The document passed its own checks and the key is valid, so the
        # reason cannot quote the key.
        raise SigningFailed(f"signing failed: {reason}", reason=reason)

    def __repr__(self) -> str:
        return f"PrivateKey(public_key={self._public.x})"

    __str__ = __repr__

    def __reduce__(self) -> NoReturn:
        raise TypeError("a PrivateKey is not pickled (it would write the secret); "
                        "pass PrivateKey.to_text() on purpose if you must")


__all__ = ["KEY_VARIABLE", "L1Signature", "PrivateKey", "PublicKey", "Signature", "message_text"]
