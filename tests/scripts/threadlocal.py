# Thread-local data does not survive from one event to the next.
import threading

import qpp

local = threading.local()


def ProcessAgentEvent(event):
    qpp.print("threadlocal: %s\n" % getattr(local, "seen", "fresh"))
    local.seen = "kept"
