# Starts a daemon and a non-daemon thread and stops both when unloaded.
import threading

import qpp

stop = threading.Event()


def work(name):
    while not stop.wait(0.01):
        pass
    qpp.print("threads: %s stopped\n" % name)


threading.Thread(target=work, args=("daemon",), daemon=True).start()
threading.Thread(target=work, args=("worker",), daemon=False).start()
qpp.print("threads: started\n")


def ProcessAgentEvent(event):
    if event == 99:
        stop.set()
