# Looks for the marks that isolation_set left in its own interpreter.
import builtins
import json
import sys

import qpp

seen = [hasattr(m, "qpp_isolation_mark") for m in (builtins, json, sys)]
qpp.print("isolation: marks seen %s\n" % seen)
