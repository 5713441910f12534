// The two ways of running a script side by side, in one run: what the
// daemon's threads pay at the hooks, single-flow events and flow maps of
// 10,000 flows from hook to callback return, two instances fed by a host
// thread each (one alone beside them), and for a script runner what its start costs and what the
// daemon holds while its script holds half a gigabyte.
//
// Every benchmark takes the isolation as its argument: 0 "interpreter"
// (the script in a sub-interpreter of this process), 1 "process" (in a
// runner). The plugin is the built library, loaded as the daemon loads it.

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench-host.h"

namespace {

constexpr int map_flows = 10000;
constexpr int batch = 1000;

const char *Isolation(const benchmark::State &state)
{
    return state.range(0) == 0 ? "interpreter" : "process";
}

const std::string &DataDir()
{
    static const std::string dir = [] {
        qd_set_log_sink([](const std::string &) { });
        return qppBenchDataDir("qpp-bench-isolation",
            {"bench_noop", "bench_agent_only", "bench_work", "bench_compute", "bench_hold",
                "bench_numpy"});
    }();
    return dir;
}

qdPluginProcessor *Load(benchmark::State &state, const char *script)
{
    state.SetLabel(Isolation(state));
    return qppBenchLoad(DataDir(), script, "bench", Isolation(state));
}

void Rate(benchmark::State &state, double events)
{
    state.counters["events/s"] = benchmark::Counter(events, benchmark::Counter::kIsRate);
}

// The hook for an event the script does not want: a mask test.
void BM_HookFiltered(benchmark::State &state)
{
    qdPluginProcessor *plugin = Load(state, "bench_agent_only");
    auto flow = qppBenchFlow(1);
    for (auto _ : state)
        plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_FLOW_UPDATED, flow);
    qppHostStop(plugin);
}
BENCHMARK(BM_HookFiltered)->Arg(0)->Arg(1);

// The hook for a wanted single-flow event: snapshot and queue. The worker
// drains meanwhile on the other core; batches keep the queue short.
void BM_HookQueued(benchmark::State &state)
{
    qdPluginProcessor *plugin = Load(state, "bench_noop");
    auto flow = qppBenchFlow(1);
    int n = 0;
    for (auto _ : state) {
        plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_FLOW_UPDATED, flow);
        if (++n % batch == 0) {
            state.PauseTiming();
            qppBenchSync(plugin);
            state.ResumeTiming();
        }
    }
    qppHostStop(plugin);
}
BENCHMARK(BM_HookQueued)->Arg(0)->Arg(1);

// Hook to callback return, single-flow events.
void BM_EndToEndFlowEvents(benchmark::State &state)
{
    qdPluginProcessor *plugin = Load(state, "bench_noop");
    std::vector<std::shared_ptr<qdFlow>> flows;
    for (int i = 0; i < batch; i++) flows.push_back(qppBenchFlow(i));
    for (auto _ : state) {
        for (int i = 0; i < batch; i++)
            plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_FLOW_UPDATED, flows[i]);
        qppBenchSync(plugin);
    }
    Rate(state, static_cast<double>(state.iterations() * batch));
    qppHostStop(plugin);
}
BENCHMARK(BM_EndToEndFlowEvents)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// Hook to callback return, flow-map events of 10,000 flows.
void BM_EndToEndFlowMap(benchmark::State &state)
{
    qdPluginProcessor *plugin = Load(state, "bench_noop");
    qdFlowMap map(64);
    for (int i = 0; i < map_flows; i++) map.Insert(std::to_string(i), qppBenchFlow(i));
    for (auto _ : state) {
        plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_FLOW_MAP, &map);
        qppBenchSync(plugin);
    }
    Rate(state, static_cast<double>(state.iterations()));
    qppHostStop(plugin);
}
BENCHMARK(BM_EndToEndFlowMap)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// One or two instances (the second argument), each fed single-flow events
// by a host thread of its own, with a script that works for each event
// (the third: 0 the JSON text of the flow, 1 four times that); the rate is
// of all together.
void BM_Instances(benchmark::State &state)
{
    constexpr int rounds = 10;
    std::vector<qdPluginProcessor *> plugins;
    const char *script = state.range(2) == 0 ? "bench_work" : "bench_compute";
    for (int64_t i = 0; i < state.range(1); i++) plugins.push_back(Load(state, script));
    std::vector<std::shared_ptr<qdFlow>> flows;
    for (int i = 0; i < batch; i++) flows.push_back(qppBenchFlow(i));
    for (auto _ : state) {
        std::vector<std::thread> feeders;
        // Each feeder keeps its own instance busy, waiting for it every
        // batch, and they meet once in a while: what one instance is ahead
        // at the meeting the other makes up meanwhile.
        for (qdPluginProcessor *plugin : plugins) {
            feeders.emplace_back([plugin, &flows] {
                for (int round = 0; round < rounds; round++) {
                    for (auto &flow : flows)
                        plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_FLOW_UPDATED, flow);
                    qppBenchSync(plugin);
                }
            });
        }
        for (auto &feeder : feeders) feeder.join();
    }
    Rate(state, static_cast<double>(state.iterations() * rounds * batch * state.range(1)));
    for (qdPluginProcessor *plugin : plugins) qppHostStop(plugin);
}
BENCHMARK(BM_Instances)->ArgsProduct({{0, 1}, {1, 2}, {0, 1}})->Unit(benchmark::kMillisecond)->UseRealTime();

// From the factory to the first load done: a runner's start, with a plain
// script and with one that imports numpy.
void RunnerStart(benchmark::State &state, const char *script)
{
    for (auto _ : state) qppHostStop(Load(state, script));
}
void BM_StartPlain(benchmark::State &state) { RunnerStart(state, "bench_noop"); }
void BM_StartNumpy(benchmark::State &state) { RunnerStart(state, "bench_numpy"); }
BENCHMARK(BM_StartPlain)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_StartNumpy)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// What this process (the daemon) holds while a script holds 500 MB.
void BM_DaemonResident(benchmark::State &state)
{
    for (auto _ : state) {
        double before = qppBenchResident();
        qdPluginProcessor *plugin = Load(state, "bench_hold");
        state.counters["daemon_MB_growth"] = (qppBenchResident() - before) / 1e6;
        qppHostStop(plugin);
    }
}
BENCHMARK(BM_DaemonResident)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
