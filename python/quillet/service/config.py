"""The service's configuration (TOML), read and checked whole at start.

Every error names the file, the line and the field:

    signer.toml:14: clients.bot-a.limit_order.max_fee_ratio: expected a number, got "x"

Unknown keys are errors, so that a typo never widens a policy, and a rule
that does not apply to its kind is one too. Values are converted once: ids
to ints (compared by value), ratios to exact fractions, amounts to ints
(TOML integers or decimal text, since u64 values pass TOML's range), paths
relative to the configuration file's directory.
"""

from __future__ import annotations

import _socket
import json
import math
import os
import re
import tomllib
import urllib.parse
from dataclasses import dataclass, field
from fractions import Fraction
from pathlib import Path
from typing import Any, NamedTuple, cast

from quillet.documents import HEX, KINDS, Kind
from quillet.service.tokens import TokenError, TokenHash

MAX_BATCH = 4096

# The rules each kind's section may name. Order rules apply to a limit
# order and to a liquidation's liquidator order.
_ORDER = ("asset_id_synthetic", "asset_id_collateral", "position_ids", "max_amount_synthetic",
          "max_amount_collateral", "max_amount_fee", "max_fee_ratio")
_EXPIRATION = ("expiration_min_seconds", "expiration_max_seconds")
RULES: dict[str, tuple[str, ...]] = {
    "limit_order": (*_ORDER, *_EXPIRATION, "max_amount_per_day"),
    "liquidate": (*_ORDER, *_EXPIRATION, "liquidated_position_ids", "max_actual_collateral",
                  "max_actual_synthetic", "max_actual_liquidator_fee", "max_amount_per_day"),
    "transfer": ("asset_id", "position_ids", "receivers", "max_amount", *_EXPIRATION,
                 "max_amount_per_day"),
    "withdraw": ("asset_id", "position_ids", "eth_addresses", "max_amount", *_EXPIRATION,
                 "max_amount_per_day"),
    "signed_oracle_price": ("signed_asset_id", "max_age_seconds"),
}
_IDS = {"asset_id_synthetic", "asset_id_collateral", "asset_id", "signed_asset_id",
        "eth_addresses"}
_POSITIONS = {"position_ids", "receivers", "liquidated_position_ids"}
_SECONDS = {"expiration_min_seconds", "expiration_max_seconds", "max_age_seconds"}

_NAME = re.compile(r"[A-Za-z0-9_.-]{1,64}")
_DECIMAL = re.compile(r"[0-9]{1,80}")


class ConfigError(ValueError):
    """A configuration that the service refuses; the text names the file,
    the line (where one is found) and the field."""


class Ratio(NamedTuple):
    """A ratio limit: its exact value and the text the configuration gave."""

    value: Fraction
    text: str


@dataclass(frozen=True, slots=True)
class KindRules:
    """One kind's section of a client: each rule None when not named."""

    unrestricted: bool = False
    asset_id_synthetic: frozenset[int] | None = None
    asset_id_collateral: frozenset[int] | None = None
    asset_id: frozenset[int] | None = None
    signed_asset_id: frozenset[int] | None = None
    eth_addresses: frozenset[int] | None = None
    position_ids: frozenset[int] | None = None
    receivers: frozenset[int] | None = None
    liquidated_position_ids: frozenset[int] | None = None
    max_amount_synthetic: int | None = None
    max_amount_collateral: int | None = None
    max_amount_fee: int | None = None
    max_fee_ratio: Ratio | None = None
    max_amount: int | None = None
    max_actual_collateral: int | None = None
    max_actual_synthetic: int | None = None
    max_actual_liquidator_fee: int | None = None
    expiration_min_seconds: int | None = None
    expiration_max_seconds: int | None = None
    max_age_seconds: int | None = None
    max_amount_per_day: int | None = None

    def named(self) -> list[str]:
        """The rules this section names."""
        return [name for name in self.__slots__
                if name != "unrestricted" and getattr(self, name) is not None]


