"""Fresh keys, keystores (the ERC-2335 layout) and the signer interface.

Keystores built here call hashlib and the cipher directly, at low cost
unless the case is about the default cost; refusals must not run the KDF.
"""

import copy
import hashlib
import json
import os
import re
import stat
import subprocess
import sys
import traceback
import unicodedata
import warnings

import pytest

cryptography = pytest.importorskip("cryptography")
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes  # noqa: E402

import quillet  # noqa: E402
import quillet.keystore  # noqa: E402
import quillet.cli  # noqa: E402
from quillet.cli.common import Failure, Inputs  # noqa: E402
from quillet.cli.parser import build_parser  # noqa: E402
from quillet import InvalidKey, KeyFileWarning, PrivateKey, Signer  # noqa: E402
from quillet.keys import SUBGROUP_ORDER as ORDER  # noqa: E402

KEY = PrivateKey.from_seed("keystore tests: a seed of thirty-two bytes or more")
SALT = bytes(range(32))
IV = bytes(range(100, 116))
CHEAP_SCRYPT = {"dklen": 32, "n": 1 << 10, "r": 8, "p": 1}
CHEAP_PBKDF2 = {"dklen": 32, "c": 1000, "prf": "hmac-sha256"}


def written_elsewhere(password: bytes, secret: bytes, kdf: str, params: dict,
                      salt: bytes = SALT, iv: bytes = IV, pubkey: str = "") -> dict:
    """A keystore of `secret` made step by step from the layout, `password`
    already normalised."""
    if kdf == "scrypt":
        dk = hashlib.scrypt(password, salt=salt, n=params["n"], r=params["r"], p=params["p"],
                            dklen=32, maxmem=1 << 30)
    else:
        dk = hashlib.pbkdf2_hmac("sha256", password, salt, params["c"], 32)
    encryptor = Cipher(algorithms.AES(dk[:16]), modes.CTR(iv)).encryptor()
    ciphertext = encryptor.update(secret) + encryptor.finalize()
    return {"crypto": {
        "kdf": {"function": kdf, "params": {**params, "salt": salt.hex()}, "message": ""},
        "checksum": {"function": "sha256", "params": {},
                     "message": hashlib.sha256(dk[16:] + ciphertext).hexdigest()},
        "cipher": {"function": "aes-128-ctr", "params": {"iv": iv.hex()},
                   "message": ciphertext.hex()}},
        "description": "made by the test", "pubkey": pubkey, "path": "m/0",
        "uuid": "64625def-3331-4eea-ab6f-782f3ed16a83", "version": 4}


def key_bytes(key: PrivateKey) -> bytes:
    return bytes.fromhex(key.to_text()[2:])


@pytest.mark.parametrize("kdf, params", [
    ("scrypt", {"dklen": 32, "n": 1 << 18, "p": 1, "r": 8}),
    ("pbkdf2", {"dklen": 32, "c": 1 << 18, "prf": "hmac-sha256"}),
])
def test_round_trip_in_the_published_layout(kdf, params):
    text = KEY.to_keystore("correct horse ☃", kdf=kdf, description="desk 7")
    data = json.loads(text)
    crypto = data.pop("crypto")
    assert re.fullmatch(r"[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}",
                        data.pop("uuid"))
    assert data == {"description": "desk 7", "pubkey": KEY.public_key.x[2:], "path": "",
                    "version": 4}
    salt = crypto["kdf"]["params"].pop("salt")
    assert crypto["kdf"] == {"function": kdf, "params": params, "message": ""}
    assert crypto["checksum"]["function"] == "sha256" and crypto["checksum"]["params"] == {}
    assert crypto["cipher"]["function"] == "aes-128-ctr"
    for value, size in [(salt, 32), (crypto["checksum"]["message"], 32),
                        (crypto["cipher"]["params"]["iv"], 16), (crypto["cipher"]["message"], 32)]:
        assert re.fullmatch(f"[0-9a-f]{{{2 * size}}}", value)
    assert PrivateKey.from_keystore(text, "correct horse ☃").to_text() == KEY.to_text()
    if kdf == "pbkdf2":  # the bytes are what the layout says (cheap to recompute here)
        built = written_elsewhere("correct horse ☃".encode(), key_bytes(KEY), kdf, params,
                                  bytes.fromhex(salt),
                                  bytes.fromhex(crypto["cipher"]["params"]["iv"]))
        assert built["crypto"]["cipher"] == crypto["cipher"]
        assert built["crypto"]["checksum"] == crypto["checksum"]


def test_keystores_written_elsewhere_are_read(tmp_path, monkeypatch):
    # NFKD, then C0, DEL and C1 removed: the passphrase as typed and its bytes.
    typed, normalised = "𝔱𝔢𝔰𝔱\x7f\x1fｐａｓｓ\u0085ｗｏｒｄ\u00e9", b"testpassworde\xcc\x81"
    for kdf, params, pubkey in [("scrypt", CHEAP_SCRYPT, ""),
                                ("pbkdf2", CHEAP_PBKDF2, KEY.public_key.x[2:].upper())]:
        data = written_elsewhere(normalised, key_bytes(KEY), kdf, params, pubkey=pubkey)
        assert PrivateKey.from_keystore(json.dumps(data), typed).to_text() == KEY.to_text()
    path = tmp_path / "keystore.json"
    path.write_text(json.dumps(data))
    path.chmod(0o600)
    monkeypatch.delenv("QUILLET_KEY_PASSPHRASE", raising=False)
    # Without a passphrase, both fall back to the environment's.
    for read in (PrivateKey.from_keystore, PrivateKey.from_file):
        assert read(path, typed).to_text() == KEY.to_text()
        with pytest.raises(InvalidKey, match=r"it is a keystore: give its passphrase or set "
                                             r"\$QUILLET_KEY_PASSPHRASE"):
            read(path)
    monkeypatch.setenv("QUILLET_KEY_PASSPHRASE", typed)
    for read in (PrivateKey.from_keystore, PrivateKey.from_file):
        assert read(path).to_text() == KEY.to_text()
    monkeypatch.setenv("QUILLET_PRIVATE_KEY", json.dumps(data))
    assert PrivateKey.from_env().to_text() == KEY.to_text()


