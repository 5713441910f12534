# Looks at the module qpp after another instance mutilated its own.
import qpp

qpp.print("intact: %s %s %s\n" % (
    hasattr(qpp, "print"), qpp.debug is not None, qpp.error.__module__))
