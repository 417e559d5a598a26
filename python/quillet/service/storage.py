"""The journal: every decision of the service, and what makes its promises hold.

Three tables (schema version in `meta`):

- `signed`: one row per signature, written and committed before the
  signature leaves the process. The unique index on (public_key, guard,
  nonce) is the double-sign guard: an insert that does nothing on conflict,
  and the row that won read back in the same transaction. The same hash is
  an idempotent retry, answered with the stored signature and not counted
  again; another hash is a conflict. Keyed by the public key, not the key's
  name, so that one key under two names is still guarded once. `guard` is
  the kind, except that a liquidation is guarded as the limit order it
  signs (its signature is its liquidator order's): an order's nonce is
  signed for one order, whichever kind carried it.
- `refused`: one row per refusal (status, rule, field, the answer's body).
- `velocity`: the amounts signed per (client, public key, kind, asset) and
  minute. The daily cap sums the buckets of the last 24 hours, the oldest
  bucket whole, so a cap errs towards refusing and is never exceeded;
  amounts are decimal text summed as Python ints (u64 sums overflow
  SQLite's integers).

SQLite, in WAL mode with synchronous=FULL (or NORMAL, when configured), is
written by one thread that owns the connection: quillet.service.writer,
which the server imports (the event loop's modules stay out of the command
line's `signer` actions, which use only this module).

The journal in PostgreSQL, which several instances share, is
quillet.service.postgres: the same tables, and the pieces here that do not
depend on the database (the schema's checks, the export's pages, pruning).
"""

from __future__ import annotations

import json
import os
import sqlite3
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from datetime import datetime, timezone
from pathlib import Path
from typing import Any, Protocol

from quillet.service.policy import Refusal

SCHEMA_VERSION = 1
APPLICATION = "quillet-signer"
# Statements that bring a database from version N - 1 to N (1: from empty).
MIGRATIONS: dict[int, tuple[str, ...]] = {
    1: (
        "CREATE TABLE meta (name TEXT PRIMARY KEY, value TEXT NOT NULL)",
        """CREATE TABLE signed (
            id INTEGER PRIMARY KEY, time REAL NOT NULL, client TEXT NOT NULL,
            key TEXT NOT NULL, public_key TEXT NOT NULL, kind TEXT NOT NULL,
            guard TEXT NOT NULL, nonce TEXT,
            hash TEXT NOT NULL, document TEXT, r TEXT NOT NULL, s TEXT NOT NULL,
            asset TEXT, amount TEXT)""",
        # NULL nonces (messages) are distinct: never a conflict.
        "CREATE UNIQUE INDEX signed_guard ON signed (public_key, guard, nonce)",
        "CREATE INDEX signed_time ON signed (time)",
        """CREATE TABLE refused (
            id INTEGER PRIMARY KEY, time REAL NOT NULL, client TEXT NOT NULL, key TEXT,
            kind TEXT, hash TEXT, document TEXT, status INTEGER NOT NULL, rule TEXT,
            field TEXT, detail TEXT)""",
        "CREATE INDEX refused_time ON refused (time)",
        """CREATE TABLE velocity (
            client TEXT NOT NULL, public_key TEXT NOT NULL, kind TEXT NOT NULL,
            asset TEXT NOT NULL, minute INTEGER NOT NULL, amount TEXT NOT NULL,
            PRIMARY KEY (client, public_key, kind, asset, minute)) WITHOUT ROWID""",
    ),
}
DAY = 86400
# The guard's namespace of a kind whose signature is another kind's.
GUARD = {"liquidate": "limit_order"}


class JournalError(Exception):
    """The database did not answer or failed: nothing was signed."""


class SchemaError(JournalError):
    """A database this version cannot use (not a journal, or another schema)."""


