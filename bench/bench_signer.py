"""Times the signing service (`quillet signer serve`) over loopback TLS with
keep-alive connections, as its clients see it.

- sqlite: one instance on a SQLite journal, pinned to core 0, its clients
  in another process pinned to core 1 (where the machine has two cores):
  one client's /sign latency (p50, p99), 16 clients' (p50, p99, requests a
  second), and sign-many of 256 limit orders (documents a second); each
  with the server's CPU time per document, from /proc (documents per server
  CPU-second is "per core").
- postgresql: two instances on one PostgreSQL (a throw-away cluster, as the
  tests start it but with fsync on), 32 clients split between them: /sign and sign-many of
  256, signatures a second and p99; unpinned (two servers, the database and
  the clients share the machine).
- journal: one instance on PostgreSQL whose journal holds N signed rows of
  one client's capped withdrawals over the last 24 hours, for each N of
  --sizes: the daily cap's rolling sum as the service runs it (its minute
  buckets) and, for contrast, summed over the signed rows themselves, in
  ms per query; and one capped sign's p50 and p99 against the empty journal.

The load average is printed with each section: figures taken while the
machine is busy are noisy. With --sources DIR (a tree's python/ directory,
put first on the servers' PYTHONPATH; the installed extension is used),
once or more, the sqlite section runs each tree in turn, rounds
interleaved, to compare two versions of the service in one run:

  .venv/bin/python bench/bench_signer.py [--sections sqlite,postgresql,journal]
      [--rounds 3] [--sizes 10000,100000,1000000] [--sources A/python --sources B/python]
"""

from __future__ import annotations

import argparse
import json
import multiprocessing
import os
import shutil
import statistics
import sys
import tempfile
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "python" / "tests"))

import httpx  # noqa: E402
import pg_cluster  # noqa: E402
from signer_fixtures import (KEYS, PASSPHRASE, SignerFactory, SignerSetup, make_certificates,  # noqa: E402
                             order, withdrawal)

from quillet.service import postgres, tokens  # noqa: E402

TWO_CORES = len(os.sched_getaffinity(0)) >= 2
ORDERS = {"bot-a": {"kinds": ["limit_order", "withdraw"], "limit_order": {"unrestricted": True},
                    "withdraw": {"max_amount_per_day": str(10 ** 30)}}}


def load() -> str:
    return "load average " + " ".join(f"{value:.2f}" for value in os.getloadavg())


def percentile(values: list[float], fraction: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(len(ordered) * fraction))]


def cpu_seconds(pid: int) -> float:
    """User and system CPU time of process `pid`, all its threads."""
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def pin(pid: int, cores: set[int]) -> None:
    """Every thread of process `pid` onto `cores` (threads it starts later
    inherit their starter's)."""
    for tid in os.listdir(f"/proc/{pid}/task"):
        os.sched_setaffinity(int(tid), cores)


# --- the clients, in a process of their own ------------------------------------------

def _clients(urls: list[str], ca: str, token: str, jobs: list[list[tuple[str, str]]],
             cores: set[int] | None, out: multiprocessing.connection.Connection) -> None:
    """One thread per job, each with a keep-alive connection to urls[i %
    len(urls)], sending its (path, body) requests in turn, all released
    together; sends back every request's seconds and the wall time."""
    if cores is not None:
        os.sched_setaffinity(0, cores)
    barrier = threading.Barrier(len(jobs) + 1)
    seconds: list[list[float]] = [[] for _ in jobs]
    failures: list[str] = []

    def client(number: int) -> None:
        with httpx.Client(base_url=urls[number % len(urls)], verify=ca, timeout=60,
                          headers={"Authorization": f"Bearer {token}",
                                   "Content-Type": "application/json"}) as http:
            http.get("/v1/health")  # the connection and its TLS handshake, before the clock
            barrier.wait()
            for path, body in jobs[number]:
                start = time.perf_counter()
                response = http.post(path, content=body)
                seconds[number].append(time.perf_counter() - start)
                if response.status_code != 200 or b'"error"' in response.content[:200]:
                    failures.append(f"{response.status_code} {response.text[:200]}")

    threads = [threading.Thread(target=client, args=(n,)) for n in range(len(jobs))]
    for thread in threads:
        thread.start()
    barrier.wait()
    start = time.perf_counter()
    for thread in threads:
        thread.join()
    out.send((seconds, time.perf_counter() - start, failures[:3]))


