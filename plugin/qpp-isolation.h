// qppIsolation: where an instance's script runs, as its worker sees it.
//
// Two ways, chosen by the configuration's "isolation": in a sub-interpreter
// of the daemon's own process (qppInterpreterIsolation, the default) or in a
// script runner, a process of its own (qppProcessIsolation). The worker loop
// reads the configuration, selects the callbacks of each event and counts
// what has no callback; everything else goes through this interface, so
// that the loop does not ask which way it is.
//
// Threads. The worker thread calls everything but BeginEnding, which the
// host thread that deletes the instance calls before it joins the worker.
// The subscription mask an isolation publishes and the counters it keeps
// are the instance's (qppPlugin), shared with the hooks.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "qpp-configuration.h"
#include "qpp-event.h"
#include "quivend.h"

// A script to load, as the configuration and the file say.
struct qppScriptLoad
{
    std::string name;        // the module name
    std::string path;        // the script file, variables expanded
    uint8_t digest[20];      // of the file when it was checked
    std::string module_dir;  // put on sys.path
    std::string tag;         // the instance's tag until the import is done
    bool check_permissions = true;
    qppRunnerSettings runner;
};

class qppIsolation
{
public:
    virtual ~qppIsolation() = default;

    // True when the script loaded last is load's script with the same
    // digest (and, for a runner, the same settings): a reload has nothing
    // to do then.
    virtual bool Unchanged(const qppScriptLoad &load) const = 0;

    // The callback budget (zero: none) and the tag of the log lines about
    // calls; in force at once, whether or not the script changes.
    virtual void Configure(std::chrono::nanoseconds budget, const std::string &tag) = 0;

    // Sends the unload notice to the script loaded before, if any, then
    // imports load's script and binds its callbacks, which publishes the
    // subscription mask; the new tag (the module name) is in force for
    // the binding's log lines. Throws qdException: no callbacks are bound
    // then.
    virtual void Load(const qppScriptLoad &load) = 0;

    // Serves one event whose callbacks are selected (never none) and
    // counts it as served or dropped, now or once it is done.
    virtual void Serve(qppEvent &&event, uint8_t selected) = 0;

    // Signals sync once everything handed over before it is done.
    virtual void Sync(const qdSyncPoint &sync) = 0;

    // The unload notice to the script loaded, if any, and the end of its
    // callbacks: nothing is served here until the next Load. For the
    // instance's end, and before another isolation takes over.
    virtual void Unload() = 0;

    // Unload, for another isolation that takes over: the script is to be
    // loaded afresh should it come back here.
    virtual void Leave() { Unload(); }

    // The worker found nothing to do for a while, or was woken because
    // NeedsWorker said so.
    virtual void Idle() = 0;
    // The worker has served everything queued: what was handed over and
    // not yet announced to whoever serves it is announced now.
    virtual void Flush() {}
    // Any thread, under the event queue's lock: the worker should call
    // Idle now (a runner has ended, say). One atomic load.
    virtual bool NeedsWorker() const = 0;

    // Host thread, before it joins the worker: a callback still running
    // gets a grace and is then stopped, so that the worker ends.
    virtual void BeginEnding() = 0;
};
