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
import sys
import unicodedata
from collections.abc import Iterator
from contextlib import contextmanager
from typing import TYPE_CHECKING

from quillet import keystore
from quillet.cli.common import (EXIT_OK, HEX_RUN, TEXT_LIMIT, Failure, Inputs, emit_text,
                                typed_call, warn, write_out, write_private_file)
from quillet.errors import InvalidKey, QuilletError
from quillet.keys import (FOREIGN_PUBKEY_FIX, KEY_VARIABLE, PrivateKey, PublicKey,
                          holds_keystore, key_file_exposure, key_from_content)
from quillet.keystore import PASSPHRASE_VARIABLE

if TYPE_CHECKING:
    from quillet.signer import Signer

# A new passphrase shorter than this is refused without --weak-passphrase.
MIN_PASSPHRASE = 12
# Tries at the prompt for a new passphrase, as passwd(1) gives.
PROMPT_TRIES = 3
SIGNER_EXTRA = "pip install 'quillet_python_sdk[signer]'"
# The options that mean something only with --signer.
_WITH_SIGNER = ("signer_key", "token_file", "ca", "client_cert", "client_key")


def private_key(args: argparse.Namespace, inputs: Inputs, want: str | None = None) -> PrivateKey:
    """The private key from --key-file or $QUILLET_PRIVATE_KEY, read as
    quillet.keys reads a key file: a bare key text, the JSON that `quillet
    keygen` prints, or a keystore, unlocked with the passphrase that
    `passphrase` finds. `want` "plain" refuses a keystore, "keystore"
    anything else. A key refused is blamed on its source (the library's
    reason after where the key came from), before any document or message
    is read; no frame of the failure holds the key's text.
    """
    origin, content = _key_source(args, inputs)
    if want is not None and holds_keystore(content) != (want == "keystore"):
        del content
        raise Failure(f"{origin} holds a keystore already; `quillet key passwd` changes its "
                      "passphrase" if want == "plain" else f"{origin} holds no keystore")
    key = _opened(content, args, inputs)
    del content
    if isinstance(key, str):
        raise Failure(f"{origin}: {key}")
    return key


def _opened(content: str, args: argparse.Namespace, inputs: Inputs,
            prompt: str = "Passphrase: ") -> PrivateKey | str:
    """The key of `content`, or why the library refuses it. A keystore's
    passphrase is asked for only once its pubkey passed (one of another
    scheme is refused first, unless --foreign-pubkey) and goes straight into
    the call."""
    foreign = getattr(args, "foreign_pubkey", False)
    try:
        return key_from_content(content, lambda: passphrase(args, inputs, prompt),
                                foreign_pubkey=foreign)
    except (QuilletError, TypeError) as error:
        return str(error).replace(FOREIGN_PUBKEY_FIX, "give --foreign-pubkey")


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


def _key_source(args: argparse.Namespace, inputs: Inputs) -> tuple[str, str]:
    """(where the key comes from, its text)."""
    if args.key_file is not None:
        if HEX_RUN.search(args.key_file) and not os.path.exists(args.key_file):
            raise Failure("--key-file names no file: it takes the name of a file that "
                          "holds the key, not the key itself")
        text = inputs.read(args.key_file, "private key", keystore.SIZE_LIMIT)
        warn_if_exposed(args, args.key_file, "key file")
        return "standard input" if args.key_file == "-" else args.key_file, text
    if KEY_VARIABLE not in os.environ:
        raise Failure(f"no private key: give --key-file FILE or set {KEY_VARIABLE}")
    return f"${KEY_VARIABLE}", os.environ[KEY_VARIABLE]


def warn_if_exposed(args: argparse.Namespace, path: str, what: str) -> None:
    """A warning when file `path` holds a secret that group or others may read."""
    try:
        exposure = None if path == "-" else key_file_exposure(os.stat(path).st_mode)
    except OSError:
        return  # it was read a moment ago; a file gone since has nothing to warn of
    if exposure is not None:
        warn(args, f"{what} {path}: {exposure}")


def passphrase(args: argparse.Namespace, inputs: Inputs, prompt: str = "Passphrase: ") -> str:
    """An existing keystore's passphrase: from --passphrase-file (one trailing
    newline dropped), else $QUILLET_KEY_PASSPHRASE, else the terminal, without
    echo."""
    if args.passphrase_file is not None:
        return _passphrase_file(args, inputs, args.passphrase_file)[1]
    if PASSPHRASE_VARIABLE in os.environ:
        return os.environ[PASSPHRASE_VARIABLE]
    return ask_terminal(prompt, f"no passphrase: give --passphrase-file FILE, set "
                                f"{PASSPHRASE_VARIABLE}, or run on a terminal")


