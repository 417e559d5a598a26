"""The check of each record: parse, hash, verify, classify.

Each record gets one outcome:

- valid: its document hashes, its key is the one the document names, and its
  signature verifies for that hash under that key;
- bad-document: the record or its document cannot be read, or the document
  fails the typed documents' one reading (quillet.documents.read_value: the
  same check as every signing path, naming the field, e.g. a key repeated,
  or a nonce or asset id the hash does not bind, so that a document rewritten
  to hash like a signed one is caught); what is hashed is the typed
  document's own JSON;
- bad-key: the signer's key is missing or undecodable, or it is not the key the
  document names (its public_key; for a liquidation the liquidator order's;
  for an oracle price the signer_key). The module leaves that key out of the
  hash, so a valid signature by another key proves nothing;
- bad-signature: the signature is missing or unreadable, or does not verify
  (a changed field changes the hash, so a tampered document lands here).

The work on documents and signatures is done by quillet.batch: hash_many per
kind, then verify_many, in windows so that a failing item costs its window
only. Nothing here keeps state between chunks besides a cache of keys known
to decode, so a worker's memory is bounded by its chunk; a PartResult keeps
the details of its first `limit` non-valid records only and counts the rest.
"""

from __future__ import annotations

import collections
import contextlib
import functools
import os
import sys
import time
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass, field
from typing import Any, Literal, TypeVar

import quillet_python_sdk as sdk

from quillet import batch
from quillet.audit import log
from quillet.documents import Document, named_key, read_value

Outcome = Literal["valid", "bad-document", "bad-key", "bad-signature"]
OUTCOMES: tuple[Outcome, ...] = ("valid", "bad-document", "bad-key", "bad-signature")
UNKNOWN_KIND = "unknown"  # the kind a record is counted under when it names none of KINDS

_WINDOW = 1024  # items per batch call at most: what one failing item may cost again
_MIN_WINDOW = 32
_KEY_CACHE = 65536

T = TypeVar("T")


@dataclass
class Finding:
    """A record that is not valid, numbered within its part (from 0)."""

    index: int
    kind: str
    outcome: Outcome
    reason: str
    position_id: str | None = None  # the signer's position and nonce, where readable
    nonce: str | None = None


@dataclass
class PartResult:
    """What checking some records found: counts per kind and outcome, the
    first `limit` non-valid records (None: all of them; `more` counts the
    others), and the CPU seconds of each stage (of every thread of the
    process: records / seconds is the stage's rate per core)."""

    records: int = 0
    counts: dict[str, dict[str, int]] = field(default_factory=dict)
    findings: list[Finding] = field(default_factory=list)
    stages: dict[str, float] = field(default_factory=lambda: dict.fromkeys(
        ("parse", "hash", "verify"), 0.0))
    limit: int | None = None
    more: int = 0

    def count(self, kind: str, outcome: Outcome, n: int = 1) -> None:
        per_kind = self.counts.setdefault(kind, {})
        per_kind[outcome] = per_kind.get(outcome, 0) + n

    def merge(self, other: PartResult) -> None:
        """Appends the results of the records that follow these (`other` kept
        at most as many findings as this keeps, so the first ones are kept)."""
        room = len(other.findings) if self.limit is None else \
            max(0, min(len(other.findings), self.limit - len(self.findings)))
        for finding in other.findings[:room]:
            finding.index += self.records
            self.findings.append(finding)
        self.more += other.more + len(other.findings) - room
        self.records += other.records
        for kind, outcomes in other.counts.items():
            for outcome, n in outcomes.items():
                self.count(kind, outcome, n)  # type: ignore[arg-type]
        for stage, seconds in other.stages.items():
            self.stages[stage] += seconds


# --- calling the batch functions --------------------------------------------------

class _ItemFailure:
    """The text of the exception the single function raised for one item. Only
    the text is kept: the exception's traceback would hold the batch's frames,
    and their items, until the next full garbage collection."""

    __slots__ = ("reason",)

    def __init__(self, error: BaseException) -> None:
        self.reason = _module_text(error)


def _failing_item(error: BaseException) -> int | None:
    # Batch calls note the first failing item as "batch item N".
    if not (isinstance(error, (ValueError, TypeError))
            or type(error).__name__ == "PanicException"):
        return None
    for note in getattr(error, "__notes__", ()):
        if note.startswith("batch item "):
            return int(note.removeprefix("batch item "))
    return None


