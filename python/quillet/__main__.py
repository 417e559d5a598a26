"""`python -m quillet`: the same as the `quillet` command."""

from quillet.cli import main

raise SystemExit(main())
