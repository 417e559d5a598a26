"""The five transaction documents as typed, immutable values.

Field names are the JSON documents' keys. Amounts, ids, nonces and times are
Python ints (written to JSON as decimal text), public keys, addresses and
asset ids are hexadecimal `str` (written unchanged), `is_buying_synthetic`
is a bool. Every value is checked when the document is made, so that the
module accepts the document and no two different documents hash alike:

- u64 fields: 0 <= value < 2**64;
- `nonce`: 0 <= value < 2**32 (a wider nonce spills into the neighbouring
  field of the hash, so two different orders would share a signature);
- `expiration_timestamp`, `timestamp`: whole seconds since 1970, < 2**32;
- `external_price`: 0 <= value < 2**128;
- asset ids hashed as field elements (`asset_id`, `asset_id_collateral`,
  `signed_asset_id`): at most 64 hex digits and below the field modulus
  (larger values hash like smaller ones);
- `asset_id_synthetic`: at most 32 hex digits, below 2**127;
- `eth_address`: at most 64 hex digits, and below the field modulus unless it
  is the withdrawal's `public_key` (then it is not hashed);
- keys: at most 64 hex digits.

A value that is out of range only for the hash is refused with the words
"the hash does not bind it".

Every path of quillet that hashes, signs or checks a document given as text
reads it with `read(kind, text)` (or `read_value` for a JSON value already
read strictly, as part of a larger text), and then hashes or signs the typed
document's own JSON, never the caller's text: what is signed is what was
checked. The reading refuses, with InvalidDocument, everything the module's
reader refuses (numbers beyond a 64-bit float, NaN, escapes of lone
surrogates, nesting past 128 levels, ...) and what the module would take but
no one can mean: a key repeated at any level, values the hash does not bind.

    order = LimitOrder(amount_synthetic=100000, ..., nonce=17, public_key="0x…",
                       expiration_timestamp=1767225600)
    order.hash()                       # "0x" and 64 digits, as hash_limit_order
    read("limit_order", order.to_json()) == LimitOrder.from_json(order.to_json()) == order
"""

from __future__ import annotations

import json
import math
import operator
import re
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any, ClassVar, Literal, Self, cast, get_args

from quillet import _batch
from quillet.errors import InvalidDocument

Kind = Literal["transfer", "withdraw", "limit_order", "liquidate", "signed_oracle_price"]
# The document kinds, as quillet_python_sdk names its hash_* and sign_* functions.
KINDS: tuple[Kind, ...] = get_args(Kind)

# The prime order of the field the hash works in.
FIELD_MODULUS = 0x30644E72E131A029B85045B68181585D2833E84879B9709143E1F593F0000001

HEX = re.compile(r"(?:0x)?([0-9a-fA-F]{1,64})")
_DECIMAL = re.compile(r"[0-9]+")

# Field encodings: (largest value + 1 or None, description for errors).
_UNBOUND = "the hash does not bind it"
_UNSIGNED = {
    "u64": (1 << 64, "an unsigned 64-bit integer"),
    "nonce": (1 << 32, "below 2**32: wider nonces overlap the neighbouring field of the hash"),
    "time": (1 << 32, "whole seconds since 1970 that fit 32 bits"),
    "u128": (1 << 128, "an unsigned 128-bit integer"),
}
_HEX_LIMIT = {
    "key": (64, 1 << 256, "at most 64 hex digits"),
    "id": (64, FIELD_MODULUS, "at most 64 hex digits and below the field modulus"),
    "id128": (32, 1 << 127, "at most 32 hex digits and below 2**127"),
    # Checked against the field modulus by the document (see Withdrawal).
    "address": (64, 1 << 256, "at most 64 hex digits"),
}


def _check_int(name: str, encoding: str, value: object) -> None:
    if type(value) is not int:
        raise InvalidDocument(f"expected an int, got {type(value).__name__} {_shown(value)}",
                              field=name)
    if not 0 <= value < _UNSIGNED[encoding][0]:
        raise _out_of_range(name, encoding, str(value), value)


