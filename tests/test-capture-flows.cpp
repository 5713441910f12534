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

struct Seen
{
    int event;
    std::shared_ptr<qdFlow> flow;  // null for agent events
    size_t map_size = 0;
    qdFlowStats stats;
    bool expiring = false, expired = false;
};

class Recorder : public qppCaptureEvents
{
public:
    void FlowEvent(qdPluginProcessor::Event event, std::shared_ptr<qdFlow> &flow) override
    {
        std::lock_guard<std::recursive_mutex> lock(flow->lock);
        seen.push_back({event, flow, 0, flow->stats, flow->flags.expiring, flow->flags.expired});
    }
    void FlowMap(qdFlowMap &map) override
    {
        size_t n = 0;
        for (size_t b = 0; b < map.buckets; b++) {
            n += map.Acquire(b).size();
            map.Release(b);
        }
        seen.push_back({1, nullptr, n, qdFlowStats()});
    }
    void AgentEvent(qdPluginProcessor::Event event) override
    {
        seen.push_back({event, nullptr, 0, qdFlowStats()});
    }

    // The event numbers, in order.
    std::vector<int> Events() const
    {
        std::vector<int> events;
        for (auto &s : seen) events.push_back(s.event);
        return events;
    }

    std::vector<Seen> seen;
};

constexpr uint64_t S = 1000000;  // one second in microseconds

Bytes TcpFrame(bool from_a, uint32_t seq, uint32_t ack, uint8_t flags, size_t payload = 0,
    uint16_t a_port = 40000)
{
    Tcp t;
    t.sport = from_a ? a_port : 443;
    t.dport = from_a ? 443 : a_port;
    t.seq = seq;
    t.ack = ack;
    t.flags = flags;
    return Ethernet(0x0800, Ipv4(from_a ? A : B, from_a ? B : A, 6,
        Cat(TcpHeader(t), Bytes(payload, 'x'))));
}

Bytes UdpFrame(uint32_t src, uint32_t dst, uint16_t sport, uint16_t dport)
{
    return Ethernet(0x0800, Ipv4(src, dst, 17, Cat(UdpHeader(sport, dport, 6), Text("qwerty"))));
}

class Flows : public ::testing::Test
{
protected:
    void Make() { flows = std::make_unique<qppCaptureFlows>(options, recorder); }
    void Feed(uint64_t time_us, const Bytes &frame)
    {
        flows->Packet(1, time_us, frame.data(), frame.size(), frame.size());
    }

    qppCaptureOptions options;
    Recorder recorder;
    std::unique_ptr<qppCaptureFlows> flows;
};

}  // namespace

