# Reports the tag-independent facts the host cannot see: the worker
# thread's name as the system knows it, and sys.path.
import sys
import threading

import qpp


def ProcessAgentEvent(event):
    with open("/proc/self/task/%d/comm" % threading.get_native_id()) as f:
        name = f.read().strip()
    module_dir = [p for p in sys.path if p.endswith("/quiven-proc-python")]
    qpp.print("identity: thread %s module_dir %d\n" % (name, len(module_dir)))
