#!/usr/bin/env bash
# Builds the libFuzzer harnesses (clang, ASan and UBSan, every layer
# instrumented) in build/fuzz and runs each one for a bounded time from its
# committed seed corpus. Fails on the first crash, sanitizer report, leak or
# broken property; the input that caused it is kept under build/fuzz/artifacts.
#
#   FUZZ_SECONDS   time per harness (default 15)
#   FUZZ_HARNESSES space-separated harness names (default: all)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh
source scripts/ccache.sh
seconds=${FUZZ_SECONDS:-15}

# The tree scripts/ci_sanitizers.sh runs the unit tests in: after it, only
# the harnesses are left to link. The unit tests' option is left as it is.
CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DQUILLET_BUILD_FUZZ=ON -DQUILLET_BUILD_PYTHON=OFF >/dev/null
cmake --build build/fuzz -j "$(nproc)"

harnesses=${FUZZ_HARNESSES:-$(cd fuzz && ls -- *_fuzz.cpp | sed 's/\.cpp$//')}
mkdir -p build/fuzz/artifacts
run() {
  local h=$1 name=${1%_fuzz}
  local dict=fuzz/hex.dict
  [[ $name == document_* ]] && dict=fuzz/documents.dict
  # New inputs go to a scratch directory; the committed corpus is only read.
  local scratch=build/fuzz/corpus/$name
  mkdir -p "$scratch"
  build/fuzz/fuzz/"$h" -max_total_time="$seconds" -timeout=60 -rss_limit_mb=2048 \
      -dict="$dict" -artifact_prefix=build/fuzz/artifacts/"$name"- -print_final_stats=1 \
      "$scratch" fuzz/corpus/"$name" 2>build/fuzz/"$name".log
}
# One harness per core at a time (each is single-threaded); their reports
# come in order.
set -- $harnesses
while [ $# -gt 0 ]; do
  batch=("${@:1:$(nproc)}")
  shift "${#batch[@]}"
  pids=()
  for h in "${batch[@]}"; do
    echo "fuzz: $h for ${seconds}s"
    run "$h" &
    pids+=($!)
  done
  for i in "${!batch[@]}"; do
    h=${batch[$i]}
    name=${h%_fuzz}
    wait "${pids[$i]}" || { tail -n 60 build/fuzz/"$name".log; echo "fuzz: $h failed"; exit 1; }
    grep -E '^stat::number_of_executed_units' build/fuzz/"$name".log | sed "s/^/fuzz: $h /" || true
  done
done
echo "fuzz: all harnesses passed"
