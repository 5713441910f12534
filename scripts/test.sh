#!/usr/bin/env bash
# Sets up the machine, then builds and runs everything that checks the
# plugin:
#   1. the suite, normal build, against the system's python3;
#   2. the suite under AddressSanitizer + UndefinedBehaviorSanitizer;
#   3. the suite against the oldest and the newest other CPython found;
#   4. the concurrency stress test under ThreadSanitizer;
#   5. each fuzz target for a bounded time;
#   6. the memory soak;
#   7. the Debian package: built, checked, unpacked and run (scripts/package.sh).
# Every stage runs even when an earlier one failed; the summary says which
# passed, and the exit status is non-zero if any failed.
set -uo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh || exit 1

jobs=$(nproc)
results=()
status=0

record() {
  local name=$1 rc=$2
  if ((rc == 0)); then results+=("passed  $name"); else results+=("FAILED  $name"); status=1; fi
}

run_suite() {
  local name=$1; shift
  echo "== $name: build"
  if ! cmake -S . -B "build-$name" "$@" >"build-$name.configure.log" 2>&1; then
    cat "build-$name.configure.log"; record "$name" 1; return
  fi
  if ! cmake --build "build-$name" -j "$jobs"; then record "$name" 1; return; fi
  echo "== $name: tests"
  (cd "build-$name" && ctest -j "$jobs" --output-on-failure)
  record "$name" $?
}

run_suite release -DCMAKE_BUILD_TYPE=RelWithDebInfo
run_suite sanitize -DCMAKE_BUILD_TYPE=Debug -DQPP_SANITIZE=ON -DQPP_BUILD_BENCH=OFF

mapfile -t others < <(bash scripts/pythons.sh /usr/bin/python3)
if ((${#others[@]} == 0)); then
  echo "== other interpreters: none found; only the system's python3 was tested"
  results+=("skipped other interpreters (none found)")
else
  picks=("${others[0]}")
  ((${#others[@]} > 1)) && picks+=("${others[-1]}")
  skipped=()
  if ((${#others[@]} > 2)); then
    for line in "${others[@]:1:${#others[@]}-2}"; do skipped+=("${line%% *}"); done
  fi
  echo "== other interpreters: testing ${picks[*]%% *}; not tested here: ${skipped[*]:-none}"
  for line in "${picks[@]}"; do
    read -r version exe <<<"$line"
    run_suite "py$version" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQPP_BUILD_BENCH=OFF \
      -DPython3_EXECUTABLE="$exe"
  done
fi

for stage in tsan fuzz soak package; do
  if [[ -f scripts/$stage.sh ]]; then
    echo "== $stage"
    case $stage in
      fuzz) bash scripts/fuzz.sh 45 ;;
      tsan) bash scripts/tsan.sh --all ;;
      *) bash "scripts/$stage.sh" ;;
    esac
    record "$stage" $?
  fi
done

echo
echo "== summary"
printf '%s\n' "${results[@]}"
exit $status
