"""`quillet audit` and `quillet demo`: their options and their work.

These two commands alone need the audit's modules (quillet.audit.run runs a
pool of worker processes: multiprocessing, concurrent.futures, logging),
which would cost every other command a good part of its start. So this
module is imported only for them (and for the whole help), by
quillet.cli.main at the start of the command, before the command starts any
thread (quillet.cli.parser.FAMILIES).
"""

from __future__ import annotations

import argparse
import json
import sys
from typing import Any

from quillet import demo
from quillet.audit import log, run, sample
from quillet.audit.run import AuditError
from quillet.cli.common import EXIT_OK, Failure, Inputs, emit, write_out
from quillet.cli.parser import Command, positive_int

EXIT_ALL_VALID = 0
EXIT_NOT_VALID = 1


def _count_or_zero(text: str) -> int:
    if not text.isdigit():
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}")
    return int(text)


def _share(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = -1.0
    if not 0 <= value <= 1:
        raise argparse.ArgumentTypeError(f"not a share from 0 to 1: {text!r}")
    return value


def _audit_options(sub: argparse.ArgumentParser) -> None:
    sub.add_argument("logs", metavar="LOG", nargs="+",
                     help="order log: NDJSON (plain or gzip) or Parquet, told apart by content; "
                          "a pipe, device or - (standard input) is read as a stream of NDJSON; "
                          "each log may be named once")
    sub.add_argument("--jobs", type=positive_int, metavar="N",
                     help="worker processes on this machine (default: one per core); "
                          "1 checks in this process with quillet.batch's threads")
    sub.add_argument("--dask", metavar="SCHEDULER",
                     help="run on a Dask cluster: a scheduler's address (tcp://host:8786), or "
                          "local:N for a LocalCluster of N processes; the logs must be readable "
                          "at the same path on every worker")
    sub.add_argument("--part-size", type=positive_int, default=run.PART_BYTES, metavar="BYTES",
                     help=f"bytes of log per cluster task (default {run.PART_BYTES})")
    sub.add_argument("--chunk", type=positive_int, default=run.CHUNK, metavar="N",
                     help=f"records a worker checks at once (default {run.CHUNK})")
    sub.add_argument("--max-issues", type=_count_or_zero, default=run.MAX_ISSUES, metavar="N",
                     help=f"details of the first N records not valid in the report (default "
                          f"{run.MAX_ISSUES}); all are counted")
    sub.add_argument("--issues", metavar="FILE",
                     help="write every record not valid to FILE, one JSON object per line")
    sub.add_argument("--table", action="store_true",
                     help="print text tables instead of JSON")
    sub.add_argument("--no-progress", action="store_true",
                     help="no progress bar (shown only when stderr is a terminal)")


def _audit(args: argparse.Namespace) -> tuple[int, str]:
    """Runs the audit; returns the exit status (0 when every record is valid,
    else 1) and the text to print."""
    bar = None
    if not args.no_progress and sys.stderr is not None and sys.stderr.isatty():
        bar = run.ProgressBar(sys.stderr)
    try:
        result = run.audit(args.logs, jobs=args.jobs, dask=args.dask, chunk=args.chunk,
                           part_bytes=args.part_size, progress=bar, hide_diagnostics=True,
                           max_issues=args.max_issues, issues=args.issues)
    finally:
        if bar is not None:
            bar.close()
    if not result.records:
        sys.stderr.write("quillet audit: no records were found\n")
    text = result.table() if args.table else json.dumps(result.to_json(), indent=2)
    return (EXIT_ALL_VALID if result.ok else EXIT_NOT_VALID), text + "\n"


def _demo_log_options(sub: argparse.ArgumentParser) -> None:
    group = sub.add_argument_group(
        "sample log", "With --log, writes a sample order log instead of running the demo; "
                      "each share is the fraction of records corrupted that way.")
    group.add_argument("--log", metavar="FILE",
                       help="the log to write: .parquet, .gz (gzip NDJSON), else NDJSON")
    # Defaults are None, so that options given without --log can be refused.
    group.add_argument("--count", type=positive_int, metavar="N",
                       help="records in the log (default 1000)")
    for name in sample.CORRUPTIONS:
        group.add_argument(f"--{name}", type=_share, metavar="SHARE",
                           dest=name.replace("-", "_"))
    group.add_argument("--document", choices=("json", "struct"),
                       help="Parquet: the document as a JSON text column (default) or as "
                            "struct columns")
    group.add_argument("--seed", type=int, help="seed of the random choices (default 1)")


_SAMPLE_OPTIONS = ("count", "document", "seed", *(n.replace("-", "_") for n in sample.CORRUPTIONS))


def _sample_options_without_log(args: argparse.Namespace) -> bool:
    """Whether options of the sample log were given without --log."""
    return args.log is None and any(getattr(args, o) is not None for o in _SAMPLE_OPTIONS)


def _demo_log(args: argparse.Namespace) -> dict[str, Any]:
    """Writes the sample log; returns what it holds."""
    shares: dict[sample.Corruption, float] = {
        name: getattr(args, name.replace("-", "_")) or 0.0 for name in sample.CORRUPTIONS}
    if sum(shares.values()) > 1:
        raise AuditError("the corruption shares add up to more than 1")
    corrupted = dict.fromkeys(sample.CORRUPTIONS, 0)

    def records() -> Any:
        count = 1000 if args.count is None else args.count
        seed = 1 if args.seed is None else args.seed
        for record, corruption in sample.sample_log(count, shares, seed=seed):
            if corruption is not None:
                corrupted[corruption] += 1
            yield record

    try:
        written = log.write_log(args.log, records(), document=args.document or "json")
    except OSError as error:
        raise AuditError(f"cannot write {args.log}: {error.strerror}") from None
    except log.LogError as error:
        raise AuditError(str(error)) from None
    return {"log": args.log, "records": written, "corrupted": corrupted}


def cmd_demo(args: argparse.Namespace, inputs: Inputs) -> int:
    if _sample_options_without_log(args):
        raise Failure("the options of a sample log need --log FILE")
    if args.log is not None and args.documents is not None:
        raise Failure("--log and --documents are two different samples: give one")
    if args.log is not None:
        try:
            emit(_demo_log(args))
        except AuditError as error:
            raise Failure(str(error)) from None
        return EXIT_OK
    if args.documents is not None:
        try:
            written = demo.write_documents(args.documents)
        except OSError as error:
            raise Failure(f"cannot write the documents to {args.documents}: "
                          f"{error.strerror}") from None
        emit({"documents": written}, indent=2)
        return EXIT_OK
    report = demo.run()
    emit(report, indent=2)
    if not report["ok"]:
        raise Failure(f"{report['failed_signatures']} signatures did not verify or a check failed")
    return EXIT_OK


def cmd_audit(args: argparse.Namespace, inputs: Inputs) -> int:
    try:
        status, text = _audit(args)
    except AuditError as error:
        raise Failure(str(error)) from None
    write_out(text)
    return status


def add_commands(command: Command) -> None:
    """Adds `demo` and `audit`, their options and handlers, with the parser's
    `command`."""
    demo_command = command("demo", cmd_demo, "run the end-to-end demo on embedded data",
                           "Derives a key, hashes and signs one document of each kind and a "
                           "message, verifies every signature and prints the report; exits 2 "
                           "if anything fails. With --documents, writes a sample document of "
                           "each kind instead.")
    demo_command.add_argument("--documents", metavar="DIR",
                              help="write KIND.json (one sample document per kind) and seed.txt "
                                   "into DIR, created if missing, and print their names")
    _demo_log_options(demo_command)
    _audit_options(command("audit", cmd_audit, "check every signed record of order logs",
                           "Checks that every record's document hashes, names the key that "
                           "signed it and carries a signature that verifies; prints the counts "
                           "per kind and outcome and every record that is not valid. Exits 0 "
                           "when all are valid, 1 when some are not, 2 on failure."))
