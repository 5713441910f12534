// Memory over a long run: does the process stay the same size while
// millions of events go through a script that keeps nothing, and what does
// one event cost while it waits in the queue behind a slow script?
//
//   qpp-bench-soak [--events N] [--maps M] [--map-flows F] [--queued Q]
//                  [--queued-maps K] [--phase flow|map|queue|bounded|all]
//                  [--bound N] [--max-growth KIB]
//
// Each phase runs in a process of its own, so that memory one phase freed
// cannot hide what the next one takes. Resident memory (RSS) is read from
// /proc/self/statm; the C++ heap in use from mallinfo2, which sees every
// byte the plugin allocates but not the interpreter's own arenas. With
// --max-growth, a phase whose heap grows by more than KIB per million events
// (flow phase) or per million flows (map phase) after warm-up fails, and so
// does one whose resident size grows by more than four times that.

#include <malloc.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench-linked.h"

namespace {

struct Options
{
    long events = 1000000;
    long maps = 1000;
    long map_flows = 1000;
    long queued = 100000;
    long queued_maps = 100;
    long bound = 1000;        // events the bounded phase's queue holds
    double bounded_seconds = 5;
    std::string phase = "all";
    double max_growth_kib = -1;  // per million; negative: report only
};

std::string data_dir;
std::atomic<bool> gate_holding{false};

void Setup()
{
    qd_set_log_sink([](const std::string &message) {
        if (message.find("soak-gate: holding") != std::string::npos)
            gate_holding = true;
    });
    data_dir = qppBenchDataDir(
        "qpp-soak", {"soak_stateless", "soak_gate", "soak_slow"});
}

void Cleanup()
{
    std::string command = "rm -rf '" + data_dir + "'";
    if (system(command.c_str()) != 0) { }
}

struct Memory
{
    double rss;   // bytes resident
    double heap;  // bytes of malloc'd memory in use
};

Memory Measure()
{
    long pages_total = 0, pages_resident = 0;
    FILE *statm = fopen("/proc/self/statm", "r");
    if (statm != nullptr) {
        if (fscanf(statm, "%ld %ld", &pages_total, &pages_resident) != 2)
            pages_resident = 0;
        fclose(statm);
    }
    struct mallinfo2 info = mallinfo2();
    return {static_cast<double>(pages_resident) * sysconf(_SC_PAGESIZE),
        static_cast<double>(info.uordblks + info.hblkhd)};
}

double MiB(double bytes) { return bytes / (1024.0 * 1024.0); }

bool Sync(qppPlugin *plugin) { return qppBenchSync(plugin); }

std::unique_ptr<qppPlugin> Start(const std::string &script)
{
    return qppBenchStart(data_dir, script, "soak");
}

void Stop(std::unique_ptr<qppPlugin> &plugin) { qppBenchStop(plugin); }

// A TLS flow as the daemon keeps them; flows share their interface.
std::shared_ptr<qdFlow> MakeFlow(long n, const std::shared_ptr<qdInterface> &iface)
{
    auto flow = qppBenchFlow(n, iface);
    flow->stats.lower_bytes = static_cast<uint64_t>(n) * 100;
    flow->stats.total_packets = static_cast<uint32_t>(n % 1000);
    return flow;
}

// Least-squares slope of memory against count, per million counted.
double SlopePerMillion(const std::vector<double> &x, const std::vector<double> &y)
{
    double n = static_cast<double>(x.size());
    if (x.size() < 2) return 0;
    double sx = 0, sy = 0, sxx = 0, sxy = 0;
    for (size_t i = 0; i < x.size(); i++) {
        sx += x[i];
        sy += y[i];
        sxx += x[i] * x[i];
        sxy += x[i] * y[i];
    }
    double d = n * sxx - sx * sx;
    return d == 0 ? 0 : (n * sxy - sx * sy) / d * 1e6;
}

// Samples of memory against a count, and the verdict on their growth.
class Series
{
public:
    explicit Series(const char *unit) : unit(unit) { }

    void Sample(long count)
    {
        Memory m = Measure();
        counts.push_back(static_cast<double>(count));
        rss.push_back(m.rss);
        heap.push_back(m.heap);
        printf("  %12ld %s  RSS %8.2f MiB  heap %8.2f MiB\n", count, unit,
            MiB(m.rss), MiB(m.heap));
        fflush(stdout);
    }

