"""Batch signing through a signer that is not a PrivateKey (quillet.batch
and quillet.aio; see quillet.signer).

Every item is read and checked here first, as the typed API checks it: a
text by quillet.documents.read (the one strict reading), a document of
another kind is a TypeError, one naming another key than the signer's a
KeyMismatch, a message as sign_message takes it (0 refused). Only then is
anything signed: through the signer's sign_each (outcomes) or sign_many
where it has one, else item by item.

One loop serves blocking and coroutine signers: it is a coroutine that, for
a blocking signer, never suspends, and is run to its end by one send().
"""

from __future__ import annotations

import inspect
from collections.abc import Awaitable, Callable, Coroutine
from typing import Any

from quillet.documents import Document, Kind, key_value, named_key, read
from quillet.errors import (InvalidDocument, KeyMismatch, QuilletError, SignerUnavailable)
from quillet.keys import PublicKey, Signature, _note_item, signable_text

Progress = Callable[[int, int], None]
# A chunk of checked items in, a result per item out (an error only with outcomes).
SignChunk = Callable[[list[Any]], Awaitable[list[Any]]]
Result = Signature | QuilletError

DEFAULT_CHUNK = 1024


def is_async(signer: object) -> bool:
    """Whether `signer` is an AsyncSigner: its sign is a coroutine function."""
    return inspect.iscoroutinefunction(getattr(signer, "sign", None))


def public_key(signer: object) -> PublicKey:
    public = getattr(signer, "public_key", None)
    if not isinstance(public, PublicKey):
        raise TypeError(f"a signer is a PrivateKey, a private key text or a quillet.Signer "
                        f"(public_key, sign, sign_message, eth_sign), not "
                        f"{type(signer).__name__}")
    return public


def checked(items: list[object], signer: object, kind: Kind | None,
            outcomes: bool) -> list[Any]:
    """The items of a batch for `signer`, checked: documents of `kind`, or
    messages when it is None."""
    public = public_key(signer)
    return messages(items, outcomes) if kind is None else \
        documents(kind, items, public, outcomes)


def documents(kind: Kind, items: list[object], public: PublicKey,
              outcomes: bool) -> list[Document | QuilletError]:
    """Each item as a checked document, or (with outcomes) why it is refused;
    without outcomes the first refusal is raised, noted with its index."""
    signer = key_value(public.x)
    checked: list[Document | QuilletError] = []
    for index, item in enumerate(items):
        try:
            if isinstance(item, Document):
                if item.KIND != kind:  # a mistake of the program, in any mode
                    raise _note_item(TypeError(f"a {type(item).__name__} is a {item.KIND} document, "
                                           f"not a {kind} document"), index)
                document = item
            elif isinstance(item, (str, bytes, bytearray)):
                document = read(kind, bytes(item) if isinstance(item, bytearray) else item)
            elif outcomes:
                raise InvalidDocument(f"expected a JSON text or a document, got "
                                      f"{type(item).__name__}")
            else:
                raise _note_item(TypeError(f"expected a JSON text or a document, got "
                                       f"{type(item).__name__}"), index)
            named = named_key(document)
            if named != public.x and key_value(named) != signer:
                raise KeyMismatch(str(named), public.x)
        except QuilletError as error:
            if not outcomes:
                raise _note_item(error, index)
            checked.append(error)
            continue
        checked.append(document)
    return checked


def messages(items: list[object], outcomes: bool) -> list[str | QuilletError]:
    """Each message as the text signed, or why it is refused (as documents)."""
    checked: list[str | QuilletError] = []
    for index, msg in enumerate(items):
        try:
            checked.append(signable_text(msg))  # type: ignore[arg-type]
        except QuilletError as error:
            if not outcomes:
                raise _note_item(error, index)
            checked.append(error)
    return checked


