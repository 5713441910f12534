#include <algorithm>

#include "qpp-stats.h"

size_t qppHistogram::Bucket(uint64_t ns)
{
    if (ns < sub_buckets) return static_cast<size_t>(ns);
    // The power of two, then the two bits below the leading one.
    size_t power = 63 - static_cast<size_t>(__builtin_clzll(ns));
    size_t sub = static_cast<size_t>(ns >> (power - 2)) & (sub_buckets - 1);
    size_t bucket = (power - 1) * sub_buckets + sub;
    return (bucket < buckets) ? bucket : buckets - 1;
}

uint64_t qppHistogram::UpperBound(size_t bucket)
{
    if (bucket < sub_buckets) return bucket;
    size_t power = bucket / sub_buckets + 1;
    uint64_t sub = bucket % sub_buckets;
    if (power >= 63) return UINT64_MAX;
    // The bucket holds [(4 + sub) << (power - 2), (5 + sub) << (power - 2)).
    return ((sub_buckets + sub + 1) << (power - 2)) - 1;
}

void qppHistogram::Add(uint64_t ns)
{
    count[Bucket(ns)].fetch_add(1, std::memory_order_relaxed);
    uint64_t seen = max_ns.load(std::memory_order_relaxed);
    while (ns > seen &&
        ! max_ns.compare_exchange_weak(seen, ns, std::memory_order_relaxed)) {
    }
}

uint64_t qppHistogram::Count() const
{
    uint64_t total = 0;
    for (auto &c : count) total += c.load(std::memory_order_relaxed);
    return total;
}

uint64_t qppHistogram::Quantile(double q) const
{
    uint64_t total = Count();
    if (total == 0) return 0;
    // The rank of the quantile, 1-based, rounded up.
    uint64_t rank = static_cast<uint64_t>(q * static_cast<double>(total));
    if (static_cast<double>(rank) < q * static_cast<double>(total)) rank++;
    if (rank == 0) rank = 1;
    uint64_t seen = 0;
    for (size_t i = 0; i < buckets; i++) {
        seen += count[i].load(std::memory_order_relaxed);
        if (seen >= rank) return std::min(UpperBound(i), Max());
    }
    return Max();
}

qppCallbackStats &qppStats::Callback(uint8_t id)
{
    // id is one bit of 1, 2, 4, 8.
    size_t i = 0;
    while (i < 3 && (id >> i) != 1) i++;
    return callbacks[i];
}

void qppStats::Queued(Kind kind, size_t flows, size_t bytes)
{
    qppCount(events[kind].queued);
    if (kind == FLOW_MAP) qppCount(events[kind].flows_queued, flows);
    Held(bytes);
}

void qppStats::Held(size_t bytes)
{
    uint64_t depth = queue_depth.fetch_add(1, std::memory_order_relaxed) + 1;
    queue_bytes.fetch_add(bytes, std::memory_order_relaxed);
    uint64_t high = queue_high_water.load(std::memory_order_relaxed);
    while (depth > high &&
        ! queue_high_water.compare_exchange_weak(
            high, depth, std::memory_order_relaxed)) {
    }
}

void qppStats::Served(Kind kind, size_t flows)
{
    qppCount(events[kind].served);
    if (kind == FLOW_MAP) qppCount(events[kind].flows_served, flows);
}

void qppStats::RunnerEnded(const std::string &cause)
{
    std::lock_guard<std::mutex> guard(cause_lock);
    runner_cause = cause;
}

void qppStats::Dropped(Kind kind, size_t flows)
{
    qppCount(events[kind].dropped);
    if (kind == FLOW_MAP) qppCount(events[kind].flows_dropped, flows);
}

void qppStats::Dequeued(size_t bytes)
{
    queue_depth.fetch_sub(1, std::memory_order_relaxed);
    queue_bytes.fetch_sub(bytes, std::memory_order_relaxed);
}

nlohmann::json qppStats::ToJson() const
{
    auto get = [](const std::atomic<uint64_t> &c) {
        return c.load(std::memory_order_relaxed);
    };
    static const char *kind_names[KINDS] = {"flow", "flow_map", "agent"};
    nlohmann::json events_json = nlohmann::json::object();
    uint64_t queued = 0, served = 0, unhandled = 0, dropped = 0;
    for (size_t k = 0; k < KINDS; k++) {
        const qppKindStats &e = events[k];
        queued += get(e.queued);
        served += get(e.served);
        unhandled += get(e.unhandled);
        dropped += get(e.dropped);
        nlohmann::json j = {{"queued", get(e.queued)}, {"served", get(e.served)},
            {"unhandled", get(e.unhandled)}, {"dropped", get(e.dropped)}};
        if (k == FLOW_MAP) {
            j["flows_queued"] = get(e.flows_queued);
            j["flows_served"] = get(e.flows_served);
            j["flows_dropped"] = get(e.flows_dropped);
        }
        events_json[kind_names[k]] = j;
    }
    events_json["queued"] = queued;
    events_json["served"] = served;
    events_json["unhandled"] = unhandled;
    events_json["dropped"] = dropped;
    nlohmann::json callbacks_json = nlohmann::json::object();
    for (size_t i = 0; i < 4; i++) {
        const qppCallbackStats &c = callbacks[i];
        callbacks_json[callback_names[i]] = {
            {"calls", get(c.calls)},
            {"exceptions", get(c.exceptions)},
            {"interrupted", get(c.interrupted)},
            {"time_us",
                {{"median", c.time.Quantile(0.5) / 1000.0},
                    {"p99", c.time.Quantile(0.99) / 1000.0},
                    {"max", c.time.Max() / 1000.0}}},
        };
    }
    nlohmann::json j = {
        {"events", events_json},
        {"callbacks", callbacks_json},
        {"queue",
            {{"depth", get(queue_depth)}, {"high_water", get(queue_high_water)},
                {"bytes", get(queue_bytes)}, {"max_events", get(queue_max_events)},
                {"max_bytes", get(queue_max_bytes)}}},
        {"reloads",
            {{"done", get(reloads_done)}, {"failed", get(reloads_failed)},
                {"unchanged", get(reloads_unchanged)}}},
        {"payloads",
            {{"dispatched", get(payloads_dispatched)},
                {"refused", get(payloads_refused)}}},
    };
    if (runner_used.load(std::memory_order_relaxed)) {
        std::lock_guard<std::mutex> guard(cause_lock);
        j["runner"] = {{"pid", get(runner_pid)}, {"restarts", get(runner_restarts)},
            {"last_end", runner_cause}};
    }
    return j;
}
