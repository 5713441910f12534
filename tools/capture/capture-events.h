// Where the capture host's events go: the narrow interface between flow
// tracking and whatever plays the daemon towards a plugin. The capture code
// calls it from its one capture thread, in event order.
#pragma once

#include <memory>

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
};

// Delivers the events to one plugin instance through its processor hooks,
// as the daemon does. The plugin must outlive this object's use.
class qppCapturePluginEvents : public qppCaptureEvents
{
public:
    explicit qppCapturePluginEvents(qdPluginProcessor *plugin) : plugin(plugin) { }

    void FlowEvent(qdPluginProcessor::Event event,
        std::shared_ptr<qdFlow> &flow) override
    {
        plugin->DispatchProcessorEvent(event, flow);
    }
    void FlowMap(qdFlowMap &map) override
    {
        plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_FLOW_MAP, &map);
    }
    void AgentEvent(qdPluginProcessor::Event event) override
    {
        plugin->DispatchProcessorEvent(event);
    }

private:
    qdPluginProcessor *plugin;
};
