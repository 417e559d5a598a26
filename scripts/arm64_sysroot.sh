#!/usr/bin/env bash
# Lays out the arm64 (aarch64) trees that the cross build and the emulated
# tests use, from Debian's own arm64 packages, without touching the machine's
# package database:
#   build/arm64/dev     Debian 12's arm64 -dev packages the cross compiler
#                       (g++-aarch64-linux-gnu) links against: libcrypto and
#                       libb2 (static archives), GoogleTest, RapidJSON.
#   build/arm64/python  Debian 13's python3.13 for arm64 with its libraries
#                       and headers, run under qemu-aarch64-static with
#                       QEMU_LD_PREFIX pointing here (usr/bin/python3-qemu);
#                       scripts/ci_arm64.sh puts the test dependencies in its
#                       usr/local.
# A private apt configuration per suite resolves and downloads the packages
# from the archive the machine's own apt sources name; the .debs and the
# indexes stay in a cache (QUILLET_ARM64_CACHE, default ~/.cache/quillet-arm64)
# so that a second run, or a fresh clone on the same machine, downloads
# nothing. Each tree is unpacked again only when its package set changes.
#
# Usage: scripts/arm64_sysroot.sh [dev|python]...  (default: both)
set -euo pipefail
cd "$(dirname "$0")/.."

cache=${QUILLET_ARM64_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/quillet-arm64}
out=build/arm64
mkdir -p "$cache" "$out"

dev_suite=bookworm
dev_packages=(libssl-dev libb2-dev libgtest-dev rapidjson-dev)
python_suite=trixie
python_packages=(python3.13 libpython3.13-dev libstdc++6)

# The Debian archive the machine already uses: the first source of its main
# suite, in either format of apt's source lists.
archive_uri() {
  local codename
  codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
  local f
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    awk -v suite="$codename" '
      /^[[:space:]]*$/ { if (uri != "" && ok) { print uri; exit } uri = ""; ok = 0; next }
      $1 == "URIs:" { uri = $2 }
      $1 == "Suites:" { for (i = 2; i <= NF; i++) if ($i == suite) ok = 1 }
      END { if (uri != "" && ok) print uri }' "$f" | head -n 1
  done
  local l
  for l in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$l" ] || continue
    awk -v suite="$codename" '$1 == "deb" {
        i = 2; if ($2 ~ /^\[/) { while ($i !~ /\]$/) i++; i++ }
        if ($(i + 1) == suite) { print $i; exit } }' "$l"
  done
}
uri=$(archive_uri | head -n 1)
if [ -z "$uri" ]; then
  echo "arm64_sysroot: no Debian archive found in the machine's apt sources" >&2
  exit 1
fi

# apt-get with a private root: its own sources, an empty package database (so
# every dependency is resolved and fetched for arm64) and its own cache.
private_apt() {
  local suite=$1; shift
  local root="$cache/apt-$suite"
  apt-get -q -o Dir="$root" -o Dir::State::status="$root/status" \
    -o Dir::Etc::trusted=/dev/null -o Dir::Etc::trustedparts=/dev/null \
    -o APT::Architecture=arm64 -o APT::Architectures=arm64 \
    -o APT::Install-Recommends=false -o APT::Sandbox::User=root -o Debug::NoLocking=true "$@"
}

# Fetches a suite's packages with their dependencies into the cache; prints
# the paths of the .debs that make up the tree.
fetch() {
  local suite=$1; shift
  local root="$cache/apt-$suite"
  mkdir -p "$root/etc/apt/apt.conf.d" "$root/etc/apt/preferences.d" "$root/etc/apt/sources.list.d" \
           "$root/var/lib/apt/lists/partial" "$root/var/cache/apt/archives/partial"
  touch "$root/status"
  local keyring=/usr/share/keyrings/debian-archive-keyring.gpg
  local line="deb [arch=arm64 signed-by=$keyring] $uri $suite main"
  # The indexes are refreshed once a day, or when the sources change.
  if [ "$(cat "$root/etc/apt/sources.list" 2>/dev/null)" != "$line" ] ||
     [ -z "$(find "$root/var/lib/apt/lists" -maxdepth 1 -name '*Packages*' -mmin -1440 2>/dev/null)" ]; then
    echo "$line" >"$root/etc/apt/sources.list"
    private_apt "$suite" update >"$root/update.log" 2>&1 || { cat "$root/update.log" >&2; exit 1; }
  fi
  # The versions apt would install, then each .deb, downloaded once.
  local plan
  plan=$(private_apt "$suite" install -s -y "$@" 2>&1) || { echo "$plan" >&2; exit 1; }
  private_apt "$suite" install -d -y "$@" >"$root/download.log" 2>&1 ||
    { cat "$root/download.log" >&2; exit 1; }
  echo "$plan" | awk '$1 == "Inst" { print $2, substr($3, 2) }' | while read -r name version; do
    local deb arch
    for arch in arm64 all; do
      deb="$root/var/cache/apt/archives/${name}_${version//:/%3a}_$arch.deb"
      if [ -f "$deb" ]; then echo "$deb"; fi
    done
  done
}

# Unpacks the .debs into a tree, unless it already holds exactly those.
unpack() {
  local tree=$1; shift
  local stamp="$tree/.packages"
  local want
  want=$(printf '%s\n' "$@" | xargs -n1 basename | sort)
  if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$want" ]; then
    return
  fi
  rm -rf "$tree"
  mkdir -p "$tree"
  local deb
  for deb in "$@"; do
    dpkg-deb -x "$deb" "$tree"
  done
  # The loader's path (/lib/ld-linux-aarch64.so.1) and the libraries' in a
  # merged-/usr layout.
  [ -e "$tree/lib" ] || ln -s usr/lib "$tree/lib"
  echo "$want" >"$stamp"
}

targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(dev python)
for t in "${targets[@]}"; do
  case "$t" in
    dev)
      # Only these packages, not their dependencies: the cross compiler
      # brings its own C library and C++ runtime (glibc 2.36, GCC 12), the
      # ones these archives were built against.
      mapfile -t debs < <(fetch "$dev_suite" "${dev_packages[@]}" | grep -E "/($(IFS='|'; echo "${dev_packages[*]}")|libssl3|libb2-1|googletest)_")
      unpack "$out/dev" "${debs[@]}"
      ;;
    python)
      mapfile -t debs < <(fetch "$python_suite" "${python_packages[@]}")
      unpack "$out/python" "${debs[@]}"
      # python3-qemu runs the interpreter under emulation; it is also its
      # sys.executable, so that child interpreters run the same way.
      root="$PWD/$out/python"
      printf '#!/bin/sh\nexec env QEMU_LD_PREFIX="%s" qemu-aarch64-static -0 "$0" "%s" "$@"\n' \
        "$root" "$root/usr/bin/python3.13" >"$root/usr/bin/python3-qemu"
      chmod +x "$root/usr/bin/python3-qemu"
      # Python.h includes <aarch64-linux-gnu/python3.13/pyconfig.h>: found
      # below its own directory, the cross build needs no -I for usr/include,
      # whose C library headers (glibc 2.41) must not replace the compiler's.
      ln -sfn ../aarch64-linux-gnu "$root/usr/include/python3.13/aarch64-linux-gnu"
      ;;
    *)
      echo "arm64_sysroot: unknown tree $t (dev or python)" >&2
      exit 1
      ;;
  esac
done