async def run(items: list[Any], sign_chunk: SignChunk, progress: Progress | None,
              chunk_size: int | None) -> list[Result]:
    """sign_chunk over the checked items (errors kept in place), chunk by
    chunk; progress(done, total) after each chunk. A chunk's raised error
    is renumbered to its index in the whole batch."""
    size = DEFAULT_CHUNK if chunk_size is None else chunk_size
    if isinstance(size, bool) or not isinstance(size, int) or size < 1:
        raise ValueError(f"chunk_size must be an int of at least 1, not {chunk_size!r}")
    if progress is None and chunk_size is None:
        size = max(1, len(items))
    results: list[Result] = []
    for start in range(0, len(items), size):
        chunk = items[start:start + size]
        chosen = [i for i, item in enumerate(chunk) if not isinstance(item, QuilletError)]
        try:
            signed = iter(await sign_chunk([chunk[i] for i in chosen]) if chosen else [])
        except BaseException as error:
            _renumber(error, [start + i for i in chosen])
            raise
        results.extend(item if isinstance(item, QuilletError) else next(signed)
                       for item in chunk)
        if progress is not None:
            progress(len(results), len(items))
    if progress is not None and not items:
        progress(0, 0)
    return results


def _renumber(error: BaseException, indexes: list[int]) -> None:
    notes = getattr(error, "__notes__", None)
    if notes:
        error.__notes__ = [f"batch item {indexes[int(note[11:])]}"
                           if note.startswith("batch item ") and note[11:].isdigit()
                           and int(note[11:]) < len(indexes) else note for note in notes]


def _not_awaited(value: object, signer: object) -> Any:
    if isinstance(value, Coroutine):
        value.close()  # never started: nothing was sent
        raise TypeError(f"{type(signer).__name__}'s methods are coroutines: sign with it "
                        "through quillet.aio")
    return value


def chunk_signer(signer: object, method: str, outcomes: bool) -> SignChunk:
    """How a chunk is signed: `method` "sign" (documents) or "sign_message"
    (message texts), through the signer's sign_each (with outcomes) or
    sign_many / sign_messages where it has them, else item by item. With
    outcomes a refused item gives its error in place (SignerUnavailable still
    raises: no item is at fault). A blocking signer's methods are called
    inside coroutines that never suspend."""
    asynchronous = is_async(signer)

    def found(name: str | None) -> Callable[[Any], Awaitable[Any]] | None:
        function = getattr(signer, name, None) if name else None
        if function is None or asynchronous:
            return function

        async def blocking(argument: Any) -> Any:
            return _not_awaited(function(argument), signer)
        return blocking

    each = found("sign_each" if method == "sign" and outcomes else None)
    batch = found("sign_many" if method == "sign" else "sign_messages")
    single = found(method)
    assert single is not None  # every signer has sign and sign_message

    async def sign_chunk(chunk: list[Any]) -> list[Result]:
        if each is not None:
            return _counted(await each(chunk), chunk)
        if batch is not None:
            try:
                return _counted(await batch(chunk), chunk)
            except SignerUnavailable:
                raise
            except QuilletError:
                if not outcomes:
                    raise
            # One item refused the whole call: each is asked alone.
        results: list[Result] = []
        for index, item in enumerate(chunk):
            try:
                results.append(await single(item))
            except SignerUnavailable:
                raise
            except QuilletError as error:
                if not outcomes:
                    raise _note_item(error, index)
                results.append(error)
        return results

    return sign_chunk


def _counted(results: object, chunk: list[Any]) -> list[Result]:
    if not isinstance(results, list) or len(results) != len(chunk):
        raise TypeError(f"the signer returned {type(results).__name__} for {len(chunk)} items, "
                        "not a list of as many results")
    return results


def finish(coroutine: Coroutine[Any, Any, list[Result]]) -> list[Result]:
    """The result of a coroutine that never suspends (a blocking signer's run)."""
    try:
        coroutine.send(None)
    except StopIteration as done:
        return done.value  # type: ignore[no-any-return]
    coroutine.close()
    raise RuntimeError("a blocking signer's batch suspended")
