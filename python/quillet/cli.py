"""The `quillet` command: the functions of quillet_python_sdk from the shell.

Every command calls the module's functions and never computes a hash, key or
signature itself. Results go to stdout as JSON. A failure prints one line on
stderr and exits with status 2; `verify` and `on-curve` exit with 1 when
their answer is false. Private keys are read from --key-file FILE or from the
QUILLET_PRIVATE_KEY environment variable, never from the command line; a
keystore's passphrase from --passphrase-file FILE, QUILLET_KEY_PASSPHRASE or
the terminal (without echo), never from the command line either.
"""

from __future__ import annotations

import argparse
import errno
import getpass
import json
import os
import re
import string
import sys
import tempfile
from collections.abc import Callable, Iterator, Sequence
from typing import Any, BinaryIO, NoReturn, TypeVar

import quillet_python_sdk as sdk

from quillet import __version__, _batch, batch, bench, demo, keystore
from quillet.documents import DOCUMENT_TYPES, key_value, named_key
from quillet.errors import InvalidDocument, KeyMismatch, QuilletError
from quillet.keys import SUBGROUP_ORDER, PrivateKey
from quillet.keys import _key_fault as key_fault
from quillet.audit import command as audit_command
from quillet.audit.run import AuditError

KEY_ENV = "QUILLET_PRIVATE_KEY"
PASSPHRASE_ENV = keystore.PASSPHRASE_VARIABLE

EXIT_OK = 0
EXIT_FALSE = 1  # verify / on-curve answered no
EXIT_FAILURE = 2  # bad usage, unreadable input, or the module refused the input

# Largest input read, in bytes: documents as large as the module accepts; keys,
# signatures and public keys are far below TEXT_LIMIT even as indented JSON.
DOCUMENT_LIMIT = 1 << 20
TEXT_LIMIT = 4096
# Lines of an --ndjson input per batch call.
NDJSON_CHUNK = 1024

KINDS = batch.KINDS
HASH: dict[str, Callable[[str], str]] = {kind: getattr(sdk, "hash_" + kind) for kind in KINDS}
SIGN: dict[str, Callable[[str, str], str]] = {kind: getattr(sdk, "sign_" + kind) for kind in KINDS}

# A run of 16 hex digits or more in a usage error may be (part of) a private
# key typed on the command line, also when invisible characters split it.
_INVISIBLE = "\x00-\x08\x0e-\x1f\x7f-\x9f\u00ad\u180e\u200b-\u200f\u202a-\u202e\u2060-\u206f\ufeff"
_HEX_RUN = re.compile(f"(?:0[xX])?[0-9a-fA-F](?:[{_INVISIBLE}]*[0-9a-fA-F]){{15,}}")
_KEY_DIGITS = 64

T = TypeVar("T")


class Failure(Exception):
    """A failure of the command, reported as one line on stderr."""


# --- inputs ------------------------------------------------------------------

