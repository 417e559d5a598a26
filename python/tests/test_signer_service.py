"""The signing service as a process: its API, authentication, hostile
requests, the double-sign guard, the journal and its audit, a database that
stops answering, and a graceful stop."""

import json
import os
import signal
import socket
import sqlite3
import subprocess
import sys
import time

import pytest

from quillet import Signature
from quillet.documents import read_value
from signer_fixtures import (KEYS, PASSPHRASE, httpx, liquidation, oracle_price, order,
                             signer, signer_setup, transfer, withdrawal)
from test_reading import HOSTILE, reason

OPEN = {"limit_order": {"unrestricted": True}, "transfer": {"unrestricted": True},
        "withdraw": {"unrestricted": True}, "liquidate": {"unrestricted": True},
        "signed_oracle_price": {"unrestricted": True}}
ALL_KINDS = {"kinds": list(OPEN), **OPEN}
DOCUMENTS = [("limit_order", order), ("transfer", transfer), ("withdraw", withdrawal),
             ("liquidate", liquidation), ("signed_oracle_price", oracle_price)]


def post(http, path, body):
    response = http.post(path, json=body) if not isinstance(body, (bytes, str)) else \
        http.post(path, content=body)
    return response.status_code, response.json()


def verifies(key, document_kind, document, answer):
    typed = read_value(document_kind, document)
    return answer["hash"] == typed.hash() and KEYS[key].public_key.verify(
        Signature(answer["signature"]["r"], answer["signature"]["s"]), typed)


def test_the_api_answers_as_documented(signer):
    service = signer.start({"bot-a": {**ALL_KINDS, "messages": True, "keys": ["desk", "ops"]},
                            "monitor": {"monitor": True}})
    with service.client("bot-a") as http:
        assert http.get("/v1/health").json() == {"status": "ok"}
        assert http.get("/v1/keys").json() == {"keys": [
            {"name": name, "public_key": {"x": KEYS[name].public_key.x,
                                          "y": KEYS[name].public_key.y}}
            for name in ("desk", "ops")]}
        # One document of each kind; the answer is the module's, byte for byte.
        for kind, make in DOCUMENTS:
            document = make()
            status, body = post(http, "/v1/keys/desk/sign", {"kind": kind, "document": document})
            assert status == 200 and verifies("desk", kind, document, body), (kind, body)
            assert body == {"hash": read_value(kind, document).hash(), "signature": json.loads(
                KEYS["desk"].sign(read_value(kind, document)).to_json())}
        # A batch with one refused item: the others are signed.
        documents = [order(nonce=n) for n in range(10, 15)]
        documents[2] = {**documents[2], "nonce": str(1 << 32)}
        status, body = post(http, "/v1/keys/desk/sign-many",
                            {"kind": "limit_order", "documents": documents})
        results = body["results"]
        assert status == 200 and len(results) == 5
        assert results[2]["status"] == 400 and results[2]["error"]["error"] == "bad_request"
        assert "nonce: 4294967296 is out of range" in results[2]["error"]["detail"]
        assert all(verifies("desk", "limit_order", d, r)
                   for i, (d, r) in enumerate(zip(documents, results)) if i != 2)
        assert post(http, "/v1/keys/desk/sign-many",
                    {"kind": "limit_order", "documents": []}) == (200, {"results": []})
        # Messages: the module's signature and L1 signature.
        status, body = post(http, "/v1/keys/ops/sign-message", {"message": "0x1234"})
        assert status == 200 and body["signature"] == json.loads(
            KEYS["ops"].sign_message("0x1234").to_json())
        status, body = post(http, "/v1/keys/ops/eth-sign", {"message": "0x1234"})
        assert status == 200 and body["signature"] == json.loads(
            KEYS["ops"].eth_sign("0x1234").to_json())
        for message, words in [("0x0", "message 0"), ("0xzz", "not \"0x\""), (5, "hex text"),
                               ("0x" + "f" * 65, "not \"0x\"")]:
            status, body = post(http, "/v1/keys/ops/sign-message", {"message": message})
            assert status == 400 and words in body["detail"], (message, body)
        assert http.get("/metrics").status_code == 403
        assert http.get("/v1/nothing").status_code == 404
        assert http.get("/v1/keys/desk/sign").status_code == 405
    with service.client("monitor") as http:
        text = http.get("/metrics").text
        assert 'quillet_signer_requests_total{route="sign",status="200"} 5.0' in text
        assert 'quillet_signer_refusals_total{rule="bad_request"}' in text
        assert "quillet_signer_request_seconds_bucket" in text


