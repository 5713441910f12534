#include <cstring>

#include "capture-decode.h"

namespace {

constexpr uint16_t ETHERTYPE_IPV4 = 0x0800;
constexpr uint16_t ETHERTYPE_IPV6 = 0x86dd;
constexpr uint16_t ETHERTYPE_VLAN = 0x8100;
constexpr uint16_t ETHERTYPE_QINQ = 0x88a8;
constexpr uint16_t ETHERTYPE_QINQ_OLD = 0x9100;

uint16_t Get16(const uint8_t *p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

uint32_t Get32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
        static_cast<uint32_t>(p[2]) << 8 | p[3];
}

// A view of the bytes still to decode.
struct Cursor
{
    const uint8_t *data;
    size_t captured;  // bytes the capture holds from data on
    size_t wire;      // bytes the frame had on the wire from data on

    bool Has(size_t n) const { return captured >= n; }
    void Skip(size_t n)
    {
        data += n;
        captured -= n;
        wire = wire >= n ? wire - n : 0;
    }
};

bool IsVlan(uint16_t type)
{
    return type == ETHERTYPE_VLAN || type == ETHERTYPE_QINQ || type == ETHERTYPE_QINQ_OLD;
}

// After the ether type at the cursor's start: VLAN tags, then IP.
qppDecodeResult Network(Cursor c, uint16_t type, qppPacket &p);

qppDecodeResult EtherType(Cursor c, uint16_t type, qppPacket &p)
{
    while (IsVlan(type)) {
        if (p.vlan_tags == qppMaxVlanTags) return qppDecodeResult::TOO_DEEP;
        if (! c.Has(4)) return qppDecodeResult::TRUNCATED;
        p.vlan_id = Get16(c.data) & 0x0fff;
        p.vlan_tags++;
        type = Get16(c.data + 2);
        c.Skip(4);
    }
    return Network(c, type, p);
}

qppDecodeResult Transport(Cursor c, qppPacket &p)
{
    switch (p.ip_protocol) {
    case 6: {  // TCP
        if (! c.Has(20)) return qppDecodeResult::TRUNCATED;
        size_t header = static_cast<size_t>(c.data[12] >> 4) * 4;
        if (header < 20 || header > p.payload_length) return qppDecodeResult::MALFORMED;
        if (! c.Has(header)) return qppDecodeResult::TRUNCATED;
        p.src_port = Get16(c.data);
        p.dst_port = Get16(c.data + 2);
        p.tcp_seq = Get32(c.data + 4);
        p.tcp_ack = Get32(c.data + 8);
        p.tcp_flags = c.data[13];
        p.payload_length -= header;
        return qppDecodeResult::OK;
    }
    case 17:    // UDP
    case 132: { // SCTP: ports in the same place
        if (! c.Has(8)) return qppDecodeResult::TRUNCATED;
        if (p.payload_length < 8) return qppDecodeResult::MALFORMED;
        p.src_port = Get16(c.data);
        p.dst_port = Get16(c.data + 2);
        if (p.ip_protocol == 17) {
            uint16_t length = Get16(c.data + 4);
            // A UDP length of zero is a jumbogram's; otherwise it must fit,
            // except in a first fragment, whose UDP length covers them all.
            if (length != 0 && (length < 8 ||
                    (length > p.payload_length && ! p.first_fragment)))
                return qppDecodeResult::MALFORMED;
        }
        p.payload_length -= 8;
        return qppDecodeResult::OK;
    }
    default:
        return qppDecodeResult::OK;
    }
}

qppDecodeResult Ipv4(Cursor c, qppPacket &p)
{
    if (! c.Has(20)) return qppDecodeResult::TRUNCATED;
    if ((c.data[0] >> 4) != 4) return qppDecodeResult::MALFORMED;
    size_t header = static_cast<size_t>(c.data[0] & 0x0f) * 4;
    size_t total = Get16(c.data + 2);
    if (header < 20 || total < header) return qppDecodeResult::MALFORMED;
    // A total length beyond the frame's own is a lie; less is padding.
    if (total > c.wire) return qppDecodeResult::MALFORMED;
    if (! c.Has(header)) return qppDecodeResult::TRUNCATED;
    p.ip_version = 4;
    p.ip_protocol = c.data[9];
    memcpy(p.src_addr, c.data + 12, 4);
    memcpy(p.dst_addr, c.data + 16, 4);
    p.l3 = c.data;
    p.l3_length = total <= c.captured ? total : c.captured;
    p.payload_cut = total > c.captured;
    uint16_t fragment = Get16(c.data + 6);
    if ((fragment & 0x1fff) != 0) return qppDecodeResult::FRAGMENT;
    p.first_fragment = (fragment & 0x2000) != 0;
    p.payload_length = total - header;
    c.captured = p.l3_length;
    c.Skip(header);
    return Transport(c, p);
}

qppDecodeResult Ipv6(Cursor c, qppPacket &p)
{
    if (! c.Has(40)) return qppDecodeResult::TRUNCATED;
    if ((c.data[0] >> 4) != 6) return qppDecodeResult::MALFORMED;
    size_t payload = Get16(c.data + 4);
    size_t total = 40 + payload;
    // A payload length of zero belongs to a jumbogram, which needs a
    // hop-by-hop option this host does not read.
    if (payload == 0 && c.data[6] != 59) return qppDecodeResult::MALFORMED;
    if (total > c.wire) return qppDecodeResult::MALFORMED;
    p.ip_version = 6;
    memcpy(p.src_addr, c.data + 8, 16);
    memcpy(p.dst_addr, c.data + 24, 16);
    p.l3 = c.data;
    p.l3_length = total <= c.captured ? total : c.captured;
    p.payload_cut = total > c.captured;
    uint8_t next = c.data[6];
    c.captured = p.l3_length;
    c.Skip(40);
    size_t remaining = payload;

    for (int headers = 0;; headers++) {
        size_t length;
        switch (next) {
        case 0:    // hop-by-hop options
        case 43:   // routing
        case 60:   // destination options
        case 135:  // mobility
            if (! c.Has(2)) return qppDecodeResult::TRUNCATED;
            length = (static_cast<size_t>(c.data[1]) + 1) * 8;
            break;
        case 51:   // authentication header
            if (! c.Has(2)) return qppDecodeResult::TRUNCATED;
            length = (static_cast<size_t>(c.data[1]) + 2) * 4;
            break;
        case 44: { // fragment
            if (! c.Has(8)) return qppDecodeResult::TRUNCATED;
            uint16_t fragment = Get16(c.data + 2);
            if ((fragment & 0xfff8) != 0) return qppDecodeResult::FRAGMENT;
            p.first_fragment = (fragment & 1) != 0;
            length = 8;
            break;
        }
        default:
            p.ip_protocol = next;
            p.payload_length = remaining;
            return Transport(c, p);
        }
        if (headers == qppMaxIpv6Headers) return qppDecodeResult::TOO_DEEP;
        if (length > remaining) return qppDecodeResult::MALFORMED;
        if (! c.Has(length)) return qppDecodeResult::TRUNCATED;
        next = c.data[0];
        remaining -= length;
        c.Skip(length);
    }
}

qppDecodeResult Network(Cursor c, uint16_t type, qppPacket &p)
{
    switch (type) {
    case ETHERTYPE_IPV4: return Ipv4(c, p);
    case ETHERTYPE_IPV6: return Ipv6(c, p);
    default: return qppDecodeResult::NOT_IP;
    }
}

// Raw IP: the version nibble says which.
qppDecodeResult RawIp(Cursor c, qppPacket &p)
{
    if (! c.Has(1)) return qppDecodeResult::TRUNCATED;
    switch (c.data[0] >> 4) {
    case 4: return Ipv4(c, p);
    case 6: return Ipv6(c, p);
    default: return qppDecodeResult::MALFORMED;
    }
}

// BSD loopback families: AF_INET is 2 everywhere; AF_INET6 is 24, 28 or 30
// depending on the system that wrote the capture.
qppDecodeResult LoopbackFamily(Cursor c, uint32_t family, qppPacket &p)
{
    switch (family) {
    case 2: return Ipv4(c, p);
    case 24: case 28: case 30: return Ipv6(c, p);
    default: return qppDecodeResult::NOT_IP;
    }
}

}  // namespace

