# Holds the worker in the first flow event until the host creates the file
# "soak_release" beside this script, so that the plugin's queue grows behind
# it; every later event passes at once.
import os
import time

import qpp

release = os.path.join(os.path.dirname(__file__), "soak_release")
held = False


def ProcessFlowEvent(event, flow):
    global held
    if held:
        return
    held = True
    qpp.print("soak-gate: holding\n")
    while not os.path.exists(release):
        time.sleep(0.001)


def ProcessFlowMap(flows):
    pass
