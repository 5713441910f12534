"""An inventory of the TLS servers that local clients talk to: for each
server name, how many flows, which client and server JA3 fingerprints, the
ALPN protocols, TLS versions and certificate issuers seen, and whether the
client used an encrypted client hello.

TLS details arrive in two steps: the client's side with detection complete
(event 4), the server's side with a detection update (event 5). When the
script is unloaded (the unload notice, 99) it dispatches one JSON payload per
server name, sorted by name, to the sink "inventory", channel "tls".

    qpp-replay --script examples/tls_inventory.py examples/traffic.jsonl
"""
from __future__ import annotations

import json
from typing import Any

import qpp

VERSIONS = {0x0301: "TLS 1.0", 0x0302: "TLS 1.1", 0x0303: "TLS 1.2",
            0x0304: "TLS 1.3"}

servers: dict[str, dict[str, Any]] = {}


def record_for(name: str) -> dict[str, Any]:
    if name not in servers:
        servers[name] = {"flows": 0, "client_ja3": set(), "server_ja3": set(),
                         "alpn": set(), "versions": set(), "issuers": set(),
                         "encrypted_client_hello": False}
    return servers[name]


def ProcessFlowEvent(event: int, flow: qpp.Flow) -> None:
    tls = flow.get("tls")
    if tls is None or event not in (4, 5):
        return
    record = record_for(tls["client_sni"] or "(no server name)")
    if event == 4:
        record["flows"] += 1
    if tls["client_ja3"]:
        record["client_ja3"].add(tls["client_ja3"])
    if tls["server_ja3"]:
        record["server_ja3"].add(tls["server_ja3"])
    # The protocol the server chose, or else what the client offered.
    record["alpn"].update(tls.get("alpn_server") or tls.get("alpn_client") or [])
    if tls["version"]:
        record["versions"].add(VERSIONS.get(tls["version"], hex(tls["version"])))
    if tls["issuer_dn"]:
        record["issuers"].add(tls["issuer_dn"])
    if "encrypted_ch" in tls:
        record["encrypted_client_hello"] = True


def ProcessAgentEvent(event: int) -> None:
    if event != 99:
        return
    for name in sorted(servers):
        record = servers[name]
        entry = {"server_name": name}
        for key, value in record.items():
            entry[key] = sorted(value) if isinstance(value, set) else value
        qpp.dispatch("inventory", ["tls"], json.dumps(entry), 1)