def normalised(passphrase: str) -> bytes:
    """The passphrase's bytes as the layout defines them: NFKD, without the
    control codes C0 (below U+0020), DEL and C1 (U+0080 to U+009F), UTF-8."""
    return "".join(c for c in unicodedata.normalize("NFKD", passphrase)
                   if not (ord(c) < 0x20 or 0x7F <= ord(c) <= 0x9F)).encode()


# Passphrases as a person types them, each needing the layout's normalisation.
TYPED = ["café crème brûlée",                          # composed accents
         "cafe\u0301 cre\u0300me bru\u0302le\u0301e",       # the same, decomposed
         "ｐａｓｓｐｈｒａｓｅ１２３４",                  # full-width letters and digits
         "tab\there\x00nul\x7fdel\u0085nel\x9f",            # control codes
         "𝔱𝔢𝔰𝔱𝔭𝔞𝔰𝔰𝔴𝔬𝔯𝔡🔑"]
OTHER_SCHEME = bytes(range(48)).hex()  # a 48-byte pubkey, as tools for another scheme write


@pytest.mark.parametrize("kdf, params", [("scrypt", CHEAP_SCRYPT), ("pbkdf2", CHEAP_PBKDF2)])
@pytest.mark.parametrize("typed", TYPED)
def test_keystores_of_another_scheme_open_when_asked(typed, kdf, params, tmp_path, monkeypatch):
    # Made as the other tool makes it, for a secret that is a key of this curve.
    text = json.dumps(written_elsewhere(normalised(typed), key_bytes(KEY), kdf, params,
                                        pubkey=OTHER_SCHEME))
    for form in ("NFC", "NFD", "NFKC"):  # however the passphrase is typed
        key = PrivateKey.from_keystore(text, unicodedata.normalize(form, typed),
                                       foreign_pubkey=True)
        assert key.to_text() == KEY.to_text()
    path = tmp_path / "other.keystore"
    path.write_text(text)
    path.chmod(0o600)
    assert PrivateKey.from_file(path, typed, foreign_pubkey=True).to_text() == KEY.to_text()

    def kdf_run(*args, **kwargs):
        raise AssertionError("the KDF ran")

    monkeypatch.setattr(quillet.keystore, "scrypt_into", kdf_run)
    monkeypatch.setattr(quillet.keystore, "pbkdf2_sha256_into", kdf_run)
    for read in (lambda: PrivateKey.from_keystore(text, typed), lambda: PrivateKey.from_file(path)):
        with pytest.raises(InvalidKey) as info:  # at once, with the fix
            read()
        assert str(info.value).endswith(
            "this keystore's pubkey is a 48-byte key of another scheme, not one of this curve: "
            "open it with foreign_pubkey=True to ignore it and use the key it holds")


ANOTHER_KEY = PrivateKey.from_seed("keystore tests: another seed of thirty-two bytes")
WRONG_KEY = "the keystore's pubkey is not the public key of the key it holds"


@pytest.mark.parametrize("pubkey, refused, refused_when_foreign", [
    ("", None, None),
    (KEY.public_key.x[2:].upper(), None, None),
    # A key of this curve, another one: the wrong file, accepted in no case.
    (ANOTHER_KEY.public_key.x[2:], WRONG_KEY, WRONG_KEY),
    ("02" + "ab" * 32, "is a 33-byte key of another scheme, not one of this curve", None),
    ("ff" * 32, "is 32 bytes that decode to no point of this curve: another scheme's key", None),
])
def test_a_pubkey_names_this_key_another_or_another_schemes(pubkey, refused,
                                                           refused_when_foreign):
    text = json.dumps(written_elsewhere(b"right", key_bytes(KEY), "pbkdf2", CHEAP_PBKDF2,
                                        pubkey=pubkey))
    for foreign, expected in [(False, refused), (True, refused_when_foreign)]:
        if expected is None:
            key = PrivateKey.from_keystore(text, "right", foreign_pubkey=foreign)
            assert key.to_text() == KEY.to_text()
        else:
            with pytest.raises(InvalidKey, match=re.escape(expected)):
                PrivateKey.from_keystore(text, "right", foreign_pubkey=foreign)


@pytest.mark.parametrize("mode, warned", [(0o600, False), (0o400, False), (0o640, True),
                                          (0o604, True), (0o620, True)])
def test_key_files_others_may_open_are_read_with_a_warning(mode, warned, tmp_path):
    plain, stored = tmp_path / "key.json", tmp_path / "key.keystore"
    plain.write_text(json.dumps({"private_key": KEY.to_text()}))
    stored.write_text(json.dumps(written_elsewhere(b"right", key_bytes(KEY), "pbkdf2",
                                                   CHEAP_PBKDF2)))
    for path, read in [(plain, PrivateKey.from_file),
                       (stored, lambda path: PrivateKey.from_file(path, "right")),
                       (stored, lambda path: PrivateKey.from_keystore(path, "right"))]:
        path.chmod(mode)
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            assert read(path).to_text() == KEY.to_text()  # read all the same
        expected = [f"key file {str(path)!r}: group or others may open it (mode {mode:04o}); "
                    "chmod 600 it"] if warned else []
        assert [str(warning.message) for warning in caught] == expected
        # Shown at the caller's line, not inside the package.
        assert all(w.category is KeyFileWarning and w.filename == __file__ for w in caught)