class Inputs:
    """Reads the command's inputs; standard input can feed only one of them."""

    def __init__(self) -> None:
        self._stdin_holds: str | None = None

    def _claim_stdin(self, what: str) -> BinaryIO:
        if self._stdin_holds is not None:
            raise Failure(f"standard input already holds the {self._stdin_holds}; "
                          f"give the {what} as a file")
        if sys.stdin is None:
            raise Failure(f"no standard input to read the {what} from")
        self._stdin_holds = what
        return sys.stdin.buffer

    def read(self, source: str, what: str, limit: int = DOCUMENT_LIMIT) -> str:
        """The UTF-8 text of file `source`, or of standard input if it is "-";
        more than `limit` bytes is refused without reading further."""
        if source == "-":
            data = _read_bounded(self._claim_stdin(what), what, limit)
        else:
            try:
                with open(source, "rb") as file:
                    data = _read_bounded(file, what, limit)
            except OSError as error:
                raise Failure(f"cannot read the {what} from {source}: {error.strerror}") from None
        try:
            return data.decode("utf-8")
        except UnicodeDecodeError as error:
            raise Failure(f"the {what} is not UTF-8 text (byte {error.start})") from None

    def text_or_file(self, value: str, what: str) -> str:
        """`value` itself, or the text of the file it names as "@FILE" ("@-": stdin)."""
        return self.read(value[1:], what, TEXT_LIMIT) if value.startswith("@") else value

    def lines(self, source: str, what: str) -> Iterator[list[str]]:
        """The lines of file `source` (stdin if "-"), blank ones too,
        NDJSON_CHUNK at a time, as they are read: memory stays bounded however
        long the input.
        A line is refused beyond DOCUMENT_LIMIT bytes or if it is not UTF-8."""
        if source == "-":
            file = self._claim_stdin(what)
        else:
            try:
                file = open(source, "rb")  # closed by _chunks
            except OSError as error:
                raise Failure(f"cannot read the {what} from {source}: {error.strerror}") from None
        return self._chunks(file, what, close=source != "-")

    @staticmethod
    def _chunks(file: BinaryIO, what: str, close: bool) -> Iterator[list[str]]:
        try:
            chunk: list[str] = []
            number = 0
            while True:
                try:
                    raw = file.readline(DOCUMENT_LIMIT + 1)
                except OSError as error:
                    raise Failure(f"cannot read the {what}: {error.strerror}") from None
                if not raw:
                    break
                number += 1
                if len(raw) > DOCUMENT_LIMIT and not raw.endswith(b"\n"):
                    raise Failure(f"line {number} of the {what} is longer than "
                                  f"{DOCUMENT_LIMIT} bytes")
                try:
                    line = raw.decode("utf-8").rstrip("\r\n")
                except UnicodeDecodeError as error:
                    raise Failure(f"line {number} of the {what} is not UTF-8 text "
                                  f"(byte {error.start})") from None
                chunk.append(line)
                if len(chunk) == NDJSON_CHUNK:
                    yield chunk
                    chunk = []
            if chunk:
                yield chunk
        finally:
            if close:
                file.close()


def _read_bounded(file: BinaryIO, what: str, limit: int) -> bytes:
    """At most `limit` bytes of `file`: a larger file (or /dev/zero) is refused
    after reading one byte more."""
    try:
        data = file.read(limit + 1)
    except OSError as error:
        raise Failure(f"cannot read the {what}: {error.strerror}") from None
    if len(data) > limit:
        raise Failure(f"the {what} is longer than {limit} bytes")
    return data


def _parse_json(text: str) -> Any:
    """The value of JSON `text`, or None when it is no JSON or nested too deeply."""
    try:
        return json.loads(text)
    except (ValueError, RecursionError):
        return None


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


def private_key(args: argparse.Namespace, inputs: Inputs, want: str | None = None) -> str:
    """The private key text from --key-file or $QUILLET_PRIVATE_KEY: a bare key
    text, the JSON that `quillet keygen` prints, or a keystore, unlocked with
    the passphrase that `passphrase` finds. Surrounding blanks are dropped. `want`
    "plain" refuses a keystore, "keystore" anything else.
    """
    if args.key_file is not None:
        if _HEX_RUN.search(args.key_file) and not os.path.exists(args.key_file):
            raise Failure("--key-file names no file: it takes the name of a file that "
                          "holds the key, not the key itself")
        origin = "standard input" if args.key_file == "-" else args.key_file
        text = inputs.read(args.key_file, "private key", keystore.SIZE_LIMIT)
    else:
        env = os.environ.get(KEY_ENV)
        if env is None:
            raise Failure(f"no private key: give --key-file FILE or set {KEY_ENV}")
        origin, text = KEY_ENV, env
    text = text.strip()
    if text.startswith("{"):
        document = _parse_json(text)
        if keystore.is_keystore(document):
            if want == "plain":
                raise Failure(f"{origin} holds a keystore already")
            return _unlock(text, origin, args, inputs).to_text()
        if want == "keystore":
            raise Failure(f"{origin} holds no keystore")
        value = document.get("private_key") if isinstance(document, dict) else None
        if not isinstance(value, str):
            raise Failure(f'{origin} holds JSON without a "private_key" text')
        text = value.strip()
    if not text:
        raise Failure(f"{origin} holds no private key")
    if want == "keystore":
        raise Failure(f"{origin} holds no keystore")
    problem = key_text_problem(text)
    if problem is not None:
        raise Failure(f"the private key in {origin} is malformed: {problem}")
    # A well-formed text may still be out of range: checked here too, so that
    # the key is blamed, not the document or message it was meant to sign.
    ok, reason = _batch.call("private_key_to_public_key_xy", text)
    if not ok:
        raise Failure(f"the private key in {origin} is refused: {key_fault(str(reason))}")
    if key_value(json.loads(str(reason))["x"]) == 1:
        raise Failure(f"the private key in {origin} is refused: it is 0, whose public key (the "
                      "neutral point) accepts a signature for every message")
    return text


