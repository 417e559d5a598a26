"""demo, audit and bench: the sample run, the check of order logs, the timings."""

from __future__ import annotations

import argparse

from quillet import bench, demo
from quillet.audit import command as audit_command
from quillet.audit.run import AuditError
from quillet.cli.common import EXIT_OK, Failure, Inputs, emit, emit_text, write_out


def cmd_demo(args: argparse.Namespace, inputs: Inputs) -> int:
    if audit_command.sample_options_without_log(args):
        raise Failure("the options of a sample log need --log FILE")
    if args.log is not None and args.documents is not None:
        raise Failure("--log and --documents are two different samples: give one")
    if args.log is not None:
        try:
            emit(audit_command.demo_log(args))
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
        status, text = audit_command.audit(args)
    except AuditError as error:
        raise Failure(str(error)) from None
    write_out(text)
    return status


def cmd_bench(args: argparse.Namespace, inputs: Inputs) -> int:
    if args.batch:
        if args.functions:
            raise Failure("--batch times the batch functions only: give no FUNCTION")
        rows = bench.run_batch(args.batch_size, args.rounds, args.min_time)
        if args.table:
            emit_text(bench.batch_table(rows))
        else:
            emit({row.name: {"items_per_s": round(row.items_per_s), "ratio": round(row.ratio, 3),
                             "ratio_min": round(row.ratio_min, 3),
                             "ratio_max": round(row.ratio_max, 3), "cores": round(row.cores, 2),
                             "cpu_us_per_item": round(row.cpu_per_item * 1e6, 1)}
                  for row in rows})
        return EXIT_OK
    results = bench.run(set(args.functions) or None, args.rounds, args.min_time)
    if args.table:
        emit_text(bench.table(results))
    else:
        emit({name: {"median_us": round(seconds * 1e6, 3), "ops_per_s": round(1 / seconds)}
              for name, seconds in results})
    return EXIT_OK

