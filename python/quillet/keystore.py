"""Encrypted key files in the ERC-2335 keystore layout (version 4).

    text = key.to_keystore(passphrase)                   # scrypt; or kdf="pbkdf2"
    key = PrivateKey.from_keystore(text, passphrase)     # or a path

The key's 32 big-endian bytes are encrypted with AES-128-CTR under dk[0:16],
where dk is 32 bytes derived from the passphrase (scrypt or PBKDF2-HMAC-SHA256,
both native: quillet._batch, without the interpreter lock, byte for byte
hashlib's and faster); sha256(dk[16:32] ‖ ciphertext) is the checksum that tells
a wrong passphrase (or a damaged file) before anything is decrypted. The
passphrase is taken as NFKD, without the control codes C0, DEL and C1, in
UTF-8, so that keystores move between implementations of the layout.

The cipher comes from pyca/cryptography, the optional extra `keystore`: a
well-kept binding of OpenSSL, whose AES uses the processor's instructions.

A keystore is someone else's file until its checksum passes, so reading it
refuses, before deriving anything, every function it does not know and every
cost above the bounds below. scrypt: the memory it allocates, 128·r·(n + p + 2)
bytes, and its work, n·r·p block mixes (its time follows), each at most four
times the default's (1 GiB and 12 KiB; 2^23), and r and p at most 32 each,
since its two PBKDF2 passes over 128·r·p bytes lie outside n·r·p (n = 2,
r = 1, p = 2^22 would take seconds). PBKDF2: at most 2^22 rounds (sixteen
times its default, about 1.25 times the scrypt default's time). On a machine
where the default takes a second, no keystore that is read takes more than
about four.

Secrets (the passphrase's bytes, the derived key, the decrypted key) live in
`Secret` buffers, overwritten when their `with` block ends and shown as
"<secret>" by repr, so no frame local of a traceback holds them readable.
The KDFs write the derived key straight into its buffer. The caller's own
str cannot be overwritten from Python; it is dropped at once.
"""

from __future__ import annotations

import hashlib
import hmac
import json
import os
import re
import unicodedata
from typing import Any, Self

from quillet._batch import pbkdf2_sha256_into, scrypt_into
from quillet.errors import InvalidKey, QuilletError

try:
    from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes
except ImportError:  # the extra is not installed: keystore calls say so
    Cipher = None  # type: ignore[assignment,misc]

EXTRA_MISSING = ("keystores need the cryptography package: "
                 "pip install 'quillet_python_sdk[keystore]'")
WRONG_PASSPHRASE = "wrong passphrase or damaged keystore"
PASSPHRASE_VARIABLE = "QUILLET_KEY_PASSPHRASE"
KDFS = ("scrypt", "pbkdf2")

SCRYPT_N, SCRYPT_R, SCRYPT_P = 1 << 18, 8, 1
PBKDF2_ROUNDS = 1 << 18
MAX_PBKDF2_ROUNDS = 1 << 22
KEY_SIZE = 32
# A keystore with a long description is still a small file.
SIZE_LIMIT = 1 << 16
_SALT_LIMIT = 1024

_HEX = re.compile("(?:[0-9a-fA-F]{2})*")
# C0, DEL and C1: removed from the passphrase after NFKD.
_CONTROLS = dict.fromkeys([*range(0x20), *range(0x7F, 0xA0)])


class Secret:
    """Bytes that are overwritten when the `with` block ends; repr shows none of them."""

    __slots__ = ("buffer",)

    def __init__(self, size: int) -> None:
        self.buffer = bytearray(size)

    def clear(self) -> None:
        self.buffer[:] = bytes(len(self.buffer))  # in place: same length

    def __enter__(self) -> Self:
        return self

    def __exit__(self, *exc: object) -> None:
        self.clear()

    def __repr__(self) -> str:
        return "<secret>"

    def __reduce__(self) -> Any:
        raise TypeError("a secret is not pickled")


