"""Keys from seeds."""

import hashlib
import re

import pytest

import quillet_python_sdk as q

SUBGROUP_ORDER = (
    2736030358979909402780800718157159386076813972158567259200215660948447373041)


def panic_text(fn, *args):
    with pytest.raises(BaseException) as info:
        fn(*args)
    assert type(info.value).__name__ == "PanicException"
    return info.value.args[0]


@pytest.mark.parametrize(
    "seed,ok",
    [
        ("", False),
        ("x" * 31, False),
        ("x" * 32, True),
        ("€" * 10 + "x", False),  # 11 characters, 31 bytes
        ("€" * 11, True),  # 11 characters, 33 bytes
        ("\x00" * 32, True),
    ],
)
def test_seed_length_counts_utf8_bytes(seed, ok):
    if ok:
        assert re.fullmatch(r"0x[0-9a-f]{64}", q.private_key_from_seed(seed))
    else:
        assert panic_text(q.private_key_from_seed, seed) == (
            "Couldn't derive private key from seed: seed is too short")


@pytest.mark.parametrize("seed", ["x" * 32, "€" * 11, "a much longer seed " * 20])
def test_key_is_first_repeated_sha256_below_the_order(seed):
    key = q.private_key_from_seed(seed)
    assert q.private_key_from_seed(seed) == key
    digest = hashlib.sha256(seed.encode()).digest()
    while True:
        digest = hashlib.sha256(digest).digest()
        if int.from_bytes(digest, "big") < SUBGROUP_ORDER:
            break
    assert key == "0x" + digest.hex()
    assert int(key, 16) < SUBGROUP_ORDER
