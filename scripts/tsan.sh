#!/usr/bin/env bash
# Builds the stress test with ThreadSanitizer (build-tsan) and runs it; with
# --all, the host and unit tests as well. Fails on any report (a data race,
# a lock-order inversion, a thread leak) and on a test that fails or hangs.
#
#   bash scripts/tsan.sh [--all]
#
# QPP_TSAN_PYTHON=/path/to/python3.X embeds another interpreter (its own
# build directory, build-tsan-3.X). QPP_STRESS_MS sets how long the stress
# test keeps events and reloads going (default 2000).
#
# CPython itself is not instrumented. What the plugin's threads do between
# taking and giving up the interpreter lock is still ordered for the
# sanitizer: the lock is a pthread mutex and condition variable, whose calls
# it intercepts.
set -euo pipefail
cd "$(dirname "$0")/.."

all=0
for arg in "$@"; do
  case $arg in
    --all) all=1 ;;
    *) echo "usage: $0 [--all]" >&2; exit 2 ;;
  esac
done

build=build-tsan
configure=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DQPP_TSAN=ON -DQPP_BUILD_BENCH=OFF)
if [[ -n ${QPP_TSAN_PYTHON:-} ]]; then
  version=$("$QPP_TSAN_PYTHON" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  build=build-tsan-$version
  configure+=(-DPython3_EXECUTABLE="$QPP_TSAN_PYTHON")
fi

targets=(qpp-stress-tests)
select=(-R '^(process/)?Stress\.')
if ((all)); then
  # Everything but the replay tool's tests, examples and the stub check,
  # which need the tool and which this build does not make.
  targets+=(qpp-host-tests qpp-unit-tests)
  select=(-E '_NOT_BUILT$|^example\.|^stub\.')
fi

start=$SECONDS
probe=$(mktemp -d /tmp/qpp-tsan-probe-XXXXXX)
trap 'rm -rf "$probe"' EXIT

# The sanitizer of some toolchains cannot lay out its shadow memory under
# the address-space randomisation of newer kernels ("FATAL: ThreadSanitizer:
# unexpected memory mapping"). A small program tells; if it fails, the build
# (which lists the tests by running them) and the tests run with
# randomisation off, which child processes inherit.
runner=()
printf 'int main() { return 0; }\n' >"$probe/probe.cpp"
"${CXX:-c++}" -fsanitize=thread "$probe/probe.cpp" -o "$probe/probe"
if ! "$probe/probe" 2>"$probe/error"; then
  if ! grep -q "unexpected memory mapping" "$probe/error"; then
    cat "$probe/error" >&2
    exit 1
  fi
  runner=(setarch "$(uname -m)" -R)
  "${runner[@]}" "$probe/probe"
  echo "tsan: running with address-space randomisation off"
fi

echo "== tsan build ($build)"
cmake -S . -B "$build" "${configure[@]}" >/dev/null
"${runner[@]}" cmake --build "$build" -j "$(nproc)" --target "${targets[@]}"

# Reports go to files as well as failing the process that made them, so
# that one made in a child process whose exit status a test does not look
# at is not lost.
reports=$probe/reports
mkdir "$reports"
# Script runners run as another user, and write their reports here too.
chmod 755 "$probe"
chmod 1777 "$reports"
options="halt_on_error=1 second_deadlock_stack=1 exitcode=66 log_path=$reports/report"
if [[ -f tests/tsan.supp ]]; then
  options+=" suppressions=$PWD/tests/tsan.supp"
fi
export TSAN_OPTIONS="$options${TSAN_OPTIONS:+ $TSAN_OPTIONS}"

echo "== tsan tests"
status=0
"${runner[@]}" ctest --test-dir "$build" -j "$(nproc)" --output-on-failure \
  "${select[@]}" || status=1

# The stress test's own figures: reload rounds and what each script saw.
grep -hE "reload rounds|^stress-report" "$build/Testing/Temporary/LastTest.log" 2>/dev/null || true

if compgen -G "$reports/report*" >/dev/null; then
  echo "== ThreadSanitizer reports"
  cat "$reports"/report*
  status=1
fi

echo "== tsan: $((SECONDS - start)) s, $([[ $status == 0 ]] && echo clean || echo FAILED)"
exit $status
