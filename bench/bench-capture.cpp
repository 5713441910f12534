// Packets per second from a capture through the capture host: decoding, the
// flow table, nDPI and the plugin, with a script that does nothing and with
// one of the examples; and the floor, the same decoding, flow table and
// detection with the events going nowhere. Also what one tracked flow costs
// in memory.
//
// The packets are those of tests/captures/mixed.pcap (TLS, HTTP, DNS and SSH
// over IPv4 and IPv6), played again and again, each round ten minutes of
// capture time after the one before, so that every round's flows are new and
// the previous round's expire: flows begin, are detected, updated and expire
// at the rate of real traffic made of short conversations.

#include <cstdlib>
#include <fstream>
#include <malloc.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <vector>

#include <benchmark/benchmark.h>
#include <pcap/pcap.h>

#include "bench-host.h"
#include "capture-flows.h"

namespace {

constexpr int rounds = 20;

struct Packet
{
    uint64_t time_us;
    std::vector<uint8_t> data;
    size_t wire;
};

struct Capture
{
    int link = 1;
    std::vector<Packet> packets;
};

const Capture &Packets()
{
    static Capture capture = [] {
        Capture c;
        char error[PCAP_ERRBUF_SIZE];
        std::string path = std::string(QPP_CAPTURES_DIR) + "/mixed.pcap";
        pcap_t *handle = pcap_open_offline(path.c_str(), error);
        if (handle == nullptr) {
            fprintf(stderr, "cannot read %s: %s\n", path.c_str(), error);
            exit(2);
        }
        c.link = pcap_datalink(handle);
        struct pcap_pkthdr *header;
        const u_char *data;
        while (pcap_next_ex(handle, &header, &data) == 1) {
            c.packets.push_back({static_cast<uint64_t>(header->ts.tv_sec) * 1000000 +
                    static_cast<uint64_t>(header->ts.tv_usec),
                std::vector<uint8_t>(data, data + header->caplen), header->len});
        }
        pcap_close(handle);
        return c;
    }();
    return capture;
}

class Nowhere : public qppCaptureEvents
{
public:
    void FlowEvent(qdPluginProcessor::Event, std::shared_ptr<qdFlow> &) override { }
    void FlowMap(qdFlowMap &) override { }
    void AgentEvent(qdPluginProcessor::Event) override { }
};

qppDetector &Detector()
{
    static qppDetector detector;
    return detector;
}

// Plays the capture rounds times into events; returns the packets played.
size_t Play(qppCaptureEvents &events)
{
    const Capture &capture = Packets();
    qppCaptureFlows flows(qppCaptureOptions(), events, &Detector());
    uint64_t base = capture.packets.front().time_us;
    for (int round = 0; round < rounds; round++) {
        uint64_t shift = static_cast<uint64_t>(round) * 600 * 1000000;
        for (auto &packet : capture.packets) {
            flows.Packet(capture.link, packet.time_us - base + shift + 1000000,
                packet.data.data(), packet.data.size(), packet.wire);
        }
    }
    flows.Finish();
    return static_cast<size_t>(rounds) * capture.packets.size();
}

std::string data_dir;

// Argument 0: the script in a sub-interpreter; 1: in a script runner.
qdPluginProcessor *Start(benchmark::State &state, const std::string &script)
{
    if (data_dir.empty()) {
        qd_set_log_sink([](const std::string &) { });
        data_dir = qppBenchDataDir("qpp-bench-capture", {"bench_noop"});
        // The example runs as shipped.
        qppBenchAddScript(data_dir,
            std::string(QPP_EXAMPLES_DIR) + "/tls_inventory.py", "tls_inventory");
    }
    const char *isolation = state.range(0) == 0 ? "interpreter" : "process";
    state.SetLabel(isolation);
    return qppBenchLoad(data_dir, script, "bench", isolation);
}

void Rate(benchmark::State &state, size_t packets)
{
    state.SetItemsProcessed(static_cast<int64_t>(packets));
    state.counters["packets/s"] = benchmark::Counter(
        static_cast<double>(packets), benchmark::Counter::kIsRate);
}

}  // namespace

// The floor: decoding, flow table and nDPI, the events going nowhere.
static void BM_CaptureFloor(benchmark::State &state)
{
    Nowhere nowhere;
    size_t packets = 0;
    for (auto _ : state) packets += Play(nowhere);
    Rate(state, packets);
}
BENCHMARK(BM_CaptureFloor)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same with every event delivered to a plugin and served by its script,
// each iteration waiting until the plugin has served all of them.
static void CaptureThroughPlugin(benchmark::State &state, const std::string &script)
{
    qdPluginProcessor *plugin = Start(state, script);
    qppCapturePluginEvents events(plugin);
    size_t packets = 0;
    for (auto _ : state) {
        packets += Play(events);
        qppBenchSync(plugin);
    }
    Rate(state, packets);
    qppHostStop(plugin);
}

static void BM_CaptureNoopScript(benchmark::State &state) { CaptureThroughPlugin(state, "bench_noop"); }
BENCHMARK(BM_CaptureNoopScript)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

static void BM_CaptureTlsInventory(benchmark::State &state)
{
    CaptureThroughPlugin(state, "tls_inventory");
}
BENCHMARK(BM_CaptureTlsInventory)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// Memory per tracked flow: 20,000 UDP flows held at once (DNS queries from
// as many ports, each detected by nDPI on its first packet), measured as the
// heap's growth over the table's.
static void BM_CaptureMemoryPerFlow(benchmark::State &state)
{
    constexpr int count = 20000;
    const Capture &capture = Packets();
    // mixed.pcap's fifth record is a DNS query over IPv4 on Ethernet.
    const Packet *query = nullptr;
    for (auto &packet : capture.packets) {
        if (packet.data.size() > 42 && packet.data[23] == 17 && packet.data[36] == 0 &&
            packet.data[37] == 53) {
            query = &packet;
            break;
        }
    }
    if (query == nullptr) {
        state.SkipWithError("no DNS query in the capture");
        return;
    }
    std::unique_ptr<uint8_t[]> frame(new uint8_t[query->data.size()]);
    std::copy(query->data.begin(), query->data.end(), frame.get());
    size_t size = query->data.size();
    for (auto _ : state) {
        Nowhere nowhere;
        struct mallinfo2 before = mallinfo2();
        {
            qppCaptureFlows flows(qppCaptureOptions(), nowhere, &Detector());
            for (int i = 0; i < count; i++) {
                uint16_t port = static_cast<uint16_t>(1024 + i);
                frame[34] = static_cast<uint8_t>(port >> 8);
                frame[35] = static_cast<uint8_t>(port);
                flows.Packet(capture.link, 1000000 + static_cast<uint64_t>(i), frame.get(),
                    size, size);
            }
            struct mallinfo2 after = mallinfo2();
            state.counters["bytes/flow"] = static_cast<double>(after.uordblks - before.uordblks) /
                static_cast<double>(flows.Tracked());
            state.counters["flows"] = static_cast<double>(flows.Tracked());
            state.counters["fixed bytes/flow"] = static_cast<double>(qppCaptureFlows::BytesPerFlow());
        }
    }
}
BENCHMARK(BM_CaptureMemoryPerFlow)->Unit(benchmark::kMillisecond)->Iterations(1);

BENCHMARK_MAIN();