@dataclass(frozen=True, slots=True)
class Entry:
    """A document or message to record, signed before the transaction
    (signatures are deterministic: a retry signs to the same one)."""

    kind: str
    nonce: str | None  # None for messages: never guarded
    hash: str
    document: str | None  # the typed document's JSON
    r: str
    s: str
    asset: str | None = None  # what it counts towards a daily cap
    amount: int | None = None
    cap: int | None = None
    amount_field: str | None = None

    @property
    def guard(self) -> str:
        """The namespace of the nonce: a liquidation signs its liquidator
        order, so it shares the orders' nonces."""
        return GUARD.get(self.kind, self.kind)


@dataclass(frozen=True, slots=True)
class Rejected:
    """A refusal decided before the transaction, recorded in it."""

    kind: str | None
    hash: str | None
    document: str | None
    status: int
    body: dict[str, Any]


@dataclass(frozen=True, slots=True)
class Signed:
    hash: str
    r: str
    s: str
    fresh: bool  # False: answered from the journal (an idempotent retry)


@dataclass(frozen=True, slots=True)
class Conflict:
    """Another document was signed before for the same (key, guard, nonce)."""

    hash: str  # the one signed before

    def body(self) -> dict[str, Any]:
        return {"error": "conflict", "rule": "nonce_reused", "hash": self.hash}


Outcome = Signed | Conflict | Refusal


_SYNCHRONOUS = {"full": "FULL", "normal": "NORMAL"}


def _connect(path: Path, timeout: float, read_only: bool = False,
             synchronous: str = "full") -> sqlite3.Connection:
    if read_only:
        db = sqlite3.connect(f"file:{path}?mode=ro", uri=True, timeout=timeout,
                             isolation_level=None)
    else:
        db = sqlite3.connect(path, timeout=timeout, isolation_level=None)
        db.execute("PRAGMA journal_mode=WAL")
        db.execute(f"PRAGMA synchronous={_SYNCHRONOUS[synchronous]}")
    return db


def version_of(tables: set[str], meta: Callable[[], dict[str, str]]) -> int | None:
    """The schema version that a database's tables and its `meta` rows (read
    by `meta` only when the table exists) say; None for a database without
    tables. SchemaError for one that is not a journal."""
    if not tables:
        return None
    if "meta" not in tables:
        raise SchemaError("it is not a signer journal (no meta table)")
    values = meta()
    if values.get("application") != APPLICATION or \
            not str(values.get("schema_version", "")).isdigit():
        raise SchemaError("it is not a signer journal (its meta table names another application)")
    return int(values["schema_version"])


def runnable(version: int | None) -> None:
    """SchemaError unless a database of schema `version` is one this version
    serves as it is (an empty one is not: `migrate` makes it a journal)."""
    if version is None:
        raise SchemaError("it holds no journal: run quillet signer migrate --config FILE")
    if version != SCHEMA_VERSION:
        advice = "run quillet signer migrate" if version < SCHEMA_VERSION else \
            "this version cannot run it"
        raise SchemaError(f"its schema version is {version}, this version runs "
                          f"{SCHEMA_VERSION}: {advice}")


def apply_migrations(version: int | None, migrations: dict[int, tuple[str, ...]],
                     execute: Callable[[str], Any]) -> None:
    """Runs the `migrations` that bring a database of schema `version` (None:
    empty) to SCHEMA_VERSION; SchemaError for a newer one."""
    if version is not None and version > SCHEMA_VERSION:
        raise SchemaError(f"its schema version {version} is newer than this version's "
                          f"({SCHEMA_VERSION})")
    for step in range((version or 0) + 1, SCHEMA_VERSION + 1):
        for statement in migrations[step]:
            execute(statement)


def schema_version(db: sqlite3.Connection) -> int | None:
    """The database's schema version; None for an empty database. SchemaError
    for one that is not a journal."""
    tables = {row[0] for row in db.execute("SELECT name FROM sqlite_master WHERE type='table'")}
    return version_of(tables, lambda: dict(db.execute("SELECT name, value FROM meta").fetchall()))