TEST_F(Flows, TcpConversationIsOneFlowCountedPerSideAndClosed)
{
    Make();
    uint32_t a = 100, b = 5000;
    Feed(0, TcpFrame(true, a, 0, QPP_TCP_SYN));
    Feed(1000, TcpFrame(false, b, a + 1, QPP_TCP_SYN | QPP_TCP_ACK));
    Feed(2000, TcpFrame(true, a + 1, b + 1, QPP_TCP_ACK));
    Feed(3000, TcpFrame(true, a + 1, b + 1, QPP_TCP_ACK | 0x08, 10));
    Feed(4000, TcpFrame(false, b + 1, a + 11, QPP_TCP_ACK | 0x08, 20));
    Feed(5000, TcpFrame(true, a + 11, b + 21, QPP_TCP_FIN | QPP_TCP_ACK));
    Feed(6000, TcpFrame(false, b + 21, a + 12, QPP_TCP_FIN | QPP_TCP_ACK));
    ASSERT_EQ(flows->Tracked(), 1u);
    // The closing handshake is not over until the last FIN is acknowledged.
    std::vector<int> before = recorder.Events();
    EXPECT_EQ(std::count(before.begin(), before.end(), 6), 0);
    Feed(7000, TcpFrame(true, a + 12, b + 22, QPP_TCP_ACK));

    std::vector<int> events = recorder.Events();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.front(), 2);
    EXPECT_EQ(events.back(), 6) << "expiring once both FINs are acknowledged";
    std::shared_ptr<qdFlow> flow = recorder.seen.front().flow;
    {
        std::lock_guard<std::recursive_mutex> lock(flow->lock);
        EXPECT_EQ(flow->tcp.fin_acks, 2);
        // 10.0.0.1 is below 10.0.0.2: the client is the lower side here.
        EXPECT_EQ(flow->lower_addr.GetString(), "10.0.0.1");
        EXPECT_EQ(flow->lower_addr.GetPort(), 40000);
        EXPECT_EQ(flow->upper_addr.GetPort(), 443);
        EXPECT_EQ(flow->lower_mac.GetString(), "02:00:00:00:00:01");
        EXPECT_EQ(flow->upper_mac.GetString(), "02:00:00:00:00:02");
        EXPECT_EQ(flow->stats.lower_packets, 5u);
        EXPECT_EQ(flow->stats.upper_packets, 3u);
        EXPECT_EQ(flow->stats.total_packets, 8u);
        EXPECT_EQ(flow->stats.lower_bytes + flow->stats.upper_bytes, flow->stats.total_bytes);
        EXPECT_EQ(flow->stats.upper_bytes, 3u * 54 + 20);
        EXPECT_EQ(flow->stats.tcp_retrans, 0u);
        EXPECT_EQ(flow->stats.tcp_seq_errors, 0u);
        EXPECT_EQ(flow->first_seen_at, 0u);
        EXPECT_EQ(flow->last_seen_at, 7u);
    }

    // Closed flows linger for the closed timeout, then expire; packets
    // meanwhile still count to them.
    Feed(8000, TcpFrame(true, a + 12, b + 22, QPP_TCP_ACK));
    EXPECT_EQ(flows->Tracked(), 1u);
    Feed(9 * S, UdpFrame(A, B, 1, 2));
    EXPECT_EQ(flows->Tracked(), 2u) << "still lingering 9 s after its close";
    Feed(30 * S, UdpFrame(A, B, 1, 2));
    events = recorder.Events();
    auto expired = std::find_if(recorder.seen.begin(), recorder.seen.end(),
        [&](const Seen &s) { return s.event == 7 && s.flow == flow; });
    ASSERT_NE(expired, recorder.seen.end());
    EXPECT_EQ(expired->stats.total_packets, 9u);
    EXPECT_TRUE(expired->expired);
    EXPECT_EQ(std::count(events.begin(), events.end(), 6), 1) << "expiring is sent once";
}

TEST_F(Flows, TcpRetransmissionsGapsAndResetsAreCounted)
{
    Make();
    Feed(0, TcpFrame(true, 100, 0, QPP_TCP_SYN));
    Feed(1, TcpFrame(true, 100, 0, QPP_TCP_SYN));             // SYN again
    Feed(2, TcpFrame(false, 900, 101, QPP_TCP_SYN | QPP_TCP_ACK));
    Feed(3, TcpFrame(true, 101, 901, QPP_TCP_ACK, 10));
    Feed(4, TcpFrame(true, 101, 901, QPP_TCP_ACK, 10));       // the same data again
    Feed(5, TcpFrame(true, 211, 901, QPP_TCP_ACK, 10));       // 100 bytes missing
    Feed(6, TcpFrame(false, 901, 0, QPP_TCP_RST));
    std::shared_ptr<qdFlow> flow = recorder.seen.front().flow;
    std::lock_guard<std::recursive_mutex> lock(flow->lock);
    EXPECT_EQ(flow->stats.tcp_retrans, 2u);
    EXPECT_EQ(flow->stats.tcp_seq_errors, 1u);
    EXPECT_EQ(flow->stats.tcp_resets, 1u);
    EXPECT_TRUE(flow->flags.expiring) << "a reset closes the flow";
    EXPECT_EQ(recorder.Events().back(), 6);
}