def test_a_client_over_its_rate_waits(signer):
    service = signer.start({"bot-a": {**ALL_KINDS, "max_requests_per_minute": 3}})
    with service.client("bot-a") as http:
        assert [http.get("/v1/keys").status_code for _ in range(3)] == [200] * 3
        response = http.post("/v1/keys/desk/sign", json={"kind": "transfer",
                                                         "document": transfer()})
        assert (response.status_code, response.json()) == (429, {"error": "rate_limited"})
        assert 1 <= int(response.headers["retry-after"]) <= 60
        assert http.get("/v1/health").status_code == 200  # no client, no limit


def test_a_nonce_is_signed_for_one_document_only(signer):
    service = signer.start({"bot-a": ALL_KINDS})
    with service.client("bot-a") as http:
        first = order(nonce=7)
        status, signed = post(http, "/v1/keys/desk/sign", {"kind": "limit_order",
                                                           "document": first})
        assert status == 200
        # The same document again: the same answer (an idempotent retry).
        assert post(http, "/v1/keys/desk/sign", {"kind": "limit_order",
                                                 "document": first}) == (200, signed)
        # Another document with that nonce, alone and in a batch (with its twin).
        other = {**first, "amount_fee": "501"}
        conflict = {"error": "conflict", "rule": "nonce_reused", "hash": signed["hash"]}
        assert post(http, "/v1/keys/desk/sign", {"kind": "limit_order",
                                                 "document": other}) == (409, conflict)
        results = post(http, "/v1/keys/desk/sign-many", {
            "kind": "limit_order", "documents": [other, first, order(nonce=8), order(nonce=8)]}
        )[1]["results"]
        assert results[0] == {"error": conflict, "status": 409}
        assert results[1] == signed and results[2] == results[3]
        # A liquidation signs its liquidator order: it shares the orders' nonces,
        # another order under nonce 7 is a conflict, the same order a retry.
        assert post(http, "/v1/keys/desk/sign", {
            "kind": "liquidate", "document": liquidation(liquidator_order=other)}) == (409, conflict)
        assert post(http, "/v1/keys/desk/sign", {
            "kind": "liquidate", "document": liquidation(liquidator_order=first)}) == (200, signed)
        # Nonces are per kind otherwise: a withdrawal may use 7.
        assert post(http, "/v1/keys/desk/sign", {"kind": "withdraw",
                                                 "document": withdrawal(nonce=7)})[0] == 200
        # An oracle price is keyed by its asset and time.
        price = oracle_price(timestamp=1767225600)
        assert post(http, "/v1/keys/desk/sign", {"kind": "signed_oracle_price",
                                                 "document": price})[0] == 200
        assert post(http, "/v1/keys/desk/sign", {
            "kind": "signed_oracle_price",
            "document": {**price, "external_price": "1"}})[0] == 409
    # The guard outlives the process.
    service.stop()
    again = signer.again(service)
    with again.client("bot-a") as http:
        assert post(http, "/v1/keys/desk/sign", {"kind": "limit_order",
                                                 "document": other}) == (409, conflict)


