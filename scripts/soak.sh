#!/usr/bin/env bash
# Builds the memory soak benchmark (build-release, RelWithDebInfo) and runs
# it: a million single-flow events and a thousand flow maps of a thousand
# flows through a script that keeps nothing, then events queued behind a
# held callback. Fails when the heap grows by more than 1 MiB per million
# events (or flows) after warm-up, or resident memory by more than 4 MiB; a
# leak of a single byte per event would show as about 1 MiB in the heap.
# Last, a script taking 1 ms per event behind a queue bounded to 1000
# events, fed as fast as the host can for 5 s: memory must stay flat and
# every event sent be served or dropped.
#
#   bash scripts/soak.sh [qpp-bench-soak options]
#
# Options given here replace the defaults of the run, e.g.
#   bash scripts/soak.sh --events 200000 --maps 200 --max-growth 1024
# About half a minute on two cores with the defaults; the queue phase holds
# some 350 MiB at its peak.
set -euo pipefail
cd "$(dirname "$0")/.."

build=build-release
start=$SECONDS
echo "== soak build ($build)"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)" --target qpp-bench-soak

args=("$@")
if ((${#args[@]} == 0)); then
  args=(--events 1000000 --maps 1000 --map-flows 1000 --queued 100000
    --queued-maps 100 --max-growth 1024)
fi

echo "== soak run: ${args[*]}"
status=0
"$build/bench/qpp-bench-soak" "${args[@]}" || status=1
echo "== soak: $((SECONDS - start)) s, $([[ $status == 0 ]] && echo passed || echo FAILED)"
exit $status
