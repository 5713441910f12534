# Reports which flows of a flow map reached each callback, sorted, since the
# map's buckets decide the order.
import qpp


def ProcessFlowMap(flows):
    names = sorted(f["host_server_name"] for f in flows)
    qpp.dispatch("map", [], " ".join(names))


def ProcessFlowStats(flows):
    qpp.dispatch("stats", [], "%d" % len(flows))
