# Writes what a script sees of a capture: every flow event with the flow's
# key digest, every agent event and flow map, and each flow's final
# dictionary as JSON when it expires.
import json

import qpp


def ProcessFlowEvent(event, flow):
    qpp.print("EVENT %d %s\n" % (event, flow["digest_lower"]))
    if event == 7:
        qpp.print("FLOW %s\n" % json.dumps(flow))


def ProcessFlowMap(flows):
    qpp.print("MAP %d\n" % len(flows))


def ProcessAgentEvent(event):
    qpp.print("AGENT %d\n" % event)
