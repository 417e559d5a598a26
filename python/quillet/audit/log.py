"""Order logs: one record per signed document, as NDJSON (plain or gzip) or Parquet.

A record holds the document's kind, the document itself (a JSON object), its
signature and the signer's packed public key. In NDJSON each line is

    {"kind": "limit_order", "document": {...}, "signature": {"r": "0x…", "s": "0x…"},
     "public_key": "0x…"}

and Parquet has the columns kind, document, signature (struct of r and s) and
public_key, the document either as a JSON text column or as struct columns
(absent fields null). Records are numbered from 1 in file order: in NDJSON the
record number is the line number, so every line is a record, blank ones too.

Logs are recognised by their first bytes (gzip, Parquet, else NDJSON), not by
their names. A path that is not a regular file (a pipe, a FIFO, a device; "-"
for standard input) is read once, as a stream, never judged by its size; it
may hold NDJSON, plain or gzip, not Parquet. Parquet needs pyarrow (the extra
`quillet_python_sdk[audit]`).
"""

from __future__ import annotations

import contextlib
import gzip
import importlib
import io
import itertools
import json
import os
import re
import stat
import sys
from collections.abc import Iterable, Iterator
from dataclasses import dataclass, field
from typing import Any, Literal

from quillet.batch import KINDS
from quillet.documents import loads
from quillet.errors import InvalidDocument

# "stream": a path that is not a regular file, read once from its start.
Format = Literal["ndjson", "ndjson.gz", "parquet", "stream"]
DocumentColumn = Literal["json", "struct"]

AUDIT_EXTRA = "pip install 'quillet_python_sdk[audit]'  (or: pip install 'dask[distributed]' pyarrow)"

_GZIP_MAGIC = b"\x1f\x8b"
_PARQUET_MAGIC = b"PAR1"
_ROW_GROUP = 65536  # rows per Parquet row group the writer makes: the cluster's unit of work
MAX_LINE = 1 << 20  # bytes: a longer NDJSON line is a bad record, not read whole
CHUNK_BYTES = 8 << 20  # bytes of lines a chunk holds at most, whatever its record count
STDIN = "-"


class LogError(Exception):
    """A log that cannot be read, or a record that is not one."""


@dataclass(frozen=True, slots=True)
class Record:
    """One signed document of a log."""

    kind: str
    document: Any  # a JSON object, or the array form of a liquidation or oracle price
    r: str
    s: str
    public_key: str

    def to_json(self) -> dict[str, Any]:
        return {"kind": self.kind, "document": self.document,
                "signature": {"r": self.r, "s": self.s}, "public_key": self.public_key}


@dataclass(frozen=True, slots=True)
class Part:
    """A share of one log file that one worker reads by itself: a byte range of
    plain NDJSON (records whose first byte lies in [start, stop)), a range of
    Parquet row groups, or a whole gzip file (start 0, stop -1)."""

    path: str
    format: Format
    start: int = 0
    stop: int = -1
    size: int = field(default=0, compare=False)  # bytes, for progress


# --- recognising and reading ----------------------------------------------------

def is_stream(path: str) -> bool:
    """Whether `path` is read as a stream: standard input, or not a regular file.
    A path that cannot be examined is not (its reading says why)."""
    if path == STDIN:
        return True
    try:
        return not stat.S_ISREG(os.stat(path).st_mode)
    except OSError:
        return False


def log_format(path: str) -> Format:
    """The format of the log at `path`, from its first bytes ("stream" for a
    path that is not a regular file, whose bytes are read only once)."""
    if is_stream(path):
        return "stream"
    try:
        with open(path, "rb") as file:
            head = file.read(4)
    except OSError as error:
        raise LogError(f"cannot read {path}: {error.strerror}") from None
    if head.startswith(_GZIP_MAGIC):
        return "ndjson.gz"
    if head == _PARQUET_MAGIC:
        return "parquet"
    return "ndjson"


def _pyarrow(module: str = "pyarrow") -> Any:
    # Imported by name: pyarrow is an optional extra and has no type information.
    try:
        return importlib.import_module(module)
    except ImportError:
        raise LogError(f"reading or writing Parquet needs pyarrow: {AUDIT_EXTRA}") from None


def _pyarrow_parquet() -> Any:
    return _pyarrow("pyarrow.parquet")


@contextlib.contextmanager
def _parquet_errors(path: str) -> Iterator[None]:
    """pyarrow's failures to read a file as a LogError."""
    arrow_error = _pyarrow().ArrowException
    try:
        yield
    except (OSError, arrow_error) as error:
        raise LogError(f"cannot read {path} as Parquet: {error}") from None


