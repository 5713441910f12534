// The floors of the road from hook to callback (bench-isolation.cpp runs
// the road itself, in both isolations): encoding and calling without the
// queue, without and with a thread state per event.

#include <cstdlib>
#include <fstream>
#include <sys/stat.h>

#include <benchmark/benchmark.h>

#include "bench-linked.h"

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

// A started plugin running one of the bench scripts.
std::unique_ptr<qppPlugin> Start(const std::string &script)
{
    Setup();
    return qppBenchStart(data_dir, script, "bench");
}

void Stop(std::unique_ptr<qppPlugin> &plugin) { qppBenchStop(plugin); }

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
    for (int i = 0; i < batch; i++) flows.push_back(qppBenchFlow(i));
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
    for (int i = 0; i < batch; i++) flows.push_back(qppBenchFlow(i));
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
    for (int i = 0; i < map_flows; i++) flows.push_back(qppBenchFlow(i));
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
