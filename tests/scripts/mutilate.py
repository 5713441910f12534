# Deletes and replaces attributes of the module qpp in its own interpreter.
import qpp

keep = qpp.print
del qpp.print
qpp.debug = None
qpp.error = ValueError
keep("mutilate: done %s\n" % (hasattr(qpp, "print"),))


def ProcessAgentEvent(event):
    keep("mutilate: agent %d dispatch %r\n" % (event, qpp.dispatch("sink", [], "x")))
