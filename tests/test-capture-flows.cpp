// The capture host's flow table and event clock, on packets built byte by
// byte: which events fall due when, per-side counters, TCP analysis,
// timeouts, the update interval, the flow bound, and the end of a capture.
// A recording sink stands where the plugin would be.

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "capture-flows.h"
#include "capture-frames.h"

using namespace frames;

namespace {

// The events as text, in order: a flow event as its number and the flow's
// letter (a, b, c... in the order the flows were first seen), a flow map as
// "m" and its size, an agent event as its number. nDPI's detection events
// (4, 5) are left out: when they come is nDPI's business.
class Recorder : public qppCaptureEvents
{
public:
    void FlowEvent(qdPluginProcessor::Event event, std::shared_ptr<qdFlow> &flow) override
    {
        auto known = std::find(flows.begin(), flows.end(), flow);
        if (known == flows.end()) known = flows.insert(flows.end(), flow);
        if (event != 4 && event != 5) Add(std::to_string(event) + char('a' + (known - flows.begin())));
    }
    void FlowMap(qdFlowMap &map) override
    {
        size_t n = 0;
        for (size_t b = 0; b < map.buckets; b++) {
            n += map.Acquire(b).size();
            map.Release(b);
        }
        Add("m" + std::to_string(n));
    }
    void AgentEvent(qdPluginProcessor::Event event) override { Add(std::to_string(event)); }
    void Add(const std::string &item) { log += (log.empty() ? "" : " ") + item; }

    std::string log;
    std::vector<std::shared_ptr<qdFlow>> flows;
};

constexpr uint64_t S = 1000000;  // one second in microseconds

Bytes TcpFrame(bool from_a, uint32_t seq, uint32_t ack, uint8_t flags, size_t payload = 0)
{
    Bytes header = TcpHeader(flags, seq, ack, from_a ? 40000 : 443, from_a ? 443 : 40000);
    return Ethernet(0x0800, Ipv4(from_a ? A : B, from_a ? B : A, 6, Cat({header, Bytes(payload, 'x')})));
}

Bytes UdpFrame(uint32_t src, uint32_t dst, uint16_t sport, uint16_t dport, const std::vector<uint16_t> &tags = {})
{
    return Ethernet(0x0800, Ipv4(src, dst, 17, Cat({UdpHeader(sport, dport, 6), Text("qwerty")})), tags);
}

class Flows : public ::testing::Test
{
protected:
    // The table is made at the first packet, with the options set by then.
    void Feed(uint64_t time_us, const Bytes &frame)
    {
        if (! flows) flows = std::make_unique<qppCaptureFlows>(options, recorder);
        flows->Packet(1, time_us, frame.data(), frame.size(), frame.size());
    }
    qdFlow &Flow(size_t i) { return *recorder.flows.at(i); }

    qppCaptureOptions options;
    Recorder recorder;
    std::unique_ptr<qppCaptureFlows> flows;
};

constexpr uint8_t SYN = QPP_TCP_SYN, ACK = QPP_TCP_ACK, FIN = QPP_TCP_FIN, RST = QPP_TCP_RST, PSH = 0x08;

}  // namespace

