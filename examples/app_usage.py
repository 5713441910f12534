"""Application usage per interface: the bytes that each application (or,
for flows without one, each protocol) moved on each capture interface during
an update interval.

Everything comes from ProcessFlowMap, which receives every live flow at each
flow-map snapshot: the difference of a flow's total_bytes to the previous
snapshot is its use in the interval. On agent event 12 (update complete)
one JSON payload per interface goes to the sink "app-usage", on a channel
named after the interface, with the applications by bytes, largest first.

    qpp-replay --script examples/app_usage.py examples/traffic.jsonl
"""
from __future__ import annotations

import json

import qpp

previous: dict[str, int] = {}          # digest_lower -> total_bytes at the previous snapshot
usage: dict[str, dict[str, int]] = {}  # interface -> application -> bytes
intervals = 0


def application(flow: qpp.Flow) -> str:
    return (flow["detected_application_name"] or
            flow["detected_protocol_name"].lower() or "unknown")


def ProcessFlowMap(flows: list[qpp.Flow]) -> None:
    seen = {}
    for flow in flows:
        digest = flow["digest_lower"]
        total = flow["stats"]["total_bytes"]
        seen[digest] = total
        apps = usage.setdefault(flow["iface"]["name"], {})
        app = application(flow)
        apps[app] = apps.get(app, 0) + total - previous.get(digest, 0)
    # Flows that left the map have ended; forget them.
    previous.clear()
    previous.update(seen)


def ProcessAgentEvent(event: int) -> None:
    global intervals
    if event != 12:
        return
    intervals += 1
    for iface in sorted(usage):
        ranked = sorted(usage[iface].items(), key=lambda item: (-item[1], item[0]))
        report = {"interval": intervals, "interface": iface,
                  "applications": [{"name": a, "bytes": b} for a, b in ranked]}
        qpp.dispatch("app-usage", [iface], json.dumps(report), 1)
    usage.clear()