# Under a memory limit too low for scrypt's 256 MiB (as `ulimit -v` sets it),
# with the default keystore (its checksum is never reached).
MEMORY_LIMITED = """
import json, resource, sys
from quillet import PrivateKey
data, key = json.loads(sys.argv[1]), PrivateKey.generate()
size = next(int(l.split()[1]) for l in open("/proc/self/status") if l.startswith("VmSize:"))
resource.setrlimit(resource.RLIMIT_AS, ((size << 10) + (96 << 20), resource.RLIM_INFINITY))
for call in (lambda: PrivateKey.from_keystore(json.dumps(data), "right"),
             lambda: key.to_keystore("right")):
    try:
        call()
    except Exception as error:
        print(type(error).__name__, error)
print(PrivateKey.from_keystore(key.to_keystore("right", kdf="pbkdf2"), "right").public_key
      == key.public_key)  # PBKDF2 needs no more
"""


def test_too_little_memory_for_scrypt_says_what_it_needs():
    data = written_elsewhere(b"right", key_bytes(KEY), "scrypt", CHEAP_SCRYPT)
    data["crypto"]["kdf"]["params"]["n"] = 1 << 18
    proc = subprocess.run([sys.executable, "-c", MEMORY_LIMITED, json.dumps(data)],
                          capture_output=True, text=True, timeout=120)
    needs = "needs about 256 MiB of memory for scrypt (n=262144, r=8), more than this " \
            "process may take: raise its memory limit"
    assert proc.stdout.splitlines() == [
        f"InvalidKey unlocking this keystore {needs}, or re-encrypt it with PBKDF2 where it "
        "unlocks (quillet key passwd --kdf pbkdf2)",
        f'InvalidKey writing a keystore {needs}, or choose PBKDF2 (--kdf pbkdf2, kdf="pbkdf2")',
        "True"], proc.stderr


# The published test vectors of the layout: the password "𝔱𝔢𝔰𝔱𝔭𝔞𝔰𝔰𝔴𝔬𝔯𝔡🔑" and
# the secret 0x000000000019d6689c085ae165831e934ff763ae46a2a6c172b3f1b60a8ce26f.
# Their pubkey is a key of another curve, so it is emptied here.
VECTOR_SALT = "d4e56740f876aef8c010b86a40d5f56745a118d0906a34e69aec8c0db1cb8fa3"
VECTOR_IV = "264daa3f303d7259501c93d997d84fe6"


@pytest.mark.parametrize("kdf, params, checksum, ciphertext", [
    ("scrypt", {"dklen": 32, "n": 262144, "p": 1, "r": 8},
     "d2217fe5f3e9a1e34581ef8a78f7c9928e436d36dacc5e846690a5581e8ea484",
     "06ae90d55fe0a6e9c5c3bc5b170827b2e5cce3929ed3f116c2811e6366dfe20f"),
    ("pbkdf2", {"dklen": 32, "c": 262144, "prf": "hmac-sha256"},
     "8a9f5d9912ed7e75ea794bc5a89bca5f193721d30868ade6f73043c6ea6febf1",
     "cee03fde2af33149775b7223e7845e4fb2c8ae1792e5f99fe9ecf474cc8c16ad"),
])
def test_published_vectors(kdf, params, checksum, ciphertext):
    vector = {"crypto": {
        "kdf": {"function": kdf, "params": {**params, "salt": VECTOR_SALT}, "message": ""},
        "checksum": {"function": "sha256", "params": {}, "message": checksum},
        "cipher": {"function": "aes-128-ctr", "params": {"iv": VECTOR_IV},
                   "message": ciphertext}},
        "description": "", "pubkey": "", "path": "m/12381/60/3141592653/589793238",
        "uuid": "1d85ae20-35c5-4611-98e8-aa14a633906f", "version": 4}
    key = PrivateKey.from_keystore(json.dumps(vector), "𝔱𝔢𝔰𝔱𝔭𝔞𝔰𝔰𝔴𝔬𝔯𝔡🔑")
    assert key.to_text() == "0x000000000019d6689c085ae165831e934ff763ae46a2a6c172b3f1b60a8ce26f"


def flip(hex_text: str) -> str:
    return ("1" if hex_text[0] == "0" else "0") + hex_text[1:]


def test_wrong_passphrase_damage_and_another_pubkey_are_refused():
    base = written_elsewhere(b"right", key_bytes(KEY), "scrypt", CHEAP_SCRYPT)
    other = PrivateKey.from_seed("keystore tests: another seed of thirty-two bytes")
    cases = [  # (change to the keystore, passphrase, expected text)
        (lambda d: None, "wrong", "wrong passphrase or damaged keystore"),
        (lambda d: d["crypto"]["checksum"].update(message=flip(d["crypto"]["checksum"]
                                                               ["message"])),
         "right", "wrong passphrase or damaged keystore"),
        (lambda d: d["crypto"]["cipher"].update(message=flip(d["crypto"]["cipher"]["message"])),
         "right", "wrong passphrase or damaged keystore"),
        (lambda d: d.update(pubkey=other.public_key.x[2:]), "right",
         "the keystore's pubkey is not the public key of the key it holds"),
    ]
    for change, passphrase, expected in cases:
        data = copy.deepcopy(base)
        change(data)
        with pytest.raises(InvalidKey) as info:
            PrivateKey.from_keystore(json.dumps(data), passphrase)
        assert str(info.value) == expected
    for secret in (bytes(32), ORDER.to_bytes(32, "big")):  # decrypts, but is no key
        data = written_elsewhere(b"right", secret, "pbkdf2", CHEAP_PBKDF2)
        with pytest.raises(InvalidKey, match="holds no private key of this curve"):
            PrivateKey.from_keystore(json.dumps(data), "right")


