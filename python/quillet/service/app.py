"""The HTTP API (version 1), as a Starlette application.

Each signing request is checked in this order, and the first check that
fails answers:

1. authentication: the bearer token against every client's salted hash (and
   with mutual TLS, the certificate's name against the client's): 401,
   whatever failed;
2. the key: one of the client's keys, else 403 rule "keys", before the body
   is read, for unknown and forbidden names alike (no probing);
3. the client's rate: 429 with Retry-After;
4. the body, bounded in size (413) and time (408), read once by the strict
   reading (`loads`): 400 for what it refuses;
5. the request's fields and kind: 400, or 403 rule "kinds" / "unrestricted";
6. each document, by the typed documents' validation (400, the field
   named), the key it names (403 rule "named_key") and the policy (403);
7. the journal's transaction (quillet.service.storage): the double-sign
   guard (409), the daily caps (403 rule "max_amount_per_day"), the rows
   committed before any answer leaves (503 when the database fails: then
   nothing signed is answered).

What is signed is the typed document's own JSON, never the client's text:
the values the policy approved are exactly the values the signature binds.
"""

from __future__ import annotations

import asyncio
import collections
import contextlib
import math
import time
from collections.abc import AsyncIterator, Awaitable, Callable
from dataclasses import dataclass, field
from typing import Any, cast

from starlette.applications import Starlette
from starlette.exceptions import HTTPException
from starlette.requests import ClientDisconnect, Request
from starlette.responses import JSONResponse, Response
from starlette.routing import Route

from quillet import batch
from quillet.documents import KINDS, Document, Kind, loads, read_value
from quillet.errors import InvalidDocument, InvalidMessage, KeyMismatch
from quillet.keys import PrivateKey, signable_text
from quillet.service import policy
from quillet.service.config import ClientConfig, Config, KindRules
from quillet.service.observe import CONTENT_TYPE_LATEST, Metrics, event
from quillet.service.policy import Refusal
from quillet.service.protocol import PEER_NAME
from quillet.service.storage import (Conflict, Entry, Journal, JournalError, Outcome, Rejected,
                                     Signed)

# A key name as the journal and the logs keep it when it is no key of the client.
_SHOWN_NAME = 64
# Batches this large are prepared (read, checked, hashed, signed) on a worker
# thread, so that the event loop goes on serving others meanwhile.
_THREADED = 16
# What a daily cap counts, per kind: the field an over-cap refusal names.
_AMOUNT_FIELD = {"limit_order": "amount_collateral",
                 "liquidate": "liquidator_order.amount_collateral",
                 "transfer": "amount", "withdraw": "amount"}
_MESSAGE_KINDS = {"sign-message": "message", "eth-sign": "eth_sign"}


def _answer(status: int, body: dict[str, Any], headers: dict[str, str] | None = None) -> Response:
    return JSONResponse(body, status_code=status, headers=headers)


def _bad_request(detail: str) -> Response:
    return _answer(400, {"error": "bad_request", "detail": detail})


_UNAUTHORIZED = {"error": "unauthorized"}
_UNAVAILABLE = {"error": "unavailable"}


class _Refused(Exception):
    """A request refused before its documents: the answer, and whether the
    refusal is a journal row (it is for every decision about a known client,
    except the rate limit's)."""

    def __init__(self, status: int, body: dict[str, Any], *, kind: str | None = None,
                 recorded: bool = True, headers: dict[str, str] | None = None) -> None:
        super().__init__(body.get("rule") or body.get("error"))
        self.status = status
        self.body = body
        self.kind = kind
        self.recorded = recorded
        self.headers = headers


class _RateWindow:
    """A client's requests of the last minute (a sliding window)."""

    def __init__(self, per_minute: int) -> None:
        self.per_minute = per_minute
        self.times: collections.deque[float] = collections.deque()

    def admit(self, now: float) -> float | None:
        """None, counting this request; or the seconds until one is admitted."""
        while self.times and self.times[0] <= now - 60.0:
            self.times.popleft()
        if len(self.times) >= self.per_minute:
            return self.times[0] + 60.0 - now
        self.times.append(now)
        return None


