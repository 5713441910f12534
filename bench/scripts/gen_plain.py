# A generation's script that imports nothing but the plugin's module.
import qpp


def ProcessAgentEvent(event):
    pass