def _set(path, value):
    def change(data):
        for name in path[:-1]:
            data = data[name]
        if value is DELETE:
            del data[path[-1]]
        else:
            data[path[-1]] = value
    return change


DELETE = object()
PARAMS = ("crypto", "kdf", "params")
REFUSED = [  # (change, expected part of the InvalidKey text); none may run the KDF
    (_set(PARAMS + ("n",), 1000), "n = 1000 is not a power of two"),
    (lambda d: d["crypto"]["kdf"]["params"].update(n=1 << 16, r=1), "not below 2^(16·r)"),
    (_set(PARAMS + ("n",), True), "crypto.kdf.params.n is not an integer"),
    (_set(PARAMS + ("n",), DELETE), "crypto.kdf.params.n is missing"),
    (_set(PARAMS + ("dklen",), 64), "dklen is 64, not 32"),
    (_set(("crypto", "kdf"), {"function": "pbkdf2", "message": "", "params": {
        **CHEAP_PBKDF2, "prf": "hmac-sha512", "salt": "00"}}), "prf 'hmac-sha512' is not"),
    (_set(("crypto", "kdf", "function"), "argon2id"), "function 'argon2id' is not supported"),
    (_set(("crypto", "checksum", "function"), "sha512"), "crypto.checksum.function 'sha512'"),
    (_set(("crypto", "cipher", "function"), "aes-256-gcm"), "crypto.cipher.function"),
    (_set(PARAMS + ("salt",), "0x00"), "salt is not hexadecimal bytes"),
    (_set(("crypto", "cipher", "params", "iv"), "00" * 15), "iv holds 15 bytes, not 16"),
    (_set(("crypto", "cipher", "message"), "00" * 31), "message holds 31 bytes, not 32"),
    (_set(("crypto", "checksum", "message"), DELETE), "crypto.checksum.message is missing"),
    (_set(("crypto", "cipher"), []), "crypto.cipher is not an object"),
    (_set(("version",), 3), "version 3 is not supported"),
    (_set(("pubkey",), "xyz"), "pubkey is not hexadecimal"),
    (_set(("crypto",), DELETE), "crypto is missing"),
]


@pytest.mark.parametrize("change, expected", REFUSED)
def test_malformed_or_costly_keystores_are_refused_before_the_kdf(change, expected,
                                                                   monkeypatch):
    data = written_elsewhere(b"right", key_bytes(KEY), "scrypt", CHEAP_SCRYPT)
    change(data)

    def kdf(*args, **kwargs):
        raise AssertionError("the KDF ran")

    monkeypatch.setattr(quillet.keystore, "scrypt_into", kdf)
    monkeypatch.setattr(quillet.keystore, "pbkdf2_sha256_into", kdf)
    with pytest.raises(InvalidKey) as info:
        PrivateKey.from_keystore(json.dumps(data), "right")
    assert expected in str(info.value)


class KdfReached(Exception):
    """Raised by the stand-in KDF: the keystore passed every check before it."""


COSTS = [  # (kdf, (n, r, p) or c, the InvalidKey text, or None where the KDF is reached)
    # The defaults (ours and other tools'), PBKDF2's at twice, and the costliest accepted.
    ("scrypt", (1 << 18, 8, 1), None),
    ("scrypt", (1 << 20, 8, 1), None),  # four times the default's memory and work
    ("scrypt", (1 << 18, 32, 1), None),
    ("scrypt", (1 << 15, 8, 32), None),
    ("scrypt", (1 << 12, 8, 6), None),
    ("scrypt", (1 << 15, 1, 1), None),
    ("pbkdf2", 1 << 18, None),
    ("pbkdf2", 1 << 19, None),
    ("pbkdf2", 1 << 22, None),
    # Memory or time far beyond the default's through r or p alone (read before).
    ("scrypt", (2, 3_000_000, 1), "keystore: crypto.kdf.params.r = 3000000 is outside [1, 32]"),
    ("scrypt", (2, 1, 1 << 22), "keystore: crypto.kdf.params.p = 4194304 is outside [1, 32]"),
    ("scrypt", (2, 1 << 30, 1), "keystore: crypto.kdf.params.r = 1073741824 is outside [1, 32]"),
    ("scrypt", (1 << 10, 33, 1), "keystore: crypto.kdf.params.r = 33 is outside [1, 32]"),
    ("scrypt", (1 << 10, 8, 33), "keystore: crypto.kdf.params.p = 33 is outside [1, 32]"),
    # Each bound crossed.
    ("scrypt", (1 << 24, 4, 1), "keystore: crypto.kdf.params.n = 16777216 is outside "
                                "[2, 8388608]"),
    ("scrypt", (1 << 21, 8, 1), "keystore: scrypt with n=2097152, r=8, p=1 needs 2049 MiB of "
                                "memory (128·r·(n + p + 2) bytes), above the bound of 1024 MiB"),
    # 4 KiB above the bound: never shown as 1024 MiB.
    ("scrypt", (1 << 21, 4, 30), "keystore: scrypt with n=2097152, r=4, p=30 needs 1025 MiB of "
                                 "memory (128·r·(n + p + 2) bytes), above the bound of 1024 MiB"),
    ("scrypt", (1 << 20, 8, 2), "keystore: scrypt with n=1048576, r=8, p=2 does 8 times the "
                                "default's work (n·r·p block mixes), above the bound of 4 times"),
    ("scrypt", (1 << 18, 8, 5), "keystore: scrypt with n=262144, r=8, p=5 does 5 times the "
                                "default's work (n·r·p block mixes), above the bound of 4 times"),
    ("pbkdf2", (1 << 22) + 1, "keystore: crypto.kdf.params.c = 4194305 is outside [1, 4194304]"),
    ("pbkdf2", 1 << 23, "keystore: crypto.kdf.params.c = 8388608 is outside [1, 4194304]"),
    ("pbkdf2", 0, "keystore: crypto.kdf.params.c = 0 is outside [1, 4194304]"),
]


