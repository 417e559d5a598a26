"""RemoteSigner, AsyncRemoteSigner, batch/aio through them, `quillet
--signer` and the trading bot, against `quillet signer serve` running as a
process on 127.0.0.1 (TLS with the test's certificates, a SQLite journal)."""

import asyncio
import json
import os
import pathlib
import subprocess
import sys
import threading
import traceback

import pytest

from signer_fixtures import DOCUMENTS, KEYS, order, signer, signer_setup  # noqa: F401

from quillet import (AsyncRemoteSigner, InvalidDocument, KeyMismatch, PolicyRefused,  # noqa: E402
                     RemoteSigner, SignConflict, SignerError, SignerUnavailable, aio, batch)
from quillet.documents import read_value  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parents[2]
DESK = KEYS["desk"]
EVERYTHING = {"kinds": list(DOCUMENTS), "messages": True,
              **{kind: {"unrestricted": True} for kind in DOCUMENTS}}
CAPPED = {"kinds": ["limit_order"], "limit_order": {"max_amount_collateral": 5000000}}


def typed(kind, **fields):
    return read_value(kind, DOCUMENTS[kind](**fields))


def remote(service, client="bot-a", **options):
    return RemoteSigner(service.url, key="desk", token=service.setup.tokens[client],
                        ca=service.setup.certificates.ca, **options)


def connect(service, client="bot-a", **options):
    return AsyncRemoteSigner.connect(service.url, key="desk", token=service.setup.tokens[client],
                                     ca=service.setup.certificates.ca, **options)


def test_a_remote_signer_signs_every_kind_as_the_key_does(signer):
    service = signer.start({"bot-a": EVERYTHING})
    documents = [typed(kind, nonce=1) if kind != "signed_oracle_price" else typed(kind)
                 for kind in DOCUMENTS]
    more = [typed("limit_order", nonce=n) for n in range(10, 20)]
    expected = DESK.sign_many(documents + more)
    with remote(service) as sync:
        assert sync.public_key == DESK.public_key
        assert [sync.sign(doc) for doc in documents] == expected[:5]
        assert sync.sign_many(documents + more) == expected  # kinds mixed, answered again
        assert sync.sign_message(0x5EED) == DESK.sign_message(0x5EED)
        assert sync.eth_sign("0x5eed") == DESK.eth_sign("0x5eed")

    async def run():
        async with AsyncRemoteSigner(service.url, key="desk", ca=service.setup.certificates.ca,
                                     token=service.setup.tokens["bot-a"]) as signer_:
            signatures = await asyncio.gather(*(signer_.sign(doc) for doc in documents))
            return (signatures, await signer_.sign_many(more),
                    await signer_.sign_message(0x5EED), await signer_.eth_sign(0x5EED))

    signatures, many, message, l1 = asyncio.run(run())
    assert signatures + many == expected
    assert (message, l1) == (DESK.sign_message(0x5EED), DESK.eth_sign(0x5EED))