@dataclass(frozen=True, slots=True)
class ServerConfig:
    listen: str
    host: str
    port: int
    tls_cert: Path | None
    tls_key: Path | None
    client_ca: Path | None
    insecure_loopback: bool
    # The URL as written: a PostgreSQL URL may hold a password, so it is
    # shown only as `database_shown`.
    database: str = field(repr=False)
    database_path: Path | None = None  # the SQLite file; None for PostgreSQL
    max_body_bytes: int = 1 << 20
    max_batch: int = MAX_BATCH
    limit_concurrency: int = 1024
    request_timeout: float = 10.0
    timeout_keep_alive: float = 5.0
    database_timeout: float = 5.0
    # "full": a commit survives a power loss; "normal": only a crash of the
    # process (in WAL mode the last commits may be lost with the machine).
    database_synchronous: str = "full"
    # PostgreSQL: the connections one instance keeps at most.
    database_pool_size: int = 10

    @property
    def tls(self) -> bool:
        return self.tls_cert is not None

    @property
    def postgres(self) -> bool:
        return self.database_path is None

    @property
    def database_shown(self) -> str:
        """The journal as logs and outputs name it: the SQLite file, or the
        PostgreSQL URL without its password."""
        return str(self.database_path) if self.database_path is not None else \
            redact_url(self.database)


@dataclass(frozen=True, slots=True)
class KeyConfig:
    name: str
    keystore: Path
    passphrase_file: Path | None = None
    passphrase_env: str | None = None  # neither: asked on the terminal


@dataclass(frozen=True, slots=True)
class ClientConfig:
    name: str
    token_hash: TokenHash = field(repr=False)
    keys: tuple[str, ...] = ()
    kinds: tuple[Kind, ...] = ()
    messages: bool = False
    max_requests_per_minute: int | None = None
    monitor: bool = False
    tls_common_name: str | None = None  # with client_ca: the certificate's CN
    rules: dict[str, KindRules] = field(default_factory=dict)


@dataclass(frozen=True, slots=True)
class Config:
    path: Path
    server: ServerConfig
    keys: dict[str, KeyConfig]
    clients: dict[str, ClientConfig]


# --- finding the line of a field ------------------------------------------------

_PART = r"""(?:[A-Za-z0-9_-]+|"(?:[^"\\]|\\.)*"|'[^']*')"""
_DOTTED = rf"{_PART}(?:\s*\.\s*{_PART})*"
_HEADER = re.compile(rf"\s*\[\[?\s*({_DOTTED})\s*\]\]?")
_ASSIGN = re.compile(rf"\s*({_DOTTED})\s*=")


def _parts(dotted: str) -> tuple[str, ...]:
    out = []
    for part in re.findall(_PART, dotted):
        if part.startswith('"'):
            part = json.loads(part)
        elif part.startswith("'"):
            part = part[1:-1]
        out.append(part)
    return tuple(out)


def line_of(text: str, path: tuple[str, ...]) -> int | None:
    """The line (from 1) that defines `path`: its key or table header, else
    the nearest enclosing one. tomllib keeps no positions; this scan knows
    headers and key lines, which is what a field's error needs."""
    table: tuple[str, ...] = ()
    best, best_length = None, 0
    for number, line in enumerate(text.split("\n"), 1):
        header = _HEADER.match(line)
        if header:
            table = _parts(header.group(1))
            full = table
        else:
            assign = _ASSIGN.match(line)
            if not assign:
                continue
            full = table + _parts(assign.group(1))
        if full == path:
            return number
        if len(full) > best_length and path[:len(full)] == full:
            best, best_length = number, len(full)
    return best


# --- reading -------------------------------------------------------------------

def _shown(value: object) -> str:
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, (str, int, float)):
        text = json.dumps(value)
    elif isinstance(value, dict):
        text = "a table"
    else:
        text = "an array" if isinstance(value, list) else type(value).__name__
    return text if len(text) <= 80 else text[:60] + "…"


