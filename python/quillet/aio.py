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
"""

from __future__ import annotations

import asyncio
# The executor's module, which asyncio otherwise imports on the first call (a
# fork meanwhile would leave its module lock held in the child).
import concurrent.futures.thread  # noqa: F401
from collections.abc import Callable, Iterable
from typing import TYPE_CHECKING, ParamSpec, TypeVar

from quillet import batch

if TYPE_CHECKING:
    from quillet.documents import Document
    from quillet.keys import PrivateKey

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


async def sign_many(kind: batch.KindName, docs: Iterable[str | Document],
                    pri_key: str | PrivateKey, *, threads: int | None = None,
                    progress: batch.Progress | None = None,
                    chunk_size: int | None = None) -> list[str]:
    """batch.sign_many, awaited."""
    return await asyncio.to_thread(lambda: batch.sign_many(
        kind, docs, pri_key, threads=threads, progress=progress, chunk_size=chunk_size))


async def sign_messages(pri_key: str | PrivateKey, msgs: Iterable[str | int], *,
                        threads: int | None = None, progress: batch.Progress | None = None,
                        chunk_size: int | None = None) -> list[str]:
    """batch.sign_messages, awaited."""
    return await asyncio.to_thread(lambda: batch.sign_messages(
        pri_key, msgs, threads=threads, progress=progress, chunk_size=chunk_size))


async def verify_many(items: Iterable[batch.VerifyItem], *, threads: int | None = None,
                      progress: batch.Progress | None = None,
                      chunk_size: int | None = None) -> list[bool]:
    """batch.verify_many, awaited."""
    return await asyncio.to_thread(lambda: batch.verify_many(
        items, threads=threads, progress=progress, chunk_size=chunk_size))


__all__ = ["hash_many", "run", "sign_many", "sign_messages", "verify_many"]
