"""The journal in PostgreSQL: several instances of the service on one database.

The tables are the SQLite journal's (quillet.service.storage), with NUMERIC
amounts, plus `cap_lock`: one row per (client, public key, kind, asset)
whose lock a daily cap is checked and counted under. What must hold across
instances is decided by the database, never by a read in Python followed by
a write:

- the double-sign guard is the unique index on signed (public_key, guard,
  nonce): an insert that does nothing on conflict, and then the row that
  won, read by a new statement (the insert waits for a concurrent writer of
  the same key to end, so the winner has committed by then);
- a daily cap sums the minute buckets of `velocity` only once the
  transaction holds its `cap_lock` row (SELECT ... FOR UPDATE); under READ
  COMMITTED that statement's snapshot is taken after the lock is granted,
  so it counts every commit of whoever held the lock before.

Every transaction takes its locks in one order (cap rows sorted, then
guard keys sorted, then velocity buckets sorted), so two never wait on each
other in a cycle; a deadlock or serialization failure all the same is
retried a few times, then answered 503.

A request is one transaction on a pooled connection, in pipeline mode: the
locks, the sums and the guard's inserts go in one round trip, the writes
and the COMMIT in a second. Outcomes are returned only once the COMMIT has
succeeded: a connection lost before that is a JournalError (503, nothing
answered), and a client's retry is answered from the committed row if the
COMMIT did in fact land. While the database is known to be down, a request
waits only a moment for a connection; the pool reconnects by itself.
"""

from __future__ import annotations

import asyncio
import contextlib
import json
import logging
import math
import random
from collections.abc import AsyncIterator, Iterator, Sequence
from typing import Any

import psycopg
from psycopg import errors
from psycopg.conninfo import conninfo_to_dict, make_conninfo
from psycopg_pool import AsyncConnectionPool, PoolTimeout

from quillet.service.config import redact_url
from quillet.service.policy import Refusal
from quillet.service.storage import (APPLICATION, DAY, EXPORT_PAGE, EXPORT_QUERY,
                                     SCHEMA_VERSION, Conflict, Entry, JournalError, Outcome,
                                     Rejected, SchemaError, Signed, apply_migrations,
                                     export_line, prune_batches, runnable, version_of)

# Statements that bring a database from version N - 1 to N (1: from empty).
MIGRATIONS: dict[int, tuple[str, ...]] = {
    1: (
        "CREATE TABLE meta (name TEXT PRIMARY KEY, value TEXT NOT NULL)",
        """CREATE TABLE signed (
            id BIGINT GENERATED ALWAYS AS IDENTITY PRIMARY KEY, time DOUBLE PRECISION NOT NULL,
            client TEXT NOT NULL, key TEXT NOT NULL, public_key TEXT NOT NULL,
            kind TEXT NOT NULL, guard TEXT NOT NULL, nonce TEXT, hash TEXT NOT NULL,
            document TEXT, r TEXT NOT NULL, s TEXT NOT NULL, asset TEXT, amount NUMERIC)""",
        # NULL nonces (messages) are distinct: never a conflict.
        "CREATE UNIQUE INDEX signed_guard ON signed (public_key, guard, nonce)",
        # The export's pages and pruning: (time, id) in index order.
        "CREATE INDEX signed_time ON signed (time, id)",
        """CREATE TABLE refused (
            id BIGINT GENERATED ALWAYS AS IDENTITY PRIMARY KEY, time DOUBLE PRECISION NOT NULL,
            client TEXT NOT NULL, key TEXT, kind TEXT, hash TEXT, document TEXT,
            status INTEGER NOT NULL, rule TEXT, field TEXT, detail TEXT)""",
        "CREATE INDEX refused_time ON refused (time)",
        # The rolling sums read one group's buckets of the last day: a range
        # of the primary key.
        """CREATE TABLE velocity (
            client TEXT NOT NULL, public_key TEXT NOT NULL, kind TEXT NOT NULL,
            asset TEXT NOT NULL, minute BIGINT NOT NULL, amount NUMERIC NOT NULL,
            PRIMARY KEY (client, public_key, kind, asset, minute))""",
        """CREATE TABLE cap_lock (
            client TEXT NOT NULL, public_key TEXT NOT NULL, kind TEXT NOT NULL,
            asset TEXT NOT NULL, PRIMARY KEY (client, public_key, kind, asset))""",
    ),
}
# Held by `migrate` for its transaction: two instances migrating at once
# take turns.
_MIGRATION_LOCK = 0x71756C6C65740001
_ATTEMPTS = 3  # of a transaction that hit a deadlock, a serialization failure or a lost connection
_DOWN_WAIT = 0.25  # seconds a request waits for a connection while the database is down
_PRUNE_EVERY = 60.0