class Passphrase(Secret):
    """A passphrase as the keystore uses it: NFKD, control codes removed, UTF-8.

    Never raises: a value that is no passphrase is kept as `fault`, raised by
    `check()`, so the caller can drop its own reference to the value first."""

    __slots__ = ("fault",)

    def __init__(self, value: object) -> None:
        super().__init__(0)
        self.fault: str | None = None
        if not isinstance(value, str):
            self.fault = f"a passphrase is a str, not {type(value).__name__}"
            return
        try:
            self.buffer = bytearray(
                unicodedata.normalize("NFKD", value).translate(_CONTROLS).encode("utf-8"))
        except UnicodeEncodeError:
            self.fault = "the passphrase is not Unicode text (it holds a lone surrogate)"

    @classmethod
    def from_env(cls) -> Passphrase | None:
        """The passphrase in $QUILLET_KEY_PASSPHRASE, or None when it is unset."""
        return cls(os.environ[PASSPHRASE_VARIABLE]) if PASSPHRASE_VARIABLE in os.environ else None

    def check(self) -> None:
        if self.fault is not None:
            raise TypeError(self.fault)


def is_hex(text: str) -> bool:
    """Whether `text` is hexadecimal bytes as the keystore writes them (no 0x)."""
    return _HEX.fullmatch(text) is not None


def is_keystore(data: object) -> bool:
    """Whether a parsed JSON value has the keystore's shape (rather than a key text's)."""
    return isinstance(data, dict) and "crypto" in data


def _require_cipher() -> None:
    if Cipher is None:
        raise QuilletError(EXTRA_MISSING)


def _uuid4() -> str:
    raw = bytearray(os.urandom(16))
    raw[6] = raw[6] & 0x0F | 0x40  # version 4
    raw[8] = raw[8] & 0x3F | 0x80  # the RFC 4122 variant
    digits = raw.hex()
    return f"{digits[:8]}-{digits[8:12]}-{digits[12:16]}-{digits[16:20]}-{digits[20:]}"


def _scrypt_memory(n: int, r: int, p: int) -> int:
    """The bytes scrypt maps: V (128·r·n), two working blocks and B (128·r·p)."""
    return 128 * r * (n + p + 2)


# The bounds of a keystore that is read (see the top of this file).
DEFAULT_SCRYPT_WORK = SCRYPT_N * SCRYPT_R * SCRYPT_P  # block mixes
MAX_SCRYPT_WORK = 4 * DEFAULT_SCRYPT_WORK
MAX_SCRYPT_MEMORY = 4 * _scrypt_memory(SCRYPT_N, SCRYPT_R, SCRYPT_P)
MAX_SCRYPT_R = MAX_SCRYPT_P = 32


def _derive(dk: Secret, passphrase: Passphrase, kdf: str, params: dict[str, Any],
            salt: bytes, unlocking: bool) -> None:
    """Fills dk with the key derived from the passphrase; params are checked
    already. `unlocking` (else writing) shapes the advice of the error for a
    process that cannot get scrypt's memory."""
    if kdf == "scrypt":
        n, r, p = params["n"], params["r"], params["p"]
        try:
            scrypt_into(passphrase.buffer, salt, n, r, p, dk.buffer)
        except MemoryError:  # a limit (ulimit -v) or no memory
            raise InvalidKey(_memory_fault(unlocking, n, r, p)) from None
    else:
        pbkdf2_sha256_into(passphrase.buffer, salt, params["c"], dk.buffer)


def _memory_fault(unlocking: bool, n: int, r: int, p: int) -> str:
    shown = f"n={n}, r={r}" if p == 1 else f"n={n}, r={r}, p={p}"
    needs = (f"needs about {round(_scrypt_memory(n, r, p) / (1 << 20))} MiB of memory for "
             f"scrypt ({shown}), more than this process may take: raise its memory limit")
    if unlocking:
        return (f"unlocking this keystore {needs}, or re-encrypt it with PBKDF2 where it "
                "unlocks (quillet key passwd --kdf pbkdf2)")
    return f"writing a keystore {needs}, or choose PBKDF2 (--kdf pbkdf2, kdf=\"pbkdf2\")"


def _aes_ctr(dk: Secret, iv: bytes, data: bytes | bytearray, out: Secret) -> None:
    """out.buffer = AES-128-CTR of data under dk[0:16] from counter iv (CTR
    decrypts as it encrypts); data and out have the same length."""
    crypt = Cipher(algorithms.AES(memoryview(dk.buffer)[:16]), modes.CTR(iv)).encryptor()
    # Some versions want room for a whole block more than the data.
    with Secret(len(data) + 15) as room:
        crypt.update_into(data, room.buffer)
        crypt.finalize()
        out.buffer[:] = memoryview(room.buffer)[:len(data)]


def _checksum(dk: Secret, ciphertext: bytes) -> bytes:
    digest = hashlib.sha256(memoryview(dk.buffer)[16:32])
    digest.update(ciphertext)
    return digest.digest()


