// Packet decoding of the capture host, on frames built byte by byte: every
// link type, VLAN stacks, IPv6 extension headers, fragments, truncation and
// lengths that lie. A bad frame is a result, never a crash.

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "capture-decode.h"
#include "capture-frames.h"

using namespace frames;

namespace {

struct DecodeCase
{
    std::string name;
    int link;
    Bytes frame;
    qppDecodeResult result;
    // Checked on OK only.
    uint8_t ip_version = 0;
    uint8_t protocol = 0;
    uint16_t sport = 0, dport = 0;
    uint16_t vlan = 0;
    size_t captured = 0;  // 0: the whole frame
    size_t wire = 0;      // 0: the whole frame
    bool payload_cut = false;
};

void PrintTo(const DecodeCase &c, std::ostream *os) { *os << c.name; }

Bytes TcpPacket(const Bytes &payload = Text("GET / HTTP/1.1\r\n\r\n"))
{
    return Ipv4(A, B, 6, Cat(TcpHeader(Tcp()), payload));
}

Bytes UdpPacket(uint16_t sport = 5353, uint16_t dport = 53)
{
    return Ipv4(A, B, 17, Cat(UdpHeader(sport, dport, 4), Text("abcd")));
}

Bytes Udp6(uint8_t next_first, const Bytes &headers)
{
    return Ipv6(1, 2, next_first, Cat(headers, Cat(UdpHeader(1000, 2000, 4), Text("abcd"))));
}

std::vector<DecodeCase> Cases()
{
    Bytes tcp = TcpPacket();
    Bytes udp = UdpPacket();
    std::vector<DecodeCase> cases = {
        {"EthernetTcp", 1, Ethernet(0x0800, tcp), qppDecodeResult::OK, 4, 6, 40000, 80},
        {"Vlan", 1, Ethernet(0x0800, udp, {100}), qppDecodeResult::OK, 4, 17, 5353, 53, 100},
        {"QinQ8021ad", 1, Ethernet(0x0800, udp, {200, 300}, 0x88a8), qppDecodeResult::OK,
            4, 17, 5353, 53, 300},
        {"QinQ8100", 1, Ethernet(0x0800, udp, {200, 300}), qppDecodeResult::OK, 4, 17, 5353, 53, 300},
        {"VlanPriorityBitsIgnored", 1, Ethernet(0x0800, udp, {0xe000 | 42}),
            qppDecodeResult::OK, 4, 17, 5353, 53, 42},
        {"NineVlanTags", 1, Ethernet(0x0800, udp, {1, 2, 3, 4, 5, 6, 7, 8, 9}),
            qppDecodeResult::TOO_DEEP},
        {"VlanTagCut", 1, Bytes{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x81, 0x00, 0},
            qppDecodeResult::TRUNCATED},
        {"CookedV1", 113, Sll(0x0800, udp), qppDecodeResult::OK, 4, 17, 5353, 53},
        {"CookedV1Vlan", 113, Sll(0x8100, Cat(Bytes{0, 7, 0x08, 0x00}, udp)),
            qppDecodeResult::OK, 4, 17, 5353, 53, 7},
        {"CookedV2", 276, Sll2(0x86dd, Udp6(17, {})), qppDecodeResult::OK, 6, 17, 1000, 2000},
        {"CookedV1Cut", 113, Bytes(10, 0), qppDecodeResult::TRUNCATED},
        {"CookedV2Cut", 276, Bytes(19, 0), qppDecodeResult::TRUNCATED},
        {"RawIpv4", 101, udp, qppDecodeResult::OK, 4, 17, 5353, 53},
        {"RawIpv6Dlt", 12, Udp6(17, {}), qppDecodeResult::OK, 6, 17, 1000, 2000},
        {"RawVersion5", 101, Ipv4(A, B, 17, {}, -1, 0, 5, 5), qppDecodeResult::MALFORMED},
        {"RawEmpty", 101, Bytes{}, qppDecodeResult::TRUNCATED},
        {"LinkIpv4", 228, udp, qppDecodeResult::OK, 4, 17, 5353, 53},
        {"LinkIpv6", 229, Udp6(17, {}), qppDecodeResult::OK, 6, 17, 1000, 2000},
        {"BsdNullIpv4", 0, Null(2, udp), qppDecodeResult::OK, 4, 17, 5353, 53},
        {"BsdNullIpv6Darwin", 0, Null(30, Udp6(17, {})), qppDecodeResult::OK, 6, 17, 1000, 2000},
        {"BsdNullIpv6FreeBsd", 0, Null(28, Udp6(17, {})), qppDecodeResult::OK, 6, 17, 1000, 2000},
        {"BsdNullOtherFamily", 0, Null(7, udp), qppDecodeResult::NOT_IP},
        {"BsdNullCut", 0, Bytes{2, 0}, qppDecodeResult::TRUNCATED},
        {"OpenBsdLoop", 108, Loop(24, Udp6(17, {})), qppDecodeResult::OK, 6, 17, 1000, 2000},
        {"Ipv6HopByHopDestOptions", 1,
            Ethernet(0x86dd, Udp6(0, Cat(Ipv6Option(60), Ipv6Option(17)))),
            qppDecodeResult::OK, 6, 17, 1000, 2000},
        {"Ipv6RoutingHeader", 1, Ethernet(0x86dd, Udp6(43, Ipv6Option(17))),
            qppDecodeResult::OK, 6, 17, 1000, 2000},
        {"Ipv6FirstFragment", 1, Ethernet(0x86dd, Udp6(44, Ipv6Fragment(17, 0, true))),
            qppDecodeResult::OK, 6, 17, 1000, 2000},
        {"Ipv6LaterFragment", 1, Ethernet(0x86dd, Udp6(44, Ipv6Fragment(17, 185, false))),
            qppDecodeResult::FRAGMENT},
        {"Ipv6NoNextHeader", 1, Ethernet(0x86dd, Ipv6(1, 2, 59, {})), qppDecodeResult::OK, 6, 59},
        {"Ipv6ExtensionBeyondPayload", 1,
            Ethernet(0x86dd, Ipv6(1, 2, 0, Bytes{17, 9, 0, 0, 0, 0, 0, 0})),
            qppDecodeResult::MALFORMED},
        {"Ipv4LaterFragment", 1, Ethernet(0x0800, Ipv4(A, B, 17, Text("payload!"), -1, 185)),
            qppDecodeResult::FRAGMENT},
        {"Ipv4FirstFragmentUdpLengthOfAll", 1,
            Ethernet(0x0800, Ipv4(A, B, 17, Cat(UdpHeader(1, 2, 0, 3008), Text("abcd")), -1, 0x2000)),
            qppDecodeResult::OK, 4, 17, 1, 2},
        {"Ipv4HeaderLengthBelowFive", 1, Ethernet(0x0800, Ipv4(A, B, 17, udp, -1, 0, 4)),
            qppDecodeResult::MALFORMED},
        {"Ipv4TotalBelowHeader", 1, Ethernet(0x0800, Ipv4(A, B, 17, {}, 12)),
            qppDecodeResult::MALFORMED},
        {"Ipv4TotalBeyondFrame", 1, Ethernet(0x0800, Ipv4(A, B, 17, UdpHeader(1, 2, 0), 1500)),
            qppDecodeResult::MALFORMED},
        {"Ipv6PayloadBeyondFrame", 1, Ethernet(0x86dd, Ipv6(1, 2, 17, UdpHeader(1, 2, 0), 900)),
            qppDecodeResult::MALFORMED},
        {"Ipv6Jumbogram", 1, Ethernet(0x86dd, Ipv6(1, 2, 17, UdpHeader(1, 2, 0), 0)),
            qppDecodeResult::MALFORMED},
        {"UdpLengthBeyondPacket", 1, Ethernet(0x0800, Ipv4(A, B, 17, UdpHeader(1, 2, 0, 99))),
            qppDecodeResult::MALFORMED},
        {"UdpLengthBelowHeader", 1, Ethernet(0x0800, Ipv4(A, B, 17, UdpHeader(1, 2, 0, 3))),
            qppDecodeResult::MALFORMED},
        {"TcpOffsetBelowFive", 1, [] {
            Tcp t; t.offset_words = 4;
            return Ethernet(0x0800, Ipv4(A, B, 6, Cat(TcpHeader(t), Bytes(8, 0))));
        }(), qppDecodeResult::MALFORMED},
        {"TcpOffsetBeyondPacket", 1, [] {
            Tcp t; t.offset_words = 15;
            Bytes header = TcpHeader(t);
            header.resize(24);
            return Ethernet(0x0800, Ipv4(A, B, 6, header));
        }(), qppDecodeResult::MALFORMED},
        {"TcpWithOptions", 1, [] {
            Tcp t; t.offset_words = 8;
            return Ethernet(0x0800, Ipv4(A, B, 6, TcpHeader(t)));
        }(), qppDecodeResult::OK, 4, 6, 40000, 80},
        {"Icmp", 1, Ethernet(0x0800, Ipv4(A, B, 1, Bytes{8, 0, 0, 0, 0, 1, 0, 1})),
            qppDecodeResult::OK, 4, 1, 0, 0},
        {"Gre", 1, Ethernet(0x0800, Ipv4(A, B, 47, Bytes{0, 0, 0x08, 0})),
            qppDecodeResult::OK, 4, 47, 0, 0},
        {"Arp", 1, Ethernet(0x0806, Bytes(28, 0)), qppDecodeResult::NOT_IP},
        {"Llc", 1, Ethernet(0x0026, Bytes(38, 0)), qppDecodeResult::NOT_IP},
        {"EthernetCut", 1, Bytes(13, 0), qppDecodeResult::TRUNCATED},
        {"UnknownLinkType", 105, Bytes(40, 0), qppDecodeResult::UNSUPPORTED_LINK},
        // Ethernet frames are padded to 60 bytes; the IP length rules.
        {"EthernetPadding", 1, Cat(Ethernet(0x0800, Ipv4(A, B, 17, UdpHeader(1, 2, 0))), Bytes(18, 0)),
            qppDecodeResult::OK, 4, 17, 1, 2},
    };

    // Cut by the snapshot length at each layer.
    Bytes frame = Ethernet(0x0800, tcp);
    DecodeCase ip_cut{"SnapInIpHeader", 1, frame, qppDecodeResult::TRUNCATED};
    ip_cut.captured = 14 + 12;
    DecodeCase tcp_cut{"SnapInTcpHeader", 1, frame, qppDecodeResult::TRUNCATED};
    tcp_cut.captured = 14 + 20 + 10;
    DecodeCase payload_cut{"SnapInPayload", 1, frame, qppDecodeResult::OK, 4, 6, 40000, 80};
    payload_cut.captured = 14 + 20 + 20 + 3;
    payload_cut.payload_cut = true;
    Bytes v6 = Ethernet(0x86dd, Udp6(0, Ipv6Option(17)));
    DecodeCase v6_cut{"SnapInIpv6Extension", 1, v6, qppDecodeResult::TRUNCATED};
    v6_cut.captured = 14 + 40 + 1;
    // A record claiming fewer bytes on the wire than it holds: the wire
    // length never shrinks what was captured.
    DecodeCase wire_short{"WireShorterThanCaptured", 1, frame, qppDecodeResult::OK, 4, 6, 40000, 80};
    wire_short.wire = 10;
    cases.insert(cases.end(), {ip_cut, tcp_cut, payload_cut, v6_cut, wire_short});

    // Seventeen extension headers are more than are walked.
    Bytes chain;
    for (int i = 0; i < 17; i++) chain = Cat(chain, Ipv6Option(i == 16 ? 17 : 60));
    cases.push_back({"Ipv6ExtensionChainTooLong", 1, Ethernet(0x86dd, Udp6(60, chain)),
        qppDecodeResult::TOO_DEEP});
    return cases;
}

class Decode : public ::testing::TestWithParam<DecodeCase> { };

}  // namespace

