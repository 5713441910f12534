// The capture host's packet path: decoding, the flow table with its clock,
// and nDPI's detection, on packets of any content.
//
// Input: one byte choosing the link type, then records, each a two-byte
// little-endian length, one byte of time step (tens of milliseconds; 255
// leaps an hour ahead, 254 steps back a second), and that many bytes (fewer
// at the end of the input). fuzz/capture-seeds.py makes seeds from captures.
//
// Must hold: no crash, leak or undefined behaviour; every flow that was
// announced new is expired exactly once, after which nothing is tracked;
// every record is either tracked or counted as skipped.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>

#include "capture-flows.h"

namespace {

void Check(bool condition, const char *what)
{
    if (! condition) {
        fprintf(stderr, "invariant violated: %s\n", what);
        abort();
    }
}

class Counter : public qppCaptureEvents
{
public:
    void FlowEvent(qdPluginProcessor::Event event, std::shared_ptr<qdFlow> &flow) override
    {
        std::lock_guard<std::recursive_mutex> lock(flow->lock);
        int &state = flows[flow.get()];
        if (event == qdPluginProcessor::EVENT_FLOW_NEW) {
            Check(state == 0, "a flow is new twice");
            state = 1;
            keep.push_back(flow);
        }
        else {
            Check(state == 1, "an event for a flow that is not new or has expired");
        }
        if (event == qdPluginProcessor::EVENT_FLOW_EXPIRED) {
            Check(flow->flags.expired && flow->flags.expiring, "expired without its flags");
            state = 2;
        }
        Check(flow->stats.total_packets == flow->stats.lower_packets + flow->stats.upper_packets,
            "total packets are not the sum of the sides");
    }
    void FlowMap(qdFlowMap &map) override
    {
        for (size_t b = 0; b < map.buckets; b++) {
            for (auto &entry : map.Acquire(b))
                Check(flows[entry.second.get()] == 1, "a flow map with a flow not live");
            map.Release(b);
        }
    }
    void AgentEvent(qdPluginProcessor::Event) override { }

    // Keeps every flow alive so that no address is reused within one input.
    std::vector<std::shared_ptr<qdFlow>> keep;
    std::map<const qdFlow *, int> flows;  // 1 live, 2 expired
};

const int link_types[] = {1, 113, 276, 101, 12, 228, 229, 0, 108, 105};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // One nDPI module for every input: setting one up costs tens of ms.
    static qppDetector *detector = new qppDetector;
    if (size < 1) return 0;
    int link = link_types[data[0] % (sizeof(link_types) / sizeof(link_types[0]))];
    qppCaptureOptions options;
    options.update_interval_ms = 500;
    options.tcp_timeout_ms = 3000;
    options.tcp_closed_timeout_ms = 200;
    options.udp_timeout_ms = 1000;
    options.other_timeout_ms = 1000;
    options.max_flows = 64;

    Counter counter;
    uint64_t records = 0;
    {
        qppCaptureFlows flows(options, counter, detector);
        uint64_t time_us = 1700000000ULL * 1000000;
        size_t at = 1;
        while (at + 3 <= size) {
            size_t length = data[at] | static_cast<size_t>(data[at + 1]) << 8;
            uint8_t step = data[at + 2];
            at += 3;
            if (length > size - at) length = size - at;
            if (step == 255) time_us += 3600ULL * 1000000;
            else if (step == 254) time_us -= 1000000;
            else time_us += step * 10000ULL;
            // An exact-size copy, so that a read past the record is seen.
            std::unique_ptr<uint8_t[]> record(new uint8_t[length ? length : 1]);
            std::copy(data + at, data + at + length, record.get());
            flows.Packet(link, time_us, record.get(), length, length + (step & 3));
            records++;
            at += length;
        }
        flows.Finish();
        Check(flows.Tracked() == 0, "flows tracked after the end");
        const qppCaptureCounters &c = flows.Counters();
        Check(c.records == records, "records miscounted");
        Check(c.tracked_packets + c.Skipped() + c.refused_packets == c.records,
            "a record neither tracked nor skipped");
    }
    for (auto &flow : counter.flows)
        Check(flow.second == 2, "a flow that never expired");
    return 0;
}
