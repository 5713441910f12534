"""Alerts on risky flows: as soon as a flow's risk score reaches THRESHOLD,
an alert naming the flow and its risks goes to the sink "alerts", on the
channel "risk" and a channel for its severity. A flow is reported again only
when it shows a risk it had not shown before. On the unload notice (99) a
summary counts the flows per risk.

    qpp-replay --script examples/risk_alerts.py examples/traffic.jsonl
"""
from __future__ import annotations

import json

import qpp

THRESHOLD = 50

# Names of the risk identifiers that occur in the sample traffic; the
# identifiers are the daemon's, so extend the table to match yours.
RISK_NAMES = {
    5: "known protocol on non-standard port",
    6: "TLS self-signed certificate",
    7: "TLS obsolete version",
    8: "TLS weak cipher",
    11: "HTTP suspicious user agent",
    13: "HTTP suspicious URL",
    16: "suspicious DGA domain",
    18: "SSH obsolete client",
    24: "TLS missing SNI",
    27: "risky domain",
    28: "malicious JA3",
    36: "clear-text credentials",
}

reported: dict[str, set[int]] = {}  # digest_lower -> risks already reported
flows_per_risk: dict[int, int] = {}


def name(risk: int) -> str:
    return RISK_NAMES.get(risk, "risk %d" % risk)


def severity(score: int) -> str:
    if score >= 150:
        return "severe"
    if score >= 100:
        return "high"
    return "medium"


def ProcessFlowEvent(event: int, flow: qpp.Flow) -> None:
    risk = flow.get("risk")
    if risk is None or risk["ndpi_score"] < THRESHOLD:
        return
    digest = flow["digest_lower"]
    known = reported.setdefault(digest, set())
    new = [r for r in risk["risks"] if r not in known]
    if not new:
        return
    known.update(new)
    for r in new:
        flows_per_risk[r] = flows_per_risk.get(r, 0) + 1

    level = severity(risk["ndpi_score"])
    alert = {
        "time": flow["last_seen_at"],
        "severity": level,
        "score": risk["ndpi_score"],
        "risks": [name(r) for r in risk["risks"]],
        "new": [name(r) for r in new],
        "interface": flow["iface"]["name"],
        "client": "%s:%d" % (flow["lower_addr"], flow["lower_port"]),
        "server": "%s:%d" % (flow["upper_addr"], flow["upper_port"]),
        "protocol": flow["detected_protocol_name"],
        "host": flow["host_server_name"],
    }
    qpp.dispatch("alerts", ["risk", level], json.dumps(alert), 1)


def ProcessAgentEvent(event: int) -> None:
    if event != 99:
        return
    summary = {name(r): count for r, count in sorted(flows_per_risk.items())}
    qpp.dispatch("alerts", ["summary"], json.dumps({"flows_per_risk": summary}), 1)
