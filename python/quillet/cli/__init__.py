"""The `quillet` command: the functions of quillet_python_sdk from the shell.

Every command calls the module's functions and never computes a hash, key or
signature itself. Results go to stdout as JSON. A failure prints one line on
stderr and exits with status 2; `verify` and `on-curve` exit with 1 when
their answer is false. Private keys are read from --key-file FILE or from the
QUILLET_PRIVATE_KEY environment variable, never from the command line; a
keystore's passphrase from --passphrase-file FILE, QUILLET_KEY_PASSPHRASE or
the terminal (without echo), never from the command line either; with
--signer URL the commands that sign do so through a signing service, whose
token is read from --token-file FILE or QUILLET_SIGNER_TOKEN, never from the
command line.
"""

from __future__ import annotations

import importlib
import sys
from collections.abc import Sequence

from quillet.cli.common import (EXIT_FAILURE, Failure, Inputs, OutputFailure, command_name,
                                discard_stdout, report, write_out)
from quillet.cli.parser import FAMILIES, build_parser
from quillet.keystore import PASSPHRASE_VARIABLE
from quillet.signer import TOKEN_VARIABLE

__all__ = ["main"]


def main(argv: Sequence[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else list(argv)
    # The command is the first word that is no option (the parser's own take
    # no value). A command of FAMILIES has its module imported here, at its
    # start, before it starts any thread (as `serve` imports the service's);
    # a help imports them all, so that every help is whole.
    command = next((item for item in argv if not item.startswith("-")), None)
    if "-h" in argv or "--help" in argv:
        wanted = set(FAMILIES.values())
    elif command in FAMILIES:
        wanted = {FAMILIES[command]}
    else:
        wanted = set()
    parser = build_parser({name: importlib.import_module(name) for name in wanted})
    for item in argv:
        # Not quoted: it may hold the passphrase itself (argparse would take
        # "--passphrase=a b" for a file name, and name it in its error).
        if item.startswith("--passphrase") and item.partition("=")[0] != "--passphrase-file":
            parser.error("a passphrase is never given on the command line: use "
                         f"--passphrase-file FILE or {PASSPHRASE_VARIABLE}")
        if item.startswith("--new-passphrase") and \
                item.partition("=")[0] != "--new-passphrase-file":
            parser.error("a passphrase is never given on the command line: use "
                         "--new-passphrase-file FILE or the prompt")
        if item.startswith("--token") and item.partition("=")[0] != "--token-file":
            parser.error("a token is never given on the command line: use --token-file FILE "
                         f"or {TOKEN_VARIABLE}")
    args, extra = parser.parse_known_args(argv)
    # argparse gives a list of positionals only those before the first option:
    # verify's arguments may stand on both sides of --kind, and a document's
    # FILE after --ndjson.
    plain = not any(item.startswith("-") and item != "-" for item in extra)
    if extra and getattr(args, "command", None) == "verify" and plain:
        args.arguments += extra
        extra = []
    if "file" in args and args.file is None:
        args.file = extra.pop(0) if len(extra) == 1 and plain else "-"
    if extra:
        parser.error(f"unrecognized arguments: {' '.join(extra)}")
    try:
        status: int = args.handler(args, Inputs())
        write_out("", flush=True)
        return status
    except OutputFailure as failure:
        discard_stdout()
        if not failure.broken_pipe:  # else the reader went away (`quillet bench | head`)
            report(command_name(args), failure)
    except Failure as failure:
        try:
            write_out("", flush=True)
        except OutputFailure:
            discard_stdout()  # the failure below is the one to report
        report(command_name(args), failure)
    return EXIT_FAILURE

