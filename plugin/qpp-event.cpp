#include <mutex>

#include "qpp-event.h"

void qppEvent::PushFlow(std::shared_ptr<qdFlow> &flow)
{
    std::lock_guard<std::recursive_mutex> guard(flow->lock);
    flows.emplace_back(flow, flow->stats);
}