    // Prints the growth figures; false when over the limit.
    bool Report(const char *per, double max_growth_kib)
    {
        double span = counts.back() - counts.front();
        double rss_end = (rss.back() - rss.front()) / span * 1e6 / 1024;
        double heap_end = (heap.back() - heap.front()) / span * 1e6 / 1024;
        double rss_fit = SlopePerMillion(counts, rss) / 1024;
        double heap_fit = SlopePerMillion(counts, heap) / 1024;
        printf("  RSS after warm-up %.2f MiB, at the end %.2f MiB\n",
            MiB(rss.front()), MiB(rss.back()));
        printf("  growth per million %s: RSS %+.1f KiB (fit %+.1f), "
               "heap %+.1f KiB (fit %+.1f)\n",
            per, rss_end, rss_fit, heap_end, heap_fit);
        if (max_growth_kib < 0) return true;
        // The heap is the exact measure of what is kept. Resident size moves
        // by whole pages and with the allocator's trimming (half a MiB up or
        // down between runs here), so it is held to four times the limit.
        bool flat = rss_fit <= 4 * max_growth_kib && heap_fit <= max_growth_kib;
        printf("  %s (limit %.0f KiB heap, %.0f KiB resident per million %s)\n",
            flat ? "flat" : "GROWING", max_growth_kib, 4 * max_growth_kib, per);
        return flat;
    }

private:
    const char *unit;
    std::vector<double> counts, rss, heap;
};

// A million single-flow events, each with a flow of its own that the host
// drops as soon as the hook returns, as it does with expired flows.
bool FlowPhase(const Options &options)
{
    printf("== flow events: %ld, one new flow each, script keeps nothing\n",
        options.events);
    auto plugin = Start("soak_stateless");
    auto iface = std::make_shared<qdInterface>("eth0", 0);
    const long batch = 1000;
    long warm = std::max(options.events / 10, batch);
    long step = std::max(options.events / 10, batch);
    long sent = 0;
    auto send = [&](long n) {
        for (long i = 0; i < n; i++) {
            auto flow = MakeFlow(sent, iface);
            auto event = static_cast<qdPluginProcessor::Event>(
                qdPluginProcessor::EVENT_FLOW_NEW + sent % 6);
            plugin->DispatchProcessorEvent(event, flow);
            if (++sent % batch == 0) Sync(plugin.get());
        }
        Sync(plugin.get());
    };

    send(warm);
    // One flow kept by the host through a batch must come back to a single
    // reference: the plugin holds none once an event is served.
    auto probe = MakeFlow(0, iface);
    plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_FLOW_UPDATED, probe);
    Sync(plugin.get());
    long held = probe.use_count() - 1;

    Series series("events");
    auto begin = std::chrono::steady_clock::now();
    series.Sample(0);
    for (long done = 0; done < options.events; done += step) {
        send(std::min(step, options.events - done));
        series.Sample(std::min(done + step, options.events));
    }
    double seconds = std::chrono::duration<double>(
        std::chrono::steady_clock::now() - begin).count();
    printf("  %.0f events/s end to end; references held after serving: %ld\n",
        static_cast<double>(options.events) / seconds, held);
    bool ok = series.Report("events", options.max_growth_kib) && held == 0;
    Stop(plugin);
    return ok;
}

// A thousand flow-map events of a thousand flows each, from one map that
// the host keeps and updates between them.
bool MapPhase(const Options &options)
{
    printf("== flow maps: %ld of %ld flows each, script keeps nothing\n",
        options.maps, options.map_flows);
    auto plugin = Start("soak_stateless");
    auto iface = std::make_shared<qdInterface>("eth0", 0);
    qdFlowMap map(64);
    std::vector<std::shared_ptr<qdFlow>> flows;
    for (long i = 0; i < options.map_flows; i++) {
        flows.push_back(MakeFlow(i, iface));
        map.Insert(std::to_string(i), flows.back());
    }
    long sent = 0;
    auto send = [&](long n) {
        for (long i = 0; i < n; i++, sent++) {
            for (size_t f = static_cast<size_t>(sent % 10); f < flows.size(); f += 10) {
                std::lock_guard<std::recursive_mutex> guard(flows[f]->lock);
                flows[f]->stats.lower_bytes += 1500;
                flows[f]->stats.total_packets++;
            }
            plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_FLOW_MAP, &map);
            Sync(plugin.get());
        }
    };

    long warm = std::max(options.maps / 10, 10L);
    long step = std::max(options.maps / 10, 1L);
    send(warm);
    Series series("flows ");
    auto begin = std::chrono::steady_clock::now();
    series.Sample(0);
    for (long done = 0; done < options.maps; done += step) {
        send(std::min(step, options.maps - done));
        series.Sample(std::min(done + step, options.maps) * options.map_flows);
    }
    double seconds = std::chrono::duration<double>(
        std::chrono::steady_clock::now() - begin).count();
    printf("  %.1f maps/s, %.0f flows/s end to end\n",
        static_cast<double>(options.maps) / seconds,
        static_cast<double>(options.maps * options.map_flows) / seconds);
    bool ok = series.Report("flows", options.max_growth_kib);
    Stop(plugin);
    return ok;
}

