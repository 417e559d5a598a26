"""keygen, key encrypt / decrypt, pubkey, and where a command finds its
private key and a keystore's passphrase, or its signing service (--signer
URL: its client module needs httpx, imported only then, so that the other
commands work without the extra)."""

from __future__ import annotations

import argparse
import getpass
import importlib
import json
import os
import string
from collections.abc import Iterator
from contextlib import contextmanager
from typing import TYPE_CHECKING

import quillet_python_sdk as sdk

from quillet import keystore
from quillet.cli.common import (EXIT_OK, HEX_RUN, TEXT_LIMIT, Failure, Inputs, call, emit_text,
                                parse_json, write_out, write_private_file)
from quillet.errors import InvalidKey, QuilletError
from quillet.keys import PrivateKey

if TYPE_CHECKING:
    from quillet.signer import Signer

KEY_ENV = "QUILLET_PRIVATE_KEY"
PASSPHRASE_ENV = keystore.PASSPHRASE_VARIABLE
_KEY_DIGITS = 64
TOKEN_ENV = "QUILLET_SIGNER_TOKEN"
SIGNER_EXTRA = "pip install 'quillet_python_sdk[signer]'"
# The options that mean something only with --signer.
_WITH_SIGNER = ("signer_key", "token_file", "ca", "client_cert", "client_key")


def key_text_problem(text: str) -> str | None:
    """What keeps `text` from being a private key text ("0x" prefixes, then 64
    hex digits), told without quoting any of it; None when the form is right.
    Positions count from 0 at the start of `text`."""
    digits = text
    while digits.startswith("0x"):
        digits = digits[2:]
    start = len(text) - len(digits)
    for position, char in enumerate(digits, start):
        if char not in string.hexdigits:
            shown = f" {char!r}" if char.isascii() and char.isprintable() else ""
            return f"unexpected character U+{ord(char):04X}{shown} at position {position}"
    if len(digits) != _KEY_DIGITS:
        return f"{len(digits)} hex digits where {_KEY_DIGITS} are expected"
    return None


def private_key(args: argparse.Namespace, inputs: Inputs, want: str | None = None) -> PrivateKey:
    """The private key from --key-file or $QUILLET_PRIVATE_KEY: a bare key
    text, the JSON that `quillet keygen` prints, or a keystore, unlocked with
    the passphrase that `passphrase` finds. Surrounding blanks are dropped. `want`
    "plain" refuses a keystore, "keystore" anything else.
    """
    if args.key_file is not None:
        if HEX_RUN.search(args.key_file) and not os.path.exists(args.key_file):
            raise Failure("--key-file names no file: it takes the name of a file that "
                          "holds the key, not the key itself")
        origin = "standard input" if args.key_file == "-" else args.key_file
        text = inputs.read(args.key_file, "private key", keystore.SIZE_LIMIT)
    else:
        if KEY_ENV not in os.environ:
            raise Failure(f"no private key: give --key-file FILE or set {KEY_ENV}")
        origin, text = KEY_ENV, os.environ[KEY_ENV]
    text = text.strip()
    if text.startswith("{"):
        document = parse_json(text)
        if keystore.is_keystore(document):
            if want == "plain":
                raise Failure(f"{origin} holds a keystore already")
            return _unlock(text, origin, args, inputs)
        if want == "keystore":
            del text, document  # no key text in the failure's frame
            raise Failure(f"{origin} holds no keystore")
        value = document.get("private_key") if isinstance(document, dict) else None
        del document
        if not isinstance(value, str):
            raise Failure(f'{origin} holds JSON without a "private_key" text')
        text = value.strip()
        del value
    if not text:
        raise Failure(f"{origin} holds no private key")
    if want == "keystore":
        del text
        raise Failure(f"{origin} holds no keystore")
    problem = key_text_problem(text)
    if problem is not None:
        del text
        raise Failure(f"the private key in {origin} is malformed: {problem}")
    # A well-formed text may still be out of range or 0: PrivateKey refuses it
    # here, so that the key is blamed, not the document or message it was
    # meant to sign.
    try:
        return PrivateKey(text)
    except InvalidKey as error:
        refusal = str(error).removeprefix("not a private key: ")
    del text
    raise Failure(f"the private key in {origin} is refused: {refusal}")


@contextmanager
def signer(args: argparse.Namespace, inputs: Inputs) -> Iterator[Signer]:
    """The signer a command signs with: the service of --signer, or the
    private key of --key-file / $QUILLET_PRIVATE_KEY; closed on exit."""
    if args.signer is None:
        given = [f"--{name.replace('_', '-')}" for name in _WITH_SIGNER
                 if getattr(args, name, None) is not None]
        if given:
            raise Failure(f"{', '.join(given)} only applies to --signer URL")
        yield private_key(args, inputs)
        return
    if getattr(args, "key_file", None) is not None:
        raise Failure("give --key-file or --signer, not both")
    if args.signer_key is None:
        raise Failure("--signer needs --signer-key NAME, the service's key to sign with")
    if args.client_key is not None and args.client_cert is None:
        raise Failure("--client-key only applies to --client-cert FILE")
    try:
        remote = importlib.import_module("quillet.remote")
    except ImportError:
        raise Failure(f"--signer needs the extra: {SIGNER_EXTRA}") from None
    token = inputs.read("-", "token", TEXT_LIMIT) if args.token_file == "-" else None
    try:
        service = remote.RemoteSigner(
            args.signer, key=args.signer_key, token=token,
            token_file=None if args.token_file == "-" else args.token_file, ca=args.ca,
            client_cert=args.client_cert if args.client_key is None else
            (args.client_cert, args.client_key))
    except QuilletError as error:
        message = str(error)
    else:
        del token
        with service:
            yield service
        return
    del token
    raise Failure(message)


