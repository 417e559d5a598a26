"""`quillet signer serve`: the service as a process.

Start: the configuration, checked whole; the keystores, unlocked (the
passphrase from its file, its environment variable, or the terminal); the
journal, opened (a SQLite file is created at first start; a PostgreSQL
database must hold a journal made by `quillet signer migrate`; a schema this
version does not run is refused); the listening socket; then uvicorn, whose
SIGTERM and SIGINT handlers stop accepting, let the requests in flight
finish, and run the application's shutdown, which closes the journal. A line
{"event": "listening", "host": …, "port": …} on standard error says the
socket accepts connections (with port 0 in the configuration: the port the
system chose).
"""

from __future__ import annotations

import math
import os
import socket
import ssl
import warnings
from collections.abc import Callable

import uvicorn

from quillet.errors import InvalidKey, KeyFileWarning
from quillet.keys import PrivateKey, key_file_exposure
from quillet.service.app import make_app
from quillet.service.config import Config, ConfigError, KeyConfig, ServerConfig, load
from quillet.service.observe import event, use_json_logs
from quillet.service.postgres import PostgresJournal, check
from quillet.service.protocol import protocol_class
from quillet.service.storage import Journal, JournalError
from quillet.service.writer import SqliteJournal

_PASSPHRASE_LIMIT = 4096
_BACKLOG = 2048


class _Server(uvicorn.Server):
    def handle_exit(self, sig: int, frame: object) -> None:
        super().handle_exit(sig, frame)  # type: ignore[arg-type]
        # A graceful stop is a normal exit (status 0): uvicorn would raise
        # the signal again once stopped (SIGINT: a KeyboardInterrupt).
        captured = getattr(self, "_captured_signals", None)
        if captured:
            captured.clear()


class StartError(Exception):
    """The service cannot start; the text says why (never a secret)."""


def _passphrase(key: KeyConfig, prompt: Callable[[str], str] | None) -> str:
    if key.passphrase_file is not None:
        try:
            with open(key.passphrase_file, "rb") as file:
                data = file.read(_PASSPHRASE_LIMIT + 1)
        except OSError as error:
            raise StartError(f"keys.{key.name}: cannot read {key.passphrase_file}: "
                             f"{error.strerror}") from None
        if len(data) > _PASSPHRASE_LIMIT:
            raise StartError(f"keys.{key.name}: {key.passphrase_file} is longer than "
                             f"{_PASSPHRASE_LIMIT} bytes: no passphrase file")
        try:
            return data.decode("utf-8").removesuffix("\n")
        except UnicodeDecodeError:
            raise StartError(f"keys.{key.name}: {key.passphrase_file} is not UTF-8 "
                             "text") from None
    if key.passphrase_env is not None:
        value = os.environ.get(key.passphrase_env)
        if value is None:
            raise StartError(f"keys.{key.name}: ${key.passphrase_env} is not set")
        return value
    if prompt is None:
        raise StartError(f"keys.{key.name}: no passphrase_file or passphrase_env, and no "
                         "terminal to ask on")
    return prompt(key.name)


def unlock(config: Config, prompt: Callable[[str], str] | None) -> dict[str, PrivateKey]:
    """Every key of the configuration, unlocked; StartError for the first
    that is not, or for two names of one key (the guard would still key
    them as one, but the journal's names would mislead)."""
    keys: dict[str, PrivateKey] = {}
    owners: dict[str, str] = {}
    for name, key in config.keys.items():
        # A keystore or passphrase file that others may open is said in the
        # service's own log lines, not as a Python warning on stderr.
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always", KeyFileWarning)
            try:
                keys[name] = PrivateKey.from_keystore(key.keystore, _passphrase(key, prompt))
            except InvalidKey as error:
                raise StartError(f"keys.{name}: {error}") from None
        for warning in caught:
            event(event="warning", key=name, message=str(warning.message))
        if key.passphrase_file is not None:
            try:
                exposure = key_file_exposure(os.stat(key.passphrase_file).st_mode)
            except OSError:
                exposure = None
            if exposure is not None:
                event(event="warning", key=name,
                      message=f"passphrase file {str(key.passphrase_file)!r}: {exposure}")
        public = int(keys[name].public_key.x, 16)
        other = owners.setdefault(hex(public), name)
        if other != name:
            raise StartError(f"keys.{name} and keys.{other} hold the same key: give it one name")
    return keys


