# Dispatches payloads in every shape the module accepts or refuses, and
# reports what each call returned, one "disp:" line per call.
import threading

import qpp


def report(name, call):
    try:
        result = call()
    except TypeError as e:
        result = "TypeError: %s" % e
    qpp.print("disp: %s = %r\n" % (name, result))


# The worker is registered while the script is imported.
report("import", lambda: qpp.dispatch("sink", ["import"], "at import"))


def from_own_thread():
    report("own thread", lambda: qpp.dispatch("sink", [], "x"))


def ProcessAgentEvent(event):
    if event != 11:
        return
    report("channels", lambda: qpp.dispatch("sink", [1, "a", None, "a", "b"], "p1"))
    report("empty", lambda: qpp.dispatch("sink", [], ""))
    report("flags 1 1", lambda: qpp.dispatch("sink", ["c"], "p2", 1, 1))
    report("flags 2 0", lambda: qpp.dispatch("sink", ["c"], "p3", 2))
    report("flags 3 2", lambda: qpp.dispatch("sink", ["c"], "p4", 3, 2))
    report("flags 0 1", lambda: qpp.dispatch("sink", ["c"], "p5", 0, 1))
    report("unicode", lambda: qpp.dispatch("sink", ["z", "\u00e9", "Z"], "\u00e9t\u00e9"))
    report("unknown target", lambda: qpp.dispatch("nowhere", [], "lost"))
    report("tuple", lambda: qpp.dispatch("sink", ("a",), "x"))
    report("option 256", lambda: qpp.dispatch("sink", [], "x", 256))
    report("option -1", lambda: qpp.dispatch("sink", [], "x", 0, -1))
    report("missing", lambda: qpp.dispatch("sink", []))
    report("surplus", lambda: qpp.dispatch("sink", [], "x", 0, 0, 0))
    report("nul", lambda: qpp.dispatch("sink", [], "a\0b"))
    report("bytes payload", lambda: qpp.dispatch("sink", [], b"x"))
    report("surrogate", lambda: qpp.dispatch("sink", ["ok", "\udc80"], "x"))
    report("keyword", lambda: qpp.dispatch("sink", [], payload="x"))
    t = threading.Thread(target=from_own_thread)
    t.start()
    t.join()