def public_key_x(key: str) -> str:
    """The packed public key of a private key text that private_key() returned."""
    return str(json.loads(call(sdk.private_key_to_public_key_xy, key, secret=key))["x"])


def key_mismatch(document: str, kind: str, signer: str) -> str | None:
    """Why the private key whose public key is `signer` may not sign the JSON
    `document`: the document names another key (see
    quillet.documents.named_key). None if it names this one, or if the
    module is left to refuse the document."""
    parsed = _parse_json(document)
    named = named_key(parsed, kind) if isinstance(parsed, dict) else None
    value = key_value(named)
    if value is None or value == key_value(signer):
        return None
    return str(KeyMismatch(str(named), signer))


def refuse_message_zero(msg: str, prefixes: tuple[str, ...]) -> None:
    """Failure if `msg`, read as the module reads it after dropping `prefixes`,
    is 0 modulo the group order: its signature verifies under every key."""
    digits = msg
    for prefix in prefixes:
        while digits.startswith(prefix):
            digits = digits[len(prefix):]
    if all(c in string.hexdigits for c in digits) and int(digits or "0", 16) % SUBGROUP_ORDER == 0:
        raise Failure(f"message {msg!r} is 0 modulo the group order: its signature verifies "
                      "under every public key, so it is never signed")


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


def _prompt(new: bool) -> str:
    """A passphrase typed on the controlling terminal; with none, a Failure
    (getpass would read standard input with echo instead)."""
    try:
        os.close(os.open("/dev/tty", os.O_RDWR | os.O_NOCTTY))
    except OSError:
        raise Failure(f"no passphrase: give --passphrase-file FILE, set {PASSPHRASE_ENV}, "
                      "or run on a terminal") from None
    try:
        typed = getpass.getpass("New passphrase: " if new else "Passphrase: ")
        if new:
            problem = ("an empty passphrase is refused" if not typed else
                       "the passphrases differ"
                       if getpass.getpass("Repeat the passphrase: ") != typed else None)
            if problem is not None:
                del typed
                raise Failure(problem)
    except EOFError:
        raise Failure("no passphrase: the terminal closed") from None
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


# --- calling the module --------------------------------------------------------

# The functions whose failures the module raises as ValueError("Any { .. }"):
# the input was refused. The others raise PanicException: the call failed.
_GUARDED = frozenset({"verify_signature", "sign", "eth_sign", *(f"sign_{kind}" for kind in SIGN)})


def _redact(text: str, secret: str | None) -> str:
    """`text` with every hex run of `secret` (16 digits or more) left out."""
    if secret:
        for run in set(re.findall(r"[0-9a-fA-F]{16,}", secret)):
            text = re.sub(re.escape(run), "<private key>", text, flags=re.IGNORECASE)
    return text


def call(function: Callable[..., T], *args: str, secret: str | None = None) -> T:
    """function(*args); a failure of the module becomes a Failure of one line.

    The call runs through quillet._batch.call, the very core call of the
    module's function, which hands the failure's reason back instead of
    writing it to stderr; the line leaves the private key `secret` out.
    """
    name = function.__name__
    try:
        ok, value = _batch.call(name, *args)
    except (TypeError, ValueError) as error:  # e.g. text with lone surrogates
        raise Failure(_redact(f"{name} failed: {error}", secret)) from None
    if ok:
        return value  # type: ignore[return-value]  # the function's own result type
    reason = str(value).split("\n\nCaused by:")[0].replace("\n", " ")
    verdict = "refused its input" if name in _GUARDED else "failed"
    raise Failure(_redact(f"{name} {verdict}: {reason}", secret))


class OutputFailure(Failure):
    """Standard output is closed or refused a write."""

    def __init__(self, error: OSError | None) -> None:
        reason = error.strerror if error is not None else "it is closed"
        super().__init__(f"cannot write to standard output: {reason}")
        self.broken_pipe = isinstance(error, BrokenPipeError)


def write_out(text: str, flush: bool = False) -> None:
    """Writes `text` to stdout; any failure to do so is an OutputFailure."""
    if sys.stdout is None:
        raise OutputFailure(None)
    try:
        sys.stdout.write(text)
        if flush:
            sys.stdout.flush()
    except OSError as error:
        raise OutputFailure(error) from None