def run_clients(services: list, jobs: list[list[tuple[str, str]]],
                cores: set[int] | None) -> tuple[list[float], float, float]:
    """Runs `jobs` against `services`: (every request's seconds, the wall
    time, the servers' CPU seconds meanwhile)."""
    context = multiprocessing.get_context("spawn")
    receive, send = context.Pipe(duplex=False)
    setup = services[0].setup
    process = context.Process(target=_clients, args=(
        [s.url for s in services], str(setup.certificates.ca), setup.tokens["bot-a"], jobs,
        cores, send))
    cpu = [cpu_seconds(s.process.pid) for s in services]
    process.start()
    seconds, wall, failures = receive.recv()
    process.join()
    cpu = [cpu_seconds(s.process.pid) - c for s, c in zip(services, cpu)]
    if failures:
        raise SystemExit(f"bench_signer: requests failed: {failures}")
    return [value for job in seconds for value in job], wall, sum(cpu)


class Nonces:
    """Fresh nonces: every document the bench sends is signed anew."""

    def __init__(self) -> None:
        self.next = 1

    def take(self, count: int) -> range:
        taken = range(self.next, self.next + count)
        self.next += count
        return taken


def signs(nonces: Nonces, count: int, make=order) -> list[tuple[str, str]]:
    kind = "withdraw" if make is withdrawal else "limit_order"
    return [("/v1/keys/desk/sign", json.dumps({"kind": kind, "document": make(
        nonce=n, expiration_timestamp="4000000000")})) for n in nonces.take(count)]


def batches(nonces: Nonces, count: int, size: int = 256) -> list[tuple[str, str]]:
    return [("/v1/keys/desk/sign-many", json.dumps({"kind": "limit_order", "documents": [
        order(nonce=n, expiration_timestamp="4000000000") for n in nonces.take(size)]}))
        for _ in range(count)]


# --- the sections ----------------------------------------------------------------------

def setup_in(directory: Path) -> SignerSetup:
    certificates = make_certificates(directory / "tls", ("bot-a",))
    keystores = {}
    for name, key in KEYS.items():
        keystores[name] = directory / f"{name}.keystore.json"
        keystores[name].write_text(key.to_keystore(PASSPHRASE, kdf="pbkdf2"))
        keystores[name].chmod(0o600)
    passphrase = directory / "passphrase.txt"
    passphrase.write_text(PASSPHRASE + "\n")
    passphrase.chmod(0o600)
    token = tokens.generate()
    return SignerSetup(directory, certificates, keystores, passphrase, {"bot-a": token},
                       {"bot-a": tokens.hash_token(token)})


