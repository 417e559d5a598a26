"""The signing service as its users run it, for tests: certificates made here
(a CA, a server certificate for 127.0.0.1, client certificates, and a
foreign CA with a client of its own), keystores, a configuration written as
TOML, and `quillet signer serve` as a process on a port of 127.0.0.1 that
the system picks (listen = "127.0.0.1:0"; the service says which in its
"listening" line). Real SQLite files in the test's directory; no mock.

    def test_x(signer):                          # the fixture below
        service = signer.start(clients={"bot-a": {"kinds": ["transfer"],
                                                  "transfer": {"unrestricted": True}}})
        with service.client("bot-a") as http:
            http.post("/v1/keys/desk/sign", json={...})

`signer.start` returns a running Service; every service started through
the fixture is stopped (SIGTERM, then SIGKILL after 20 s) at the test's end.
"""

from __future__ import annotations

import datetime
import importlib
import ipaddress
import json
import os
import signal
import ssl
import subprocess
import sys
import time
from collections.abc import Iterator
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import pytest


def extra(module: str) -> Any:
    """The signer extra's module; CI installs the extra, so there its absence fails."""
    if os.environ.get("CI") == "true":
        return importlib.import_module(module)
    return pytest.importorskip(module)


httpx = extra("httpx")
extra("starlette")
extra("uvicorn")
x509 = extra("cryptography.x509")
from cryptography.hazmat.primitives import hashes, serialization  # noqa: E402
from cryptography.hazmat.primitives.asymmetric import ec  # noqa: E402
from cryptography.x509.oid import NameOID  # noqa: E402

from quillet import PrivateKey  # noqa: E402
from quillet.service import tokens  # noqa: E402

# The service's keys: "desk" and "ops", from fixed seeds.
KEYS = {"desk": PrivateKey.from_seed("signer tests: the desk key, seeded for repeatability"),
        "ops": PrivateKey.from_seed("signer tests: the ops key, also seeded for repeatability")}
PASSPHRASE = "correct horse battery staple, for tests"
START_TIMEOUT = 60.0
ASSET_SYNTHETIC = "0x4254432d3130000000000000000000"
ASSET_COLLATERAL = "0x31857064564ed0ff978e687456963cba09c2c6985d8f9300a1de4962fafa054"


# --- certificates ----------------------------------------------------------------

def _name(common_name: str) -> Any:
    return x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, common_name)])


def _write_key(path: Path, key: Any) -> None:
    path.write_bytes(key.private_bytes(serialization.Encoding.PEM,
                                       serialization.PrivateFormat.PKCS8,
                                       serialization.NoEncryption()))
    path.chmod(0o600)


def _certificate(subject: str, issuer: tuple[Any, str] | None, key: Any, *, ca: bool = False,
                 ip: str | None = None) -> Any:
    """A certificate with the extensions strict verification wants (Python
    3.13's default context checks X.509 strictly): key usages, key ids."""
    now = datetime.datetime.now(datetime.timezone.utc)
    signing_key, issuer_name = issuer if issuer else (key, subject)
    usage = dict.fromkeys(("digital_signature", "content_commitment", "key_encipherment",
                           "data_encipherment", "key_agreement", "key_cert_sign", "crl_sign",
                           "encipher_only", "decipher_only"), False)
    usage.update(key_cert_sign=ca, crl_sign=ca, digital_signature=not ca)
    builder = (x509.CertificateBuilder().subject_name(_name(subject))
               .issuer_name(_name(issuer_name)).public_key(key.public_key())
               .serial_number(x509.random_serial_number())
               .not_valid_before(now - datetime.timedelta(minutes=5))
               .not_valid_after(now + datetime.timedelta(days=2))
               .add_extension(x509.BasicConstraints(ca=ca, path_length=None), critical=True)
               .add_extension(x509.KeyUsage(**usage), critical=True)
               .add_extension(x509.SubjectKeyIdentifier.from_public_key(key.public_key()),
                              critical=False)
               .add_extension(x509.AuthorityKeyIdentifier.from_issuer_public_key(
                   signing_key.public_key()), critical=False))
    if not ca:
        builder = builder.add_extension(x509.ExtendedKeyUsage(
            [x509.oid.ExtendedKeyUsageOID.SERVER_AUTH if ip else
             x509.oid.ExtendedKeyUsageOID.CLIENT_AUTH]), critical=False)
    if ip is not None:
        builder = builder.add_extension(
            x509.SubjectAlternativeName([x509.IPAddress(ipaddress.ip_address(ip))]),
            critical=False)
    return builder.sign(signing_key, hashes.SHA256())