def new_passphrase(args: argparse.Namespace, inputs: Inputs, source: str | None,
                   environment: bool) -> str:
    """A new passphrase: from file `source`, else (when `environment`)
    $QUILLET_KEY_PASSPHRASE, else typed twice on the terminal, PROMPT_TRIES
    tries at most. An empty one is refused, as one shorter than
    MIN_PASSPHRASE characters unless --weak-passphrase (then a warning)."""
    if source is not None:
        origin, text = _passphrase_file(args, inputs, source)
    elif environment and PASSPHRASE_VARIABLE in os.environ:
        origin, text = f"${PASSPHRASE_VARIABLE}", os.environ[PASSPHRASE_VARIABLE]
    else:
        _need_terminal(f"no passphrase: give --passphrase-file FILE, set {PASSPHRASE_VARIABLE}, "
                       "or run on a terminal" if environment else
                       "no new passphrase: give --new-passphrase-file FILE or run on a terminal")
        return _ask_new(args)
    problem = _weakness(args, text)
    if problem is not None:
        del text
        raise Failure(f"{origin} holds {problem}")
    return text


def _passphrase_file(args: argparse.Namespace, inputs: Inputs, source: str) -> tuple[str, str]:
    text = inputs.read(source, "passphrase", TEXT_LIMIT).removesuffix("\n")
    warn_if_exposed(args, source, "passphrase file")
    return "standard input" if source == "-" else source, text


def _characters(text: str) -> int:
    """The characters of a passphrase as a person counts them: composed
    (NFKC), control codes left out as the keystore leaves them out."""
    return sum(unicodedata.category(c) != "Cc" for c in unicodedata.normalize("NFKC", text))


def _weakness(args: argparse.Namespace, text: str) -> str | None:
    """Why a new passphrase is refused ("an empty passphrase, …"), or None;
    a short one passes with a warning under --weak-passphrase."""
    count = _characters(text)
    if count == 0:
        return "an empty passphrase, which is refused"
    if count >= MIN_PASSPHRASE:
        return None
    if not getattr(args, "weak_passphrase", False):
        return (f"a passphrase of {count} characters, fewer than {MIN_PASSPHRASE}: choose a "
                "longer one, or give --weak-passphrase to accept it")
    warn(args, f"the new passphrase has {count} characters, fewer than {MIN_PASSPHRASE}: "
               "it may be guessed")
    return None


def _need_terminal(failure: str) -> None:
    """A Failure unless there is a controlling terminal to prompt on (getpass
    would read standard input with echo instead)."""
    try:
        os.close(os.open("/dev/tty", os.O_RDWR | os.O_NOCTTY))
    except OSError:
        raise Failure(failure) from None


def ask_terminal(prompt: str, no_terminal: str) -> str:
    """A text typed on the controlling terminal, without echo; with no
    terminal, Failure(no_terminal)."""
    _need_terminal(no_terminal)
    return _ask(prompt)


def _ask(prompt: str) -> str:
    try:
        return getpass.getpass(prompt)
    except EOFError:
        raise Failure("no passphrase: the terminal closed") from None


def _ask_new(args: argparse.Namespace) -> str:
    """A new passphrase typed twice; a refused or mistyped one is asked for
    again, PROMPT_TRIES times in all."""
    for _ in range(PROMPT_TRIES):
        typed = _ask("New passphrase: ")
        problem = _weakness(args, typed)
        if problem is None:
            try:
                if _ask("Repeat the passphrase: ") == typed:
                    return typed
            except Failure:  # the terminal closed: no frame keeps what was typed
                del typed
                raise
            problem = "the passphrases differ"
        del typed
        if sys.stderr is not None:
            sys.stderr.write(f"{problem[0].upper()}{problem[1:]}; try again.\n")
    raise Failure(f"{problem} ({PROMPT_TRIES} tries)")


def _keystore(key: PrivateKey, args: argparse.Namespace, inputs: Inputs) -> str:
    """`key` as keystore JSON under a new passphrase, with --kdf and --description."""
    if args.out is not None and not args.force and os.path.lexists(args.out):
        # Before asking for a passphrase and spending a second on it.
        raise Failure(f"{args.out} exists; give --force to replace it")
    # The passphrase goes straight into the call: no local of this frame holds it.
    return _encrypted(key, new_passphrase(args, inputs, args.passphrase_file, environment=True),
                      args.kdf or "scrypt", args.description or "")