def _out_of_range(name: str, encoding: str, shown: str, value: int) -> InvalidDocument:
    limit, what = _UNSIGNED[encoding]
    if encoding == "nonce" and value >= limit:
        return InvalidDocument(f"{shown} is out of range: {_UNBOUND} (must be {what})",
                               field=name)
    hint = " (this looks like milliseconds)" if encoding == "time" and \
        limit <= value < limit * 1000 else ""
    return InvalidDocument(f"{shown} is out of range: must be {what}{hint}", field=name)


# Decimal digits beyond every field's range once leading zeros are dropped
# (2**128 has 39); int() itself refuses texts past 4,300 digits.
_MAX_DIGITS = 39


def _decimal(name: str, encoding: str, raw: object) -> int:
    """The value of a decimal field as a JSON document writes it: a string of digits."""
    if not isinstance(raw, str) or _DECIMAL.fullmatch(raw) is None:
        raise InvalidDocument(f"expected decimal digits in a JSON string, got {_shown(raw)}",
                              field=name)
    digits = raw.lstrip("0")
    if len(digits) > _MAX_DIGITS:
        raise _out_of_range(name, encoding, f"a number of {len(digits)} digits", 1 << 256)
    return int(digits or "0")


def _shown(value: object) -> str:
    """A value as an error quotes it: JSON, cut short past 80 characters."""
    try:
        text = json.dumps(value)
    except (TypeError, ValueError):
        text = type(value).__name__
    return text if len(text) <= 80 else f"{text[:40]}… ({len(text)} characters)"


def _check_hex(name: str, encoding: str, value: object) -> None:
    if not isinstance(value, str):
        raise InvalidDocument(f"expected hexadecimal text, got {type(value).__name__}", field=name)
    digits, limit, what = _HEX_LIMIT[encoding]
    match = HEX.fullmatch(value)
    if match is None or len(match.group(1)) > digits:
        raise InvalidDocument(f"{value!r} is not valid: must be \"0x\" and {what}", field=name)
    number = int(match.group(1), 16)
    if number >= limit and encoding == "id":  # a field element: reduced by the hash
        raise InvalidDocument(f"{number} is out of range: {_UNBOUND} (must be {what})",
                              field=name)
    if number >= limit:
        raise InvalidDocument(f"{value!r} is not valid: must be \"0x\" and {what}", field=name)


# Per document type: a getter of its field values, the JSON template they
# fill, and the positions of the bools and of a nested order, which are
# written before they fill it.
_Layout = tuple[Callable[[Any], Any], str, tuple[int, ...], tuple[int, ...]]
_LAYOUTS: dict[type, _Layout] = {}

# Where each kind names its signer's key; every other kind in its public_key.
_SIGNER_FIELD: dict[str, tuple[str, ...]] = {
    "liquidate": ("liquidator_order", "public_key"), "signed_oracle_price": ("signer_key",)}


def _layout(cls: type[Document]) -> _Layout:
    names = [name for name, _ in cls._FIELDS]
    encodings = [encoding for _, encoding in cls._FIELDS]
    template = "{" + ",".join(f'"{name}":%s' if encoding in ("bool", "order")
                              else f'"{name}":"%s"'
                              for name, encoding in zip(names, encodings)) + "}"
    _LAYOUTS[cls] = (operator.attrgetter(*names), template,
                     tuple(i for i, e in enumerate(encodings) if e == "bool"),
                     tuple(i for i, e in enumerate(encodings) if e == "order"))
    return _LAYOUTS[cls]


