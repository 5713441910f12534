# Takes its time to import: waits for a release file first.
import os
import time

import qpp

qpp.print("slow_import: importing\n")
release = os.path.join(os.path.dirname(__file__), "release")
deadline = time.monotonic() + 60
while not os.path.exists(release) and time.monotonic() < deadline:
    time.sleep(0.01)
qpp.print("slow_import: imported\n")
count = 0


def ProcessFlowEvent(event, flow):
    global count
    count += 1


def ProcessAgentEvent(event):
    if event == 99:
        qpp.print("slow_import: served %d\n" % count)
