# A script slower than the daemon: 1 ms per event, so that a host sending
# as fast as it can fills any queue bound.
import time


def ProcessFlowEvent(event, flow):
    time.sleep(0.001)