class _Reader:
    def __init__(self, path: Path, shown: str, text: str) -> None:
        self.path = path
        self.shown = shown
        self.text = text

    def fail(self, where: tuple[str, ...], problem: str) -> ConfigError:
        line = line_of(self.text, where)
        place = f"{self.shown}:{line}" if line else self.shown
        return ConfigError(f"{place}: {'.'.join(where)}: {problem}")

    def table(self, data: Any, where: tuple[str, ...], allowed: set[str] | None = None,
              required: tuple[str, ...] = ()) -> dict[str, Any]:
        if not isinstance(data, dict):
            raise self.fail(where, f"expected a table, got {_shown(data)}")
        if allowed is not None:
            for key in data:
                if key not in allowed:
                    raise self.fail((*where, key), "unknown key (expected one of: "
                                    f"{', '.join(sorted(allowed))})")
        for key in required:
            if key not in data:
                raise self.fail(where, f"{key} is missing")
        return data

    def boolean(self, data: dict[str, Any], where: tuple[str, ...], key: str) -> bool:
        value = data.get(key, False)
        if not isinstance(value, bool):
            raise self.fail((*where, key), f"expected true or false, got {_shown(value)}")
        return value

    def string(self, data: dict[str, Any], where: tuple[str, ...], key: str) -> str | None:
        value = data.get(key)
        if value is not None and (not isinstance(value, str) or not value):
            raise self.fail((*where, key), f"expected a text, got {_shown(value)}")
        return value

    def file(self, data: dict[str, Any], where: tuple[str, ...], key: str) -> Path | None:
        value = self.string(data, where, key)
        return None if value is None else (self.path.parent / value).resolve()

    def integer(self, value: object, where: tuple[str, ...], least: int = 0,
                most: int | None = None) -> int:
        """An int from a TOML integer or decimal text (for values past 2**63)."""
        number: int | None = None
        if type(value) is int:
            number = value
        elif isinstance(value, str) and _DECIMAL.fullmatch(value):
            number = int(value)
        if number is None:
            raise self.fail(where, f"expected an integer (or its decimal digits as a text), "
                            f"got {_shown(value)}")
        if number < least or (most is not None and number > most):
            bound = f"from {least} to {most}" if most is not None else f"at least {least}"
            raise self.fail(where, f"{number} is out of range: expected {bound}")
        return number

    def number(self, value: object, where: tuple[str, ...], least: float) -> float:
        if isinstance(value, bool) or not isinstance(value, (int, float)) or \
                not math.isfinite(value) or value < least:
            raise self.fail(where, f"expected a number of at least {least}, got {_shown(value)}")
        return float(value)

    def names(self, data: dict[str, Any], where: tuple[str, ...], key: str,
              known: dict[str, Any] | tuple[str, ...], what: str) -> tuple[str, ...]:
        value = data.get(key, [])
        if not isinstance(value, list) or not all(isinstance(v, str) for v in value):
            raise self.fail((*where, key), f"expected an array of texts, got {_shown(value)}")
        for name in value:
            if name not in known:
                raise self.fail((*where, key), f"{_shown(name)} is not {what} (expected one "
                                f"of: {', '.join(known) or 'none defined'})")
        if len(set(value)) != len(value):
            raise self.fail((*where, key), "a name appears twice")
        return tuple(value)


def load(path: str | os.PathLike[str]) -> Config:
    """The configuration in file `path`, checked whole. ConfigError for the
    first problem found."""
    shown = os.fspath(path)
    try:
        with open(path, "rb") as file:
            raw = file.read(1 << 22)
    except OSError as error:
        raise ConfigError(f"{shown}: cannot read it: {error.strerror}") from None
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError as error:
        raise ConfigError(f"{shown}: not UTF-8 text (byte {error.start})") from None
    try:
        data = tomllib.loads(text)
    except tomllib.TOMLDecodeError as error:
        message = str(error)
        found = re.search(r"\(at line (\d+), column \d+\)$", message)
        line = f":{found.group(1)}" if found else ""
        message = message[:found.start()].rstrip() if found else message
        raise ConfigError(f"{shown}{line}: not TOML: {message}") from None
    reader = _Reader(Path(path).absolute(), shown, text)
    reader.table(data, (), {"server", "keys", "clients"}, required=("server",))
    server = _server(reader, data["server"])
    keys = _keys(reader, data.get("keys", {}))
    clients = _clients(reader, data.get("clients", {}), keys, server)
    return Config(reader.path, server, keys, clients)


