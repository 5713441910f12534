# Version A of a script that a test edits in place.
import qpp

VERSION = "A"
qpp.print("versioned: import %s\n" % VERSION)


def ProcessAgentEvent(event):
    qpp.print("versioned: %s agent %d\n" % (VERSION, event))


def ProcessFlowEvent(event, flow):
    qpp.print("versioned: %s flow %d\n" % (VERSION, event))
