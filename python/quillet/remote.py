"""Signers whose key stays in a signing service (`quillet signer serve`).

    with quillet.RemoteSigner("https://signer.internal:8443", key="desk",
                              token_file="/run/credentials/bot/signer-token",
                              ca="signer-ca.pem") as signer:
        signature = signer.sign(order)          # a quillet.Signer, as a PrivateKey is

`RemoteSigner` is a `quillet.BatchSigner` on one keep-alive HTTP connection
pool (httpx); `AsyncRemoteSigner` has the same methods as coroutines. The
token comes from `token=`, `token_file=` or $QUILLET_SIGNER_TOKEN and never
appears in a repr, an error, an exception's attributes or context, or a
frame of ours.

Nothing the service answers is taken on trust: every signature must verify
under the key's public key for the hash of the document as this process
wrote it (or for the message) before it is returned; a service that answers
otherwise raises SignerError. Its refusals are QuilletErrors: PolicyRefused
(403), SignConflict (409), InvalidDocument or InvalidMessage (400), and
SignerUnavailable for connection errors, time-outs, 429 and 5xx, raised once
the retries are spent. Every call is retried with backoff, since each is
safe to repeat: the service answers a document it signed before with the
same signature, without counting it twice, and message signatures are
deterministic.

Needs the extra: pip install 'quillet_python_sdk[signer]'.
"""

from __future__ import annotations

import asyncio
import ipaddress
import json
import math
import os
import random
import ssl
import time
from collections.abc import AsyncIterator, Generator, Iterable, Iterator
from dataclasses import dataclass
from typing import Any, NoReturn, Self, TypedDict, Unpack
from urllib.parse import quote, urlsplit

try:
    import httpx
except ImportError:
    raise ImportError("quillet.RemoteSigner needs httpx: "
                      "pip install 'quillet_python_sdk[signer]'") from None

from quillet import _batch
from quillet.documents import Document, Kind, key_value, loads, named_key
from quillet.errors import (InvalidDocument, InvalidMessage, KeyMismatch, MalformedSignature,
                            PolicyRefused, QuilletError, SignConflict, SignerError,
                            SignerUnavailable)
from quillet.keys import L1Signature, PublicKey, Signature, signable_text
from quillet.signer import TOKEN_VARIABLE
# The service's own bound on a sign-many request.
MAX_BATCH = 4096
# Largest answer read: a sign-many answer of 4096 refusals is far smaller.
_ANSWER_LIMIT = 32 << 20
_TOKEN_LIMIT = 4096
# Characters of an answer's value that an error quotes.
_SHOWN = 300
# Statuses worth another try: the service said so (429), or it failed.
_RETRIED = frozenset({408, 429, 500, 502, 503, 504})
_BACKOFF_CAP = 5.0
_RETRY_AFTER_CAP = 30.0


class _Token:
    """The bearer token; its repr, str and pickling never show it."""

    __slots__ = ("_text",)
    _text: str

    def __init__(self, text: str) -> None:
        self._text = text

    @classmethod
    def find(cls, token: str | None, token_file: str | os.PathLike[str] | None) -> _Token:
        """The token given, or read from `token_file`, or from $QUILLET_SIGNER_TOKEN.
        No error, nor any frame it leaves, holds the text."""
        if token is not None and token_file is not None:
            raise SignerError("give token or token_file, not both")
        if token is not None:
            found = cls._checked(token)
            origin = "token"
        elif token_file is not None:
            origin = f"token file {os.fspath(token_file)!r}"
            try:
                with open(token_file, "rb") as file:
                    found = cls._checked(file.read(_TOKEN_LIMIT + 1))
            except OSError as error:
                found = f"cannot read it: {error.strerror}"
        elif TOKEN_VARIABLE in os.environ:
            origin = f"${TOKEN_VARIABLE}"
            found = cls._checked(os.environ[TOKEN_VARIABLE])
        else:
            raise SignerError(f"no token: give token=, token_file= or set ${TOKEN_VARIABLE}")
        if isinstance(found, _Token):
            return found
        raise SignerError(f"the {origin} is not a token: {found}")

    @classmethod
    def _checked(cls, raw: object) -> _Token | str:
        """The token of `raw` (one trailing line break dropped), or what is
        wrong with it, told without quoting it. A token goes into a header:
        anything but visible ASCII would make the HTTP library raise an error
        that quotes the header, token and all."""
        if isinstance(raw, bytes):
            if len(raw) > _TOKEN_LIMIT:
                return f"it is longer than {_TOKEN_LIMIT} bytes"
            raw = raw.decode("latin-1")
        if not isinstance(raw, str):
            return f"a token is a str, not {type(raw).__name__}"
        text = raw.removesuffix("\n").removesuffix("\r")
        if not text:
            return "it is empty"
        if not all("!" <= char <= "~" for char in text):
            return ("it holds a character other than visible ASCII (a space, a control "
                    "character, a letter that is not ASCII)")
        return cls(text)

    def __repr__(self) -> str:
        return "<token>"

    def __reduce__(self) -> NoReturn:
        raise TypeError("a signer's token is not pickled")


