#include <functional>

#include "qd-config.h"
#include "qd-flow.h"

qdFlowStats::qdFlowStats()
    : lower_history(qdGlobalConfig::GetInstance().max_history, 0),
      upper_history(qdGlobalConfig::GetInstance().max_history, 0) { }

qdFlowStats::qdFlowStats(const qdFlowStats &other) : qdFlowStats()
{
    *this = other;
}

qdFlowStats &qdFlowStats::operator=(const qdFlowStats &other)
{
    if (this == &other) return *this;
    lower_bytes = other.lower_bytes;
    upper_bytes = other.upper_bytes;
    total_bytes = other.total_bytes;
    lower_packets = other.lower_packets;
    upper_packets = other.upper_packets;
    total_packets = other.total_packets;
    detection_packets = other.detection_packets;
    // The history belongs to the live flow; a snapshot starts its own.
    size_t length = qdGlobalConfig::GetInstance().max_history;
    lower_history.assign(length, 0);
    upper_history.assign(length, 0);
    lower_rate = other.lower_rate;
    upper_rate = other.upper_rate;
    tcp_seq_errors = other.tcp_seq_errors;
    tcp_resets = other.tcp_resets;
    tcp_retrans = other.tcp_retrans;
    return *this;
}

qdFlow::qdFlow(std::shared_ptr<qdInterface> iface) : iface(std::move(iface)) { }

qdFlowMap::qdFlowMap(size_t buckets)
    : buckets(buckets ? buckets : 1), bucket_flows(this->buckets)
{
    for (size_t i = 0; i < this->buckets; i++)
        bucket_locks.emplace_back(new std::mutex);
}

qdFlowMap::bucket_type &qdFlowMap::Acquire(size_t bucket)
{
    bucket_locks.at(bucket)->lock();
    return bucket_flows[bucket];
}

void qdFlowMap::Release(size_t bucket) { bucket_locks.at(bucket)->unlock(); }

void qdFlowMap::Insert(const std::string &key, std::shared_ptr<qdFlow> flow)
{
    size_t bucket = std::hash<std::string>()(key) % buckets;
    std::lock_guard<std::mutex> guard(*bucket_locks[bucket]);
    bucket_flows[bucket][key] = std::move(flow);
}
