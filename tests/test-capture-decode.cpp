// Packet decoding of the capture host, on frames built byte by byte: the
// link types, tags, IPv6 extension headers, truncations and lying lengths
// that the real captures (tests/captures) do not hold. A bad frame is a
// result, never a crash.

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "capture-decode.h"
#include "capture-frames.h"

using namespace frames;
using R = qppDecodeResult;

namespace {

struct DecodeCase
{
    std::string name;
    int link;
    Bytes frame;
    R result;
    uint8_t ip_version = 0, protocol = 0;  // these checked on OK only
    uint16_t sport = 0, dport = 0, vlan = 0;
};

void PrintTo(const DecodeCase &c, std::ostream *os) { *os << c.name; }

Bytes Tcp4() { return Ipv4(A, B, 6, Cat({TcpHeader(), Text("GET / HTTP/1.1\r\n\r\n")})); }
Bytes Udp4() { return Ipv4(A, B, 17, Cat({UdpHeader(5353, 53, 4), Text("abcd")})); }
Bytes Udp6(uint8_t next_first, const Bytes &headers)
{
    return Ipv6(1, 2, next_first, Cat({headers, UdpHeader(1000, 2000, 4), Text("abcd")}));
}

// A TCP header saying it has this many words, cut or padded to length.
Bytes TcpWords(uint8_t words, size_t length)
{
    Bytes header = TcpHeader(0x18, 1000, 0, 40000, 80, words);
    header.resize(length);
    return Ethernet(0x0800, Ipv4(A, B, 6, header));
}

std::vector<DecodeCase> Cases()
{
    Bytes udp = Udp4();
    Bytes chain;  // more extension headers than are walked
    for (int i = 0; i < 17; i++) chain = Cat({chain, Ipv6Option(i == 16 ? 17 : 60)});
    return {
        {"VlanPriorityBitsIgnored", 1, Ethernet(0x0800, udp, {0xe000 | 42}), R::OK, 4, 17, 5353, 53, 42},
        {"NineVlanTags", 1, Ethernet(0x0800, udp, {1, 2, 3, 4, 5, 6, 7, 8, 9}), R::TOO_DEEP},
        {"QinQ9100", 1, Ethernet(0x0800, udp, {200, 300}, 0x9100), R::OK, 4, 17, 5353, 53, 300},
        {"QinQ8021ad", 1, Ethernet(0x0800, udp, {200, 300}, 0x88a8), R::OK, 4, 17, 5353, 53, 300},
        {"CookedV1Vlan", 113, Sll(0x8100, Cat({{0, 7, 0x08, 0x00}, udp})), R::OK, 4, 17, 5353, 53, 7},
        {"CookedV2", 276, Sll2(0x0800, udp), R::OK, 4, 17, 5353, 53},
        {"RawIpv6Dlt", 12, Udp6(17, {}), R::OK, 6, 17, 1000, 2000},
        {"RawVersion5", 101, Ipv4(A, B, 17, {}, -1, 0, 5, 5), R::MALFORMED},
        {"LinkIpv4", 228, udp, R::OK, 4, 17, 5353, 53},
        {"LinkIpv6", 229, Udp6(17, {}), R::OK, 6, 17, 1000, 2000},
        {"BsdNullIpv6Darwin", 0, Null(30, Udp6(17, {})), R::OK, 6, 17, 1000, 2000},
        {"BsdNullIpv6FreeBsd", 0, Null(28, Udp6(17, {})), R::OK, 6, 17, 1000, 2000},
        {"BsdNullBigEndian", 0, Loop(2, udp), R::OK, 4, 17, 5353, 53},
        {"BsdNullOtherFamily", 0, Null(7, udp), R::NOT_IP},
        {"OpenBsdLoop", 108, Loop(24, Udp6(17, {})), R::OK, 6, 17, 1000, 2000},
        {"Ipv6HopByHopDestOptions", 1, Ethernet(0x86dd, Udp6(0, Cat({Ipv6Option(60), Ipv6Option(17)}))),
            R::OK, 6, 17, 1000, 2000},
        {"Ipv6RoutingHeader", 1, Ethernet(0x86dd, Udp6(43, Ipv6Option(17))), R::OK, 6, 17, 1000, 2000},
        {"Ipv6ExtensionChainTooLong", 1, Ethernet(0x86dd, Udp6(60, chain)), R::TOO_DEEP},
        {"Ipv6NoNextHeader", 1, Ethernet(0x86dd, Ipv6(1, 2, 59, {})), R::OK, 6, 59},
        {"Ipv6ExtensionBeyondPayload", 1, Ethernet(0x86dd, Ipv6(1, 2, 0, Bytes{17, 9, 0, 0, 0, 0, 0, 0})),
            R::MALFORMED},
        {"Ipv4HeaderLengthBelowFive", 1, Ethernet(0x0800, Ipv4(A, B, 17, udp, -1, 0, 4)), R::MALFORMED},
        {"Ipv4TotalBelowHeader", 1, Ethernet(0x0800, Ipv4(A, B, 17, {}, 12)), R::MALFORMED},
        {"Ipv4TotalBeyondFrame", 1, Ethernet(0x0800, Ipv4(A, B, 17, UdpHeader(1, 2, 0), 1500)), R::MALFORMED},
        {"Ipv6PayloadBeyondFrame", 1, Ethernet(0x86dd, Ipv6(1, 2, 17, UdpHeader(1, 2, 0), 900)), R::MALFORMED},
        {"Ipv6Jumbogram", 1, Ethernet(0x86dd, Ipv6(1, 2, 17, UdpHeader(1, 2, 0), 0)), R::MALFORMED},
        {"UdpLengthBeyondPacket", 1, Ethernet(0x0800, Ipv4(A, B, 17, UdpHeader(1, 2, 0, 99))), R::MALFORMED},
        {"UdpLengthBelowHeader", 1, Ethernet(0x0800, Ipv4(A, B, 17, UdpHeader(1, 2, 0, 3))), R::MALFORMED},
        {"TcpOffsetBelowFive", 1, TcpWords(4, 28), R::MALFORMED},
        {"TcpOffsetBeyondPacket", 1, TcpWords(15, 24), R::MALFORMED},
        {"TcpWithOptions", 1, TcpWords(8, 32), R::OK, 4, 6, 40000, 80},
        {"Gre", 1, Ethernet(0x0800, Ipv4(A, B, 47, Bytes{0, 0, 0x08, 0})), R::OK, 4, 47, 0, 0},
        {"Llc", 1, Ethernet(0x0026, Bytes(38, 0)), R::NOT_IP},
        {"UnknownLinkType", 105, Bytes(40, 0), R::UNSUPPORTED_LINK},
    };
}

class Decode : public ::testing::TestWithParam<DecodeCase> { };

}  // namespace

