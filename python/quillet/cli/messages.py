"""sign-message and eth-sign: 256-bit messages given as hex text."""

from __future__ import annotations

import argparse
import string

import quillet_python_sdk as sdk

from quillet.cli.common import EXIT_OK, Failure, Inputs, call, emit_text
from quillet.cli.documents import signed
from quillet.cli.keys import signer
from quillet.keys import SUBGROUP_ORDER, PrivateKey


def refuse_message_zero(msg: str, prefixes: tuple[str, ...]) -> None:
    """Failure if `msg`, read as the module reads it after dropping `prefixes`,
    is 0 modulo the group order: its signature verifies under every key."""
    digits = msg
    for prefix in prefixes:
        while digits.startswith(prefix):
            digits = digits[len(prefix):]
    if all(c in string.hexdigits for c in digits) and int(digits or "0", 16) % SUBGROUP_ORDER == 0:
        raise Failure(f"message {msg!r} is 0 modulo the group order: its signature verifies "
                      "under every public key, so it is never signed")



def cmd_sign_message(args: argparse.Namespace, inputs: Inputs) -> int:
    with signer(args, inputs) as key:
        refuse_message_zero(args.msg, ("0x",))
        if isinstance(key, PrivateKey):
            emit_text(call(sdk.sign, key.to_text(), args.msg, secret=key))
        else:
            emit_text(signed(lambda: key.sign_message(args.msg)).to_json())
    return EXIT_OK


def cmd_eth_sign(args: argparse.Namespace, inputs: Inputs) -> int:
    with signer(args, inputs) as key:
        refuse_message_zero(args.msg, ("0x", "0X", "0x"))  # as eth_sign trims them
        if isinstance(key, PrivateKey):
            emit_text(call(sdk.eth_sign, key.to_text(), args.msg, secret=key))
        else:
            emit_text(signed(lambda: key.eth_sign(args.msg)).to_json())
    return EXIT_OK