@dataclass
class _Log:
    """The fields of a request's log line, filled as it goes."""

    route: str
    client: str | None = None
    key: str | None = None
    kind: str | None = None
    rule: str | None = None
    hash: str | None = None
    count: int | None = None
    refused: int | None = None
    extra: dict[str, Any] = field(default_factory=dict)


@dataclass
class _Prepared:
    """A batch after the checks that need no database: per document, its
    answer when refused; the entries to journal, and whose they are."""

    results: list[tuple[int, dict[str, Any]] | None]
    entries: list[Entry]
    positions: list[int]
    rejected: list[Rejected]


class Service:
    """The routes' state: configuration, unlocked keys, journal, metrics."""

    def __init__(self, config: Config, keys: dict[str, PrivateKey], journal: Journal,
                 metrics: Metrics | None = None) -> None:
        self.config = config
        self.server = config.server
        self.keys = keys
        self.journal = journal
        self.metrics = metrics or Metrics()
        self.clients = list(config.clients.values())
        self.windows = {client.name: _RateWindow(client.max_requests_per_minute)
                        for client in self.clients if client.max_requests_per_minute}

    # --- the checks every route shares ---

    def authenticate(self, request: Request) -> ClientConfig:
        header = request.headers.get("authorization", "")
        scheme, _, token = header.partition(" ")
        found: list[ClientConfig] = []
        if scheme.lower() == "bearer" and token.strip().isascii():
            secret = token.strip().encode("ascii")
            # Every client's hash is compared: the time does not tell which matched.
            found = [client for client in self.clients if client.token_hash.matches(secret)]
        client = found[0] if len(found) == 1 else None
        if client is not None and self.server.client_ca is not None and \
                getattr(request.state, PEER_NAME, None) != client.tls_common_name:
            client = None
        if client is None:
            raise _Refused(401, _UNAUTHORIZED, recorded=False,
                           headers={"WWW-Authenticate": "Bearer"})
        return client

    def caller(self, request: Request, log: _Log) -> tuple[ClientConfig, str, PrivateKey]:
        """The client, the key's name and the key of a request on a key's
        route: authenticated, the key one of the client's, the rate within
        bounds; the body still unread."""
        client = self.authenticate(request)
        log.client = client.name
        name = request.path_params["name"]
        if name not in client.keys:
            raise _Refused(403, Refusal("keys", None, None, name[:_SHOWN_NAME]).body())
        log.key = name
        self.admit(client)
        return client, name, self.keys[name]

    def admit(self, client: ClientConfig) -> None:
        window = self.windows.get(client.name)
        wait = window.admit(time.monotonic()) if window is not None else None
        if wait is not None:
            raise _Refused(429, {"error": "rate_limited"}, recorded=False,
                           headers={"Retry-After": str(max(1, math.ceil(wait)))})

    async def body(self, request: Request, outer: int) -> dict[str, Any]:
        """The request's JSON object, read within the size and time bounds."""
        limit = self.server.max_body_bytes
        close = {"Connection": "close"}  # the rest of an unread body is not waited for
        too_large = _Refused(413, {"error": "too_large", "limit": str(limit)}, headers=close)
        length = request.headers.get("content-length")
        if length is not None and length.isdigit() and int(length) > limit:
            raise too_large
        data = bytearray()
        try:
            async with asyncio.timeout(self.server.request_timeout):
                async for chunk in request.stream():
                    data += chunk
                    if len(data) > limit:
                        raise too_large
        except TimeoutError:
            raise _Refused(408, {"error": "timeout", "detail": "the body did not arrive in "
                                 f"{self.server.request_timeout:g} s"},
                           recorded=False, headers=close) from None
        try:
            value = loads(bytes(data), outer=outer)
        except InvalidDocument as error:
            raise _Refused(400, {"error": "bad_request", "detail": str(error)}) from None
        if not isinstance(value, dict):
            raise _Refused(400, {"error": "bad_request", "detail": "the body is a JSON object"})
        return value

    @staticmethod
    def fields(value: dict[str, Any], names: tuple[str, ...]) -> None:
        for name in value:
            if name not in names:
                raise _Refused(400, {"error": "bad_request", "detail": f"unknown field {name!r} "
                                     f"(expected {', '.join(names)})"})
        for name in names:
            if name not in value:
                raise _Refused(400, {"error": "bad_request", "detail": f"{name}: missing"})

    def kind_rules(self, client: ClientConfig, kind: object) -> tuple[str, KindRules]:
        if not isinstance(kind, str) or kind not in KINDS:
            raise _Refused(400, {"error": "bad_request", "detail": f"kind: unknown kind "
                                 f"{kind!r} (expected one of {', '.join(KINDS)})"})
        rules = policy.section(client, kind)
        if isinstance(rules, Refusal):
            raise _Refused(403, rules.body(), kind=kind)
        return kind, rules

    # --- the documents ---

    def prepare(self, key: PrivateKey, kind: str, rules: KindRules,
                values: list[Any]) -> _Prepared:
        """Reads and checks each document, then hashes and signs the ones that
        passed (signatures are deterministic: signing before the journal's
        transaction only moves the work out of it; none leaves unless its row
        commits)."""
        now = int(time.time())
        results: list[tuple[int, dict[str, Any]] | None] = [None] * len(values)
        readable: list[tuple[int, Document]] = []
        passed: list[bool] = []
        for index, value in enumerate(values):
            try:
                document = read_value(kind, value)
            except InvalidDocument as error:
                results[index] = (400, {"error": "bad_request", "detail": str(error)})
                continue
            refusal: Refusal | None
            try:
                key.check_names(document)
                refusal = policy.check(rules, document, now)
            except KeyMismatch as error:
                refusal = Refusal("named_key", policy.NAMED_KEY_FIELD.get(kind, "public_key"),
                                  key.public_key.x, error.named)
            if refusal is not None:
                results[index] = (refusal.status, refusal.body())
            readable.append((index, document))
            passed.append(refusal is None)
        documents = [document for _, document in readable]
        # One document's own call costs a third of a batch call of one.
        hashes = [document.hash() for document in documents] if len(documents) < 2 else \
            batch.hash_many(cast(Kind, kind), documents, threads=1)
        signed = [document for document, ok in zip(documents, passed) if ok]
        signatures = iter(key.sign_many(signed) if len(signed) > 1 else
                          [key.sign(document) for document in signed])
        entries: list[Entry] = []
        positions: list[int] = []
        rejected: list[Rejected] = []
        cap = rules.max_amount_per_day
        for (index, document), hash_, ok in zip(readable, hashes, passed):
            if not ok:
                status, body = results[index]  # type: ignore[misc]
                rejected.append(Rejected(kind, hash_, document.to_json(), status, body))
                continue
            signature = next(signatures)
            counted = policy.velocity_amount(document)
            entries.append(Entry(kind, policy.nonce_key(document), hash_, document.to_json(),
                                 signature.r, signature.s,
                                 counted[0] if counted else None,
                                 counted[1] if counted else None, cap, _AMOUNT_FIELD.get(kind)))
            positions.append(index)
        for index, result in enumerate(results):
            if result is not None and result[0] == 400:
                rejected.append(Rejected(kind, None, None, 400, result[1]))
        return _Prepared(results, entries, positions, rejected)

    async def commit(self, client: ClientConfig, name: str, key: PrivateKey,
                     entries: list[Entry], rejected: list[Rejected]) -> list[Outcome]:
        try:
            async with asyncio.timeout(self.server.request_timeout):
                return await self.journal.commit(client.name, name, key.public_key.x, entries,
                                                 rejected)
        except (JournalError, TimeoutError) as error:
            self.metrics.database_errors.inc()
            raise _Refused(503, _UNAVAILABLE, recorded=False) from error

    async def record(self, client: ClientConfig, name: str | None, refusal: _Refused) -> None:
        """A refusal decided before any document, as a journal row."""
        try:
            async with asyncio.timeout(self.server.request_timeout):
                await self.journal.commit(
                    client.name, name or "", "", [],
                    [Rejected(refusal.kind, None, None, refusal.status, refusal.body)])
        except (JournalError, TimeoutError) as error:
            self.metrics.database_errors.inc()
            raise _Refused(503, _UNAVAILABLE, recorded=False) from error

    # --- the routes ---

    async def health(self, request: Request, log: _Log) -> Response:
        try:
            async with asyncio.timeout(self.server.database_timeout + 1.0):
                ok = await self.journal.healthy()
        except TimeoutError:
            ok = False
        if ok:
            return _answer(200, {"status": "ok"})
        return _answer(503, {"status": "unavailable"})

    async def list_keys(self, request: Request, log: _Log) -> Response:
        client = self.authenticate(request)
        log.client = client.name
        self.admit(client)
        return _answer(200, {"keys": [{"name": name, "public_key": {
            "x": self.keys[name].public_key.x, "y": self.keys[name].public_key.y}}
            for name in client.keys]})

    async def metrics_text(self, request: Request, log: _Log) -> Response:
        client = self.authenticate(request)
        log.client = client.name
        if not client.monitor:
            raise _Refused(403, Refusal("monitor").body(), recorded=False)
        return Response(self.metrics.render(), media_type=CONTENT_TYPE_LATEST)

    async def sign(self, request: Request, log: _Log, many: bool) -> Response:
        client, name, key = self.caller(request, log)
        value = await self.body(request, outer=2 if many else 1)
        member = "documents" if many else "document"
        self.fields(value, ("kind", member))
        kind, rules = self.kind_rules(client, value["kind"])
        log.kind = kind
        values = value[member] if many else [value[member]]
        if many and not isinstance(values, list):
            raise _Refused(400, {"error": "bad_request", "detail": "documents: an array"},
                           kind=kind)
        if len(values) > self.server.max_batch:
            raise _Refused(400, {"error": "bad_request", "detail": f"documents: at most "
                                 f"{self.server.max_batch} in one request"}, kind=kind)
        if len(values) >= _THREADED:
            prepared = await asyncio.to_thread(self.prepare, key, kind, rules, values)
        else:
            prepared = self.prepare(key, kind, rules, values)
        results = prepared.results
        if prepared.entries or prepared.rejected:
            outcomes = await self.commit(client, name, key, prepared.entries, prepared.rejected)
            for index, outcome in zip(prepared.positions, outcomes):
                results[index] = _outcome(outcome)
        answers = [result for result in results if result is not None]  # every one is set
        signed = sum(1 for status, _ in answers if status == 200)
        self.metrics.signatures.labels(kind).inc(signed)
        for status, body in answers:
            if status != 200:
                self.metrics.refusals.labels(body.get("rule") or body["error"]).inc()
        if not many:
            status, body = answers[0]
            log.hash = body.get("hash")
            log.rule = None if status == 200 else body.get("rule") or body.get("error")
            return _answer(status, body)
        log.count = len(results)
        log.refused = len(results) - signed
        return _answer(200, {"results": [
            body if status == 200 else {"error": body, "status": status}
            for status, body in answers]})

    async def sign_message(self, request: Request, log: _Log, route: str) -> Response:
        client, name, key = self.caller(request, log)
        kind = _MESSAGE_KINDS[route]
        log.kind = kind
        if not client.messages:
            raise _Refused(403, Refusal("messages").body(), kind=kind)
        value = await self.body(request, outer=0)
        self.fields(value, ("message",))
        message = value["message"]
        try:
            if not isinstance(message, str):
                raise InvalidMessage("message: a hex text (\"0x\" and up to 64 hex digits)")
            text = "0x%064x" % int(signable_text(message).removeprefix("0x"), 16)
        except InvalidMessage as error:
            raise _Refused(400, {"error": "bad_request", "detail": str(error)},
                           kind=kind) from None
        if kind == "message":
            signature = key.sign_message(text)
            r, s, answer = signature.r, signature.s, {"r": signature.r, "s": signature.s}
        else:
            l1 = key.eth_sign(text)
            packed = l1.to_signature()  # the journal keeps the packed form
            r, s = packed.r, packed.s
            answer = {"x": l1.x, "y": l1.y, "s": l1.s, "pk_x": l1.pk_x, "pk_y": l1.pk_y}
        (outcome,) = await self.commit(client, name, key,
                                       [Entry(kind, None, text, None, r, s)], [])
        assert isinstance(outcome, Signed)
        log.hash = text
        self.metrics.signatures.labels(kind).inc()
        return _answer(200, {"signature": answer})

    # --- the frame around every route ---

    def route(self, name: str, handler: Callable[[Request, _Log], Awaitable[Response]]
              ) -> Callable[[Request], Awaitable[Response]]:
        async def endpoint(request: Request) -> Response:
            start = time.perf_counter()
            log = _Log(name)
            try:
                response = await handler(request, log)
            except _Refused as refused:
                log.rule = refused.body.get("rule") or refused.body.get("error")
                if refused.recorded and log.client is not None:
                    try:
                        await self.record(self.config.clients[log.client], log.key or
                                          request.path_params.get("name", "")[:_SHOWN_NAME],
                                          refused)
                    except _Refused as unavailable:
                        refused = unavailable
                self.metrics.refusals.labels(log.rule).inc()
                response = _answer(refused.status, refused.body, refused.headers)
            except ClientDisconnect:
                log.extra["disconnected"] = True
                response = Response(status_code=400)
            except Exception as error:  # no traceback: its frames may hold a request
                log.extra["exception"] = type(error).__name__
                response = _answer(500, {"error": "internal"})
            seconds = time.perf_counter() - start
            self.metrics.requests.labels(name, str(response.status_code)).inc()
            self.metrics.latency.labels(name).observe(seconds)
            event(event="request", route=name, client=log.client, key=log.key, kind=log.kind,
                  status=response.status_code, rule=log.rule, hash=log.hash, count=log.count,
                  refused=log.refused, duration_ms=round(seconds * 1000, 3), **log.extra)
            return response
        return endpoint