@dataclass
class Certificates:
    """PEM files: ca.pem signs the server's and the clients' certificates;
    foreign-ca.pem signs foreign/<name>, a client the service does not trust."""

    directory: Path
    ca: Path
    server_cert: Path
    server_key: Path
    clients: dict[str, tuple[Path, Path]] = field(default_factory=dict)
    foreign: dict[str, tuple[Path, Path]] = field(default_factory=dict)


def make_certificates(directory: Path, clients: tuple[str, ...]) -> Certificates:
    directory.mkdir(parents=True, exist_ok=True)

    def authority(name: str) -> tuple[Any, Path]:
        key = ec.generate_private_key(ec.SECP256R1())
        path = directory / f"{name}.pem"
        path.write_bytes(_certificate(name, None, key, ca=True).public_bytes(
            serialization.Encoding.PEM))
        return key, path

    def issue(authority_key: Any, authority_name: str, subject: str, stem: str,
              ip: str | None = None) -> tuple[Path, Path]:
        key = ec.generate_private_key(ec.SECP256R1())
        cert_path, key_path = directory / f"{stem}.pem", directory / f"{stem}.key"
        cert_path.write_bytes(_certificate(subject, (authority_key, authority_name), key,
                                           ip=ip).public_bytes(serialization.Encoding.PEM))
        _write_key(key_path, key)
        return cert_path, key_path

    ca_key, ca = authority("ca")
    foreign_key, _ = authority("foreign-ca")
    server_cert, server_key = issue(ca_key, "ca", "127.0.0.1", "server", ip="127.0.0.1")
    certificates = Certificates(directory, ca, server_cert, server_key)
    for name in clients:
        certificates.clients[name] = issue(ca_key, "ca", name, f"client-{name}")
        certificates.foreign[name] = issue(foreign_key, "foreign-ca", name, f"foreign-{name}")
    return certificates


# --- the configuration --------------------------------------------------------------

def _toml(value: Any) -> str:
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, (int, float)):
        return repr(value)
    if isinstance(value, str):
        return json.dumps(value)
    if isinstance(value, (list, tuple)):
        return "[" + ", ".join(_toml(item) for item in value) + "]"
    raise TypeError(f"no TOML for {value!r}")


def toml_text(tables: dict[str, dict[str, Any]]) -> str:
    """TOML of {"table.name": {key: value}}; a dict value is its own table."""
    out = []

    def table(name: str, values: dict[str, Any]) -> None:
        out.append(f"[{name}]")
        nested = {}
        for key, value in values.items():
            if isinstance(value, dict):
                nested[key] = value
            else:
                out.append(f"{key} = {_toml(value)}")
        out.append("")
        for key, value in nested.items():
            table(f"{name}.{key}", value)

    for name, values in tables.items():
        table(name, values)
    return "\n".join(out)


# --- the service as a process -----------------------------------------------------------