TEST_P(Decode, GivesItsResultAndFields)
{
    const DecodeCase &c = GetParam();
    Bytes record = c.frame;  // exactly its size: AddressSanitizer sees any read beyond it
    qppPacket packet;
    R result = qppDecodePacket(c.link, record.data(), record.size(), record.size(), packet);
    ASSERT_EQ(static_cast<int>(result), static_cast<int>(c.result))
        << "got " << qppDecodeResultName(result) << ", expected " << qppDecodeResultName(c.result);
    if (result != R::OK) return;
    EXPECT_EQ(packet.ip_version, c.ip_version);
    EXPECT_EQ(packet.ip_protocol, c.protocol);
    EXPECT_EQ(packet.src_port, c.sport);
    EXPECT_EQ(packet.dst_port, c.dport);
    EXPECT_EQ(packet.vlan_id, c.vlan);
    EXPECT_FALSE(packet.payload_cut);
    // From 10.0.0.1 or 2001::1 to .2; Ethernet gives both MACs (:01 to :02),
    // cooked captures the sender's alone (:07 in v1, :08 in v2).
    EXPECT_EQ(packet.src_addr[c.ip_version == 4 ? 3 : 15], 1);
    EXPECT_EQ(packet.dst_addr[c.ip_version == 4 ? 3 : 15], 2);
    int sender = c.link == 1 ? 1 : c.link == 113 ? 7 : c.link == 276 ? 8 : 0;
    EXPECT_EQ(packet.has_src_mac ? packet.src_mac[5] : 0, sender);
    EXPECT_EQ(packet.has_dst_mac ? packet.dst_mac[5] : 0, c.link == 1 ? 2 : 0);
    ASSERT_NE(packet.l3, nullptr);
    EXPECT_GE(packet.l3, record.data());
    EXPECT_LE(packet.l3 + packet.l3_length, record.data() + record.size());
}

INSTANTIATE_TEST_SUITE_P(Frames, Decode, ::testing::ValuesIn(Cases()),
    [](const ::testing::TestParamInfo<DecodeCase> &info) { return info.param.name; });

// A TCP packet with options in an Ethernet frame padded by a byte: the IP
// length rules. (The flow tests pin the sequence and acknowledgement numbers.)
TEST(DecodeFields, TcpFlagsAndLengths)
{
    Bytes tcp = Cat({TcpHeader(0x12, 1, 2, 40000, 80, 8), Text("hello")});
    Bytes frame = Cat({Ethernet(0x0800, Ipv4(A, B, 6, tcp)), {0}});
    qppPacket p;
    ASSERT_EQ(qppDecodePacket(1, frame.data(), frame.size(), frame.size(), p), R::OK);
    EXPECT_EQ(p.tcp_flags, 0x12);
    EXPECT_EQ(p.payload_length, 5u);
    EXPECT_EQ(p.l3_length, 20u + 32u + 5u);
}

// Every prefix of a frame, as a snapshot length cuts it: cut in the
// headers, truncated; in the payload, decoded and marked cut. No prefix is
// read beyond (AddressSanitizer watches the exact-size copies).
TEST(DecodeFields, EveryPrefixOfAFrameIsTruncatedOrCut)
{
    struct Case { int link; Bytes frame; size_t payload; };
    for (auto &c : std::vector<Case>{
             {1, Ethernet(0x0800, Tcp4(), {10, 20}), 18},
             {1, TcpWords(8, 32), 0},
             // A first fragment: offset 0, more to come.
             {1, Ethernet(0x86dd, Udp6(0, Cat({Ipv6Option(44), {17, 0, 0, 1, 1, 2, 3, 4}}))), 4},
             {113, Sll(0x0800, Udp4()), 4},
             {276, Sll2(0x86dd, Udp6(17, {})), 4},
             {0, Null(2, Udp4()), 4},
             {101, Udp4(), 4}}) {
        for (size_t n = 0; n <= c.frame.size(); n++) {
            Bytes prefix(c.frame.begin(), c.frame.begin() + static_cast<long>(n));
            qppPacket p;
            R result = qppDecodePacket(c.link, prefix.data(), n, c.frame.size(), p);
            EXPECT_EQ(result, n < c.frame.size() - c.payload ? R::TRUNCATED : R::OK) << "prefix " << n;
            if (result == R::OK) {
                EXPECT_EQ(p.payload_cut, n < c.frame.size()) << "prefix " << n;
            }
        }
    }
    // A record that says fewer bytes were on the wire than it holds is taken
    // at what it holds.
    Bytes frame = Ethernet(0x0800, Tcp4());
    qppPacket p;
    EXPECT_EQ(qppDecodePacket(1, frame.data(), frame.size(), 10, p), R::OK);
}
