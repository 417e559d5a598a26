"""Two instances of the service on one PostgreSQL database, 32 clients
released together in bursts, documents that reuse nonces and straddle a
daily cap on purpose; one instance killed (SIGKILL) midway, then the
database stopped at once (pg_ctl stop -m immediate) and started again.
Over everything the clients received and everything in the database: no
nonce signed for two documents, no cap exceeded by a single unit, every
signature verifies and has its committed row, 503s while the database was
down and service again without a restart. Bounded: it stops by itself."""

import random
import threading
import time

from pg_cluster import pg
from quillet import batch
from quillet.documents import read_value
from quillet.service import postgres
from signer_fixtures import KEYS, httpx, order, signer, signer_setup, withdrawal

CLIENTS = 32
CAP = 60000
NONCES = 48  # the nonces a burst draws from: about a third of the draws collide
CONFIG = {"bot-a": {"kinds": ["withdraw", "limit_order"],
                    "withdraw": {"max_amount_per_day": CAP},
                    "limit_order": {"unrestricted": True}}}
SERVER = {"database_timeout": 1.0, "request_timeout": 5.0, "database_pool_size": 8}
# Seconds from the start: the kill, the database's stop and start, and how
# long the load goes on once the service answers again.
KILL, STOP, START, AFTER = 3.0, 5.0, 7.0, 3.0
DEADLINE = 60.0  # past this, the load stops whatever happened


def document(kind, nonce, variant):
    """One of two documents per (kind, nonce): the same one again is a retry,
    the other a conflict. Withdrawals of 1,000 to 2,100 against a cap of 60,000."""
    if kind == "withdraw":
        return withdrawal(nonce=nonce, amount=str(1000 + 1000 * variant + nonce % 100),
                          expiration_timestamp="4000000000")
    return order(nonce=nonce, amount_fee=str(100 + variant), expiration_timestamp="4000000000")


class Load:
    """CLIENTS threads, each with a keep-alive connection to each instance,
    released together by a barrier for every burst until `stop`."""

    def __init__(self, instances):
        self.instances = instances
        self.alive = list(instances)
        self.stop = threading.Event()
        self.lock = threading.Lock()
        self.signed = []  # (kind, document, result) of every signature received
        self.answers = []  # (time sent, seconds, status)
        self.failures = []  # what no client should ever see
        self.round = {"stop": False, "burst": 0}
        self.barrier = threading.Barrier(CLIENTS, action=self._next_burst, timeout=30)
        self.threads = [threading.Thread(target=self._client, args=(n,)) for n in range(CLIENTS)]

    def _next_burst(self):
        self.round = {"stop": self.stop.is_set(), "burst": self.round["burst"] + 1}

    def start(self):
        for thread in self.threads:
            thread.start()

    def join(self):
        self.stop.set()
        for thread in self.threads:
            thread.join(60)
        assert not any(thread.is_alive() for thread in self.threads)

    def _client(self, number):
        rng = random.Random(number)
        https = {service: service.client("bot-a", timeout=15) for service in self.instances}
        try:
            while True:
                try:
                    self.barrier.wait()
                except threading.BrokenBarrierError:
                    return
                if self.round["stop"]:
                    return
                # New nonces keep coming (fresh signatures all along), and
                # the clients of a burst collide on them.
                base = self.round["burst"] * 8
                kind = rng.choice(["withdraw", "limit_order"])
                documents = [document(kind, base + rng.randrange(NONCES), rng.randrange(2))
                             for _ in range(rng.choice([1, 1, 4]))]
                self._send(rng, https, kind, documents)
        except Exception as error:  # noqa: BLE001  # told by the test, not lost in a thread
            with self.lock:
                self.failures.append(f"client {number}: {error!r}")
            self.barrier.abort()
        finally:
            for http in https.values():
                http.close()

    def _send(self, rng, https, kind, documents):
        many = len(documents) > 1
        path = "/v1/keys/desk/sign-many" if many else "/v1/keys/desk/sign"
        body = {"kind": kind, "documents": documents} if many else \
            {"kind": kind, "document": documents[0]}
        # As a load balancer does: a connection refused or cut is sent to
        # the other instance (a document's retry is answered from the journal).
        targets = list(self.alive)
        rng.shuffle(targets)
        for service in targets:
            sent = time.monotonic()
            try:
                response = https[service].post(path, json=body)
            except httpx.TransportError:
                continue
            seconds = time.monotonic() - sent
            with self.lock:
                self.answers.append((sent, seconds, response.status_code))
                if response.status_code == 503:
                    return
                if response.status_code not in (200, 403, 409):
                    self.failures.append(f"{response.status_code} {response.text[:200]}")
                    return
                results = response.json()["results"] if many else [response.json()]
                self.signed.extend((kind, d, r) for d, r in zip(documents, results)
                                   if "signature" in r)
                if many:
                    self.failures.extend(f"item {r}" for r in results if "signature" not in r
                                         and r["status"] not in (403, 409))
            return


