# Named like a standard-library module that the runtime has already loaded.
import qpp


def ProcessAgentEvent(event):
    qpp.print("shadow: %d\n" % event)
