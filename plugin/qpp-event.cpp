#include <mutex>

#include "qpp-event.h"

size_t qppEvent::Bytes() const
{
    size_t bytes = sizeof(qppEvent) + flows.capacity() * sizeof(flows[0]);
    for (auto &entry : flows) {
        bytes += (entry.second.lower_history.capacity() +
                     entry.second.upper_history.capacity()) *
            sizeof(entry.second.lower_history[0]);
    }
    return bytes;
}

void qppEvent::PushFlow(std::shared_ptr<qdFlow> &flow)
{
    std::lock_guard<std::recursive_mutex> guard(flow->lock);
    flows.emplace_back(flow, flow->stats);
}
