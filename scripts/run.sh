#!/usr/bin/env bash
# The main job: installs the module and runs the end-to-end demo.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh
source scripts/ccache.sh
.venv/bin/python -m pip install -q --disable-pip-version-check --no-build-isolation .
.venv/bin/quillet demo
