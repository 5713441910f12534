# One instance's script in the stress test. The test installs it as
# stress_probe_I.py and flips VERSION between "A" and "B" while it runs, so
# that every reload request finds a new digest and re-executes it. All that
# must outlive a reload lives in stress_state.
import qpp
import stress_state as state

VERSION = "A"
INSTANCE = __name__.rsplit("_", 1)[1]
state.imported(VERSION)


def ProcessFlowEvent(event, flow):
    if not 2 <= event <= 7:
        state.complain("flow-event:%r" % (event,))
    state.seen(INSTANCE, flow["host_server_name"])


def ProcessFlowMap(flows):
    # Each map holds one numbered flow and the host's shared "live" flow.
    names = [f["host_server_name"] for f in flows]
    if names.count("live") != 1 or len(names) != 2:
        state.complain("map:" + "/".join(names))
    for name in names:
        if name != "live":
            state.seen(INSTANCE, name)


def ProcessAgentEvent(event):
    if event == 99:
        qpp.print(state.report(INSTANCE, VERSION))
    else:
        state.agent(event)