class _Bearer(httpx.Auth):
    """Adds the token to each request; holds it only in its hidden form."""

    def __init__(self, token: _Token) -> None:
        self._token = token

    def auth_flow(self, request: httpx.Request) -> Generator[httpx.Request, httpx.Response, None]:
        request.headers["Authorization"] = "Bearer " + self._token._text
        yield request

    def __repr__(self) -> str:
        return "<bearer token>"


def _loopback(host: str) -> bool:
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


def _base_url(url: str) -> str:
    """The service's URL without a trailing slash; https, or http to a
    loopback address only (a token sent in clear over a network is given away)."""
    if not isinstance(url, str):
        raise SignerError(f"url must be a str, not {type(url).__name__}")
    parts = urlsplit(url)
    # Checked first, and told without quoting the URL: it may hold a token.
    if "@" in parts.netloc or parts.query or parts.fragment or "?" in url or "#" in url:
        raise SignerError("the signing service's URL takes no user, password, query or "
                          "fragment (the token goes in token=, token_file= or "
                          f"${TOKEN_VARIABLE})")
    if parts.scheme not in ("https", "http") or not parts.hostname:
        raise SignerError(f"{url!r} is not an https:// URL of a signing service")
    if parts.scheme == "http" and not _loopback(parts.hostname):
        raise SignerError(f"{url!r}: plain http is for a loopback address only; the token "
                          "would cross the network in clear")
    return url.rstrip("/")


def _tls(ca: str | os.PathLike[str] | None,
         client_cert: str | os.PathLike[str] | tuple[str | os.PathLike[str],
                                                     str | os.PathLike[str]] | None
         ) -> ssl.SSLContext:
    """The TLS settings: the service's certificate checked against `ca` (or the
    system's authorities); `client_cert` a PEM file holding the certificate
    and its key, or (certificate file, key file), for mutual TLS."""
    problem = None
    try:
        context = ssl.create_default_context(cafile=ca)
        if client_cert is not None:
            certificate, key = client_cert if isinstance(client_cert, tuple) else (client_cert,
                                                                                   None)
            context.load_cert_chain(certificate, key)
    except (OSError, ValueError) as error:  # ssl.SSLError is an OSError
        problem = getattr(error, "strerror", None) or getattr(error, "reason", None) or str(error)
    if problem is not None:
        raise SignerError(f"cannot load the TLS files (ca={ca!r}, client_cert="
                          f"{client_cert!r}): {problem}")
    return context


def _tls_failure(error: BaseException) -> str | None:
    """What TLS refused, when `error` comes from a certificate check (ours of
    the service's, or the service's of ours), not from a lost connection."""
    seen: BaseException | None = error
    for _ in range(8):  # the chain httpx and httpcore build is short
        if seen is None:
            return None
        if isinstance(seen, ssl.SSLError) and not isinstance(
                seen, (ssl.SSLEOFError, ssl.SSLZeroReturnError, ssl.SSLSyscallError)):
            return getattr(seen, "verify_message", None) or seen.reason or str(seen)
        seen = seen.__cause__ or seen.__context__
    return None


# --- what the service answers --------------------------------------------------

def _text(value: object) -> str:
    """A value of the service's answer, as an error shows it (cut short)."""
    text = value if isinstance(value, str) else json.dumps(value)
    return text if len(text) <= _SHOWN else f"{text[:_SHOWN]}… ({len(text)} characters)"


