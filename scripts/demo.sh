#!/usr/bin/env bash
# Builds the plugin and qpp-replay, then runs one of the example scripts
# against a real capture committed with the tests (TLS, HTTP, DNS and SSH
# between real clients and servers on the loopback interface): what a script
# of the Python processor plugin receives and dispatches, without a daemon.
#
#   bash scripts/demo.sh [EXAMPLE [INPUT]]   (EXAMPLE: tls_inventory,
#       top_talkers, risk_alerts or app_usage; INPUT: a pcap or pcapng
#       capture, or JSON Lines such as examples/traffic.jsonl)
set -euo pipefail
cd "$(dirname "$0")/.."

example=${1:-tls_inventory}
input=${2:-tests/captures/mixed.pcap}
if [ ! -f "examples/$example.py" ]; then
  echo "demo: no example named $example; try one of:" \
    $(cd examples && ls *.py | grep -v gen-traffic | sed 's/\.py$//') >&2
  exit 2
fi

bash scripts/setup.sh

echo "== building (build-release)"
cmake -S . -B build-release -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-release -j "$(nproc)" --target qpp-replay

echo "== build-release/tools/qpp-replay --script examples/$example.py $input"
build-release/tools/qpp-replay --script "examples/$example.py" "$input"
