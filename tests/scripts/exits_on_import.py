# Asks the interpreter to exit while it is being imported.
import sys

import qpp

qpp.print("exits_on_import: importing\n")
sys.exit("leaving at import")
