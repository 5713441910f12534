// What the daemon's threads pay for the plugin, and what the whole road
// from hook to callback costs against its floor: encoding and calling
// without the queue and without a thread state per event.

#include <cstdlib>
#include <fstream>
#include <sys/stat.h>

#include <benchmark/benchmark.h>

#include "bench-host.h"

namespace {

constexpr int map_flows = 10000;

std::string data_dir;

void Setup()
{
    static bool done = false;
    if (done) return;
    done = true;
    qd_set_log_sink([](const std::string &) { });
    data_dir = qppBenchDataDir("qpp-bench", {"bench_noop", "bench_agent_only"});
}

bool Sync(qppPlugin *plugin) { return qppBenchSync(plugin); }

// A started plugin running one of the bench scripts.
std::unique_ptr<qppPlugin> Start(const std::string &script)
{
    Setup();
    return qppBenchStart(data_dir, script, "bench");
}

void Stop(std::unique_ptr<qppPlugin> &plugin) { qppBenchStop(plugin); }

// A TLS flow of the kind the daemon sees most.
std::shared_ptr<qdFlow> MakeFlow(int n)
{
    auto flow = std::make_shared<qdFlow>(std::make_shared<qdInterface>("eth0", 0));
    flow->ip_version = 4;
    flow->ip_protocol = 6;
    qdAddr::Create(flow->lower_mac, "02:00:00:00:00:01");
    qdAddr::Create(flow->upper_mac, "02:00:00:00:00:02");
    qdAddr::Create(flow->lower_addr, "192.168.1.10", static_cast<uint16_t>(1024 + n % 60000));
    qdAddr::Create(flow->upper_addr, "93.184.216.34", 443);
    flow->master_protocol = qdFlow::PROTO_TLS;
    flow->detected_protocol = qdFlow::PROTO_TLS;
    flow->detected_protocol_name = "TLS";
    flow->detected_application_name = "example";
    flow->host_server_name = "www.example.com";
    flow->tls.version = 0x0304;
    flow->tls.cipher_suite = 0x1301;
    flow->tls.alpn = {"h2", "http/1.1"};
    flow->tls.alpn_server = {"h2"};
    flow->digest_mdata.push_back(qdDigest{});
    flow->risks = {15, 27};
    flow->flags.detection_init = true;
    flow->stats.lower_bytes = 123456;
    flow->stats.total_packets = 42;
    return flow;
}

// The hook for an event the script does not want: a mask test.
void BM_HookFiltered(benchmark::State &state)
{
    auto plugin = Start("bench_agent_only");
    auto flow = MakeFlow(1);
    for (auto _ : state)
        plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_FLOW_UPDATED, flow);
    Stop(plugin);
}
BENCHMARK(BM_HookFiltered);

// The hook for a wanted single-flow event: snapshot and queue. The worker
// drains meanwhile on the other core; batches keep the queue short.
void BM_HookQueued(benchmark::State &state)
{
    auto plugin = Start("bench_noop");
    auto flow = MakeFlow(1);
    int n = 0;
    for (auto _ : state) {
        plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_FLOW_UPDATED, flow);
        if (++n % 1000 == 0) {
            state.PauseTiming();
            Sync(plugin.get());
            state.ResumeTiming();
        }
    }
    Stop(plugin);
}
BENCHMARK(BM_HookQueued);

// Hook to callback return, single-flow events.
void BM_EndToEndFlowEvents(benchmark::State &state)
{
    auto plugin = Start("bench_noop");
    const int batch = 1000;
    std::vector<std::shared_ptr<qdFlow>> flows;
    for (int i = 0; i < batch; i++) flows.push_back(MakeFlow(i));
    for (auto _ : state) {
        for (int i = 0; i < batch; i++)
            plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_FLOW_UPDATED, flows[i]);
        Sync(plugin.get());
    }
    state.counters["events/s"] = benchmark::Counter(
        static_cast<double>(state.iterations() * batch), benchmark::Counter::kIsRate);
    Stop(plugin);
}
BENCHMARK(BM_EndToEndFlowEvents)->Unit(benchmark::kMillisecond)->UseRealTime();

// Hook to callback return, flow-map events of 10,000 flows.
void BM_EndToEndFlowMap(benchmark::State &state)
{
    auto plugin = Start("bench_noop");
    qdFlowMap map(64);
    for (int i = 0; i < map_flows; i++) map.Insert(std::to_string(i), MakeFlow(i));
    for (auto _ : state) {
        plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_FLOW_MAP, &map);
        Sync(plugin.get());
    }
    state.counters["events/s"] = benchmark::Counter(
        static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    Stop(plugin);
}
BENCHMARK(BM_EndToEndFlowMap)->Unit(benchmark::kMillisecond)->UseRealTime();

// The floor: the same encoding and the same callback, called in one
// thread state without the queue.
PyObject *ImportCallback(const char *name)
{
    PyObject *module = PyImport_ImportModule("bench_noop");
    if (module == nullptr) {
        PyErr_Print();
        abort();
    }
    PyObject *callback = PyObject_GetAttrString(module, name);
    Py_DECREF(module);
    return callback;
}