def health(service):
    try:
        with service.client(None, timeout=5) as http:
            return http.get("/v1/health").status_code
    except httpx.TransportError:
        return None


def wait_for(condition, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.1)
    return False


def check_invariants(pg, url, signed):
    # No nonce signed for two documents, among what the clients received.
    hashes = {}
    for kind, doc, result in signed:
        assert result["hash"] == read_value(kind, doc).hash()
        hashes.setdefault((kind, doc["nonce"]), set()).add(result["hash"])
    assert all(len(found) == 1 for found in hashes.values()), "a nonce signed twice"
    # Every signature verifies (one batch call) and has its committed row.
    public = KEYS["desk"].public_key
    assert all(batch.verify_many([
        (r["signature"]["r"], r["signature"]["s"], public.x, public.y, r["hash"])
        for _, _, r in signed]))
    rows = {hash_: (r, s, kind) for hash_, r, s, kind in pg.query(
        url, "SELECT hash, r, s, kind FROM signed")}
    for kind, _, result in signed:
        assert rows[result["hash"]] == (result["signature"]["r"], result["signature"]["s"], kind)
    # The cap: what the journal signed, each counted once, never past it.
    (withdrawn, counted), = pg.query(url, "SELECT (SELECT sum(amount) FROM signed WHERE kind ="
                                     " 'withdraw'), (SELECT sum(amount) FROM velocity WHERE kind ="
                                     " 'withdraw')")
    answered = {r["hash"]: int(d["amount"]) for kind, d, r in signed if kind == "withdraw"}
    assert sum(answered.values()) <= withdrawn == counted <= CAP
    return len(hashes), withdrawn


def test_two_instances_through_a_kill_and_a_database_outage(pg, signer):
    url = pg.database()
    postgres.migrate(url)
    first = signer.start(CONFIG, name="pair", database=url, server=SERVER)
    second = signer.alongside(first, "second.log")
    load = Load([first, second])
    start = time.monotonic()
    load.start()
    try:
        time.sleep(KILL)
        load.alive = [first]
        second.kill()  # SIGKILL, in the middle of its transactions
        time.sleep(STOP - KILL)
        signed_before = len(load.signed)
        pg.stop("immediate")
        stopped = time.monotonic()
        assert wait_for(lambda: health(first) == 503, START - STOP + 5)
        time.sleep(max(0.0, START - STOP - (time.monotonic() - stopped)))
        pg.start()
        started = time.monotonic()
        # Back without a restart: the same process serves again.
        assert wait_for(lambda: health(first) == 200, 30)
        recovered = len(load.signed)
        time.sleep(AFTER)
        assert time.monotonic() - start < DEADLINE
    finally:
        load.join()
    assert not load.failures, load.failures[:5]
    assert first.process.poll() is None
    nonces, withdrawn = check_invariants(pg, url, load.signed)
    assert signed_before > 0 and len(load.signed) > recovered  # signing before and after
    assert withdrawn > CAP - 2100  # the cap was reached (each amount is below 2,100)
    # While the database was down: 503s, each answered within its timeout
    # (plus room for a loaded machine); none hung.
    down = [(sent, seconds) for sent, seconds, status in load.answers
            if status == 503 and stopped <= sent < started]
    assert down, "no request was answered 503 while the database was down"
    assert max(seconds for _, seconds, _ in load.answers) < SERVER["request_timeout"] + 5
    # The logs hold no password, though the pool told of failed connections.
    for service in (first, second):
        assert pg.password not in service.log.read_text()
