"""Times the module's functions from Python: median µs/op and ops/s.

Run after installing the module: .venv/bin/python bench/bench_module.py
"""

import sys

from quillet.bench import cases, measure  # the timing code, shared with `quillet bench`


def main():
    print(f"{'function':32} {'median µs/op':>14} {'ops/s':>12}")
    for name, fn in cases():
        seconds = measure(fn)
        print(f"{name:32} {seconds * 1e6:14.2f} {1 / seconds:12.0f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
