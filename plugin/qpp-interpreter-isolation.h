// qppInterpreterIsolation: the script in a sub-interpreter of the daemon's
// own process, its callbacks called on the instance's worker thread.
//
// It owns the sub-interpreter, the script's Python objects (qppScript) and
// the watchdog that interrupts a callback past its budget. The
// sub-interpreter is made by the host thread that constructs the instance
// and ended by the one that deletes it (the destructor), each inside a
// thread_scope of the main interpreter; the worker enters it with a
// thread_scope of its own for every event. The tag is the worker's.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "qpp-interpreter.h"
#include "qpp-invoke.h"
#include "qpp-isolation.h"
#include "qpp-script.h"
#include "qpp-stats.h"
#include "qpp-watchdog.h"

class qppInterpreterIsolation : public qppIsolation
{
public:
    // Host thread, with the process-wide runtime up: makes the
    // sub-interpreter. mask is where the bound callbacks are published.
    // Throws qdException.
    qppInterpreterIsolation(qppStats &stats, std::atomic<uint8_t> &mask,
        qppCallObserver &observer, const std::string &tag);
    // Host thread, once the worker has ended: tears the script down and
    // ends the sub-interpreter (or leaves it to threads that never end).
    ~qppInterpreterIsolation() override;

    // Worker thread, before its first call.
    void SetWorkerThread();

    bool Unchanged(const qppScriptLoad &load) const override;
    void Configure(std::chrono::nanoseconds budget, const std::string &tag) override;
    void Load(const qppScriptLoad &load) override;
    void Serve(qppEvent &&event, uint8_t selected) override;
    void Sync(const qdSyncPoint &sync) override { sync.Signal(); }
    void Unload() override;
    void Leave() override;
    void Idle() override;
    bool NeedsWorker() const override { return false; }
    void BeginEnding() override { watchdog.BeginEnding(); }

    // Calls the callbacks selected for event. Throws qdException when the
    // arguments cannot be built.
    void CallScriptFunction(const qppEvent &event, uint8_t selected);

    // For hosts of the encoder (tests, benchmarks): the sub-interpreter,
    // and a dictionary of flow made in it (inside a thread_scope of it).
    PyInterpreterState *GetPyInterpreter() const { return interpreter->GetInterpreterState(); }
    qppPyRef EncodeFlow(const std::shared_ptr<qdFlow> &flow, const qppFlowStats &stats,
        bool stats_only)
    {
        return script.Encoder().Encode(flow, stats, stats_only);
    }

private:
    qppStats &stats;
    qppCallObserver &observer;
    std::string tag;  // worker thread
    qppWatchdog watchdog;
    std::unique_ptr<qppPySubInterpreter> interpreter;
    // Every Python reference of the script, released inside the
    // sub-interpreter before it ends.
    qppScript script;
};
