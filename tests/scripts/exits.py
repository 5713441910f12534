# Asks the interpreter to exit from a callback; the daemon must not.
import sys

import qpp


def ProcessAgentEvent(event):
    qpp.print("exits: agent %d\n" % event)
    if event == 11:
        sys.exit(3)
