# Reads what a typical script reads and keeps nothing between calls: what
# the process holds after millions of events is then the plugin's doing.


def ProcessFlowEvent(event, flow):
    if flow["host_server_name"] is None or event < 0:
        raise ValueError("impossible")


def ProcessFlowMap(flows):
    tls = 0
    for flow in flows:
        if flow["detected_protocol_name"] == "TLS":
            tls += 1
    return tls