TEST_P(Decode, GivesItsResultAndFields)
{
    const DecodeCase &c = GetParam();
    size_t captured = c.captured ? c.captured : c.frame.size();
    size_t wire = c.wire ? c.wire : c.frame.size();
    // The record is copied to a buffer of exactly its captured size, so
    // that AddressSanitizer sees any read beyond it.
    std::vector<uint8_t> record(c.frame.begin(), c.frame.begin() + static_cast<long>(captured));
    qppPacket packet;
    qppDecodeResult result = qppDecodePacket(c.link, record.data(), record.size(), wire, packet);
    ASSERT_EQ(static_cast<int>(result), static_cast<int>(c.result))
        << "got " << qppDecodeResultName(result) << ", expected " << qppDecodeResultName(c.result);
    if (result != qppDecodeResult::OK) return;
    EXPECT_EQ(packet.ip_version, c.ip_version);
    EXPECT_EQ(packet.ip_protocol, c.protocol);
    EXPECT_EQ(packet.src_port, c.sport);
    EXPECT_EQ(packet.dst_port, c.dport);
    EXPECT_EQ(packet.vlan_id, c.vlan);
    EXPECT_EQ(packet.payload_cut, c.payload_cut);
    ASSERT_NE(packet.l3, nullptr);
    EXPECT_GE(packet.l3, record.data());
    EXPECT_LE(packet.l3 + packet.l3_length, record.data() + record.size());
}