_NOW = "extract(epoch FROM now())::float8"
_MINUTE = "floor(extract(epoch FROM now()) / 60)::bigint"
_GROUP = "client = %s AND public_key = %s AND kind = %s AND asset = %s"
_INSERT_SIGNED = (
    f"INSERT INTO signed (time, client, key, public_key, kind, guard, nonce, hash, document,"
    f" r, s, asset, amount) VALUES ({_NOW}, %s, %s, %s, %s, %s, %s, %s, %s, %s, %s, %s,"
    f" %s::numeric) ON CONFLICT (public_key, guard, nonce) DO NOTHING RETURNING id")
_WINNER = "SELECT hash, r, s FROM signed WHERE public_key = %s AND guard = %s AND nonce = %s"
_HOLD = ("UPDATE signed SET hash = %s, document = %s, r = %s, s = %s, asset = %s,"
         " amount = %s::numeric WHERE id = %s")
_LOCK_ROW = "INSERT INTO cap_lock VALUES (%s, %s, %s, %s) ON CONFLICT DO NOTHING"
_LOCK = f"SELECT 1 FROM cap_lock WHERE {_GROUP} FOR UPDATE"
_WINDOW = (f"SELECT coalesce(sum(amount), 0) FROM velocity WHERE {_GROUP}"
           f" AND minute >= {_MINUTE} - {DAY // 60}")
_COUNT = (f"INSERT INTO velocity VALUES (%s, %s, %s, %s, {_MINUTE}, %s::numeric)"
          " ON CONFLICT (client, public_key, kind, asset, minute)"
          " DO UPDATE SET amount = velocity.amount + EXCLUDED.amount")
_REFUSED = (f"INSERT INTO refused (time, client, key, kind, hash, document, status, rule, field,"
            f" detail) VALUES ({_NOW}, %s, %s, %s, %s, %s, %s, %s, %s, %s)")
# Buckets older than every window.
_PRUNE_BUCKETS = f"DELETE FROM velocity WHERE minute < {_MINUTE} - {DAY // 60 + 1}"

_log = logging.getLogger("quillet.journal")


def _conninfo(url: str, timeout: float) -> tuple[str, str | None]:
    """The connection string of `url` with the service's settings (the
    URL's own options kept), and the password it holds. JournalError for a
    URL libpq does not read."""
    try:
        params = conninfo_to_dict(url)
    except psycopg.Error:
        raise JournalError(f"{redact_url(url)}: not a PostgreSQL URL libpq reads") from None
    ms = max(1, round(timeout * 1000))
    # A statement or lock wait past the database timeout fails (503) rather
    # than holding a request; a transaction left idle (a stalled instance)
    # is ended by the server, releasing its locks.
    ours = (f"-c statement_timeout={ms} -c lock_timeout={ms}"
            f" -c idle_in_transaction_session_timeout={max(1000, 2 * ms)}")
    options = f"{params.get('options') or ''} {ours}".strip()
    return make_conninfo(url, options=options,
                         application_name=params.get("application_name") or APPLICATION,
                         connect_timeout=params.get("connect_timeout") or
                         max(2, math.ceil(timeout))), str(params.get("password") or "") or None


