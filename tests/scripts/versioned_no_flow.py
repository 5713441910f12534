# Version B of versioned.py: ProcessFlowEvent is gone.
import qpp

VERSION = "B"
qpp.print("versioned: import %s\n" % VERSION)


def ProcessAgentEvent(event):
    qpp.print("versioned: %s agent %d\n" % (VERSION, event))
