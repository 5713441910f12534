# The first flow event blocks until the test creates a release file; every
# flow event is counted.
import os
import time

import qpp

release = os.path.join(os.path.dirname(__file__), "release")
count = 0


def ProcessFlowEvent(event, flow):
    global count
    if count == 0:
        qpp.print("slow: blocked\n")
        deadline = time.monotonic() + 60
        while not os.path.exists(release) and time.monotonic() < deadline:
            time.sleep(0.01)
    count += 1


def ProcessAgentEvent(event):
    if event == 99:
        qpp.print("slow: served %d\n" % count)