def refusal(status: int, body: object, *, message: bool = False,
            retry_after: float | None = None) -> QuilletError:
    """The error of a refused request (or sign-many item) with this status
    and body, as the API writes them."""
    fields = body if isinstance(body, dict) else {}
    if status == 400:
        detail = fields.get("detail")
        text = _text(detail) if detail is not None else "the request is malformed"
        if message:
            return InvalidMessage(f"refused by the signing service: {text}")
        return InvalidDocument(f"refused by the signing service: {text}")
    if status == 401:
        return SignerError("the signing service refused the credentials (401): check the "
                           "token, and the client certificate if it asks for one", status=401)
    if status == 403 and fields.get("error") == "policy":
        rule = fields.get("rule")
        field, limit, value = fields.get("field"), fields.get("limit"), fields.get("value")
        said = f"refused by the signing service's policy: rule {_text(rule)}"
        if field is not None:
            said += f", field {_text(field)}"
        if value is not None:
            said += f": {_text(value)}"
        if limit is not None:
            said += f" (limit {_text(limit)})"
        return PolicyRefused(said, rule=str(rule), field=None if field is None else str(field),
                             limit=limit, value=value, status=403)
    if status == 409:
        earlier = fields.get("hash")
        return SignConflict("the signing service signed another document with this key, kind "
                            f"and nonce before (hash {_text(earlier)}): this one is never signed",
                            hash=earlier if isinstance(earlier, str) else None)
    if status == 413:
        return SignerError("the request is larger than the signing service accepts (413): "
                           "send fewer documents at once (max_batch=)", status=413)
    if status in _RETRIED:
        what = {429: "is busy (429)", 408: "timed the request out (408)"}.get(
            status, f"failed ({status})")
        return SignerUnavailable(f"the signing service {what}", status=status,
                                 retry_after=retry_after)
    return SignerError(f"the signing service answered {status} "
                       f"({_text(fields.get('error', 'no error name'))})", status=status)


def _retry_after(response: httpx.Response) -> float | None:
    try:
        seconds: float = float(response.headers.get("Retry-After", ""))
    except ValueError:
        return None  # an HTTP date, or nothing: the backoff decides
    return min(max(seconds, 0.0), _RETRY_AFTER_CAP) if math.isfinite(seconds) else None


def _wrong(what: str) -> SignerError:
    return SignerError(f"the signing service's answer is not what the API says: {what}",
                       status=200)


def _field(data: object, *names: str) -> Any:
    for name in names:
        if not isinstance(data, dict) or name not in data:
            raise _wrong(f"no {'.'.join(names)}")
        data = data[name]
    return data


def _same_hash(answered: object, digest: str) -> None:
    if not isinstance(answered, str) or key_value(answered) != key_value(digest):
        raise _wrong(f"the hash {_text(answered)} is not the document's ({digest})")


def _signature(data: object) -> Signature:
    try:
        return Signature(_field(data, "r"), _field(data, "s"))
    except MalformedSignature as error:
        message = str(error)
    raise _wrong(f"a malformed signature ({message})")


@dataclass(frozen=True, slots=True)
class _Call:
    """One request of an operation: method, path below /v1, JSON body."""

    method: str
    path: str
    body: object = None
    message: bool = False  # a 400 is about the message, not a document


# Each operation is a generator that yields the requests it needs and gets
# their answers (the parsed JSON of a 200) back, so that one body of code
# serves the blocking and the asyncio signer.
Steps = Generator[_Call, Any, Any]


def _retry_delay(attempt: int, backoff: float, failure: SignerUnavailable) -> float:
    if failure.retry_after is not None:
        return failure.retry_after
    return min(_BACKOFF_CAP, backoff * (1 << attempt)) * (0.5 + random.random() / 2)


class Options(TypedDict, total=False):
    """The keyword options of a remote signer, beside url and key."""

    token: str | None
    token_file: str | os.PathLike[str] | None
    ca: str | os.PathLike[str] | None
    client_cert: str | os.PathLike[str] | tuple[str | os.PathLike[str],
                                                 str | os.PathLike[str]] | None
    timeout: float
    retries: int
    backoff: float
    max_batch: int