class Document:
    """What the five documents share: JSON text in and out, and the hash."""

    # The JSON text, written on first use: every field is immutable (ints,
    # strs, bools, a frozen order), so it stays the document's text. Not a
    # field: equality, repr, pickling and replace() never see it.
    __slots__ = ("_json",)
    _json: str
    KIND: ClassVar[Kind]
    # (field name, encoding), in the order of the JSON document's keys.
    _FIELDS: ClassVar[tuple[tuple[str, str], ...]]
    # Per class, made once: the module functions' names for this kind, and
    # the getter of the field that names the signer's key (named_key).
    _HASH_CALL: ClassVar[str]
    _SIGN_CALL: ClassVar[str]
    _SIGNER: ClassVar[operator.attrgetter[Any]]

    def __init_subclass__(cls, **kwargs: Any) -> None:
        super().__init_subclass__(**kwargs)
        cls._HASH_CALL = "hash_" + cls.KIND
        cls._SIGN_CALL = "sign_" + cls.KIND
        cls._SIGNER = operator.attrgetter(".".join(_SIGNER_FIELD.get(cls.KIND,
                                                                     ("public_key",))))

    def __post_init__(self) -> None:
        for name, encoding in self._FIELDS:
            value = getattr(self, name)
            if encoding in _UNSIGNED:
                _check_int(name, encoding, value)
            elif encoding in _HEX_LIMIT:
                _check_hex(name, encoding, value)
            elif encoding == "bool" and type(value) is not bool:
                raise InvalidDocument(f"expected a bool, got {type(value).__name__}", field=name)
            elif encoding == "order" and not isinstance(value, LimitOrder):
                raise InvalidDocument(f"expected a LimitOrder, got {type(value).__name__}",
                                      field=name)

    def to_dict(self) -> dict[str, Any]:
        """The JSON document as Python values: decimal text for numbers."""
        out: dict[str, Any] = {}
        for name, encoding in self._FIELDS:
            value = getattr(self, name)
            if encoding in _UNSIGNED:
                out[name] = str(value)
            elif encoding == "order":
                out[name] = value.to_dict()
            else:
                out[name] = value
        return out

    def to_json(self) -> str:
        """The document's JSON text, as the module's hash_* and sign_* take it
        (json.dumps(self.to_dict(), separators=(",", ":")), byte for byte)."""
        try:
            return self._json
        except AttributeError:
            pass
        # Written from a template: every value was checked to be decimal
        # digits or "0x" and hex digits, which JSON needs no escapes for.
        getter, template, flags, orders = _LAYOUTS.get(type(self)) or _layout(type(self))
        values = getter(self)
        if flags or orders:
            values = list(values)
            for i in flags:
                values[i] = "true" if values[i] else "false"
            for i in orders:
                values[i] = values[i].to_json()
            values = tuple(values)
        text = str(template % values)
        _SET_JSON(self, text)
        return text

    def hash(self) -> str:
        """The document's hash: "0x" and 64 hex digits, as hash_{KIND} gives."""
        ok, value = _text_call(self._HASH_CALL, self.to_json())
        if not ok:
            raise InvalidDocument(f"refused by the module: {value}", reason=value)
        return value

    @classmethod
    def from_dict(cls, data: object) -> Self:
        """The document of a parsed JSON value (an object, or for the two
        documents without OrderBase also an array of the fields in order)."""
        names = [name for name, _ in cls._FIELDS]
        if isinstance(data, list) and cls.KIND in ("liquidate", "signed_oracle_price"):
            if len(data) != len(names):
                raise InvalidDocument(f"an array form must have {len(names)} elements")
            data = dict(zip(names, data))
        if not isinstance(data, dict):
            raise InvalidDocument(f"a {cls.__name__} must be a JSON object, "
                                  f"not {type(data).__name__}")
        values: dict[str, Any] = {}
        for name, encoding in cls._FIELDS:
            if name not in data:
                raise InvalidDocument("missing", field=name)
            raw = data[name]
            if encoding in _UNSIGNED:
                values[name] = _decimal(name, encoding, raw)
            elif encoding == "order":
                values[name] = LimitOrder.from_dict(raw)
            else:
                values[name] = raw
        return cls(**values)

    @classmethod
    def from_json(cls, text: str | bytes) -> Self:
        """The document of a JSON text, read as `read` reads it. Raises
        InvalidDocument, naming the field, for anything that the constructor
        or the module would refuse."""
        return cls.from_dict(loads(text))


# A frozen dataclass refuses setattr; the slot's own setter does not.
_SET_JSON = Document.__dict__["_json"].__set__
# (True, result) or (False, the core's reason) of one module function's core
# call, for the functions whose result is a text.
_text_call = cast(Callable[..., tuple[bool, str]], _batch.call)


