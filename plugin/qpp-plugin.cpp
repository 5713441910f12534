// The plugin object: factory, construction and destruction, and the hooks
// through which host threads hand events to the worker.

#include <cerrno>
#include <cstring>

#include "qpp-module.h"
#include "qpp-plugin.h"
#include "qpp-process-isolation.h"

extern "C" __attribute__((visibility("default"))) qdPlugin *qdPluginInit(
    const std::string &tag, const std::map<std::string, std::string> &params)
{
    qppPlugin *plugin = new qppPlugin(tag, params);
    uint8_t type = plugin->GetType();
    if (type == qdPlugin::TYPE_PROC_FLOW || type == qdPlugin::TYPE_PROC_STATS)
        return plugin;

    qd_printf("Invalid plugin type: %s [%u]\n", tag.c_str(),
        static_cast<unsigned>(type));
    delete plugin;
    return nullptr;
}

qppPlugin::qppPlugin(
    const std::string &tag, const std::map<std::string, std::string> &params)
    : qdPluginProcessor(tag, params), queue(stats)
{
    if (conf_filename.empty()) {
        throw qdException("%s: %s: %s", tag.c_str(), "conf_filename",
            strerror(EINVAL));
    }

    qppRuntime::Initialize(tag, "qpp", PyInit_qpp);
    try {
        interpreter_isolation.reset(
            new qppInterpreterIsolation(stats, script_function_mask, *this, tag));
    }
    catch (...) {
        // No plugin object ever exists without its sub-interpreter.
        qppRuntime::Finalize();
        throw;
    }
    isolation = interpreter_isolation.get();
    process_isolation.reset(new qppProcessIsolation({stats, script_function_mask, *this, *this,
        [this] { queue.Wake(); }, [this] { return queue.DropQueued(); }}));

    qd_dprintf("%s: initialized\n", tag.c_str());
}

qppPlugin::~qppPlugin()
{
    // A callback that does not end within the grace is stopped, so that
    // the worker sends the unload notice and ends.
    interpreter_isolation->BeginEnding();
    if (process_isolation) process_isolation->BeginEnding();
    Join();
    // A worker that ran has signalled them already; one that never started
    // leaves its host waiting otherwise.
    queue.Close();

    process_isolation.reset();
    interpreter_isolation.reset();
    qppRuntime::Finalize();

    qd_dprintf("%s: destroyed\n", tag.c_str());
}

void qppPlugin::GetVersion(std::string &version) { version = QPP_PLUGIN_VERSION; }

void qppPlugin::Terminate()
{
    qdPluginProcessor::Terminate();
    queue.Wake();
}

void qppPlugin::DispatchEvent(qdPlugin::Event event, void *param)
{
    switch (event) {
    case qdPlugin::EVENT_RELOAD:
        queue.RequestReload();
        break;
    case qdPlugin::EVENT_STATS:
        if (param != nullptr) *static_cast<json *>(param) = Statistics();
        break;
    case qdPlugin::EVENT_SYNC:
        if (param != nullptr) queue.PushSync(*static_cast<qdSyncPoint *>(param));
        break;
    default:
        break;
    }
}

void qppPlugin::DispatchProcessorEvent(
    qdPluginProcessor::Event event, qdFlowMap *flow_map)
{
    uint8_t mask = script_function_mask.load();
    if ((mask & (qppScript::ProcessFlowMap | qppScript::ProcessFlowStats)) == 0) {
        if ((mask & qppScript::loaded) == 0) {
            // The flows it would have carried, near enough: every entry,
            // without taking each flow's mutex to read its flags.
            size_t count = 0;
            for (size_t b = 0; b < flow_map->buckets; b++) {
                count += flow_map->Acquire(b).size();
                flow_map->Release(b);
            }
            stats.Dropped(qppStats::FLOW_MAP, count);
        }
        return;
    }

    qppEvent record(0, event);
    for (size_t b = 0; b < flow_map->buckets; b++) {
        qdFlowMap::bucket_type &flows = flow_map->Acquire(b);
        for (auto &entry : flows) {
            std::shared_ptr<qdFlow> &flow = entry.second;
            // The host writes the flags under the flow's mutex.
            std::lock_guard<std::recursive_mutex> guard(flow->lock);
            if (flow->flags.detection_init && ! flow->flags.expired)
                record.PushFlow(flow);
        }
        flow_map->Release(b);
    }

    if (record.flows.empty()) return;
    queue.Push(std::move(record));
}

void qppPlugin::DispatchProcessorEvent(
    qdPluginProcessor::Event event, std::shared_ptr<qdFlow> &flow)
{
    uint8_t mask = script_function_mask.load();
    if ((mask & qppScript::ProcessFlowEvent) == 0) {
        if ((mask & qppScript::loaded) == 0) stats.Dropped(qppStats::FLOW, 1);
        return;
    }

    // The snapshot takes the flow's mutex, which a host thread may hold
    // while it raises an event itself: taken before the queue's lock, as
    // in the flow-map hook, so that no hook waits for a flow while it
    // holds the queue.
    qppEvent record(0, event);
    record.PushFlow(flow);
    queue.Push(std::move(record));
}

void qppPlugin::DispatchProcessorEvent(qdPluginProcessor::Event,
    std::map<std::string, std::shared_ptr<qdInterface>> *) { }

void qppPlugin::DispatchProcessorEvent(
    qdPluginProcessor::Event, const std::string &, qdPacketStats *) { }

void qppPlugin::DispatchProcessorEvent(qdPluginProcessor::Event, qdPacketStats *)
{
}

void qppPlugin::DispatchProcessorEvent(
    qdPluginProcessor::Event event, qdInstanceStatus *)
{
    QueueAgentEvent(event);
}

void qppPlugin::DispatchProcessorEvent(qdPluginProcessor::Event event)
{
    QueueAgentEvent(event);
}

void qppPlugin::QueueAgentEvent(uint16_t event)
{
    uint8_t mask = script_function_mask.load();
    if ((mask & qppScript::ProcessAgentEvent) == 0) {
        if ((mask & qppScript::loaded) == 0) stats.Dropped(qppStats::AGENT, 0);
        return;
    }
    queue.Push(qppEvent(0, event));
}

void qppPlugin::DispatchSinkPayload(const std::string &target,
    const std::set<std::string> &channels, size_t length,
    const uint8_t *payload, qdFlags<qdPlugin::DispatchFlags> flags)
{
    try {
        qdPluginProcessor::DispatchSinkPayload(
            target, channels, length, payload, flags);
    }
    catch (...) {
        qppCount(stats.payloads_refused);
        throw;
    }
    qppCount(stats.payloads_dispatched);
}

PyObject *qppPlugin::EncodeFlow(const std::shared_ptr<qdFlow> &flow,
    const qppFlowStats &stats, bool stats_only)
{
    return interpreter_isolation->EncodeFlow(flow, stats, stats_only).release();
}

void qppPlugin::CallBegins(uint8_t id)
{
    // The configuration's own switch: shown without the host's debug.
    if (debug) {
        qd_printf("%s: calling script function: %s\n", GetTag().c_str(),
            qppScript::CallbackName(id));
    }
    qppCount(stats.Callback(id).calls);
}

void qppPlugin::CallEnded(uint8_t id, qppCallOutcome outcome, uint64_t ns)
{
    qppCallbackStats &counters = stats.Callback(id);
    counters.time.Add(ns);
    if (outcome == qppCallOutcome::RAISED) qppCount(counters.exceptions);
    if (outcome == qppCallOutcome::INTERRUPTED) qppCount(counters.interrupted);
}
