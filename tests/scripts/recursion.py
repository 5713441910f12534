# Recurses without end.
import qpp


def down(n):
    return down(n + 1) + 1


def ProcessAgentEvent(event):
    if event == 11:
        down(0)
    qpp.print("recursion: event %d served\n" % event)
