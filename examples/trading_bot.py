"""A trading bot's use of the typed API: documents, keys, batches, errors.

Type-checks under `mypy --strict` and runs (python/tests/test_readme.py
does both). It signs with whatever Signer it is given, and its code is the
same for both: a key in a keystore (README.md, "Keys"), unlocked at start,

    quillet keygen --random --encrypt --out bot.keystore      # once
    QUILLET_KEY_PASSPHRASE=… python examples/trading_bot.py bot.keystore
    python examples/trading_bot.py bot.keystore --passphrase-file /run/credentials/bot/passphrase

or, with $QUILLET_SIGNER_URL set, the key $QUILLET_SIGNER_KEY of a signing
service (README.md, "The signing service"; token in $QUILLET_SIGNER_TOKEN,
the service's CA in $QUILLET_SIGNER_CA), which the bot's host never holds.
"""

from __future__ import annotations

import argparse
import os

import quillet
import quillet_python_sdk
from quillet import (InvalidDocument, LimitOrder, PrivateKey, PublicKey, QuilletError, Signature,
                     Signer, batch)
from quillet.batch import Outcome

USDC = "0x31857064564ed0ff978e687456963cba09c2c6985d8f9300a1de4962fafa054"
BTC = "0x4254432d3130000000000000000000"


def orders_for(key: Signer, count: int) -> list[LimitOrder]:  # a PrivateKey, or a KMS key
    return [LimitOrder(amount_synthetic=100_000 + n, amount_collateral=4_200_000_000,
                       amount_fee=2_100_000, asset_id_synthetic=BTC, asset_id_collateral=USDC,
                       position_id=1001, is_buying_synthetic=n % 2 == 0, nonce=n,
                       public_key=key.public_key.x, expiration_timestamp=1_767_225_600)
            for n in range(count)]


def load_key(argv: list[str] | None = None) -> PrivateKey:
    """The bot's key: the keystore KEYSTORE, unlocked once at start with the
    passphrase in --passphrase-file FILE (a secrets manager's or systemd's
    credentials file; one trailing newline dropped), else in
    $QUILLET_KEY_PASSPHRASE. Never the passphrase itself on the command line."""
    parser = argparse.ArgumentParser(description="Signs orders with the key of a keystore.")
    parser.add_argument("keystore", metavar="KEYSTORE")
    parser.add_argument("--passphrase-file", metavar="FILE")
    args = parser.parse_args(argv)
    try:
        if args.passphrase_file is None:
            return PrivateKey.from_keystore(args.keystore)  # $QUILLET_KEY_PASSPHRASE
        with open(args.passphrase_file, encoding="utf-8") as file:
            return PrivateKey.from_keystore(args.keystore, file.read().removesuffix("\n"))
    except (OSError, QuilletError) as error:  # their texts never hold a key or passphrase
        parser.error(str(error))


def main() -> int:
    url = os.environ.get("QUILLET_SIGNER_URL")
    if url:  # the key stays in the signing service
        with quillet.RemoteSigner(url, key=os.environ.get("QUILLET_SIGNER_KEY", "desk"),
                                  ca=os.environ.get("QUILLET_SIGNER_CA")) as remote:
            return run(remote)
    return run(load_key())


def run(signer: Signer) -> int:
    public: PublicKey = signer.public_key
    orders = orders_for(signer, 20)

    signature: Signature = signer.sign(orders[0])
    assert public.verify(signature, orders[0])
    if isinstance(signer, PrivateKey):  # the module's own result, byte for byte
        assert signature.to_json() == quillet_python_sdk.sign_limit_order(
            orders[0].to_json(), signer.to_text())

    done: list[int] = []
    outcomes: list[Outcome[str]] = batch.sign_many(
        "limit-order", [*orders, "{}"], signer, outcomes=True,
        progress=lambda finished, total: done.append(finished))
    signed = [o.unwrap() for o in outcomes if o.ok]
    failed = [o for o in outcomes if not o.ok]
    assert len(signed) == 20 and [o.index for o in failed] == [20] and done[-1] == 21

    try:
        LimitOrder.from_json(orders[0].to_json().replace('"nonce":"0"', '"nonce":"0x11"'))
    except InvalidDocument as error:
        assert error.field == "nonce"
    try:
        quillet_python_sdk.hash_transfer("{}")
    except quillet.PanicException as error:
        reason: object = error.args[0]
        assert isinstance(reason, str)
    try:
        PrivateKey("0xnot a key")
    except QuilletError as error:
        assert "not a private key" in str(error)
    print(f"signed {len(signed)} orders, {len(failed)} refused")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
