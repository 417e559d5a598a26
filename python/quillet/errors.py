"""The exceptions of the typed API.

All derive from QuilletError, an ordinary Exception, so `except Exception`
in a bot loop and process pools catch and report them. Each carries the
reason the core library gave (`reason`), obtained from the call itself, not
from the diagnostic line on standard error; key errors never carry it, since
the core's text may quote the key.
"""

from __future__ import annotations


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


class InvalidSignature(QuilletError, ValueError):
    """A signature text that is malformed (not one that merely fails to verify:
    PublicKey.verify returns False for that)."""


class SigningFailed(QuilletError):
    """The core library refused to sign inputs that passed every check here."""


__all__ = ["InvalidDocument", "InvalidKey", "InvalidMessage", "InvalidSignature", "QuilletError",
           "SigningFailed"]
