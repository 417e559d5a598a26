"""The double-sign guard and the daily cap under 32 concurrent clients, and
across a kill -9 of the service: no nonce signed for two documents, no cap
exceeded by a single unit, every signature returned verifies and has its
journal row. Bounded: a fixed number of requests per client."""

import random
import sqlite3
import threading

from quillet import batch
from quillet.documents import read_value
from signer_fixtures import KEYS, httpx, order, signer, signer_setup, withdrawal

CLIENTS = 32
ROUNDS = 12
NONCES = 40  # shared by every client: collisions are the point
CAP = 60000
CONFIG = {"bot-a": {"kinds": ["withdraw", "limit_order"],
                    "withdraw": {"max_amount_per_day": CAP},
                    "limit_order": {"unrestricted": True}}}


def document(kind, nonce, variant):
    """One of two documents per (kind, nonce): the same one again is a retry,
    the other a conflict."""
    if kind == "withdraw":
        return withdrawal(nonce=nonce, amount=str(1000 + 1000 * variant + nonce),
                          expiration_timestamp="4000000000")
    return order(nonce=nonce, amount_fee=str(100 + variant), expiration_timestamp="4000000000")


def run_clients(service, seed, answers, failures):
    """CLIENTS threads, ROUNDS requests each (/sign, or /sign-many of 4);
    every 200 answer kept as (kind, document, result)."""
    lock = threading.Lock()

    def client(number):
        rng = random.Random(seed * 1000 + number)
        with service.client("bot-a", timeout=30) as http:
            for _ in range(ROUNDS):
                kind = rng.choice(["withdraw", "limit_order"])
                documents = [document(kind, rng.randrange(NONCES), rng.randrange(2))
                             for _ in range(rng.choice([1, 1, 4]))]
                try:
                    if len(documents) == 1:
                        response = http.post("/v1/keys/desk/sign",
                                             json={"kind": kind, "document": documents[0]})
                        results = [response.json()] if response.status_code in (200, 403, 409) \
                            else []
                    else:
                        response = http.post("/v1/keys/desk/sign-many",
                                             json={"kind": kind, "documents": documents})
                        results = response.json()["results"]
                except httpx.TransportError:
                    with lock:
                        failures.append(number)
                    continue
                with lock:
                    answers.extend((kind, d, r) for d, r in zip(documents, results)
                                   if "signature" in r)

    threads = [threading.Thread(target=client, args=(n,)) for n in range(CLIENTS)]
    for thread in threads:
        thread.start()
    return threads


def check_invariants(answers, database):
    hashes: dict[tuple[str, str], set[str]] = {}
    for kind, doc, result in answers:
        typed = read_value(kind, doc)
        nonce = doc["nonce"]
        hashes.setdefault((kind, nonce), set()).add(result["hash"])
        assert result["hash"] == typed.hash()
    assert all(len(signed) == 1 for signed in hashes.values()), "a nonce signed twice"
    # Every signature verifies (one batch call) and has its journal row.
    public = KEYS["desk"].public_key
    assert all(batch.verify_many([
        (r["signature"]["r"], r["signature"]["s"], public.x, public.y, r["hash"])
        for _, _, r in answers]))
    rows = {row[0]: row[1:] for row in sqlite3.connect(database).execute(
        "SELECT hash, r, s, kind, amount FROM signed")}
    for kind, _, result in answers:
        assert rows[result["hash"]][:3] == (result["signature"]["r"], result["signature"]["s"],
                                            kind)
    # The cap: what the journal counts (a superset of what was answered).
    withdrawn = sum(int(amount) for _, _, kind, amount in rows.values() if kind == "withdraw")
    answered = {r["hash"]: int(d["amount"]) for kind, d, r in answers if kind == "withdraw"}
    assert sum(answered.values()) <= withdrawn <= CAP
    return len(hashes), withdrawn


def test_32_clients_never_double_sign_nor_pass_the_cap(signer):
    service = signer.start(CONFIG)
    answers, failures = [], []
    for thread in run_clients(service, 1, answers, failures):
        thread.join()
    assert not failures
    nonces, withdrawn = check_invariants(answers, service.directory / "signer.db")
    assert nonces > NONCES  # both kinds got signed, with collisions
    assert withdrawn > CAP - 5000  # the cap was reached (each amount is below 5000)


def test_kill_9_under_load_loses_no_record(signer):
    service = signer.start(CONFIG)
    answers, failures = [], []
    threads = run_clients(service, 2, answers, failures)
    while len(answers) < 40 and any(thread.is_alive() for thread in threads):
        threads[0].join(0.01)
    service.kill()  # SIGKILL, in the middle of the load
    for thread in threads:
        thread.join()
    again = signer.again(service)
    for thread in run_clients(again, 3, answers, failures):
        thread.join()
    check_invariants(answers, again.directory / "signer.db")
    with again.client("bot-a") as http:  # transport errors while it was down are expected
        assert http.get("/v1/health").json() == {"status": "ok"}