def test_authentication_fails_alike_whatever_failed(signer):
    service = signer.start({"bot-a": ALL_KINDS, "bot-b": {**ALL_KINDS, "keys": ["ops"]}})
    tokens = service.setup.tokens
    cases = [None, "", "Bearer", f"Basic {tokens['bot-a']}", f"Bearer{tokens['bot-a']}",
             f"Bearer {tokens['bot-a']}x", f"Bearer {tokens['bot-a'][:-1]}",
             "Bearer " + "A" * 5000, f"Bearer {tokens['bot-a']}\u00e9".encode()]
    for header in cases:
        headers = {} if header is None else {"Authorization": header}
        with service.client(None, headers=headers) as http:
            for method, path in (("GET", "/v1/keys"), ("POST", "/v1/keys/desk/sign"),
                                 ("POST", "/v1/keys/nothing/sign-many"), ("GET", "/metrics")):
                response = http.request(method, path, json={"kind": "x"})
                assert (response.status_code, response.json()) == (401, {
                    "error": "unauthorized"}), (header, path)
                assert response.headers["www-authenticate"] == "Bearer"
    # Another client's token is that client: its keys only. Unknown and
    # forbidden names are refused alike (403, before the body is read).
    with service.client("bot-b") as http:
        for name in ("desk", "nothing"):
            status, body = post(http, f"/v1/keys/{name}/sign", b"not even JSON")
            assert (status, body) == (403, {"error": "policy", "rule": "keys", "field": None,
                                            "limit": None, "value": name})


def test_mutual_tls_needs_the_certificate_of_the_token_s_client(signer):
    service = signer.start({"bot-a": ALL_KINDS, "bot-b": ALL_KINDS}, mutual=True)
    document = {"kind": "limit_order", "document": order()}
    with service.client("bot-a") as http:
        assert post(http, "/v1/keys/desk/sign", document)[0] == 200
    # bot-a's token with bot-b's certificate, and the other way round.
    for name, cert in (("bot-a", "bot-b"), ("bot-b", "bot-a")):
        with service.client(name, cert=cert) as http:
            assert post(http, "/v1/keys/desk/sign", document) == (401, {"error": "unauthorized"})
    # No certificate, or one from another CA: no TLS connection at all.
    for options in ({"cert": ""}, {"foreign": True}):
        with service.client("bot-a", **options) as http:
            with pytest.raises(httpx.TransportError):
                http.get("/v1/keys")


def test_hostile_documents_are_refused_with_the_reading_s_reason(signer):
    service = signer.start({"bot-a": ALL_KINDS})
    with service.client("bot-a") as http:
        for case, kind, text, _ in HOSTILE:
            expected = reason(kind, text)
            status, body = post(http, "/v1/keys/desk/sign",
                                f'{{"kind": "{kind}", "document": {text}}}')
            assert (status, body) == (400, {"error": "bad_request", "detail": expected}), case
            status, body = post(http, "/v1/keys/desk/sign-many",
                                f'{{"kind": "{kind}", "documents": [{text}]}}')
            # Refused whole when the text is no strict JSON, else item by item.
            assert status in (200, 400), case
            refused = body if status == 400 else body["results"][0]["error"]
            assert refused == {"error": "bad_request", "detail": expected}, case


def test_hostile_requests_get_clear_errors(signer):
    service = signer.start({"bot-a": ALL_KINDS},
                           server={"max_body_bytes": 65536, "max_batch": 3})
    with service.client("bot-a") as http:
        deep = '{"kind": "transfer", "document": ' + "[" * 30000 + "]" * 30000 + "}"
        cases = [
            (b"", "not a JSON text"), (b"\xff", "not UTF-8"), (b"[]", "a JSON object"),
            (b'{"kind": "transfer"}', "document: missing"),
            (b'{"kind": "transfer", "document": {}, "extra": 1}', "unknown field 'extra'"),
            (b'{"kind": 5, "document": {}}', "unknown kind 5"),
            (b'{"kind": "hash", "document": {}}', "unknown kind 'hash'"),
            (b'{"kind": "transfer", "document": "text"}', "must be a JSON object, not str"),
            (b'{"kind": "transfer", "document": {}, "kind": "withdraw"}', "kind: repeated"),
            (deep.encode(), "nested deeper than 128 levels"),
        ]
        for body, words in cases:
            status, answer = post(http, "/v1/keys/desk/sign", body)
            assert status == 400 and words in answer["detail"], (body[:60], answer)
        status, answer = post(http, "/v1/keys/desk/sign-many",
                              {"kind": "transfer", "documents": [transfer()] * 4})
        assert status == 400 and "at most 3" in answer["detail"]
        status, answer = post(http, "/v1/keys/desk/sign-many",
                              {"kind": "transfer", "documents": {}})
        assert status == 400 and "documents: an array" in answer["detail"]
        # Over the size limit: told by Content-Length, or while streaming.
        big = b'{"kind": "transfer", "document": "' + b"x" * 70000 + b'"}'
        response = http.post("/v1/keys/desk/sign", content=big)
        assert response.status_code == 413 and response.headers["connection"] == "close"

        def chunks():
            for _ in range(20):
                yield b" " * 4096
        response = http.post("/v1/keys/desk/sign", content=chunks())
        assert response.status_code == 413
        assert http.get("/v1/health").status_code == 200


