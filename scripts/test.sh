#!/usr/bin/env bash
# Sets up the machine, then builds and runs the whole suite twice: a normal
# build and an AddressSanitizer + UndefinedBehaviorSanitizer build.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

jobs=$(nproc)
status=0

run_suite() {
  local name=$1; shift
  echo "== $name build"
  cmake -S . -B "build-$name" "$@" >/dev/null
  cmake --build "build-$name" -j "$jobs"
  echo "== $name tests"
  (cd "build-$name" && ctest -j "$jobs" --output-on-failure) || status=1
}

run_suite release -DCMAKE_BUILD_TYPE=RelWithDebInfo
run_suite sanitize -DCMAKE_BUILD_TYPE=Debug -DQPP_SANITIZE=ON -DQPP_BUILD_BENCH=OFF

exit $status
