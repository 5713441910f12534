// qppFlowRecord: a flow and its statistics snapshot as flat bytes, the first
// of the two stages of a flow dictionary.
//
// The record is read from the host's flow under the flow's mutex (and each
// address's text under the host's address-text mutex), with no Python
// involved: a copy of numbers and texts, so that the host's threads wait
// for the flow only as long as the copy takes. The dictionary is then built
// from the record (qpp-flow-encoder.h) with no host lock held, in the same
// process or, in a script runner, in another: the record has no pointers,
// only offsets into itself, and a reader checks every one against the
// record's size before it follows it.
//
// Layout: a qppFlowRecordHead, then the text area. A text is a qppFlowText
// (offset and length within the record); a list of texts is a count of
// entries at an offset, each entry a qppFlowText; the risks are a count of
// 32-bit numbers at an offset. Every offset counts from the record's start.
//
// A record is built by one thread into a buffer of its own (qppFlowRecord
// keeps one for reuse) and read by one thread; nothing is shared.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>

#include "quivend.h"

// What a flow dictionary shows of a flow's statistics: counters and rates.
// The host's record also carries two history lists of the configured
// length, which no script sees; a snapshot of 20,000 flows with long
// histories would hold hundreds of megabytes of them.
struct qppFlowStats
{
    qppFlowStats() = default;
    // Implicit: hosts of the encoder (tests, benchmarks) hand the host's
    // record as it is.
    qppFlowStats(const qdFlowStats &stats);

    uint64_t lower_bytes = 0;
    uint64_t upper_bytes = 0;
    uint64_t total_bytes = 0;
    uint32_t lower_packets = 0;
    uint32_t upper_packets = 0;
    uint32_t total_packets = 0;
    uint8_t detection_packets = 0;
    float lower_rate = 0;
    float upper_rate = 0;
    uint32_t tcp_seq_errors = 0;
    uint32_t tcp_resets = 0;
    uint32_t tcp_retrans = 0;
};

struct qppFlowText
{
    uint32_t offset;
    uint32_t length;
};

struct qppFlowList
{
    uint32_t offset;
    uint32_t count;
};

// The numbers and the places of the texts. Plain data: copied as bytes.
struct qppFlowRecordHead
{
    enum Text : uint8_t {
        IFACE_NAME, LOWER_MAC, UPPER_MAC, LOWER_ADDR, UPPER_ADDR,
        GTP_LOWER_ADDR, GTP_UPPER_ADDR, DNS_HOST_NAME, HOST_SERVER_NAME,
        DETECTED_PROTOCOL_NAME, DETECTED_APPLICATION_NAME, HTTP_USER_AGENT,
        HTTP_URL, MDNS_DOMAIN_NAME, DHCP_FINGERPRINT, DHCP_CLASS_IDENT,
        SSH_CLIENT_AGENT, SSH_SERVER_AGENT, TLS_SUBJECT_DN, TLS_ISSUER_DN,
        TLS_SERVER_CN, TLS_CLIENT_JA3, TLS_SERVER_JA3, TLS_ESNI_CLIENT_SNI,
        TEXTS
    };
    enum Flag : uint16_t {
        DETECTION_COMPLETE = 1 << 0, DETECTION_GUESSED = 1 << 1,
        DETECTION_INIT = 1 << 2, DETECTION_UPDATED = 1 << 3,
        DHC_HIT = 1 << 4, FHC_HIT = 1 << 5, EXPIRING = 1 << 6,
        EXPIRED = 1 << 7, SOFT_DISSECTOR = 1 << 8,
        HAS_DIGEST_MDATA = 1 << 9, HAS_MDNS_DOMAIN_NAME = 1 << 10,
        HAS_TLS_ENCRYPTED_CH = 1 << 11, HAS_TLS_ENCRYPTED_SNI = 1 << 12,
        SMTP_TLS = 1 << 13,
    };

    uint32_t size;      // the whole record, head and texts
    uint8_t stats_only; // only the statistics form's part is filled
    uint8_t iface_role;
    uint16_t flags;

    uint8_t digest_lower[20];
    uint8_t digest_mdata[20];
    qppFlowStats stats;

    uint8_t ip_version, ip_protocol, lower_map, other_type, tunnel_type,
        origin, privacy_mask, tcp_fin_acks;
    uint16_t vlan_id, lower_port, upper_port;
    uint64_t first_seen_at, last_seen_at;
    uint32_t tcp_last_seq;

    uint8_t gtp_version, gtp_ip_version, gtp_lower_type, gtp_upper_type,
        gtp_lower_map, gtp_other_type;
    uint16_t gtp_lower_port, gtp_upper_port;
    uint32_t gtp_lower_teid, gtp_upper_teid;

    uint32_t detected_protocol, detected_application, master_protocol;
    uint32_t category_application, category_protocol, category_domain,
        category_network;

    uint16_t tls_version, tls_cipher_suite, tls_ech_version, tls_esni_cipher_suite;
    uint16_t ndpi_score, ndpi_score_client, ndpi_score_server;

    qppFlowText texts[TEXTS];
    qppFlowList alpn_client, alpn_server, risks;
};

// Copied as bytes into and out of records.
static_assert(std::is_trivially_copyable<qppFlowRecordHead>::value,
    "a record head is plain data");

// A record as a reader sees it: the bytes, their length and a copy of the
// head (the bytes need no alignment). Check it before use; the accessors
// assume it was checked.
class qppFlowRecordView
{
public:
    qppFlowRecordView(const uint8_t *data, size_t size);

    // False unless the head fits, its size is the record's, and every text,
    // list and list entry lies inside the record.
    bool Valid() const;

    const qppFlowRecordHead &Head() const { return head; }
    // A text's bytes (no NUL in them) and their length.
    const char *Text(qppFlowText text) const
    {
        return reinterpret_cast<const char *>(data + text.offset);
    }
    const char *Text(qppFlowRecordHead::Text which, size_t &length) const
    {
        qppFlowText t = Head().texts[which];
        length = t.length;
        return Text(t);
    }
    qppFlowText ListText(qppFlowList list, uint32_t i) const;
    uint32_t Risk(uint32_t i) const;

    const uint8_t *Data() const { return data; }
    size_t Size() const { return size; }

private:
    bool TextInside(qppFlowText text) const;
    bool ListInside(qppFlowList list, size_t entry_size) const;

    const uint8_t *data;
    size_t size;
    qppFlowRecordHead head;
};

// Builds records into a buffer it keeps, so that a worker that records
// many flows allocates once.
class qppFlowRecord
{
public:
    // The record of flow with its snapshot stats: the statistics form's
    // part only when stats_only. Takes the flow's mutex for the copy and
    // the address-text mutex for each address inside it. Returns a view of
    // the record, valid until the next call. Every byte of the record is
    // written (padding as zeros): a record may leave the process. Throws
    // std::bad_alloc.
    qppFlowRecordView Build(qdFlow &flow, const qppFlowStats &stats, bool stats_only);

private:
    std::string buffer;
};
