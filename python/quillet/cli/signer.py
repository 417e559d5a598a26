"""`quillet signer ACTION`: the signing service (docs/SIGNER.md).

serve runs it; migrate brings its journal's schema up to date; check-config
checks a configuration and says what each client may do; hash-token makes a
client's token_hash line; journal exports the signed documents as NDJSON
that `quillet audit` reads; prune removes old refusals and documents. Only
`serve`, and the others on a PostgreSQL journal, need the extra `signer`.
"""

from __future__ import annotations

import argparse
import importlib
import time
from datetime import datetime, timezone
from typing import Any

from quillet.cli.common import EXIT_OK, TEXT_LIMIT, Failure, Inputs, emit, write_out
from quillet.cli.keys import ask_terminal
from quillet.service import storage, tokens
from quillet.service.config import Config, ConfigError, KindRules, ServerConfig, load
from quillet.service.storage import SCHEMA_VERSION, JournalError

SIGNER_EXTRA = "pip install 'quillet_python_sdk[signer]'"


def _config(path: str) -> Config:
    try:
        return load(path)
    except ConfigError as error:
        raise Failure(str(error)) from None


def _prompt(name: str) -> str:
    """A key's passphrase typed on the controlling terminal, without echo."""
    return ask_terminal(f"Passphrase of key {name}: ", f"keys.{name}: no passphrase_file or "
                        "passphrase_env, and no terminal to ask on")


def cmd_serve(args: argparse.Namespace, inputs: Inputs) -> int:
    try:
        server: Any = importlib.import_module("quillet.service.server")
    except ImportError as error:
        raise Failure(f"the signing service needs {error.name or 'its extra'}: "
                      f"{SIGNER_EXTRA}") from None
    try:
        server.serve(args.config, prompt=_prompt)
    except server.StartError as error:
        raise Failure(str(error)) from None
    return EXIT_OK


def _postgres() -> Any:
    """quillet.service.postgres, which needs psycopg (the extra `signer`)."""
    try:
        return importlib.import_module("quillet.service.postgres")
    except ImportError as error:
        raise Failure(f"a PostgreSQL journal needs {error.name or 'the extra'}: "
                      f"{SIGNER_EXTRA}") from None


def cmd_migrate(args: argparse.Namespace, inputs: Inputs) -> int:
    server = _config(args.config).server
    try:
        if server.database_path is None:
            before, _ = _postgres().migrate(server.database, server.database_timeout)
        else:
            db, before = storage.open_database(server.database_path, server.database_timeout,
                                               upgrade=True)
            db.close()
    except JournalError as error:
        raise Failure(str(error)) from None
    # "from": the version it had, null for a journal made now.
    emit({"database": server.database_shown, "from": before, "to": SCHEMA_VERSION})
    return EXIT_OK


def cmd_hash_token(args: argparse.Namespace, inputs: Inputs) -> int:
    if args.generate:
        token = tokens.generate()
        write_out(token + "\n")
    else:
        token = inputs.read("-", "token", TEXT_LIMIT).removesuffix("\n").removesuffix("\r")
    try:
        line = tokens.hash_token(token)
    except tokens.TokenError as error:
        raise Failure(str(error)) from None
    finally:
        del token
    write_out(f'token_hash = "{line}"\n')
    return EXIT_OK


def _moment(text: str) -> float:
    """Seconds since 1970 from a number of them or an ISO 8601 time (UTC when
    it names no zone)."""
    try:
        return float(text)
    except ValueError:
        pass
    try:
        moment = datetime.fromisoformat(text.replace("Z", "+00:00"))
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a time (ISO 8601 or seconds since 1970): "
                                         f"{text!r}") from None
    if moment.tzinfo is None:
        moment = moment.replace(tzinfo=timezone.utc)
    return moment.timestamp()


def _backend(server: ServerConfig) -> tuple[Any, Any]:
    """The journal's module and what its functions take for the database."""
    if server.database_path is None:
        return _postgres(), server.database
    return storage, server.database_path


def cmd_journal(args: argparse.Namespace, inputs: Inputs) -> int:
    server = _config(args.config).server
    backend, database = _backend(server)
    try:
        for line in backend.export(database, args.since, args.until, server.database_timeout):
            write_out(line + "\n")
    except JournalError as error:
        raise Failure(str(error)) from None
    return EXIT_OK


def cmd_prune(args: argparse.Namespace, inputs: Inputs) -> int:
    server = _config(args.config).server
    if args.before > time.time():
        # Pruning up to a future time would take today's documents too:
        # a typo, far more likely than a wish.
        raise Failure(f"--before {storage.iso_time(args.before)} is in the future")
    backend, database = _backend(server)
    try:
        counts = backend.prune(database, args.before, server.database_timeout)
    except JournalError as error:
        raise Failure(str(error)) from None
    emit({"database": server.database_shown, "before": storage.iso_time(args.before),
          "refused_deleted": counts["refused"], "documents_deleted": counts["documents"]})
    return EXIT_OK


