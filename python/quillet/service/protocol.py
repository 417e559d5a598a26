"""uvicorn's HTTP/1.1 connection, with the two things the service needs of it.

- The peer's certificate (mutual TLS): uvicorn does not put it in the ASGI
  scope. Each connection gets its own copy of the app state, holding the
  certificate's subject common name under PEER_NAME; uvicorn copies that
  state into every request's scope, where Starlette shows it as
  `request.state`.
- A deadline for each request's head: uvicorn waits for a head without end,
  so a client sending one byte at a time would hold its connection slot for
  good. A connection whose next request head is not complete within
  `head_timeout` seconds of its start (or of the last response) is closed.
- A prompt end for idle TLS connections: a graceful stop closes every idle
  keep-alive connection, and closing a TLS one waits up to 30 s for the
  peer's close_notify, which an idle client in its pool never sends; the
  stop waited that long for each bot that keeps its signer open. An idle
  connection holds no request, so it is dropped at once instead.
"""

from __future__ import annotations

import asyncio
from typing import Any

from uvicorn.protocols.http.h11_impl import H11Protocol

PEER_NAME = "peer_common_name"


def _common_name(certificate: dict[str, Any] | None) -> str | None:
    for attributes in (certificate or {}).get("subject", ()):
        for name, value in attributes:
            if name == "commonName":
                return str(value)
    return None


class SignerProtocol(H11Protocol):
    head_timeout = 10.0  # set by protocol_class

    def connection_made(self, transport: asyncio.Transport) -> None:  # type: ignore[override]
        super().connection_made(transport)
        ssl_object = transport.get_extra_info("ssl_object")
        self.app_state = dict(self.app_state)  # this connection's own
        self.app_state[PEER_NAME] = _common_name(
            ssl_object.getpeercert() if ssl_object is not None else None)
        self._await_head(None)

    def _await_head(self, finished: object) -> None:
        # `finished`: the request cycle before the awaited head (None at first).
        self.loop.call_later(self.head_timeout, self._head_due, finished)

    def _head_due(self, finished: object) -> None:
        if self.cycle is finished and not self.transport.is_closing():
            self.transport.abort()  # nothing to answer: no close handshake to wait for

    def shutdown(self) -> None:
        if (self.cycle is None or self.cycle.response_complete) and \
                self.transport.get_extra_info("ssl_object") is not None:
            self.transport.abort()
            return
        super().shutdown()

    def on_response_complete(self) -> None:
        finished = self.cycle
        super().on_response_complete()
        if self.cycle is finished and not self.transport.is_closing():
            self._await_head(finished)


def protocol_class(head_timeout: float) -> type[SignerProtocol]:
    """SignerProtocol with this deadline for request heads."""
    return type("SignerProtocol", (SignerProtocol,), {"head_timeout": head_timeout})


__all__ = ["PEER_NAME", "SignerProtocol", "protocol_class"]