class _Remote:
    """What the two signers share: settings, checks and the operations."""

    _public: PublicKey | None

    def __init__(self, url: str, *, key: str, token: str | None = None,
                 token_file: str | os.PathLike[str] | None = None,
                 ca: str | os.PathLike[str] | None = None,
                 client_cert: str | os.PathLike[str] | tuple[str | os.PathLike[str],
                                                             str | os.PathLike[str]] | None = None,
                 timeout: float = 10.0, retries: int = 3, backoff: float = 0.2,
                 max_batch: int = MAX_BATCH) -> None:
        secret = _Token.find(token, token_file)
        del token  # from here on only in `secret`, whose repr hides it
        if not isinstance(key, str) or not key:
            raise SignerError(f"key must be the name of a key of the service, not {key!r}")
        for name, number, least in (("timeout", timeout, 0), ("backoff", backoff, 0)):
            if isinstance(number, bool) or not isinstance(number, (int, float)) or \
                    not least < number < float("inf"):
                raise SignerError(f"{name} must be a positive number of seconds, not {number!r}")
        for name, count, least in (("retries", retries, 0), ("max_batch", max_batch, 1)):
            if isinstance(count, bool) or not isinstance(count, int) or count < least:
                raise SignerError(f"{name} must be an int of at least {least}, not {count!r}")
        self.url = _base_url(url)
        self.key = key
        https = self.url.startswith("https:")
        if not https and (ca is not None or client_cert is not None):
            raise SignerError("ca and client_cert are for an https URL")
        self._settings: dict[str, Any] = {
            "auth": _Bearer(secret), "timeout": httpx.Timeout(timeout), "trust_env": False,
            "follow_redirects": False, "verify": _tls(ca, client_cert) if https else False,
            "headers": {"Accept": "application/json"}}
        self._path = f"/v1/keys/{quote(key, safe='')}"
        self._timeout = timeout
        self._retries = retries
        self._backoff = backoff
        self._max_batch = max_batch
        self._public = None
        self._open()

    def _open(self) -> None:
        """Makes the HTTP client (and for a blocking signer, fetches the key)."""
        raise NotImplementedError

    def __repr__(self) -> str:
        return f"{type(self).__name__}(url={self.url!r}, key={self.key!r})"

    def __reduce__(self) -> NoReturn:
        raise TypeError(f"a {type(self).__name__} is not pickled (it would write its token); "
                        "make one in each process")

    @property
    def public_key(self) -> PublicKey:
        """The public key of the service's key `key`."""
        if self._public is None:
            raise SignerError(f"{self!r} has not fetched its public key yet: use "
                              f"`await {type(self).__name__}.connect(...)`, `async with`, or "
                              "sign once first")
        return self._public

    # --- the operations, as steps ---

    def _key_steps(self) -> Steps:
        if self._public is not None:
            return self._public
        answer = yield _Call("GET", "/v1/keys")
        keys = _field(answer, "keys")
        if not isinstance(keys, list):
            raise _wrong("keys is not a list")
        for entry in keys:
            if isinstance(entry, dict) and entry.get("name") == self.key:
                pair = _field(entry, "public_key")
                try:
                    public = PublicKey(_field(pair, "x"), _field(pair, "y"))
                except QuilletError as error:
                    problem = str(error)
                else:
                    self._public = public
                    return public
                raise _wrong(f"the public key of {self.key!r} is not a usable key: {problem}")
        raise PolicyRefused(f"the signing service offers this client no key named {self.key!r}",
                            rule="keys", value=self.key)

    def _check_names(self, public: PublicKey, document: object) -> Document:
        if not isinstance(document, Document):
            raise TypeError(f"sign() takes a document, not {type(document).__name__}; "
                            "use sign_message for a message integer")
        named = named_key(document)
        if named != public.x and key_value(named) != key_value(public.x):
            raise KeyMismatch(str(named), public.x)
        return document

    def _sign_steps(self, document: Document) -> Steps:
        public = yield from self._key_steps()
        self._check_names(public, document)
        answer = yield _Call("POST", self._path + "/sign",
                             {"kind": document.KIND, "document": document.to_dict()})
        return self._checked(public, document.hash(), _field(answer, "hash"),
                             _field(answer, "signature"))

    def _checked(self, public: PublicKey, digest: str, answered: object,
                 signature: object) -> Signature:
        """The answer's signature, if it verifies under the key for `digest`
        (the hash this process computed) and the answer names that hash."""
        _same_hash(answered, digest)
        return self._verified(public, digest, _signature(signature))

    @staticmethod
    def _verified(public: PublicKey, message: str, signature: Signature) -> Signature:
        try:
            valid = public.verify(signature, message)
        except MalformedSignature:
            valid = False
        if not valid:
            raise _wrong(f"the signature does not verify under {public.x} for {message}")
        return signature

    def _message_steps(self, msg: str | int, route: str) -> Steps:
        text = signable_text(msg)
        public = yield from self._key_steps()
        answer = yield _Call("POST", f"{self._path}/{route}", {"message": text}, message=True)
        if route == "sign-message":
            return self._verified(public, text, _signature(_field(answer, "signature")))
        fields = _field(answer, "signature")
        try:
            l1 = L1Signature(*(_field(fields, name) for name in ("x", "y", "s", "pk_x", "pk_y")))
            valid = l1.public_key == public and l1.verify(text)
        except QuilletError:
            valid = False
        if not valid:
            raise _wrong(f"the L1 signature does not verify under {public.x} for {text}")
        return l1

    def _each_steps(self, documents: Iterable[Document]) -> Steps:
        """Each document's signature, or the error that refused it: one
        request per kind and max_batch documents; a document naming another
        key is not sent (KeyMismatch)."""
        items = _listed(documents)
        public = yield from self._key_steps()
        results: list[Signature | QuilletError | None] = [None] * len(items)
        by_kind: dict[Kind, list[int]] = {}
        for index, document in enumerate(items):
            try:
                by_kind.setdefault(self._check_names(public, document).KIND, []).append(index)
            except TypeError as error:
                error.add_note(f"batch item {index}")
                raise
            except KeyMismatch as error:
                results[index] = error
        for kind, indexes in by_kind.items():
            for start in range(0, len(indexes), self._max_batch):
                chosen = indexes[start:start + self._max_batch]
                docs = [items[i] for i in chosen]
                answer = yield _Call("POST", self._path + "/sign-many",
                                     {"kind": kind, "documents": [d.to_dict() for d in docs]})
                answers = _field(answer, "results")
                if not isinstance(answers, list) or len(answers) != len(chosen):
                    raise _wrong(f"{len(chosen)} documents sent, not as many results")
                digests = _batch.hash_many(kind, [d.to_json() for d in docs])
                self._results(public, chosen, digests, answers, results)
        return results

    def _results(self, public: PublicKey, chosen: list[int], digests: list[str],
                 answers: list[object], results: list[Signature | QuilletError | None]) -> None:
        """Each sign-many result, in place: its refusal, or its signature once
        checked. The signatures are verified together (one random linear
        combination, as batch.verify_many), each alone if any fails."""
        signed: list[tuple[int, str, Signature]] = []
        for i, digest, result in zip(chosen, digests, answers):
            if isinstance(result, dict) and "error" in result:
                status = result.get("status")
                results[i] = refusal(status if isinstance(status, int) else 0, result["error"])
                continue
            try:
                _same_hash(_field(result, "hash"), digest)
                signed.append((i, digest, _signature(_field(result, "signature"))))
            except SignerError as error:
                results[i] = error
        try:
            valid = all(_batch.verify_many([(signature.r, signature.s, public.x, public.y, digest)
                                            for _, digest, signature in signed]))
        except ValueError:  # a malformed signature: each is checked alone below
            valid = False
        for i, digest, signature in signed:
            try:
                results[i] = signature if valid else self._verified(public, digest, signature)
            except SignerError as error:
                results[i] = error

    # --- sending, with retries ---

    def _answer(self, call: _Call, response: httpx.Response, data: bytes) -> Any:
        """The JSON of a 200 answer, or the error of any other."""
        if response.status_code == 200:
            try:
                return loads(data)
            except InvalidDocument as error:
                problem = str(error)
            raise _wrong(f"not JSON ({problem})")
        try:
            body = loads(data)
        except InvalidDocument:
            body = None
        raise refusal(response.status_code, body, message=call.message,
                      retry_after=_retry_after(response))

    def _unreachable(self, error: httpx.HTTPError) -> SignerUnavailable | SignerError:
        """The error of a request that got no answer (called in the handler:
        the result is raised outside it, with no context)."""
        tls = _tls_failure(error)
        if tls is not None:  # a certificate refused: trying again changes nothing
            return SignerError(f"TLS with the signing service at {self.url} failed: {tls}")
        if isinstance(error, httpx.TimeoutException):
            return SignerUnavailable(f"the signing service at {self.url} did not answer within "
                                     f"{self._timeout} s ({type(error).__name__})")
        if isinstance(error, httpx.TransportError):
            return SignerUnavailable(f"cannot reach the signing service at {self.url}: "
                                     f"{error or type(error).__name__}")
        return SignerError(f"the request to the signing service failed: "
                           f"{error or type(error).__name__}")

    @staticmethod
    def _content(call: _Call) -> bytes | None:
        return None if call.body is None else \
            json.dumps(call.body, separators=(",", ":")).encode()

    @staticmethod
    def _headers(call: _Call) -> dict[str, str] | None:
        return None if call.body is None else {"Content-Type": "application/json"}

    def _settled(self, call: _Call, response: httpx.Response, data: bytes | None) -> Any:
        """The answer of one try: its JSON, or the SignerUnavailable that a
        retry may cure (returned); any other error is raised."""
        if data is None:
            raise _wrong(f"an answer longer than {_ANSWER_LIMIT} bytes")
        try:
            return self._answer(call, response, data)
        except SignerUnavailable as error:
            return error


