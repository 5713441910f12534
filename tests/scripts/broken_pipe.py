# Writes to a pipe whose reader is gone, from the callback and from a thread
# the script starts: each must get BrokenPipeError, and the host go on.
import os
import threading

import qpp


def write_to_closed_pipe(who):
    r, w = os.pipe()
    os.close(r)
    try:
        os.write(w, b"x")
        qpp.print("broken_pipe: %s wrote\n" % who)
    except BrokenPipeError:
        qpp.print("broken_pipe: %s got BrokenPipeError\n" % who)
    finally:
        os.close(w)


def ProcessAgentEvent(event):
    if event == 11:
        write_to_closed_pipe("callback")
        thread = threading.Thread(target=write_to_closed_pipe, args=("thread",))
        thread.start()
        thread.join()
