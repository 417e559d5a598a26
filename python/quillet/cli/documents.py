"""hash, sign and verify: transaction documents, one or many (--ndjson).

Every document is read once, by quillet.documents.read (or read_value for
one inside an NDJSON line), and what is hashed, signed or verified is the
typed document's own JSON: a document the typed documents refuse is refused
here with the same reason. `hash --raw` alone hands the text to the module as
it is.
"""

from __future__ import annotations

import argparse
import json
import os
import re
from collections.abc import Callable
from typing import Any

from quillet import batch
from quillet.cli.common import (EXIT_FALSE, EXIT_OK, TEXT_LIMIT, Failure, Inputs, core_call, emit,
                                emit_text, ndjson, typed_call)
from quillet.cli.keys import signer
from quillet.documents import Document, loads, read, read_value
from quillet.errors import InvalidDocument, InvalidMessage, QuilletError
from quillet.keys import PublicKey, Signature, message_text


def refused(error: InvalidDocument) -> Failure:
    """The command's failure for a document the reading refused."""
    return Failure(f"the document is refused: {error}")


def read_document(kind: str, text: str) -> Document:
    try:
        return read(kind, text)
    except InvalidDocument as error:
        raise refused(error) from None


def _read_lines(kind: str, lines: list[str]) -> list[Document | QuilletError]:
    """Each NDJSON line's document, or why it is refused."""
    out: list[Document | QuilletError] = []
    for line in lines:
        try:
            out.append(read(kind, line))
        except InvalidDocument as error:
            out.append(error)
    return out


def _merged(items: list[Document | QuilletError],
            run: Callable[[list[Document]], list[batch.Outcome[Any]]]
            ) -> list[batch.Outcome[Any]]:
    """run() on the documents among `items`, its outcomes put back in place
    beside the refusals."""
    answers = iter(run([item for item in items if isinstance(item, Document)]))
    return [next(answers) if isinstance(item, Document) else batch.Outcome(index, error=item)
            for index, item in enumerate(items)]


def cmd_hash(args: argparse.Namespace, inputs: Inputs) -> int:
    if args.ndjson:
        if args.raw:
            return ndjson(inputs.lines(args.file, "NDJSON input"),
                          lambda docs: batch.hash_many(args.kind, docs, outcomes=True),
                          lambda digest: json.dumps({"hash": digest}))
        return ndjson(inputs.lines(args.file, "NDJSON input"),
                      lambda lines: _merged(_read_lines(args.kind, lines), lambda docs:
                                            batch.hash_many(args.kind, docs, outcomes=True)),
                      lambda digest: json.dumps({"hash": digest}))
    text = inputs.read(args.file, "document")
    emit({"hash": core_call(f"hash_{args.kind}", text) if args.raw else
          document_hash(read_document(args.kind, text))})
    return EXIT_OK


def document_hash(document: Document) -> str:
    try:
        return document.hash()
    except InvalidDocument as error:  # the module refused what the reading took
        raise refused(error) from None


def cmd_sign(args: argparse.Namespace, inputs: Inputs) -> int:
    if args.ndjson:
        chunks = inputs.lines(args.file, "NDJSON input")
        with signer(args, inputs) as key:
            # A document naming another key is a KeyMismatch outcome: never signed.
            return typed_call(lambda: ndjson(
                chunks, lambda lines: _merged(_read_lines(args.kind, lines), lambda docs:
                                              batch.sign_many(args.kind, docs, key,
                                                              outcomes=True)),
                str))
    document = read_document(args.kind, inputs.read(args.file, "document"))
    with signer(args, inputs) as key:
        # KeyMismatch: the document names another key; a service's refusal
        signature = typed_call(lambda: key.sign(document))
    emit_text(signature.to_json())
    return EXIT_OK


# What verify_signature reads as a message: hex digits, "0x" allowed.
_HEX_TEXT = re.compile("(?:0x)?[0-9a-fA-F]*")


def _json_object(text: str, what: str, keys: tuple[str, ...], hint: str) -> dict[str, str]:
    try:
        value = loads(text)
    except InvalidDocument:
        value = None
    if not isinstance(value, dict) or not all(isinstance(value.get(k), str) for k in keys):
        names = " and ".join(f'"{k}"' for k in keys)
        raise Failure(f"the {what} must be a JSON object with {names} texts{hint}")
    return value


def _argument(inputs: Inputs, value: str, what: str, plain: bool) -> tuple[str, str]:
    """(the text of a verify argument, a hint for its failure): `value`
    itself; the file "@FILE" names; or the file `value` names when it exists
    and `plain` (the value is neither JSON nor hex text, so it is no value)."""
    if value.startswith("@") or (plain and value != "-" and os.path.isfile(value)):
        return inputs.read(value.removeprefix("@"), what, TEXT_LIMIT).strip(), ""
    return value.strip(), " (a file is read with @FILE)"