def _listed(items: Iterable[object]) -> list[Any]:
    if isinstance(items, (str, bytes, bytearray)):
        raise TypeError(f"documents must be an iterable such as a list, not "
                        f"'{type(items).__name__}'")
    return list(items)


def _first_failure(results: list[Signature | QuilletError]) -> list[Signature]:
    for index, result in enumerate(results):
        if isinstance(result, QuilletError):
            result.add_note(f"batch item {index}")
            raise result
    return results  # type: ignore[return-value]  # every item a Signature


class RemoteSigner(_Remote):
    """A quillet.BatchSigner whose key `key` is held by the signing service at
    `url`. Fetches the key's public key at construction (a bad token or key
    name fails here). Safe to share between threads; close() (or `with`)
    closes its connections.

    `token`, `token_file` or $QUILLET_SIGNER_TOKEN: the client's token. `ca`:
    the PEM file of the authority that signed the service's certificate
    (default: the system's). `client_cert`: for mutual TLS, a PEM file with
    the certificate and its key, or (certificate file, key file). `timeout`:
    seconds per request; `retries` more tries after a connection error,
    time-out, 408, 429 or 5xx, waiting about backoff·2^n seconds (or what
    Retry-After says); `max_batch`: documents per sign-many request."""

    _client: httpx.Client

    def _open(self) -> None:
        self._client = httpx.Client(**self._settings)
        try:
            self._run(self._key_steps())
        except BaseException:
            self._client.close()
            raise

    def sign(self, document: Document) -> Signature:
        """The signature of a document, checked here. KeyMismatch if it names
        another key (nothing is sent); PolicyRefused, SignConflict,
        SignerUnavailable as the service answers."""
        return self._run(self._sign_steps(document))  # type: ignore[no-any-return]

    def sign_message(self, msg: str | int) -> Signature:
        """The signature of a message integer (message 0 refused here)."""
        return self._run(self._message_steps(msg, "sign-message"))  # type: ignore[no-any-return]

    def eth_sign(self, msg: str | int) -> L1Signature:
        """The L1 signature of a message integer."""
        return self._run(self._message_steps(msg, "eth-sign"))  # type: ignore[no-any-return]

    def sign_each(self, documents: Iterable[Document]) -> list[Signature | QuilletError]:
        """Each document's signature, or the error that refused it (every item
        tried): one request per kind and max_batch documents."""
        return self._run(self._each_steps(documents))  # type: ignore[no-any-return]

    def sign_many(self, documents: Iterable[Document]) -> list[Signature]:
        """[self.sign(doc) for doc in documents] in as few requests as
        sign_each; the first refused item's error is raised, noted "batch
        item N" (the others were signed all the same)."""
        return _first_failure(self.sign_each(documents))

    def close(self) -> None:
        """Closes the connections; the signer is not used afterwards."""
        self._client.close()

    def __enter__(self) -> Self:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def _run(self, steps: Steps) -> Any:
        try:
            call = next(steps)
            while True:
                call = steps.send(self._send(call))
        except StopIteration as done:
            return done.value

    def _send(self, call: _Call) -> Any:
        for attempt in range(self._retries + 1):
            failure: SignerError
            try:
                with self._client.stream(call.method, self.url + call.path,
                                         content=self._content(call),
                                         headers=self._headers(call)) as response:
                    data = self._read(response.iter_bytes())
            except httpx.HTTPError as error:
                failure = self._unreachable(error)
            else:
                answer = self._settled(call, response, data)
                if not isinstance(answer, SignerUnavailable):
                    return answer
                failure = answer
            if not isinstance(failure, SignerUnavailable) or attempt == self._retries:
                break
            time.sleep(_retry_delay(attempt, self._backoff, failure))
        raise failure

    @staticmethod
    def _read(chunks: Iterator[bytes]) -> bytes | None:
        data = bytearray()
        for chunk in chunks:
            data += chunk
            if len(data) > _ANSWER_LIMIT:
                return None
        return bytes(data)



