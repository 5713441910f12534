#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer, in build-fuzz), replays every committed seed
# and past crash input once, then fuzzes each target for a bounded time.
#
#   bash scripts/fuzz.sh [SECONDS]     (per target; default 45)
#
# Each target fuzzes a scratch copy of its corpus (fuzz/corpus/<target> and
# fuzz/regressions/<target>), so the committed corpus never grows. Whatever
# a target finds is kept in build-fuzz/findings/<target>/ with its log; to
# reproduce, run the target on that file. One summary line per target.
# Exit status: 0 nothing found; 1 a target found a crash, leak, timeout or
# broken invariant (or a committed input failed again); 2 the targets could
# not be built or run.
set -uo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-45}
if ! [[ $seconds =~ ^[0-9]+$ ]] || ((seconds == 0)); then
  echo "usage: bash scripts/fuzz.sh [SECONDS]" >&2
  exit 2
fi

targets=(fuzz-config fuzz-encode fuzz-replay fuzz-capture fuzz-channel)
# The encoder's inputs are cheaper short, and no longer reach more: list
# lengths come from two bytes, and an exhausted input yields empty items.
# A capture's seeds are whole conversations of a few kilobytes each.
declare -A max_len=([fuzz-encode]=4096 [fuzz-capture]=16384)

# The fuzzer runtime comes with clang's compiler-rt (Debian: libclang-rt-14-dev).
if ! command -v clang++ >/dev/null; then
  echo "fuzz: clang++ not found (bash scripts/setup.sh installs it)" >&2
  exit 2
fi
runtime="$(clang++ -print-resource-dir)/lib/linux/libclang_rt.fuzzer-$(uname -m).a"
if [[ ! -f $runtime ]]; then
  echo "fuzz: the libFuzzer runtime $runtime is missing" \
    "(bash scripts/setup.sh installs libclang-rt-14-dev)" >&2
  exit 2
fi

build=build-fuzz
echo "== fuzz: build ($build)"
mkdir -p "$build"
if ! CXX=clang++ cmake -S . -B "$build" -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQPP_FUZZ=ON \
    -DQPP_BUILD_TESTS=OFF -DQPP_BUILD_BENCH=OFF >"$build/configure.log" 2>&1; then
  cat "$build/configure.log"
  exit 2
fi
if ! cmake --build "$build" -j "$(nproc)"; then
  exit 2
fi

scratch=$(mktemp -d "${TMPDIR:-/tmp}/qpp-fuzz.XXXXXX") || exit 2
trap 'rm -rf "$scratch"' EXIT

# The embedded interpreter keeps memory on purpose until the process ends;
# tests/lsan.supp names it. Leak detection stays on for everything else.
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0"
export ASAN_OPTIONS="detect_leaks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

status=0
summary=()

# Committed inputs first: a seed or a past crash input that fails again is
# a regression, whatever the fuzzing finds.
echo "== fuzz: committed inputs"
if ctest --test-dir "$build/fuzz" --output-on-failure; then
  summary+=("committed inputs: passed")
else
  summary+=("committed inputs: FAILED (see the ctest output above)")
  status=1
fi

# The cause of a finding, from the target's log.
finding() {
  local log=$1
  if grep -q "invariant violated" "$log"; then echo "broken invariant"
  elif grep -q "ERROR: LeakSanitizer" "$log"; then echo "leak"
  elif grep -q "ERROR: AddressSanitizer" "$log"; then
    echo "$(grep -m1 -o 'AddressSanitizer: [a-z-]*' "$log" | cut -d' ' -f2)"
  elif grep -q "runtime error:" "$log"; then echo "undefined behaviour"
  elif grep -q "ERROR: libFuzzer: timeout" "$log"; then echo "timeout"
  elif grep -q "ERROR: libFuzzer: out-of-memory" "$log"; then echo "out of memory"
  elif grep -q "ERROR: libFuzzer: deadly signal" "$log"; then echo "crash"
  else echo "failure"
  fi
}

for target in "${targets[@]}"; do
  work="$scratch/$target"
  findings="$build/findings/$target"
  rm -rf "$findings"
  mkdir -p "$work/corpus" "$findings"
  cp fuzz/corpus/"$target"/* "$work/corpus/"
  if [[ -d fuzz/regressions/$target ]]; then
    cp fuzz/regressions/"$target"/* "$work/corpus/"
  fi
  options=(-max_total_time="$seconds" -timeout=30 -print_final_stats=1
    -artifact_prefix="$PWD/$findings/")
  [[ -n ${max_len[$target]:-} ]] && options+=(-max_len="${max_len[$target]}")

  echo "== fuzz: $target for $seconds s"
  # In the scratch directory: a relative path that a configuration names
  # resolves there, and a target's temporary files go there too.
  binary="$PWD/$build/fuzz/$target"
  (cd "$work" && TMPDIR="$work" "$binary" "${options[@]}" corpus \
    </dev/null >"$work/log" 2>&1)
  rc=$?
  cp "$work/log" "$findings/log"

  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log")
  speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$work/log")
  last=$(grep -E '^#[0-9]+[[:space:]].*cov: ' "$work/log" | tail -1)
  cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$last")
  ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$last")
  corp=$(sed -n 's/.* corp: \([0-9]*\)\/.*/\1/p' <<<"$last")
  if [[ -z $runs ]]; then runs=$(sed -n 's/^#\([0-9]*\).*/\1/p' <<<"$last"); fi

  if ((rc == 0)); then
    result="ok"
  else
    input=$(sed -n 's/.*Test unit written to \(.*\)$/\1/p' "$work/log" | tail -1)
    result="FOUND $(finding "$work/log"): ${input:-no input saved} (log: $findings/log)"
    status=1
    # The report itself, for whoever reads the run's output.
    grep -E -A12 'ERROR: |invariant violated|runtime error:' "$work/log" | head -40
  fi
  line=$(printf '%-12s %5s s  %9s runs  %6s exec/s  cov %5s  ft %6s  corpus %5s  %s' \
    "$target" "$seconds" "${runs:-?}" "${speed:-?}" "${cov:-?}" "${ft:-?}" "${corp:-?}" "$result")
  echo "$line"
  summary+=("$line")
done

echo
echo "== fuzz: summary"
printf '%s\n' "${summary[@]}"
exit $status