class Service:
    """One `quillet signer serve` process; stderr goes to a file (a pipe
    nobody reads would stop it once full)."""

    def __init__(self, setup: SignerSetup, directory: Path, config: Path,
                 env: dict[str, str] | None = None, log: str = "service.log") -> None:
        self.setup = setup
        self.directory = directory
        self.config = config
        self.log = directory / log
        self.env = env
        self.process: subprocess.Popen[bytes] | None = None
        self.port = 0
        self.scheme = "https" if "tls_cert" in config.read_text() else "http"

    def start(self, wait: bool = True) -> Service:
        env = dict(os.environ if self.env is None else self.env)
        env.pop("QUILLET_PRIVATE_KEY", None)
        self.port = 0
        self._offset = self.log.stat().st_size if self.log.exists() else 0
        with open(self.log, "ab") as log:
            self.process = subprocess.Popen(
                [sys.executable, "-m", "quillet", "signer", "serve", "--config", str(self.config)],
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=log, env=env,
                cwd=self.directory)
        if wait:
            self.wait_listening()
        return self

    def wait_listening(self) -> None:
        assert self.process is not None
        deadline = time.monotonic() + START_TIMEOUT
        while time.monotonic() < deadline:
            for line in self.lines(self._offset):
                if line.get("event") == "listening":
                    self.port = line["port"]
            if self.port and self.process.poll() is None:
                try:
                    # With mutual TLS every connection needs a certificate.
                    with self.client(None, cert=next(iter(self.setup.certificates.clients))) as http:
                        if http.get("/v1/health").status_code == 200:
                            return
                except httpx.TransportError:
                    pass
            if self.process.poll() is not None:
                raise AssertionError(f"the service exited ({self.process.returncode}): "
                                     f"{self.log.read_text()[-3000:]}")
            time.sleep(0.05)
        raise AssertionError(f"the service did not start: {self.log.read_text()[-3000:]}")

    def lines(self, offset: int = 0) -> list[dict[str, Any]]:
        """The JSON lines of standard error so far, from byte `offset` (the
        lines that are not JSON left out)."""
        found = []
        with open(self.log, "rb") as file:
            file.seek(offset)
            text = file.read().decode("utf-8", errors="replace")
        for line in text.splitlines():
            try:
                found.append(json.loads(line))
            except ValueError:
                pass
        return found

    @property
    def url(self) -> str:
        return f"{self.scheme}://127.0.0.1:{self.port}"

    def ssl_context(self, client: str | None = None, foreign: bool = False) -> ssl.SSLContext:
        context = ssl.create_default_context(cafile=str(self.setup.certificates.ca))
        if client is not None:
            pair = (self.setup.certificates.foreign if foreign else
                    self.setup.certificates.clients)[client]
            context.load_cert_chain(str(pair[0]), str(pair[1]))
        return context

    def client(self, name: str | None, *, token: str | None = None, cert: str | None = None,
               foreign: bool = False, timeout: float = 30.0, **options: Any) -> Any:
        """An httpx.Client with client `name`'s token (or `token`) and, over
        TLS, the certificate of client `cert` (default `name`; "" for none;
        `foreign`: the one the foreign CA signed)."""
        headers = dict(options.pop("headers", {}))
        secret = token if token is not None else self.setup.tokens.get(name or "")
        if secret is not None:
            headers["Authorization"] = f"Bearer {secret}"
        verify: Any = True
        if self.scheme == "https":
            owner = name if cert is None else cert
            verify = self.ssl_context(owner if owner in self.setup.certificates.clients else None,
                                      foreign)
        return httpx.Client(base_url=self.url, headers=headers, verify=verify, timeout=timeout,
                            **options)

    def stop(self, timeout: float = 20.0) -> int | None:
        """SIGTERM, and the exit status (SIGKILL after `timeout` seconds)."""
        if self.process is None or self.process.poll() is not None:
            return None if self.process is None else self.process.returncode
        self.process.send_signal(signal.SIGTERM)
        try:
            return self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            raise AssertionError("the service did not stop within "
                                 f"{timeout} s of SIGTERM") from None

    def kill(self) -> None:
        if self.process is not None and self.process.poll() is None:
            self.process.kill()
            self.process.wait()