def emit(value: Any, indent: int | None = None) -> None:
    """Writes one JSON value to stdout."""
    write_out(json.dumps(value, indent=indent, ensure_ascii=False) + "\n")


def emit_text(json_text: str) -> None:
    """Writes a JSON text the module returned, unchanged."""
    write_out(json_text + "\n")


# --- commands ------------------------------------------------------------------

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
    key = PrivateKey(private_key(args, inputs, want="plain"))
    write_private_file(args.out, _keystore(key, args, inputs) + "\n", replace=args.force)
    return EXIT_OK


def cmd_key_decrypt(args: argparse.Namespace, inputs: Inputs) -> int:
    if not args.force and os.path.lexists(args.out):
        raise Failure(f"{args.out} exists; give --force to replace it")
    write_private_file(args.out, json.dumps({"private_key": private_key(args, inputs, "keystore")})
                       + "\n", replace=args.force)
    return EXIT_OK


def _link_new(source: str, path: str) -> None:
    """Gives file `source` the new name `path` too; FileExistsError if it exists."""
    try:
        os.link(source, path)
    except OSError as error:
        if error.errno not in (errno.EPERM, errno.EOPNOTSUPP):
            raise
        # No hard links on this file system (FAT, some network ones): claim the
        # name with an empty private file, then put the whole file in its place.
        os.close(os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600))
        os.replace(source, path)


def write_private_file(path: str, text: str, replace: bool) -> None:
    """Creates file `path` holding `text`, readable by its owner only (0600).

    The text goes to a new temporary file beside `path` first, so that `path`
    appears whole or not at all and is never readable by others, not even
    for a moment. It is then linked to `path`, which fails if `path` exists,
    or with `replace` renamed over it.
    """
    directory = os.path.dirname(os.path.abspath(path))
    try:
        fd, temporary = tempfile.mkstemp(dir=directory, prefix=".quillet-")  # O_EXCL, 0600
    except OSError as error:
        raise Failure(f"cannot create a file in {directory}: {error.strerror}") from None
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as file:
            file.write(text)
            file.flush()
            os.fsync(file.fileno())
        if replace:
            os.replace(temporary, path)
        else:
            _link_new(temporary, path)
    except FileExistsError:
        raise Failure(f"{path} exists; give --force to replace it") from None
    except OSError as error:
        raise Failure(f"cannot write {path}: {error.strerror}") from None
    finally:
        if os.path.lexists(temporary):
            os.unlink(temporary)


def cmd_pubkey(args: argparse.Namespace, inputs: Inputs) -> int:
    if args.packed is not None:
        emit_text(call(sdk.public_key_to_xy, args.packed))
    else:
        key = private_key(args, inputs)
        emit_text(call(sdk.private_key_to_public_key_xy, key, secret=key))
    return EXIT_OK


def cmd_on_curve(args: argparse.Namespace, inputs: Inputs) -> int:
    on_curve = call(sdk.is_on_curve, args.x, args.y)
    emit({"on_curve": on_curve})
    return EXIT_OK if on_curve else EXIT_FALSE


class _Progress:
    """The count of lines done, on stderr when it is a terminal."""

    def __init__(self) -> None:
        self.shown = sys.stderr is not None and sys.stderr.isatty()
        self.done = 0

    def add(self, count: int) -> None:
        self.done += count
        if self.shown:
            sys.stderr.write(f"\r{self.done} lines done")
            sys.stderr.flush()

    def end(self) -> None:
        if self.shown and self.done:
            sys.stderr.write("\n")


def _error_line(reason: str) -> str:
    # ASCII JSON: no line separator of the reason can split the NDJSON line.
    return json.dumps({"error": reason.split("\n\nCaused by:")[0].replace("\n", " ")}) + "\n"


# What a blank input line answers, in every NDJSON reader (the audit too), and
# the characters such a line holds at most (those bytes.strip() drops).
BLANK_LINE = "empty line"
_BLANKS = " \t\n\r\x0b\x0c"