def encrypt(key: Secret, passphrase: Passphrase, *, kdf: str, description: str,
            pubkey: str) -> str:
    """The keystore JSON of the 32 key bytes in `key` (big-endian); `pubkey`
    is written as it is given. Clears `key` and `passphrase`."""
    with key, passphrase, Secret(KEY_SIZE) as dk, Secret(KEY_SIZE) as out:
        _require_cipher()
        passphrase.check()
        if not passphrase.buffer:
            raise ValueError("an empty passphrase is refused")
        if kdf not in KDFS:
            raise ValueError(f"kdf is one of {', '.join(KDFS)}, not {kdf!r}")
        if not isinstance(description, str):
            raise TypeError(f"a description is a str, not {type(description).__name__}")
        salt, iv = os.urandom(32), os.urandom(16)
        params: dict[str, Any] = (
            {"dklen": KEY_SIZE, "n": SCRYPT_N, "p": SCRYPT_P, "r": SCRYPT_R} if kdf == "scrypt"
            else {"dklen": KEY_SIZE, "c": PBKDF2_ROUNDS, "prf": "hmac-sha256"})
        _derive(dk, passphrase, kdf, params, salt, unlocking=False)
        _aes_ctr(dk, iv, key.buffer, out)
        ciphertext = bytes(out.buffer)
        document = {
            "crypto": {
                "kdf": {"function": kdf, "params": {**params, "salt": salt.hex()},
                        "message": ""},
                "checksum": {"function": "sha256", "params": {},
                             "message": _checksum(dk, ciphertext).hex()},
                "cipher": {"function": "aes-128-ctr", "params": {"iv": iv.hex()},
                           "message": ciphertext.hex()},
            },
            "description": description,
            "pubkey": pubkey,
            "path": "",
            "uuid": _uuid4(),
            "version": 4,
        }
    return json.dumps(document, indent=4, ensure_ascii=False)


# --- reading ---------------------------------------------------------------------

def _member(data: dict[str, Any], path: str, name: str, kind: type) -> Any:
    if name not in data:
        raise InvalidKey(f"keystore: {path}{name} is missing")
    value = data[name]
    if type(value) is not kind:  # not isinstance: True is no integer here
        what = {dict: "an object", str: "a text", int: "an integer"}[kind]
        raise InvalidKey(f"keystore: {path}{name} is not {what}")
    return value


def _hex(data: dict[str, Any], path: str, name: str, size: int | None = None,
         limit: int = KEY_SIZE) -> bytes:
    text = _member(data, path, name, str)
    if _HEX.fullmatch(text) is None:
        raise InvalidKey(f"keystore: {path}{name} is not hexadecimal bytes (no 0x prefix)")
    length = len(text) // 2
    if (size is not None and length != size) or length > limit:
        expected = f"{size}" if size is not None else f"at most {limit}"
        raise InvalidKey(f"keystore: {path}{name} holds {length} bytes, not {expected}")
    return bytes.fromhex(text)


def _function(module: dict[str, Any], path: str, known: tuple[str, ...]) -> str:
    name: str = _member(module, path, "function", str)
    if name not in known:
        raise InvalidKey(f"keystore: {path}function {name!r} is not supported "
                         f"({', '.join(known)})")
    return name


def _integer(params: dict[str, Any], path: str, name: str, low: int, high: int) -> int:
    value: int = _member(params, path, name, int)
    if not low <= value <= high:
        raise InvalidKey(f"keystore: {path}{name} = {value} is outside [{low}, {high}]")
    return value