def raw_connection(service, head: bytes) -> socket.socket:
    connection = socket.create_connection(("127.0.0.1", service.port), timeout=10)
    connection.sendall(head)
    return connection


def read_to_end(connection: socket.socket) -> bytes:
    """What the service sends until it closes the connection."""
    answer = b""
    while chunk := connection.recv(65536):
        answer += chunk
    return answer


def test_slow_clients_are_cut_off_and_others_are_served(signer):
    service = signer.start({"bot-a": ALL_KINDS}, tls=False, server={"request_timeout": 3.0})
    token = service.setup.tokens["bot-a"]
    started = time.monotonic()
    # A head that never ends, and a body that trickles.
    slow_head = raw_connection(service, b"POST /v1/keys/desk/sign HTTP/1.1\r\nHost: x\r\n")
    slow_body = raw_connection(service, (
        f"POST /v1/keys/desk/sign HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer {token}\r\n"
        "Content-Length: 1000\r\n\r\n{").encode())
    with service.client("bot-a") as http:
        for nonce in range(5):
            assert post(http, "/v1/keys/desk/sign", {"kind": "transfer",
                                                     "document": transfer(nonce=nonce)})[0] == 200
    assert time.monotonic() - started < 3.0  # served while both wait
    answer = read_to_end(slow_body)
    assert answer.startswith(b"HTTP/1.1 408 ") and b'"error":"timeout"' in answer
    assert slow_head.recv(4096) == b""  # closed, nothing answered
    assert time.monotonic() - started < 10
    slow_head.close()
    slow_body.close()


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))


def test_thousands_of_connections_get_answers_or_503_and_no_crash(signer):
    service = signer.start({"bot-a": ALL_KINDS}, tls=False,
                           server={"limit_concurrency": 200, "request_timeout": 20.0})
    request = (b"GET /v1/health HTTP/1.1\r\nHost: x\r\n\r\n")
    connections = []
    try:
        for _ in range(2000):
            connections.append(raw_connection(service, request))
        statuses = []
        for connection in connections:
            statuses.append(connection.recv(64)[:12])
        assert set(statuses) <= {b"HTTP/1.1 200", b"HTTP/1.1 503"}, set(statuses)
        assert b"HTTP/1.1 503" in statuses  # the limit held
        assert rss_kib(service.process.pid) < 400 * 1024
    finally:
        for connection in connections:
            connection.close()
    with service.client("bot-a") as http:
        deadline = time.monotonic() + 10
        while http.get("/v1/health").status_code != 200 and time.monotonic() < deadline:
            time.sleep(0.1)
        assert post(http, "/v1/keys/desk/sign", {"kind": "transfer",
                                                 "document": transfer()})[0] == 200


def test_a_database_that_stops_answering_gives_503_and_signs_nothing(signer):
    service = signer.start({"bot-a": ALL_KINDS}, server={"database_timeout": 0.3})
    database = service.directory / "signer.db"
    document = {"kind": "transfer", "document": transfer(nonce=42)}
    with service.client("bot-a") as http:
        blocker = sqlite3.connect(database, isolation_level=None)
        blocker.execute("BEGIN IMMEDIATE")  # holds the one write lock
        try:
            assert post(http, "/v1/keys/desk/sign", document) == (503, {"error": "unavailable"})
            results = http.post("/v1/keys/desk/sign-many", json={
                "kind": "transfer", "documents": [transfer(nonce=43)]})
            assert results.status_code == 503
            assert http.get("/v1/health").status_code == 503
        finally:
            blocker.execute("ROLLBACK")
            blocker.close()
        signed = sqlite3.connect(database).execute("SELECT count(*) FROM signed").fetchone()[0]
        assert signed == 0
        # It recovers without a restart.
        assert http.get("/v1/health").status_code == 200
        assert post(http, "/v1/keys/desk/sign", document)[0] == 200


