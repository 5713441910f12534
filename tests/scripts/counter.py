# Counts flow events per sending thread and checks each thread's order.
# Flow names are "T-N": thread T, its N-th event.
import qpp

last = {}
total = 0
disorder = 0


def ProcessFlowEvent(event, flow):
    global total, disorder
    thread, seq = flow["host_server_name"].split("-")
    seq = int(seq)
    if seq != last.get(thread, -1) + 1:
        disorder += 1
    last[thread] = seq
    total += 1


def ProcessAgentEvent(event):
    if event == 99:
        qpp.print("counter: total %d disorder %d threads %d\n" % (
            total, disorder, len(last)))
