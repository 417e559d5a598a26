"""What every command shares: reading its inputs within limits, calling the
module, writing its output, NDJSON lines, and its one-line failure."""

from __future__ import annotations

import argparse
import errno
import json
import os
import re
import sys
from collections.abc import Callable, Iterator
from typing import Any, BinaryIO, TypeVar

from quillet import _batch
from quillet.errors import QuilletError

EXIT_OK = 0
EXIT_FALSE = 1  # verify / on-curve answered no
EXIT_FAILURE = 2  # bad usage, unreadable input, or the module refused the input

# Largest input read, in bytes: documents as large as the module accepts; keys,
# signatures and public keys are far below TEXT_LIMIT even as indented JSON.
DOCUMENT_LIMIT = 1 << 20
TEXT_LIMIT = 4096
# Lines of an --ndjson input per batch call.
NDJSON_CHUNK = 1024

# A run of 16 hex digits or more in a usage error may be (part of) a private
# key typed on the command line, also when invisible characters split it.
_INVISIBLE = "\x00-\x08\x0e-\x1f\x7f-\x9f\u00ad\u180e\u200b-\u200f\u202a-\u202e\u2060-\u206f\ufeff"
HEX_RUN = re.compile(f"(?:0[xX])?[0-9a-fA-F](?:[{_INVISIBLE}]*[0-9a-fA-F]){{15,}}")

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


# --- calling the module ---------------------------------------------------------

def core_call(name: str, *args: str) -> Any:
    """The result of quillet_python_sdk's function `name` on `args`, by its
    core call (quillet._batch.call, which hands the failure's reason back
    instead of writing it to stderr); a failure is a Failure of one line.
    For what only the module's own function answers (on-curve, hash --raw):
    the other commands go through the typed layer (typed_call)."""
    try:
        ok, value = _batch.call(name, *args)
    except (TypeError, ValueError) as error:  # e.g. text with lone surrogates
        raise Failure(f"{name} failed: {error}") from None
    if ok:
        return value
    reason = str(value).split("\n\nCaused by:")[0].replace("\n", " ")
    raise Failure(f"{name} failed: {reason}")


def typed_call(run: Callable[[], T]) -> T:
    """run(), a call of the typed layer (a key, a signer, a public key); the
    QuilletError it raises (what is wrong, in the library's words: a key
    mismatch, a malformed signature, a signing service's refusal) becomes
    the command's Failure."""
    try:
        return run()
    except QuilletError as error:
        message = str(error)
    raise Failure(message)


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


# Tries at a free random name, as tempfile.mkstemp gives (whose module, with
# shutil's, would cost every command's start a few milliseconds).
_NAME_TRIES = 100


def _new_private_file(directory: str) -> tuple[int, str]:
    """A new file of a random name in `directory`, opened for writing and
    readable by its owner only (0600): (its descriptor, its path). O_EXCL
    never takes an existing file, O_NOFOLLOW never follows a link."""
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC
    for _ in range(_NAME_TRIES):
        path = os.path.join(directory, f".quillet-{os.urandom(8).hex()}")
        try:
            return os.open(path, flags, 0o600), path
        except FileExistsError:
            continue
    raise FileExistsError(errno.EEXIST, "no free temporary name")


def write_private_file(path: str, text: str, replace: bool) -> None:
    """Creates file `path` holding `text`, readable by its owner only (0600).

    The text goes to a new temporary file beside `path` first, so that `path`
    appears whole or not at all and is never readable by others, not even
    for a moment. It is then linked to `path`, which fails if `path` exists,
    or with `replace` renamed over it. The Failure leaves no frame that holds
    `text` (a key file's text is the key).
    """
    directory = os.path.dirname(os.path.abspath(path))
    failure: str | None
    try:
        fd, temporary = _new_private_file(directory)
    except OSError as error:
        failure = f"cannot create a file in {directory}: {error.strerror}"
    else:
        failure = _write_whole(fd, temporary, path, text, replace)
    if failure is not None:
        del text
        raise Failure(failure)


def _write_whole(fd: int, temporary: str, path: str, text: str, replace: bool) -> str | None:
    """write_private_file's work once the temporary file is open; what went
    wrong, or None."""
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
        return f"{path} exists; give --force to replace it"
    except OSError as error:
        return f"cannot write {path}: {error.strerror}"
    finally:
        if os.path.lexists(temporary):
            os.unlink(temporary)
    return None


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


def ndjson(chunks: Iterator[list[str]], run: Callable[[list[str]], list[Any]],
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



def discard_stdout() -> None:
    """What stdout still buffers goes nowhere, so the flush at exit cannot fail again."""
    if sys.stdout is not None:
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())


def command_name(args: argparse.Namespace) -> str:
    """The command as typed: "keygen", "key encrypt"."""
    action = getattr(args, "action", None)
    return f"{args.command} {action}" if action else str(args.command)


def _tell(command: str, text: str) -> None:
    # Line and paragraph separators, direction overrides and other invisible
    # characters quoted from a document are escaped: the report stays one
    # line that reads as what it says.
    line = "".join(c if c.isprintable() else f"\\u{ord(c):04x}" for c in text)
    try:
        if sys.stderr is not None:
            sys.stderr.write(f"quillet {command}: {line}\n")
            sys.stderr.flush()
    except OSError:
        pass  # nowhere left to tell; the exit status still says it


def report(command: str, failure: Failure) -> None:
    _tell(command, str(failure))


def warn(args: argparse.Namespace, text: str) -> None:
    """One line on stderr that does not stop the command."""
    _tell(command_name(args), f"warning: {text}")