// What malloc hands out for a request of n bytes (glibc, 64-bit).
size_t Chunk(size_t n) { return std::max<size_t>(32, (n + 8 + 15) & ~size_t(15)); }

void PrintQueued(const char *what, long n, const Memory &before, const Memory &after,
    const char *per)
{
    printf("  %-34s RSS %+8.2f MiB = %7.1f B/%s, heap %+8.2f MiB = %7.1f B/%s\n",
        what, MiB(after.rss - before.rss), (after.rss - before.rss) / n, per,
        MiB(after.heap - before.heap), (after.heap - before.heap) / n, per);
}

// The worker held in the first event; events queue behind it.
bool QueuePhase(const Options &options)
{
    printf("== queued behind a held callback: %ld flow events, %ld maps of %ld flows\n",
        options.queued, options.queued_maps, options.map_flows);
    auto plugin = Start("soak_gate");
    auto iface = std::make_shared<qdInterface>("eth0", 0);
    auto shared = MakeFlow(1, iface);
    qdFlowMap map(64);
    std::vector<std::shared_ptr<qdFlow>> flows;
    for (long i = 0; i < options.map_flows; i++) {
        flows.push_back(MakeFlow(i, iface));
        map.Insert(std::to_string(i), flows.back());
    }

    plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_FLOW_NEW, shared);
    for (int i = 0; i < 10000 && ! gate_holding; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (! gate_holding) {
        fprintf(stderr, "soak: the gate script never held the worker\n");
        return false;
    }

    Memory start = Measure();
    for (long i = 0; i < options.queued; i++)
        plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_FLOW_UPDATED, shared);
    Memory after_shared = Measure();
    for (long i = 0; i < options.queued; i++) {
        auto flow = MakeFlow(i, iface);
        plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_FLOW_UPDATED, flow);
    }
    Memory after_own = Measure();
    for (long i = 0; i < options.queued_maps; i++)
        plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_FLOW_MAP, &map);
    Memory after_maps = Measure();

    PrintQueued("flow event, flow kept by the host", options.queued, start,
        after_shared, "event");
    PrintQueued("flow event, flow dropped by host", options.queued,
        after_shared, after_own, "event");
    PrintQueued("flow map, per flow in it", options.queued_maps * options.map_flows,
        after_own, after_maps, "flow ");
    printf("  total queued: RSS %.2f MiB over %.2f MiB before\n",
        MiB(after_maps.rss - start.rss), MiB(start.rss));

    using Entry = std::pair<std::shared_ptr<qdFlow>, qppFlowStats>;
    size_t per_event = sizeof(qppEvent) + Chunk(sizeof(Entry));
    printf("  sizes: qppEvent %zu B, flow entry %zu B (snapshot %zu B, no "
           "history lists), qdFlow %zu B\n",
        sizeof(qppEvent), sizeof(Entry), sizeof(qppFlowStats), sizeof(qdFlow));
    printf("  expected from sizes: %zu B per queued flow event (record in the "
           "queue, its one-entry list), %zu B per map flow, plus the flow "
           "itself (%zu B and its strings) when only the queue holds it\n",
        per_event, sizeof(Entry), Chunk(sizeof(qdFlow) + 16));

    // Let the queue drain; what comes back shows whether the memory is
    // returned or kept by the allocator for later.
    {
        std::ofstream release(data_dir + "/quiven-proc-python/soak_release");
    }
    Sync(plugin.get());
    Memory drained = Measure();
    printf("  after draining: RSS %.2f MiB, heap %.2f MiB (heap before queueing %.2f MiB)\n",
        MiB(drained.rss), MiB(drained.heap), MiB(start.heap));
    // Freed but kept by the allocator, or still held? Trimming tells.
    malloc_trim(0);
    printf("  after malloc_trim: RSS %.2f MiB\n", MiB(Measure().rss));
    Stop(plugin);
    return true;
}

