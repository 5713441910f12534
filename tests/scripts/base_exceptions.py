# Raises what is not an Exception: the worker must treat it as any error.
import qpp


class Departure(BaseException):
    pass


def ProcessFlowEvent(event, flow):
    if event == 2:
        raise KeyboardInterrupt("pressed")
    if event == 3:
        raise GeneratorExit("closed")
    if event == 4:
        raise Departure("gone")
    qpp.print("base: event %d served\n" % event)
