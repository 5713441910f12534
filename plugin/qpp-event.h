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

#include "qpp-stats.h"
#include "quivend.h"

// What a flow dictionary shows of a flow's statistics: counters and rates.
// The host's record also carries two history lists of the configured
// length, which no script sees; a snapshot of 20,000 flows with long
// histories would hold hundreds of megabytes of them.
struct qppFlowStats
{
    qppFlowStats() = default;
    // Implicit: hosts of the encoder (tests, benchmarks) hand the host's
    // record as it is.
    qppFlowStats(const qdFlowStats &stats);

    uint64_t lower_bytes = 0;
    uint64_t upper_bytes = 0;
    uint64_t total_bytes = 0;
    uint32_t lower_packets = 0;
    uint32_t upper_packets = 0;
    uint32_t total_packets = 0;
    uint8_t detection_packets = 0;
    float lower_rate = 0;
    float upper_rate = 0;
    uint32_t tcp_seq_errors = 0;
    uint32_t tcp_resets = 0;
    uint32_t tcp_retrans = 0;
};

struct qppEvent
{
    // Private codes of the plugin's own events.
    static constexpr uint8_t PRV_UNLOAD = 99;  // 'c': the unload notice
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
