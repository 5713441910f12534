# Says which user the script runs as, and counts the flows it sees.
import os

import qpp

qpp.print("uid %d\n" % os.getuid())


def ProcessFlowEvent(event, flow):
    if event == 7:
        qpp.print("expired %s %d packets\n" % (flow["upper_addr"], flow["stats"]["total_packets"]))
