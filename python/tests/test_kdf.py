"""The keystore's native KDFs (quillet._batch.scrypt_into, pbkdf2_sha256_into)
against hashlib's, byte for byte, on every Salsa20/8 kernel this processor
runs; their refusals; and keystores between the native path and hashlib's.
"""

import hashlib
import json
import random
import threading

import pytest

from quillet import PrivateKey, _batch, keystore

try:
    from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes
except ImportError:  # the keystore extra is not installed
    Cipher = None

KERNELS = _batch.scrypt_kernels()


def scrypt(passphrase, salt, n, r, p, dklen, kernel=None):
    out = bytearray(dklen)
    _batch.scrypt_into(passphrase, salt, n, r, p, out, kernel=kernel)
    return bytes(out)


def hashlib_scrypt(passphrase, salt, n, r, p, dklen):
    return hashlib.scrypt(passphrase, salt=salt, n=n, r=r, p=p, dklen=dklen,
                          maxmem=128 * r * (n + p + 2) + (1 << 20))


def random_cases(seed, count):
    """(passphrase, salt, n, r, p, dklen) within the keystore's bounds, small
    enough to run by the dozen: lengths around SHA-256's block (a passphrase
    above 64 bytes is hashed first) and every shape of cost."""
    rng = random.Random(seed)
    lengths = [0, 1, 31, 32, 55, 56, 64, 65, 300]
    shapes = [(2, 1, 1), (16, 1, 7), (1 << 10, 8, 1), (1 << 9, 3, 2), (64, 32, 1), (8, 2, 32),
              (1 << 14, 1, 1), (256, 5, 3)]
    return [(rng.randbytes(rng.choice(lengths)), rng.randbytes(rng.choice(lengths)), n, r, p,
             rng.choice([1, 16, 32, 33, 64, 1024]))
            for _ in range(count // len(shapes)) for n, r, p in shapes]


@pytest.mark.parametrize("kernel", KERNELS)
def test_scrypt_is_hashlibs_on_every_kernel(kernel):
    for passphrase, salt, n, r, p, dklen in random_cases(7914, 24):
        assert (scrypt(passphrase, salt, n, r, p, dklen, kernel)
                == hashlib_scrypt(passphrase, salt, n, r, p, dklen)), (n, r, p, dklen)


def test_pbkdf2_is_hashlibs():
    rng = random.Random(8018)
    for rounds in [1, 2, 3, 1000, 1 << 12]:
        for _ in range(4):
            passphrase, salt = rng.randbytes(rng.choice([0, 5, 64, 65, 200])), rng.randbytes(32)
            dklen = rng.choice([1, 32, 33, 100])
            out = bytearray(dklen)
            _batch.pbkdf2_sha256_into(passphrase, salt, rounds, out)
            assert out == hashlib.pbkdf2_hmac("sha256", passphrase, salt, rounds, dklen)


REFUSED = [  # (arguments after the passphrase and salt, the exception, its text)
    ((3 << 10, 8, 1), ValueError, "scrypt with n=3072, r=8, p=1 is outside the keystore bounds"),
    ((1, 8, 1), ValueError, "scrypt with n=1, r=8, p=1 is outside the keystore bounds"),
    ((-1024, 8, 1), ValueError, "scrypt with n=-1024, r=8, p=1 is outside the keystore bounds"),
    ((1 << 10, 33, 1), ValueError, "scrypt with n=1024, r=33, p=1 is outside the keystore bounds"),
    ((1 << 10, 1 << 32, 1), ValueError,
     "scrypt with n=1024, r=4294967296, p=1 is outside the keystore bounds"),
    ((1 << 10, 8, 0), ValueError, "scrypt with n=1024, r=8, p=0 is outside the keystore bounds"),
    ((1 << 16, 1, 1), ValueError, "scrypt with n=65536, r=1, p=1 is outside the keystore bounds"),
    ((1 << 21, 8, 1), ValueError, "scrypt with n=2097152, r=8, p=1 is outside the keystore bounds"),
    ((1 << 20, 8, 2), ValueError, "scrypt with n=1048576, r=8, p=2 is outside the keystore bounds"),
    ((1 << 70, 8, 1), ValueError,
     "scrypt with n=1180591620717411303424, r=8, p=1 is outside the keystore bounds"),
    ((True, 8, 1), TypeError, "n must be an int, not 'bool'"),
    ((1024.0, 8, 1), TypeError, "n must be an int, not 'float'"),
    ((1024, "8", 1), TypeError, "r must be an int, not 'str'"),
]


@pytest.mark.parametrize("cost, kind, text", REFUSED)
def test_scrypt_refuses_what_the_bounds_refuse_before_mapping(cost, kind, text):
    out = bytearray(32)
    with pytest.raises(kind) as info:
        _batch.scrypt_into(b"passphrase", b"salt", *cost, out)
    assert str(info.value) == text
    assert out == bytes(32)


@pytest.mark.parametrize("call, kind, text", [
    (lambda: _batch.scrypt_into(b"pw", b"salt", 16, 1, 1, bytes(32)), BufferError, None),
    (lambda: _batch.scrypt_into(b"pw", b"salt", 16, 1, 1, bytearray(0)), ValueError,
     "the key's buffer holds 0 bytes, not 1 to 1024"),
    (lambda: _batch.scrypt_into(b"pw", b"salt", 16, 1, 1, bytearray(1025)), ValueError,
     "the key's buffer holds 1025 bytes, not 1 to 1024"),
    (lambda: _batch.scrypt_into("pw", b"salt", 16, 1, 1, bytearray(32)), TypeError, None),
    (lambda: _batch.scrypt_into(b"pw", None, 16, 1, 1, bytearray(32)), TypeError, None),
    (lambda: _batch.scrypt_into(b"pw", b"salt", 16, 1, 1, bytearray(32), kernel="neon"), ValueError,
     "no scrypt kernel 'neon' runs here (scrypt_kernels() names those that do)"),
    (lambda: _batch.pbkdf2_sha256_into(b"pw", b"salt", 0, bytearray(32)), ValueError,
     "PBKDF2 rounds = 0 is outside [1, 2^32 - 1]"),
    (lambda: _batch.pbkdf2_sha256_into(b"pw", b"salt", 1 << 32, bytearray(32)), ValueError,
     "PBKDF2 rounds = 4294967296 is outside [1, 2^32 - 1]"),
    (lambda: _batch.pbkdf2_sha256_into(b"pw", b"salt", 1, bytearray(0)), ValueError,
     "the key's buffer holds 0 bytes, not 1 to 1048576"),
    (lambda: _batch.pbkdf2_sha256_into(b"pw", b"salt", 1), TypeError,
     "pbkdf2_sha256_into() takes 4 positional arguments but 3 were given"),
])
def test_bad_buffers_and_arguments_are_refused(call, kind, text):
    with pytest.raises(kind) as info:
        call()
    if text is not None:
        assert str(info.value) == text


def test_scrypt_runs_without_the_lock_and_holds_the_passphrase_in_place():
    passphrase, out, refused = bytearray(b"a passphrase"), bytearray(32), []
    worker = threading.Thread(target=_batch.scrypt_into,
                              args=(passphrase, b"salt", 1 << 16, 8, 1, out))
    worker.start()
    # While the KDF runs, this thread runs too, and the passphrase cannot be
    # resized under it.
    while worker.is_alive():
        try:
            passphrase.append(0)
            passphrase.pop()
        except BufferError:
            refused.append(True)
    worker.join()
    assert refused
    assert passphrase == b"a passphrase"


def opened_with_hashlib(text, passphrase):
    """The key bytes of a keystore, derived with hashlib and decrypted by hand."""
    crypto = json.loads(text)["crypto"]
    params = crypto["kdf"]["params"]
    salt = bytes.fromhex(params["salt"])
    if crypto["kdf"]["function"] == "scrypt":
        dk = hashlib_scrypt(passphrase, salt, params["n"], params["r"], params["p"], 32)
    else:
        dk = hashlib.pbkdf2_hmac("sha256", passphrase, salt, params["c"], 32)
    ciphertext = bytes.fromhex(crypto["cipher"]["message"])
    assert hashlib.sha256(dk[16:] + ciphertext).hexdigest() == crypto["checksum"]["message"]
    iv = bytes.fromhex(crypto["cipher"]["params"]["iv"])
    decryptor = Cipher(algorithms.AES(dk[:16]), modes.CTR(iv)).decryptor()
    return decryptor.update(ciphertext) + decryptor.finalize()


@pytest.mark.parametrize("kdf", keystore.KDFS)
@pytest.mark.skipif(Cipher is None, reason="keystores need the cryptography package")
def test_a_keystore_written_natively_opens_with_hashlib(kdf):
    key = PrivateKey.from_seed("kdf tests: a seed of thirty-two bytes or more")
    text = key.to_keystore("ｐａｓｓ phrase", kdf=kdf)  # NFKD: "pass phrase"
    params = json.loads(text)["crypto"]["kdf"]["params"]
    assert (params.get("n"), params.get("c")) == ((1 << 18, None) if kdf == "scrypt"
                                                  else (None, 1 << 18))
    raw = bytearray(32)
    key.write_bytes(raw)
    assert opened_with_hashlib(text, b"pass phrase") == raw
