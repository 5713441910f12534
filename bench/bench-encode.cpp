// What a flow dictionary costs: ns per flow for the full form and the
// statistics form, against json.loads of the same flow's JSON text (made
// once with json.dumps of the encoded dictionary), and the bytes that one
// dictionary holds in either case.
//
// Every timed iteration makes one dictionary and drops it again, so both
// sides pay for allocation and deallocation alike.
//
// Memory: tracemalloc is started, N dictionaries are made and kept, and the
// growth of the traced bytes divided by N is what one dictionary holds.
// Objects that outlive a single dictionary (our key table, the interned and
// cached small objects both sides share) are made before the measurement
// and so are not counted; json.loads makes its keys anew for every document,
// and they are counted, as they are part of what it hands out.

#include <cstdio>
#include <map>
#include <memory>
#include <string>

#include <benchmark/benchmark.h>

#include "qpp-interpreter.h"
#include "qpp-plugin.h"

namespace {

qppPlugin *plugin = nullptr;
std::shared_ptr<qdFlow> flow;
qdFlowStats *stats = nullptr;

std::shared_ptr<qdFlow> MakeTlsFlow()
{
    auto f = std::make_shared<qdFlow>(std::make_shared<qdInterface>(
        "enp3s0", qdInterface::ROLE_LAN));
    qdAddr::Create(f->lower_mac, "3c:22:fb:12:34:56");
    qdAddr::Create(f->upper_mac, "00:1b:21:ab:cd:ef");
    qdAddr::Create(f->lower_addr, "192.0.2.34", 52144);
    qdAddr::Create(f->upper_addr, "198.51.100.7", 443);
    f->ip_version = 4;
    f->ip_protocol = 6;
    f->first_seen_at = 1733472000123;
    f->last_seen_at = 1733472031456;
    f->lower_map = 1;
    f->other_type = 2;
    f->origin = 1;
    for (size_t i = 0; i < f->digest_lower.size(); i++)
        f->digest_lower[i] = static_cast<uint8_t>(i * 37 + 11);
    f->digest_mdata.resize(2);
    for (size_t i = 0; i < f->digest_mdata[1].size(); i++)
        f->digest_mdata[1][i] = static_cast<uint8_t>(i * 53 + 7);
    f->flags.detection_complete = true;
    f->flags.detection_init = true;
    f->tcp.fin_acks = 1;
    f->tcp.last_seq = 2876543210u;
    f->dns_host_name = "www.example.com";
    f->host_server_name = "www.example.com";
    f->detected_protocol = qdFlow::PROTO_TLS;
    f->detected_protocol_name = "TLS";
    f->detected_application = 10123;
    f->detected_application_name = "netify.example";
    f->category.application = 24;
    f->category.protocol = 3;
    f->category.domain = 24;
    f->category.network = 0;
    f->master_protocol = qdFlow::PROTO_TLS;
    f->tls.version = 0x0304;
    f->tls.cipher_suite = 0x1302;
    f->tls.subject_dn = "CN=www.example.com";
    f->tls.issuer_dn = "C=US, O=Let's Encrypt, CN=R11";
    f->tls.server_cn = "www.example.com";
    f->tls.client_ja3 = "cd08e31494f9531f560d64c695473da9";
    f->tls.server_ja3 = "f4febc55ea12b31ae17cfb7e614afda8";
    f->tls.alpn = {"h2", "http/1.1"};
    f->tls.alpn_server = {"h2"};
    f->ndpi_score = 110;
    f->ndpi_score_client = 60;
    f->ndpi_score_server = 50;
    f->risks = {7, 15, 41};
    return f;
}

qdFlowStats MakeStats()
{
    qdFlowStats s;
    s.lower_bytes = 18734;
    s.upper_bytes = 982341;
    s.total_bytes = 1001075;
    s.lower_packets = 211;
    s.upper_packets = 702;
    s.total_packets = 913;
    s.detection_packets = 9;
    s.lower_rate = 604.3f;
    s.upper_rate = 31688.4f;
    s.tcp_retrans = 2;
    return s;
}

PyObject *Import(const char *module, const char *attribute)
{
    qppPyRef m = qppPyRef::Steal(PyImport_ImportModule(module));
    if (! m) return nullptr;
    return PyObject_GetAttrString(m.get(), attribute);
}

// The JSON text of the full form of the benchmark's flow.
qppPyRef FlowJson()
{
    qppPyRef d = qppPyRef::Steal(plugin->EncodeFlow(flow, *stats, false));
    qppPyRef dumps = qppPyRef::Steal(Import("json", "dumps"));
    return qppPyRef::Steal(PyObject_CallOneArg(dumps.get(), d.get()));
}

// Bytes held by one dictionary made by make(); see the top of the file.
template <typename Make>
double BytesPerDict(Make make)
{
    constexpr Py_ssize_t n = 1000;
    qppPyRef start = qppPyRef::Steal(Import("tracemalloc", "start"));
    qppPyRef stop = qppPyRef::Steal(Import("tracemalloc", "stop"));
    qppPyRef traced =
        qppPyRef::Steal(Import("tracemalloc", "get_traced_memory"));
    if (! start || ! stop || ! traced) return -1;

    auto current = [&]() {
        qppPyRef t = qppPyRef::Steal(PyObject_CallNoArgs(traced.get()));
        return PyLong_AsLongLong(PyTuple_GET_ITEM(t.get(), 0));
    };

    // The list that keeps them exists before the first count.
    qppPyRef keep = qppPyRef::Steal(PyList_New(n));
    qppPyRef started = qppPyRef::Steal(PyObject_CallNoArgs(start.get()));
    long long before = current();
    for (Py_ssize_t i = 0; i < n; i++) PyList_SET_ITEM(keep.get(), i, make());
    long long after = current();
    keep.reset();
    qppPyRef stopped = qppPyRef::Steal(PyObject_CallNoArgs(stop.get()));
    return static_cast<double>(after - before) / n;
}

void BM_EncodeFull(benchmark::State &state)
{
    qppPySubInterpreter::thread_scope scope(plugin->GetPyInterpreter());
    for (auto _ : state) {
        PyObject *d = plugin->EncodeFlow(flow, *stats, false);
        benchmark::DoNotOptimize(d);
        Py_DECREF(d);
    }
    state.counters["dict_bytes"] = BytesPerDict(
        [] { return plugin->EncodeFlow(flow, *stats, false); });
}
BENCHMARK(BM_EncodeFull);

// How long the flow's mutex is held per full-form encoding: the record's
// copy, the first stage (before the two stages, the whole of
// BM_EncodeFull ran under the mutex).
void BM_FlowLockHeld(benchmark::State &state)
{
    qppFlowRecord record;
    qppFlowStats snapshot(*stats);
    for (auto _ : state) {
        qppFlowRecordView view = record.Build(*flow, snapshot, false);
        benchmark::DoNotOptimize(view.Size());
    }
}
BENCHMARK(BM_FlowLockHeld);

void BM_EncodeStats(benchmark::State &state)
{
    qppPySubInterpreter::thread_scope scope(plugin->GetPyInterpreter());
    for (auto _ : state) {
        PyObject *d = plugin->EncodeFlow(flow, *stats, true);
        benchmark::DoNotOptimize(d);
        Py_DECREF(d);
    }
    state.counters["dict_bytes"] = BytesPerDict(
        [] { return plugin->EncodeFlow(flow, *stats, true); });
}
BENCHMARK(BM_EncodeStats);

void BM_JsonLoadsFull(benchmark::State &state)
{
    qppPySubInterpreter::thread_scope scope(plugin->GetPyInterpreter());
    qppPyRef text = FlowJson();
    qppPyRef loads = qppPyRef::Steal(Import("json", "loads"));
    if (! text || ! loads) {
        PyErr_Clear();
        state.SkipWithError("json is not available");
        return;
    }
    for (auto _ : state) {
        PyObject *d = PyObject_CallOneArg(loads.get(), text.get());
        benchmark::DoNotOptimize(d);
        Py_XDECREF(d);
    }
    state.counters["json_chars"] =
        static_cast<double>(PyUnicode_GET_LENGTH(text.get()));
    state.counters["dict_bytes"] = BytesPerDict(
        [&] { return PyObject_CallOneArg(loads.get(), text.get()); });
}
BENCHMARK(BM_JsonLoadsFull);

// The console table (without colours, for logs), and the figures kept for
// the summary below it.
class SummaryReporter : public benchmark::ConsoleReporter
{
public:
    SummaryReporter() : ConsoleReporter(OO_Tabular) { }

    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &run : runs) {
            if (run.error_occurred || run.run_type != Run::RT_Iteration)
                continue;
            std::string name = run.benchmark_name();
            // CPU time: the figures stay comparable on a loaded machine.
            ns[name] = run.GetAdjustedCPUTime();
            auto bytes = run.counters.find("dict_bytes");
            if (bytes != run.counters.end()) memory[name] = bytes->second;
        }
        ConsoleReporter::ReportRuns(runs);
    }

    void Summary() const
    {
        auto at = [](const std::map<std::string, double> &m, const char *k) {
            auto it = m.find(k);
            return it == m.end() ? 0.0 : it->second;
        };
        double full = at(ns, "BM_EncodeFull"), part = at(ns, "BM_EncodeStats"),
               json = at(ns, "BM_JsonLoadsFull");
        if (full <= 0 || json <= 0) return;
        printf("\nns per flow: full form %.0f, statistics form %.0f, "
               "json.loads %.0f; json.loads / full form = %.2fx\n",
            full, part, json, json / full);
        printf("bytes per dictionary: full form %.0f, statistics form %.0f, "
               "json.loads %.0f\n",
            at(memory, "BM_EncodeFull"), at(memory, "BM_EncodeStats"),
            at(memory, "BM_JsonLoadsFull"));
    }

private:
    std::map<std::string, double> ns;
    std::map<std::string, double> memory;
};

}  // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

    plugin = new qppPlugin("encode-bench",
        {{"conf_filename", "/nonexistent.json"}});
    flow = MakeTlsFlow();
    stats = new qdFlowStats(MakeStats());

    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.Summary();

    delete stats;
    flow.reset();
    delete plugin;
    benchmark::Shutdown();
    return 0;
}