def _said(error: BaseException, shown: str, password: str | None) -> str:
    """An error's text for a message: its first line, prefixed with the
    database as shown, never the password."""
    text = str(error).strip().split("\n", 1)[0] or type(error).__name__
    if password:
        text = text.replace(password, "***")
    return f"{shown}: {text}"


def _tables(conn: psycopg.Connection[Any]) -> set[str]:
    # The catalog, not information_schema: that shows only the tables this
    # role may read, and another application's database must not look empty.
    return {row[0] for row in conn.execute(
        "SELECT c.relname FROM pg_class c JOIN pg_namespace n ON n.oid = c.relnamespace"
        " WHERE n.nspname = current_schema() AND c.relkind IN ('r', 'p', 'v', 'm', 'f')"
        ).fetchall()}


def _version(conn: psycopg.Connection[Any]) -> int | None:
    return version_of(_tables(conn), lambda: dict(
        conn.execute("SELECT name, value FROM meta").fetchall()))


@contextlib.contextmanager
def _connected(url: str, timeout: float) -> Iterator[psycopg.Connection[Any]]:
    """A connection for the commands (migrate, check, export, prune), its
    errors as JournalError and SchemaError naming the database."""
    conninfo, password = _conninfo(url, timeout)
    shown = redact_url(url)
    try:
        with psycopg.connect(conninfo, autocommit=True) as conn:
            yield conn
    except SchemaError as error:
        raise SchemaError(f"{shown}: {error}") from None
    except psycopg.Error as error:
        raise JournalError(_said(error, shown, password)) from None


def migrate(url: str, timeout: float = 5.0) -> tuple[int | None, int]:
    """Brings the database's journal to SCHEMA_VERSION in one transaction,
    creating it in an empty database: (the version it had, SCHEMA_VERSION).
    SchemaError for a newer or foreign schema."""
    with _connected(url, timeout) as conn, conn.transaction():
        # A migration may index a large journal, and waits for another
        # instance's migrate to end: the service's timeouts are not for it.
        conn.execute("SET LOCAL statement_timeout = 0")
        conn.execute("SET LOCAL lock_timeout = 0")
        conn.execute("SELECT pg_advisory_xact_lock(%s)", (_MIGRATION_LOCK,))
        version = _version(conn)
        apply_migrations(version, MIGRATIONS, conn.execute)
        conn.execute("INSERT INTO meta VALUES ('application', %s), ('schema_version', %s)"
                     " ON CONFLICT (name) DO UPDATE SET value = EXCLUDED.value",
                     (APPLICATION, str(SCHEMA_VERSION)))
    return version, SCHEMA_VERSION


def check(url: str, timeout: float = 5.0) -> None:
    """Nothing if the database holds a journal this version serves;
    SchemaError for an empty database (serve never creates one: an instance
    pointed at the wrong database must not start signing) or another
    schema, JournalError when it cannot be reached."""
    with _connected(url, timeout) as conn:
        runnable(_version(conn))


def export(url: str, since: float | None = None, until: float | None = None,
           timeout: float = 5.0, page: int = EXPORT_PAGE) -> Iterator[str]:
    """As storage.export, from the PostgreSQL journal: `page` rows at a time."""
    with _connected(url, timeout) as conn:
        version = _version(conn)
        if version != SCHEMA_VERSION:
            raise SchemaError(f"its schema version is {version}, this version reads "
                              f"{SCHEMA_VERSION}")
        last = (float("-inf") if since is None else since, -1)
        high = float("inf") if until is None else until
        while True:
            rows = conn.execute(EXPORT_QUERY.format("%s"),
                                (*last, high, page)).fetchall()
            for row in rows:
                yield export_line(row[1:])
            if len(rows) < page:
                return
            last = (rows[-1][1], rows[-1][0])