INSTANTIATE_TEST_SUITE_P(Frames, Decode, ::testing::ValuesIn(Cases()),
    [](const ::testing::TestParamInfo<DecodeCase> &info) { return info.param.name; });

TEST(DecodeFields, Ipv4AddressesMacsAndTcpFields)
{
    Tcp t;
    t.seq = 0x01020304;
    t.ack = 0x0a0b0c0d;
    t.flags = 0x12;
    Bytes frame = Ethernet(0x0800, Ipv4(A, B, 6, Cat(TcpHeader(t), Text("hello"))));
    qppPacket p;
    ASSERT_EQ(qppDecodePacket(1, frame.data(), frame.size(), frame.size(), p), qppDecodeResult::OK);
    EXPECT_EQ(p.src_addr[3], 1);
    EXPECT_EQ(p.dst_addr[3], 2);
    EXPECT_TRUE(p.has_src_mac && p.has_dst_mac);
    EXPECT_EQ(p.src_mac[5], 0x01);
    EXPECT_EQ(p.dst_mac[0], 0x02);
    EXPECT_EQ(p.tcp_seq, 0x01020304u);
    EXPECT_EQ(p.tcp_ack, 0x0a0b0c0du);
    EXPECT_EQ(p.tcp_flags, 0x12);
    EXPECT_EQ(p.payload_length, 5u);
    EXPECT_EQ(p.l3_length, 20u + 20u + 5u);
}