def sqlite_section(factory: SignerFactory, rounds: int, sources: list[str | None],
                   scale: int = 1, only: str = "") -> None:
    print(f"\nsqlite: one instance{', server on core 0, clients on core 1' if TWO_CORES else ''}"
          f" ({load()})")
    server_cores, client_cores = ({0}, {1}) if TWO_CORES else (None, None)
    figures: dict[tuple[str | None, str], list[tuple[float, ...]]] = {}
    services = {}
    for number, source in enumerate(sources):
        env = dict(os.environ)
        if source is not None:
            env["PYTHONPATH"] = source
        service = factory.start(ORDERS, name=f"sqlite{number}", env=env,
                                server={"max_body_bytes": 1 << 22})
        if server_cores is not None:
            pin(service.process.pid, server_cores)
        services[source] = service
    nonces = Nonces()
    for _ in range(rounds):
        for source, service in services.items():  # interleaved: A, B, A, B ...
            run_clients([service], [signs(nonces, 50)], client_cores)  # warm
            for name, jobs in (("1 client /sign", [signs(nonces, 300 * scale)]),
                               ("16 clients /sign", [signs(nonces, 60 * scale)
                                                     for _ in range(16)]),
                               ("sign-many 256", [batches(nonces, 12 * scale)])):
                if only not in name:
                    continue
                seconds, wall, cpu = run_clients([service], jobs, client_cores)
                documents = len(seconds) * (256 if "many" in name else 1)
                figures.setdefault((source, name), []).append((
                    percentile(seconds, 0.5) * 1e3, percentile(seconds, 0.99) * 1e3,
                    documents / wall, documents / cpu))
    for (source, name), values in figures.items():
        p50, p99, rate, per_cpu = (statistics.median(column) for column in zip(*values))
        label = f"[{source}] " if source is not None else ""
        print(f"  {label}{name:<18} p50 {p50:7.2f} ms  p99 {p99:7.2f} ms  "
              f"{rate:8.0f} documents/s  {per_cpu:8.0f} documents per server CPU-second")
    for service in services.values():
        service.stop()


def postgresql_section(factory: SignerFactory, cluster: pg_cluster.Cluster, rounds: int) -> None:
    print(f"\npostgresql: two instances on one database, 32 clients ({load()})")
    url = cluster.database()
    postgres.migrate(url)
    first = factory.start(ORDERS, name="pair", database=url,
                          server={"max_body_bytes": 1 << 22, "database_pool_size": 16})
    second = factory.alongside(first, "second.log")
    nonces = Nonces()
    figures: dict[str, list[tuple[float, ...]]] = {}
    for _ in range(rounds):
        run_clients([first, second], [signs(nonces, 10) for _ in range(32)], None)  # warm
        for name, jobs in (("/sign", [signs(nonces, 40) for _ in range(32)]),
                           ("sign-many 256", [batches(nonces, 2) for _ in range(32)])):
            seconds, wall, cpu = run_clients([first, second], jobs, None)
            documents = len(seconds) * (256 if "many" in name else 1)
            figures.setdefault(name, []).append((
                percentile(seconds, 0.5) * 1e3, percentile(seconds, 0.99) * 1e3,
                documents / wall, documents / cpu))
    for name, values in figures.items():
        p50, p99, rate, per_cpu = (statistics.median(column) for column in zip(*values))
        print(f"  {name:<18} p50 {p50:7.2f} ms  p99 {p99:7.2f} ms  {rate:8.0f} signatures/s  "
              f"{per_cpu:8.0f} per servers' CPU-second")
    first.stop()
    second.stop()


FILL = """INSERT INTO signed (time, client, key, public_key, kind, guard, nonce, hash, document,
    r, s, asset, amount)
  SELECT extract(epoch FROM now()) - 86000 * n::float8 / %(rows)s, 'bot-a', 'desk', %(key)s,
    'withdraw', 'withdraw', 'filled-' || n, '0x' || to_hex(n), %(document)s, '0x1', '0x2',
    %(asset)s, 1000
  FROM generate_series(1, %(rows)s) AS n"""
BUCKETS = """INSERT INTO velocity
  SELECT 'bot-a', %(key)s, 'withdraw', %(asset)s, floor(extract(epoch FROM now()) / 60) - m,
    1000 * %(rows)s / 1440
  FROM generate_series(0, 1439) AS m"""
NAIVE = ("SELECT coalesce(sum(amount), 0) FROM signed WHERE client = 'bot-a' AND public_key = %s"
         " AND kind = 'withdraw' AND asset = %s AND time >= extract(epoch FROM now()) - 86400")


def query_ms(cluster: pg_cluster.Cluster, url: str, statement: str, params: tuple,
             count: int = 50) -> float:
    with cluster.admin(url.rsplit("/", 1)[-1]) as conn:
        conn.execute(statement, params)
        times = []
        for _ in range(count):
            start = time.perf_counter()
            conn.execute(statement, params).fetchall()
            times.append(time.perf_counter() - start)
    return statistics.median(times) * 1e3


