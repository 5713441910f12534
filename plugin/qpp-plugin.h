// qppPlugin: the Python processor plugin as the host sees it.
//
// It coordinates the units an instance is made of: the event queue that
// host threads fill, the worker that serves it, the counters, and the
// isolation the script runs in (qpp-isolation.h): a sub-interpreter of
// this process, made with the instance, or a script runner process.
//
// Threads. Host threads run the factory, the constructor, the destructor and
// the event hooks. Each instance has one worker thread (Entry), the only
// thread that talks to the isolation (but for BeginEnding) and the only one
// that reads the configuration, and the tag's writer after the worker has
// started (it renames itself with SetTag; other threads read a copy with
// GetTag). A script runner's monitor thread (qpp-runner-monitor.h) reports
// its calls and payloads through the instance too.
//
// Locks, in the only order in which they are ever nested:
//   interpreter lock -> plock         (the module looks up the registry)
//   flow lock -> qdAddr::lock                (recording a flow)
//   flow-map bucket -> flow lock             (the flow-map hook)
//   flow lock -> event_lock                  (a host thread that holds a
//                                             flow's mutex raises an event)
//   event_lock -> a sync point's own lock    (signalling it)
//   a runner's state lock -> event_lock      (waking the worker)
// event_lock is the event queue's (qpp-event-queue.h); a runner's state
// lock is its monitor's (qpp-runner-monitor.h).
// plock is the runtime's (qpp-runtime.h); it is held around the
// interpreter lock only while the process-wide runtime is brought up or
// finalised, when no worker runs script code.
// A flow is recorded (qpp-flow-record.h) with no other lock held, before
// the dictionary is built under the interpreter lock: the two are never
// held together. A hook takes its statistics snapshot before event_lock,
// and nothing waits for another lock while it holds event_lock (a sync
// point's lock is only ever held for a moment): neither the interpreter
// lock nor a flow's mutex nor a flow-map bucket is ever taken under it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>

#include "qpp-event-queue.h"
#include "qpp-event.h"
#include "qpp-interpreter-isolation.h"
#include "qpp-invoke.h"
#include "qpp-isolation.h"
#include "qpp-python.h"
#include "qpp-runtime.h"
#include "qpp-script.h"
#include "qpp-stats.h"
#include "quivend.h"

#define QPP_PLUGIN_NAME "Quiven Python Processor Plugin"
// QPP_PLUGIN_VERSION comes from the project version, given by the build.

class qppPlugin : public qdPluginProcessor, public qppInstance, public qppCallObserver
{
public:
    using ScriptFunction = qppScript::Callback;

    qppPlugin(const std::string &tag,
        const std::map<std::string, std::string> &params);
    ~qppPlugin() override;

    void *Entry() override;
    // Asks the worker to end and wakes it.
    void Terminate() override;

    void GetVersion(std::string &version) override;

    void DispatchEvent(qdPlugin::Event event, void *param = nullptr) override;

    void DispatchProcessorEvent(
        qdPluginProcessor::Event event, qdFlowMap *flow_map) override;
    void DispatchProcessorEvent(
        qdPluginProcessor::Event event, std::shared_ptr<qdFlow> &flow) override;
    void DispatchProcessorEvent(qdPluginProcessor::Event event,
        std::map<std::string, std::shared_ptr<qdInterface>> *interfaces)
        override;
    void DispatchProcessorEvent(qdPluginProcessor::Event event,
        const std::string &iface, qdPacketStats *stats) override;
    void DispatchProcessorEvent(
        qdPluginProcessor::Event event, qdPacketStats *stats) override;
    void DispatchProcessorEvent(
        qdPluginProcessor::Event event, qdInstanceStatus *status) override;
    void DispatchProcessorEvent(qdPluginProcessor::Event event) override;

    void DispatchSinkPayload(const std::string &target,
        const std::set<std::string> &channels, size_t length,
        const uint8_t *payload, qdFlags<qdPlugin::DispatchFlags> flags) override;
    using qdPluginProcessor::DispatchSinkPayload;

    // The flow dictionary of flow and its snapshot stats, made in the
    // instance's sub-interpreter: the statistics form when stats_only, the
    // full form otherwise. Needs the interpreter lock with that
    // sub-interpreter current. Returns a new reference; throws qdException.
    PyObject *EncodeFlow(const std::shared_ptr<qdFlow> &flow,
        const qppFlowStats &stats, bool stats_only);

    // Serves one event on the worker thread: selects its callbacks, counts
    // an event that reaches none as unhandled, and hands the rest to the
    // isolation the script runs in.
    void CallScriptFunction(qppEvent &&event);

    // Re-reads the configuration and loads the script when its digest (or
    // the way it runs) changed. Worker thread only; throws qdException.
    void Reload();

    // This instance's sub-interpreter, for hosts of the encoder outside
    // the worker (tests and benchmarks enter it with a thread_scope).
    PyInterpreterState *GetPyInterpreter() const
    {
        return interpreter_isolation->GetPyInterpreter();
    }

    // What a call of a callback changes in the counters and the log; on
    // the worker or a runner's monitor thread.
    void CallBegins(uint8_t id) override;
    void CallEnded(uint8_t id, qppCallOutcome outcome, uint64_t ns) override;

private:
    void LogStatistics();
    void QueueAgentEvent(uint16_t event);
    void ServeEvents();
    void ServeReload();
    // The worker thread's own set-up, before it serves anything.
    void PrepareWorkerThread();

    // The configuration's "debug"; written by the worker at reloads.
    std::atomic<bool> debug{false};
    qppStats stats;
    qppEventQueue queue;
    // The bound callbacks' bits and qppScript::loaded, as the isolation
    // serving the script publishes them; read by the hooks.
    std::atomic<uint8_t> script_function_mask{0};
    std::unique_ptr<qppInterpreterIsolation> interpreter_isolation;
    std::unique_ptr<qppIsolation> process_isolation;
    // The one serving the script; the worker's.
    qppIsolation *isolation = nullptr;

public:
    // What the module asks of the instance its script runs in.
    std::string InstanceTag() const override { return GetTag(); }
    // The instance's counters, as the host and the script read them.
    nlohmann::json Statistics() const override { return stats.ToJson(); }
    void DispatchPayload(const std::string &target,
        const std::set<std::string> &channels, size_t length,
        const uint8_t *payload, qdFlags<qdPlugin::DispatchFlags> flags) override
    {
        DispatchSinkPayload(target, channels, length, payload, flags);
    }
};