def _ndjson(chunks: Iterator[list[str]], run: Callable[[list[str]], list[Any]],
            wrap: Callable[[Any], str]) -> int:
    """Runs each chunk of lines as one batch with per-item outcomes and writes
    one line per input line, in order: wrap(value), or {"error": reason}
    ({"error": "empty line"} for a blank line). The status is 2 if any line
    was refused."""
    failed = 0
    progress = _Progress()
    try:
        for chunk in chunks:
            answers = iter(run([line for line in chunk if line.strip(_BLANKS)]))
            for line in chunk:
                outcome = next(answers) if line.strip(_BLANKS) else None
                if outcome is None:
                    failed += 1
                    write_out(_error_line(BLANK_LINE))
                elif outcome.ok:
                    write_out(wrap(outcome.value) + "\n")
                else:
                    failed += 1
                    write_out(_error_line(outcome.error.reason or str(outcome.error)))
            progress.add(len(chunk))
    finally:
        progress.end()
    return EXIT_FAILURE if failed else EXIT_OK


def cmd_hash(args: argparse.Namespace, inputs: Inputs) -> int:
    if args.ndjson:
        return _ndjson(inputs.lines(args.file, "NDJSON input"),
                       lambda docs: batch.hash_many(args.kind, docs, outcomes=True),
                       lambda digest: json.dumps({"hash": digest}))
    document = inputs.read(args.file, "document")
    emit({"hash": call(HASH[args.kind], document)})
    return EXIT_OK


def cmd_sign(args: argparse.Namespace, inputs: Inputs) -> int:
    if args.ndjson:
        chunks = inputs.lines(args.file, "NDJSON input")
        key = private_key(args, inputs)
        signer = public_key_x(key)

        def sign(docs: list[str]) -> list[batch.Outcome[str]]:
            outcomes = batch.sign_many(args.kind, docs, key, outcomes=True)
            for index, doc in enumerate(docs):
                mismatch = key_mismatch(doc, args.kind, signer)
                if mismatch is not None:  # signed, but the signature is not given out
                    outcomes[index] = batch.Outcome(index, error=QuilletError(mismatch))
            return outcomes

        return _ndjson(chunks, sign, str)
    document = inputs.read(args.file, "document")
    key = private_key(args, inputs)
    mismatch = key_mismatch(document, args.kind, public_key_x(key))
    if mismatch is not None:
        raise Failure(mismatch)
    emit_text(call(SIGN[args.kind], document, key, secret=key))
    return EXIT_OK


def cmd_sign_message(args: argparse.Namespace, inputs: Inputs) -> int:
    key = private_key(args, inputs)
    refuse_message_zero(args.msg, ("0x",))
    emit_text(call(sdk.sign, key, args.msg, secret=key))
    return EXIT_OK


def cmd_eth_sign(args: argparse.Namespace, inputs: Inputs) -> int:
    key = private_key(args, inputs)
    refuse_message_zero(args.msg, ("0x", "0X", "0x"))  # as eth_sign trims them
    emit_text(call(sdk.eth_sign, key, args.msg, secret=key))
    return EXIT_OK


def _json_object(text: str, what: str, keys: tuple[str, ...]) -> dict[str, str]:
    value = _parse_json(text)
    if not isinstance(value, dict) or not all(isinstance(value.get(k), str) for k in keys):
        names = " and ".join(f'"{k}"' for k in keys)
        raise Failure(f"the {what} must be a JSON object with {names} texts")
    return value


def document_hash(kind: str, text: str) -> str:
    """The hash a signature of the document must verify for, once the document
    passes the typed documents' validation: a value the hash does not bind (a
    wide nonce, an asset id past the field modulus) would let a rewritten
    document verify."""
    try:
        DOCUMENT_TYPES[kind].from_json(text)  # type: ignore[index]
    except InvalidDocument as error:
        raise Failure(f"the document is refused: {error}") from None
    return call(HASH[kind], text)


def _verify_row(line: str, kind: str | None) -> tuple[str, ...] | str:
    """The five arguments of verify_signature for one NDJSON line, or what is wrong with it."""
    try:
        item = json.loads(line)
        signature = item["signature"]
        public = item["public_key"]
        if isinstance(public, str):
            public = json.loads(call(sdk.public_key_to_xy, public))
        if kind is not None:
            document = item["document"]
            msg = document_hash(kind, document if isinstance(document, str)
                                else json.dumps(document))
        else:
            msg = item["message"]
        row = (signature["r"], signature["s"], public["x"], public["y"], msg)
    except Failure as failure:
        return str(failure)
    except (ValueError, KeyError, TypeError):
        want = "document" if kind is not None else "message"
        return f'each line must be {{"signature": {{"r", "s"}}, "public_key": ..., "{want}": ...}}'
    return row if all(isinstance(part, str) for part in row) else "every part must be a text"