def migrate(db: sqlite3.Connection) -> tuple[int | None, int]:
    """Brings the database to SCHEMA_VERSION in one transaction: (the version
    it had, SCHEMA_VERSION). SchemaError for a newer or unknown schema."""
    db.execute("BEGIN IMMEDIATE")
    try:
        version = schema_version(db)
        apply_migrations(version, MIGRATIONS, db.execute)
        db.execute("INSERT OR REPLACE INTO meta VALUES ('application', ?), "
                   "('schema_version', ?)", (APPLICATION, str(SCHEMA_VERSION)))
        db.execute("COMMIT")
    except BaseException:
        if db.in_transaction:  # not when BEGIN itself failed: its error is the one to tell
            db.execute("ROLLBACK")
        raise
    return version, SCHEMA_VERSION


def open_database(path: Path, timeout: float, *, upgrade: bool = False,
                  synchronous: str = "full") -> tuple[sqlite3.Connection, int | None]:
    """A connection to the journal at `path`, and the schema version it had
    (None: new). A new (or empty) file gets the current schema; an older
    schema is migrated only with `upgrade`. SchemaError for a schema this
    version does not run; JournalError when the file cannot be opened."""
    try:
        if not path.exists():  # documents and decisions: for the service's owner only
            os.close(os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600))
        db = _connect(path, timeout, synchronous=synchronous)
    except FileExistsError:  # made meanwhile by another process: open it
        return open_database(path, timeout, upgrade=upgrade, synchronous=synchronous)
    except OSError as error:
        raise JournalError(f"{path}: cannot create it: {error.strerror}") from None
    except sqlite3.Error as error:
        raise JournalError(f"{path}: cannot open it: {error}") from None
    try:
        version = schema_version(db)
        if version is None or (upgrade and version < SCHEMA_VERSION):
            migrate(db)
        else:
            runnable(version)
    except SchemaError as error:
        db.close()
        raise SchemaError(f"{path}: {error}") from None
    except sqlite3.Error as error:
        db.close()
        raise JournalError(f"{path}: {error}") from None
    return db, version


class Journal(Protocol):
    """What the service asks of a journal, whatever its database."""

    async def open(self) -> None:
        """Starts what the journal runs in the server's event loop (called
        once, before the first request)."""
        ...

    async def commit(self, client: str, key: str, public_key: str, entries: Sequence[Entry],
                     rejected: Sequence[Rejected] = ()) -> list[Outcome]:
        """Records a request's decisions in one transaction, committed before
        it returns; each entry's outcome, in order. JournalError if it did not
        commit."""
        ...

    async def healthy(self) -> bool:
        """Whether the journal can take a write transaction now."""
        ...

    async def close(self) -> None:
        """Lets the queued requests finish, then closes the database."""
        ...