_SERVER_KEYS = {"listen", "tls_cert", "tls_key", "client_ca", "insecure_loopback", "database",
                "max_body_bytes", "max_batch", "limit_concurrency", "request_timeout",
                "timeout_keep_alive", "database_timeout", "database_synchronous",
                "database_pool_size"}


def _server(reader: _Reader, data: object) -> ServerConfig:
    where = ("server",)
    table = reader.table(data, where, _SERVER_KEYS, required=("listen", "database"))
    listen = reader.string(table, where, "listen") or ""
    host, port = _listen(reader, listen)
    insecure = reader.boolean(table, where, "insecure_loopback")
    tls_cert = reader.file(table, where, "tls_cert")
    tls_key = reader.file(table, where, "tls_key")
    client_ca = reader.file(table, where, "client_ca")
    if insecure:
        if tls_cert or tls_key or client_ca:
            raise reader.fail((*where, "insecure_loopback"), "plain HTTP takes no tls_cert, "
                              "tls_key or client_ca: remove them or this line")
        if not _loopback(host):
            raise reader.fail((*where, "listen"), f"plain HTTP (insecure_loopback) listens "
                              f"only on a loopback address, not {host}")
    elif tls_cert is None or tls_key is None:
        raise reader.fail(where, "tls_cert and tls_key are required (plain HTTP only with "
                          "insecure_loopback = true on a loopback address)")
    for key, value in (("tls_cert", tls_cert), ("tls_key", tls_key), ("client_ca", client_ca)):
        if value is not None and not value.is_file():
            raise reader.fail((*where, key), f"no such file: {value}")
    database = reader.string(table, where, "database") or ""
    options: dict[str, Any] = {}
    database_path = _database_path(reader, database)
    for key, least, most in (("max_body_bytes", 1024, 1 << 30), ("max_batch", 1, MAX_BATCH),
                             ("limit_concurrency", 1, 1 << 20), ("database_pool_size", 1, 1000)):
        if key in table:
            options[key] = reader.integer(table[key], (*where, key), least, most)
    for key in ("request_timeout", "timeout_keep_alive", "database_timeout"):
        if key in table:
            options[key] = reader.number(table[key], (*where, key), 0.001)
    for key in ("database_synchronous", "database_pool_size"):
        # Each applies to one backend: a setting that would do nothing is an error.
        if key in table and (database_path is None) == (key == "database_synchronous"):
            raise reader.fail((*where, key), "applies to "
                              f"{'SQLite' if database_path is None else 'PostgreSQL'} only")
    if "database_synchronous" in table:
        mode = table["database_synchronous"]
        if mode not in ("full", "normal"):
            raise reader.fail((*where, "database_synchronous"),
                              f'expected "full" or "normal", got {_shown(mode)}')
        options["database_synchronous"] = mode
    return ServerConfig(listen, host, port, tls_cert, tls_key, client_ca, insecure, database,
                        database_path, **options)


def _listen(reader: _Reader, listen: str) -> tuple[str, int]:
    where = ("server", "listen")
    match = re.fullmatch(r"\[([0-9a-fA-F:.]+)\]:(\d{1,5})|([^:\[\]\s]+):(\d{1,5})", listen)
    if match is None or int(match.group(2) or match.group(4)) > 65535:
        raise reader.fail(where, f'expected "host:port" ("[::1]:port" for IPv6), got '
                          f"{_shown(listen)}")
    return match.group(1) or match.group(3), int(match.group(2) or match.group(4))


# Read with socket's C module: socket itself builds its enums on import, which
# would cost every command of the command line a few milliseconds.
_IPV6_LOOPBACK = bytes(15) + b"\x01"