def plan_parts(path: str, part_bytes: int | None = None) -> list[Part]:
    """The parts of one log: the whole file, or with `part_bytes` byte ranges of
    about that size (plain NDJSON) or runs of row groups of about that size
    (Parquet). A gzip file cannot be split and is always one part."""
    fmt = log_format(path)
    if fmt == "stream":
        return [Part(path, fmt, 0, -1, 0)]
    size = os.path.getsize(path)
    if fmt == "parquet":
        with _parquet_errors(path):
            meta = _pyarrow_parquet().ParquetFile(path).metadata
        groups = meta.num_row_groups
        sizes = [meta.row_group(g).total_byte_size for g in range(groups)]
        if part_bytes is None or groups <= 1:
            return [Part(path, fmt, 0, groups, size)]
        parts, first, held = [], 0, 0
        for g in range(groups):
            held += sizes[g]
            if held >= part_bytes or g == groups - 1:
                parts.append(Part(path, fmt, first, g + 1, held))
                first, held = g + 1, 0
        return parts
    if fmt == "ndjson.gz" or part_bytes is None or size <= part_bytes:
        return [Part(path, fmt, 0, -1 if fmt == "ndjson.gz" else size, size)]
    bounds = list(range(0, size, part_bytes)) + [size]
    return [Part(path, fmt, a, b, b - a) for a, b in itertools.pairwise(bounds)]


def part_chunks(part: Part, records: int) -> Iterator[tuple[list[Any], int]]:
    """The raw records of `part` in lists of up to `records`, each with the
    bytes of the file it consumed (for progress). A raw record is a line
    (bytes, without its newline) or a Parquet row (dict)."""
    if part.format == "parquet":
        with _parquet_errors(part.path):
            file = _pyarrow_parquet().ParquetFile(part.path)
            groups = list(range(part.start, part.stop))
            count = sum(file.metadata.row_group(g).num_rows for g in groups)
            per_row = part.size / max(1, count)
            for batch in file.iter_batches(batch_size=records, row_groups=groups):
                rows = batch.to_pylist()
                yield rows, round(len(rows) * per_row)
        return
    if part.format == "stream":
        yield from _stream_chunks(part.path, records)
        return
    try:
        with open(part.path, "rb") as raw:
            if part.format == "ndjson.gz":
                with gzip.GzipFile(fileobj=raw) as unzipped:
                    # Buffered: GzipFile's own readline costs a Python call per line.
                    lines = io.BufferedReader(unzipped, 1 << 16)
                    yield from _line_chunks(lines, records, None, raw)
                return
            # A record belongs to the part where its first byte lies: a part
            # that starts inside a line leaves that line to the part before.
            if part.start > 0:
                raw.seek(part.start - 1)
                if raw.read(1) != b"\n":
                    _read_line(raw)
            yield from _line_chunks(raw, records, part.stop, raw)
    except (OSError, EOFError, gzip.BadGzipFile) as error:
        raise LogError(f"cannot read {part.path}: {error}") from None


def _stream_chunks(path: str, records: int) -> Iterator[tuple[list[Any], int]]:
    """The chunks of a log read as a stream, plain or gzip NDJSON."""
    try:
        # Standard input is read, not closed: it belongs to the process.
        with (open(sys.stdin.fileno(), "rb", closefd=False) if path == STDIN
              else open(path, "rb")) as raw:
            head = raw.peek(4)[:4]
            if head.startswith(_GZIP_MAGIC):
                with gzip.GzipFile(fileobj=raw) as unzipped:
                    lines = io.BufferedReader(unzipped, 1 << 16)
                    yield from _line_chunks(lines, records, None, None)
                return
            if head == _PARQUET_MAGIC:
                raise LogError(f"{path}: Parquet is read from a regular file only, "
                               "not from a pipe or device")
            yield from _line_chunks(raw, records, None, None)
    except (OSError, EOFError, gzip.BadGzipFile) as error:
        raise LogError(f"cannot read {path}: {error}") from None


class Oversized:
    """Stands for a line longer than MAX_LINE bytes, which is not read whole."""

    __slots__ = ("length",)

    def __init__(self, length: int) -> None:
        self.length = length


