# Dispatches to two targets and reports what the host answered.
import qpp


def ProcessAgentEvent(event):
    if event == 99:
        return
    for target in ("a", "b"):
        accepted = qpp.dispatch(target, ["ch"], "to %s" % target)
        qpp.print("%s %r\n" % (target, accepted))
