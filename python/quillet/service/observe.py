"""What the service tells its operators: one JSON line per event on standard
error, and Prometheus metrics.

A line holds the time, the client, the key's name, the route, the kind, the
status, the refusing rule, the hash and the duration: never a token, a key,
a passphrase or a document field (the journal keeps the documents). The
server's own lines (uvicorn's) are JSON too, their exceptions reduced to
the exception's type.
"""

from __future__ import annotations

import json
import logging
import sys
import time
from datetime import datetime, timezone
from typing import Any

from prometheus_client import CollectorRegistry, Counter, Histogram, generate_latest
from prometheus_client.exposition import CONTENT_TYPE_LATEST

__all__ = ["CONTENT_TYPE_LATEST", "Metrics", "event", "use_json_logs"]


def event(**fields: Any) -> None:
    """Writes one JSON line to standard error: the time, then `fields`."""
    now = datetime.fromtimestamp(time.time(), timezone.utc).isoformat(timespec="milliseconds")
    line = json.dumps({"time": now.replace("+00:00", "Z"), **fields}, separators=(",", ":"))
    try:
        sys.stderr.write(line + "\n")
        sys.stderr.flush()
    except (OSError, ValueError):  # no standard error left: the metrics still count
        pass


class _JsonLines(logging.Handler):
    def emit(self, record: logging.LogRecord) -> None:
        fields: dict[str, Any] = {"level": record.levelname.lower(), "logger": record.name,
                                  "message": record.getMessage()}
        if record.exc_info and record.exc_info[1] is not None:
            # The type only: an exception's text or frames may quote a request.
            fields["exception"] = type(record.exc_info[1]).__name__
        event(**fields)


def use_json_logs(level: int = logging.INFO) -> None:
    """Sends the server's loggers (uvicorn's, the database pool's) to JSON
    lines on standard error."""
    handler = _JsonLines()
    # Not uvicorn.access: a handler there would turn on its access lines, and
    # the service writes its own line for every request. The pool tells
    # every connection it lends at INFO: only its warnings (a database that
    # does not answer) are lines.
    for name, least in (("uvicorn", level), ("uvicorn.error", level), ("asyncio", level),
                        ("psycopg", logging.WARNING), ("quillet.journal", level)):
        logger = logging.getLogger(name)
        logger.handlers = [handler]
        logger.setLevel(least)
        logger.propagate = False
    access = logging.getLogger("uvicorn.access")
    access.handlers = []
    access.propagate = False


class Metrics:
    """The service's metrics, in a registry of their own."""

    def __init__(self) -> None:
        self.registry = CollectorRegistry(auto_describe=True)
        self.requests = Counter("quillet_signer_requests", "Requests answered, by route and "
                                "status.", ["route", "status"], registry=self.registry)
        self.refusals = Counter("quillet_signer_refusals", "Requests and documents refused, by "
                                "the rule that refused them.", ["rule"], registry=self.registry)
        self.signatures = Counter("quillet_signer_signatures", "Signatures answered, by kind "
                                  "(retries answered from the journal included).", ["kind"],
                                  registry=self.registry)
        self.latency = Histogram("quillet_signer_request_seconds", "Time to answer a request.",
                                 ["route"], registry=self.registry,
                                 buckets=(0.0005, 0.001, 0.002, 0.005, 0.01, 0.025, 0.05, 0.1,
                                          0.25, 0.5, 1.0, 2.5, 5.0, 10.0))
        self.database_errors = Counter("quillet_signer_database_errors", "Journal transactions "
                                       "that failed (their requests answered 503).",
                                       registry=self.registry)

    def render(self) -> bytes:
        return generate_latest(self.registry)
