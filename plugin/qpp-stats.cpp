#include "qpp-stats.h"

qppCallbackStats &qppStats::Callback(uint8_t id)
{
    // id is one bit of 1, 2, 4, 8.
    size_t i = 0;
    while (i < 3 && (id >> i) != 1) i++;
    return callbacks[i];
}

nlohmann::json qppStats::ToJson() const
{
    auto get = [](const std::atomic<uint64_t> &c) {
        return c.load(std::memory_order_relaxed);
    };
    nlohmann::json callbacks_json = nlohmann::json::object();
    for (size_t i = 0; i < 4; i++) {
        callbacks_json[callback_names[i]] = {
            {"calls", get(callbacks[i].calls)},
            {"exceptions", get(callbacks[i].exceptions)},
            {"interrupted", get(callbacks[i].interrupted)},
        };
    }
    return {
        {"events", {{"served", get(events_served)}}},
        {"callbacks", callbacks_json},
        {"reloads",
            {{"done", get(reloads_done)}, {"failed", get(reloads_failed)},
                {"unchanged", get(reloads_unchanged)}}},
        {"payloads",
            {{"dispatched", get(payloads_dispatched)},
                {"refused", get(payloads_refused)}}},
    };
}
