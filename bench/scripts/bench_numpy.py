# Imports numpy, as scripts that compute do.
import numpy


def ProcessAgentEvent(event):
    pass
