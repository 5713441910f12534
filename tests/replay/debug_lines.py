# Writes one debug line and one ordinary line per agent event.
import qpp


def ProcessAgentEvent(event):
    qpp.debug("debug line %d\n" % event)
    qpp.print("print line %d\n" % event)