TEST_F(Flows, IdleFlowsExpireAfterTheirProtocolsTimeout)
{
    options.udp_timeout_ms = 5000;
    options.tcp_timeout_ms = 60000;
    Make();
    Feed(0, UdpFrame(A, B, 1000, 2000));
    Feed(0, TcpFrame(true, 1, 0, QPP_TCP_SYN));
    Feed(5 * S, UdpFrame(B, A, 3000, 4000));  // keeps the clock going
    EXPECT_EQ(flows->Tracked(), 3u) << "not idle for longer than 5 s yet";
    Feed(7 * S, UdpFrame(B, A, 3000, 4000));
    EXPECT_EQ(flows->Tracked(), 2u);
    // Expiring, then expired, for the UDP flow, before the packet at 7 s.
    std::vector<int> events = recorder.Events();
    std::vector<int> tail(events.end() - 2, events.end());
    EXPECT_EQ(tail, (std::vector<int>{6, 7}));
    EXPECT_EQ(recorder.seen.back().flow->ip_protocol, 17);
    EXPECT_EQ(recorder.seen.back().flow->last_seen_at, 0u);
}

TEST_F(Flows, EveryUpdateIntervalSendsInitMapComplete)
{
    options.update_interval_ms = 10000;
    Make();
    Feed(0, UdpFrame(A, B, 1000, 2000));
    Feed(5 * S, UdpFrame(A, B, 1000, 2000));
    Feed(11 * S, UdpFrame(A, B, 1000, 2000));
    Feed(25 * S, UdpFrame(A, B, 1000, 2000));
    std::vector<int> events;
    for (auto &s : recorder.seen) if (s.event != 4 && s.event != 5) events.push_back(s.event);
    EXPECT_EQ(events, (std::vector<int>{2, 11, 1, 12, 11, 1, 12}));
    // The rate: bytes per second of the interval that ended.
    auto map = std::find_if(recorder.seen.begin(), recorder.seen.end(),
        [](const Seen &s) { return s.event == 1; });
    EXPECT_EQ(map->map_size, 1u);
    std::shared_ptr<qdFlow> flow = recorder.seen.front().flow;
    uint64_t frame = UdpFrame(A, B, 1000, 2000).size();
    std::lock_guard<std::recursive_mutex> lock(flow->lock);
    // The second update covered 10 s to 20 s: one packet at 11 s.
    EXPECT_FLOAT_EQ(flow->stats.lower_rate, static_cast<float>(frame) / 10);
    EXPECT_FLOAT_EQ(flow->stats.upper_rate, 0);
}

TEST_F(Flows, TheEndSendsALastUpdateThenExpiresEveryFlowInOrder)
{
    Make();
    Feed(0, UdpFrame(A, B, 1, 2));
    Feed(1, TcpFrame(true, 1, 0, QPP_TCP_SYN));
    Feed(2, UdpFrame(B, A, 7, 8));
    recorder.seen.clear();
    flows->Finish();
    std::vector<int> events;
    std::vector<uint8_t> protocols;
    for (auto &s : recorder.seen) {
        if (s.event == 4) continue;  // nDPI's guesses for the unnamed flows
        events.push_back(s.event);
        if (s.event == 7) protocols.push_back(s.flow->ip_protocol);
    }
    EXPECT_EQ(events, (std::vector<int>{11, 1, 12, 6, 7, 6, 7, 6, 7}));
    EXPECT_EQ(protocols, (std::vector<uint8_t>{17, 6, 17}));
    EXPECT_EQ(flows->Tracked(), 0u);
    for (auto &s : recorder.seen) {
        if (s.event == 7) {
            EXPECT_TRUE(s.flow->flags.detection_complete);
            EXPECT_TRUE(s.flow->flags.detection_guessed);
        }
    }
}

TEST_F(Flows, TheFlowBoundRefusesNewFlowsAndCountsTheirPackets)
{
    options.max_flows = 2;
    Make();
    Feed(0, UdpFrame(A, B, 1, 2));
    Feed(1, UdpFrame(A, B, 3, 4));
    Feed(2, UdpFrame(A, B, 5, 6));
    Feed(3, UdpFrame(B, A, 2, 1));
    Feed(4, UdpFrame(A, B, 5, 6));
    EXPECT_EQ(flows->Tracked(), 2u);
    EXPECT_EQ(flows->Counters().refused_packets, 2u);
    EXPECT_EQ(flows->Counters().tracked_packets, 3u);
    EXPECT_EQ(flows->Counters().flows, 2u);
}