def _each(call: Callable[[Sequence[Any]], Sequence[T]],
          items: Sequence[Any]) -> list[T | _ItemFailure]:
    """call(items) item by item in result, with the failing items' exceptions in
    their places instead of one exception for all."""
    results: list[T | _ItemFailure] = []
    start, window = 0, _WINDOW
    while start < len(items):
        part = items[start:start + window]
        try:
            results.extend(call(part))
            start += len(part)
            window = min(_WINDOW, window * 2)
            continue
        except BaseException as error:
            failed = _failing_item(error)
            if failed is None:
                raise
            failure = _ItemFailure(error)
        # Every item before the failing one succeeded, but their results were
        # lost with the exception: they are computed again. Smaller windows
        # while failures come close together keep that repeated work small.
        if failed:
            results.extend(_each(call, part[:failed]))
        results.append(failure)
        start += failed + 1
        window = max(_MIN_WINDOW, window // 4)
    return results


@contextlib.contextmanager
def _diagnostics_hidden(hide: bool) -> Iterator[None]:
    """Sends standard error to /dev/null while the module writes a diagnostic line
    for each refused item: the audit reports them itself."""
    if not hide:
        yield
        return
    sys.stderr.flush()
    saved = os.dup(2)
    null = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(null, 2)
        yield
    finally:
        os.dup2(saved, 2)
        os.close(saved)
        os.close(null)


def _module_text(error: BaseException) -> str:
    text = str(error.args[0]) if error.args else str(error)
    return text.split("\n\nCaused by:")[0].replace("\n", " ")


# --- keys --------------------------------------------------------------------------

_known_keys: dict[str, str | None] = {}  # key text -> None if it decodes, else why not
# A packed key that decodes (of the seed "quillet audit: a reference key, never
# used to sign anything"), to tell a bad signature from a bad key.
_REFERENCE_KEY = "0xa2c20ddb449d3e0c4b3f05a92b4260fc118cbed83219308579c1c099b01104a1"


def _key_problem(text: str) -> str | None:
    if text not in _known_keys:
        if len(_known_keys) >= _KEY_CACHE:
            _known_keys.clear()
        try:
            sdk.public_key_to_xy(text)
            _known_keys[text] = None
        except BaseException as error:
            if type(error).__name__ != "PanicException":
                raise
            _known_keys[text] = f"public key does not decode: {_module_text(error)}"
    return _known_keys[text]


# --- the check -----------------------------------------------------------------------

@dataclass
class _Pending:
    index: int
    kind: str
    document: Document
    r: object
    s: object
    key: object


def check_records(raw: Sequence[Any], *, threads: int | None = None,
                  hide_diagnostics: bool = False, limit: int | None = None) -> PartResult:
    """Checks raw records (NDJSON lines as bytes, or Parquet rows as dicts);
    findings are numbered from 0 within `raw`, the first `limit` kept."""
    result = PartResult(records=len(raw), limit=limit)
    outcomes: list[tuple[str, Outcome, str] | None] = [None] * len(raw)

    clock = time.process_time()
    pending: list[_Pending] = []
    # Each readable document of the chunk, for the position and nonce of its finding.
    documents: dict[int, Any] = {}
    # A line refused while parsing is refused alike when it comes again at
    # once: runs of blank or repeated lines cost a comparison each.
    refused: tuple[object, tuple[str, Outcome, str]] | None = None
    for index, item in enumerate(raw):
        if refused is not None and item == refused[0]:
            outcomes[index] = refused[1]
            continue
        kind: str = UNKNOWN_KIND
        try:
            envelope, from_line = log.envelope_of(item)
            kind = log.kind_of(envelope)
            value = log.document_of(envelope, from_line)
            documents[index] = value
            # The typed documents' one reading, before any hash: values the
            # hash reduces, truncates or overlaps would let a rewritten
            # document hash like the signed one.
            document = read_value(kind, value)
        except ValueError as error:  # InvalidDocument among them
            refusal: tuple[str, Outcome, str] = (kind, "bad-document", str(error))
            outcomes[index] = refusal
            refused = (item, refusal)
            continue
        signature = envelope.get("signature")
        r = signature.get("r") if isinstance(signature, dict) else None
        s = signature.get("s") if isinstance(signature, dict) else None
        pending.append(_Pending(index, kind, document, r, s, envelope.get("public_key")))
    result.stages["parse"] += time.process_time() - clock

    with _diagnostics_hidden(hide_diagnostics):
        clock = time.process_time()
        hashes: dict[int, str] = {}
        for kind in batch.KINDS:
            of_kind = [p for p in pending if p.kind == kind]
            if not of_kind:
                continue
            texts = [p.document.to_json() for p in of_kind]
            digests = _each(functools.partial(batch.hash_many, kind, threads=threads), texts)
            for p, digest in zip(of_kind, digests):
                if isinstance(digest, _ItemFailure):
                    outcomes[p.index] = (kind, "bad-document", digest.reason)
                else:
                    hashes[p.index] = digest
        result.stages["hash"] += time.process_time() - clock

        clock = time.process_time()
        to_verify: list[tuple[_Pending, tuple[str, str, str, str, str]]] = []
        for p in pending:
            if p.index not in hashes:
                continue
            problem = _signer_problem(p)
            if problem is not None:
                outcomes[p.index] = (p.kind, *problem)
                continue
            assert isinstance(p.r, str) and isinstance(p.s, str) and isinstance(p.key, str)
            to_verify.append((p, (p.r, p.s, p.key, p.key, hashes[p.index])))
        answers = _each(functools.partial(batch.verify_many, threads=threads),
                        [item for _, item in to_verify])
        for (p, item), answer in zip(to_verify, answers):
            if answer is True:
                outcomes[p.index] = (p.kind, "valid", "")
            elif answer is False:
                outcomes[p.index] = (p.kind, "bad-signature", "signature does not verify")
            else:
                outcomes[p.index] = (p.kind, *_refusal(item))
        result.stages["verify"] += time.process_time() - clock

    tally: collections.Counter[tuple[str, Outcome]] = collections.Counter()
    findings = result.findings
    for index, outcome in enumerate(outcomes):
        assert outcome is not None
        kind, verdict, reason = outcome
        tally[kind, verdict] += 1
        if verdict == "valid":
            continue
        if limit is None or len(findings) < limit:
            findings.append(Finding(index, kind, verdict, reason,
                                    *_position_and_nonce(kind, documents.get(index))))
        else:
            result.more += 1
    for (kind, verdict), n in tally.items():
        result.count(kind, verdict, n)
    return result


def _position_and_nonce(kind: str, document: Any) -> tuple[str | None, ...]:
    """The position id and nonce of the order a record signs (a liquidation's
    liquidator order's), each None where missing or not a decimal text."""
    if kind == "liquidate" and isinstance(document, (dict, list)):
        document = document.get("liquidator_order") if isinstance(document, dict) else \
            document[0] if document else None
    if not isinstance(document, dict):
        return None, None
    position = document.get("sender_position_id" if kind == "transfer" else "position_id")
    nonce = document.get("nonce")
    return tuple(value if isinstance(value, str) and value.isdecimal() and value.isascii()
                 else None for value in (position, nonce))


def _signer_problem(p: _Pending) -> tuple[Outcome, str] | None:
    if not isinstance(p.key, str):
        return "bad-key", "no public_key text"
    signer = log.key_value(p.key)
    if signer is None:
        return "bad-key", "public key is not hexadecimal text of up to 64 digits"
    problem = _key_problem(p.key)
    if problem is not None:
        return "bad-key", problem
    named = log.key_value(named_key(p.document))
    if named != signer:
        short = p.key if len(p.key) <= 16 else f"{p.key[:10]}…{p.key[-4:]}"
        return "bad-key", f"signed by {short}, not by the key the document names"
    if not (isinstance(p.r, str) and isinstance(p.s, str)):
        return "bad-signature", 'no signature {"r": text, "s": text}'
    return None


def _refusal(item: tuple[str, str, str, str, str]) -> tuple[Outcome, str]:
    # verify_signature reads the signature before the key: if a key known to
    # decode is refused with it too, the signature is at fault.
    r, s, _, _, digest = item
    try:
        sdk.verify_signature(r, s, _REFERENCE_KEY, "", digest)
    except ValueError:
        return "bad-signature", "signature unreadable (r not a curve point, or s out of range)"
    return "bad-key", "public key refused by verification"
