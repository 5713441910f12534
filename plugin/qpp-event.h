// The record handed from host threads to the worker. A hook builds it
// completely on the host's thread; the worker takes it from the queue and
// never changes it. It owns one share of each flow and a statistics
// snapshot taken when the flow was added.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "qpp-flow-encoder.h"
#include "qpp-module.h"
#include "qpp-stats.h"
#include "quivend.h"

struct qppEvent
{
    // Private codes of the plugin's own events.
    static constexpr uint8_t PRV_UNLOAD = qppEventUnload;  // the unload notice
    static constexpr uint8_t PRV_SYNC = 115;   // 's': signal sync, no script

    uint8_t prv = 0;
    uint16_t event = 0;
    std::vector<std::pair<std::shared_ptr<qdFlow>, qppFlowStats>> flows;
    // PRV_SYNC only: the plugin's copy, sharing the host's signal.
    std::optional<qdSyncPoint> sync;

    qppEvent() = default;
    qppEvent(uint8_t prv, uint16_t event) : prv(prv), event(event) { }

    qppStats::Kind Kind() const
    {
        if (event == qdPluginProcessor::EVENT_FLOW_MAP) return qppStats::FLOW_MAP;
        if (event >= qdPluginProcessor::EVENT_FLOW_NEW &&
            event <= qdPluginProcessor::EVENT_FLOW_EXPIRED)
            return qppStats::FLOW;
        return qppStats::AGENT;
    }

    // What the record holds while queued, approximately: itself and its
    // flow list with the snapshots in it. The flows are the host's and are
    // not counted: while the host keeps a flow, queuing its event costs no
    // more than this.
    size_t Bytes() const;

    // Adds a share of flow and a copy of its live statistics, read under the
    // flow's own mutex so that the host never changes them mid-copy.
    void PushFlow(std::shared_ptr<qdFlow> &flow);
};
