"""One strict reading of documents on every path that hashes, signs or checks.

Each hostile document below is refused by quillet.documents.read, and every
entry point that takes a document as text refuses it with the very same
reason: the typed documents' classes, `quillet hash`, `sign` and `verify`
(single and --ndjson, the document as a line's member or as its text) and
the audit. A document that names another key than the signer's is refused
by every signing path, its array form as its object form.
"""

import json

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import quillet_python_sdk as q
from quillet import InvalidDocument, KeyMismatch, PrivateKey, _batch, audit, batch, documents
from quillet.cli import main
from quillet.documents import (DOCUMENT_TYPES, FIELD_MODULUS, MAX_DEPTH, Liquidation,
                               SignedOraclePrice, loads, read)
from samples import DOCUMENTS, ORDER
from test_properties import document, mutated

SIGNER = PrivateKey.from_seed("one strict reading: the signer's seed of 32 bytes")
OTHER = PrivateKey.from_seed("one strict reading: another trader's seed, 32+ bytes")


def own(kind: str, **changes: object) -> dict:
    """The sample document of `kind`, naming SIGNER, with `changes`."""
    doc = json.loads(json.dumps(DOCUMENTS[kind]))
    if kind == "liquidate":
        doc["liquidator_order"]["public_key"] = SIGNER.public_key.x
    else:
        doc["signer_key" if kind == "signed_oracle_price" else "public_key"] = \
            SIGNER.public_key.x
    doc.update(changes)
    return doc


def extra(kind: str, raw: str) -> str:
    """The sample as text with one more member, `"x": raw`, written as is."""
    return json.dumps(own(kind))[:-1] + f', "x": {raw}}}'


def repeated(kind: str, key: str, first: str) -> str:
    """The sample as text with `key` written twice: `first`, then the sample's value."""
    text = json.dumps(own(kind))
    return text.replace(f'"{key}": ', f'"{key}": {json.dumps(first)}, "{key}": ', 1)


ORDER_TEXT = json.dumps(own("limit_order"))
# (case, kind, text, words of the reason)
HOSTILE = [
    ("repeated own key", "limit_order", repeated("limit_order", "amount_fee", "1"),
     "amount_fee: repeated"),
    ("repeated nonce", "transfer", repeated("transfer", "nonce", "1"), "nonce: repeated"),
    ("repeated in the liquidator order", "liquidate",
     json.dumps(own("liquidate")).replace('"nonce": ', '"nonce": "3", "nonce": ', 1),
     "nonce: repeated"),
    ("repeated in an extra member", "withdraw", extra("withdraw", '{"a": 1, "a": 2}'),
     "a: repeated"),
    ("repeated in an array form", "signed_oracle_price",
     json.dumps([*own("signed_oracle_price").values(), {"b": 1}]).replace(
         '{"b": 1}', '{"b": 1, "b": 1}'), "b: repeated"),
    ("nonce of 2**32", "limit_order", json.dumps(own("limit_order", nonce=str(2**32))),
     "nonce: 4294967296 is out of range: the hash does not bind it"),
    ("asset id plus the field modulus", "transfer", json.dumps(own(
        "transfer", asset_id=hex(int(DOCUMENTS["transfer"]["asset_id"], 16) + FIELD_MODULUS))),
     "asset_id: "),
    ("millisecond expiration", "withdraw",
     json.dumps(own("withdraw", expiration_timestamp="1767225600000")),
     "(this looks like milliseconds)"),
    ("millisecond oracle time", "signed_oracle_price",
     json.dumps(own("signed_oracle_price", timestamp="1767225600000")),
     "(this looks like milliseconds)"),
    ("4,301-digit amount", "transfer", json.dumps(own("transfer", amount="9" * 4301)),
     "amount: a number of 4301 digits is out of range"),
    ("1e400", "limit_order", extra("limit_order", "1e400"), "1e400 is out of range"),
    ("a 400-digit integer", "limit_order", extra("limit_order", "9" * 400), "out of range"),
    ("NaN", "transfer", extra("transfer", "NaN"), "NaN is not a JSON value"),
    ("-Infinity", "withdraw", extra("withdraw", "-Infinity"), "-Infinity is not a JSON value"),
    ("lone leading surrogate", "limit_order", extra("limit_order", '"\\ud800"'),
     "lone surrogate"),
    ("lone trailing surrogate", "liquidate", extra("liquidate", '"\\udfff x"'),
     "lone surrogate"),
    ("nesting 129", "transfer", extra("transfer", "[" * MAX_DEPTH + "]" * MAX_DEPTH),
     f"nested deeper than {MAX_DEPTH} levels"),
    ("empty key text", "limit_order", json.dumps(own("limit_order", public_key="")),
     "public_key: '' is not valid"),
]
KINDS_USED = sorted({kind for _, kind, _, _ in HOSTILE})


def reason(kind: str, text: str) -> str:
    with pytest.raises(InvalidDocument) as caught:
        read(kind, text)
    return str(caught.value)


