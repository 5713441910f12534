# Dispatches one payload per event and says when it is unloaded, so that a
# test can see that nothing was lost and that the unload notice came last.
import qpp

seen = 0


def ProcessAgentEvent(event):
    global seen
    seen += 1
    qpp.dispatch("count", [], "%d agent %d" % (seen, event))
    if event == 99:
        qpp.print("unloaded after %d events\n" % seen)


def ProcessFlowEvent(event, flow):
    global seen
    seen += 1
    qpp.dispatch("count", [], "%d flow %d %s" % (seen, event, flow["host_server_name"]))