const char *qppDecodeResultName(qppDecodeResult result)
{
    switch (result) {
    case qppDecodeResult::OK: return "decoded";
    case qppDecodeResult::TRUNCATED: return "truncated";
    case qppDecodeResult::MALFORMED: return "malformed";
    case qppDecodeResult::UNSUPPORTED_LINK: return "unsupported link type";
    case qppDecodeResult::NOT_IP: return "not IP";
    case qppDecodeResult::FRAGMENT: return "fragments";
    case qppDecodeResult::TOO_DEEP: return "too many headers";
    }
    return "?";
}

bool qppLinkTypeSupported(int link_type)
{
    switch (link_type) {
    case QPP_LINK_NULL: case QPP_LINK_ETHERNET: case QPP_LINK_RAW_DLT:
    case QPP_LINK_RAW: case QPP_LINK_LOOP: case QPP_LINK_LINUX_SLL:
    case QPP_LINK_IPV4: case QPP_LINK_IPV6: case QPP_LINK_LINUX_SLL2:
        return true;
    default:
        return false;
    }
}

qppDecodeResult qppDecodePacket(int link_type, const uint8_t *data,
    size_t captured, size_t wire_length, qppPacket &p)
{
    p = qppPacket();
    // A record that claims fewer bytes on the wire than it holds is taken
    // at what it holds: the wire length only ever limits, never extends.
    Cursor c{data, captured, wire_length < captured ? captured : wire_length};
    switch (link_type) {
    case QPP_LINK_ETHERNET: {
        if (! c.Has(14)) return qppDecodeResult::TRUNCATED;
        memcpy(p.dst_mac, c.data, 6);
        memcpy(p.src_mac, c.data + 6, 6);
        p.has_dst_mac = p.has_src_mac = true;
        uint16_t type = Get16(c.data + 12);
        c.Skip(14);
        // Below 0x600 the field is an 802.3 length: an LLC frame, not IP.
        if (type < 0x600) return qppDecodeResult::NOT_IP;
        return EtherType(c, type, p);
    }
    case QPP_LINK_LINUX_SLL: {
        if (! c.Has(16)) return qppDecodeResult::TRUNCATED;
        uint16_t address_length = Get16(c.data + 4);
        if (address_length == 6) {
            memcpy(p.src_mac, c.data + 6, 6);
            p.has_src_mac = true;
        }
        uint16_t type = Get16(c.data + 14);
        c.Skip(16);
        return EtherType(c, type, p);
    }
    case QPP_LINK_LINUX_SLL2: {
        if (! c.Has(20)) return qppDecodeResult::TRUNCATED;
        uint16_t type = Get16(c.data);
        if (c.data[11] == 6) {
            memcpy(p.src_mac, c.data + 12, 6);
            p.has_src_mac = true;
        }
        c.Skip(20);
        return EtherType(c, type, p);
    }
    case QPP_LINK_RAW:
    case QPP_LINK_RAW_DLT:
        return RawIp(c, p);
    case QPP_LINK_IPV4:
        return Ipv4(c, p);
    case QPP_LINK_IPV6:
        return Ipv6(c, p);
    case QPP_LINK_NULL: {
        if (! c.Has(4)) return qppDecodeResult::TRUNCATED;
        // Host order of the machine that wrote it: either order is read,
        // since the families are small numbers.
        uint32_t family;
        memcpy(&family, c.data, 4);
        if (family > 0xffff) family = __builtin_bswap32(family);
        c.Skip(4);
        return LoopbackFamily(c, family, p);
    }
    case QPP_LINK_LOOP: {
        if (! c.Has(4)) return qppDecodeResult::TRUNCATED;
        uint32_t family = Get32(c.data);
        c.Skip(4);
        return LoopbackFamily(c, family, p);
    }
    default:
        return qppDecodeResult::UNSUPPORTED_LINK;
    }
}