@dataclass(frozen=True, slots=True, kw_only=True)
class Transfer(Document):
    """A transfer of `amount` of `asset_id` from the sender's position to another."""

    KIND: ClassVar[Kind] = "transfer"
    _FIELDS: ClassVar[tuple[tuple[str, str], ...]] = (
        ("sender_position_id", "u64"), ("receiver_public_key", "key"),
        ("receiver_position_id", "u64"), ("amount", "u64"), ("asset_id", "id"),
        ("nonce", "nonce"), ("public_key", "key"), ("expiration_timestamp", "time"))

    sender_position_id: int
    receiver_public_key: str
    receiver_position_id: int
    amount: int
    asset_id: str
    nonce: int
    public_key: str
    expiration_timestamp: int


@dataclass(frozen=True, slots=True, kw_only=True)
class Withdrawal(Document):
    """A withdrawal of `amount` of `asset_id` from a position to `eth_address`."""

    KIND: ClassVar[Kind] = "withdraw"
    _FIELDS: ClassVar[tuple[tuple[str, str], ...]] = (
        ("position_id", "u64"), ("amount", "u64"), ("eth_address", "address"),
        ("asset_id", "id"), ("nonce", "nonce"), ("public_key", "key"),
        ("expiration_timestamp", "time"))

    position_id: int
    amount: int
    eth_address: str
    asset_id: str
    nonce: int
    public_key: str
    expiration_timestamp: int

    def __post_init__(self) -> None:
        Document.__post_init__(self)
        # An address other than the owner's key is hashed as a field element.
        address = int(HEX.fullmatch(self.eth_address).group(1), 16)  # type: ignore[union-attr]
        owner = int(HEX.fullmatch(self.public_key).group(1), 16)  # type: ignore[union-attr]
        if address != owner and address >= FIELD_MODULUS:
            raise InvalidDocument(f"{address} is out of range: {_UNBOUND} (must be below the "
                                  "field modulus unless it is the public_key)",
                                  field="eth_address")


@dataclass(frozen=True, slots=True, kw_only=True)
class LimitOrder(Document):
    """An order to buy or sell `amount_synthetic` of a synthetic asset for
    `amount_collateral` of collateral, paying at most `amount_fee`."""

    KIND: ClassVar[Kind] = "limit_order"
    _FIELDS: ClassVar[tuple[tuple[str, str], ...]] = (
        ("amount_synthetic", "u64"), ("amount_collateral", "u64"), ("amount_fee", "u64"),
        ("asset_id_synthetic", "id128"), ("asset_id_collateral", "id"), ("position_id", "u64"),
        ("is_buying_synthetic", "bool"), ("nonce", "nonce"), ("public_key", "key"),
        ("expiration_timestamp", "time"))

    amount_synthetic: int
    amount_collateral: int
    amount_fee: int
    asset_id_synthetic: str
    asset_id_collateral: str
    position_id: int
    is_buying_synthetic: bool
    nonce: int
    public_key: str
    expiration_timestamp: int


@dataclass(frozen=True, slots=True, kw_only=True)
class Liquidation(Document):
    """A liquidation; it hashes and signs as its `liquidator_order`."""

    KIND: ClassVar[Kind] = "liquidate"
    _FIELDS: ClassVar[tuple[tuple[str, str], ...]] = (
        ("liquidator_order", "order"), ("liquidated_position_id", "u64"),
        ("actual_collateral", "u64"), ("actual_synthetic", "u64"),
        ("actual_liquidator_fee", "u64"))

    liquidator_order: LimitOrder
    liquidated_position_id: int
    actual_collateral: int
    actual_synthetic: int
    actual_liquidator_fee: int


@dataclass(frozen=True, slots=True, kw_only=True)
class SignedOraclePrice(Document):
    """A price of `signed_asset_id` at `timestamp`, signed by an oracle."""

    KIND: ClassVar[Kind] = "signed_oracle_price"
    _FIELDS: ClassVar[tuple[tuple[str, str], ...]] = (
        ("signer_key", "key"), ("external_price", "u128"), ("timestamp", "time"),
        ("signed_asset_id", "id"))

    signer_key: str
    external_price: int
    timestamp: int
    signed_asset_id: str


