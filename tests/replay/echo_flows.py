# Dispatches every flow dictionary it receives as JSON, keys in the order
# the plugin inserted them: "flow" for ProcessFlowEvent, "map" and "stats"
# for the two flow-map callbacks.
import json

import qpp


def ProcessFlowEvent(event, flow):
    qpp.dispatch("flow", [str(event)], json.dumps(flow, sort_keys=False))


def ProcessFlowMap(flows):
    for flow in flows:
        qpp.dispatch("map", [], json.dumps(flow, sort_keys=False))


def ProcessFlowStats(flows):
    for flow in flows:
        qpp.dispatch("stats", [], json.dumps(flow, sort_keys=False))
