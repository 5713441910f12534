// What the worker thread sets up for itself before it serves anything.

#include <csignal>
#include <pthread.h>

#include "qpp-plugin.h"

void qppPlugin::PrepareWorkerThread()
{
    // A script writing to a pipe or socket whose reader is gone would get
    // SIGPIPE, whose default action ends the daemon; the interpreter's own
    // handling (ignoring it) is off, as signals belong to the daemon, and
    // the process-wide disposition is not the plugin's to change. Blocked
    // in this thread, the write fails with EPIPE instead, which Python
    // raises as BrokenPipeError; threads the script starts inherit the
    // mask. A SIGPIPE raised for this thread stays pending on it while
    // blocked (standard signals do not pile up) and is discarded when the
    // thread ends; it is not consumed with sigtimedwait, which could also
    // take one sent to the whole process and meant for the daemon.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);

    interpreter_isolation->SetWorkerThread();
}