def test_refusals_are_errors_with_the_rule_and_retries_are_answered_alike(signer):
    service = signer.start({"bot-a": CAPPED})
    with remote(service) as desk:
        first = typed("limit_order", nonce=7)
        assert desk.sign(first) == desk.sign(first) == DESK.sign(first)  # idempotent
        with pytest.raises(SignConflict) as conflict:
            desk.sign(typed("limit_order", nonce=7, amount_fee="501"))
        assert conflict.value.hash == first.hash() and conflict.value.status == 409
        with pytest.raises(PolicyRefused) as refused:
            desk.sign(typed("limit_order", nonce=8, amount_collateral="5000001"))
        assert (refused.value.rule, refused.value.field) == ("max_amount_collateral",
                                                             "amount_collateral")
        assert "5000001" in str(refused.value.value) and "5000000" in str(refused.value.limit)
        with pytest.raises(PolicyRefused, match="rule kinds"):
            desk.sign(typed("transfer", nonce=9))
        with pytest.raises(KeyMismatch):  # checked here: nothing is sent
            desk.sign(read_value("limit_order", order("ops", nonce=9)))
        # One request, every item answered in place.
        items = [typed("limit_order", nonce=20), typed("limit_order", nonce=7, amount_fee="1"),
                 typed("limit_order", nonce=21, amount_collateral="9999999"),
                 typed("limit_order", nonce=22)]
        each = desk.sign_each(items)
        assert each[0] == DESK.sign(items[0]) and each[3] == DESK.sign(items[3])
        assert [type(e) for e in each[1:3]] == [SignConflict, PolicyRefused]
        with pytest.raises(SignConflict) as caught:
            desk.sign_many(items)
        assert caught.value.__notes__ == ["batch item 1"]
        # The batch calls take it, texts too; their refusals are outcomes.
        texts = [item.to_json() for item in items] + ["{}"]
        outcomes = batch.sign_many("limit_order", texts, desk, outcomes=True)
        assert [o.ok for o in outcomes] == [True, False, False, True, False]
        assert isinstance(outcomes[4].error, InvalidDocument)  # read here, never sent
        assert outcomes[0].value == DESK.sign(items[0]).to_json()
        assert asyncio.run(aio.sign_many("limit_order", texts[:1], desk)) == [outcomes[0].value]


def test_credentials_and_keys_are_checked_when_the_signer_is_made(signer):
    service = signer.start({"bot-a": CAPPED, "bot-b": {**CAPPED, "keys": ["ops"]}})
    token = service.setup.tokens["bot-a"]
    for options, error, fault in [
            ({"token": "qs_" + "x" * 40}, SignerError, "refused the credentials"),
            ({"token": service.setup.tokens["bot-b"]}, PolicyRefused, "no key named 'desk'"),
            ({"token": token, "ca": None}, SignerError, "TLS with the signing service"),
    ]:
        with pytest.raises(error, match=fault) as caught:
            RemoteSigner(service.url, key="desk", **{"ca": service.setup.certificates.ca,
                                                     **options})
        error = caught.value  # every frame below the test's own, which holds the tokens
        shown = "".join(traceback.TracebackException(
            type(error), error, error.__traceback__.tb_next, capture_locals=True).format())
        assert token not in shown and service.setup.tokens["bot-b"] not in shown
        assert caught.value.__context__ is None


def test_mutual_tls_needs_this_clients_certificate(signer):
    service = signer.start({"bot-a": CAPPED, "bot-b": CAPPED}, mutual=True)
    certificates = service.setup.certificates
    with remote(service, client_cert=certificates.clients["bot-a"]) as desk:
        assert desk.sign(typed("limit_order")) == DESK.sign(typed("limit_order"))
    # Another client's certificate is refused as the token is (401). No
    # certificate, or one of another authority: TLS 1.3 refuses it after the
    # handshake, which the client sees as a connection dropped (retried).
    for cert, status in [(certificates.clients["bot-b"], 401), (None, None),
                         (certificates.foreign["bot-a"], None)]:
        with pytest.raises(SignerError) as caught:
            remote(service, client_cert=cert, retries=0)
        assert caught.value.status == status, cert


def test_a_busy_or_stopped_service_is_unavailable(signer):
    service = signer.start({"bot-a": {**CAPPED, "max_requests_per_minute": 2}})
    with remote(service, retries=0) as desk:
        desk.sign(typed("limit_order", nonce=1))
        with pytest.raises(SignerUnavailable) as busy:
            desk.sign(typed("limit_order", nonce=2))
        assert busy.value.status == 429 and busy.value.retry_after > 0
        service.kill()
        with pytest.raises(SignerUnavailable, match="cannot reach"):
            desk.sign(typed("limit_order", nonce=3))


