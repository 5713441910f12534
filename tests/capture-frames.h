// Frames built byte by byte for the capture tests: link headers, IPv4 and
// IPv6 with extension headers, TCP and UDP, and pcap files around them.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace frames {

using Bytes = std::vector<uint8_t>;

// n bytes of v, big-endian (network order) or little-endian.
inline Bytes Be(uint64_t v, int n)
{
    Bytes b;
    for (int i = n - 1; i >= 0; i--) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return b;
}

inline Bytes Le(uint64_t v, int n) { Bytes b = Be(v, n); return Bytes(b.rbegin(), b.rend()); }

inline Bytes Cat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (auto &part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

inline Bytes Text(const std::string &text) { return Bytes(text.begin(), text.end()); }

// A TCP header of offset_words words, the ones beyond five NOP options.
inline Bytes TcpHeader(uint8_t flags = 0x18 /* PSH ACK */, uint32_t seq = 1000, uint32_t ack = 0,
    uint16_t sport = 40000, uint16_t dport = 80, uint8_t offset_words = 5)
{
    return Cat({Be(sport, 2), Be(dport, 2), Be(seq, 4), Be(ack, 4),
        {static_cast<uint8_t>(offset_words << 4), flags}, Be(65535, 2), Be(0, 4),
        Bytes(offset_words > 5 ? 4u * (offset_words - 5) : 0, 1)});
}

// length -1: the real length.
inline Bytes UdpHeader(uint16_t sport, uint16_t dport, size_t payload, int length = -1)
{
    return Cat({Be(sport, 2), Be(dport, 2), Be(length >= 0 ? length : payload + 8, 2), Be(0, 2)});
}

// An IPv4 header and what follows it; total -1 means the real length.
inline Bytes Ipv4(uint32_t src, uint32_t dst, uint8_t protocol, const Bytes &rest,
    int total = -1, uint16_t fragment = 0, uint8_t ihl = 5, uint8_t version = 4)
{
    return Cat({{static_cast<uint8_t>(version << 4 | ihl), 0},
        Be(total >= 0 ? total : 20 + rest.size(), 2), Be(1, 2), Be(fragment, 2), {64, protocol},
        Be(0, 2), Be(src, 4), Be(dst, 4), rest});
}

// An IPv6 header, 2001::src_last to 2001::dst_last; rest starts with the
// header that next names.
inline Bytes Ipv6(uint8_t src_last, uint8_t dst_last, uint8_t next, const Bytes &rest,
    int payload = -1)
{
    return Cat({Be(0x60000000, 4), Be(payload >= 0 ? payload : rest.size(), 2), {next, 64},
        Be(0x2001, 2), Bytes(13, 0), {src_last}, Be(0x2001, 2), Bytes(13, 0), {dst_last}, rest});
}

// An IPv6 extension header of 8 bytes (hop-by-hop, routing, destination).
inline Bytes Ipv6Option(uint8_t next) { return Bytes{next, 0, 1, 4, 0, 0, 0, 0}; }

// From 02:00:00:00:00:01 to 02:00:00:00:00:02; the first tag with tpid.
inline Bytes Ethernet(uint16_t type, const Bytes &rest, const std::vector<uint16_t> &tags = {},
    uint16_t tpid = 0x8100)
{
    Bytes b = {0x02, 0, 0, 0, 0, 0x02, 0x02, 0, 0, 0, 0, 0x01};
    for (size_t i = 0; i < tags.size(); i++) b = Cat({b, Be(i == 0 ? tpid : 0x8100, 2), Be(tags[i], 2)});
    return Cat({b, Be(type, 2), rest});
}

// Linux cooked v1 and v2, sent to us by 02:00:00:00:00:07 or :08 (ARPHRD_ETHER).
inline Bytes Sll(uint16_t type, const Bytes &rest)
{
    return Cat({Be(0, 2), Be(1, 2), Be(6, 2), {0x02, 0, 0, 0, 0, 0x07, 0, 0}, Be(type, 2), rest});
}
inline Bytes Sll2(uint16_t type, const Bytes &rest)
{
    return Cat({Be(type, 2), Be(0, 2), Be(1, 4), Be(1, 2), {0, 6}, {0x02, 0, 0, 0, 0, 0x08, 0, 0}, rest});
}

// BSD loopback: the family in the writing machine's order (little-endian
// here), or OpenBSD's in network order.
inline Bytes Null(uint32_t family, const Bytes &rest) { return Cat({Le(family, 4), rest}); }
inline Bytes Loop(uint32_t family, const Bytes &rest) { return Cat({Be(family, 4), rest}); }

constexpr uint32_t A = 0x0a000001;  // 10.0.0.1
constexpr uint32_t B = 0x0a000002;  // 10.0.0.2

// One record of a pcap file; wire 0: the data's length.
struct Record { uint64_t time_us; Bytes data; uint32_t wire = 0; };

// A pcap file (microseconds, little-endian) of these records.
inline std::string Pcap(int link_type, const std::vector<Record> &records)
{
    Bytes file = Cat({Le(0xa1b2c3d4, 4), Le(2, 2), Le(4, 2), Le(0, 8), Le(262144, 4), Le(link_type, 4)});
    for (auto &r : records) {
        Bytes record = Cat({Le(r.time_us / 1000000, 4), Le(r.time_us % 1000000, 4), Le(r.data.size(), 4),
            Le(r.wire ? r.wire : r.data.size(), 4), r.data});
        file.insert(file.end(), record.begin(), record.end());
    }
    return std::string(file.begin(), file.end());
}

}  // namespace frames
