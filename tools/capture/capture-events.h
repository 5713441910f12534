// Where the capture host's events go: the narrow interface between flow
// tracking and whatever plays the daemon towards a plugin, and how a host
// paces its delivery. The capture code calls it from its one capture
// thread, in event order.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>

#include <nlohmann/json.hpp>

#include "qpp-hosted-plugin.h"
#include "quivend.h"

class qppCaptureEvents
{
public:
    virtual ~qppCaptureEvents() = default;

    // An event about one flow (2 to 7). The flow stays shared with the
    // flow table, which keeps updating it under its lock.
    virtual void FlowEvent(qdPluginProcessor::Event event,
        std::shared_ptr<qdFlow> &flow) = 0;
    // A snapshot of the flow table (event 1); map lives for the call only.
    virtual void FlowMap(qdFlowMap &map) = 0;
    // An agent event (11 and 12).
    virtual void AgentEvent(qdPluginProcessor::Event event) = 0;
    // True once the run is to end early (a stop request, output lost):
    // reading stops, and so does the clock catching up on a long gap.
    // Asked often, from the capture thread.
    virtual bool Stopping() { return false; }
};

// When a host that reads its input faster than the script runs waits for
// the plugin to serve what it was given. The plugin's queue drops whatever
// would exceed its bound; a file must lose nothing, nor hold more than the
// bound allows at once. Counting events alone would let a few large flow
// maps fill memory, so the host also waits once the queue holds so many
// bytes, as the plugin counts them: asked of the plugin after each flow map,
// the one event whose size grows with what it carries, and every 256 other
// events (asking costs more than delivering one).
struct qppCapturePace
{
    size_t events = 0;   // after this many events since the last wait; 0: never
    uint64_t bytes = 0;  // once the queue holds this many bytes; 0: never

    // Half the queue's bounds (0: none, and then 4096 events or 32 MiB), so
    // that a host that paces never fills the queue: only an event larger
    // than half the bound can be dropped.
    static qppCapturePace Within(uint64_t max_events, uint64_t max_bytes)
    {
        qppCapturePace pace;
        pace.events = max_events == 0 ? 4096 :
            static_cast<size_t>(std::max<uint64_t>(1, std::min<uint64_t>(4096, max_events / 2)));
        pace.bytes = max_bytes == 0 ? (32u << 20) : std::max<uint64_t>(1, max_bytes / 2);
        return pace;
    }
};

// Waits as its pace says; one host thread calls it after each event.
class qppCapturePacer
{
public:
    // wait returns once the plugin has served everything delivered so far.
    qppCapturePacer(qdPluginProcessor *plugin, qppCapturePace pace, std::function<void()> wait)
        : plugin(plugin), pace(pace), wait(std::move(wait)) { }

    // After each event delivered; map: it was a flow map.
    void Delivered(bool map)
    {
        since++;
        bool full = pace.events != 0 && since >= pace.events;
        if (! full && (map || since % 256 == 0) && pace.bytes != 0) {
            nlohmann::json stats = qppHostStats(plugin);
            auto queue = stats.is_object() ? stats.find("queue") : stats.end();
            if (queue != stats.end() && queue->is_object()) {
                auto bytes = queue->find("bytes");
                full = bytes != queue->end() && bytes->is_number_unsigned() &&
                    bytes->get<uint64_t>() >= pace.bytes;
            }
        }
        if (! full) return;
        since = 0;
        wait();
    }

private:
    qdPluginProcessor *plugin;
    qppCapturePace pace;
    std::function<void()> wait;
    size_t since = 0;
};

// Delivers the events to one plugin instance through its processor hooks,
// as the daemon does. The plugin must outlive this object's use.
class qppCapturePluginEvents : public qppCaptureEvents
{
public:
    // pace: when to wait until the plugin has served what it was given, so
    // that a file read faster than its script runs does not queue all its
    // events at once; by default never, as a daemon on an interface.
    // stopping: Stopping's answer (never, when empty); once it is true, no
    // wait goes on.
    explicit qppCapturePluginEvents(qdPluginProcessor *plugin, qppCapturePace pace = {},
        std::function<bool()> stopping = nullptr)
        : plugin(plugin), stopping(std::move(stopping)), pacer(plugin, pace, [this] {
              qppHostSyncPatiently(this->plugin, std::chrono::seconds(10), [] {
                  fprintf(stderr, "qpp-replay: still waiting for the plugin; "
                      "is a script callback blocked?\n");
              }, [this] { return Stopping(); });
          }) { }

    void FlowEvent(qdPluginProcessor::Event event,
        std::shared_ptr<qdFlow> &flow) override
    {
        plugin->DispatchProcessorEvent(event, flow);
        pacer.Delivered(false);
    }
    void FlowMap(qdFlowMap &map) override
    {
        plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_FLOW_MAP, &map);
        pacer.Delivered(true);
    }
    void AgentEvent(qdPluginProcessor::Event event) override
    {
        plugin->DispatchProcessorEvent(event);
        pacer.Delivered(false);
    }
    bool Stopping() override { return stopping && stopping(); }

private:
    qdPluginProcessor *plugin;
    std::function<bool()> stopping;
    qppCapturePacer pacer;
};
