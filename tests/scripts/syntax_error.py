# Does not compile.
import qpp

def ProcessAgentEvent(event)
    qpp.print("never\n")
