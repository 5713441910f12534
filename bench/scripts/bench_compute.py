# Computes for each event, as a script that aggregates or scores flows does:
# the JSON text of the flow four times over (about 60 microseconds).
import json


def ProcessFlowEvent(event, flow):
    for _ in range(4):
        json.dumps(flow)
