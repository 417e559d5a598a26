"""The signer interface: what signs one item, whoever holds the key.

    def place(order: LimitOrder, signer: quillet.Signer) -> Signature:
        return signer.sign(order)

`PrivateKey` is one; a key held by a KMS, an HSM or a remote signing
service is another, as long as it has these four members with these types.
Batch calls (quillet.batch, quillet.aio) still take a `PrivateKey`: they
sign natively, many items per call.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Protocol, runtime_checkable

if TYPE_CHECKING:
    from quillet.documents import Document
    from quillet.keys import L1Signature, PublicKey, Signature


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


__all__ = ["Signer"]