@pytest.mark.parametrize("case, kind, text, words", HOSTILE, ids=[c[0] for c in HOSTILE])
def test_the_reading_refuses_each_hostile_document(case, kind, text, words):
    expected = reason(kind, text)
    assert words in expected
    with pytest.raises(InvalidDocument) as caught:
        DOCUMENT_TYPES[kind].from_json(text)
    assert str(caught.value) == expected
    with pytest.raises(InvalidDocument) as caught:
        DOCUMENT_TYPES[kind].from_json(text.encode())
    assert str(caught.value) == expected


def test_the_limits_themselves_are_accepted():
    # One step inside each refusal above: 128 levels, a 64-bit float's range,
    # a paired surrogate escape, leading zeros, nonce 2**32 - 1.
    texts = [extra("transfer", "[" * (MAX_DEPTH - 1) + "]" * (MAX_DEPTH - 1)),
             extra("transfer", "1e308"), extra("transfer", "-" + "9" * 300),
             extra("transfer", '"\\ud83d\\ude00"'), extra("transfer", "1e-400"),
             json.dumps(own("transfer", nonce="0" * 5000 + str(2**32 - 1)))]
    for text in texts:
        assert read("transfer", text).hash() == q.hash_transfer(text)


JSON_VALUES = st.recursive(
    st.none() | st.booleans() | st.integers() | st.text(max_size=3),
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text(max_size=2), inner,
                                                                max_size=4),
    max_leaves=40)


@settings(max_examples=300, deadline=None)
@given(JSON_VALUES, st.integers(0, 150))
def test_the_containers_walk_finds_the_depth_the_whole_walk_finds(value, extra):
    # The fast path of loads (no escape of a surrogate), against the walk of
    # every value; `extra` levels of arrays around it reach past MAX_DEPTH.
    for _ in range(extra):
        value = [value]
    assert documents._depth(value) == documents._strings_and_depth(value)[1]


@pytest.fixture
def paths(tmp_path):
    """A key file of SIGNER, a signature and its public key, and a writer of files."""
    key = tmp_path / "key.txt"
    key.write_text(SIGNER.to_text())

    def write(name: str, text: str) -> str:
        path = tmp_path / name
        path.write_text(text)
        return str(path)

    return {"key": str(key), "write": write,
            "signature": '{"r": "0x1", "s": "0x1"}', "public": SIGNER.public_key.to_json()}


def run(capsys, *argv: str) -> tuple[int, str, str]:
    status = main(list(argv))
    out, err = capsys.readouterr()
    return status, out, err


def test_every_command_refuses_with_the_same_reason(capsys, paths):
    for case, kind, text, _ in HOSTILE:
        expected = reason(kind, text)
        path = paths["write"]("doc.json", text)
        for argv in (["hash", kind, path], ["sign", kind, path, "--key-file", paths["key"]],
                     ["verify", "--kind", kind, paths["signature"], paths["public"], path]):
            command = argv[0]
            assert run(capsys, *argv) == (
                2, "", f"quillet {command}: the document is refused: {expected}\n"), case


def test_every_ndjson_command_refuses_line_by_line_with_the_same_reason(capsys, paths):
    signature = json.loads(paths["signature"])
    for kind in KINDS_USED:
        cases = [(text, reason(kind, text)) for _, k, text, _ in HOSTILE if k == kind]
        lines = paths["write"]("lines.ndjson", "".join(text + "\n" for text, _ in cases))
        # The document as a line's member written in place, and as a JSON text.
        rows = [json.dumps({"signature": signature, "public_key": SIGNER.public_key.x,
                            "document": "@"})[:-4] + text + "}" for text, _ in cases]
        rows += [json.dumps({"signature": signature, "public_key": SIGNER.public_key.x,
                             "document": text}) for text, _ in cases]
        verify_lines = paths["write"]("rows.ndjson", "".join(row + "\n" for row in rows))
        expected = [{"error": why} for _, why in cases]
        for argv in (["hash", kind, "--ndjson", lines],
                     ["sign", kind, "--ndjson", lines, "--key-file", paths["key"]]):
            status, out, _ = run(capsys, *argv)
            assert (status, [json.loads(line) for line in out.splitlines()]) == (2, expected)
        status, out, _ = run(capsys, "verify", "--kind", kind, "--ndjson", verify_lines)
        assert (status, [json.loads(line) for line in out.splitlines()]) == (2, expected * 2)


def test_the_audit_refuses_with_the_same_reason(tmp_path):
    records = []
    for _, kind, text, _ in HOSTILE:
        signature = json.loads(q.sign(SIGNER.to_text(), "0x1234"))
        head = json.dumps({"kind": kind, "signature": signature,
                           "public_key": SIGNER.public_key.x})
        records.append((head[:-1] + ', "document": ' + text + "}", reason(kind, text)))
    log = tmp_path / "log.ndjson"
    log.write_text("".join(line + "\n" for line, _ in records))
    result = audit.audit([str(log)], hide_diagnostics=True)
    assert [(issue.outcome, issue.reason) for issue in result.issues] == \
        [("bad-document", why) for _, why in records]


