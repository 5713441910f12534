// qppPlugin: the Python processor plugin as the host sees it.
//
// It coordinates the units an instance is made of: the event queue that
// host threads fill, the script (qppScript) the worker serves from it, the
// watchdog and the counters, and the sub-interpreter they all live in.
//
// Threads. Host threads run the factory, the constructor, the destructor and
// the event hooks. Each instance has one worker thread (Entry), the only
// thread that runs this instance's script code and the only one that
// touches its script (but for the subscription bits the hooks read) and
// its configuration (debug) while it runs, and the tag after the worker
// has started (it renames itself with SetTag; host threads read a copy
// with GetTag). The module's dispatch gives up
// the interpreter lock while the host's sink works.
//
// Locks, in the only order in which they are ever nested:
//   interpreter lock -> plock         (the module looks up the registry)
//   interpreter lock -> flow lock -> qdAddr::lock   (encoding a flow)
//   flow-map bucket -> flow lock             (the flow-map hook)
//   flow lock -> event_lock                  (a host thread that holds a
//                                             flow's mutex raises an event)
//   event_lock -> a sync point's own lock    (signalling it)
// event_lock is the event queue's (qpp-event-queue.h).
// plock is the runtime's (qpp-runtime.h); it is held around the
// interpreter lock only while the process-wide runtime is brought up or
// finalised, when no worker runs script code.
// A hook takes its statistics snapshot before event_lock, and nothing
// waits for another lock while it holds event_lock (a sync point's lock is
// only ever held for a moment): neither the interpreter lock nor a flow's
// mutex nor a flow-map bucket is ever taken under it.
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
#include "qpp-interpreter.h"
#include "qpp-python.h"
#include "qpp-runtime.h"
#include "qpp-script.h"
#include "qpp-stats.h"
#include "qpp-watchdog.h"
#include "quivend.h"

#define QPP_PLUGIN_NAME "Quiven Python Processor Plugin"
// QPP_PLUGIN_VERSION comes from the project version, given by the build.

// How long destruction waits for threads that a script started to end.
constexpr std::chrono::seconds script_thread_wait(3);

class qppPlugin : public qdPluginProcessor, public qppInstance
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

    // The flow dictionary of flow and its snapshot stats: the statistics
    // form when stats_only, the full form otherwise. Needs the interpreter
    // lock with this instance's sub-interpreter current. Returns a new
    // reference; throws qdException.
    PyObject *EncodeFlow(const std::shared_ptr<qdFlow> &flow,
        const qppFlowStats &stats, bool stats_only);

    // Serves one event on the worker thread: enters the sub-interpreter and
    // calls the callbacks the event selects. True when every selected
    // callback returned normally. Throws qdException when the arguments
    // cannot be built.
    bool CallScriptFunction(const qppEvent &event);

    // Re-reads the configuration and imports the script when its digest
    // changed. Worker thread only; throws qdException.
    void Reload();

    // Binds one callback of the loaded script module. Worker thread only,
    // inside a thread_scope.
    bool LoadScriptFunction(ScriptFunction id);

    // This instance's sub-interpreter, for hosts of the encoder outside
    // the worker (tests and benchmarks enter it with a thread_scope).
    PyInterpreterState *GetPyInterpreter() const
    {
        return interpreter->GetInterpreterState();
    }

private:
    void LogStatistics();
    void QueueAgentEvent(uint16_t event);
    void ServeEvents();
    void ServeReload();
    // The worker thread's own set-up, before it serves anything.
    void PrepareWorkerThread();

    bool debug;
    qppStats stats;
    qppWatchdog watchdog;
    qppEventQueue queue;
    std::unique_ptr<qppPySubInterpreter> interpreter;
    // Every Python reference of the script, released inside the
    // sub-interpreter before it ends.
    qppScript script;

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
