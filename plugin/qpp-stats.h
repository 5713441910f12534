// qppStats: the counters one instance keeps about its own work, for the
// operator. Host threads count what the hooks queue or drop, the worker what
// it serves and how long callbacks take; any thread reads them through
// ToJson (the host's EVENT_STATS, the script's qpp.stats(), the worker's
// periodic debug line). Relaxed atomics throughout: a reader wants recent
// figures, not one consistent cut, and counting must cost a hook no more
// than an increment.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

inline void qppCount(std::atomic<uint64_t> &counter, uint64_t n = 1)
{
    counter.fetch_add(n, std::memory_order_relaxed);
}

// Times of calls in log-linear buckets: four per power of two of
// nanoseconds, so that a quantile read from it is within 19% of the true
// one, at a fixed cost of one increment per call.
class qppHistogram
{
public:
    void Add(uint64_t ns);
    uint64_t Count() const;
    // The upper bound of the bucket holding quantile q (0 < q <= 1), in ns.
    uint64_t Quantile(double q) const;
    uint64_t Max() const { return max_ns.load(std::memory_order_relaxed); }

private:
    static constexpr size_t sub_buckets = 4;
    static constexpr size_t buckets = 64 * sub_buckets;
    static size_t Bucket(uint64_t ns);
    static uint64_t UpperBound(size_t bucket);

    std::atomic<uint64_t> count[buckets] = {};
    std::atomic<uint64_t> max_ns{0};
};

struct qppCallbackStats
{
    std::atomic<uint64_t> calls{0};
    std::atomic<uint64_t> exceptions{0};   // raised out of the callback
    std::atomic<uint64_t> interrupted{0};  // stopped by the time budget
    qppHistogram time;
};

// Events of one kind. An event the script subscribes to is served (a
// callback ran), unhandled (it reached none: a value no callback takes,
// or one whose callback a reload took away) or dropped in the end; one the
// subscription mask filters out is none of them.
struct qppKindStats
{
    std::atomic<uint64_t> queued{0};
    std::atomic<uint64_t> served{0};
    std::atomic<uint64_t> unhandled{0};
    std::atomic<uint64_t> dropped{0};
    // Flow maps only: the flows the events above carried.
    std::atomic<uint64_t> flows_queued{0};
    std::atomic<uint64_t> flows_served{0};
    std::atomic<uint64_t> flows_dropped{0};
};

struct qppStats
{
    enum Kind : uint8_t { FLOW, FLOW_MAP, AGENT, KINDS };

    // The callbacks in the order of qppScript::Callback's bits.
    static constexpr const char *callback_names[4] = {"ProcessAgentEvent",
        "ProcessFlowEvent", "ProcessFlowMap", "ProcessFlowStats"};

    qppKindStats events[KINDS];
    qppCallbackStats callbacks[4];
    // The queue. Depth and bytes change under the queue's lock, and are
    // atomics so that readers need not take it.
    std::atomic<uint64_t> queue_depth{0};
    std::atomic<uint64_t> queue_high_water{0};
    std::atomic<uint64_t> queue_bytes{0};
    // The bound in force (0: none); written by the worker at reloads, read
    // by the hooks.
    std::atomic<uint64_t> queue_max_events{0};
    std::atomic<uint64_t> queue_max_bytes{0};
    std::atomic<uint64_t> reloads_done{0};       // a script was (re)imported
    std::atomic<uint64_t> reloads_failed{0};     // configuration or import failed
    std::atomic<uint64_t> reloads_unchanged{0};  // same digest: nothing to do
    std::atomic<uint64_t> payloads_dispatched{0};
    std::atomic<uint64_t> payloads_refused{0};
    // A script runner's: set once an instance ran its script in one.
    std::atomic<bool> runner_used{false};
    std::atomic<uint64_t> runner_pid{0};       // 0 while none runs
    std::atomic<uint64_t> runner_restarts{0};  // started again after an end

    // The callback counters of the one callback whose bit is id.
    qppCallbackStats &Callback(uint8_t id);

    void Queued(Kind kind, size_t flows, size_t bytes);
    void Served(Kind kind, size_t flows);
    void Dropped(Kind kind, size_t flows);
    // Why the last runner ended, as its log line said; any thread.
    void RunnerEnded(const std::string &cause);
    // An event left the queue: depth and bytes fall.
    void Dequeued(size_t bytes);
    // An event handed to a script runner behind another is still waiting:
    // depth and bytes rise again.
    void Held(size_t bytes);

    nlohmann::json ToJson() const;

private:
    mutable std::mutex cause_lock;
    std::string runner_cause;  // guarded by cause_lock
};
