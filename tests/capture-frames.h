// Frames built byte by byte for the capture tests: link headers, IPv4 and
// IPv6 with extension headers, TCP and UDP, and pcap files around them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace frames {

using Bytes = std::vector<uint8_t>;

inline void Put16(Bytes &b, uint16_t v)
{
    b.push_back(static_cast<uint8_t>(v >> 8));
    b.push_back(static_cast<uint8_t>(v));
}

inline void Put32(Bytes &b, uint32_t v)
{
    Put16(b, static_cast<uint16_t>(v >> 16));
    Put16(b, static_cast<uint16_t>(v));
}

inline Bytes Cat(Bytes a, const Bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline Bytes Text(const std::string &text) { return Bytes(text.begin(), text.end()); }

struct Tcp
{
    uint16_t sport = 40000, dport = 80;
    uint32_t seq = 1000, ack = 0;
    uint8_t flags = 0x18;  // PSH ACK
    uint8_t offset_words = 5;
};

inline Bytes TcpHeader(const Tcp &t)
{
    Bytes b;
    Put16(b, t.sport);
    Put16(b, t.dport);
    Put32(b, t.seq);
    Put32(b, t.ack);
    b.push_back(static_cast<uint8_t>(t.offset_words << 4));
    b.push_back(t.flags);
    Put16(b, 65535);
    Put16(b, 0);
    Put16(b, 0);
    for (int i = 5; i < t.offset_words; i++) Put32(b, 0x01010101);  // NOP options
    return b;
}

inline Bytes UdpHeader(uint16_t sport, uint16_t dport, size_t payload, int length = -1)
{
    Bytes b;
    Put16(b, sport);
    Put16(b, dport);
    Put16(b, static_cast<uint16_t>(length >= 0 ? length : static_cast<int>(payload + 8)));
    Put16(b, 0);
    return b;
}

// An IPv4 header; total -1 means the real length of what follows.
inline Bytes Ipv4(uint32_t src, uint32_t dst, uint8_t protocol, const Bytes &rest,
    int total = -1, uint16_t fragment = 0, uint8_t ihl = 5, uint8_t version = 4)
{
    Bytes b;
    b.push_back(static_cast<uint8_t>(version << 4 | ihl));
    b.push_back(0);
    Put16(b, static_cast<uint16_t>(total >= 0 ? total : static_cast<int>(20 + rest.size())));
    Put16(b, 1);
    Put16(b, fragment);
    b.push_back(64);
    b.push_back(protocol);
    Put16(b, 0);
    Put32(b, src);
    Put32(b, dst);
    return Cat(b, rest);
}

// An IPv6 header; rest starts with the header that next names.
inline Bytes Ipv6(uint8_t src_last, uint8_t dst_last, uint8_t next, const Bytes &rest,
    int payload = -1)
{
    Bytes b;
    Put32(b, 0x60000000);
    Put16(b, static_cast<uint16_t>(payload >= 0 ? payload : static_cast<int>(rest.size())));
    b.push_back(next);
    b.push_back(64);
    for (int i = 0; i < 15; i++) b.push_back(i == 0 ? 0x20 : i == 1 ? 0x01 : 0);
    b.push_back(src_last);
    for (int i = 0; i < 15; i++) b.push_back(i == 0 ? 0x20 : i == 1 ? 0x01 : 0);
    b.push_back(dst_last);
    return Cat(b, rest);
}

// An IPv6 extension header of 8 bytes (hop-by-hop, routing, destination).
inline Bytes Ipv6Option(uint8_t next)
{
    return Bytes{next, 0, 1, 4, 0, 0, 0, 0};
}

inline Bytes Ipv6Fragment(uint8_t next, uint16_t offset_units, bool more)
{
    Bytes b{next, 0};
    Put16(b, static_cast<uint16_t>(offset_units << 3 | (more ? 1 : 0)));
    Put32(b, 0x12345678);
    return b;
}

inline Bytes Ethernet(uint16_t type, const Bytes &rest, const std::vector<uint16_t> &tags = {},
    uint16_t tpid = 0x8100)
{
    Bytes b{0x02, 0, 0, 0, 0, 0x02, 0x02, 0, 0, 0, 0, 0x01};
    for (size_t i = 0; i < tags.size(); i++) {
        Put16(b, i == 0 ? tpid : 0x8100);
        Put16(b, tags[i]);
    }
    Put16(b, type);
    return Cat(b, rest);
}

inline Bytes Sll(uint16_t type, const Bytes &rest)
{
    Bytes b;
    Put16(b, 0);       // sent to us
    Put16(b, 1);       // ARPHRD_ETHER
    Put16(b, 6);
    Bytes mac{0x02, 0, 0, 0, 0, 0x07, 0, 0};
    b.insert(b.end(), mac.begin(), mac.end());
    Put16(b, type);
    return Cat(b, rest);
}

inline Bytes Sll2(uint16_t type, const Bytes &rest)
{
    Bytes b;
    Put16(b, type);
    Put16(b, 0);
    Put32(b, 1);       // interface index
    Put16(b, 1);       // ARPHRD_ETHER
    b.push_back(0);    // packet type
    b.push_back(6);    // address length
    Bytes mac{0x02, 0, 0, 0, 0, 0x08, 0, 0};
    b.insert(b.end(), mac.begin(), mac.end());
    return Cat(b, rest);
}

inline Bytes Null(uint32_t family, const Bytes &rest)
{
    // Host order, as the writing machine (little-endian here) stores it.
    Bytes b{static_cast<uint8_t>(family), static_cast<uint8_t>(family >> 8),
        static_cast<uint8_t>(family >> 16), static_cast<uint8_t>(family >> 24)};
    return Cat(b, rest);
}

inline Bytes Loop(uint32_t family, const Bytes &rest)
{
    Bytes b;
    Put32(b, family);
    return Cat(b, rest);
}

constexpr uint32_t A = 0x0a000001;  // 10.0.0.1
constexpr uint32_t B = 0x0a000002;  // 10.0.0.2

// One record of a pcap file.
struct Record
{
    uint64_t time_us;
    Bytes data;
    uint32_t wire = 0;  // 0: the data's length
};

inline void PutLe32(std::string &s, uint32_t v)
{
    for (int i = 0; i < 4; i++) s.push_back(static_cast<char>(v >> (8 * i)));
}

// A pcap file (microseconds, little-endian) of these records.
inline std::string Pcap(int link_type, const std::vector<Record> &records)
{
    std::string s;
    PutLe32(s, 0xa1b2c3d4);
    s.push_back(2); s.push_back(0); s.push_back(4); s.push_back(0);
    PutLe32(s, 0);
    PutLe32(s, 0);
    PutLe32(s, 262144);
    PutLe32(s, static_cast<uint32_t>(link_type));
    for (auto &r : records) {
        PutLe32(s, static_cast<uint32_t>(r.time_us / 1000000));
        PutLe32(s, static_cast<uint32_t>(r.time_us % 1000000));
        PutLe32(s, static_cast<uint32_t>(r.data.size()));
        PutLe32(s, r.wire ? r.wire : static_cast<uint32_t>(r.data.size()));
        s.append(r.data.begin(), r.data.end());
    }
    return s;
}

}  // namespace frames
