// The plugin object: factory, construction and destruction, and the hooks
// through which host threads hand events to the worker.

#include <cerrno>
#include <cstring>

#include "qpp-plugin.h"

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
    : qdPluginProcessor(tag, params), reload(true), debug(false),
      watchdog(stats), script_digest{}, script_function_mask(0),
      script_function_names{
          {ProcessAgentEvent, "ProcessAgentEvent"},
          {ProcessFlowEvent, "ProcessFlowEvent"},
          {ProcessFlowMap, "ProcessFlowMap"},
          {ProcessFlowStats, "ProcessFlowStats"},
      }
{
    if (conf_filename.empty()) {
        throw qdException("%s: %s: %s", tag.c_str(), "conf_filename",
            strerror(EINVAL));
    }

    PyInitialize(tag);

    // The host thread enters the main interpreter with a thread state of its
    // own, made for the purpose and deleted on the way out. Resuming the one
    // the runtime came up with, shared by all host threads, goes wrong from
    // 3.12 on: each thread keeps a record of a thread state it activated
    // (PyGILState's), and with a shared one the record of a thread that made
    // a sub-interpreter is left pointing at that sub-interpreter's first
    // thread state. Another host thread ending the sub-interpreter frees it,
    // and the next instance made on the first thread writes through the
    // record.
    bool created;
    {
        qppPySubInterpreter::thread_scope scope(PyInterpreterState_Main());
        interpreter.reset(new qppPySubInterpreter());
        created = interpreter->IsValid();
        if (! created) {
            PyErr_Clear();
            interpreter.reset();
        }
    }

    if (! created) {
        // No plugin object ever exists without its sub-interpreter.
        PyFinalize(tag);
        throw qdException("could not create Python sub-interpreter");
    }

    qd_dprintf("%s: initialized\n", tag.c_str());
}

qppPlugin::~qppPlugin()
{
    // A callback that does not end within the grace is interrupted, so
    // that the worker sends the unload notice and ends.
    watchdog.BeginEnding();
    Join();
    watchdog.Stop();

    if (interpreter) {
        // What the plugin still holds of the script belongs to the
        // sub-interpreter and is released inside it, before it ends.
        // Ending it while a thread that its script started still runs
        // aborts the process (and waits forever for a non-daemon thread):
        // those threads get until the deadline to finish, the unload
        // notice having told the script to stop them.
        bool ended;
        size_t left = 0;
        {
            qppPySubInterpreter::thread_scope scope(
                interpreter->GetInterpreterState());
            ReleasePythonState();
            ended = interpreter->WaitForOtherThreads(
                std::chrono::steady_clock::now() + script_thread_wait);
            if (! ended) left = interpreter->CountOtherThreads();
        }
        if (ended) {
            // As in the constructor, a thread state of this thread's own.
            qppPySubInterpreter::thread_scope scope(PyInterpreterState_Main());
            interpreter.reset();
        }
        else {
            qd_printf("%s: %zu script thread(s) still running after %lld "
                      "seconds: their interpreter is left alive\n",
                tag.c_str(), left,
                static_cast<long long>(script_thread_wait.count()));
            interpreter->Abandon();
            interpreter.reset();
            PyPin();
        }
    }

    PyFinalize(tag);

    qd_dprintf("%s: destroyed\n", tag.c_str());
}

void qppPlugin::ReleasePythonState()
{
    script_functions.clear();
    script_module.reset();
    flow_keys.reset();
}

void qppPlugin::GetVersion(std::string &version) { version = QPP_PLUGIN_VERSION; }

void qppPlugin::QueueEvent(qppEvent &&event)
{
    qppStats::Kind kind = event.Kind();
    size_t flows = event.flows.size();
    size_t bytes = event.Bytes();
    uint64_t max_events = queue_max_events.load(std::memory_order_relaxed);
    uint64_t max_bytes = queue_max_bytes.load(std::memory_order_relaxed);
    {
        std::lock_guard<std::mutex> guard(event_lock);
        // A full queue drops what arrives: the daemon's threads must not
        // wait for a slow script, nor its memory grow without end. Nothing
        // is served once the worker has stopped.
        bool full = worker_done ||
            (max_events != 0 && events.size() >= max_events) ||
            (max_bytes != 0 &&
                stats.queue_bytes.load(std::memory_order_relaxed) + bytes >
                    max_bytes);
        if (! full) {
            events.push_back(std::move(event));
            stats.Queued(kind, flows, bytes);
            event_cond.notify_one();
            return;
        }
    }
    stats.Dropped(kind, flows);
}


void qppPlugin::DispatchEvent(qdPlugin::Event event, void *param)
{
    switch (event) {
    case qdPlugin::EVENT_RELOAD:
        reload = true;
        break;
    case qdPlugin::EVENT_STATS:
        if (param != nullptr) *static_cast<json *>(param) = Statistics();
        break;
    case qdPlugin::EVENT_SYNC: {
        qdSyncPoint *sync = static_cast<qdSyncPoint *>(param);
        if (sync == nullptr) break;
        std::lock_guard<std::mutex> guard(event_lock);
        if (worker_done) {
            sync->Signal();
            break;
        }
        qppEvent record(qppEvent::PRV_SYNC, 0);
        record.sync = sync;
        events.push_back(std::move(record));
        event_cond.notify_one();
        break;
    }
    default:
        break;
    }
}

void qppPlugin::DispatchProcessorEvent(
    qdPluginProcessor::Event event, qdFlowMap *flow_map)
{
    uint8_t mask = script_function_mask.load();
    if ((mask & (ProcessFlowMap | ProcessFlowStats)) == 0) {
        if ((mask & script_loaded) == 0) {
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
    QueueEvent(std::move(record));
}

void qppPlugin::DispatchProcessorEvent(
    qdPluginProcessor::Event event, std::shared_ptr<qdFlow> &flow)
{
    uint8_t mask = script_function_mask.load();
    if ((mask & ProcessFlowEvent) == 0) {
        if ((mask & script_loaded) == 0) stats.Dropped(qppStats::FLOW, 1);
        return;
    }

    qppEvent record(0, event);
    record.PushFlow(flow);
    QueueEvent(std::move(record));
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
    if ((mask & ProcessAgentEvent) == 0) {
        if ((mask & script_loaded) == 0) stats.Dropped(qppStats::AGENT, 0);
        return;
    }
    QueueEvent(qppEvent(0, event));
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
