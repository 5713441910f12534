# Holds half a gigabyte, every page of it touched, for as long as it runs.
blob = bytearray(500 << 20)


def ProcessAgentEvent(event):
    pass
