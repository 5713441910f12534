# Imports a helper module from the module directory.
import qpp
import qpp_test_helper


def ProcessAgentEvent(event):
    qpp.print("needs_helper: %s %d\n" % (qpp_test_helper.GREETING, event))
