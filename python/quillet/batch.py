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

Items may be JSON texts or quillet documents, keys texts or PrivateKey
objects (or any quillet.Signer: see sign_many), and kinds are spelled with
"-" or "_" alike ("limit-order").
Typed items are checked as the typed API checks them, before any is run: a
document of another kind is a TypeError naming both kinds, a document that
names another signer's key a KeyMismatch, an int message is taken as
PrivateKey.sign_message takes it (message 0 refused), each noted with its
index. PrivateKey.sign_many and sign_messages return Signature values.

Options of every batch function:

- `outcomes=True`: never raise for an item; return one Outcome per item
  (`.ok`, `.value`, `.error`: a QuilletError with the core's reason), every
  item run. Only a bad `kind`, key or `threads` still raises.
- `progress=callback`: called as callback(done, total) after each chunk.
- `chunk_size=N`: items per chunk (default 1024 when chunked).

With any of the three the batch runs as one native call per chunk (Ctrl-C
still stops it within a fraction of a second); without them it is one call.

    from quillet import batch
    signatures = batch.sign_many("limit_order", orders, key)
    hashes = batch.hash_many("limit-order", orders, threads=2)
    for outcome in batch.hash_many("limit_order", orders, outcomes=True):
        print(outcome.index, outcome.value if outcome.ok else outcome.error)
"""

from __future__ import annotations

from collections.abc import Callable, Iterable, Sequence, Sized
from dataclasses import dataclass
from typing import Any, Generic, Literal, TypeVar, cast, overload

from quillet import _batch, _signer_batch
# Imported here, never inside a call: an import running in one thread while
# another forks leaves its module lock held forever in the child.
from quillet.documents import KINDS, Document, Kind, normalize_kind
from quillet.errors import (InvalidDocument, InvalidMessage, KeyMismatch, MalformedSignature,
                            QuilletError)
from quillet.keys import (_MESSAGE_LIMIT, PrivateKey, PublicKey, Signature, _note_item,
                          message_text, signable_text)
from quillet.signer import Signer

# A kind as the command line spells it is accepted too.
KindName = Kind | Literal["limit-order", "signed-oracle-price"]

Progress = Callable[[int, int], None]
# The five texts of verify_signature, or (Signature, PublicKey, document or message).
VerifyItem = Sequence[str] | tuple[Signature, PublicKey, Document | str | int]
DEFAULT_CHUNK = 1024

T = TypeVar("T")

__all__ = ["DEFAULT_CHUNK", "KINDS", "Kind", "KindName", "Outcome", "Progress", "VerifyItem",
           "default_threads", "hash_many", "lane_kernel", "normalize_kind", "sign_many",
           "sign_messages", "verify_many"]


@dataclass(frozen=True, slots=True)
class Outcome(Generic[T]):
    """What became of one item of a batch run with outcomes=True."""

    index: int
    value: T | None = None
    error: QuilletError | None = None

    @property
    def ok(self) -> bool:
        return self.error is None

    def unwrap(self) -> T:
        """The value, or the item's error raised."""
        if self.error is not None:
            raise self.error
        assert self.value is not None
        return self.value


def _listed(items: Iterable[object], what: str = "docs") -> list[object]:
    if isinstance(items, (str, bytes, bytearray)):
        raise TypeError(f"{what} must be an iterable such as a list, not '{type(items).__name__}'")
    return list(items)


def _texts(docs: Iterable[str | int | Document] | list[object],
           what: str = "docs") -> list[object]:
    items: list[object] = _listed(docs, what)
    if any(not isinstance(item, str) for item in items):
        items = [item.to_json() if isinstance(item, Document) else item for item in items]
    return items


def _plain_texts(items: list[object]) -> bool:
    """Whether every item is a str itself: the usual batch, which then needs
    no check per item here (one pass in C rather than a Python loop, a few
    percent of a two-thread hash batch)."""
    return set(map(type, items)) <= {str}


def _key_argument(pri_key: str | PrivateKey) -> str | _batch.SigningKey:
    # A PrivateKey goes to the native call as its native key, whose text the
    # call writes into memory of its own: no str of it is made here.
    return pri_key._key if isinstance(pri_key, PrivateKey) else pri_key


def _chunks(count: int, chunk_size: int | None) -> range:
    size = DEFAULT_CHUNK if chunk_size is None else chunk_size
    if isinstance(size, bool) or not isinstance(size, int) or size < 1:
        raise ValueError(f"chunk_size must be an int of at least 1, not {chunk_size!r}")
    return range(0, count, size)


def _renumber(error: BaseException, offset: int) -> None:
    # The native call numbers items within its chunk, in its note and its
    # item_index.
    index: int | None = getattr(error, "item_index", None)
    if offset and index is not None:
        setattr(error, "item_index", index + offset)
        error.__notes__ = [f"batch item {index + offset}" if note == f"batch item {index}"
                           else note for note in getattr(error, "__notes__", ())]


def _raising(run: Callable[[list[object]], list[T]], items: list[object], progress: Progress | None,
             chunk_size: int | None) -> list[T]:
    if progress is None and chunk_size is None:  # one native call, its own threads
        return run(items)
    results: list[T] = []
    # An empty batch makes one empty call too: its arguments are checked alike.
    for start in _chunks(len(items), chunk_size) or range(1):
        chunk = items[start:start + (chunk_size or DEFAULT_CHUNK)]
        try:
            results.extend(run(chunk))
        except BaseException as error:
            _renumber(error, start)
            raise
        if progress is not None:
            progress(len(results), len(items))
    return results


def _outcomes(name: str, items: list[tuple[object, ...] | None], threads: int | None,
              progress: Progress | None, chunk_size: int | None,
              failure: type[QuilletError], pri_key: str | PrivateKey | None = None,
              key_first: bool = False) -> list[Outcome[T]]:
    """Runs `name` on every argument tuple, chunk by chunk, as Outcomes
    (None stands for an item that is not a tuple of arguments). With
    `pri_key`, it joins each tuple (first or last): a key text as it is, a
    PrivateKey as its native key (_key_argument)."""
    results: list[Outcome[T]] = []
    size = DEFAULT_CHUNK if chunk_size is None else chunk_size
    key = None if pri_key is None else _key_argument(pri_key)
    # At least one native call, empty or not: it checks `threads`, as every
    # batch call does.
    for start in _chunks(len(items), chunk_size) or range(1):
        chunk = items[start:start + size]
        runnable = [i for i, args in enumerate(chunk, start)
                    if args is not None and all(isinstance(arg, str) for arg in args)]
        answers = iter(_batch.call_many(
            name,
            [chunk[i - start] if key is None else
             (key, *chunk[i - start]) if key_first else  # type: ignore[misc]
             (*chunk[i - start], key) for i in runnable],  # type: ignore[misc]
            threads))
        runnable_indexes = set(runnable)
        for i, args in enumerate(chunk, start):
            if i not in runnable_indexes:
                got = "a malformed item" if args is None else \
                    "(" + ", ".join(type(arg).__name__ for arg in args) + ")"
                results.append(Outcome(i, error=failure(
                    f"batch item {i}: expected the arguments as str, got {got}")))
                continue
            ok, value = next(answers)
            if ok:
                results.append(Outcome(i, value=value))  # type: ignore[arg-type]
            else:
                results.append(Outcome(i, error=failure(f"batch item {i}: {value}",
                                                        reason=str(value))))
        if progress is not None:
            progress(len(results), len(items))
    return results


def _typed_documents(kind: Kind, items: list[object],
                     pri_key: str | PrivateKey | None) -> dict[int, KeyMismatch]:
    """Checks the typed documents of a batch of one kind: TypeError for one of
    another kind; the KeyMismatch of each that names another key than
    `pri_key`'s (when given), by index."""
    mismatches: dict[int, KeyMismatch] = {}
    signer: PrivateKey | None = None
    for index, item in enumerate(items):
        if not isinstance(item, Document):
            continue
        if item.KIND != kind:
            raise _note_item(TypeError(f"a {type(item).__name__} is a {item.KIND} document, "
                                       f"not a {kind} document"), index)
        if pri_key is not None:
            if signer is None:
                signer = pri_key if isinstance(pri_key, PrivateKey) else PrivateKey(pri_key)
            try:
                signer.check_names(item)
            except KeyMismatch as error:
                mismatches[index] = error
    return mismatches


def _check_key(pri_key: str | PrivateKey) -> None:
    # Per-item reasons must never quote the key: a bad key fails the batch
    # first, in words of its own. A PrivateKey was checked when it was made.
    if not isinstance(pri_key, PrivateKey):
        PrivateKey(pri_key)


@overload
def hash_many(kind: KindName, docs: Iterable[str | Document], *, threads: int | None = None,
              outcomes: Literal[False] = False, progress: Progress | None = None,
              chunk_size: int | None = None) -> list[str]: ...
@overload
def hash_many(kind: KindName, docs: Iterable[str | Document], *, threads: int | None = None,
              outcomes: Literal[True], progress: Progress | None = None,
              chunk_size: int | None = None) -> list[Outcome[str]]: ...
def hash_many(kind: KindName, docs: Iterable[str | Document], *, threads: int | None = None,
              outcomes: bool = False, progress: Progress | None = None,
              chunk_size: int | None = None) -> list[str] | list[Outcome[str]]:
    """The hash text of each JSON document of one kind: [hash_{kind}(doc) for doc in docs].

    Failures raise PanicException (or TypeError for an item that is not a
    str), noted with the item's index; with outcomes=True they are
    InvalidDocument outcomes. `threads`: None for one per core, or a count of
    at least 1 (at most 256, and never more than the items).
    """
    kind = normalize_kind(kind)
    items = _listed(docs)
    if not _plain_texts(items):
        _typed_documents(kind, items, None)
        items = _texts(items)
    if outcomes:
        return _outcomes("hash_" + kind, [(doc,) for doc in items], threads, progress,
                         chunk_size, InvalidDocument)
    return _raising(lambda chunk: _batch.hash_many(kind, chunk,  # type: ignore[arg-type]
                                                   threads=threads),
                    items, progress, chunk_size)


@overload
def sign_many(kind: KindName, docs: Iterable[str | Document],
              pri_key: str | PrivateKey | Signer, *,
              threads: int | None = None, outcomes: Literal[False] = False,
              progress: Progress | None = None, chunk_size: int | None = None) -> list[str]: ...
@overload
def sign_many(kind: KindName, docs: Iterable[str | Document],
              pri_key: str | PrivateKey | Signer, *,
              threads: int | None = None, outcomes: Literal[True],
              progress: Progress | None = None,
              chunk_size: int | None = None) -> list[Outcome[str]]: ...
def sign_many(kind: KindName, docs: Iterable[str | Document],
              pri_key: str | PrivateKey | Signer, *,
              threads: int | None = None, outcomes: bool = False,
              progress: Progress | None = None,
              chunk_size: int | None = None) -> list[str] | list[Outcome[str]]:
    """The signature JSON of each JSON document of one kind under one private key:
    [sign_{kind}(doc, pri_key) for doc in docs].

    A key that is not a str raises TypeError before any item is looked at;
    item failures raise ValueError "Any { .. }" (or TypeError), noted with the
    item's index. With outcomes=True a bad key raises InvalidKey first and
    item failures are InvalidDocument outcomes. `threads` as for hash_many.

    Any other quillet.Signer signs too (a RemoteSigner, a key in a KMS): every
    text is read with quillet.documents.read and every document checked
    before any is signed (InvalidDocument, KeyMismatch, noted with its
    index), then signed through the signer's sign_many (sign_each with
    outcomes) where it has one, else item by item; its errors are raised (or
    are outcomes) as it raises them. `threads` is checked, and unused.
    """
    kind = normalize_kind(kind)
    items = _listed(docs)
    if _is_signer(pri_key):
        return _through_signer(items, pri_key, kind, threads, outcomes, progress, chunk_size)
    key = cast("str | PrivateKey", pri_key)
    mismatches: dict[int, KeyMismatch] = {}
    if not _plain_texts(items):
        mismatches = _typed_documents(kind, items, key)
        if mismatches and not outcomes:
            first = min(mismatches)
            raise _note_item(mismatches[first], first)
        items = _texts(items)
    if outcomes:
        _check_key(key)
        results: list[Outcome[str]] = _outcomes("sign_" + kind, [(doc,) for doc in items],
                                                threads, progress, chunk_size,
                                                InvalidDocument, key)
        for index, mismatch in mismatches.items():
            results[index] = Outcome(index, error=mismatch)
        return results
    return _raising(lambda chunk: _batch.sign_many(
        kind, chunk, _key_argument(key), threads=threads),  # type: ignore[arg-type]
        items, progress, chunk_size)


@overload
def sign_messages(pri_key: str | PrivateKey | Signer, msgs: Iterable[str | int], *,
                  threads: int | None = None, outcomes: Literal[False] = False,
                  progress: Progress | None = None,
                  chunk_size: int | None = None) -> list[str]: ...
@overload
def sign_messages(pri_key: str | PrivateKey | Signer, msgs: Iterable[str | int], *,
                  threads: int | None = None, outcomes: Literal[True],
                  progress: Progress | None = None,
                  chunk_size: int | None = None) -> list[Outcome[str]]: ...
def sign_messages(pri_key: str | PrivateKey | Signer, msgs: Iterable[str | int], *,
                  threads: int | None = None, outcomes: bool = False,
                  progress: Progress | None = None,
                  chunk_size: int | None = None) -> list[str] | list[Outcome[str]]:
    """The signature JSON of each message integer under one private key:
    [sign(pri_key, msg) for msg in msgs].

    Failures as for sign_many (InvalidMessage outcomes); `threads` as for
    hash_many. Any other quillet.Signer signs too, as for sign_many: every
    message checked first, then through the signer's sign_messages where it
    has one, else item by item.
    """
    items = _listed(msgs, "msgs")
    if _is_signer(pri_key):
        return _through_signer(items, pri_key, None, threads, outcomes, progress, chunk_size)
    key = cast("str | PrivateKey", pri_key)
    if not _plain_texts(items):
        items = _texts(items, "msgs")
        for index, msg in enumerate(items):
            if isinstance(msg, int) and not isinstance(msg, bool):  # as sign_message takes it
                try:
                    items[index] = signable_text(msg)
                except InvalidMessage as error:
                    raise _note_item(error, index) from None
    if outcomes:
        _check_key(key)
        return _outcomes("sign", [(msg,) for msg in items], threads, progress, chunk_size,
                         InvalidMessage, key, key_first=True)
    return _raising(lambda chunk: _batch.sign_messages(
        _key_argument(key), chunk, threads=threads),  # type: ignore[arg-type]
        items, progress, chunk_size)


def _is_signer(pri_key: object) -> bool:
    """Whether the batch signs through a signer rather than natively: any
    object with a public key that is not a key text or a PrivateKey."""
    return not isinstance(pri_key, (str, PrivateKey)) and (
        _signer_batch.is_async(pri_key) or hasattr(pri_key, "public_key"))


def _through_signer(items: list[object], signer: object, kind: Kind | None, threads: int | None,
                    outcomes: bool, progress: Progress | None,
                    chunk_size: int | None) -> list[str] | list[Outcome[str]]:
    """Signs documents of `kind` (messages when None) through `signer`."""
    _batch.call_many("sign", [], threads)  # checked as every batch call checks it
    if _signer_batch.is_async(signer):
        raise TypeError(f"{type(signer).__name__}'s methods are coroutines: sign with it "
                        "through quillet.aio")
    return signed_texts(_signer_batch.finish(_signer_batch.run(
        _signer_batch.checked(items, signer, kind, outcomes),
        _signer_batch.chunk_signer(signer, "sign" if kind else "sign_message", outcomes),
        progress, chunk_size)), outcomes)


def signed_texts(results: list[Signature | QuilletError],
                 outcomes: bool) -> list[str] | list[Outcome[str]]:
    """A signer's results as the batch calls return them: signature JSON
    texts, or Outcomes of them."""
    if not outcomes:
        return [signature.to_json() for signature in results]  # type: ignore[union-attr]
    return [Outcome(index, error=result) if isinstance(result, QuilletError)
            else Outcome(index, value=result.to_json()) for index, result in enumerate(results)]


@overload
def verify_many(items: Iterable[VerifyItem], *, threads: int | None = None,
                outcomes: Literal[False] = False, progress: Progress | None = None,
                chunk_size: int | None = None) -> list[bool]: ...
@overload
def verify_many(items: Iterable[VerifyItem], *, threads: int | None = None,
                outcomes: Literal[True], progress: Progress | None = None,
                chunk_size: int | None = None) -> list[Outcome[bool]]: ...
def verify_many(items: Iterable[VerifyItem], *, threads: int | None = None,
                outcomes: bool = False, progress: Progress | None = None,
                chunk_size: int | None = None) -> list[bool] | list[Outcome[bool]]:
    """Whether each signature verifies: [verify_signature(*item) for item in items].

    Each item is a tuple or list of the five arguments (sig_r, sig_s,
    pub_key_x, pub_key_y, msg), or a triple (Signature, PublicKey, document
    or message) as PublicKey.verify takes them. A malformed item raises
    TypeError or ValueError "Any { .. }" (MalformedSignature or
    InvalidMessage for a triple), noted with its index (a MalformedSignature
    outcome with outcomes=True); a well-formed signature that does not match
    gives False. Without outcomes, the well-formed items are checked
    together in runs of up to 1024, all threads working on each run, by one
    random linear combination of their equations: a signature that does not verify comes back True with
    probability below 2^-103. `threads` as for hash_many.
    """
    listed, typed = _verify_rows(_listed(items, "items"))
    if outcomes:
        rows: list[tuple[object, ...] | None] = [
            tuple(item) if isinstance(item, (tuple, list)) and len(item) == 5 else None
            for item in listed]
        return _outcomes("verify_signature", rows, threads, progress, chunk_size,
                         MalformedSignature)

    def run(chunk: list[object]) -> list[bool]:
        try:
            return _batch.verify_many(chunk, threads=threads)  # type: ignore[arg-type]
        except ValueError as error:
            index: int | None = getattr(error, "item_index", None)
            if not typed or index is None:
                raise  # the module's own error for its own five texts
        # Keys and messages of triples are known good: the signature is at fault.
        failure = MalformedSignature("the signature is malformed (r not a point of the "
                                     "curve, or s out of range)")
        raise _note_item(failure, index)

    return _raising(run, listed, progress, chunk_size)


def _verify_rows(items: list[object]) -> tuple[list[object], bool]:
    """The items with each (Signature, PublicKey, document or message) triple
    turned into the five texts of verify_signature (documents hashed in one
    batch per kind), and whether every item was a triple."""
    if set(map(type, items)) <= {tuple, list} and 3 not in set(map(len, cast(list[Sized], items))):
        return items, False  # the usual batch of five texts each: no triple, in one pass in C
    others = 0
    documents: dict[Kind, dict[int, Document]] = {}
    for index, item in enumerate(items):
        if type(item) is tuple and len(item) == 3:
            signature, public, message = item
            # The usual triple, in as few steps as can be: the batch's own
            # cost per item is a few percent of a verification's.
            if (type(signature) is Signature and type(public) is PublicKey
                    and type(message) is int and 0 <= message < _MESSAGE_LIMIT):
                # hex(): the same integer to the module as message_text's padded text
                items[index] = (signature.r, signature.s, public.x, public.y, hex(message))
                continue
        elif not (isinstance(item, (tuple, list)) and len(item) == 3):
            others += 1
            continue
        signature, public, message = item
        if not isinstance(signature, Signature) or not isinstance(public, PublicKey):
            raise _note_item(TypeError(f"a triple is (Signature, PublicKey, document or "
                                       f"message), not ({type(signature).__name__}, "
                                       f"{type(public).__name__}, ...)"), index)
        if isinstance(message, Document):
            documents.setdefault(message.KIND, {})[index] = message
            digest = ""
        else:
            try:
                digest = message_text(message)
            except InvalidMessage as error:
                raise _note_item(error, index) from None
        items[index] = (signature.r, signature.s, public.x, public.y, digest)
    for kind, of_kind in documents.items():
        digests = _batch.hash_many(kind, [doc.to_json() for doc in of_kind.values()])
        for index, digest in zip(of_kind, digests):
            items[index] = (*items[index][:4], digest)  # type: ignore[index]
    return items, bool(items) and not others


def default_threads() -> int:
    """The thread count used when `threads` is None: the number of cores this
    process may run on (its CPU affinity)."""
    return _batch.default_threads()


def lane_kernel() -> str:
    """The kernel that computes the Poseidon permutations of hash_many and
    sign_many, chosen once per process: "ifma" (eight at a time with AVX-512
    IFMA, where the processor has it), else "scalar" (one at a time). The
    environment variable QUILLET_LANES (or QUILLET_POSEIDON_LANES, its older
    alias for the permutations alone, which wins over it), read before the
    first batch, forces "scalar", "emulated" (the IFMA algorithm in plain
    arithmetic, for tests) or "ifma" where the processor runs it."""
    return _batch.lane_kernel()