// Skipped frames are counted by reason in Captures.BadPacketsAreCountedAndSkipped.
TEST_F(Flows, VlanSeparatesFlows)
{
    Make();
    Bytes udp = Ipv4(A, B, 17, Cat(UdpHeader(1, 2, 4), Text("abcd")));
    Feed(0, Ethernet(0x0800, udp));
    Feed(1, Ethernet(0x0800, udp, {10}));
    Feed(2, Ethernet(0x0800, udp, {20}));
    EXPECT_EQ(flows->Tracked(), 3u);
    std::vector<uint16_t> vlans;
    for (auto &s : recorder.seen) if (s.event == 2) vlans.push_back(s.flow->vlan_id);
    EXPECT_EQ(vlans, (std::vector<uint16_t>{0, 10, 20}));
}

TEST_F(Flows, TimeGoingBackOrLeapingAheadNeitherStallsNorFloods)
{
    options.update_interval_ms = 1000;
    Make();
    Feed(100 * S, UdpFrame(A, B, 1, 2));
    Feed(50 * S, UdpFrame(A, B, 1, 2));  // earlier: counted at the clock's time
    {
        std::shared_ptr<qdFlow> flow = recorder.seen.front().flow;
        std::lock_guard<std::recursive_mutex> lock(flow->lock);
        EXPECT_EQ(flow->last_seen_at, 100000u);
        EXPECT_EQ(flow->stats.total_packets, 2u);
    }
    // Thirty years ahead: the flow expires, and the quiet stretch brings a
    // bounded number of updates, not one per second.
    Feed(uint64_t(1000000000) * S, UdpFrame(A, B, 1, 2));
    size_t updates = 0;
    for (auto &s : recorder.seen) if (s.event == 11) updates++;
    EXPECT_LT(updates, 100u);
    EXPECT_EQ(flows->Tracked(), 1u);
}

TEST_F(Flows, DigestsFollowTheKeyAndTheMetadata)
{
    Make();
    Feed(0, UdpFrame(A, B, 1, 2));
    Feed(1, UdpFrame(B, A, 2, 1));
    Feed(2, UdpFrame(A, B, 1, 3));
    ASSERT_EQ(flows->Tracked(), 2u);
    std::vector<std::shared_ptr<qdFlow>> news;
    for (auto &s : recorder.seen) if (s.event == 2) news.push_back(s.flow);
    ASSERT_EQ(news.size(), 2u);
    EXPECT_NE(news[0]->digest_lower, news[1]->digest_lower);
    // Both directions share one key, so one digest whoever sends.
    uint8_t a[16] = {10, 0, 0, 1}, b[16] = {10, 0, 0, 2};
    EXPECT_EQ(news[0]->digest_lower, qppKeyDigest(4, 17, 0, a, 1, b, 2));
    ASSERT_FALSE(news[0]->digest_mdata.empty());
    std::lock_guard<std::recursive_mutex> lock(news[0]->lock);
    EXPECT_EQ(news[0]->digest_mdata.back(), qppMetadataDigest(*news[0]));
}

TEST_F(Flows, ASynOnAClosedFlowsPortsBeginsANewFlow)
{
    Make();
    Feed(0, TcpFrame(true, 100, 0, QPP_TCP_SYN));
    Feed(1, TcpFrame(false, 900, 0, QPP_TCP_RST | QPP_TCP_ACK));
    Feed(2, TcpFrame(true, 5000, 0, QPP_TCP_SYN));
    std::vector<int> events;
    for (auto &s : recorder.seen) if (s.event != 4) events.push_back(s.event);
    EXPECT_EQ(events, (std::vector<int>{2, 6, 7, 2}));
    EXPECT_EQ(flows->Tracked(), 1u);
    EXPECT_NE(recorder.seen.front().flow, recorder.seen.back().flow);
}