def prune(url: str, before: float, timeout: float = 5.0) -> dict[str, int]:
    """As storage.prune, on the PostgreSQL journal: each batch a transaction
    of its own, so the service's transactions never wait long behind it."""
    with _connected(url, timeout) as conn:
        runnable(_version(conn))
        conn.execute("SET statement_timeout = 0")  # finding the ids may take longer than a request
        return prune_batches(lambda statement, parameters: conn.execute(
            statement, parameters), "%s", before)


# --- the service's journal ---------------------------------------------------------

def _retryable(error: psycopg.Error, conn: psycopg.AsyncConnection[Any] | None) -> bool:
    """Whether a failed transaction may be tried again: it lost to another
    (deadlock, serialization), or its connection broke (the next one may be
    sound: the pool's connections die together when the server restarts).
    A retry after a COMMIT whose fate is unknown is safe: the guard answers
    a document already signed from its row, and counts it once."""
    if isinstance(error, (errors.SerializationFailure, errors.DeadlockDetected)):
        return True
    return conn is not None and conn.broken


class PostgresJournal:
    """The journal in a PostgreSQL database that several instances share."""

    def __init__(self, url: str, timeout: float = 5.0, pool_size: int = 10) -> None:
        """A journal on `url` (not connected before `open`); `timeout`: how
        long a request waits for a connection, a lock or a statement."""
        conninfo, self._password = _conninfo(url, timeout)
        self.shown = redact_url(url)
        self._timeout = timeout
        self._down = False
        self._checking = False
        self._tasks: set[asyncio.Task[None]] = set()
        self._pool: AsyncConnectionPool[psycopg.AsyncConnection[Any]] = AsyncConnectionPool(
            conninfo, min_size=1, max_size=pool_size, open=False, timeout=timeout,
            kwargs={"autocommit": True}, name="quillet-journal",
            # A connection that cannot be made is given up this soon; the
            # next request then asks for a fresh one, so a database back
            # from an outage is used within seconds.
            reconnect_timeout=max(5.0, timeout))

    async def open(self) -> None:
        await self._pool.open(wait=False)
        self._spawn(self._prune_buckets())

    async def _check_pool(self) -> None:
        """Drops the idle connections that died with a broken one (the
        server restarted): one check at a time, however many requests saw it."""
        self._checking = True
        try:
            await self._pool.check()
        finally:
            self._checking = False

    def _spawn(self, work: Any) -> None:
        task = asyncio.get_running_loop().create_task(work)
        self._tasks.add(task)
        task.add_done_callback(self._tasks.discard)

    @contextlib.asynccontextmanager
    async def _connection(self) -> AsyncIterator[psycopg.AsyncConnection[Any]]:
        async with self._pool.connection(_DOWN_WAIT if self._down else self._timeout) as conn:
            yield conn

    def _failed(self, error: BaseException, down: bool = True) -> JournalError:
        self._down = down
        return JournalError(f"the journal failed: {_said(error, self.shown, self._password)}")

    async def commit(self, client: str, key: str, public_key: str, entries: Sequence[Entry],
                     rejected: Sequence[Rejected] = ()) -> list[Outcome]:
        """As SqliteJournal.commit: each entry's outcome once the transaction
        has committed; JournalError if it did not."""
        for attempt in range(_ATTEMPTS):
            conn: psycopg.AsyncConnection[Any] | None = None
            try:
                async with self._connection() as conn:
                    outcomes = await _record(conn, client, key, public_key, entries, rejected)
            except PoolTimeout as error:
                raise self._failed(error) from None
            except psycopg.Error as error:
                if attempt + 1 == _ATTEMPTS or not _retryable(error, conn):
                    raise self._failed(error, conn is None or conn.broken) from None
                if conn is not None and conn.broken and not self._checking:
                    self._spawn(self._check_pool())
                await asyncio.sleep(random.uniform(0.0, 0.005 * 2 ** attempt))
                continue
            self._down = False
            return outcomes
        raise AssertionError("unreachable")  # the last attempt returns or raises

    async def healthy(self) -> bool:
        """Whether a connection answers now."""
        try:
            async with self._connection() as conn:
                await conn.execute("SELECT 1")
        except psycopg.Error:  # PoolTimeout included
            self._down = True
            return False
        self._down = False
        return True

    async def close(self) -> None:
        for task in list(self._tasks):
            task.cancel()
        await asyncio.gather(*self._tasks, return_exceptions=True)
        await self._pool.close()

    async def _prune_buckets(self) -> None:
        while True:
            await asyncio.sleep(_PRUNE_EVERY * random.uniform(0.5, 1.0))
            try:
                async with self._connection() as conn:
                    await conn.execute(_PRUNE_BUCKETS)
            except psycopg.Error as error:  # the next round tries again
                _log.warning("pruning old velocity buckets failed: %s",
                             _said(error, self.shown, self._password))