def array_form(kind: str, signer: PrivateKey) -> str:
    doc = own(kind)
    if kind == "liquidate":
        doc["liquidator_order"]["public_key"] = signer.public_key.x
    else:
        doc["signer_key"] = signer.public_key.x
    return json.dumps(list(doc.values()))


@pytest.mark.parametrize("kind", ["liquidate", "signed_oracle_price"])
def test_array_forms_naming_another_key_are_refused_on_every_signing_path(kind, capsys,
                                                                          paths, tmp_path):
    text = array_form(kind, OTHER)
    document = read(kind, text)  # read as the object form is
    assert isinstance(document, (Liquidation, SignedOraclePrice))
    assert document == read(kind, json.dumps(DOCUMENT_TYPES[kind].from_json(text).to_dict()))
    with pytest.raises(KeyMismatch) as caught:
        SIGNER.sign(document)
    mismatch = str(caught.value)
    with pytest.raises(KeyMismatch):
        batch.sign_many(kind, [document], SIGNER)
    assert [o.error and str(o.error) for o in
            batch.sign_many(kind, [document], SIGNER, outcomes=True)] == [mismatch]
    path = paths["write"]("doc.json", text)
    assert run(capsys, "sign", kind, path, "--key-file", paths["key"]) == (
        2, "", f"quillet sign: {mismatch}\n")
    status, out, _ = run(capsys, "sign", kind, "--ndjson", path, "--key-file", paths["key"])
    assert (status, json.loads(out)) == (2, {"error": mismatch})
    # Signed by the module with the other key all the same, the record fails the audit.
    signature = json.loads(getattr(q, f"sign_{kind}")(text, SIGNER.to_text()))
    record = {"kind": kind, "document": json.loads(text), "signature": signature,
              "public_key": SIGNER.public_key.x}
    log = tmp_path / "log.ndjson"
    log.write_text(json.dumps(record) + "\n")
    (issue,) = audit.audit([str(log)], hide_diagnostics=True).issues
    assert issue.outcome == "bad-key"
    # Its own signer's array form signs, and the audit finds it valid.
    good = array_form(kind, SIGNER)
    signed = SIGNER.sign(read(kind, good))
    log.write_text(json.dumps({**record, "document": json.loads(good),
                               "signature": json.loads(signed.to_json())}) + "\n")
    assert audit.audit([str(log)], hide_diagnostics=True).issues == []


def test_what_is_signed_is_the_typed_document_not_the_text(capsys, paths):
    # Leading zeros, spaces and an unknown member: the signature is the one of
    # the typed document's own JSON, which hashes alike.
    text = json.dumps(own("limit_order", nonce="0007", note="ignored"), indent=2)
    path = paths["write"]("doc.json", text)
    document = read("limit_order", text)
    status, out, _ = run(capsys, "sign", "limit_order", path, "--key-file", paths["key"])
    assert (status, out) == (0, q.sign_limit_order(document.to_json(), SIGNER.to_text()) + "\n")
    assert document.hash() == q.hash_limit_order(text)


KIND = st.sampled_from(sorted(DOCUMENTS))
HOSTILE_TOKENS = ["1e400", "NaN", '"\\ud800"', "[" * 130 + "]" * 130, '{"a":1,"a":1}', "-0",
                  "1e-400", '"\\u0000"', "0" * 400, "9" * 400]


@st.composite
def texts(draw, kind):
    return draw(st.one_of(
        document(kind), mutated([json.dumps(DOCUMENTS[kind])]),
        st.sampled_from(HOSTILE_TOKENS).map(lambda raw: json.dumps(DOCUMENTS[kind])[:-1] +
                                            f', "x": {raw}}}')))


@settings(max_examples=400, deadline=None, database=None,
          suppress_health_check=[HealthCheck.too_slow])
@given(data=st.data(), kind=KIND)
def test_the_reading_never_takes_what_the_module_refuses(data, kind):
    text = data.draw(texts(kind))
    try:
        module_ok, value = _batch.call("hash_" + kind, text)
    except UnicodeEncodeError:  # a lone surrogate: the module refuses the argument itself
        module_ok, value = False, None
    try:
        document = read(kind, text)
    except InvalidDocument:
        return
    assert module_ok, (text, value)
    # What the reading took hashes as the text did: it holds the same values.
    assert document.hash() == value


def test_loads_errors_count_utf8_bytes_and_name_the_line():
    with pytest.raises(InvalidDocument, match="at line 2 column 7$"):
        loads('{"é":\n "é" x}')
    with pytest.raises(InvalidDocument, match="not UTF-8 text .byte 1."):
        loads(b"{\xff}")
    with pytest.raises(InvalidDocument, match="lone surrogate at byte 3"):
        loads('"é\ud800"')