def _outcome(outcome: Outcome) -> tuple[int, dict[str, Any]]:
    if isinstance(outcome, Signed):
        return 200, {"hash": outcome.hash, "signature": {"r": outcome.r, "s": outcome.s}}
    if isinstance(outcome, Conflict):
        return 409, outcome.body()
    return outcome.status, outcome.body()


async def _not_found(request: Request, error: Exception) -> Response:
    status = error.status_code if isinstance(error, HTTPException) else 404
    return _answer(status, {"error": "not_found" if status == 404 else "method_not_allowed"})


def make_app(config: Config, keys: dict[str, PrivateKey], journal: Journal,
             metrics: Metrics | None = None) -> Starlette:
    """The service's ASGI application; its start opens the journal, its
    shutdown closes it once the requests in flight have finished."""
    service = Service(config, keys, journal, metrics)

    @contextlib.asynccontextmanager
    async def lifespan(app: Starlette) -> AsyncIterator[None]:
        await journal.open()
        yield
        await journal.close()

    def signing(many: bool) -> Callable[[Request, _Log], Awaitable[Response]]:
        return lambda request, log: service.sign(request, log, many)

    def messages(route: str) -> Callable[[Request, _Log], Awaitable[Response]]:
        return lambda request, log: service.sign_message(request, log, route)

    routes = [
        Route("/v1/health", service.route("health", service.health), methods=["GET"]),
        Route("/v1/keys", service.route("keys", service.list_keys), methods=["GET"]),
        Route("/v1/keys/{name}/sign", service.route("sign", signing(False)), methods=["POST"]),
        Route("/v1/keys/{name}/sign-many", service.route("sign-many", signing(True)),
              methods=["POST"]),
        *(Route(f"/v1/keys/{{name}}/{route}", service.route(route, messages(route)),
                methods=["POST"]) for route in _MESSAGE_KINDS),
        Route("/metrics", service.route("metrics", service.metrics_text), methods=["GET"]),
    ]
    return Starlette(routes=routes, lifespan=lifespan,
                     exception_handlers={HTTPException: _not_found})


__all__ = ["Service", "make_app"]