@pytest.mark.parametrize("kdf, cost, expected", COSTS)
def test_kdf_costs_are_bounded_before_the_kdf_runs(kdf, cost, expected, monkeypatch):
    data = written_elsewhere(b"right", key_bytes(KEY), kdf,
                             CHEAP_SCRYPT if kdf == "scrypt" else CHEAP_PBKDF2)
    data["crypto"]["kdf"]["params"].update(dict(zip("nrp", cost)) if kdf == "scrypt"
                                           else {"c": cost})
    calls = []

    def scrypt(passphrase, salt, n, r, p, out):
        calls.append(((n, r, p), len(out)))
        raise KdfReached

    def pbkdf2(passphrase, salt, rounds, out):
        calls.append((rounds, len(out)))
        raise KdfReached

    monkeypatch.setattr(quillet.keystore, "scrypt_into", scrypt)
    monkeypatch.setattr(quillet.keystore, "pbkdf2_sha256_into", pbkdf2)
    if expected is None:
        with pytest.raises(KdfReached):
            PrivateKey.from_keystore(json.dumps(data), "right")
        assert calls == [(cost, 32)]
    else:
        with pytest.raises(InvalidKey) as info:
            PrivateKey.from_keystore(json.dumps(data), "right")
        assert (str(info.value), calls) == (expected, [])


@pytest.mark.parametrize("text", ["{", "{" * 100000, '{"crypto": 1'])
def test_a_text_that_is_no_json_object_is_refused(text):
    with pytest.raises(InvalidKey, match="keystore: not a JSON text"):
        PrivateKey.from_keystore(text, "right")


def test_secrets_stay_out_of_errors_and_traceback_locals():
    passphrase = "a passphrase nobody may read"
    data = written_elsewhere(passphrase.encode(), key_bytes(KEY), "pbkdf2", CHEAP_PBKDF2)
    calls = [lambda: PrivateKey.from_keystore(json.dumps(data), passphrase + "!"),
             lambda: KEY.to_keystore(passphrase, kdf="argon2"),
             lambda: PrivateKey.from_keystore(json.dumps(data), passphrase.encode())]
    secrets = [passphrase, passphrase.encode().hex(), KEY.to_text()[2:],
               repr(key_bytes(KEY))[2:30]]
    for call in calls:
        with pytest.raises((InvalidKey, TypeError, ValueError)) as info:
            call()
        # The package's frames, as a reporter that shows locals would (the
        # test's own frames hold the passphrase).
        frames = [frame for frame, _ in traceback.walk_tb(info.value.__traceback__)
                  if frame.f_code.co_filename != __file__]
        shown = str(info.value) + "".join(f"{name}={value!r}" for frame in frames
                                          for name, value in frame.f_locals.items())
        assert frames and all(secret not in shown for secret in secrets), shown
        assert info.value.__context__ is None and info.value.__cause__ is None


def test_generate_draws_natively_and_keeps_keys_in_range(monkeypatch):
    # The draws never pass through a Python bytes object; which candidates are
    # kept (0 and values not below the order are not) is checked beside the
    # native code (sdk/tests/private_key_test.cpp).
    def urandom(size):
        raise AssertionError("generate drew through os.urandom")

    monkeypatch.setattr(os, "urandom", urandom)
    keys = {PrivateKey.generate().to_text() for _ in range(64)}
    assert len(keys) == 64 and all(0 < int(k, 16) < ORDER for k in keys)


def test_without_the_extra_keystore_calls_name_it(run_python):
    proc = run_python(
        "import sys; sys.modules['cryptography'] = None\n"
        "from quillet import PrivateKey\n"
        "key = PrivateKey.generate()\n"
        "for call in (lambda: key.to_keystore('p'), lambda: PrivateKey.from_keystore('{}', 'p')):\n"
        "    try: call()\n"
        "    except Exception as error: print(type(error).__name__, error)\n")
    assert proc.stdout.splitlines() == [
        "QuilletError keystores need the cryptography package: "
        "pip install 'quillet_python_sdk[keystore]'"] * 2, proc.stderr


def test_private_keys_and_other_signers_are_signers():
    class Remote:  # a key held elsewhere: signs through its own channel
        public_key = KEY.public_key
        sign, sign_message, eth_sign = KEY.sign, KEY.sign_message, KEY.eth_sign

    assert isinstance(KEY, Signer) and isinstance(Remote(), quillet.Signer)
    assert not isinstance(KEY.public_key, Signer)


# --- the command line ------------------------------------------------------------

PASS = "the desk's passphrase"
NEW = "the desk's next passphrase"


def environment(**extra):
    env = {k: v for k, v in os.environ.items()
           if k not in ("QUILLET_PRIVATE_KEY", "QUILLET_KEY_PASSPHRASE")}
    return {**env, **extra}


def quillet_cli(*args, env=None, stdin=b"", cwd=None):
    # A new session: no controlling terminal, so no prompt can wait.
    return subprocess.run([sys.executable, "-m", "quillet", *args], input=stdin,
                          capture_output=True, env=env or environment(), cwd=cwd, timeout=120,
                          start_new_session=True)