DOCUMENT_TYPES: dict[Kind, type[Document]] = {
    cls.KIND: cls for cls in (Transfer, Withdrawal, LimitOrder, Liquidation, SignedOraclePrice)}


# --- the one reading of a document text ----------------------------------------

# Nesting the module's reader accepts: the document's own object is level 1.
MAX_DEPTH = 128


def _no_repeats(pairs: list[tuple[str, Any]]) -> dict[str, Any]:
    data = dict(pairs)
    if len(data) != len(pairs):  # which key: only on the rare refusal
        seen: set[str] = set()
        for key, _ in pairs:
            if key in seen:
                raise InvalidDocument("repeated", field=key)
            seen.add(key)
    return data


def _beyond_float(text: str) -> InvalidDocument:
    shown = text if len(text) <= 24 else f"{text[:12]}… ({len(text)} characters)"
    return InvalidDocument(f"not a JSON text: the number {shown} is out of range "
                           "(beyond a 64-bit float)")


def _float(text: str) -> float:
    value = float(text)
    if math.isinf(value):
        raise _beyond_float(text)
    return value


def _int(text: str) -> int:
    # The module reads an integer that fits no 64-bit integer as a float.
    if len(text) > 300 and math.isinf(float(text)):
        raise _beyond_float(text)
    return int(text)


def _constant(name: str) -> object:
    raise InvalidDocument(f"not a JSON text: {name} is not a JSON value")


_TOO_DEEP = f"not a JSON text: nested deeper than {MAX_DEPTH} levels"
_STRICT = json.JSONDecoder(object_pairs_hook=_no_repeats, parse_float=_float, parse_int=_int,
                           parse_constant=_constant, strict=True)
# An escape that may stand for half of a surrogate pair.
_SURROGATE_ESCAPE = re.compile(r"\\u[dD][89a-fA-F]")


def _strings_and_depth(value: object) -> tuple[bool, int]:
    """Whether any text in `value` (keys too) holds a lone surrogate, and how
    deep its containers nest (a scalar is 0, an object of scalars 1)."""
    lone = False
    deepest = 0
    stack: list[tuple[object, int]] = [(value, 0)]
    while stack:
        item, depth = stack.pop()
        if isinstance(item, str):
            lone = lone or any(0xD800 <= ord(c) <= 0xDFFF for c in item)
        elif isinstance(item, (dict, list)):
            depth += 1
            deepest = max(deepest, depth)
            if isinstance(item, dict):
                stack.extend((key, depth) for key in item)
                stack.extend((member, depth) for member in item.values())
            else:
                stack.extend((member, depth) for member in item)
    return lone, deepest


def _depth(value: object) -> int:
    """How deep the containers of `value` nest, as _strings_and_depth counts
    it, visiting containers only: the check of a text without escapes of
    surrogates, a request of thousands of documents among them."""
    deepest = 0
    stack: list[tuple[dict[str, Any] | list[Any], int]] = \
        [(value, 0)] if isinstance(value, (dict, list)) else []
    while stack:
        item, depth = stack.pop()
        depth += 1
        if depth > deepest:
            deepest = depth
        for member in item.values() if isinstance(item, dict) else item:
            if isinstance(member, (dict, list)):
                stack.append((member, depth))
    return deepest