def _read_line(lines: io.BufferedIOBase | gzip.GzipFile,
               line: bytes | None = None) -> tuple[bytes | Oversized, int] | None:
    """The next line without its newline and the bytes it took, or None at the
    end (`line`: its first MAX_LINE + 1 bytes, when already read). A line
    longer than MAX_LINE is skipped in pieces: memory stays bounded whatever
    the log holds."""
    if line is None:
        line = lines.readline(MAX_LINE + 1)
    if not line:
        return None
    if len(line) <= MAX_LINE or line.endswith(b"\n"):
        return line.removesuffix(b"\n"), len(line)
    length = len(line)
    while piece := lines.readline(MAX_LINE):
        length += len(piece)
        if piece.endswith(b"\n"):
            break
    return Oversized(length), length


def _line_chunks(lines: io.BufferedIOBase | gzip.GzipFile, records: int, stop: int | None,
                 raw: io.BufferedReader | None) -> Iterator[tuple[list[bytes | Oversized], int]]:
    # `stop`: the offset in `lines` where the part ends (None: at the end);
    # progress counts the bytes of the file itself (compressed, for gzip), or
    # of the lines read when there is no file to ask (`raw` None: a stream).
    # A chunk ends at `records` lines or CHUNK_BYTES bytes of them, so that
    # long lines cannot make it large.
    position = lines.tell() if stop is not None else 0
    counted = raw.tell() if raw is not None else 0
    while stop is None or position < stop:
        chunk: list[bytes | Oversized] = []
        held = read_bytes = 0
        while (len(chunk) < records and held < CHUNK_BYTES
               and (stop is None or position < stop)):
            line = lines.readline(MAX_LINE + 1)
            if len(line) <= MAX_LINE:  # the common case, inline: a line read whole
                if not line:
                    break
                chunk.append(line[:-1] if line[-1:] == b"\n" else line)
                position += len(line)
                read_bytes += len(line)
                held += len(line)
                continue
            read = _read_line(lines, line)
            assert read is not None
            chunk.append(read[0])
            position += read[1]
            read_bytes += read[1]
            held += read[1] if isinstance(read[0], bytes) else 0
        if not chunk:
            break
        if raw is None:
            yield chunk, read_bytes
        else:
            yield chunk, raw.tell() - counted
            counted = raw.tell()


# --- the envelope of a record ------------------------------------------------------

def _json(text: str | bytes, outer: int) -> Any:
    # The one strict reading (a key repeated at any level, NaN, numbers
    # beyond a float, lone surrogates and deep nesting are refused); a
    # document inside a record may nest as deep as one alone.
    try:
        return loads(text, outer=outer)
    except InvalidDocument as error:
        raise ValueError(str(error)) from None


def _drop_nulls(value: Any) -> Any:
    # Struct columns hold every kind's fields; a field absent from a document is null.
    if isinstance(value, dict):
        return {k: _drop_nulls(v) for k, v in value.items() if v is not None}
    return value


def envelope_of(raw: bytes | Oversized | dict[str, Any]) -> tuple[dict[str, Any], bool]:
    """The envelope of a raw record (an NDJSON line or a Parquet row) and
    whether it came from a line. ValueError says why there is none."""
    if isinstance(raw, Oversized):
        raise ValueError(f"line of {raw.length} bytes, longer than the {MAX_LINE} read")
    if not isinstance(raw, bytes):
        return raw, False
    if not raw.strip():
        raise ValueError("empty line")
    try:
        line = raw.decode("utf-8")
    except UnicodeDecodeError as error:
        raise ValueError(f"not UTF-8 (byte {error.start})") from None
    envelope = _json(line, outer=1)
    if not isinstance(envelope, dict):
        raise ValueError("record is not a JSON object")
    return envelope, True


def document_of(envelope: dict[str, Any], from_line: bool) -> Any:
    """The document of a record as a JSON value (an object, or an array form),
    for quillet.documents.read_value: the audit hashes the typed document it
    reads, never the record's text. ValueError when there is none."""
    document = envelope.get("document")
    if isinstance(document, str):  # a JSON text: a Parquet JSON column holds one
        return _json(document, outer=0)
    if not isinstance(document, (dict, list)):
        raise ValueError("no document object")
    return document if from_line else _drop_nulls(document)


def kind_of(envelope: dict[str, Any]) -> str:
    """The record's kind, one of quillet.batch.KINDS; ValueError if it has none."""
    kind = envelope.get("kind")
    if isinstance(kind, str):
        kind = kind.replace("-", "_")  # as the command line takes kinds
    if kind not in KINDS:
        raise ValueError(f"unknown kind {json.dumps(kind)}" if kind is not None else "no kind")
    return str(kind)