def tls_context(server: ServerConfig) -> ssl.SSLContext | None:
    if not server.tls:
        return None
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.minimum_version = ssl.TLSVersion.TLSv1_2
    try:
        context.load_cert_chain(str(server.tls_cert), str(server.tls_key))
    except (OSError, ssl.SSLError) as error:
        raise StartError(f"server.tls_cert / tls_key: cannot load them: {error}") from None
    if server.client_ca is not None:
        try:
            context.load_verify_locations(str(server.client_ca))
        except (OSError, ssl.SSLError) as error:
            raise StartError(f"server.client_ca: cannot load it: {error}") from None
        context.verify_mode = ssl.CERT_REQUIRED
    return context


def listening_socket(server: ServerConfig) -> socket.socket:
    try:
        family, kind, proto, _, address = socket.getaddrinfo(
            server.host, server.port, type=socket.SOCK_STREAM, proto=socket.IPPROTO_TCP)[0]
        # Made with its protocol named (IPPROTO_TCP, not 0): asyncio turns off
        # Nagle's algorithm only on such sockets, and with it on, a response
        # written in two pieces on a kept-alive connection waits for the
        # client's delayed ACK (40 ms).
        sock = socket.socket(family, kind, proto)
        try:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            sock.bind(address)
            sock.listen(_BACKLOG)
        except OSError:
            sock.close()
            raise
        return sock
    except OSError as error:
        raise StartError(f"server.listen: cannot listen on {server.listen}: "
                         f"{error.strerror or error}") from None


def open_journal(server: ServerConfig) -> Journal:
    """The configuration's journal; StartError when it cannot serve."""
    journal: Journal
    try:
        if server.database_path is None:
            check(server.database, server.database_timeout)
            journal = PostgresJournal(server.database, server.database_timeout,
                                      server.database_pool_size)
        else:
            journal = SqliteJournal(server.database_path, server.database_timeout,
                                    server.database_synchronous)
    except JournalError as error:
        raise StartError(f"server.database: {error}") from None
    return journal


def serve(config_path: str, prompt: Callable[[str], str] | None = None) -> None:
    """Runs the service of the configuration file until SIGTERM or SIGINT.
    StartError (or ConfigError) when it cannot start."""
    try:
        config = load(config_path)
    except ConfigError as error:
        raise StartError(str(error)) from None
    keys = unlock(config, prompt)
    server = config.server
    context = tls_context(server)
    journal = open_journal(server)
    sock = listening_socket(server)
    settings = uvicorn.Config(
        make_app(config, keys, journal), http=protocol_class(server.request_timeout),
        lifespan="on", log_config=None, access_log=False, proxy_headers=False,
        server_header=False, limit_concurrency=server.limit_concurrency,
        timeout_keep_alive=math.ceil(server.timeout_keep_alive),
        timeout_graceful_shutdown=math.ceil(server.request_timeout + server.database_timeout) + 5)
    settings.load()
    settings.ssl = context  # our context: TLS 1.2 at least, the client CA when given
    use_json_logs()
    host, port = sock.getsockname()[:2]
    event(event="listening", host=host, port=port, tls=context is not None,
          mutual_tls=server.client_ca is not None, database=server.database_shown,
          keys=sorted(keys), clients=sorted(config.clients))
    _Server(settings).run(sockets=[sock])


__all__ = ["StartError", "open_journal", "serve", "unlock"]