def record(db: sqlite3.Connection, now: float, client: str, key: str, public_key: str,
            entries: Sequence[Entry], rejected: Sequence[Rejected]) -> list[Outcome]:
    outcomes: list[Outcome] = []
    refused = [(r.kind, r.hash, r.document, r.status, r.body) for r in rejected]
    # Per (kind, asset): the amount signed in the window so far, and the
    # amount this request adds to the current minute's bucket.
    window: dict[tuple[str, str], int] = {}
    added: dict[tuple[str, str], int] = {}
    minute = int(now // 60)
    for entry in entries:
        cursor = db.execute(
            "INSERT INTO signed (time, client, key, public_key, kind, guard, nonce, hash, document,"
            " r, s, asset, amount) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"
            " ON CONFLICT (public_key, guard, nonce) DO NOTHING",
            (now, client, key, public_key, entry.kind, entry.guard, entry.nonce, entry.hash,
             entry.document,
             entry.r, entry.s, entry.asset,
             None if entry.amount is None else str(entry.amount)))
        if cursor.rowcount == 0:  # the guard: read the row that won
            earlier, r, s = db.execute(
                "SELECT hash, r, s FROM signed WHERE public_key = ? AND guard = ? AND nonce = ?",
                (public_key, entry.guard, entry.nonce)).fetchone()
            if earlier == entry.hash:
                outcomes.append(Signed(entry.hash, r, s, fresh=False))
            else:
                conflict = Conflict(earlier)
                outcomes.append(conflict)
                refused.append((entry.kind, entry.hash, entry.document, 409, conflict.body()))
            continue
        if entry.amount is not None and entry.asset is not None:
            group = (entry.kind, entry.asset)
            if entry.cap is not None:
                total = window.get(group)
                if total is None:
                    total = sum(int(amount) for (amount,) in db.execute(
                        "SELECT amount FROM velocity WHERE client = ? AND public_key = ? AND "
                        "kind = ? AND asset = ? AND minute >= ?",
                        (client, public_key, entry.kind, entry.asset, int((now - DAY) // 60))))
                if total + entry.amount > entry.cap:
                    db.execute("DELETE FROM signed WHERE id = ?", (cursor.lastrowid,))
                    refusal = Refusal("max_amount_per_day", entry.amount_field,
                                      str(entry.cap), str(total + entry.amount))
                    outcomes.append(refusal)
                    refused.append((entry.kind, entry.hash, entry.document, 403, refusal.body()))
                    continue
                window[group] = total + entry.amount
            added[group] = added.get(group, 0) + entry.amount
        outcomes.append(Signed(entry.hash, entry.r, entry.s, fresh=True))
    for (kind, asset), amount in added.items():
        row = db.execute("SELECT amount FROM velocity WHERE client = ? AND public_key = ? AND "
                         "kind = ? AND asset = ? AND minute = ?",
                         (client, public_key, kind, asset, minute)).fetchone()
        db.execute("INSERT OR REPLACE INTO velocity VALUES (?, ?, ?, ?, ?, ?)",
                   (client, public_key, kind, asset, minute,
                    str(amount + (int(row[0]) if row else 0))))
    if refused:
        db.executemany(
            "INSERT INTO refused (time, client, key, kind, hash, document, status, rule, field,"
            " detail) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
            [(now, client, key, kind, hash_, document, status, body.get("rule"),
              body.get("field"), json.dumps(body, separators=(",", ":")))
             for kind, hash_, document, status, body in refused])
    return outcomes


# --- reading it back -------------------------------------------------------------

def iso_time(seconds: float) -> str:
    # Microseconds cut, not rounded: the text is never later than the row's
    # time, so --since TEXT takes that row and --until TEXT leaves it out.
    whole = int(seconds)
    moment = datetime.fromtimestamp(whole, timezone.utc).replace(
        microsecond=int((seconds - whole) * 1_000_000))
    return moment.isoformat(timespec="microseconds").replace("+00:00", "Z")


def export_line(row: Sequence[Any]) -> str:
    """A `signed` row (time, client, key, public_key, kind, hash, document, r,
    s) as the NDJSON line `quillet audit` reads."""
    at, client, key, public_key, kind, hash_, document, r, s = row
    # The document is the typed document's own JSON: written as it is.
    return (f'{{"kind":{json.dumps(kind)},"document":{document},'
            f'"signature":{{"r":{json.dumps(r)},"s":{json.dumps(s)}}},'
            f'"public_key":{json.dumps(public_key)},"hash":{json.dumps(hash_)},'
            f'"time":"{iso_time(at)}","client":{json.dumps(client)},'
            f'"key":{json.dumps(key)}}}')


# One page of the export: (time, id) after the last row's, in index order,
# so that each page costs its own rows whatever the journal's size.
EXPORT_QUERY = (
    "SELECT id, time, client, key, public_key, kind, hash, document, r, s FROM signed"
    " WHERE (time, id) > ({0}, {0}) AND time < {0} AND document IS NOT NULL"
    " ORDER BY time, id LIMIT {0}")
EXPORT_PAGE = 1000


def _read_only(path: Path, timeout: float) -> sqlite3.Connection:
    """A read-only connection to a journal of this version's schema."""
    try:
        db = _connect(path, timeout, read_only=True)
        version = schema_version(db)
    except sqlite3.Error as error:
        raise JournalError(f"{path}: cannot read it: {error}") from None
    except SchemaError as error:
        raise SchemaError(f"{path}: {error}") from None
    if version != SCHEMA_VERSION:
        db.close()
        raise SchemaError(f"{path}: its schema version is {version}, this version reads "
                          f"{SCHEMA_VERSION}")
    return db


def export(path: Path, since: float | None = None, until: float | None = None,
           timeout: float = 5.0, page: int = EXPORT_PAGE) -> Iterator[str]:
    """The signed documents recorded in [since, until), oldest first, as NDJSON
    lines that `quillet audit` reads: kind, document, signature, public_key,
    and hash, time (ISO 8601, UTC), client, key. Messages, and documents
    pruned away, are left out (the audit checks documents). Reads `page`
    rows at a time: memory stays bounded whatever the journal's size."""
    db = _read_only(path, timeout)
    last = (float("-inf") if since is None else since, -1)
    high = float("inf") if until is None else until
    try:
        while True:
            rows = db.execute(EXPORT_QUERY.format("?"), (*last, high, page)).fetchall()
            for row in rows:
                yield export_line(row[1:])
            if len(rows) < page:
                return
            last = (rows[-1][1], rows[-1][0])
    except sqlite3.Error as error:
        raise JournalError(f"{path}: cannot read it: {error}") from None
    finally:
        db.close()


# Ids one pruning transaction covers at most: the service's writes wait for
# each, so each stays short.
PRUNE_BATCH = 5000
# What pruning removes: refusals, and the documents of signed rows (the
# guard's public key, kind, nonce and hash stay, with the signature that
# answers a retry). Each batch is a range of ids: the work is linear in the
# rows pruned, however large the journal.
PRUNE_STATEMENTS = (
    ("refused", "refused", "DELETE FROM refused WHERE id > {0} AND id <= {0} AND time < {0}"),
    ("documents", "signed", "UPDATE signed SET document = NULL WHERE id > {0} AND id <= {0}"
                            " AND time < {0} AND document IS NOT NULL"),
)


def prune_batches(run: Callable[[str, tuple[Any, ...]], Any], placeholder: str,
                  before: float) -> dict[str, int]:
    """Prunes what was recorded before `before` through `run(statement,
    parameters)`, which runs each statement in a transaction of its own and
    returns its cursor; how many rows of each kind it changed."""
    counts: dict[str, int] = {}
    for name, table, statement in PRUNE_STATEMENTS:
        counts[name] = 0
        low, high = run(f"SELECT min(id), max(id) FROM {table} WHERE time < {placeholder}",
                        (before,)).fetchone()
        if low is None:
            continue
        for start in range(low - 1, high, PRUNE_BATCH):
            counts[name] += run(statement.format(placeholder),
                                (start, min(start + PRUNE_BATCH, high), before)).rowcount
    return counts


def prune(path: Path, before: float, timeout: float = 5.0) -> dict[str, int]:
    """Deletes the refusals recorded before `before` and the documents of the
    rows signed before it, in short transactions; how many of each."""
    if not path.exists():  # pruning never creates a journal
        raise JournalError(f"{path}: no such file")
    db, _ = open_database(path, timeout)

    def run(statement: str, parameters: tuple[Any, ...]) -> sqlite3.Cursor:
        db.execute("BEGIN IMMEDIATE")
        try:
            cursor = db.execute(statement, parameters)
            db.execute("COMMIT")
        except BaseException:
            if db.in_transaction:
                db.execute("ROLLBACK")
            raise
        return cursor

    try:
        return prune_batches(run, "?", before)
    except sqlite3.Error as error:
        raise JournalError(f"{path}: {error}") from None
    finally:
        db.close()


__all__ = ["APPLICATION", "DAY", "EXPORT_PAGE", "EXPORT_QUERY", "GUARD", "MIGRATIONS",
           "PRUNE_BATCH", "PRUNE_STATEMENTS", "SCHEMA_VERSION", "Conflict", "Entry", "Journal",
           "JournalError", "Outcome", "Rejected", "SchemaError", "Signed", "apply_migrations",
           "export", "export_line", "iso_time", "migrate", "open_database", "prune",
           "prune_batches", "record", "runnable", "schema_version", "version_of"]
