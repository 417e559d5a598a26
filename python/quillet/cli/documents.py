"""hash, sign and verify: transaction documents, one or many (--ndjson)."""

from __future__ import annotations

import argparse
import json
from collections.abc import Callable

import quillet_python_sdk as sdk

from quillet import batch
from quillet.cli.common import (EXIT_FALSE, EXIT_OK, Failure, Inputs, call, emit, emit_text,
                                ndjson, parse_json)
from quillet.cli.keys import private_key
from quillet.documents import DOCUMENT_TYPES, key_value, named_key
from quillet.errors import InvalidDocument, KeyMismatch, QuilletError

KINDS = batch.KINDS
HASH: dict[str, Callable[[str], str]] = {kind: getattr(sdk, "hash_" + kind) for kind in KINDS}
SIGN: dict[str, Callable[[str, str], str]] = {kind: getattr(sdk, "sign_" + kind) for kind in KINDS}


def key_mismatch(document: str, kind: str, signer: str) -> str | None:
    """Why the private key whose public key is `signer` may not sign the JSON
    `document`: the document names another key (see
    quillet.documents.named_key). None if it names this one, or if the
    module is left to refuse the document."""
    parsed = parse_json(document)
    named = named_key(parsed, kind) if isinstance(parsed, dict) else None
    value = key_value(named)
    if value is None or value == key_value(signer):
        return None
    return str(KeyMismatch(str(named), signer))



def cmd_hash(args: argparse.Namespace, inputs: Inputs) -> int:
    if args.ndjson:
        return ndjson(inputs.lines(args.file, "NDJSON input"),
                       lambda docs: batch.hash_many(args.kind, docs, outcomes=True),
                       lambda digest: json.dumps({"hash": digest}))
    document = inputs.read(args.file, "document")
    emit({"hash": call(HASH[args.kind], document)})
    return EXIT_OK


def cmd_sign(args: argparse.Namespace, inputs: Inputs) -> int:
    if args.ndjson:
        chunks = inputs.lines(args.file, "NDJSON input")
        key = private_key(args, inputs)
        signer = key.public_key.x

        def sign(docs: list[str]) -> list[batch.Outcome[str]]:
            outcomes = batch.sign_many(args.kind, docs, key.to_text(), outcomes=True)
            for index, doc in enumerate(docs):
                mismatch = key_mismatch(doc, args.kind, signer)
                if mismatch is not None:  # signed, but the signature is not given out
                    outcomes[index] = batch.Outcome(index, error=QuilletError(mismatch))
            return outcomes

        return ndjson(chunks, sign, str)
    document = inputs.read(args.file, "document")
    key = private_key(args, inputs)
    mismatch = key_mismatch(document, args.kind, key.public_key.x)
    if mismatch is not None:
        raise Failure(mismatch)
    emit_text(call(SIGN[args.kind], document, key.to_text(), secret=key))
    return EXIT_OK



def _json_object(text: str, what: str, keys: tuple[str, ...]) -> dict[str, str]:
    value = parse_json(text)
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
    status = ndjson(inputs.lines(source, "NDJSON input"), verify,
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

