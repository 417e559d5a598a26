"""The command line: every command's options, help and handler."""

from __future__ import annotations

import argparse
from collections.abc import Callable, Mapping
from typing import Any, NoReturn

from quillet import __version__, bench, keystore
from quillet.cli.checks import cmd_on_curve
from quillet.cli.common import EXIT_FAILURE, HEX_RUN, Inputs
from quillet.cli.documents import cmd_hash, cmd_sign, cmd_verify
from quillet.cli.keys import (MIN_PASSPHRASE, cmd_key_decrypt, cmd_key_encrypt, cmd_key_passwd,
                              cmd_keygen, cmd_pubkey)
from quillet.cli.messages import cmd_eth_sign, cmd_sign_message
from quillet.cli.tools import cmd_bench
from quillet.documents import KINDS
from quillet.keys import KEY_VARIABLE
from quillet.keystore import PASSPHRASE_VARIABLE
from quillet.signer import TOKEN_VARIABLE


class _Parser(argparse.ArgumentParser):
    """Usage errors as one line on stderr, with anything that could be a key left out."""

    def error(self, message: str) -> NoReturn:
        hint = ""
        if HEX_RUN.search(message):
            message = HEX_RUN.sub("<hex text>", message)
            hint = f"; private keys go in --key-file FILE or {KEY_VARIABLE}"
        self.exit(EXIT_FAILURE, f"{self.prog}: {message}{hint} (see {self.prog} --help)\n")


def _kind(text: str) -> str:
    return text.replace("-", "_")


def positive_int(text: str) -> int:
    if not text.isdigit() or int(text) == 0:
        raise argparse.ArgumentTypeError(f"not a positive whole number: {text!r}")
    return int(text)