def journal_section(factory: SignerFactory, cluster: pg_cluster.Cluster, rounds: int,
                    sizes: list[int]) -> None:
    print(f"\njournal: one capped sign against journals of N rows ({load()})")
    public_key = KEYS["desk"].public_key.x
    sample = withdrawal()
    asset = f"0x{int(sample['asset_id'], 16):064x}"
    document = json.dumps(sample, separators=(",", ":"))
    baseline = None
    for rows in [0, *sizes]:
        url = cluster.database()
        postgres.migrate(url)
        if rows:
            params = {"rows": rows, "key": public_key, "asset": asset, "document": document}
            cluster.query(url, FILL, params)
            cluster.query(url, BUCKETS, params)
        cluster.query(url, "VACUUM ANALYZE")
        cluster.query(url, "CHECKPOINT")  # the fill's pages written: steady state, not its flush
        bucket_ms = query_ms(cluster, url, postgres._WINDOW, ("bot-a", public_key, "withdraw",
                                                              asset))
        naive_ms = query_ms(cluster, url, NAIVE, (public_key, asset))
        service = factory.start(ORDERS, name=f"journal{rows}", database=url)
        nonces = Nonces()
        p50s, p99s = [], []
        for _ in range(rounds):
            seconds, _, _ = run_clients([service], [signs(nonces, 300, withdrawal)], None)
            p50s.append(percentile(seconds, 0.5) * 1e3)
            p99s.append(percentile(seconds, 0.99) * 1e3)
        service.stop()
        p50, p99 = statistics.median(p50s), statistics.median(p99s)
        baseline = baseline or p99
        print(f"  {rows:>9} rows: rolling sum {bucket_ms:6.3f} ms (buckets), {naive_ms:8.3f} ms "
              f"(over signed rows); one capped sign p50 {p50:6.2f} ms, p99 {p99:6.2f} ms "
              f"({p99 / baseline:.2f}x the empty journal's p99)")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sections", default="sqlite,postgresql,journal")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--sizes", default="10000,100000,1000000",
                        help="journal sizes of the journal section")
    parser.add_argument("--sources", action="append", metavar="DIR",
                        help="a tree's python/ directory for the sqlite section's servers")
    parser.add_argument("--scale", type=int, default=1,
                        help="the sqlite section's requests, times this (longer runs: finer "
                             "CPU figures, whose clock ticks every 10 ms)")
    parser.add_argument("--only", default="", metavar="TEXT",
                        help="the sqlite section's cases whose name holds TEXT")
    args = parser.parse_args()
    sections = args.sections.split(",")
    with tempfile.TemporaryDirectory(prefix="bench-signer-") as directory:
        root = Path(directory)
        factory = SignerFactory(setup_in(root / "setup"), root)
        cluster = None
        try:
            if "sqlite" in sections:
                sqlite_section(factory, args.rounds, args.sources or [None], args.scale,
                               args.only)
            if "postgresql" in sections or "journal" in sections:
                cluster = start_cluster()
            if "postgresql" in sections:
                postgresql_section(factory, cluster, args.rounds)
            if "journal" in sections:
                journal_section(factory, cluster, args.rounds,
                                [int(size) for size in args.sizes.split(",") if size])
        finally:
            factory.stop_all()
            if cluster is not None:
                cluster.stop("immediate")
                shutil.rmtree(cluster.root, ignore_errors=True)


def start_cluster() -> pg_cluster.Cluster:
    programs = pg_cluster.server_programs()
    if programs is None:
        raise SystemExit("bench_signer: PostgreSQL's programs are missing (apt-get install "
                         "postgresql)")
    root = Path(tempfile.mkdtemp(prefix="bench-pg-"))
    cluster = pg_cluster.Cluster(programs, root, "postgres" if os.geteuid() == 0 else None,
                                 durable=True)
    cluster.init()
    return cluster


if __name__ == "__main__":
    main()