def cmd_verify_ndjson(args: argparse.Namespace, inputs: Inputs) -> int:
    if len(args.arguments) > 1:
        raise Failure("with --ndjson every line holds its signature, public key and message; "
                      "give at most the FILE that holds the lines")
    answered_false = False

    def verify(lines: list[str]) -> list[batch.Outcome[bool]]:
        nonlocal answered_false
        rows = [_verify_row(line, args.kind) for line in lines]
        checked = batch.verify_many([row for row in rows if isinstance(row, tuple)],
                                    outcomes=True)
        outcomes: list[batch.Outcome[bool]] = []
        for row in rows:
            if isinstance(row, str):
                outcomes.append(batch.Outcome(0, error=QuilletError(row)))
            else:
                outcome = checked.pop(0)
                answered_false |= outcome.value is False
                outcomes.append(outcome)
        return outcomes

    source = args.arguments[0] if args.arguments else "-"
    status = _ndjson(inputs.lines(source, "NDJSON input"), verify,
                     lambda valid: json.dumps({"valid": valid}))
    return EXIT_FALSE if status == EXIT_OK and answered_false else status


def cmd_verify(args: argparse.Namespace, inputs: Inputs) -> int:
    if args.ndjson:
        return cmd_verify_ndjson(args, inputs)
    if len(args.arguments) != 3:
        raise Failure("give SIGNATURE PUBLIC_KEY MESSAGE (or --ndjson and lines on stdin)")
    args.signature, args.public_key, args.message = args.arguments
    signature = _json_object(inputs.text_or_file(args.signature, "signature").strip(),
                             "signature", ("r", "s"))
    public_text = inputs.text_or_file(args.public_key, "public key").strip()
    if public_text.startswith("{"):
        public = _json_object(public_text, "public key", ("x", "y"))
    else:  # a packed key alone: its pair comes from the module
        public = json.loads(call(sdk.public_key_to_xy, public_text))
    if args.kind is not None:
        msg = document_hash(args.kind, inputs.read(args.message, "document"))
    else:
        msg = args.message
    valid = call(sdk.verify_signature, signature["r"], signature["s"],
                 public["x"], public["y"], msg)
    emit({"valid": valid})
    return EXIT_OK if valid else EXIT_FALSE


def cmd_demo(args: argparse.Namespace, inputs: Inputs) -> int:
    if audit_command.sample_options_without_log(args):
        raise Failure("the options of a sample log need --log FILE")
    if args.log is not None and args.documents is not None:
        raise Failure("--log and --documents are two different samples: give one")
    if args.log is not None:
        try:
            emit(audit_command.demo_log(args))
        except AuditError as error:
            raise Failure(str(error)) from None
        return EXIT_OK
    if args.documents is not None:
        try:
            written = demo.write_documents(args.documents)
        except OSError as error:
            raise Failure(f"cannot write the documents to {args.documents}: "
                          f"{error.strerror}") from None
        emit({"documents": written}, indent=2)
        return EXIT_OK
    report = demo.run()
    emit(report, indent=2)
    if not report["ok"]:
        raise Failure(f"{report['failed_signatures']} signatures did not verify or a check failed")
    return EXIT_OK


def cmd_audit(args: argparse.Namespace, inputs: Inputs) -> int:
    try:
        status, text = audit_command.audit(args)
    except AuditError as error:
        raise Failure(str(error)) from None
    write_out(text)
    return status


def cmd_bench(args: argparse.Namespace, inputs: Inputs) -> int:
    if args.batch:
        if args.functions:
            raise Failure("--batch times the batch functions only: give no FUNCTION")
        rows = bench.run_batch(args.batch_size, args.rounds, args.min_time)
        if args.table:
            emit_text(bench.batch_table(rows))
        else:
            emit({row.name: {"items_per_s": round(row.items_per_s), "ratio": round(row.ratio, 3),
                             "ratio_min": round(row.ratio_min, 3),
                             "ratio_max": round(row.ratio_max, 3), "cores": round(row.cores, 2),
                             "cpu_us_per_item": round(row.cpu_per_item * 1e6, 1)}
                  for row in rows})
        return EXIT_OK
    results = bench.run(set(args.functions) or None, args.rounds, args.min_time)
    if args.table:
        emit_text(bench.table(results))
    else:
        emit({name: {"median_us": round(seconds * 1e6, 3), "ops_per_s": round(1 / seconds)}
              for name, seconds in results})
    return EXIT_OK


