# Writes what a script sees of a capture: the user it runs as, how many of
# its descriptors are sockets (a live capture's would be one), each flow
# event with the flow's key digest and, at expiry, the flow's dictionary as
# JSON; agent events; the size of flow maps.
import json
import os

import qpp

qpp.print("uid %d\n" % os.getuid())


def is_socket(fd):
    try:
        return os.readlink("/proc/self/fd/" + fd).startswith("socket:")
    except OSError:  # the listing's own descriptor, closed by now
        return False


qpp.print("sockets %d\n" % sum(is_socket(fd) for fd in os.listdir("/proc/self/fd")))


def ProcessFlowEvent(event, flow):
    qpp.print("EVENT %d %s\n" % (event, flow["digest_lower"]))
    if event == 7:
        qpp.print("FLOW %s\n" % json.dumps(flow))


def ProcessFlowMap(flows):
    qpp.print("MAP %d\n" % len(flows))


def ProcessAgentEvent(event):
    qpp.print("AGENT %d\n" % event)
