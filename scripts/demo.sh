#!/usr/bin/env bash
# Builds the plugin and qpp-replay, then runs one of the example scripts
# against the sample traffic of examples/: what a script of the Python
# processor plugin receives and dispatches, without a daemon.
#
#   bash scripts/demo.sh [EXAMPLE]   (top_talkers, tls_inventory,
#                                      risk_alerts or app_usage)
set -euo pipefail
cd "$(dirname "$0")/.."

example=${1:-top_talkers}
if [ ! -f "examples/$example.py" ]; then
  echo "demo: no example named $example; try one of:" \
    $(cd examples && ls *.py | grep -v gen-traffic | sed 's/\.py$//') >&2
  exit 2
fi

bash scripts/setup.sh

echo "== building (build-release)"
cmake -S . -B build-release -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-release -j "$(nproc)" --target qpp-replay

echo "== build-release/tools/qpp-replay --script examples/$example.py examples/traffic.jsonl"
build-release/tools/qpp-replay --script "examples/$example.py" examples/traffic.jsonl