async def _record(conn: psycopg.AsyncConnection[Any], client: str, key: str, public_key: str,
                  entries: Sequence[Entry], rejected: Sequence[Rejected]) -> list[Outcome]:
    """One request's transaction (see the module's text); the outcomes once
    it has committed."""
    capped = sorted({(e.kind, e.asset) for e in entries
                     if e.cap is not None and e.amount is not None and e.asset is not None})
    # The first entry of each guard key is the one inserted; messages (no
    # nonce) are never guarded and each is its own key.
    first: dict[tuple[str, str] | int, int] = {}
    for index, entry in enumerate(entries):
        first.setdefault((entry.guard, entry.nonce) if entry.nonce is not None else index, index)
    guarded = sorted((k for k in first if isinstance(k, tuple)))
    order = [first[k] for k in guarded] + [i for k, i in first.items() if isinstance(k, int)]
    # BEGIN and COMMIT as statements of the pipeline: psycopg's transaction
    # block synchronises on entering, a round trip more (40 % of the
    # journal's time). A failed statement aborts the rest of its pipeline,
    # COMMIT included, and raises at the next sync: outcomes are returned
    # only past the COMMIT's. A connection left in a transaction is rolled
    # back by the pool.
    async with conn.pipeline() as pipeline:
        await conn.execute("BEGIN")
        windows = []
        for kind, asset in capped:
            group = (client, public_key, kind, asset)
            await conn.execute(_LOCK_ROW, group)
            await conn.execute(_LOCK, group)
            windows.append(await conn.execute(_WINDOW, group))
        inserts = [await conn.execute(_INSERT_SIGNED, _row(client, key, public_key,
                                                           entries[i])) for i in order]
        await pipeline.sync()
        sums = {group: int((await cursor.fetchone())[0])  # type: ignore[index]
                for group, cursor in zip(capped, windows)}
        rows: dict[int, int | None] = {}
        for index, cursor in zip(order, inserts):
            row = await cursor.fetchone()
            rows[index] = None if row is None else int(row[0])
        lost = [i for i in order if rows[i] is None]
        winners = [await conn.execute(_WINNER, (public_key, entries[i].guard,
                                                entries[i].nonce)) for i in lost]
        if winners:
            await pipeline.sync()
        stored: dict[int, tuple[str, str, str]] = {}
        for index, cursor in zip(lost, winners):
            stored[index] = await cursor.fetchone()  # type: ignore[assignment]
        plan = _decide(entries, first, rows, stored, sums)
        for entry_index, row_id in plan.holds:
            e = entries[entry_index]
            await conn.execute(_HOLD, (e.hash, e.document, e.r, e.s, e.asset,
                                       _amount(e), row_id))
        if plan.free:
            await conn.execute("DELETE FROM signed WHERE id = ANY(%s)", (plan.free,))
        for (kind, asset), amount in sorted(plan.added.items()):
            await conn.execute(_COUNT, (client, public_key, kind, asset, str(amount)))
        refused = [(r.kind, r.hash, r.document, r.status, r.body) for r in rejected]
        refused += [(entries[i].kind, entries[i].hash, entries[i].document, status, body)
                    for i, status, body in plan.refused]
        if refused:
            cursor = conn.cursor()
            await cursor.executemany(_REFUSED, [
                (client, key, kind, hash_, document, status, body.get("rule"),
                 body.get("field"), _json(body))
                for kind, hash_, document, status, body in refused])
        await conn.execute("COMMIT")
    return plan.outcomes


