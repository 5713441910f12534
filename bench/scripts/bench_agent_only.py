# Wants agent events only: flow events are filtered out at the hooks.
def ProcessAgentEvent(event):
    pass