@dataclass
class SignerSetup:
    """What every test's services share: certificates, keystores and
    passphrase files, client tokens (made once per session)."""

    directory: Path
    certificates: Certificates
    keystores: dict[str, Path]
    passphrase: Path
    tokens: dict[str, str]
    token_hashes: dict[str, str]

    def config(self, directory: Path, clients: dict[str, dict[str, Any]], *,
               tls: bool = True, mutual: bool = False, database: str = "sqlite:///signer.db",
               server: dict[str, Any] | None = None,
               keys: tuple[str, ...] = ("desk", "ops")) -> Path:
        """Writes directory/signer.toml: TLS with the test CA's server
        certificate (mutual: clients need a certificate of ca.pem), the
        journal in `database`, the keys `keys`, and `clients` as
        {name: {setting or kind: rules}} (token_hash and keys filled in)."""
        settings: dict[str, Any] = {"listen": "127.0.0.1:0", "database": database}
        if tls:
            settings |= {"tls_cert": str(self.certificates.server_cert),
                         "tls_key": str(self.certificates.server_key)}
            if mutual:
                settings["client_ca"] = str(self.certificates.ca)
        else:
            settings["insecure_loopback"] = True
        settings |= server or {}
        tables: dict[str, dict[str, Any]] = {"server": settings}
        for name in keys:
            tables[f"keys.{name}"] = {"keystore": str(self.keystores[name]),
                                      "passphrase_file": str(self.passphrase)}
        for name, values in clients.items():
            if name not in self.tokens:
                self.tokens[name] = tokens.generate()
                self.token_hashes[name] = tokens.hash_token(self.tokens[name])
            tables[f"clients.{name}"] = {"token_hash": self.token_hashes[name],
                                         "keys": ["desk"], **values}
        directory.mkdir(parents=True, exist_ok=True)
        path = directory / "signer.toml"
        path.write_text(toml_text(tables))
        return path


CLIENT_NAMES = ("bot-a", "bot-b", "monitor")


@pytest.fixture(scope="session")
def signer_setup(tmp_path_factory: pytest.TempPathFactory) -> SignerSetup:
    directory = tmp_path_factory.mktemp("signer-setup")
    certificates = make_certificates(directory / "tls", CLIENT_NAMES)
    keystores = {}
    for name, key in KEYS.items():
        keystores[name] = directory / f"{name}.keystore.json"
        keystores[name].write_text(key.to_keystore(PASSPHRASE, kdf="pbkdf2"))
        keystores[name].chmod(0o600)  # as an operator keeps them: others' access is warned of
    passphrase = directory / "passphrase.txt"
    passphrase.write_text(PASSPHRASE + "\n")
    passphrase.chmod(0o600)
    names = {name: tokens.generate() for name in CLIENT_NAMES}
    return SignerSetup(directory, certificates, keystores, passphrase, names,
                       {name: tokens.hash_token(token) for name, token in names.items()})


class SignerFactory:
    """Starts services in the test's directory; stops them all at its end."""

    def __init__(self, setup: SignerSetup, directory: Path) -> None:
        self.setup = setup
        self.directory = directory
        self.services: list[Service] = []

    def start(self, clients: dict[str, dict[str, Any]], *, name: str = "service",
              env: dict[str, str] | None = None, wait: bool = True, **options: Any) -> Service:
        directory = self.directory / name
        config = self.setup.config(directory, clients, **options)
        service = Service(self.setup, directory, config, env)
        self.services.append(service)
        return service.start(wait)

    def again(self, service: Service) -> Service:
        """The same configuration and journal, started anew."""
        fresh = Service(self.setup, service.directory, service.config, service.env, service.log.name)
        self.services.append(fresh)
        return fresh.start()

    def alongside(self, service: Service, log: str) -> Service:
        """Another instance of `service`'s configuration (on a port of its
        own: the configuration listens on port 0), logging to `log`."""
        other = Service(self.setup, service.directory, service.config, service.env, log)
        self.services.append(other)
        return other.start()

    def stop_all(self) -> None:
        for service in self.services:
            try:
                service.stop()
            except AssertionError:
                pass