def _public_key(value: object) -> PublicKey:
    """The public key of a packed key text or of the pair {"x", "y"}: only a
    key that verification can use (not the neutral point, under which every
    signature would verify); InvalidKey says why another is refused."""
    if isinstance(value, str):
        return PublicKey.from_packed(value)
    if not isinstance(value, dict):
        raise TypeError("not a public key")
    return PublicKey(value["x"], value["y"])


def _verify_row(line: str, kind: str | None) -> tuple[Signature, PublicKey, Document | str] | str:
    """The typed (signature, public key, message) of one NDJSON line (with
    --kind, the document read strictly in place of the message), or what is
    wrong with it."""
    want = "document" if kind is not None else "message"
    shape = f'each line must be {{"signature": {{"r", "s"}}, "public_key": ..., "{want}": ...}}'
    try:
        # The document sits at level 2 of the line: it may nest as deep as alone.
        item = loads(line, outer=1)
        if not isinstance(item, dict):
            return shape
        signature = Signature(item["signature"]["r"], item["signature"]["s"])
        public = _public_key(item["public_key"])
        if kind is not None:
            document = item["document"]
            return signature, public, read(kind, document) if isinstance(document, str) else \
                read_value(kind, document)
        return signature, public, message_text(item["message"])
    except QuilletError as error:  # the document, key, signature or message refused
        return str(error)
    except (KeyError, TypeError):
        return shape


def cmd_verify_ndjson(args: argparse.Namespace, inputs: Inputs) -> int:
    if len(args.arguments) > 1:
        raise Failure("with --ndjson every line holds its signature, public key and message; "
                      "give at most the FILE that holds the lines")
    answered_false = False

    def verify(lines: list[str]) -> list[batch.Outcome[bool]]:
        nonlocal answered_false
        rows = [_verify_row(line, args.kind) for line in lines]
        checked = iter(batch.verify_many([row for row in rows if isinstance(row, tuple)],
                                         outcomes=True))
        outcomes: list[batch.Outcome[bool]] = []
        for index, row in enumerate(rows):
            if isinstance(row, str):
                outcomes.append(batch.Outcome(index, error=QuilletError(row)))
            else:
                outcome = next(checked)
                answered_false |= outcome.value is False
                outcomes.append(outcome)
        return outcomes

    source = args.arguments[0] if args.arguments else "-"
    status = ndjson(inputs.lines(source, "NDJSON input"), verify,
                    lambda valid: json.dumps({"valid": valid}))
    return EXIT_FALSE if status == EXIT_OK and answered_false else status


def cmd_verify(args: argparse.Namespace, inputs: Inputs) -> int:
    if args.ndjson:
        return cmd_verify_ndjson(args, inputs)
    if len(args.arguments) != 3:
        raise Failure("give SIGNATURE PUBLIC_KEY MESSAGE (or --ndjson and lines on stdin)")
    args.signature, args.public_key, args.message = args.arguments
    signature_text, hint = _argument(inputs, args.signature, "signature",
                                     not args.signature.lstrip().startswith("{"))
    pair = _json_object(signature_text, "signature", ("r", "s"), hint)
    signature = typed_call(lambda: Signature(pair["r"], pair["s"]))
    public_text, hint = _argument(inputs, args.public_key, "public key",
                                  not args.public_key.lstrip().startswith("{") and
                                  not _HEX_TEXT.fullmatch(args.public_key.strip()))
    if public_text.startswith("{"):
        given: object = _json_object(public_text, "public key", ("x", "y"), hint)
    elif hint and not _HEX_TEXT.fullmatch(public_text):
        raise Failure('the public key must be a packed key (0x...) or the JSON {"x", "y"} '
                      f"of `quillet pubkey`{hint}")
    else:
        given = public_text
    public = typed_call(lambda: _public_key(given))
    if args.kind is not None:
        msg = document_hash(read_document(args.kind, inputs.read(args.message, "document")))
    else:
        msg = args.message
    try:
        valid = public.verify(signature, msg)
    except InvalidMessage as error:
        if args.kind is not None or _HEX_TEXT.fullmatch(msg):
            raise Failure(str(error)) from None
        what = f"MESSAGE {msg} is a file, not" if os.path.isfile(msg) else "MESSAGE is not"
        raise Failure(f"{what} hex text: a message is up to 64 hex digits (0x allowed); "
                      "a document is verified with --kind KIND") from None
    except QuilletError as error:  # a signature that is no point and scalar of the curve
        raise Failure(str(error)) from None
    emit({"valid": valid})
    return EXIT_OK if valid else EXIT_FALSE
