// What the worker thread sets up for itself before it serves anything.

#include "qpp-plugin.h"

void qppPlugin::PrepareWorkerThread()
{
    watchdog.SetWorker(interpreter->GetInterpreterState(), PyThread_get_thread_ident());
}
