#!/usr/bin/env bash
# Installs what the project needs on a fresh Debian 12 machine: the system
# packages it compiles against, the cross compiler and emulator of the aarch64
# build (scripts/arm64_sysroot.sh fetches that build's arm64 libraries),
# PostgreSQL's server programs (the signing service's tests start a
# throw-away cluster of their own), and a Python 3.12 virtual environment
# (.venv).
# Safe to run again: it only installs what is missing.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(g++ pkg-config libssl-dev libb2-dev rapidjson-dev libgtest-dev libbenchmark-dev
          clang libclang-rt-14-dev valgrind ccache g++-aarch64-linux-gnu qemu-user-static
          postgresql)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  echo "bootstrap: installing ${missing[*]}"
  # Installing postgresql would start the system's own cluster: the tests
  # need only its programs. A policy-rc.d that denies every start, for the
  # install only (unless the machine has one of its own).
  policy=""
  if [ ! -e /usr/sbin/policy-rc.d ]; then
    policy=/usr/sbin/policy-rc.d
    trap '$sudo rm -f "$policy"' EXIT  # also when the install fails
    printf '#!/bin/sh\nexit 101\n' | $sudo tee "$policy" >/dev/null
    $sudo chmod 755 "$policy"
  fi
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
  if [ -n "$policy" ]; then
    $sudo rm -f "$policy"
    trap - EXIT
  fi
fi

find_python312() {
  if command -v python3.12 >/dev/null 2>&1 && python3.12 -c 'import venv' 2>/dev/null; then
    command -v python3.12
    return
  fi
  local root
  root=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
  local candidate
  for candidate in "$root"/versions/3.12*/bin/python3.12; do
    [ -x "$candidate" ] && { echo "$candidate"; return; }
  done
  echo "bootstrap: CPython 3.12 not found (looked on PATH and under $root/versions)" >&2
  exit 1
}

if [ ! -x .venv/bin/python ] || ! .venv/bin/python -c 'import sys; assert sys.version_info[:2] == (3, 12)' 2>/dev/null; then
  rm -rf .venv
  "$(find_python312)" -m venv .venv
fi
.venv/bin/python -m pip install -q --disable-pip-version-check -r requirements-dev.txt
