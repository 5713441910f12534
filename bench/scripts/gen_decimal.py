# A generation's script that imports decimal (the C _decimal module).
import decimal

import qpp

value = decimal.Decimal("1.5") * 2


def ProcessAgentEvent(event):
    pass
