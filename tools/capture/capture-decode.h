// Packet decoding for the capture host: only the link, network and transport
// headers that flow tracking needs. Everything above the transport header is
// left to nDPI. The decoder keeps no state and owns nothing: a decoded packet
// points into the caller's buffer and lives no longer than it.
#pragma once

#include <cstddef>
#include <cstdint>

// Link types by their pcap numbers (the LINKTYPE_ values of capture files;
// libpcap reports DLT_RAW for LINKTYPE_RAW, so both numbers are accepted).
enum qppLinkType : int {
    QPP_LINK_NULL = 0,        // BSD loopback: address family in host order
    QPP_LINK_ETHERNET = 1,
    QPP_LINK_RAW_DLT = 12,    // raw IP, as libpcap names it on Linux
    QPP_LINK_RAW = 101,       // raw IP, as files name it
    QPP_LINK_LOOP = 108,      // OpenBSD loopback: address family in network order
    QPP_LINK_LINUX_SLL = 113,
    QPP_LINK_IPV4 = 228,
    QPP_LINK_IPV6 = 229,
    QPP_LINK_LINUX_SLL2 = 276,
};

// Why a packet is not tracked. Every record read ends in exactly one of these.
enum class qppDecodeResult : uint8_t {
    OK = 0,
    // A header the flow needs is cut short by the snapshot length.
    TRUNCATED,
    // A header is impossible: a bad version, a header length shorter than
    // the header, a length that claims more than the frame carried.
    MALFORMED,
    // A link type this host does not decode.
    UNSUPPORTED_LINK,
    // A frame that carries no IP (ARP, LLDP, ...).
    NOT_IP,
    // An IP fragment other than the first: it has no transport header.
    FRAGMENT,
    // Too many VLAN tags or IPv6 extension headers to walk.
    TOO_DEEP,
};

const char *qppDecodeResultName(qppDecodeResult result);

struct qppPacket
{
    // Link layer. A MAC that the link type does not carry is absent.
    bool has_src_mac = false;
    bool has_dst_mac = false;
    uint8_t src_mac[6] = {};
    uint8_t dst_mac[6] = {};
    // The innermost VLAN tag's identifier (12 bits), 0 without a tag.
    uint16_t vlan_id = 0;
    uint8_t vlan_tags = 0;

    // Network layer. IPv4 addresses fill the first four bytes.
    uint8_t ip_version = 0;
    uint8_t ip_protocol = 0;
    uint8_t src_addr[16] = {};
    uint8_t dst_addr[16] = {};
    // The IP packet from its first header to the end that its own length
    // fields give, cut where the capture stopped: what nDPI is handed.
    const uint8_t *l3 = nullptr;
    size_t l3_length = 0;
    // True when the capture holds less of the IP packet than it claims.
    bool payload_cut = false;
    // The first fragment of a fragmented IP packet.
    bool first_fragment = false;

    // Transport layer: ports for TCP and UDP (and SCTP), zero otherwise.
    uint16_t src_port = 0;
    uint16_t dst_port = 0;
    uint8_t tcp_flags = 0;
    uint32_t tcp_seq = 0;
    uint32_t tcp_ack = 0;
    // Bytes of transport payload as the IP lengths give them.
    size_t payload_length = 0;
};

enum : uint8_t {
    QPP_TCP_FIN = 0x01,
    QPP_TCP_SYN = 0x02,
    QPP_TCP_RST = 0x04,
    QPP_TCP_ACK = 0x10,
};

// The deepest stacks that are walked.
constexpr int qppMaxVlanTags = 8;
constexpr int qppMaxIpv6Headers = 16;

// Decodes one record: captured is what the capture holds, wire_length the
// frame's length on the wire as the record gives it. On OK, packet is filled
// and its pointers lie within data.
qppDecodeResult qppDecodePacket(int link_type, const uint8_t *data,
    size_t captured, size_t wire_length, qppPacket &packet);

// True for the link types qppDecodePacket knows.
bool qppLinkTypeSupported(int link_type);