def test_cli_writes_and_reads_keystores(tmp_path):
    seed, passphrase_file = tmp_path / "seed", tmp_path / "passphrase"
    seed.write_text("keystore tests: a seed of thirty-two bytes or more\n")
    passphrase_file.write_text(PASS + "\n")
    passphrase_file.chmod(0o600)
    with_env = environment(QUILLET_KEY_PASSPHRASE=PASS)
    runs = [  # (arguments, environment, file written)
        (["keygen", "--random", "--out", "random.json"], None, "random.json"),
        (["keygen", str(seed), "--encrypt", "--kdf", "pbkdf2", "--out", "seed.keystore"],
         with_env, "seed.keystore"),
        (["key", "decrypt", "--key-file", "seed.keystore", "--passphrase-file",
          str(passphrase_file), "--out", "plain.json"], None, "plain.json"),
        (["key", "encrypt", "--key-file", "plain.json", "--kdf", "pbkdf2", "--out",
          "again.keystore"], with_env, "again.keystore"),
    ]
    for args, env, written in runs:
        proc = quillet_cli(*args, env=env, cwd=tmp_path)
        assert (proc.returncode, proc.stderr) == (0, b""), proc.stderr
        # The public key, to register, without unlocking the file again.
        written_key = PrivateKey.from_file(tmp_path / written, PASS)
        assert proc.stdout.decode() == written_key.public_key.to_json() + "\n"
        assert stat.S_IMODE((tmp_path / written).stat().st_mode) == 0o600
        assert PASS not in (tmp_path / written).read_text()
    assert int(json.loads((tmp_path / "random.json").read_text())["private_key"], 16) < ORDER
    assert json.loads((tmp_path / "plain.json").read_text()) == {"private_key": KEY.to_text()}
    assert PrivateKey.from_file(tmp_path / "again.keystore", PASS).to_text() == KEY.to_text()
    signed = quillet_cli("sign-message", "0x5eed", "--key-file",
                         str(tmp_path / "again.keystore"), env=with_env)
    assert signed.stdout.decode() == KEY.sign_message("0x5eed").to_json() + "\n"


@pytest.mark.parametrize("args, env, stdin, expected", [
    (["keygen", "--random", "--encrypt"], {}, b"",
     "quillet keygen: no passphrase: give --passphrase-file FILE, set QUILLET_KEY_PASSPHRASE, "
     "or run on a terminal"),
    (["keygen", "--random", "--encrypt", "--passphrase-file", "-"], {}, b"\n",
     "quillet keygen: standard input holds an empty passphrase, which is refused"),
    (["keygen", "--random", "--encrypt", f"--passphrase={PASS}"], {}, b"",
     "quillet: a passphrase is never given on the command line: use --passphrase-file FILE "
     "or QUILLET_KEY_PASSPHRASE (see quillet --help)"),
    (["pubkey", "--key-file", "-"], {"QUILLET_KEY_PASSPHRASE": PASS + "?"}, "KEYSTORE",
     "quillet pubkey: standard input: wrong passphrase or damaged keystore"),
    (["key", "encrypt", "--key-file", "-", "--out", "x"], {"QUILLET_KEY_PASSPHRASE": PASS},
     "KEYSTORE", "quillet key encrypt: standard input holds a keystore already; "
                 "`quillet key passwd` changes its passphrase"),
    (["key", "decrypt", "--key-file", "-", "--out", "x"], {"QUILLET_KEY_PASSPHRASE": PASS},
     KEY.to_text().encode(), "quillet key decrypt: standard input holds no keystore"),
    (["keygen", "--random", "seed.txt"], {}, b"", "quillet keygen: --random takes no SEED_FILE"),
    (["pubkey", "--key-file", "-"], {"QUILLET_KEY_PASSPHRASE": PASS}, "OTHER SCHEME",
     "quillet pubkey: standard input: this keystore's pubkey is a 48-byte key of another "
     "scheme, not one of this curve: give --foreign-pubkey to ignore it and use the key it "
     "holds"),
    # New passphrases: characters as a person counts them (a decomposed accent is
    # one, a control code none), fewer than 12 refused unless --weak-passphrase.
    (["key", "encrypt", "--key-file", "-", "--out", "x"],
     {"QUILLET_KEY_PASSPHRASE": "e\u0301" * 11}, KEY.to_text().encode(),
     "quillet key encrypt: $QUILLET_KEY_PASSPHRASE holds a passphrase of 11 characters, fewer "
     "than 12: choose a longer one, or give --weak-passphrase to accept it"),
    (["keygen", "--random", "--encrypt", "--passphrase-file", "-"], {}, b"\x01passphrase\x7f!",
     "quillet keygen: standard input holds a passphrase of 11 characters, fewer than 12: "
     "choose a longer one, or give --weak-passphrase to accept it"),
    (["keygen", "--random", "--weak-passphrase"], {}, b"",
     "quillet keygen: --weak-passphrase only applies to --encrypt"),
    (["key", "passwd", "--key-file", "-"], {}, "KEYSTORE",
     "quillet key passwd: give --key-file KEYSTORE: the keystore file whose passphrase changes"),
    (["key", "passwd", f"--new-passphrase={PASS}"], {}, b"",
     "quillet: a passphrase is never given on the command line: use --new-passphrase-file "
     "FILE or the prompt (see quillet --help)"),
])
def test_cli_refusals_are_one_line_without_the_passphrase(args, env, stdin, expected, tmp_path):
    if stdin == "KEYSTORE":
        stdin = KEY.to_keystore(PASS, kdf="pbkdf2").encode()
    elif stdin == "OTHER SCHEME":
        stdin = json.dumps({**json.loads(KEY.to_keystore(PASS, kdf="pbkdf2")),
                            "pubkey": OTHER_SCHEME}).encode()
    proc = quillet_cli(*args, env=environment(**env), stdin=stdin, cwd=tmp_path)
    assert (proc.returncode, proc.stdout, proc.stderr.decode()) == (2, b"", expected + "\n")
    assert not (tmp_path / "x").exists()


