# A script with another module name than versioned.py.
import qpp

qpp.print("other_name: import\n")


def ProcessAgentEvent(event):
    qpp.print("other_name: agent %d\n" % event)