@pytest.fixture
def signer(signer_setup: SignerSetup, tmp_path: Path) -> Iterator[SignerFactory]:
    factory = SignerFactory(signer_setup, tmp_path)
    yield factory
    factory.stop_all()


@pytest.fixture(scope="module")
def signer_module(signer_setup: SignerSetup,
                  tmp_path_factory: pytest.TempPathFactory) -> Iterator[SignerFactory]:
    """As `signer`, for services that a whole test module shares."""
    factory = SignerFactory(signer_setup, tmp_path_factory.mktemp("signer-module"))
    yield factory
    factory.stop_all()


def at_second_start(margin: float = 0.2) -> int:
    """Waits until a second has just begun (at most `margin` of it gone) and
    returns it: a request sent now is checked within the same second."""
    while True:
        now = time.time()
        if now % 1 < margin / 4:
            return int(now)
        time.sleep(1 - now % 1 + 0.001)


# --- documents ---------------------------------------------------------------------

def order(key: str = "desk", nonce: int = 1, expires_in: int = 3600, **fields: Any
          ) -> dict[str, Any]:
    """A limit order of `key` as the module writes it, expiring in `expires_in` s."""
    document = {"amount_synthetic": "1000", "amount_collateral": "5000000",
                "amount_fee": "500", "asset_id_synthetic": ASSET_SYNTHETIC,
                "asset_id_collateral": ASSET_COLLATERAL, "position_id": "1001",
                "is_buying_synthetic": True, "nonce": str(nonce),
                "public_key": KEYS[key].public_key.x,
                "expiration_timestamp": str(int(time.time()) + expires_in)}
    document.update(fields)
    return document


def transfer(key: str = "desk", nonce: int = 1, expires_in: int = 3600, **fields: Any
             ) -> dict[str, Any]:
    document = {"sender_position_id": "1001", "receiver_public_key": "0x1234",
                "receiver_position_id": "2002", "amount": "1000", "asset_id": ASSET_COLLATERAL,
                "nonce": str(nonce), "public_key": KEYS[key].public_key.x,
                "expiration_timestamp": str(int(time.time()) + expires_in)}
    document.update(fields)
    return document


def withdrawal(key: str = "desk", nonce: int = 1, expires_in: int = 3600, **fields: Any
               ) -> dict[str, Any]:
    document = {"position_id": "1001", "amount": "1000", "eth_address": "0xdeadbeef",
                "asset_id": ASSET_COLLATERAL, "nonce": str(nonce),
                "public_key": KEYS[key].public_key.x,
                "expiration_timestamp": str(int(time.time()) + expires_in)}
    document.update(fields)
    return document


def liquidation(key: str = "desk", nonce: int = 1, **fields: Any) -> dict[str, Any]:
    document = {"liquidator_order": order(key, nonce), "liquidated_position_id": "3003",
                "actual_collateral": "5000000", "actual_synthetic": "1000",
                "actual_liquidator_fee": "500"}
    document.update(fields)
    return document


def oracle_price(key: str = "desk", timestamp: int | None = None, **fields: Any
                 ) -> dict[str, Any]:
    document = {"signer_key": KEYS[key].public_key.x, "external_price": "30000000000",
                "timestamp": str(int(time.time()) if timestamp is None else timestamp),
                "signed_asset_id": "0x425443555344000000000000000000004d616b6572"}
    document.update(fields)
    return document


DOCUMENTS = {"limit_order": order, "transfer": transfer, "withdraw": withdrawal,
             "liquidate": liquidation, "signed_oracle_price": oracle_price}
