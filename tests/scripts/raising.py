# Every callback fails; the worker must go on regardless.
import qpp


def ProcessAgentEvent(event):
    qpp.print("raising: agent %d\n" % event)
    raise ValueError("agent callback failed on %d" % event)


def ProcessFlowEvent(event, flow):
    raise KeyError("no such key")
