"""The signer interfaces: what signs, whoever holds the key.

    def place(order: LimitOrder, signer: quillet.Signer) -> Signature:
        return signer.sign(order)

`PrivateKey` is a `Signer`; so is `quillet.RemoteSigner` (a key held by a
signing service) and any object of yours with these four members and types
(a key in a KMS or an HSM). A `BatchSigner` also signs many documents in one
call (`PrivateKey` on every core, `RemoteSigner` in one request per kind).
An `AsyncSigner` has the same members as coroutines (`AsyncRemoteSigner`).

quillet.batch and quillet.aio take any of them: a `PrivateKey` signs
natively, a `BatchSigner` through its `sign_many`, any other `Signer` item by
item. What they promise about threads, and what a signer must promise:

- A batch call runs the signer's methods on the thread that called it
  (quillet.aio: on one worker thread, for a `Signer`; in the event loop, for
  an `AsyncSigner`), one call at a time, so a signer used by one thread at a
  time needs no lock of its own.
- A `Signer` shared by several threads must take calls from all of them at
  once: `PrivateKey` does (it holds no state a call changes), and
  `RemoteSigner` does (its connection pool is locked). An `AsyncSigner`
  belongs to one event loop.
- Batch calls return what the signer returns: a signer checks its own
  results (`RemoteSigner` verifies every signature it receives).
"""

from __future__ import annotations

from collections.abc import Iterable
from typing import TYPE_CHECKING, Protocol, runtime_checkable

if TYPE_CHECKING:
    from quillet.documents import Document
    from quillet.keys import L1Signature, PublicKey, Signature

# Where a remote signer finds its token when it is given none.
TOKEN_VARIABLE = "QUILLET_SIGNER_TOKEN"


@runtime_checkable
class Signer(Protocol):
    """Signs documents and messages under one key (isinstance checks the
    members' presence, type checkers their types)."""

    @property
    def public_key(self) -> PublicKey:
        """The public key that verifies this signer's signatures."""
        ...

    def sign(self, document: Document) -> Signature:
        """The signature of a document's hash."""
        ...

    def sign_message(self, msg: str | int) -> Signature:
        """The signature of a message integer (hex text or int)."""
        ...

    def eth_sign(self, msg: str | int) -> L1Signature:
        """The L1 signature of a message integer."""
        ...


@runtime_checkable
class BatchSigner(Signer, Protocol):
    """A Signer that also signs many documents in one call. One whose items
    may be refused one by one (a service's policy) may also have
    `sign_each(documents) -> list[Signature | QuilletError]`, every item
    tried: batch calls with outcomes=True use it (RemoteSigner has it)."""

    def sign_many(self, documents: Iterable[Document]) -> list[Signature]:
        """[self.sign(doc) for doc in documents], kinds may mix. Raises the
        first failing item's error, noted "batch item N" (add_note)."""
        ...


@runtime_checkable
class AsyncSigner(Protocol):
    """A Signer whose methods are coroutines (public_key excepted). One that
    also has `async def sign_many` (as BatchSigner's) signs batches with it."""

    @property
    def public_key(self) -> PublicKey:
        """The public key that verifies this signer's signatures."""
        ...

    async def sign(self, document: Document) -> Signature:
        """The signature of a document's hash."""
        ...

    async def sign_message(self, msg: str | int) -> Signature:
        """The signature of a message integer (hex text or int)."""
        ...

    async def eth_sign(self, msg: str | int) -> L1Signature:
        """The L1 signature of a message integer."""
        ...


__all__ = ["AsyncSigner", "BatchSigner", "Signer"]
