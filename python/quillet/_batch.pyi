"""Batch calls of quillet_python_sdk's functions, run on several threads, and
the typed package's native key.

Use quillet.batch and quillet.PrivateKey, which document them.
"""

from collections.abc import Buffer, Iterable, Sequence
from typing import Literal, NoReturn, final, overload

@final
class SigningKey:
    """A private key held natively; its scalar is wiped when the key is released."""

    @classmethod
    def from_text(cls, text: str, /) -> SigningKey: ...
    @classmethod
    def from_bytes(cls, data: Buffer, /) -> SigningKey: ...
    @classmethod
    def from_seed(cls, seed: str | Buffer, /) -> SigningKey: ...
    @classmethod
    def generate(cls) -> SigningKey: ...
    def public_key(self) -> tuple[str, str]: ...
    def sign_document(self, kind: str, json: str, /) -> tuple[str, str]: ...
    def sign_message(self, msg: str, /) -> tuple[str, str]: ...
    def eth_sign(self, msg: str, /) -> tuple[str, str, str, str, str]: ...
    def to_text(self) -> str: ...
    def write_bytes(self, out: Buffer, /) -> None: ...
    def __reduce__(self) -> NoReturn: ...
    def __copy__(self) -> NoReturn: ...
    def __deepcopy__(self, memo: object, /) -> NoReturn: ...

class Refused(ValueError):
    """A typed call's refusal: `code` names what; `reason` is the core's text, never for a key."""

    code: str
    reason: str | None

def hash_many(kind: str, docs: Iterable[str], *, threads: int | None = None) -> list[str]:
    """The hash text of each document of one kind, in input order."""

@overload
def sign_many(kind: str, docs: Iterable[str], pri_key: str | SigningKey, *,
              pairs: Literal[False] = False, threads: int | None = None) -> list[str]: ...
@overload
def sign_many(kind: str, docs: Iterable[str], pri_key: str | SigningKey, *,
              pairs: Literal[True], threads: int | None = None) -> list[tuple[str, str]]: ...

@overload
def sign_messages(pri_key: str | SigningKey, msgs: Iterable[str], *,
                  pairs: Literal[False] = False, threads: int | None = None) -> list[str]: ...
@overload
def sign_messages(pri_key: str | SigningKey, msgs: Iterable[str], *,
                  pairs: Literal[True], threads: int | None = None) -> list[tuple[str, str]]: ...

def verify_many(items: Iterable[Sequence[str]], *, threads: int | None = None) -> list[bool]:
    """Whether each (sig_r, sig_s, pub_key_x, pub_key_y, msg) verifies, in input order."""

def default_threads() -> int:
    """The thread count used when threads is None: one per core the process may run on."""

def lane_kernel() -> str:
    """The Poseidon kernel of hash_many and sign_many in this process: 'ifma', 'emulated' or 'scalar'."""

def call(name: str, /, *args: str | SigningKey) -> tuple[bool, str | bool]:
    """(True, result) or (False, reason) of one function's core call; writes no diagnostic."""

def call_many(name: str, items: list[tuple[str | SigningKey, ...]], threads: int | None, /) -> list[tuple[bool, str | bool]]:
    """[(ok, result or reason), ...] for each argument tuple, every item run."""

def is_usable_key(public_key: str, /) -> bool:
    """Whether verification can use the packed key text and it is not the neutral point."""

def public_key_xy(public_key: str, /) -> tuple[str, str]:
    """The pair (x, y) public_key_to_xy gives, or Refused naming why the key does not decode."""

def scrypt_into(passphrase: Buffer, salt: Buffer, n: int, r: int, p: int, out: Buffer, /, *,
                kernel: str | None = None) -> None:
    """Writes scrypt(passphrase, salt, n, r, p) into the writable buffer `out` (its length is the key's), within the keystore's bounds; MemoryError if its memory cannot be had."""

def pbkdf2_sha256_into(passphrase: Buffer, salt: Buffer, rounds: int, out: Buffer, /) -> None:
    """Writes PBKDF2-HMAC-SHA256(passphrase, salt, rounds) into the writable buffer `out`."""

def scrypt_kernels() -> list[str]:
    """The Salsa20/8 kernels scrypt_into runs here, the one it chooses first."""

def panic_exception() -> type[BaseException]:
    """The PanicException class raised by quillet_python_sdk."""

def _rebuild_panic(*args: object) -> BaseException:
    """A PanicException with these args (unpickling)."""
