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
           "MalformedSignature", "QuilletError", "SigningFailed"]
