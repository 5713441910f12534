# Starts threads that never stop on their own.
import threading
import time

import qpp


def work():
    while True:
        time.sleep(0.01)


threading.Thread(target=work, daemon=True).start()
threading.Thread(target=work, daemon=False).start()
qpp.print("threads: started\n")


def ProcessAgentEvent(event):
    pass