TEST(DecodeFields, CookedCaptureGivesTheSenderMacOnly)
{
    Bytes frame = Sll(0x0800, UdpPacket());
    qppPacket p;
    ASSERT_EQ(qppDecodePacket(113, frame.data(), frame.size(), frame.size(), p), qppDecodeResult::OK);
    EXPECT_TRUE(p.has_src_mac);
    EXPECT_FALSE(p.has_dst_mac);
    EXPECT_EQ(p.src_mac[5], 0x07);
}

// Every prefix of every valid frame decodes to some result without reading
// past the prefix (AddressSanitizer watches the exact-size copies).
TEST(DecodeFields, EveryPrefixOfAFrameIsSafe)
{
    std::vector<std::pair<int, Bytes>> frames = {
        {1, Ethernet(0x0800, TcpPacket(), {10, 20})},
        {1, Ethernet(0x86dd, Udp6(0, Cat(Ipv6Option(44), Ipv6Fragment(17, 0, true))))},
        {113, Sll(0x0800, UdpPacket())},
        {276, Sll2(0x86dd, Udp6(17, {}))},
        {0, Null(2, UdpPacket())},
    };
    for (auto &frame : frames) {
        for (size_t n = 0; n <= frame.second.size(); n++) {
            std::vector<uint8_t> prefix(frame.second.begin(), frame.second.begin() + static_cast<long>(n));
            qppPacket p;
            qppDecodeResult result = qppDecodePacket(frame.first, prefix.data(), prefix.size(),
                frame.second.size(), p);
            if (n < frame.second.size() && result == qppDecodeResult::OK) {
                EXPECT_TRUE(p.payload_cut) << "prefix " << n;
            }
        }
    }
}