def test_the_journal_exports_what_quillet_audit_passes(signer):
    service = signer.start({"bot-a": {**ALL_KINDS, "messages": True}})
    with service.client("bot-a") as http:
        for kind, make in DOCUMENTS:
            for nonce in range(3):
                # Liquidations share the orders' nonces: theirs are their own.
                document = make(timestamp=1767225600 + nonce) if kind == "signed_oracle_price" \
                    else make(nonce=nonce + 100) if kind == "liquidate" else make(nonce=nonce)
                assert post(http, "/v1/keys/desk/sign", {"kind": kind,
                                                         "document": document})[0] == 200
        assert post(http, "/v1/keys/desk/sign-message", {"message": "0x99"})[0] == 200
        post(http, "/v1/keys/desk/sign", {"kind": "transfer", "document": transfer(nonce="x")})
    cli = [sys.executable, "-m", "quillet"]
    exported = subprocess.run([*cli, "signer", "journal", "--config", str(service.config)],
                              capture_output=True, text=True, check=True)
    lines = [json.loads(line) for line in exported.stdout.splitlines()]
    assert len(lines) == 15  # the documents; the message and the refusal are not exported
    assert {line["client"] for line in lines} == {"bot-a"}
    assert {line["public_key"] for line in lines} == {KEYS["desk"].public_key.x}
    path = service.directory / "journal.ndjson"
    path.write_text(exported.stdout)
    audit = subprocess.run([*cli, "audit", str(path)], capture_output=True, text=True)
    assert audit.returncode == 0, audit.stdout + audit.stderr
    assert json.loads(audit.stdout)["outcomes"]["valid"] == 15
    # --since and --until bound it by the time of signing.
    later = subprocess.run([*cli, "signer", "journal", "--config", str(service.config),
                            "--since", lines[5]["time"], "--until", lines[7]["time"]],
                           capture_output=True, text=True, check=True)
    assert [json.loads(line)["hash"] for line in later.stdout.splitlines()] == \
        [line["hash"] for line in lines if lines[5]["time"] <= line["time"] < lines[7]["time"]]
    refused = sqlite3.connect(service.directory / "signer.db").execute(
        "SELECT status, rule, detail FROM refused").fetchall()
    assert [(status, json.loads(detail)["error"]) for status, _, detail in refused] == \
        [(400, "bad_request")]


def test_sigterm_lets_the_request_in_flight_finish(signer):
    service = signer.start({"bot-a": ALL_KINDS}, tls=False)
    token = service.setup.tokens["bot-a"]
    body = json.dumps({"kind": "transfer", "document": transfer(nonce=5)}).encode()
    connection = raw_connection(service, (
        f"POST /v1/keys/desk/sign HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer {token}\r\n"
        f"Content-Length: {len(body)}\r\n\r\n").encode() + body[:10])
    time.sleep(0.3)  # the request is in flight
    service.process.send_signal(signal.SIGTERM)
    time.sleep(0.3)
    connection.sendall(body[10:])
    answer = read_to_end(connection)  # the stop closes it
    assert answer.startswith(b"HTTP/1.1 200 "), answer
    assert service.process.wait(20) == 0
    connection.close()
    rows = sqlite3.connect(service.directory / "signer.db").execute(
        "SELECT hash FROM signed").fetchall()
    assert [row[0] for row in rows] == [json.loads(answer.split(b"\r\n\r\n", 1)[1])["hash"]]


