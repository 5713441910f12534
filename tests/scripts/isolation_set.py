# Leaves marks in places a careless embedding would share between instances.
import builtins
import json
import sys

import qpp

builtins.qpp_isolation_mark = "set"
json.qpp_isolation_mark = "set"
sys.qpp_isolation_mark = "set"
qpp.print("isolation: marks set\n")