def _unlock(text: str, origin: str, args: argparse.Namespace, inputs: Inputs) -> PrivateKey:
    """The key of the keystore `text`; the passphrase goes straight into the call."""
    try:
        return PrivateKey.from_keystore(text, passphrase(args, inputs, new=False))
    except (QuilletError, TypeError) as error:
        raise Failure(f"{origin}: {error}") from None


def passphrase(args: argparse.Namespace, inputs: Inputs, new: bool) -> str:
    """A keystore's passphrase: from --passphrase-file (one trailing newline
    dropped), else $QUILLET_KEY_PASSPHRASE, else the terminal, without echo
    and, when `new`, twice. A new passphrase may not be empty."""
    if args.passphrase_file is not None:
        origin = "standard input" if args.passphrase_file == "-" else args.passphrase_file
        text = inputs.read(args.passphrase_file, "passphrase", TEXT_LIMIT).removesuffix("\n")
    elif PASSPHRASE_ENV in os.environ:
        origin, text = f"${PASSPHRASE_ENV}", os.environ[PASSPHRASE_ENV]
    else:
        return _prompt(new)
    if new and not text:
        raise Failure(f"{origin} holds an empty passphrase, which is refused")
    return text


def ask_terminal(prompt: str, no_terminal: str) -> str:
    """A text typed on the controlling terminal, without echo; with no
    terminal, Failure(no_terminal) (getpass would read standard input with
    echo instead)."""
    try:
        os.close(os.open("/dev/tty", os.O_RDWR | os.O_NOCTTY))
    except OSError:
        raise Failure(no_terminal) from None
    try:
        return getpass.getpass(prompt)
    except EOFError:
        raise Failure("no passphrase: the terminal closed") from None


def _prompt(new: bool) -> str:
    """A passphrase typed on the terminal (a new one twice)."""
    no_terminal = (f"no passphrase: give --passphrase-file FILE, set {PASSPHRASE_ENV}, "
                   "or run on a terminal")
    typed = ask_terminal("New passphrase: " if new else "Passphrase: ", no_terminal)
    if new:
        problem = ("an empty passphrase is refused" if not typed else
                   "the passphrases differ"
                   if ask_terminal("Repeat the passphrase: ", no_terminal) != typed else None)
        if problem is not None:
            del typed
            raise Failure(problem)
    return typed


def _keystore(key: PrivateKey, args: argparse.Namespace, inputs: Inputs) -> str:
    """`key` as keystore JSON under a new passphrase, with --kdf."""
    if args.out is not None and not args.force and os.path.lexists(args.out):
        # Before asking for a passphrase and spending a second on it.
        raise Failure(f"{args.out} exists; give --force to replace it")
    try:
        return key.to_keystore(passphrase(args, inputs, new=True), kdf=args.kdf or "scrypt")
    except (QuilletError, TypeError, ValueError) as error:
        raise Failure(str(error)) from None



def cmd_keygen(args: argparse.Namespace, inputs: Inputs) -> int:
    if args.force and args.out is None:
        raise Failure("--force only applies to --out FILE")
    if args.kdf is not None and not args.encrypt:
        raise Failure("--kdf only applies to --encrypt")
    if args.random:
        if args.seed_file is not None:
            raise Failure("--random takes no SEED_FILE")
        key = PrivateKey.generate()
    else:
        seed = inputs.read(args.seed_file or "-", "seed")
        seed = seed.removesuffix("\n")  # `echo seed > file` and `printf seed > file` agree
        key = PrivateKey(call(sdk.private_key_from_seed, seed))
    if args.encrypt:
        text = _keystore(key, args, inputs)
    else:
        text = json.dumps({"private_key": key.to_text()})
    if args.out is None:
        write_out(text + "\n")
    else:
        write_private_file(args.out, text + "\n", replace=args.force)
    return EXIT_OK


def cmd_key_encrypt(args: argparse.Namespace, inputs: Inputs) -> int:
    key = private_key(args, inputs, want="plain")
    write_private_file(args.out, _keystore(key, args, inputs) + "\n", replace=args.force)
    return EXIT_OK


def cmd_key_decrypt(args: argparse.Namespace, inputs: Inputs) -> int:
    if not args.force and os.path.lexists(args.out):
        raise Failure(f"{args.out} exists; give --force to replace it")
    write_private_file(args.out, json.dumps({"private_key": private_key(args, inputs, "keystore").to_text()})
                       + "\n", replace=args.force)
    return EXIT_OK



def cmd_pubkey(args: argparse.Namespace, inputs: Inputs) -> int:
    if args.packed is not None:
        emit_text(call(sdk.public_key_to_xy, args.packed))
    elif args.signer is not None:
        with signer(args, inputs) as service:
            emit_text(service.public_key.to_json())
    else:
        key = private_key(args, inputs)
        emit_text(call(sdk.private_key_to_public_key_xy, key.to_text(), secret=key))
    return EXIT_OK
