"""Top talkers: the local hosts that moved the most bytes, for each update
interval of the daemon and for the whole run.

ProcessFlowStats receives the counters of every live flow at each flow-map
snapshot. Its dictionaries carry no addresses, so ProcessFlowEvent tells
which local host a flow belongs to when the flow is new, and hands over the
last counters of a flow that ended. On agent event 12 (update complete) the
interval's ranking goes to the sink "top-talkers", channel "interval"; on the
unload notice (99) the ranking of the whole run, channel "total".

    qpp-replay --script examples/top_talkers.py examples/traffic.jsonl
"""
from __future__ import annotations

import json

import qpp

TOP = 5

owner: dict[str, str] = {}     # digest_lower -> the flow's local address
counted: dict[str, int] = {}   # digest_lower -> the flow's total_bytes counted so far
interval: dict[str, int] = {}  # local address -> bytes in this interval
overall: dict[str, int] = {}   # local address -> bytes since the start
intervals = 0


def local_address(flow: qpp.Flow) -> str:
    # lower_map tells which side of the flow is local; in the sample traffic
    # 1 stands for the lower side and 2 for the upper one.
    return flow["upper_addr"] if flow["lower_map"] == 2 else flow["lower_addr"]


def account(digest: str, total_bytes: int) -> None:
    host = owner.get(digest)
    if host is None:
        return
    delta = total_bytes - counted.get(digest, 0)
    counted[digest] = total_bytes
    if delta > 0:
        interval[host] = interval.get(host, 0) + delta
        overall[host] = overall.get(host, 0) + delta


def ranking(table: dict[str, int]) -> list[dict[str, object]]:
    ranked = sorted(table.items(), key=lambda item: (-item[1], item[0]))
    return [{"host": host, "bytes": count} for host, count in ranked[:TOP]]


def ProcessFlowEvent(event: int, flow: qpp.Flow) -> None:
    digest = flow["digest_lower"]
    if event == 2:  # new flow
        owner[digest] = local_address(flow)
    account(digest, flow["stats"]["total_bytes"])
    if event == 7:  # expired: nothing more will come of it
        owner.pop(digest, None)
        counted.pop(digest, None)


def ProcessFlowStats(flows: list[qpp.FlowStats]) -> None:
    for flow in flows:
        account(flow["digest_lower"], flow["stats"]["total_bytes"])


def ProcessAgentEvent(event: int) -> None:
    global intervals
    if event == 12:
        intervals += 1
        report = {"interval": intervals, "top": ranking(interval)}
        qpp.dispatch("top-talkers", ["interval"], json.dumps(report), 1)
        interval.clear()
    elif event == 99:
        report = {"intervals": intervals, "top": ranking(overall)}
        qpp.dispatch("top-talkers", ["total"], json.dumps(report), 1)