def _loopback_address(host: str) -> bool | None:
    """Whether the address `host` is a loopback one (127.0.0.0/8 or ::1);
    None when `host` is no address's text."""
    try:
        return _socket.inet_pton(_socket.AF_INET, host)[0] == 127
    except (OSError, ValueError):
        pass
    try:
        return _socket.inet_pton(_socket.AF_INET6, host) == _IPV6_LOOPBACK
    except (OSError, ValueError):
        return None


def _loopback(host: str) -> bool:
    literal = _loopback_address(host)
    if literal is not None:
        return literal
    try:  # a name: every address it resolves to must be a loopback one
        infos = _socket.getaddrinfo(host, None, 0, 0, _socket.IPPROTO_TCP)
    except (OSError, ValueError):  # ValueError: a name IDNA cannot encode
        return False
    return bool(infos) and all(_loopback_address(str(info[4][0])) for info in infos)


def redact_url(url: str) -> str:
    """A PostgreSQL URL without its password (in the user part or a
    `password` parameter): what logs and outputs may show."""
    try:
        parts = urllib.parse.urlsplit(url)
    except ValueError:
        return "postgresql://…"  # unreadable: nothing of it shown
    shown = url
    user, at, hosts = parts.netloc.rpartition("@")
    if at and ":" in user:
        shown = shown.replace(f"//{parts.netloc}", f"//{user.split(':', 1)[0]}:***@{hosts}", 1)
    if parts.query:
        query = "&".join(
            f"{name}=***" if urllib.parse.unquote(name) == "password" else name + sep + value
            for name, sep, value in (item.partition("=") for item in parts.query.split("&")))
        shown = shown.replace(f"?{parts.query}", f"?{query}", 1)
    return shown


def _database_path(reader: _Reader, url: str) -> Path | None:
    """The SQLite file of a sqlite URL; None for a PostgreSQL URL (its
    connection is checked when the service connects)."""
    where = ("server", "database")
    if url.startswith("sqlite:///") and len(url) > len("sqlite:///"):
        rest = url[len("sqlite:///"):]
        if rest == ":memory:" or rest.startswith("file:"):
            raise reader.fail(where, "the journal must be a file that outlives the process")
        # Four slashes: an absolute path; three: relative to this file.
        path = Path(rest) if rest.startswith("/") else reader.path.parent / rest
        if not path.parent.is_dir():
            raise reader.fail(where, f"no such directory: {path.parent}")
        return path
    if url.startswith(("postgresql://", "postgres://")):
        try:
            urllib.parse.urlsplit(url).port  # noqa: B018  # a bad port raises here
        except ValueError as error:
            raise reader.fail(where, f"not a PostgreSQL URL ({error}): "
                              f"{redact_url(url)}") from None
        return None
    # Never quoted whole: the text may be a URL with a password.
    raise reader.fail(where, 'expected "sqlite:///relative/path.db", '
                      '"sqlite:////absolute/path.db" or "postgresql://user@host/database"')


def _keys(reader: _Reader, data: object) -> dict[str, KeyConfig]:
    keys: dict[str, KeyConfig] = {}
    for name, section in reader.table(data, ("keys",)).items():
        where = ("keys", name)
        if not _NAME.fullmatch(name):
            raise reader.fail(where, "a key's name is 1 to 64 letters, digits, '_', '-', '.'")
        table = reader.table(section, where, {"keystore", "passphrase_file", "passphrase_env"},
                             required=("keystore",))
        keystore = reader.file(table, where, "keystore")
        passphrase_file = reader.file(table, where, "passphrase_file")
        passphrase_env = reader.string(table, where, "passphrase_env")
        if passphrase_file is not None and passphrase_env is not None:
            raise reader.fail((*where, "passphrase_env"), "give passphrase_file or "
                              "passphrase_env, not both")
        for key, path in (("keystore", keystore), ("passphrase_file", passphrase_file)):
            if path is not None and not path.is_file():
                raise reader.fail((*where, key), f"no such file: {path}")
        assert keystore is not None
        keys[name] = KeyConfig(name, keystore, passphrase_file, passphrase_env)
    return keys


_CLIENT_KEYS = {"token_hash", "keys", "kinds", "messages", "max_requests_per_minute", "monitor",
                "tls_common_name", *KINDS}


