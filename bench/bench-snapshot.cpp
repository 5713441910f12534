// What a hook costs the daemon's thread, and what the event it queues holds,
// with long statistics histories (1,000 entries per list): the plugin's
// snapshot (qppEvent::PushFlow, counters and rates only) against a copy of
// the host's whole statistics record, as the hooks once took it.
//
// The flow-map cases walk a map of 20,000 flows as the flow-map hook does
// (bucket lock, then each flow's mutex); the single-flow cases take one
// flow's snapshot. Counters: event_MiB is the heap one built record holds
// (glibc's mallinfo2, in use plus mapped, after minus before; for a single
// flow, 10,000 records kept at once), per_flow_B the same per flow.

#include <malloc.h>

#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <benchmark/benchmark.h>

#include "qpp-event.h"

namespace {

constexpr size_t history_length = 1000;
constexpr size_t map_flows = 20000;

// The record as it was: a full copy of the host's statistics per flow.
using FullEntry = std::pair<std::shared_ptr<qdFlow>, qdFlowStats>;

qdFlowMap *flow_map = nullptr;
std::shared_ptr<qdFlow> single;

std::shared_ptr<qdFlow> MakeFlow(size_t i)
{
    auto flow = std::make_shared<qdFlow>(
        std::make_shared<qdInterface>("eth0", qdInterface::ROLE_LAN));
    flow->flags.detection_init = true;
    flow->stats.lower_bytes = i * 1000;
    flow->stats.lower_packets = static_cast<uint32_t>(i);
    return flow;
}

void Setup()
{
    if (flow_map != nullptr) return;
    // Histories are sized from the global configuration when a record is
    // made or copied.
    qdGlobalConfig::GetInstance().max_history = history_length;
    flow_map = new qdFlowMap(64);
    for (size_t i = 0; i < map_flows; i++)
        flow_map->Insert("flow-" + std::to_string(i), MakeFlow(i));
    single = MakeFlow(0);
}

size_t HeapInUse()
{
    struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

// The flow-map hook's walk, adding each flow to the record with add.
template <typename Add>
void WalkMap(Add &&add)
{
    for (size_t b = 0; b < flow_map->buckets; b++) {
        qdFlowMap::bucket_type &flows = flow_map->Acquire(b);
        for (auto &entry : flows) {
            std::shared_ptr<qdFlow> &flow = entry.second;
            std::lock_guard<std::recursive_mutex> guard(flow->lock);
            if (flow->flags.detection_init && ! flow->flags.expired) add(flow);
        }
        flow_map->Release(b);
    }
}

template <typename Build>
void ReportMemory(benchmark::State &state, size_t flows, Build &&build)
{
    size_t before = HeapInUse();
    auto record = build();
    size_t after = HeapInUse();
    benchmark::DoNotOptimize(record);
    double bytes = static_cast<double>(after - before);
    state.counters["event_MiB"] = bytes / (1024.0 * 1024.0);
    state.counters["per_flow_B"] = bytes / static_cast<double>(flows);
}

std::vector<FullEntry> FullCopyOfMap()
{
    std::vector<FullEntry> flows;
    WalkMap([&](std::shared_ptr<qdFlow> &flow) {
        flows.emplace_back(flow, flow->stats);
    });
    return flows;
}

qppEvent SnapshotOfMap()
{
    qppEvent record(0, qdPluginProcessor::EVENT_FLOW_MAP);
    WalkMap([&](std::shared_ptr<qdFlow> &flow) { record.PushFlow(flow); });
    return record;
}

void BM_FlowMapHook_FullCopy(benchmark::State &state)
{
    Setup();
    for (auto _ : state) {
        auto record = FullCopyOfMap();
        benchmark::DoNotOptimize(record.data());
    }
    ReportMemory(state, map_flows, FullCopyOfMap);
}

void BM_FlowMapHook_Snapshot(benchmark::State &state)
{
    Setup();
    for (auto _ : state) {
        qppEvent record = SnapshotOfMap();
        benchmark::DoNotOptimize(record.flows.data());
    }
    ReportMemory(state, map_flows, SnapshotOfMap);
}

// Single-flow records are small: their memory is measured over this many
// kept at once, as a queue holds them.
constexpr size_t queued_events = 10000;

template <typename Build>
auto Queue(Build &&build)
{
    std::vector<decltype(build())> queue;
    queue.reserve(queued_events);
    for (size_t i = 0; i < queued_events; i++) queue.push_back(build());
    return queue;
}

std::vector<FullEntry> FullCopyOfFlow()
{
    std::vector<FullEntry> flows;
    std::lock_guard<std::recursive_mutex> guard(single->lock);
    flows.emplace_back(single, single->stats);
    return flows;
}

qppEvent SnapshotOfFlow()
{
    qppEvent record(0, qdPluginProcessor::EVENT_FLOW_UPDATED);
    record.PushFlow(single);
    return record;
}

void BM_FlowEventHook_FullCopy(benchmark::State &state)
{
    Setup();
    for (auto _ : state) {
        auto record = FullCopyOfFlow();
        benchmark::DoNotOptimize(record.data());
    }
    ReportMemory(state, queued_events, [] { return Queue(FullCopyOfFlow); });
}

void BM_FlowEventHook_Snapshot(benchmark::State &state)
{
    Setup();
    for (auto _ : state) {
        qppEvent record = SnapshotOfFlow();
        benchmark::DoNotOptimize(record.flows.data());
    }
    ReportMemory(state, queued_events, [] { return Queue(SnapshotOfFlow); });
}

}  // namespace

BENCHMARK(BM_FlowMapHook_FullCopy)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FlowMapHook_Snapshot)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FlowEventHook_FullCopy);
BENCHMARK(BM_FlowEventHook_Snapshot);

BENCHMARK_MAIN();
