"""The end-to-end demo, which lives in the quillet package: `quillet demo`.

Kept so that `python examples/demo.py` and scripts that take its sample data
(DOCUMENTS, MESSAGE) from here keep working.
"""

import sys

from quillet.cli import main
from quillet.demo import DOCUMENTS, MESSAGE, ORDER, SEED  # noqa: F401  (re-exported)

if __name__ == "__main__":
    sys.exit(main(["demo"]))