def to_record(raw: bytes | Oversized | dict[str, Any]) -> Record:
    """The Record of an NDJSON line or Parquet row; ValueError says what is wrong."""
    envelope, from_line = envelope_of(raw)
    kind = kind_of(envelope)
    document = document_of(envelope, from_line)
    signature = envelope.get("signature")
    if not (isinstance(signature, dict) and isinstance(signature.get("r"), str)
            and isinstance(signature.get("s"), str)):
        raise ValueError('no signature {"r": text, "s": text}')
    key = envelope.get("public_key")
    if not isinstance(key, str):
        raise ValueError("no public_key text")
    return Record(kind, document, signature["r"], signature["s"], key)


def read_log(path: str) -> Iterator[Record]:
    """The records of a log, in order. A record that is none raises LogError
    naming its number; the audit, unlike this reader, goes on past it."""
    number = 0
    for part in plan_parts(path):
        for chunk, _ in part_chunks(part, 4096):
            for raw in chunk:
                number += 1
                try:
                    yield to_record(raw)
                except ValueError as error:
                    raise LogError(f"{path}: record {number}: {error}") from None


# --- writing -----------------------------------------------------------------------

class LogWriter:
    """Writes records to a new log: NDJSON, gzip NDJSON (a name ending in .gz) or
    Parquet (a name ending in .parquet, with the document as a JSON text column
    or, with document="struct", as struct columns). Use as a context manager."""

    def __init__(self, path: str, *, document: DocumentColumn = "json") -> None:
        self.path = path
        self._document = document
        self._rows: list[dict[str, Any]] = []
        self._parquet: Any = None
        self._schema: Any = None
        self._text: io.BufferedIOBase | gzip.GzipFile | None = None
        if path.endswith(".parquet"):
            self._pq = _pyarrow_parquet()
        elif path.endswith(".gz"):
            self._text = gzip.open(path, "wb", compresslevel=6)
        else:
            self._text = open(path, "wb")

    def write(self, record: Record | dict[str, Any]) -> None:
        """Appends one record (a Record, or any JSON object for a deliberately
        malformed one)."""
        value = record.to_json() if isinstance(record, Record) else record
        if self._text is not None:
            self._text.write(json.dumps(value, separators=(",", ":")).encode() + b"\n")
            return
        if self._document == "json" and isinstance(value.get("document"), dict):
            value = {**value, "document": json.dumps(value["document"], separators=(",", ":"))}
        self._rows.append(value)
        if len(self._rows) >= _ROW_GROUP:
            self._flush()

    def _flush(self) -> None:
        if not self._rows:
            return
        pa = _pyarrow()
        try:
            table = pa.Table.from_pylist(self._rows)
        except (pa.ArrowInvalid, pa.ArrowTypeError) as error:
            raise LogError(f"{self.path}: records that Parquet columns cannot hold ({error}); "
                           "write the documents as JSON text") from None
        if self._schema is None:
            self._schema = table.schema
            self._parquet = self._pq.ParquetWriter(self.path, self._schema)
        elif table.schema != self._schema:
            # Given the first group's schema, pyarrow would drop unknown fields silently.
            raise LogError(f"{self.path}: a row group's fields differ from the first one's; "
                           "write the documents as JSON text")
        self._parquet.write_table(table, row_group_size=_ROW_GROUP)
        self._rows = []

    def close(self) -> None:
        if self._text is not None:
            self._text.close()
            return
        self._flush()
        if self._parquet is None:  # no record at all: an empty table of the usual shape
            pa = _pyarrow()
            empty = pa.schema([("kind", pa.string()), ("document", pa.string()),
                               ("signature", pa.struct([("r", pa.string()), ("s", pa.string())])),
                               ("public_key", pa.string())])
            self._parquet = self._pq.ParquetWriter(self.path, empty)
        self._parquet.close()

    def __enter__(self) -> LogWriter:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def write_log(path: str, records: Iterable[Record | dict[str, Any]], *,
              document: DocumentColumn = "json") -> int:
    """Writes `records` to a new log at `path` (format as LogWriter); returns their count."""
    count = 0
    with LogWriter(path, document=document) as writer:
        for record in records:
            writer.write(record)
            count += 1
    return count


_HEX = re.compile(r"(?:0x)?([0-9a-fA-F]{0,64})")


def key_value(text: object) -> int | None:
    """The 256-bit value of a key text as the module reads it (hexadecimal, an
    optional "0x", empty meaning zero), or None when it reads none."""
    if not isinstance(text, str):
        return None
    match = _HEX.fullmatch(text)
    return int(match.group(1) or "0", 16) if match else None