class _Plan:
    """What a transaction decided: each entry's outcome, and the writes."""

    def __init__(self) -> None:
        self.outcomes: list[Outcome] = []
        self.holds: list[tuple[int, int]] = []  # (entry, row id): the row takes that entry's values
        self.free: list[int] = []  # rows inserted whose entries were all refused
        self.added: dict[tuple[str, str], int] = {}  # per (kind, asset): amounts counted
        self.refused: list[tuple[int, int, dict[str, Any]]] = []  # (entry, status, body)


def _decide(entries: Sequence[Entry], first: dict[tuple[str, str] | int, int],
            rows: dict[int, int | None], stored: dict[int, tuple[str, str, str]],
            sums: dict[tuple[str, str], int]) -> _Plan:
    """Walks the entries in request order, as the SQLite journal does: a key
    signed before (`stored`: hash, r, s) answers a retry or a conflict; a key
    this transaction inserted (`rows`) is held by its first entry that the
    cap lets through, and later entries of that key meet it as a retry or a
    conflict; a key none got through is deleted again. The caps count the
    window's sum (`sums`) plus what this request signed before."""
    plan = _Plan()
    holder: dict[int, int] = {}  # row id -> entry whose values it holds (once through the cap)
    window: dict[tuple[str, str], int] = {}
    for index, entry in enumerate(entries):
        inserted = first[(entry.guard, entry.nonce) if entry.nonce is not None else index]
        row_id = rows[inserted]
        if row_id is None or row_id in holder:
            earlier_hash, r, s = stored[inserted] if row_id is None else (
                entries[holder[row_id]].hash, entries[holder[row_id]].r,
                entries[holder[row_id]].s)
            if earlier_hash == entry.hash:
                plan.outcomes.append(Signed(entry.hash, r, s, fresh=False))
            else:
                conflict = Conflict(earlier_hash)
                plan.outcomes.append(conflict)
                plan.refused.append((index, 409, conflict.body()))
            continue
        if entry.amount is not None and entry.asset is not None:
            group = (entry.kind, entry.asset)
            if entry.cap is not None:
                total = window.get(group, sums.get(group, 0))
                if total + entry.amount > entry.cap:
                    refusal = Refusal("max_amount_per_day", entry.amount_field,
                                      str(entry.cap), str(total + entry.amount))
                    plan.outcomes.append(refusal)
                    plan.refused.append((index, 403, refusal.body()))
                    continue
                window[group] = total + entry.amount
            plan.added[group] = plan.added.get(group, 0) + entry.amount
        holder[row_id] = index
        if index != inserted:  # the row holds the first entry's values: this one's instead
            plan.holds.append((index, row_id))
        plan.outcomes.append(Signed(entry.hash, entry.r, entry.s, fresh=True))
    plan.free = sorted(row_id for row_id in set(rows.values())
                       if row_id is not None and row_id not in holder)
    return plan


def _amount(entry: Entry) -> str | None:
    return None if entry.amount is None else str(entry.amount)


def _row(client: str, key: str, public_key: str, entry: Entry) -> tuple[Any, ...]:
    return (client, key, public_key, entry.kind, entry.guard, entry.nonce, entry.hash,
            entry.document, entry.r, entry.s, entry.asset, _amount(entry))


def _json(body: dict[str, Any]) -> str:
    return json.dumps(body, separators=(",", ":"))


__all__ = ["MIGRATIONS", "PostgresJournal", "check", "export", "migrate", "prune"]
