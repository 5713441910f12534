# Dispatches a payload of 100 MB.
import qpp


def ProcessAgentEvent(event):
    if event == 11:
        payload = "0123456789" * 10_000_000
        qpp.print("big: %r\n" % qpp.dispatch("sink", ["big"], payload))