def test_cli_passwd_replaces_the_keystore_whole(tmp_path):
    for name, text in [("old", PASS), ("new", NEW), ("weak", "desk 7"), ("plain", KEY.to_text())]:
        (tmp_path / name).write_text(text + "\n")
        (tmp_path / name).chmod(0o600)
    store = tmp_path / "desk.keystore"
    other = {**json.loads(KEY.to_keystore(PASS, kdf="pbkdf2", description="desk 7")),
             "pubkey": OTHER_SCHEME}
    store.write_text(json.dumps(other))
    store.chmod(0o644)
    (tmp_path / "link.keystore").symlink_to("desk.keystore")
    warned = ("quillet key passwd: warning: key file desk.keystore: group or others may open "
              "it (mode 0644); chmod 600 it\n")
    runs = [  # (arguments, stderr, passphrase and description after, with the text unchanged)
        (["--passphrase-file", "new", "--new-passphrase-file", "old", "--foreign-pubkey"],
         warned + "quillet key passwd: desk.keystore: wrong passphrase or damaged keystore\n",
         (PASS, "desk 7")),
        (["--passphrase-file", "old", "--new-passphrase-file", "new"],
         warned + "quillet key passwd: desk.keystore: this keystore's pubkey is a 48-byte key "
                  "of another scheme, not one of this curve: give --foreign-pubkey to ignore "
                  "it and use the key it holds\n", (PASS, "desk 7")),
        (["--passphrase-file", "old", "--new-passphrase-file", "weak", "--foreign-pubkey"],
         warned + "quillet key passwd: weak holds a passphrase of 6 characters, fewer than 12: "
                  "choose a longer one, or give --weak-passphrase to accept it\n",
         (PASS, "desk 7")),
        (["--passphrase-file", "old", "--new-passphrase-file", "new", "--foreign-pubkey"],
         warned, (NEW, "desk 7")),
        # Through the link, whose target changes; the description replaced.
        (["--passphrase-file", "new", "--new-passphrase-file", "old", "--description", "desk 8",
          "--key-file", "link.keystore"], "", (PASS, "desk 8")),
    ]
    for extra, stderr, (opens, description) in runs:
        before = store.read_text()
        proc = quillet_cli("key", "passwd", "--key-file", "desk.keystore", *extra, cwd=tmp_path)
        assert proc.stderr.decode() == stderr
        if proc.returncode:
            assert (proc.returncode, proc.stdout, store.read_text()) == (2, b"", before)
            continue
        assert proc.stdout.decode() == KEY.public_key.to_json() + "\n"
        data = json.loads(store.read_text())
        assert (data["description"], data["pubkey"], data["crypto"]["kdf"]["function"]) == \
            (description, KEY.public_key.x[2:], "pbkdf2")  # the KDF kept
        assert PrivateKey.from_keystore(store, opens).to_text() == KEY.to_text()
        assert stat.S_IMODE(store.stat().st_mode) == 0o600
    assert (tmp_path / "link.keystore").is_symlink()
    assert sorted(path.name for path in tmp_path.iterdir()) == [
        "desk.keystore", "link.keystore", "new", "old", "plain", "weak"]  # no temporary left
    proc = quillet_cli("key", "passwd", "--key-file", "plain", "--kdf", "scrypt", cwd=tmp_path)
    assert proc.stderr.decode() == ("quillet key passwd: plain holds no keystore; `quillet key "
                                    "encrypt` writes one\n")


def test_each_unlock_runs_the_kdf_once(tmp_path, monkeypatch, capsys):
    path = tmp_path / "one.keystore"
    path.write_text(KEY.to_keystore(PASS, kdf="pbkdf2"))
    path.chmod(0o600)
    (tmp_path / "new").write_text(NEW)
    (tmp_path / "new").chmod(0o600)
    monkeypatch.setenv("QUILLET_KEY_PASSPHRASE", PASS)
    calls = []
    derive = quillet.keystore.pbkdf2_sha256_into

    def counted(*args):
        calls.append(args[2])
        return derive(*args)

    monkeypatch.setattr(quillet.keystore, "pbkdf2_sha256_into", counted)
    runs = [  # (what runs, what it returns, KDF calls: one per unlock and per keystore written)
        (lambda: PrivateKey.from_keystore(path).public_key, KEY.public_key, 1),
        (lambda: PrivateKey.from_file(path).public_key, KEY.public_key, 1),
        (lambda: quillet.cli.main(["pubkey", "--key-file", str(path)]), 0, 1),
        (lambda: quillet.cli.main(["key", "passwd", "--key-file", str(path),
                                   "--new-passphrase-file", str(tmp_path / "new")]), 0, 2),
    ]
    for run, result, expected in runs:
        calls.clear()
        assert (run(), calls) == (result, [1 << 18] * expected)
    assert capsys.readouterr().err == ""


