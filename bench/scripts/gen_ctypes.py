# A generation's script that imports ctypes.
import ctypes

import qpp

value = ctypes.c_int(7)


def ProcessAgentEvent(event):
    pass
