"""Batch calls of quillet_python_sdk's functions, run on several threads.

Use quillet.batch, which documents them.
"""

from collections.abc import Iterable, Sequence

def hash_many(kind: str, docs: Iterable[str], *, threads: int | None = None) -> list[str]:
    """The hash text of each document of one kind, in input order."""

def sign_many(kind: str, docs: Iterable[str], pri_key: str, *,
              threads: int | None = None) -> list[str]:
    """The signature JSON of each document of one kind under one key, in input order."""

def sign_messages(pri_key: str, msgs: Iterable[str], *, threads: int | None = None) -> list[str]:
    """The signature JSON of each message integer under one key, in input order."""

def verify_many(items: Iterable[Sequence[str]], *, threads: int | None = None) -> list[bool]:
    """Whether each (sig_r, sig_s, pub_key_x, pub_key_y, msg) verifies, in input order."""

def default_threads() -> int:
    """The thread count used when threads is None: one per core the process may run on."""

def lane_kernel() -> str:
    """The Poseidon kernel of hash_many and sign_many in this process: 'ifma', 'emulated' or 'scalar'."""

def call(name: str, /, *args: str) -> tuple[bool, str | bool]:
    """(True, result) or (False, reason) of one function's core call; writes no diagnostic."""

def call_many(name: str, items: list[tuple[str, ...]], threads: int | None, /) -> list[tuple[bool, str | bool]]:
    """[(ok, result or reason), ...] for each argument tuple, every item run."""

def panic_exception() -> type[BaseException]:
    """The PanicException class raised by quillet_python_sdk."""

def _rebuild_panic(*args: object) -> BaseException:
    """A PanicException with these args (unpickling)."""
