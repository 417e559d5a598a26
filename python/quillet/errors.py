"""The exceptions of the typed API.

All derive from QuilletError, an ordinary Exception, so `except Exception`
in a bot loop and process pools catch and report them. Each carries the
reason the core library gave (`reason`), obtained from the call itself, not
from the diagnostic line on standard error; key errors never carry it, since
the core's text may quote the key.
"""

from __future__ import annotations

import warnings


class QuilletError(Exception):
    """A failure of the typed API. `reason`: the core library's text, or None."""

    reason: str | None

    def __init__(self, message: str, *, reason: str | None = None) -> None:
        super().__init__(message)
        self.reason = reason


class InvalidDocument(QuilletError, ValueError):
    """A document field, or a document text, that the module would refuse or
    hash ambiguously. `field`: the key at fault, when one is."""

    field: str | None

    def __init__(self, message: str, *, field: str | None = None,
                 reason: str | None = None) -> None:
        super().__init__(f"{field}: {message}" if field else message, reason=reason)
        self.field = field


class InvalidKey(QuilletError, ValueError):
    """A private or public key text that is not a key. Never quotes the key."""


class InvalidMessage(QuilletError, ValueError):
    """A message that is not a 256-bit integer in hexadecimal text."""


class MalformedSignature(QuilletError, ValueError):
    """A signature text that is malformed (not one that merely fails to verify:
    PublicKey.verify returns False for that)."""


class KeyMismatch(QuilletError, ValueError):
    """A document signed by a key other than the one it names. `named`: the
    public key the document names; `signer`: the signing key's public key.
    A valid signature by another key proves nothing, and the audit rejects it."""

    named: str
    signer: str

    def __init__(self, named: str, signer: str) -> None:
        shown = named or '""'  # the module reads an empty key text as 0
        super().__init__(f"the document names the key {shown}, not this key ({signer}): "
                         "a document is signed only by the key it names")
        self.named = named
        self.signer = signer

    def __reduce__(self) -> tuple[type[KeyMismatch], tuple[str, str], dict[str, object]]:
        return type(self), (self.named, self.signer), self.__dict__


class SigningFailed(QuilletError):
    """The core library refused to sign inputs that passed every check here."""


class KeyFileWarning(UserWarning):
    """A key file (plain or keystore) that group or others may open. A
    warning, not an error: the key is read all the same."""


class SignerError(QuilletError):
    """A signing service refused a request or answered one wrongly (a bad
    token, a body it found too large, an answer that is not the API's, or a
    signature that does not verify: nothing it returns is trusted unchecked).
    `status`: the HTTP status, or None when no answer came. Never holds the
    token, the request or the response."""

    status: int | None

    def __init__(self, message: str, *, status: int | None = None) -> None:
        super().__init__(message)
        self.status = status


class PolicyRefused(SignerError):
    """The service's policy for this client refused the item (403). `rule`:
    the name of the config key that refused it (`max_amount_collateral`,
    `eth_addresses`, `keys`, ...); `field`: the document field at fault, or
    None; `limit` and `value`: the rule's limit and the document's value as
    the service wrote them (decimal text for amounts, "0x…" for ids), or None."""

    rule: str
    field: str | None
    limit: object
    value: object

    def __init__(self, message: str, *, rule: str = "", field: str | None = None,
                 limit: object = None, value: object = None, status: int | None = 403) -> None:
        super().__init__(message, status=status)
        self.rule = rule
        self.field = field
        self.limit = limit
        self.value = value


class SignConflict(SignerError):
    """The service signed another document with the same key, kind and nonce
    before (409): signing this one too would give the exchange two orders of
    one nonce. `hash`: the hash of the document signed before."""

    hash: str | None

    def __init__(self, message: str, *, hash: str | None = None,  # noqa: A002
                 status: int | None = 409) -> None:
        super().__init__(message, status=status)
        self.hash = hash


class SignerUnavailable(SignerError):
    """The service could not be reached or could not answer (a connection
    error, a time-out, 429 or a 5xx status), after the retries. Every call of
    a signer is safe to repeat: the service answers a document it signed
    before with the same signature. `retry_after`: the seconds the service
    asked to wait, or None."""

    retry_after: float | None

    def __init__(self, message: str, *, status: int | None = None,
                 retry_after: float | None = None) -> None:
        super().__init__(message, status=status)
        self.retry_after = retry_after


# The old name of MalformedSignature, kept for one release (with a warning).
TYPE_CHECKING = False  # not typing's: importing typing would slow `import quillet`
if TYPE_CHECKING:
    InvalidSignature = MalformedSignature


def __getattr__(name: str) -> object:
    if name == "InvalidSignature":
        warnings.warn("quillet.InvalidSignature is now MalformedSignature; the old name goes "
                      "in the next release", DeprecationWarning, stacklevel=2)
        return MalformedSignature
    raise AttributeError(f"module 'quillet.errors' has no attribute {name!r}")


__all__ = ["InvalidDocument", "InvalidKey", "InvalidMessage", "KeyFileWarning", "KeyMismatch",
           "MalformedSignature", "PolicyRefused", "QuilletError", "SignConflict", "SignerError",
           "SignerUnavailable", "SigningFailed"]