def test_sigterm_ends_idle_tls_keep_alive_connections_at_once(signer):
    # A bot keeps its signer's connection open between requests: a stop must
    # not wait for its close handshake, which an idle client never answers.
    service = signer.start({"bot-a": ALL_KINDS})
    with service.client("bot-a") as http:
        assert post(http, "/v1/keys/desk/sign", {"kind": "transfer",
                                                 "document": transfer(nonce=9)})[0] == 200
        start = time.monotonic()
        assert service.stop(timeout=20) == 0
        assert time.monotonic() - start < 5


def test_logs_are_json_lines_without_secrets(signer):
    service = signer.start({"bot-a": {**ALL_KINDS, "messages": True}, "bot-b": ALL_KINDS})
    with service.client("bot-a") as http:
        post(http, "/v1/keys/desk/sign", {"kind": "transfer", "document": transfer()})
        post(http, "/v1/keys/desk/sign", {"kind": "transfer", "document": transfer(nonce="x")})
        post(http, "/v1/keys/desk/sign-message", {"message": "0x5"})
    with service.client(None, token=service.setup.tokens["bot-a"] + "x") as http:
        http.get("/v1/keys")
    service.stop()
    text = service.log.read_text()
    secrets = [*service.setup.tokens.values(), PASSPHRASE, KEYS["desk"].to_text()[2:],
               service.setup.token_hashes["bot-a"]]
    assert not [secret for secret in secrets if secret in text]
    lines = [json.loads(line) for line in text.splitlines()]  # every line is JSON
    requests = [line for line in lines if line.get("event") == "request" and
                line["route"] != "health"]
    assert [(line["route"], line["status"], line["client"]) for line in requests] == [
        ("sign", 200, "bot-a"), ("sign", 400, "bot-a"), ("sign-message", 200, "bot-a"),
        ("keys", 401, None)]
    assert requests[0]["hash"].startswith("0x") and requests[1]["rule"] == "bad_request"


def serve_once(config, **env):
    """`quillet signer serve` run to its end: (exit status, standard error)."""
    proc = subprocess.run([sys.executable, "-m", "quillet", "signer", "serve", "--config",
                           str(config)], capture_output=True, text=True, timeout=60,
                          env={**os.environ, **env}, stdin=subprocess.DEVNULL)
    return proc.returncode, proc.stderr


def test_the_service_refuses_to_start_on_what_it_cannot_run(signer, tmp_path):
    service = signer.start({"bot-a": ALL_KINDS})
    service.stop()
    config = service.config.read_text()
    # The passphrase from the environment: unset, wrong (never quoted), right.
    by_env = config.replace(f'passphrase_file = "{service.setup.passphrase}"',
                            'passphrase_env = "SIGNER_PASS"')
    service.config.write_text(by_env)
    assert serve_once(service.config) == (
        2, "quillet signer serve: keys.desk: $SIGNER_PASS is not set\n")
    status, error = serve_once(service.config, SIGNER_PASS="not it")
    assert status == 2 and error.startswith("quillet signer serve: keys.desk: key file ")
    assert error.endswith(": wrong passphrase or damaged keystore\n") and "not it" not in error
    service.env = {**os.environ, "SIGNER_PASS": PASSPHRASE}
    signer.again(service).stop()
    # A journal of a newer schema.
    database = sqlite3.connect(service.directory / "signer.db")
    database.execute("UPDATE meta SET value = '99' WHERE name = 'schema_version'")
    database.commit()
    database.close()
    status, error = serve_once(service.config, SIGNER_PASS=PASSPHRASE)
    assert status == 2 and "its schema version is 99, this version runs 1" in error
    # A typo in the configuration.
    typo = config.replace("kinds =", "kinds_ =")
    service.config.write_text(typo)
    line = next(number for number, text in enumerate(typo.split("\n"), 1) if "kinds_" in text)
    assert serve_once(service.config) == (2, (
        f"quillet signer serve: {service.config}:{line}: clients.bot-a.kinds_: unknown key "
        "(expected one of: keys, kinds, limit_order, liquidate, max_requests_per_minute, "
        "messages, monitor, signed_oracle_price, tls_common_name, token_hash, transfer, "
        "withdraw)\n"))