// A script slower than the host behind a bounded queue: memory stays flat
// under the bound, and every event sent is served or dropped, never both.
bool BoundedPhase(const Options &options)
{
    printf("== bounded queue of %ld events, a script taking 1 ms per event, "
           "a host sending as fast as it can for %.0f s\n",
        options.bound, options.bounded_seconds);
    {
        std::ofstream conf(data_dir + "/soak_slow.json");
        conf << "{\"script\": \"" << data_dir
             << "/quiven-proc-python/soak_slow.py\", \"queue_max_events\": "
             << options.bound << "}";
    }
    auto plugin = Start("soak_slow");
    auto iface = std::make_shared<qdInterface>("eth0", 0);
    auto flow = MakeFlow(1, iface);

    std::vector<double> seconds, rss, heap;
    long sent = 0;
    auto start = std::chrono::steady_clock::now();
    auto next = start;
    for (;;) {
        for (int i = 0; i < 1000; i++, sent++)
            plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_FLOW_UPDATED, flow);
        auto now = std::chrono::steady_clock::now();
        if (now < next) continue;
        double t = std::chrono::duration<double>(now - start).count();
        Memory m = Measure();
        seconds.push_back(t);
        rss.push_back(m.rss);
        heap.push_back(m.heap);
        printf("  %6.2f s %10ld sent  RSS %8.2f MiB  heap %8.2f MiB\n", t, sent,
            MiB(m.rss), MiB(m.heap));
        if (t >= options.bounded_seconds) break;
        next += std::chrono::milliseconds(500);
    }
    json stats;
    plugin->DispatchEvent(qdPlugin::EVENT_STATS, &stats);
    long depth = stats["queue"]["depth"].get<long>();
    printf("  at the end: queue depth %ld, high-water %ld, %.1f KiB queued\n",
        depth, stats["queue"]["high_water"].get<long>(),
        stats["queue"]["bytes"].get<double>() / 1024);
    Sync(plugin.get());
    plugin->DispatchEvent(qdPlugin::EVENT_STATS, &stats);
    long served = stats["events"]["flow"]["served"].get<long>();
    long dropped = stats["events"]["flow"]["dropped"].get<long>();
    printf("  sent %ld = served %ld + dropped %ld: %s\n", sent, served, dropped,
        (served + dropped == sent) ? "yes" : "NO");
    // After the first half second the queue is full; from then on neither
    // the heap nor resident memory may grow beyond a page or two of noise.
    bool ok = served + dropped == sent && depth <= options.bound;
    if (seconds.size() >= 3) {
        double heap_growth = heap.back() - heap[1];
        double rss_growth = rss.back() - rss[1];
        printf("  growth after the queue filled: heap %+.1f KiB, RSS %+.1f KiB\n",
            heap_growth / 1024, rss_growth / 1024);
        bool flat = heap_growth < 256 * 1024 && rss_growth < 1024 * 1024;
        printf("  %s\n", flat ? "flat" : "NOT flat");
        ok = ok && flat;
    }
    Stop(plugin);
    return ok;
}

bool RunPhase(const std::string &phase, const Options &options)
{
    Setup();
    bool ok = true;
    if (phase == "flow") ok = FlowPhase(options);
    else if (phase == "map") ok = MapPhase(options);
    else if (phase == "queue") ok = QueuePhase(options);
    else if (phase == "bounded") ok = BoundedPhase(options);
    Cleanup();
    return ok;
}

long Number(const char *text, const char *option)
{
    char *end = nullptr;
    long value = strtol(text, &end, 10);
    if (end == text || *end != '\0' || value <= 0) {
        fprintf(stderr, "soak: %s wants a positive number, not %s\n", option, text);
        exit(2);
    }
    return value;
}

}  // namespace

int main(int argc, char **argv)
{
    Options options;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (i + 1 >= argc) {
            fprintf(stderr, "usage: %s [--events N] [--maps M] [--map-flows F] "
                            "[--queued Q] [--queued-maps K] "
                            "[--phase flow|map|queue|bounded|all] [--bound N] "
                            "[--max-growth KIB]\n",
                argv[0]);
            return 2;
        }
        const char *value = argv[++i];
        if (arg == "--events") options.events = Number(value, "--events");
        else if (arg == "--maps") options.maps = Number(value, "--maps");
        else if (arg == "--map-flows") options.map_flows = Number(value, "--map-flows");
        else if (arg == "--queued") options.queued = Number(value, "--queued");
        else if (arg == "--queued-maps") options.queued_maps = Number(value, "--queued-maps");
        else if (arg == "--max-growth") options.max_growth_kib = strtod(value, nullptr);
        else if (arg == "--phase") options.phase = value;
        else if (arg == "--bound") options.bound = Number(value, "--bound");
        else {
            fprintf(stderr, "soak: unknown option %s\n", arg.c_str());
            return 2;
        }
    }

    std::vector<std::string> phases;
    if (options.phase == "all") phases = {"flow", "map", "queue", "bounded"};
    else if (options.phase == "flow" || options.phase == "map" ||
        options.phase == "queue" || options.phase == "bounded")
        phases = {options.phase};
    else {
        fprintf(stderr, "soak: unknown phase %s\n", options.phase.c_str());
        return 2;
    }

    int status = 0;
    for (auto &phase : phases) {
        fflush(stdout);
        pid_t child = fork();
        if (child < 0) {
            perror("fork");
            return 1;
        }
        if (child == 0) exit(RunPhase(phase, options) ? 0 : 1);
        int child_status = 0;
        waitpid(child, &child_status, 0);
        if (! WIFEXITED(child_status) || WEXITSTATUS(child_status) != 0) {
            printf("== %s: FAILED\n", phase.c_str());
            status = 1;
        }
    }
    return status;
}
