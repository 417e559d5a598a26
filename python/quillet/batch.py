"""Hashing, signing and verifying many items at once, on several cores.

The functions of quillet_python_sdk hold the interpreter lock while they run,
so a process signs on one core however many threads call them. The functions
here take a whole batch, convert it with the lock held, then release the lock
and share the items among a few threads (one per core the process may run
on, unless `threads` says otherwise). Results come back in input order.

Each result is exactly what the single function returns for that item. If
items fail, the call raises the exception that the single function raises for
the first failing item in input order (same class, same text: TypeError,
ValueError "Any { .. }" or PanicException), with the note "batch item
{index}" (see `BaseException.add_note`); items after it may not have run.
The diagnostic line on standard error is written for that item alone.

Batches are any iterable (taken whole before any work starts), except a
single str or bytes. The caller's containers are never changed, and a
container changed by another thread while a batch runs does not affect it.
Ctrl-C stops a batch within a fraction of a second (KeyboardInterrupt, no
results), and a batch that cannot allocate its memory raises MemoryError.

    from quillet import batch
    signatures = batch.sign_many("limit_order", orders, key)
    hashes = batch.hash_many("limit_order", orders, threads=2)
"""

from __future__ import annotations

from collections.abc import Iterable, Sequence
from typing import Literal

from quillet import _batch

Kind = Literal["transfer", "withdraw", "limit_order", "liquidate", "signed_oracle_price"]

# The document kinds, as quillet_python_sdk names its hash_* and sign_* functions.
KINDS: tuple[Kind, ...] = ("transfer", "withdraw", "limit_order", "liquidate",
                           "signed_oracle_price")

__all__ = ["KINDS", "Kind", "default_threads", "hash_many", "lane_kernel", "sign_many",
           "sign_messages", "verify_many"]


def hash_many(kind: Kind, docs: Iterable[str], *, threads: int | None = None) -> list[str]:
    """The hash text of each JSON document of one kind: [hash_{kind}(doc) for doc in docs].

    Failures raise PanicException (or TypeError for an item that is not a
    str), noted with the item's index. `threads`: None for one per core, or a
    count of at least 1 (at most 256, and never more than the items).
    """
    return _batch.hash_many(kind, docs, threads=threads)


def sign_many(kind: Kind, docs: Iterable[str], pri_key: str, *,
              threads: int | None = None) -> list[str]:
    """The signature JSON of each JSON document of one kind under one private key:
    [sign_{kind}(doc, pri_key) for doc in docs].

    A key that is not a str raises TypeError before any item is looked at;
    item failures raise ValueError "Any { .. }" (or TypeError), noted with the
    item's index. `threads` as for hash_many.
    """
    return _batch.sign_many(kind, docs, pri_key, threads=threads)


def sign_messages(pri_key: str, msgs: Iterable[str], *, threads: int | None = None) -> list[str]:
    """The signature JSON of each message integer under one private key:
    [sign(pri_key, msg) for msg in msgs].

    Failures as for sign_many; `threads` as for hash_many.
    """
    return _batch.sign_messages(pri_key, msgs, threads=threads)


def verify_many(items: Iterable[Sequence[str]], *, threads: int | None = None) -> list[bool]:
    """Whether each signature verifies: [verify_signature(*item) for item in items].

    Each item is a tuple or list of the five arguments (sig_r, sig_s,
    pub_key_x, pub_key_y, msg). A malformed item raises TypeError or
    ValueError "Any { .. }", noted with its index; a well-formed signature
    that does not match gives False. The well-formed items of each thread's
    share are checked together, by one random linear combination of their
    equations: a signature that does not verify comes back True with
    probability below 2^-103. `threads` as for hash_many.
    """
    return _batch.verify_many(items, threads=threads)


def default_threads() -> int:
    """The thread count used when `threads` is None: the number of cores this
    process may run on (its CPU affinity)."""
    return _batch.default_threads()


def lane_kernel() -> str:
    """The kernel that computes the Poseidon permutations of hash_many and
    sign_many, chosen once per process: "ifma" (eight at a time with AVX-512
    IFMA, where the processor has it), else "scalar" (one at a time). The
    environment variable QUILLET_POSEIDON_LANES, read before the first batch,
    forces "scalar", "emulated" (the IFMA algorithm in plain arithmetic, for
    tests) or "ifma" where the processor runs it."""
    return _batch.lane_kernel()