def _encrypted(key: PrivateKey, passphrase: str, kdf: str, description: str) -> str:
    try:
        return key.to_keystore(passphrase, kdf=kdf, description=description)
    except (QuilletError, TypeError, ValueError) as error:
        reason = str(error)
    del passphrase
    raise Failure(reason)


def _written(path: str, text: str, key: PrivateKey, replace: bool) -> int:
    """Writes key file `path` and prints its key's public key (to register it,
    without unlocking the file again). A Failure leaves no frame holding `text`."""
    try:
        write_private_file(path, text + "\n", replace=replace)
    except Failure:
        del text
        raise
    emit_text(key.public_key.to_json())
    return EXIT_OK


def _plain(key: PrivateKey, args: argparse.Namespace, inputs: Inputs) -> str:
    """`key` as the plain key file's JSON."""
    return json.dumps({"private_key": key.to_text()})


def cmd_keygen(args: argparse.Namespace, inputs: Inputs) -> int:
    if args.force and args.out is None:
        raise Failure("--force only applies to --out FILE")
    for option, given in (("--kdf", args.kdf is not None),
                          ("--description", args.description is not None),
                          ("--weak-passphrase", args.weak_passphrase)):
        if given and not args.encrypt:
            raise Failure(f"{option} only applies to --encrypt")
    if args.random:
        if args.seed_file is not None:
            raise Failure("--random takes no SEED_FILE")
        key = PrivateKey.generate()
    else:
        seed = inputs.read(args.seed_file or "-", "seed")
        seed = seed.removesuffix("\n")  # `echo seed > file` and `printf seed > file` agree
        try:
            key = PrivateKey.from_seed(seed)  # the key never comes back as text
        except InvalidKey as error:
            raise Failure(str(error)) from None
    # The file's text is made inside the call that writes it: no local holds the key.
    content = _keystore if args.encrypt else _plain
    if args.out is None:
        write_out(content(key, args, inputs) + "\n")
        return EXIT_OK
    return _written(args.out, content(key, args, inputs), key, replace=args.force)


def cmd_key_encrypt(args: argparse.Namespace, inputs: Inputs) -> int:
    key = private_key(args, inputs, want="plain")
    return _written(args.out, _keystore(key, args, inputs), key, replace=args.force)


def cmd_key_decrypt(args: argparse.Namespace, inputs: Inputs) -> int:
    if not args.force and os.path.lexists(args.out):
        raise Failure(f"{args.out} exists; give --force to replace it")
    key = private_key(args, inputs, "keystore")
    return _written(args.out, _plain(key, args, inputs), key, replace=args.force)


def cmd_key_passwd(args: argparse.Namespace, inputs: Inputs) -> int:
    if args.key_file is None or args.key_file == "-":
        raise Failure("give --key-file KEYSTORE: the keystore file whose passphrase changes")
    # A link's target is the file that changes: replacing the link instead
    # would leave the old passphrase in force wherever the target is read.
    target = os.path.realpath(args.key_file)
    origin, content = _key_source(args, inputs)
    if not holds_keystore(content):
        del content
        raise Failure(f"{origin} holds no keystore; `quillet key encrypt` writes one")
    key = _opened(content, args, inputs, "Current passphrase: ")
    if isinstance(key, str):
        raise Failure(f"{origin}: {key}")
    document = keystore.parse(content)
    # The reading checked both: the function is a known one, a description a text.
    kdf = args.kdf or document["crypto"]["kdf"]["function"]
    description = document.get("description", "") if args.description is None \
        else args.description
    return _written(target, _encrypted(key, new_passphrase(args, inputs, args.new_passphrase_file,
                                                           environment=False),
                                       kdf, description), key, replace=True)


def cmd_pubkey(args: argparse.Namespace, inputs: Inputs) -> int:
    if args.packed is not None:
        # Only a key that verification can use: the neutral point's pair would
        # pass any signature.
        emit_text(typed_call(lambda: PublicKey.from_packed(args.packed)).to_json())
    elif args.signer is not None:
        with signer(args, inputs) as service:
            emit_text(service.public_key.to_json())
    else:
        key = private_key(args, inputs)
        emit_text(key.public_key.to_json())  # private_key_to_public_key_xy's text
    return EXIT_OK