def _kdf_params(kdf: str, params: dict[str, Any]) -> dict[str, Any]:
    """The KDF's parameters, checked against its cost bounds without running it."""
    path = "crypto.kdf.params."
    if _member(params, path, "dklen", int) != KEY_SIZE:
        raise InvalidKey(f"keystore: {path}dklen is {params['dklen']}, not {KEY_SIZE}")
    if kdf == "pbkdf2":
        if _member(params, path, "prf", str) != "hmac-sha256":
            raise InvalidKey(f"keystore: {path}prf {params['prf']!r} is not supported "
                             "(hmac-sha256)")
        return {"c": _integer(params, path, "c", 1, MAX_PBKDF2_ROUNDS)}
    n = _integer(params, path, "n", 2, MAX_SCRYPT_WORK)
    if n & (n - 1):
        raise InvalidKey(f"keystore: {path}n = {n} is not a power of two")
    r = _integer(params, path, "r", 1, MAX_SCRYPT_R)
    p = _integer(params, path, "p", 1, MAX_SCRYPT_P)
    if r < 4 and n >= 1 << (16 * r):  # scrypt's own condition (RFC 7914)
        raise InvalidKey(f"keystore: {path}n = {n} is not below 2^(16·r) with r = {r}")
    memory, work = _scrypt_memory(n, r, p), n * r * p
    if memory > MAX_SCRYPT_MEMORY:  # MiB rounded up, so never shown equal to the bound
        raise InvalidKey(f"keystore: scrypt with n={n}, r={r}, p={p} needs "
                         f"{-(-memory >> 20)} MiB of memory (128·r·(n + p + 2) bytes), above "
                         f"the bound of {MAX_SCRYPT_MEMORY >> 20} MiB")
    if work > MAX_SCRYPT_WORK:
        raise InvalidKey(f"keystore: scrypt with n={n}, r={r}, p={p} does "
                         f"{work / DEFAULT_SCRYPT_WORK:g} times the default's work (n·r·p "
                         f"block mixes), above the bound of "
                         f"{MAX_SCRYPT_WORK // DEFAULT_SCRYPT_WORK} times")
    return {"n": n, "r": r, "p": p}


def parse(text: str | bytes) -> dict[str, Any]:
    """The keystore JSON value of `text`, an object, or InvalidKey."""
    try:
        data = json.loads(text)
    except (ValueError, RecursionError):
        raise InvalidKey("keystore: not a JSON text") from None
    if not isinstance(data, dict):
        raise InvalidKey("keystore: not a JSON object")
    return data


def decrypt(data: dict[str, Any], passphrase: Passphrase) -> tuple[Secret, str]:
    """The decrypted secret of a parsed keystore and its `pubkey` text (hex
    digits, or "" when empty or absent). Clears `passphrase`; the caller
    clears the secret. InvalidKey for a keystore that is malformed, costs too
    much, or whose checksum fails (WRONG_PASSPHRASE)."""
    with passphrase, Secret(KEY_SIZE) as dk:
        _require_cipher()
        passphrase.check()
        if _member(data, "", "version", int) != 4:
            raise InvalidKey(f"keystore: version {data['version']} is not supported (4)")
        for name in ("description", "path", "uuid", "pubkey"):
            if name in data:
                _member(data, "", name, str)
        pubkey = data.get("pubkey", "")
        if _HEX.fullmatch(pubkey) is None:
            raise InvalidKey("keystore: pubkey is not hexadecimal bytes (no 0x prefix)")
        crypto = _member(data, "", "crypto", dict)
        kdf_module = _member(crypto, "crypto.", "kdf", dict)
        checksum_module = _member(crypto, "crypto.", "checksum", dict)
        cipher_module = _member(crypto, "crypto.", "cipher", dict)
        kdf = _function(kdf_module, "crypto.kdf.", KDFS)
        kdf_params = _member(kdf_module, "crypto.kdf.", "params", dict)
        params = _kdf_params(kdf, kdf_params)
        salt = _hex(kdf_params, "crypto.kdf.params.", "salt", limit=_SALT_LIMIT)
        _function(checksum_module, "crypto.checksum.", ("sha256",))
        checksum = _hex(checksum_module, "crypto.checksum.", "message", 32)
        _function(cipher_module, "crypto.cipher.", ("aes-128-ctr",))
        iv = _hex(_member(cipher_module, "crypto.cipher.", "params", dict),
                  "crypto.cipher.params.", "iv", 16)
        ciphertext = _hex(cipher_module, "crypto.cipher.", "message", KEY_SIZE)

        _derive(dk, passphrase, kdf, params, salt, unlocking=True)
        if not hmac.compare_digest(_checksum(dk, ciphertext), checksum):
            raise InvalidKey(WRONG_PASSPHRASE)
        plain = Secret(KEY_SIZE)
        try:
            _aes_ctr(dk, iv, ciphertext, plain)
        except BaseException:
            plain.clear()
            raise
        return plain, pubkey


__all__ = ["EXTRA_MISSING", "KDFS", "PASSPHRASE_VARIABLE", "Passphrase", "Secret",
           "WRONG_PASSPHRASE", "decrypt", "encrypt", "is_hex", "is_keystore", "parse"]
