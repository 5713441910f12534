# The first agent event blocks until the test creates a release file.
import os
import time

import qpp

release = os.path.join(os.path.dirname(__file__), "release")


def ProcessAgentEvent(event):
    qpp.print("gate: start %d\n" % event)
    if event != 99:
        deadline = time.monotonic() + 30
        while not os.path.exists(release) and time.monotonic() < deadline:
            time.sleep(0.01)
    qpp.print("gate: done %d\n" % event)