TEST_F(Flows, TcpConversationIsOneFlowCountedPerSideAndClosed)
{
    uint32_t a = 100, b = 5000;
    Feed(0, TcpFrame(true, a, 0, SYN));
    Feed(1000, TcpFrame(false, b, a + 1, SYN | ACK));
    Feed(2000, TcpFrame(true, a + 1, b + 1, ACK));
    Feed(3000, TcpFrame(true, a + 1, b + 1, ACK | PSH, 10));
    Feed(4000, TcpFrame(false, b + 1, a + 11, ACK | PSH, 20));
    Feed(5000, TcpFrame(true, a + 11, b + 21, FIN | ACK));
    Feed(6000, TcpFrame(false, b + 21, a + 12, FIN | ACK));
    EXPECT_EQ(recorder.log, "2a") << "the close is not over until the last FIN is acknowledged";
    Feed(7000, TcpFrame(true, a + 12, b + 22, ACK));
    EXPECT_EQ(recorder.log, "2a 6a");
    {
        qdFlow &flow = Flow(0);
        std::lock_guard<std::recursive_mutex> lock(flow.lock);
        // 10.0.0.1 is below 10.0.0.2: the client is the lower side here.
        EXPECT_EQ(flow.lower_addr.GetString() + " " + std::to_string(flow.lower_addr.GetPort()), "10.0.0.1 40000");
        EXPECT_EQ(flow.lower_mac.GetString() + " " + flow.upper_mac.GetString(), "02:00:00:00:00:01 02:00:00:00:00:02");
        EXPECT_EQ(flow.stats.lower_packets, 5u);
        EXPECT_EQ(flow.stats.upper_packets, 3u);
        EXPECT_EQ(flow.stats.upper_bytes, 3u * 54 + 20);
        EXPECT_EQ(flow.stats.lower_bytes + flow.stats.upper_bytes, flow.stats.total_bytes);
        EXPECT_EQ(flow.stats.tcp_retrans + flow.stats.tcp_seq_errors, 0u);
        EXPECT_EQ(flow.last_seen_at, 7u);
    }
    // A closed flow lingers for the closed timeout (10 s), then expires
    // (before the first update, at 15 s); packets meanwhile count to it.
    Feed(8000, TcpFrame(true, a + 12, b + 22, ACK));
    Feed(9 * S, UdpFrame(A, B, 1, 2));
    Feed(30 * S, UdpFrame(A, B, 1, 2));
    EXPECT_EQ(recorder.log, "2a 6a 2b 7a 11 m1 12 11 m1 12");
    EXPECT_EQ(Flow(0).stats.total_packets, 9u);
    EXPECT_TRUE(Flow(0).flags.expired);
}

TEST_F(Flows, TcpRetransmissionsGapsAndResetsAreCounted)
{
    Feed(0, TcpFrame(true, 100, 0, SYN));
    Feed(1, TcpFrame(true, 100, 0, SYN));             // SYN again
    Feed(2, TcpFrame(false, 900, 101, SYN | ACK));
    Feed(3, TcpFrame(true, 101, 901, ACK, 10));
    Feed(4, TcpFrame(true, 101, 901, ACK, 10));       // the same data again
    Feed(5, TcpFrame(true, 211, 901, ACK, 10));       // 100 bytes missing
    Feed(6, TcpFrame(false, 901, 0, RST));
    EXPECT_EQ(recorder.log, "2a 6a") << "a reset closes the flow";
    EXPECT_EQ(Flow(0).stats.tcp_retrans, 2u);
    EXPECT_EQ(Flow(0).stats.tcp_seq_errors, 1u);
    EXPECT_EQ(Flow(0).stats.tcp_resets, 1u);
    // A SYN on the closed flow's ports begins a flow of its own; the closed
    // one ends first.
    Feed(7, TcpFrame(true, 5000, 0, SYN));
    EXPECT_EQ(recorder.log, "2a 6a 7a 2b");
    EXPECT_EQ(flows->Tracked(), 1u);
}

// Idle flows expire after their protocol's timeout; the end of a capture
// sends a last update, then expires every flow left in the order they began.
TEST_F(Flows, FlowsExpireWhenIdleAndAtTheEndInTheirOrder)
{
    options.udp_timeout_ms = 5000;
    options.tcp_timeout_ms = 60000;
    Feed(0, UdpFrame(A, B, 1000, 2000));
    Feed(0, TcpFrame(true, 1, 0, SYN));
    Feed(5 * S, UdpFrame(B, A, 3000, 4000));  // the first not idle for longer than 5 s yet
    Feed(7 * S, UdpFrame(B, A, 3000, 4000));
    EXPECT_EQ(recorder.log, "2a 2b 2c 6a 7a");
    Feed(8 * S, UdpFrame(A, B, 1, 2));
    flows->Finish();
    EXPECT_EQ(recorder.log, "2a 2b 2c 6a 7a 2d 11 m3 12 6b 7b 6c 7c 6d 7d");
    EXPECT_EQ(flows->Tracked(), 0u);
}

