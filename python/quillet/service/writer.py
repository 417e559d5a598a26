"""The SQLite journal's writer: one thread that owns the connection.

Requests queue their work for it; it takes every queued request into one
transaction (BEGIN IMMEDIATE: the database's one writer), each request
inside a savepoint, and commits once for all of them, then answers them. A
failing database fails every request of that transaction (JournalError,
nothing signed is answered); a request whose own work fails is rolled back
to its savepoint alone. The tables and what a request writes:
quillet.service.storage.
"""

from __future__ import annotations

import asyncio
import concurrent.futures
import queue
import sqlite3
import threading
import time
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import Any

from quillet.service.storage import (DAY, Entry, JournalError, Outcome, Rejected, open_database,
                                     record)

_GROUP_ITEMS = 4096  # items one transaction takes at most, besides its first request's


class _Job:
    __slots__ = ("run", "size", "future")

    def __init__(self, run: Callable[[sqlite3.Connection, float], Any], size: int) -> None:
        self.run = run
        self.size = size
        self.future: concurrent.futures.Future[Any] = concurrent.futures.Future()


def _settle(future: concurrent.futures.Future[Any], result: Any) -> None:
    try:
        if isinstance(result, BaseException):
            future.set_exception(result)
        else:
            future.set_result(result)
    except concurrent.futures.InvalidStateError:  # the waiter gave up (timed out)
        pass


class SqliteJournal:
    """The journal in one SQLite file, written by one thread of its own."""

    def __init__(self, path: Path, timeout: float = 5.0, synchronous: str = "full") -> None:
        """Opens (or creates) the journal at `path`; SchemaError or JournalError
        when it cannot be used. `timeout`: how long a transaction waits for
        the write lock; `synchronous`: "full" or "normal" (see ServerConfig)."""
        self.path = path
        self._queue: queue.SimpleQueue[_Job | None] = queue.SimpleQueue()
        self._closed = False
        self._pruned = 0
        opened: concurrent.futures.Future[sqlite3.Connection] = concurrent.futures.Future()
        self._thread = threading.Thread(target=self._run, args=(timeout, synchronous, opened),
                                        name="quillet-journal", daemon=True)
        self._thread.start()
        opened.result()  # raises what opening raised

    def _run(self, timeout: float, synchronous: str,
             opened: concurrent.futures.Future[sqlite3.Connection]) -> None:
        try:
            db, _ = open_database(self.path, timeout, synchronous=synchronous)
        except BaseException as error:
            opened.set_exception(error)
            return
        opened.set_result(db)
        try:
            while True:
                job = self._queue.get()
                if job is None:
                    break
                jobs, stop = [job], False
                size = job.size
                while size < _GROUP_ITEMS:
                    try:
                        more = self._queue.get_nowait()
                    except queue.Empty:
                        break
                    if more is None:
                        stop = True
                        break
                    jobs.append(more)
                    size += more.size
                self._transaction(db, jobs)
                if stop:
                    break
        finally:
            db.close()

    def _transaction(self, db: sqlite3.Connection, jobs: list[_Job]) -> None:
        now = time.time()
        results: list[Any] = []
        try:
            db.execute("BEGIN IMMEDIATE")
            try:
                for job in jobs:
                    db.execute("SAVEPOINT request")
                    try:
                        results.append(job.run(db, now))
                    except sqlite3.Error:
                        raise
                    except Exception as error:  # this request's own failure
                        db.execute("ROLLBACK TO request")
                        results.append(error)
                    db.execute("RELEASE request")
                self._prune(db, now)
                db.execute("COMMIT")
            except BaseException:
                if db.in_transaction:
                    db.execute("ROLLBACK")
                raise
        except (sqlite3.Error, OSError) as error:
            failure = JournalError(f"the journal failed: {error}")
            for job in jobs:
                _settle(job.future, failure)
            return
        except BaseException as error:  # never leave a request waiting
            for job in jobs:
                _settle(job.future, JournalError(f"the journal failed: {type(error).__name__}"))
            return
        for job, result in zip(jobs, results):
            _settle(job.future, result)

    def _prune(self, db: sqlite3.Connection, now: float) -> None:
        # Buckets older than every window, once a minute.
        minute = int(now // 60)
        if minute != self._pruned:
            db.execute("DELETE FROM velocity WHERE minute < ?", (int((now - DAY) // 60) - 1,))
            self._pruned = minute

    async def _submit(self, run: Callable[[sqlite3.Connection, float], Any], size: int) -> Any:
        if self._closed:
            raise JournalError("the journal is closed")
        job = _Job(run, size)
        self._queue.put(job)
        return await asyncio.wrap_future(job.future)

    # --- the operations ---

    async def open(self) -> None:
        """Nothing to start: the writer thread runs from the constructor on."""

    async def commit(self, client: str, key: str, public_key: str, entries: Sequence[Entry],
                     rejected: Sequence[Rejected] = ()) -> list[Outcome]:
        """Records a request's decisions in one transaction and returns each
        entry's outcome, in order: Signed (new, or the stored signature of the
        same hash), Conflict, or the Refusal of its daily cap. Refusals (the
        outcomes that are not Signed, and `rejected`) are rows of `refused`.
        Returns only once the transaction has committed; JournalError if it
        did not."""
        def run(db: sqlite3.Connection, now: float) -> list[Outcome]:
            return record(db, now, client, key, public_key, entries, rejected)
        outcomes: list[Outcome] = await self._submit(run, max(1, len(entries)))
        return outcomes

    async def healthy(self) -> bool:
        """Whether the journal can take a write transaction now."""
        try:
            await self._submit(lambda db, now: None, 1)
        except JournalError:
            return False
        return True

    async def close(self) -> None:
        """Lets the queued requests finish, then closes the database."""
        if not self._closed:
            self._closed = True
            self._queue.put(None)
            await asyncio.to_thread(self._thread.join)


__all__ = ["SqliteJournal"]
