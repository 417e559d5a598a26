"""on-curve: a public-key text pair against the curve."""

from __future__ import annotations

import argparse

from quillet.cli.common import EXIT_FALSE, EXIT_OK, Inputs, core_call, emit


def cmd_on_curve(args: argparse.Namespace, inputs: Inputs) -> int:
    on_curve = core_call("is_on_curve", args.x, args.y)
    emit({"on_curve": on_curve})
    return EXIT_OK if on_curve else EXIT_FALSE