def test_a_key_file_that_cannot_be_written_leaves_no_secret_in_frames(tmp_path, monkeypatch):
    # A reporter that shows traceback locals must find neither key nor passphrase there.
    store = tmp_path / "k.keystore"
    store.write_text(KEY.to_keystore(PASS, kdf="pbkdf2"))
    store.chmod(0o600)
    monkeypatch.setenv("QUILLET_KEY_PASSPHRASE", PASS)
    monkeypatch.setattr(PrivateKey, "generate", classmethod(lambda cls: KEY))
    (tmp_path / "new").write_text(NEW)
    (tmp_path / "new").chmod(0o600)
    missing = str(tmp_path / "missing" / "out")  # in a directory that does not exist
    # passwd writes where the keystore's link points: here, nowhere.
    monkeypatch.setattr(os.path, "realpath", lambda path: missing)
    parser = build_parser()
    for argv in (["keygen", "--random", "--out", missing],
                 ["keygen", "--random", "--encrypt", "--kdf", "pbkdf2", "--out", missing],
                 ["key", "decrypt", "--key-file", str(store), "--out", missing],
                 ["key", "passwd", "--key-file", str(store), "--new-passphrase-file",
                  str(tmp_path / "new")]):
        args = parser.parse_args(argv)
        with pytest.raises(Failure) as info:
            args.handler(args, Inputs())
        frames = [frame for frame, _ in traceback.walk_tb(info.value.__traceback__)]
        shown = str(info.value) + "".join(f"{name}={value!r}" for frame in frames
                                          for name, value in frame.f_locals.items())
        assert frames and "cannot create a file in" in str(info.value), shown
        assert all(secret not in shown for secret in (KEY.to_text()[2:], PASS, NEW)), shown


def test_cli_weak_settings_are_warned_of(tmp_path):
    proc = quillet_cli("keygen", "--random", "--encrypt", "--kdf", "pbkdf2", "--weak-passphrase",
                       "--out", "weak.keystore", env=environment(QUILLET_KEY_PASSPHRASE="desk"),
                       cwd=tmp_path)
    assert proc.returncode == 0 and proc.stderr.decode() == (
        "quillet keygen: warning: the new passphrase has 4 characters, fewer than 12: it may be "
        "guessed\n")
    (tmp_path / "weak.keystore").chmod(0o640)
    (tmp_path / "passphrase").write_text("desk")
    (tmp_path / "passphrase").chmod(0o644)
    proc = quillet_cli("pubkey", "--key-file", "weak.keystore", "--passphrase-file",
                       "passphrase", cwd=tmp_path)
    assert proc.returncode == 0 and proc.stderr.decode().splitlines() == [
        "quillet pubkey: warning: key file weak.keystore: group or others may open it (mode "
        "0640); chmod 600 it",
        "quillet pubkey: warning: passphrase file passphrase: group or others may open it (mode "
        "0644); chmod 600 it"]


# Runs `quillet ARGS` on a new pseudo-terminal, typing each answer after a
# prompt, and prints [exit status, everything the terminal showed]. In a
# process of its own: forking pytest, which may have threads, could deadlock.
TERMINAL = """
import json, os, pty, select, signal, sys, time
args, answers = json.loads(sys.argv[1])
pid, fd = pty.fork()
if pid == 0:
    os.execv(sys.executable, [sys.executable, "-m", "quillet", *args])
shown, answered, deadline = b"", 0, time.monotonic() + 60
while time.monotonic() < deadline:
    if not select.select([fd], [], [], 1)[0]:
        continue
    try:
        chunk = os.read(fd, 4096)
    except OSError:  # EIO: the child closed the terminal
        break
    if not chunk:
        break
    shown += chunk
    while answered < len(answers) and shown.count(b"assphrase: ") > answered:
        os.write(fd, answers[answered].encode() + b"\\n")
        answered += 1
if time.monotonic() >= deadline:
    os.kill(pid, signal.SIGKILL)
status = os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])
print(json.dumps([status, shown.decode()]))
"""


def on_terminal(args, answers, cwd):
    proc = subprocess.run([sys.executable, "-c", TERMINAL, json.dumps([args, answers])],
                          capture_output=True, text=True, cwd=cwd, env=environment(),
                          timeout=120)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout)


def test_cli_prompts_on_the_terminal_without_echo(tmp_path):
    new = ["keygen", "--random", "--encrypt", "--kdf", "pbkdf2", "--out", "ks.json"]
    passwd = ["key", "passwd", "--key-file", "ks.json"]
    runs = [  # (arguments, answers, exit status, text shown, prompts, passphrase that opens)
        # A mistyped confirmation or a refused passphrase is asked again, three times in all.
        (new, [PASS, "x", PASS, "y", PASS, "z"], 2,
         "quillet keygen: the passphrases differ (3 tries)", 6, None),
        (new, ["short", PASS, PASS + "!", PASS, PASS], 0,
         "The passphrases differ; try again.", 5, PASS),
        # The current passphrase is checked before a new one is asked for.
        (passwd, [PASS + "?"], 2, "ks.json: wrong passphrase or damaged keystore", 1, PASS),
        (passwd, [PASS, NEW, NEW], 0, "Current passphrase: ", 3, NEW),
    ]
    for args, answers, status, text, prompts, opens in runs:
        shown_status, shown = on_terminal(args, answers, tmp_path)
        assert (shown_status, text in shown, shown.count("assphrase: ")) == \
            (status, True, prompts), shown
        assert not any(answer in shown for answer in answers if len(answer) > 5), shown
        if opens is not None:
            assert PrivateKey.from_file(tmp_path / "ks.json", opens)
    assert "fewer than 12" in on_terminal(new[:-2] + ["--out", "x"], ["", "short", "sh", "s"],
                                          tmp_path)[1]
    status, shown = on_terminal(["pubkey", "--key-file", "ks.json"], [NEW], tmp_path)
    key = PrivateKey.from_file(tmp_path / "ks.json", NEW)
    assert json.loads(shown.split("\n", 1)[1]) == json.loads(key.public_key.to_json())