def loads(text: str | bytes, *, outer: int = 0) -> Any:
    """The value of a JSON text, read as strictly as the module reads
    documents, and more: InvalidDocument for a text that is not UTF-8, a key
    repeated in any object, NaN or Infinity, a number beyond a 64-bit float,
    an escape of a lone surrogate, or containers nested deeper than
    MAX_DEPTH levels below the `outer` levels that hold the document (0 for
    a document's own text, 1 for a record or request whose member is the
    document). Positions in errors count UTF-8 bytes, lines start after
    "\\n" only."""
    if isinstance(text, (bytes, bytearray)):
        try:
            text = bytes(text).decode("utf-8")
        except UnicodeDecodeError as error:
            raise InvalidDocument(f"not UTF-8 text (byte {error.start})") from None
    if not isinstance(text, str):
        raise InvalidDocument(f"a JSON text is a str or bytes, not {type(text).__name__}")
    if not text.isascii():
        try:
            text.encode("utf-8")
        except UnicodeEncodeError as error:
            position = len(text[:error.start].encode("utf-8"))
            raise InvalidDocument(f"not UTF-8 text: a lone surrogate at byte {position}") from None
    try:
        value = _STRICT.decode(text)
    except json.JSONDecodeError as error:
        line_start = text.rfind("\n", 0, error.pos) + 1
        column = len(text[line_start:error.pos].encode("utf-8")) + 1
        message = error.msg.removesuffix(" at")  # "Invalid control character at"
        raise InvalidDocument(f"not a JSON text: {message} at line {error.lineno} "
                              f"column {column}") from None
    except RecursionError:
        raise InvalidDocument(_TOO_DEEP) from None
    # Both checks walk the value, so they run only where the text may need them;
    # without an escape of a surrogate no text can hold a lone one (the text
    # itself is UTF-8), and only the containers are walked.
    surrogates = "\\u" in text and _SURROGATE_ESCAPE.search(text) is not None
    if surrogates or text.count("{") + text.count("[") > MAX_DEPTH + outer:
        lone, depth = _strings_and_depth(value) if surrogates else (False, _depth(value))
        if depth > MAX_DEPTH + outer:
            raise InvalidDocument(_TOO_DEEP)
        if lone:
            raise InvalidDocument("not a JSON text: an escape of a lone surrogate, which UTF-8 "
                                  "cannot encode")
    return value


def normalize_kind(kind: str) -> Kind:
    """The kind with "-" read as "_"; ValueError for an unknown kind."""
    if not isinstance(kind, str):
        raise TypeError(f"kind must be a str, not '{type(kind).__name__}'")
    name = kind.replace("-", "_")
    for known in KINDS:
        if name == known:
            return known
    raise ValueError(f"unknown kind {kind!r}; expected one of {', '.join(KINDS)} "
                     "('-' and '_' alike)")


def read_value(kind: str, value: object) -> Document:
    """The document of kind `kind` (spelled with "-" or "_") held by a JSON
    value that `loads` read, as part of a larger text (a request, a log
    record). The array forms of a liquidation and an oracle price read into
    the same document as their object forms. InvalidDocument, naming the
    field, for anything the typed documents refuse."""
    return DOCUMENT_TYPES[normalize_kind(kind)].from_dict(value)


def read(kind: str, text: str | bytes) -> Document:
    """The one reading of a document text, for every path that hashes, signs
    or checks one: `loads`, then the typed document's validation. Hash or
    sign the result (`.hash()`, `PrivateKey.sign`), whose JSON holds exactly
    the values checked, never `text` itself."""
    return read_value(kind, loads(text))


def named_key(document: Document | dict[str, Any], kind: str | None = None) -> object:
    """The key a document names as its signer's: its `public_key`; a
    liquidation's liquidator order's; an oracle price's `signer_key`. The
    module leaves that key out of the hash, so this is the one rule that ties
    a signature to its signer: a document is signed only by the key it names.

    A typed document brings its kind; a parsed JSON object needs `kind`. The
    result is the field's value as it stands (None when it is missing)."""
    if isinstance(document, Document):  # every signing path: the getter of its class
        return document._SIGNER(document)
    value: object = document
    for name in _SIGNER_FIELD.get(kind or "", ("public_key",)):
        if isinstance(value, Document):
            value = getattr(value, name)
        elif isinstance(value, dict):
            value = value.get(name)
        else:
            return None
    return value


_KEY_TEXT = re.compile(r"(?:0x)?([0-9a-fA-F]{0,64})")


def key_value(text: object) -> int | None:
    """The value of a key text as the module reads it in a document ("0x"
    and up to 64 hex digits, any case; no digits is 0), or None when it
    reads none."""
    match = _KEY_TEXT.fullmatch(text) if isinstance(text, str) else None
    return int(match.group(1) or "0", 16) if match else None

__all__ = ["DOCUMENT_TYPES", "FIELD_MODULUS", "MAX_DEPTH", "Document", "Kind", "LimitOrder",
           "Liquidation", "SignedOraclePrice", "Transfer", "Withdrawal", "key_value", "loads",
           "named_key", "normalize_kind", "read", "read_value"]
