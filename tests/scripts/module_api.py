# Exercises the module qpp while it is imported and reports each outcome
# through qpp.print, one "api:" line per check.
import qpp


def report(name, value):
    qpp.print("api: %s = %r\n" % (name, value))


def type_error(call):
    try:
        call()
    except TypeError as e:
        return "TypeError: %s" % e
    return "no error"


report("print returns", qpp.print("api: plain text\n"))
report("debug returns", qpp.debug("api: debug text\n"))
report("print int", type_error(lambda: qpp.print(1)))
report("print none", type_error(lambda: qpp.print()))
report("print two", type_error(lambda: qpp.print("a", "b")))
report("print nul", type_error(lambda: qpp.print("a\0b")))
report("print surrogate", type_error(lambda: qpp.print("\udc80")))
report("debug bytes", type_error(lambda: qpp.debug(b"bytes")))
qpp.print("100%s%n%d\n")
report("error is Exception", issubclass(qpp.error, Exception))
report("error name", (qpp.error.__name__, qpp.error.__module__))
report("functions", sorted(n for n in dir(qpp) if not n.startswith(("_", "EVENT_"))))
report("doc", qpp.dispatch.__doc__)
