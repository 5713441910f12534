# The second version of version_one.py, which a reload line puts in its place.
import qpp


def ProcessAgentEvent(event):
    qpp.dispatch("log", [], "two %d" % event)


def ProcessFlowEvent(event, flow):
    qpp.dispatch("log", [], "two flow %s" % flow["host_server_name"])
