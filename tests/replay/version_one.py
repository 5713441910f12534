# Tells which version of the script saw each agent event.
import qpp


def ProcessAgentEvent(event):
    qpp.dispatch("log", [], "one %d" % event)


def ProcessFlowEvent(event, flow):
    qpp.dispatch("log", [], "one flow %s" % flow["host_server_name"])