void BM_FloorFlowEvents(benchmark::State &state)
{
    auto plugin = Start("bench_noop");
    const int batch = 1000;
    std::vector<std::shared_ptr<qdFlow>> flows;
    for (int i = 0; i < batch; i++) flows.push_back(MakeFlow(i));
    {
        qppPySubInterpreter::thread_scope scope(plugin->GetPyInterpreter());
        qppPyRef callback = qppPyRef::Steal(ImportCallback("ProcessFlowEvent"));
        for (auto _ : state) {
            for (int i = 0; i < batch; i++) {
                qdFlowStats stats(flows[i]->stats);
                qppPyRef args = qppPyRef::Steal(PyTuple_New(2));
                PyTuple_SET_ITEM(args.get(), 0, PyLong_FromLong(3));
                PyTuple_SET_ITEM(args.get(), 1, plugin->EncodeFlow(flows[i], stats, false));
                qppPyRef rc = qppPyRef::Steal(PyObject_CallObject(callback.get(), args.get()));
            }
        }
    }
    state.counters["events/s"] = benchmark::Counter(
        static_cast<double>(state.iterations() * batch), benchmark::Counter::kIsRate);
    Stop(plugin);
}
BENCHMARK(BM_FloorFlowEvents)->Unit(benchmark::kMillisecond)->UseRealTime();

// The floor plus the one thing the queue's road adds that scripts can see:
// a fresh thread state per event.
void BM_FloorFlowEventsWithScope(benchmark::State &state)
{
    auto plugin = Start("bench_noop");
    const int batch = 1000;
    std::vector<std::shared_ptr<qdFlow>> flows;
    for (int i = 0; i < batch; i++) flows.push_back(MakeFlow(i));
    PyInterpreterState *interp = plugin->GetPyInterpreter();
    qppPyRef callback;
    {
        qppPySubInterpreter::thread_scope scope(interp);
        callback = qppPyRef::Steal(ImportCallback("ProcessFlowEvent"));
    }
    for (auto _ : state) {
        for (int i = 0; i < batch; i++) {
            qppPySubInterpreter::thread_scope scope(interp);
            qdFlowStats stats(flows[i]->stats);
            qppPyRef args = qppPyRef::Steal(PyTuple_New(2));
            PyTuple_SET_ITEM(args.get(), 0, PyLong_FromLong(3));
            PyTuple_SET_ITEM(args.get(), 1, plugin->EncodeFlow(flows[i], stats, false));
            qppPyRef rc = qppPyRef::Steal(PyObject_CallObject(callback.get(), args.get()));
        }
    }
    {
        qppPySubInterpreter::thread_scope scope(interp);
        callback.reset();
    }
    state.counters["events/s"] = benchmark::Counter(
        static_cast<double>(state.iterations() * batch), benchmark::Counter::kIsRate);
    Stop(plugin);
}
BENCHMARK(BM_FloorFlowEventsWithScope)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_FloorFlowMap(benchmark::State &state)
{
    auto plugin = Start("bench_noop");
    std::vector<std::shared_ptr<qdFlow>> flows;
    for (int i = 0; i < map_flows; i++) flows.push_back(MakeFlow(i));
    {
        qppPySubInterpreter::thread_scope scope(plugin->GetPyInterpreter());
        qppPyRef callback = qppPyRef::Steal(ImportCallback("ProcessFlowMap"));
        for (auto _ : state) {
            qppPyRef list = qppPyRef::Steal(PyList_New(map_flows));
            for (int i = 0; i < map_flows; i++) {
                qdFlowStats stats(flows[i]->stats);
                PyList_SET_ITEM(list.get(), i, plugin->EncodeFlow(flows[i], stats, false));
            }
            qppPyRef args = qppPyRef::Steal(PyTuple_Pack(1, list.get()));
            qppPyRef rc = qppPyRef::Steal(PyObject_CallObject(callback.get(), args.get()));
        }
    }
    state.counters["events/s"] = benchmark::Counter(
        static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    Stop(plugin);
}
BENCHMARK(BM_FloorFlowMap)->Unit(benchmark::kMillisecond)->UseRealTime();

// One scope as every event enters it: a fresh thread state and a frame.
void BM_ThreadScope(benchmark::State &state)
{
    auto plugin = Start("bench_noop");
    PyInterpreterState *interp = plugin->GetPyInterpreter();
    qppPyRef callback;
    {
        qppPySubInterpreter::thread_scope scope(interp);
        callback = qppPyRef::Steal(ImportCallback("ProcessFlowMap"));
    }
    for (auto _ : state) {
        qppPySubInterpreter::thread_scope scope(interp);
        qppPyRef rc = qppPyRef::Steal(
            PyObject_CallOneArg(callback.get(), Py_None));
    }
    {
        qppPySubInterpreter::thread_scope scope(interp);
        callback.reset();
    }
    Stop(plugin);
}
BENCHMARK(BM_ThreadScope);

}  // namespace

BENCHMARK_MAIN();