def _clients(reader: _Reader, data: object, keys: dict[str, KeyConfig],
             server: ServerConfig) -> dict[str, ClientConfig]:
    clients: dict[str, ClientConfig] = {}
    for name, section in reader.table(data, ("clients",)).items():
        where = ("clients", name)
        if not _NAME.fullmatch(name):
            raise reader.fail(where, "a client's name is 1 to 64 letters, digits, '_', '-', '.'")
        table = reader.table(section, where, _CLIENT_KEYS, required=("token_hash",))
        try:
            token_hash = TokenHash.parse(table["token_hash"])
        except TokenError as error:
            raise reader.fail((*where, "token_hash"), str(error)) from None
        kinds = cast(tuple[Kind, ...], reader.names(table, where, "kinds", KINDS,
                                                    "a document kind"))
        rate = table.get("max_requests_per_minute")
        common_name = reader.string(table, where, "tls_common_name")
        if common_name is not None and server.client_ca is None:
            raise reader.fail((*where, "tls_common_name"), "needs server.client_ca (mutual TLS)")
        rules: dict[str, KindRules] = {}
        for kind in KINDS:
            if kind in table:
                if kind not in kinds:
                    raise reader.fail((*where, kind), f"a section for a kind not in kinds "
                                      f"(add {kind!r} to kinds, or remove the section)")
                rules[kind] = _rules(reader, table[kind], (*where, kind), kind)
        clients[name] = ClientConfig(
            name, token_hash, reader.names(table, where, "keys", keys, "a key of [keys]"),
            kinds, reader.boolean(table, where, "messages"),
            None if rate is None else reader.integer(rate, (*where, "max_requests_per_minute"), 1),
            reader.boolean(table, where, "monitor"),
            common_name if common_name is not None else
            (name if server.client_ca is not None else None), rules)
    return clients


def _rules(reader: _Reader, data: object, where: tuple[str, ...], kind: str) -> KindRules:
    allowed = set(RULES[kind]) | {"unrestricted"}
    table = reader.table(data, where, allowed)
    values: dict[str, Any] = {}
    for key, raw in table.items():
        at = (*where, key)
        if key == "unrestricted":
            values[key] = reader.boolean(table, where, key)
        elif key in _IDS or key in _POSITIONS:
            if not isinstance(raw, list):
                raise reader.fail(at, f"expected an array, got {_shown(raw)}")
            values[key] = frozenset(_hex(reader, item, at) if key in _IDS else
                                    reader.integer(item, at, 0, (1 << 64) - 1) for item in raw)
        elif key == "max_fee_ratio":
            if isinstance(raw, bool) or not isinstance(raw, (int, float, str)):
                raise reader.fail(at, f"expected a number, got {_shown(raw)}")
            try:
                ratio = Fraction(str(raw))
            except ValueError:
                raise reader.fail(at, f"expected a number, got {_shown(raw)}") from None
            if ratio < 0:
                raise reader.fail(at, f"expected a number of at least 0, got {_shown(raw)}")
            values[key] = Ratio(ratio, str(raw))
        elif key in _SECONDS:
            values[key] = reader.integer(raw, at, 0, 1 << 32)
        else:  # an amount
            values[key] = reader.integer(raw, at, 0)
    low, high = values.get("expiration_min_seconds"), values.get("expiration_max_seconds")
    if low is not None and high is not None and low > high:
        raise reader.fail((*where, "expiration_max_seconds"),
                          f"{high} is below expiration_min_seconds ({low})")
    return KindRules(**values)


def _hex(reader: _Reader, value: object, where: tuple[str, ...]) -> int:
    match = HEX.fullmatch(value) if isinstance(value, str) else None
    if match is None:
        raise reader.fail(where, f'expected "0x" and up to 64 hex digits, got {_shown(value)}')
    return int(match.group(1), 16)


__all__ = ["RULES", "ClientConfig", "Config", "ConfigError", "KeyConfig", "KindRules", "Ratio",
           "ServerConfig", "line_of", "load", "redact_url"]
