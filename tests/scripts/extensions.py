# Imports C extension modules of the standard library in a sub-interpreter.
import qpp

import datetime
import hashlib
import json
import math
import socket

qpp.print("extensions: %s %s %s %s %s\n" % (
    json.dumps({"a": 1}),
    math.sqrt(16.0),
    datetime.date(2026, 1, 2).isoformat(),
    hashlib.sha256(b"qpp").hexdigest()[:8],
    socket.AF_INET == 2,
))