# --- command line --------------------------------------------------------------

class _Parser(argparse.ArgumentParser):
    """Usage errors as one line on stderr, with anything that could be a key left out."""

    def error(self, message: str) -> NoReturn:
        hint = ""
        if _HEX_RUN.search(message):
            message = _HEX_RUN.sub("<hex text>", message)
            hint = f"; private keys go in --key-file FILE or {KEY_ENV}"
        self.exit(EXIT_FAILURE, f"{self.prog}: {message}{hint} (see {self.prog} --help)\n")


def _kind(text: str) -> str:
    return text.replace("-", "_")


def _positive_float(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = 0.0
    if not 0 < value < float("inf"):
        raise argparse.ArgumentTypeError(f"not a positive number: {text!r}")
    return value


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="quillet", allow_abbrev=False,
        description="Keys, hashes and signatures of quillet exchange transactions, "
                    "computed by the quillet_python_sdk module. Results are JSON on stdout.",
        epilog=f"Private keys are read from --key-file FILE or ${KEY_ENV}, never from the "
               "command line; a keystore's passphrase from --passphrase-file FILE, "
               f"${PASSPHRASE_ENV} or the terminal. Exit status: 0 success; 1 verify or "
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
                              f"keygen` or a keystore (- reads stdin); default: ${KEY_ENV}")

    def passphrase_file(sub: argparse.ArgumentParser) -> None:
        sub.add_argument("--passphrase-file", metavar="FILE",
                         help="file holding the keystore's passphrase, one trailing newline "
                              f"dropped (- reads stdin); default: ${PASSPHRASE_ENV}, else a "
                              "prompt on the terminal")

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
        sub.add_argument("file", metavar="FILE", nargs="?", default="-",
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
    out(sub, "the key")

    sub = commands.add_parser("key", help="encrypt a key file as a keystore, or decrypt one",
                              description="Converts between plain key files and keystores "
                                          "(encrypted key files).", allow_abbrev=False)
    actions = sub.add_subparsers(dest="action", required=True, metavar="ACTION")
    for name, handler, summary in (
            ("encrypt", cmd_key_encrypt, "write the key of --key-file as a keystore under "
                                         "a new passphrase"),
            ("decrypt", cmd_key_decrypt, "write the key of the keystore --key-file as a plain "
                                         'key file {"private_key": ...}')):
        action = actions.add_parser(name, help=summary, description=summary,
                                    allow_abbrev=False)
        action.set_defaults(handler=handler, kdf=None)
        key_file(action)
        passphrase_file(action)
        out(action, "the keystore" if name == "encrypt" else "the plain key", required=True)
        if name == "encrypt":
            action.add_argument("--kdf", choices=keystore.KDFS,
                                help="how the passphrase is stretched (default scrypt)")

    sub = command("pubkey", cmd_pubkey, "public key of a private key, or of a packed key",
                  'Prints the public key {"x": packed key, "y": affine x} of the private key, '
                  "or with --packed of a packed public key.")
    group = sub.add_mutually_exclusive_group()
    key_file(group)
    group.add_argument("--packed", metavar="PUBLIC_KEY", help="packed public key text (0x...)")
    passphrase_file(sub)

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
                  'Prints {"hash": "0x..."} of a JSON transaction document.')
    kind(sub)
    document(sub)
    ndjson(sub, "FILE (or stdin) holds many documents")

    sub = command("sign", cmd_sign, "sign a transaction document",
                  'Prints the signature {"r": ..., "s": ...} of a JSON transaction document.')
    kind(sub)
    document(sub)
    key_file(sub)
    passphrase_file(sub)
    ndjson(sub, "FILE (or stdin) holds many documents")

    sub = command("sign-message", cmd_sign_message, "sign a 256-bit message",
                  'Prints the signature {"r": ..., "s": ...} of a message given as hex text.')
    sub.add_argument("msg", metavar="MSG", help="the message: up to 64 hex digits, 0x allowed")
    key_file(sub)
    passphrase_file(sub)

    sub = command("eth-sign", cmd_eth_sign, "sign a 256-bit message in the L1 form",
                  'Prints the L1 signature {"x", "y", "s", "pk_x", "pk_y"} of a message.')
    sub.add_argument("msg", metavar="MSG", help="the message: up to 64 hex digits")
    key_file(sub)
    passphrase_file(sub)

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

    sub = command("demo", cmd_demo, "run the end-to-end demo on embedded data",
                  "Derives a key, hashes and signs one document of each kind and a message, "
                  "verifies every signature and prints the report; exits 2 if anything "
                  "fails. With --documents, writes a sample document of each kind instead.")
    sub.add_argument("--documents", metavar="DIR",
                     help="write KIND.json (one sample document per kind) and seed.txt into "
                          "DIR, created if missing, and print their names")
    audit_command.add_demo_log_options(sub)

    sub = command("audit", cmd_audit, "check every signed record of order logs",
                  "Checks that every record's document hashes, names the key that signed it "
                  "and carries a signature that verifies; prints the counts per kind and "
                  "outcome and every record that is not valid. Exits 0 when all are valid, "
                  "1 when some are not, 2 on failure.")
    audit_command.add_audit_options(sub)

    sub = command("bench", cmd_bench, "time each function of the module",
                  "Prints the median µs/op and ops/s of each function.")
    sub.add_argument("functions", metavar="FUNCTION", nargs="*", choices=bench.FUNCTIONS,
                     help="only these functions (default: all)")
    sub.add_argument("--rounds", type=audit_command.positive_int, default=15,
                     help="timed rounds per function (default 15)")
    sub.add_argument("--min-time", type=_positive_float, default=0.02, metavar="SECONDS",
                     help="least duration of one round (default 0.02)")
    sub.add_argument("--table", action="store_true", help="print a text table instead of JSON")
    sub.add_argument("--batch", action="store_true",
                     help="instead, time quillet.batch (threads=1 and 2) against a Python loop")
    sub.add_argument("--batch-size", type=audit_command.positive_int, default=bench.BATCH_SIZE, metavar="N",
                     help=f"documents per batch with --batch (default {bench.BATCH_SIZE})")
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    argv = sys.argv[1:] if argv is None else list(argv)
    if any(item.startswith("--passphrase") and item.partition("=")[0] != "--passphrase-file"
           for item in argv):
        # Not quoted: it may hold the passphrase itself (argparse would take
        # "--passphrase=a b" for a file name, and name it in its error).
        parser.error("a passphrase is never given on the command line: use --passphrase-file "
                     f"FILE or {PASSPHRASE_ENV}")
    args, extra = parser.parse_known_args(argv)
    # argparse gives a list of positionals only those before the first option;
    # verify's arguments may stand on both sides of --kind.
    if extra and getattr(args, "command", None) == "verify" and \
            not any(item.startswith("-") and item != "-" for item in extra):
        args.arguments += extra
    elif extra:
        parser.error(f"unrecognized arguments: {' '.join(extra)}")
    try:
        status: int = args.handler(args, Inputs())
        write_out("", flush=True)
        return status
    except OutputFailure as failure:
        _discard_stdout()
        if not failure.broken_pipe:  # else the reader went away (`quillet bench | head`)
            _report(_name(args), failure)
    except Failure as failure:
        try:
            write_out("", flush=True)
        except OutputFailure:
            _discard_stdout()  # the failure below is the one to report
        _report(_name(args), failure)
    return EXIT_FAILURE


def _name(args: argparse.Namespace) -> str:
    """The command as typed: "keygen", "key encrypt"."""
    action = getattr(args, "action", None)
    return f"{args.command} {action}" if action else str(args.command)


def _discard_stdout() -> None:
    """What stdout still buffers goes nowhere, so the flush at exit cannot fail again."""
    if sys.stdout is not None:
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())


def _report(command: str, failure: Failure) -> None:
    # Line and paragraph separators, direction overrides and other invisible
    # characters quoted from a document are escaped: the report stays one
    # line that reads as what it says.
    line = "".join(c if c.isprintable() else f"\\u{ord(c):04x}" for c in str(failure))
    try:
        if sys.stderr is not None:
            sys.stderr.write(f"quillet {command}: {line}\n")
            sys.stderr.flush()
    except OSError:
        pass  # nowhere left to tell; the exit status still says it