def test_one_signer_serves_threads_and_tasks_at_once(signer):
    service = signer.start({"bot-a": CAPPED})
    documents = [typed("limit_order", nonce=n) for n in range(100, 132)]
    expected = DESK.sign_many(documents)
    results = [None] * len(documents)
    with remote(service) as desk:
        def work(start):
            for i in range(start, len(documents), 4):
                results[i] = desk.sign(documents[i])
        threads = [threading.Thread(target=work, args=(n,)) for n in range(4)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(60)
    assert results == expected

    async def run():
        signer_ = await connect(service)
        try:
            return await asyncio.gather(*(signer_.sign(doc) for doc in documents))
        finally:
            await signer_.close()

    assert asyncio.run(run()) == expected


def quillet_cli(*args, env=None, stdin=None):
    return subprocess.run([sys.executable, "-m", "quillet", *args], capture_output=True,
                          text=True, timeout=120, input=stdin,
                          env={**{k: v for k, v in os.environ.items()
                                  if not k.startswith("QUILLET_")}, **(env or {})})


def test_the_command_line_signs_through_the_service(signer, tmp_path):
    service = signer.start({"bot-a": {**CAPPED, "messages": True}})
    token_file = tmp_path / "token"
    token_file.write_text(service.setup.tokens["bot-a"] + "\n")
    remote_options = ["--signer", service.url, "--signer-key", "desk", "--ca",
                      str(service.setup.certificates.ca)]
    good, refused = typed("limit_order", nonce=3), typed("limit_order", nonce=4,
                                                          amount_collateral="5000001")
    (tmp_path / "order.json").write_text(good.to_json())
    (tmp_path / "orders.ndjson").write_text(f"{good.to_json()}\n{refused.to_json()}\n\n")
    env = {"QUILLET_SIGNER_TOKEN": service.setup.tokens["bot-a"]}
    for args, options, out in [
            (["sign", "limit-order", str(tmp_path / "order.json")], {"env": env},
             DESK.sign(good).to_json() + "\n"),
            (["sign-message", "0x5eed", "--token-file", str(token_file)], {},
             DESK.sign_message("0x5eed").to_json() + "\n"),
            (["eth-sign", "0x5eed"], {"env": env}, DESK.eth_sign("0x5eed").to_json() + "\n"),
            (["pubkey", "--token-file", "-"], {"stdin": service.setup.tokens["bot-a"]},
             DESK.public_key.to_json() + "\n"),
    ]:
        proc = quillet_cli(*args, *remote_options, **options)
        assert (proc.returncode, proc.stdout, proc.stderr) == (0, out, ""), args
    proc = quillet_cli("sign", "limit-order", str(tmp_path / "orders.ndjson"), "--ndjson",
                       *remote_options, env=env)
    lines = proc.stdout.splitlines()
    assert proc.returncode == 2 and lines[0] == DESK.sign(good).to_json()
    assert "max_amount_collateral" in json.loads(lines[1])["error"]
    assert json.loads(lines[2]) == {"error": "empty line"}
    proc = quillet_cli("sign", "limit-order", str(tmp_path / "order.json"), *remote_options,
                       env={"QUILLET_SIGNER_TOKEN": "qs_wrong_token_of_forty_characters_xx"})
    assert proc.returncode == 2 and "refused the credentials (401)" in proc.stderr
    assert "qs_wrong" not in proc.stderr


def test_the_trading_bot_runs_unchanged_against_the_service(signer):
    service = signer.start({"bot-a": {"kinds": ["limit_order"],
                                      "limit_order": {"unrestricted": True}}})
    env = {k: v for k, v in os.environ.items() if not k.startswith("QUILLET_")}
    env |= {"QUILLET_SIGNER_URL": service.url, "QUILLET_SIGNER_KEY": "desk",
            "QUILLET_SIGNER_TOKEN": service.setup.tokens["bot-a"],
            "QUILLET_SIGNER_CA": str(service.setup.certificates.ca)}
    for _ in range(2):  # the second run is answered from the journal
        ran = subprocess.run([sys.executable, str(ROOT / "examples" / "trading_bot.py")],
                             env=env, capture_output=True, text=True, timeout=120)
        assert ran.returncode == 0 and "signed 20 orders, 1 refused" in ran.stdout, ran.stderr
