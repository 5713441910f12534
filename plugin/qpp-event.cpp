#include <mutex>

#include "qpp-event.h"

qppFlowStats::qppFlowStats(const qdFlowStats &stats)
    : lower_bytes(stats.lower_bytes), upper_bytes(stats.upper_bytes),
      total_bytes(stats.total_bytes), lower_packets(stats.lower_packets),
      upper_packets(stats.upper_packets), total_packets(stats.total_packets),
      detection_packets(stats.detection_packets),
      lower_rate(stats.lower_rate), upper_rate(stats.upper_rate),
      tcp_seq_errors(stats.tcp_seq_errors), tcp_resets(stats.tcp_resets),
      tcp_retrans(stats.tcp_retrans) { }

size_t qppEvent::Bytes() const
{
    // A snapshot owns nothing outside its entry.
    return sizeof(qppEvent) + flows.capacity() * sizeof(flows[0]);
}

void qppEvent::PushFlow(std::shared_ptr<qdFlow> &flow)
{
    std::lock_guard<std::recursive_mutex> guard(flow->lock);
    flows.emplace_back(flow, qppFlowStats(flow->stats));
}
