# Imports an extension module that refuses to live in a sub-interpreter.
import qpp
import qpp_test_refuser


def ProcessAgentEvent(event):
    qpp.print("refuser_user: %d\n" % event)
