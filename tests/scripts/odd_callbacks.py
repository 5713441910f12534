# Callbacks that are not plain functions, or not callable at all.
import qpp


class ProcessAgentEvent:
    def __init__(self, event):
        qpp.print("odd: instance made for %d\n" % event)


def ProcessFlowEvent():
    qpp.print("odd: never reached\n")


ProcessFlowMap = 42
