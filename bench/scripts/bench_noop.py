# Callbacks that do nothing: what is measured is the plugin's own cost.
def ProcessFlowEvent(event, flow):
    pass


def ProcessFlowMap(flows):
    pass
