"""sign-message and eth-sign: 256-bit messages given as hex text."""

from __future__ import annotations

import argparse

from quillet.cli.common import EXIT_OK, Inputs, emit_text, typed_call
from quillet.cli.keys import signer


def cmd_sign_message(args: argparse.Namespace, inputs: Inputs) -> int:
    # The key is read (and blamed) before the message is looked at; message 0,
    # whose signature verifies under every key, is refused by the key itself.
    with signer(args, inputs) as key:
        emit_text(typed_call(lambda: key.sign_message(args.msg)).to_json())
    return EXIT_OK


def cmd_eth_sign(args: argparse.Namespace, inputs: Inputs) -> int:
    with signer(args, inputs) as key:
        emit_text(typed_call(lambda: key.eth_sign(args.msg)).to_json())
    return EXIT_OK