def _positive_float(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = 0.0
    if not 0 < value < float("inf"):
        raise argparse.ArgumentTypeError(f"not a positive number: {text!r}")
    return value


def signer_options(sub: argparse.ArgumentParser,
                   group: argparse._MutuallyExclusiveGroup | None = None) -> None:
    """--signer URL and the options that go with it."""
    (group or sub).add_argument(
        "--signer", metavar="URL",
        help="sign through the signing service at URL (https://HOST:PORT) instead of a "
             "local key")
    sub.add_argument("--signer-key", metavar="NAME",
                     help="with --signer, the name of the service's key to use")
    sub.add_argument("--token-file", metavar="FILE",
                     help=f"with --signer, file holding the client's token (- reads stdin); "
                          f"default: ${TOKEN_VARIABLE}")
    sub.add_argument("--ca", metavar="FILE",
                     help="with --signer, PEM file of the authority of the service's "
                          "certificate (default: the system's)")
    sub.add_argument("--client-cert", metavar="FILE",
                     help="with --signer, PEM file of this client's certificate (and its key, "
                          "unless --client-key), for mutual TLS")
    sub.add_argument("--client-key", metavar="FILE",
                     help="with --client-cert, PEM file of its key")


# Adds a command: (name, handler, summary, description) -> its parser.
Command = Callable[[str, Callable[[argparse.Namespace, Inputs], int], str, str],
                   argparse.ArgumentParser]
# The commands whose module (options and handlers) is imported only when they
# run, and for the whole help: each needs modules that would cost every
# other command a good part of its start (the audit's pool of worker
# processes; the signing service's configuration and journal).
FAMILIES = {"demo": "quillet.cli.audit", "audit": "quillet.cli.audit",
            "signer": "quillet.cli.signer"}


def build_parser(families: Mapping[str, Any] | None = None) -> argparse.ArgumentParser:
    """The command line's parser. `families`: the modules of FAMILIES that
    are loaded, by name; the commands of the others are named only (they
    cannot run)."""
    families = families or {}
    parser = _Parser(
        prog="quillet", allow_abbrev=False,
        description="Keys, hashes and signatures of quillet exchange transactions, "
                    "computed by the quillet_python_sdk module. Results are JSON on stdout.",
        epilog=f"Private keys are read from --key-file FILE or ${KEY_VARIABLE}, never from the "
               "command line; a keystore's passphrase from --passphrase-file FILE, "
               f"${PASSPHRASE_VARIABLE} or the terminal; a signing service's token (--signer URL) "
               f"from --token-file FILE or ${TOKEN_VARIABLE}. Exit status: 0 success; 1 verify or "
               "on-curve answered false; 2 failure (one line on stderr).")
    parser.add_argument("--version", action="version", version=f"quillet {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def command(name: str, handler: Callable[[argparse.Namespace, Inputs], int],
                summary: str, description: str = "") -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=summary, description=description or summary,
                                  allow_abbrev=False)
        sub.set_defaults(handler=handler)
        return sub

    def key_file(sub: argparse.ArgumentParser | argparse._MutuallyExclusiveGroup) -> None:
        sub.add_argument("--key-file", metavar="FILE",
                         help=f"file holding the private key text, the JSON of `quillet "
                              f"keygen` or a keystore (- reads stdin); default: ${KEY_VARIABLE}")

    def passphrase_file(sub: argparse.ArgumentParser, current: bool = False) -> None:
        sub.add_argument("--passphrase-file", metavar="FILE",
                         help=f"file holding the keystore's {'current ' if current else ''}"
                              "passphrase, one trailing newline dropped (- reads stdin); "
                              f"default: ${PASSPHRASE_VARIABLE}, else a prompt on the terminal")

    def keystore_read(sub: argparse.ArgumentParser, current: bool = False) -> None:
        passphrase_file(sub, current)
        sub.add_argument("--foreign-pubkey", action="store_true",
                         help="accept a keystore whose pubkey is another scheme's key (as "
                              "other tools write): it is ignored, the key is used")

    def keystore_write(sub: argparse.ArgumentParser, what: str) -> None:
        sub.add_argument("--description", metavar="TEXT",
                         help=f"the keystore's description (default: {what})")
        sub.add_argument("--weak-passphrase", action="store_true",
                         help=f"accept a new passphrase of fewer than {MIN_PASSPHRASE} "
                              "characters (with a warning)")

    def out(sub: argparse.ArgumentParser, what: str, required: bool = False) -> None:
        sub.add_argument("--out", metavar="FILE", required=required,
                         help=f"write {what} to FILE, a new file readable by its owner only"
                              + ("" if required else ", instead of stdout"))
        sub.add_argument("--force", action="store_true",
                         help="with --out, replace an existing FILE")

    def kind(sub: argparse.ArgumentParser, **extra: Any) -> None:
        sub.add_argument("kind", metavar="KIND", type=_kind, choices=KINDS,
                         help="document kind: " + ", ".join(KINDS) + " (- or _ alike)", **extra)

    def document(sub: argparse.ArgumentParser) -> None:
        # None until main() has looked past the options for it (then "-").
        sub.add_argument("file", metavar="FILE", nargs="?", default=None,
                         help="file holding the JSON document; - or nothing reads stdin")

    sub = command("keygen", cmd_keygen, "derive a private key from a seed, or a random one",
                  "Derives a private key from a seed of at least 32 UTF-8 bytes, or with "
                  "--random draws one from the operating system's generator; "
                  'prints {"private_key": ...} or writes it to --out FILE (mode 0600). '
                  "With --encrypt, the key is written as a keystore (an encrypted key file) "
                  "under a new passphrase.")
    sub.add_argument("seed_file", metavar="SEED_FILE", nargs="?",
                     help="file holding the seed text; - or nothing reads stdin. "
                          "One trailing newline is dropped")
    sub.add_argument("--random", action="store_true",
                     help="a fresh random key instead of one derived from a seed")
    sub.add_argument("--encrypt", action="store_true",
                     help="write a keystore: the key encrypted under a passphrase")
    sub.add_argument("--kdf", choices=keystore.KDFS,
                     help="with --encrypt, how the passphrase is stretched (default scrypt)")
    passphrase_file(sub)
    keystore_write(sub, "none")
    out(sub, "the key")

    sub = commands.add_parser("key", help="encrypt a key file as a keystore, decrypt one, or "
                                          "change a keystore's passphrase",
                              description="Converts between plain key files and keystores "
                                          "(encrypted key files), or changes a keystore's "
                                          "passphrase. Each prints the key's public key.",
                              allow_abbrev=False)
    actions = sub.add_subparsers(dest="action", required=True, metavar="ACTION")
    for name, handler, summary in (
            ("encrypt", cmd_key_encrypt, "write the key of --key-file as a keystore under "
                                         "a new passphrase"),
            ("decrypt", cmd_key_decrypt, "write the key of the keystore --key-file as a plain "
                                         'key file {"private_key": ...}'),
            ("passwd", cmd_key_passwd, "change the passphrase of the keystore --key-file: "
                                       "the current one is checked first, the file replaced "
                                       "whole (mode 0600); its KDF and description are kept "
                                       "unless --kdf or --description say otherwise")):
        action = actions.add_parser(name, help=summary.split(":")[0], description=summary,
                                    allow_abbrev=False)
        action.set_defaults(handler=handler, kdf=None)
        key_file(action)
        if name == "encrypt":
            passphrase_file(action)
        else:
            keystore_read(action, current=name == "passwd")
        if name == "passwd":
            action.add_argument("--new-passphrase-file", metavar="FILE",
                                help="file holding the new passphrase, one trailing newline "
                                     "dropped (- reads stdin); default: a prompt on the "
                                     "terminal, twice")
        else:
            out(action, "the keystore" if name == "encrypt" else "the plain key",
                required=True)
        if name != "decrypt":
            action.add_argument("--kdf", choices=keystore.KDFS,
                                help="how the passphrase is stretched (default: "
                                     + ("scrypt)" if name == "encrypt" else "the keystore's)"))
            keystore_write(action, "none" if name == "encrypt" else "the keystore's")

    sub = command("pubkey", cmd_pubkey, "public key of a private key, or of a packed key",
                  'Prints the public key {"x": packed key, "y": affine x} of the private key, '
                  "or with --packed of a packed public key.")
    group = sub.add_mutually_exclusive_group()
    key_file(group)
    group.add_argument("--packed", metavar="PUBLIC_KEY", help="packed public key text (0x...)")
    keystore_read(sub)
    signer_options(sub, group)

    sub = command("on-curve", cmd_on_curve, "test a public-key text pair against the curve",
                  'Prints {"on_curve": true|false} for the pair x (packed key), y (affine x); '
                  "exits 1 when false.")
    sub.add_argument("x", metavar="X")
    sub.add_argument("y", metavar="Y")

    def ndjson(sub: argparse.ArgumentParser, what: str) -> None:
        sub.add_argument("--ndjson", action="store_true",
                         help=f"{what}, one JSON text per line; prints one result per input "
                              'line ({"error": ...} for a refused line, {"error": "empty line"} '
                              "for a blank one; exit 2 if any)")

    sub = command("hash", cmd_hash, "Poseidon hash of a transaction document",
                  'Prints {"hash": "0x..."} of a JSON transaction document, read as the '
                  "typed documents read it (each key once, every value one the hash binds) "
                  "and hashed as the typed document writes it.")
    kind(sub)
    document(sub)
    ndjson(sub, "FILE (or stdin) holds many documents")
    sub.add_argument("--raw", action="store_true",
                     help="hand the text to the module's hash function as it is, with the "
                          "module's own acceptance (a repeated key, a nonce of 2**32 and "
                          "more pass); `sign` and `verify` never do this")

    sub = command("sign", cmd_sign, "sign a transaction document",
                  'Prints the signature {"r": ..., "s": ...} of a JSON transaction document.')
    kind(sub)
    document(sub)
    key_file(sub)
    keystore_read(sub)
    signer_options(sub)
    ndjson(sub, "FILE (or stdin) holds many documents")

    sub = command("sign-message", cmd_sign_message, "sign a 256-bit message",
                  'Prints the signature {"r": ..., "s": ...} of a message given as hex text.')
    sub.add_argument("msg", metavar="MSG", help="the message: up to 64 hex digits, 0x allowed")
    key_file(sub)
    keystore_read(sub)
    signer_options(sub)

    sub = command("eth-sign", cmd_eth_sign, "sign a 256-bit message in the L1 form",
                  'Prints the L1 signature {"x", "y", "s", "pk_x", "pk_y"} of a message.')
    sub.add_argument("msg", metavar="MSG", help="the message: up to 64 hex digits")
    key_file(sub)
    keystore_read(sub)
    signer_options(sub)

    sub = command("verify", cmd_verify, "verify a signature",
                  'Prints {"valid": true|false}; exits 1 when false. SIGNATURE and '
                  "PUBLIC_KEY may be given as @FILE (@- reads stdin).")
    # One list, not three optional positionals: argparse would leave MESSAGE
    # unmatched after an option standing between them.
    sub.add_argument("arguments", metavar="SIGNATURE PUBLIC_KEY MESSAGE", nargs="*",
                     help='the signature JSON {"r": ..., "s": ...} as `quillet sign` prints it; '
                          'the packed public key, or the JSON {"x", "y"} of `quillet pubkey`; '
                          "the signed message (hex text), with --kind a document file (- stdin)")
    sub.add_argument("--kind", type=_kind, choices=KINDS, metavar="KIND",
                     help="MESSAGE is a document of this kind: verify against its hash")
    ndjson(sub, 'FILE (or stdin) holds lines {"signature": {"r", "s"}, "public_key": packed '
                'key or {"x", "y"}, "message": hex text} ("document": ... instead with --kind)')

    audit_family = families.get("quillet.cli.audit")
    if audit_family is not None:
        audit_family.add_commands(command)
    else:
        for name in ("demo", "audit"):
            commands.add_parser(name)
    signer_family = families.get("quillet.cli.signer")
    if signer_family is not None:
        signer_family.add_signer_command(commands)
    else:
        commands.add_parser("signer")

    sub = command("bench", cmd_bench, "time each function of the module",
                  "Prints the median µs/op and ops/s of each function.")
    sub.add_argument("functions", metavar="FUNCTION", nargs="*", choices=bench.FUNCTIONS,
                     help="only these functions (default: all)")
    sub.add_argument("--rounds", type=positive_int, default=15,
                     help="timed rounds per function (default 15)")
    sub.add_argument("--min-time", type=_positive_float, default=0.02, metavar="SECONDS",
                     help="least duration of one round (default 0.02)")
    sub.add_argument("--table", action="store_true", help="print a text table instead of JSON")
    sub.add_argument("--batch", action="store_true",
                     help="instead, time quillet.batch (threads=1 and 2) against a Python loop")
    sub.add_argument("--batch-size", type=positive_int, default=bench.BATCH_SIZE, metavar="N",
                     help=f"documents per batch with --batch (default {bench.BATCH_SIZE})")
    return parser