def _listed(values: frozenset[int], hex_ids: bool) -> str:
    shown = sorted(values)
    return "[" + ", ".join(f"0x{v:x}" if hex_ids else str(v) for v in shown) + "]"


def _rules_text(kind: str, rules: KindRules | None, allowed: bool) -> str:
    if not allowed:
        return ""
    if rules is None or not (rules.unrestricted or rules.named()):
        return f"  {kind}: refused (its section names no rule; unrestricted = true allows it)\n"
    parts = []
    for name in rules.named():
        value = getattr(rules, name)
        if isinstance(value, frozenset):
            hex_ids = not name.endswith(("position_ids", "receivers"))
            parts.append(f"{name} in {_listed(value, hex_ids)}")
        elif name == "max_fee_ratio":
            parts.append(f"{name} {value.text}")
        else:
            parts.append(f"{name} {value}")
    if rules.unrestricted and not parts:
        parts.append("unrestricted")
    return f"  {kind}: " + "; ".join(parts) + "\n"


def cmd_check_config(args: argparse.Namespace, inputs: Inputs) -> int:
    config = _config(args.file)
    server = config.server
    out = [f"{args.file}: valid\n",
           f"listen {server.listen} " + (f"over TLS{' with client certificates' if server.client_ca else ''}"
                                         if server.tls else "over plain HTTP (loopback)") +
           f"; journal {server.database_shown}\n"]
    for key in config.keys.values():
        source = (f"passphrase from {key.passphrase_file}" if key.passphrase_file else
                  f"passphrase from ${key.passphrase_env}" if key.passphrase_env else
                  "passphrase asked on the terminal")
        out.append(f"key {key.name}: {key.keystore} ({source})\n")
    for client in config.clients.values():
        rate = (f"{client.max_requests_per_minute} requests a minute"
                if client.max_requests_per_minute else "no rate limit")
        out.append(f"client {client.name}: keys {', '.join(client.keys) or 'none'}; "
                   f"kinds {', '.join(client.kinds) or 'none'}; messages "
                   f"{'yes' if client.messages else 'no'}; {rate}"
                   f"{'; monitor' if client.monitor else ''}"
                   f"{f'; certificate {client.tls_common_name}' if client.tls_common_name else ''}\n")
        for kind in client.kinds:
            out.append(_rules_text(kind, client.rules.get(kind), True))
    write_out("".join(out))
    return EXIT_OK


def add_signer_command(commands: Any) -> None:
    """Adds `signer` and its actions to the parser's subcommands."""
    sub = commands.add_parser(
        "signer", help="the signing service: serve, migrate, check-config, hash-token, journal, "
                       "prune",
        description="The signing service: keys kept in one process, signing what each "
                    "client's policy allows, every decision journaled (docs/SIGNER.md).",
        allow_abbrev=False)
    actions = sub.add_subparsers(dest="action", required=True, metavar="ACTION")

    def action(name: str, handler: Any, summary: str) -> argparse.ArgumentParser:
        parser: argparse.ArgumentParser = actions.add_parser(name, help=summary,
                                                             description=summary,
                                                             allow_abbrev=False)
        parser.set_defaults(handler=handler)
        return parser

    def config(parser: argparse.ArgumentParser) -> None:
        parser.add_argument("--config", metavar="FILE", required=True,
                            help="the service's configuration (TOML)")

    config(action("serve", cmd_serve, "run the service until SIGTERM or SIGINT (needs the "
                                      f"extra: {SIGNER_EXTRA})"))
    config(action("migrate", cmd_migrate, "create the journal, or bring its schema up to "
                                          "date; prints the versions as JSON"))
    action("check-config", cmd_check_config, "check a configuration and print what each "
                                             "client may do").add_argument(
        "file", metavar="FILE", help="the service's configuration (TOML)")
    hash_token = action("hash-token", cmd_hash_token,
                        'read a client token from standard input and print its config line '
                        'token_hash = "…"')
    hash_token.add_argument("--generate", action="store_true",
                            help="instead, make a fresh token: print it, then its line")
    journal = action("journal", cmd_journal, "print the signed documents as NDJSON that "
                                             "`quillet audit` reads")
    config(journal)
    journal.add_argument("--since", type=_moment, metavar="T",
                         help="only those signed at T or later (ISO 8601, or seconds since 1970)")
    journal.add_argument("--until", type=_moment, metavar="T",
                         help="only those signed before T")
    prune = action("prune", cmd_prune, "delete the refusals recorded before T and the documents "
                                       "signed before T (the double-sign guard's rows stay)")
    config(prune)
    prune.add_argument("--before", type=_moment, metavar="T", required=True,
                       help="ISO 8601, or seconds since 1970")


__all__ = ["add_signer_command"]
