# What the stress probes have seen, kept here because this module is imported
# once per interpreter and never reloaded: the probe itself is re-executed on
# every reload and would lose whatever its own globals held.
#
# Senders name their events "I-T-N" (instance, host thread, sequence number
# of that thread); every thread's numbers must arrive strictly increasing.

imports = 0
versions = set()
agents = 0            # agent events 11 and 12
agents_final = 0      # of those, after the checkpoint
checkpoints = 0
bad = 0               # duplicates, reorderings, malformed events
first_bad = "-"
senders = {}          # thread -> [count, last, count after the checkpoint]


def complain(what):
    global bad, first_bad
    bad += 1
    if first_bad == "-":
        first_bad = what.replace(" ", "_")


def imported(version):
    global imports
    imports += 1
    versions.add(version)


def seen(instance, name):
    global checkpoints, agents_final
    parts = name.split("-")
    if len(parts) != 3 or parts[0] != instance:
        complain("foreign:" + name)
        return
    if parts[1] == "checkpoint":
        checkpoints += 1
        agents_final = 0
        for record in senders.values():
            record[2] = 0
        return
    thread, seq = parts[1], int(parts[2])
    record = senders.setdefault(thread, [0, -1, 0])
    if seq <= record[1]:
        complain("order:%s:after:%d" % (name, record[1]))
    record[0] += 1
    record[1] = max(record[1], seq)
    record[2] += 1


def agent(event):
    global agents, agents_final
    if event in (11, 12):
        agents += 1
        agents_final += 1
    else:
        complain("agent:%r" % (event,))


def report(instance, version):
    threads = ",".join("%s:%d:%d:%d" % (t, r[0], r[1], r[2])
                       for t, r in sorted(senders.items()))
    return ("stress-report %s version=%s imports=%d versions=%s agents=%d "
            "agents_final=%d checkpoints=%d bad=%d first_bad=%s senders=%s\n" % (
                instance, version, imports, "".join(sorted(versions)), agents,
                agents_final, checkpoints, bad, first_bad, threads or "-"))