class AsyncRemoteSigner(_Remote):
    """RemoteSigner's methods as coroutines, for asyncio programs (a
    quillet.AsyncSigner). Make it with `await AsyncRemoteSigner.connect(url,
    key=..., ...)` or `async with AsyncRemoteSigner(url, key=..., ...)`, which
    fetch the public key; otherwise the first call fetches it. Use it in one
    event loop; `await close()` closes its connections."""

    _client: httpx.AsyncClient

    def _open(self) -> None:
        self._client = httpx.AsyncClient(**self._settings)

    @classmethod
    async def connect(cls, url: str, *, key: str, **options: Unpack[Options]
                      ) -> AsyncRemoteSigner:
        """A signer whose public key is fetched already (options as for
        RemoteSigner)."""
        signer = cls(url, key=key, **options)
        del options  # the token, if given, is in `signer` alone from here on
        try:
            await signer._run(signer._key_steps())
        except BaseException:
            await signer.close()
            raise
        return signer

    async def sign(self, document: Document) -> Signature:
        """As RemoteSigner.sign."""
        return await self._run(self._sign_steps(document))  # type: ignore[no-any-return]

    async def sign_message(self, msg: str | int) -> Signature:
        """As RemoteSigner.sign_message."""
        return await self._run(  # type: ignore[no-any-return]
            self._message_steps(msg, "sign-message"))

    async def eth_sign(self, msg: str | int) -> L1Signature:
        """As RemoteSigner.eth_sign."""
        return await self._run(self._message_steps(msg, "eth-sign"))  # type: ignore[no-any-return]

    async def sign_each(self, documents: Iterable[Document]) -> list[Signature | QuilletError]:
        """As RemoteSigner.sign_each."""
        return await self._run(self._each_steps(documents))  # type: ignore[no-any-return]

    async def sign_many(self, documents: Iterable[Document]) -> list[Signature]:
        """As RemoteSigner.sign_many."""
        return _first_failure(await self.sign_each(documents))

    async def close(self) -> None:
        """Closes the connections."""
        await self._client.aclose()

    async def __aenter__(self) -> Self:
        try:
            await self._run(self._key_steps())
        except BaseException:
            await self.close()
            raise
        return self

    async def __aexit__(self, *exc_info: object) -> None:
        await self.close()

    async def _run(self, steps: Steps) -> Any:
        try:
            call = next(steps)
            while True:
                call = steps.send(await self._send(call))
        except StopIteration as done:
            return done.value

    async def _send(self, call: _Call) -> Any:
        for attempt in range(self._retries + 1):
            failure: SignerError
            try:
                async with self._client.stream(
                        call.method, self.url + call.path, content=self._content(call),
                        headers=self._headers(call)) as response:
                    data = await self._read(response.aiter_bytes())
            except httpx.HTTPError as error:
                failure = self._unreachable(error)
            else:
                answer = self._settled(call, response, data)
                if not isinstance(answer, SignerUnavailable):
                    return answer
                failure = answer
            if not isinstance(failure, SignerUnavailable) or attempt == self._retries:
                break
            await asyncio.sleep(_retry_delay(attempt, self._backoff, failure))
        raise failure

    @staticmethod
    async def _read(chunks: AsyncIterator[bytes]) -> bytes | None:
        data = bytearray()
        async for chunk in chunks:
            data += chunk
            if len(data) > _ANSWER_LIMIT:
                return None
        return bytes(data)


__all__ = ["MAX_BATCH", "TOKEN_VARIABLE", "AsyncRemoteSigner", "RemoteSigner", "refusal"]
