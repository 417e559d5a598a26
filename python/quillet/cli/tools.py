"""bench: the timings of the module's functions and of the batch calls."""

from __future__ import annotations

import argparse

from quillet import bench
from quillet.cli.common import EXIT_OK, Failure, Inputs, emit, emit_text


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