// Every update interval of capture time sends init, the flow map and
// complete. A packet stamped earlier counts at the clock's time; a leap of
// thirty years brings updates until the flow expires after its 30 s, then one
// more for the quiet stretch, not one per interval.
TEST_F(Flows, UpdatesFollowCaptureTimeThatNeitherGoesBackNorFloods)
{
    options.update_interval_ms = 10000;
    Feed(100 * S, UdpFrame(A, B, 1, 2));
    Feed(50 * S, UdpFrame(A, B, 1, 2));
    EXPECT_EQ(Flow(0).last_seen_at, 100000u);
    for (uint64_t second : {105, 111, 125}) Feed(second * S, UdpFrame(A, B, 1, 2));
    EXPECT_EQ(recorder.log, "2a 11 m1 12 11 m1 12");
    EXPECT_EQ(Flow(0).first_seen_at, 100000u);
    EXPECT_EQ(Flow(0).stats.total_packets, 5u);
    {
        // The rate: bytes per second over the interval that ended, 110 s to
        // 120 s for the second update: one packet, at 111 s.
        std::lock_guard<std::recursive_mutex> lock(Flow(0).lock);
        EXPECT_FLOAT_EQ(Flow(0).stats.lower_rate, static_cast<float>(UdpFrame(A, B, 1, 2).size()) / 10);
        EXPECT_FLOAT_EQ(Flow(0).stats.upper_rate, 0);
    }
    Feed(uint64_t(1000000000) * S, UdpFrame(A, B, 1, 2));
    EXPECT_EQ(recorder.log, "2a 11 m1 12 11 m1 12 11 m1 12 11 m1 12 11 m1 12 6a 7a 11 12 2b");
}

// The key: addresses and ports whoever sends, protocol and VLAN. Beyond the
// flow bound new flows are refused, their packets counted.
TEST_F(Flows, DigestsFollowTheKeyAndTheMetadataUpToTheFlowBound)
{
    options.max_flows = 3;
    Feed(0, UdpFrame(A, B, 1, 2));
    Feed(1, UdpFrame(B, A, 2, 1));
    Feed(2, UdpFrame(A, B, 1, 2, {10}));
    Feed(3, UdpFrame(A, B, 1, 3));
    Feed(4, UdpFrame(A, B, 5, 6));
    Feed(5, UdpFrame(B, A, 3, 1));
    Feed(6, UdpFrame(A, B, 5, 6));
    EXPECT_EQ(recorder.log, "2a 2b 2c");
    EXPECT_EQ(flows->Counters().refused_packets, 2u);
    EXPECT_EQ(flows->Counters().tracked_packets, 5u);
    EXPECT_EQ(flows->Counters().flows, 3u);
    uint8_t a[16] = {10, 0, 0, 1}, b[16] = {10, 0, 0, 2};
    EXPECT_EQ(Flow(0).digest_lower, qppKeyDigest(4, 17, 0, a, 1, b, 2));
    EXPECT_EQ(Flow(1).digest_lower, qppKeyDigest(4, 17, 10, a, 1, b, 2));
    EXPECT_EQ(Flow(1).vlan_id, 10);
    EXPECT_EQ(Flow(2).digest_lower, qppKeyDigest(4, 17, 0, a, 1, b, 3));
    std::lock_guard<std::recursive_mutex> lock(Flow(0).lock);
    EXPECT_EQ(Flow(0).digest_mdata.back(), qppMetadataDigest(Flow(0)));
}
