// qppStats: the counters one instance keeps about its own work, for the
// operator. The worker writes them (the module's dispatch, which runs on the
// worker, counts payloads); any thread reads them through ToJson. Relaxed
// atomics: a reader wants recent figures, not one consistent cut, and a
// counter must cost the worker no more than an increment.
#pragma once

#include <atomic>
#include <cstdint>

#include <nlohmann/json.hpp>

struct qppCallbackStats
{
    std::atomic<uint64_t> calls{0};
    std::atomic<uint64_t> exceptions{0};   // raised out of the callback
    std::atomic<uint64_t> interrupted{0};  // stopped by the time budget
};

struct qppStats
{
    // The callbacks in the order of qppPlugin::ScriptFunction's bits.
    static constexpr const char *callback_names[4] = {"ProcessAgentEvent",
        "ProcessFlowEvent", "ProcessFlowMap", "ProcessFlowStats"};

    std::atomic<uint64_t> events_served{0};
    qppCallbackStats callbacks[4];
    std::atomic<uint64_t> reloads_done{0};       // a script was (re)imported
    std::atomic<uint64_t> reloads_failed{0};     // configuration or import failed
    std::atomic<uint64_t> reloads_unchanged{0};  // same digest: nothing to do
    std::atomic<uint64_t> payloads_dispatched{0};
    std::atomic<uint64_t> payloads_refused{0};

    // The callback counters of the one callback whose bit is id.
    qppCallbackStats &Callback(uint8_t id);

    nlohmann::json ToJson() const;
};

inline void qppCount(std::atomic<uint64_t> &counter)
{
    counter.fetch_add(1, std::memory_order_relaxed);
}
