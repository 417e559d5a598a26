"""The batch calls for asyncio programs.

Each coroutine runs the matching quillet.batch function in a worker thread
(asyncio.to_thread). The batch releases the interpreter lock while it signs,
so the event loop goes on serving other tasks meanwhile:

    from quillet import aio
    signatures = await aio.sign_many("limit_order", orders, key)
    outcomes = await aio.run(batch.hash_many, "transfer", docs, outcomes=True)

The four coroutines take the arguments of quillet.batch (progress and
chunk_size too; a progress callback runs in the worker thread) and return
its plain lists; `run` awaits any other call. Cancelling the awaiting task
does not stop a batch already running: give chunk_size and raise from the
progress callback to stop one early.

sign_many and sign_messages also take an AsyncSigner (AsyncRemoteSigner):
its items are checked as quillet.batch checks them, then its coroutines are
awaited in the event loop (sign_each, sign_many or sign_messages where it
has them, else one item after another), and progress runs there too;
cancelling the task stops it between requests.
"""

from __future__ import annotations

import asyncio
# The executor's module, which asyncio otherwise imports on the first call (a
# fork meanwhile would leave its module lock held in the child).
import concurrent.futures.thread  # noqa: F401
from collections.abc import Callable, Iterable
from typing import TYPE_CHECKING, Any, Literal, ParamSpec, TypeVar, overload

from quillet import _batch, _signer_batch, batch

if TYPE_CHECKING:
    from quillet.documents import Document
    from quillet.keys import PrivateKey
    from quillet.signer import AsyncSigner, Signer

P = ParamSpec("P")
R = TypeVar("R")


async def run(function: Callable[P, R], *args: P.args, **kwargs: P.kwargs) -> R:
    """function(*args, **kwargs), awaited from a worker thread."""
    return await asyncio.to_thread(function, *args, **kwargs)


async def hash_many(kind: batch.KindName, docs: Iterable[str | Document], *,
                    threads: int | None = None, progress: batch.Progress | None = None,
                    chunk_size: int | None = None) -> list[str]:
    """batch.hash_many, awaited."""
    return await asyncio.to_thread(lambda: batch.hash_many(
        kind, docs, threads=threads, progress=progress, chunk_size=chunk_size))


@overload
async def sign_many(kind: batch.KindName, docs: Iterable[str | Document],
                    pri_key: str | PrivateKey | Signer | AsyncSigner, *,
                    threads: int | None = None, outcomes: Literal[False] = False,
                    progress: batch.Progress | None = None,
                    chunk_size: int | None = None) -> list[str]: ...
@overload
async def sign_many(kind: batch.KindName, docs: Iterable[str | Document],
                    pri_key: str | PrivateKey | Signer | AsyncSigner, *,
                    threads: int | None = None, outcomes: Literal[True],
                    progress: batch.Progress | None = None,
                    chunk_size: int | None = None) -> list[batch.Outcome[str]]: ...
async def sign_many(kind: batch.KindName, docs: Iterable[str | Document],
                    pri_key: str | PrivateKey | Signer | AsyncSigner, *,
                    threads: int | None = None, outcomes: bool = False,
                    progress: batch.Progress | None = None,
                    chunk_size: int | None = None) -> list[str] | list[batch.Outcome[str]]:
    """batch.sign_many, awaited; an AsyncSigner's coroutines are awaited in
    the event loop."""
    if _signer_batch.is_async(pri_key):
        return await _awaited(batch._listed(docs), pri_key, batch.normalize_kind(kind),
                              threads, outcomes, progress, chunk_size)
    return await asyncio.to_thread(lambda: batch.sign_many(  # type: ignore[call-overload, misc]
        kind, docs, pri_key, threads=threads, outcomes=outcomes, progress=progress,
        chunk_size=chunk_size))


@overload
async def sign_messages(pri_key: str | PrivateKey | Signer | AsyncSigner,
                        msgs: Iterable[str | int], *, threads: int | None = None,
                        outcomes: Literal[False] = False, progress: batch.Progress | None = None,
                        chunk_size: int | None = None) -> list[str]: ...
@overload
async def sign_messages(pri_key: str | PrivateKey | Signer | AsyncSigner,
                        msgs: Iterable[str | int], *, threads: int | None = None,
                        outcomes: Literal[True], progress: batch.Progress | None = None,
                        chunk_size: int | None = None) -> list[batch.Outcome[str]]: ...
async def sign_messages(pri_key: str | PrivateKey | Signer | AsyncSigner,
                        msgs: Iterable[str | int], *, threads: int | None = None,
                        outcomes: bool = False, progress: batch.Progress | None = None,
                        chunk_size: int | None = None) -> list[str] | list[batch.Outcome[str]]:
    """batch.sign_messages, awaited; as sign_many for an AsyncSigner."""
    if _signer_batch.is_async(pri_key):
        return await _awaited(batch._listed(msgs, "msgs"), pri_key, None, threads, outcomes,
                              progress, chunk_size)
    return await asyncio.to_thread(lambda: batch.sign_messages(  # type: ignore[call-overload]
        pri_key, msgs, threads=threads, outcomes=outcomes, progress=progress,
        chunk_size=chunk_size))


async def _awaited(items: list[Any], signer: object, kind: batch.Kind | None,
                   threads: int | None, outcomes: bool, progress: batch.Progress | None,
                   chunk_size: int | None) -> list[str] | list[batch.Outcome[str]]:
    """Signs documents of `kind` (messages when None) through an AsyncSigner."""
    _batch.call_many("sign", [], threads)  # checked as every batch call checks it
    results = await _signer_batch.run(
        _signer_batch.checked(items, signer, kind, outcomes),
        _signer_batch.chunk_signer(signer, "sign" if kind else "sign_message", outcomes),
        progress, chunk_size)
    return batch.signed_texts(results, outcomes)


async def verify_many(items: Iterable[batch.VerifyItem], *, threads: int | None = None,
                      progress: batch.Progress | None = None,
                      chunk_size: int | None = None) -> list[bool]:
    """batch.verify_many, awaited."""
    return await asyncio.to_thread(lambda: batch.verify_many(
        items, threads=threads, progress=progress, chunk_size=chunk_size))


__all__ = ["hash_many", "run", "sign_many", "sign_messages", "verify_many"]
