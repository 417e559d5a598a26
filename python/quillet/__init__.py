"""quillet: a typed API over the quillet_python_sdk module, the `quillet`
command and batch calls.

    from quillet import LimitOrder, PrivateKey
    key = PrivateKey.from_seed("…at least 32 UTF-8 bytes…")
    order = LimitOrder(amount_synthetic=100000, ..., nonce=17, public_key=key.public_key.x,
                       expiration_timestamp=1767225600)
    key.public_key.verify(key.sign(order), order)     # True

The signing itself is done by the extension modules; results are the
module's, byte for byte. The typed API raises QuilletError subclasses (plain
Exceptions); PanicException is the class that quillet_python_sdk's own
functions raise, exported so that it can be caught by name.
"""

import os as _os
from importlib import import_module as _import_module

from quillet import _batch
from quillet import errors as _errors
from quillet.errors import (InvalidDocument, InvalidKey, InvalidMessage, KeyFileWarning,
                            KeyMismatch, MalformedSignature, PolicyRefused, QuilletError,
                            SignConflict, SignerError, SignerUnavailable, SigningFailed)

try:
    from quillet._version import __version__  # written when the wheel is built
except ImportError:  # imported from a source tree, not installed
    __version__ = "0+unknown"

# Not typing.TYPE_CHECKING: importing typing would double the cost of
# `import quillet`. Type checkers read this name as the same flag.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from quillet.documents import (Document, LimitOrder, Liquidation, SignedOraclePrice,
                                   Transfer, Withdrawal)
    from quillet.errors import MalformedSignature as InvalidSignature  # deprecated
    from quillet.keys import L1Signature, PrivateKey, PublicKey, Signature
    from quillet.remote import AsyncRemoteSigner, RemoteSigner
    from quillet.signer import AsyncSigner, BatchSigner, Signer

    class PanicException(BaseException):
        """Raised by quillet_python_sdk's functions when the core fails; derives
        from BaseException, like SystemExit."""
else:
    PanicException = _batch.panic_exception()

# Loaded on first use, so that `import quillet` (and the command line) costs
# little more than the extension module.
_LAZY = {
    "Document": "quillet.documents", "LimitOrder": "quillet.documents",
    "Liquidation": "quillet.documents", "SignedOraclePrice": "quillet.documents",
    "Transfer": "quillet.documents", "Withdrawal": "quillet.documents",
    "L1Signature": "quillet.keys", "PrivateKey": "quillet.keys", "PublicKey": "quillet.keys",
    "Signature": "quillet.keys", "AsyncSigner": "quillet.signer",
    "BatchSigner": "quillet.signer", "Signer": "quillet.signer",
    # Needs the extra `signer` (httpx): its ImportError names the extra.
    "AsyncRemoteSigner": "quillet.remote", "RemoteSigner": "quillet.remote",
}


def __getattr__(name: str) -> object:
    if name == "InvalidSignature":  # the deprecated name: warns on every use
        return _errors.__getattr__(name)
    module = _LAZY.get(name)
    if module is None:
        raise AttributeError(f"module 'quillet' has no attribute {name!r}")
    if module in _EXTRAS and module not in _BEGUN:
        _begin_extra(module)
    value = getattr(_import_module(module), name)
    globals()[name] = value
    return value


# Modules of an extra (httpx): the fork hook above leaves them alone, since
# importing httpx at every program's first fork would cost that fork a large
# part of a second. Their first use here registers a hook of their own.
_EXTRAS = frozenset({"quillet.remote"})
_BEGUN: set[str] = set()
# Modules whose import failed (an extra not installed): not tried at each fork.
_MISSING: set[str] = set()


def _finish_lazy_imports() -> None:
    # A thread importing these modules holds their module locks until it is
    # done; a child forked meanwhile would wait for them forever on its first
    # use of a name. So each fork first completes the imports (waiting for one
    # in progress): the child then finds them whole and takes no lock. Once
    # done, each is a lookup in sys.modules.
    for module in dict.fromkeys(_LAZY.values()):
        if module in _MISSING or module in _EXTRAS:
            continue
        try:
            _import_module(module)
        except Exception:  # raised again on the first use, where the caller sees it
            _MISSING.add(module)


def _begin_extra(module: str) -> None:
    """Before the first import of an extra's module: from then on each fork
    first completes it, waiting for the import in progress or doing it, so
    that no import starts between the hook and the fork. httpx's import takes
    logging's lock, which logging's own fork hook holds across a fork; hooks
    run latest registered first, so this one is registered after logging's:
    it lets the import finish before logging takes its lock (the other way
    round, both would wait forever). Logging's own import, if it is the
    first, is not waited for: no hook could wait for it before logging's
    hook, registered while it runs, takes that lock."""
    _import_module("logging")
    _BEGUN.add(module)
    _os.register_at_fork(before=_finish_extra_imports)


def _finish_extra_imports() -> None:
    for module in list(_BEGUN):
        if module not in _MISSING:
            try:
                _import_module(module)
            except Exception:
                _MISSING.add(module)


_os.register_at_fork(before=_finish_lazy_imports)


__all__ = ["AsyncRemoteSigner", "AsyncSigner", "BatchSigner", "Document", "InvalidDocument",
           "InvalidKey", "InvalidMessage", "KeyFileWarning", "KeyMismatch", "L1Signature",
           "LimitOrder", "Liquidation", "MalformedSignature", "PanicException", "PolicyRefused",
           "PrivateKey", "PublicKey", "QuilletError", "RemoteSigner", "SignConflict", "Signature",
           "SignedOraclePrice", "Signer", "SignerError", "SignerUnavailable", "SigningFailed",
           "Transfer", "Withdrawal", "__version__"]
