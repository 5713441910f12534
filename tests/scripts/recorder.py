# Reports every callback with its arguments, one "rec:" line each.
import qpp


def ProcessAgentEvent(event):
    qpp.print("rec: agent %r\n" % (event,))


def ProcessFlowEvent(event, flow):
    qpp.print("rec: flow %r %s %s\n" % (
        event, type(flow).__name__, flow["host_server_name"]))


def ProcessFlowMap(flows):
    qpp.print("rec: map %s\n" % ",".join(f["host_server_name"] for f in flows))


def ProcessFlowStats(flows):
    qpp.print("rec: stats %s %s\n" % (
        ",".join(f["digest_lower"][:4] for f in flows),
        ",".join(list(f.keys())[3] for f in flows)))
