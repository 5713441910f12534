// Flows as the host keeps them. The host's own threads update a flow under
// its recursive mutex `lock`; a reader takes the same mutex. The statistics
// live in `stats`; copying a qdFlowStats is how a snapshot is taken.
#pragma once

#include <array>
#include <map>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "qd-addr.h"

class qdInterface
{
public:
    enum Role : uint8_t { ROLE_LAN = 0, ROLE_WAN = 1 };

    qdInterface(const std::string &ifname, uint8_t role)
        : ifname(ifname), role(role) { }

    std::string ifname;
    uint8_t role;
};

class qdPacketStats
{
public:
    uint64_t pkt_raw = 0;
    uint64_t pkt_wire_bytes = 0;
    uint64_t pkt_discard = 0;
};

class qdInstanceStatus
{
public:
    uint64_t timestamp = 0;
    uint64_t uptime = 0;
    uint32_t flows = 0;
};

class qdFlowStats
{
public:
    qdFlowStats();
    // A copy carries every counter and rate, and two fresh zero-filled
    // history lists of the configured length.
    qdFlowStats(const qdFlowStats &other);
    qdFlowStats &operator=(const qdFlowStats &other);

    uint64_t lower_bytes = 0;
    uint64_t upper_bytes = 0;
    uint64_t total_bytes = 0;
    uint32_t lower_packets = 0;
    uint32_t upper_packets = 0;
    uint32_t total_packets = 0;
    uint8_t detection_packets = 0;
    std::vector<uint64_t> lower_history;
    std::vector<uint64_t> upper_history;
    float lower_rate = 0;
    float upper_rate = 0;
    uint32_t tcp_seq_errors = 0;
    uint32_t tcp_resets = 0;
    uint32_t tcp_retrans = 0;
};

using qdDigest = std::array<uint8_t, 20>;

class qdFlow
{
public:
    enum Protocol : uint32_t {
        PROTO_UNKNOWN = 0,
        PROTO_SMTP = 3,
        PROTO_DNS = 5,
        PROTO_HTTP = 7,
        PROTO_MDNS = 8,
        PROTO_DHCP = 18,
        PROTO_TLS = 91,
        PROTO_SSH = 92,
    };

    enum TunnelType : uint8_t { TUNNEL_NONE = 0, TUNNEL_GTP = 1 };

    explicit qdFlow(std::shared_ptr<qdInterface> iface);

    uint32_t GetMasterProtocol() const { return master_protocol; }
    bool HasMDNSDomainName() const { return !mdns.domain_name.empty(); }
    bool HasTLSEncryptedCH() const { return tls.encrypted_ch.version != 0; }
    bool HasTLSEncryptedSNI() const
    {
        return !tls.encrypted_sni.client_sni.empty();
    }

    std::shared_ptr<qdInterface> iface;

    qdAddr lower_mac;
    qdAddr upper_mac;
    qdAddr lower_addr;
    qdAddr upper_addr;

    uint8_t ip_version = 0;
    uint8_t ip_protocol = 0;
    uint16_t vlan_id = 0;
    uint64_t first_seen_at = 0;
    uint64_t last_seen_at = 0;
    uint8_t lower_map = 0;
    uint8_t other_type = 0;
    uint8_t tunnel_type = 0;
    uint8_t origin = 0;
    uint8_t privacy_mask = 0;

    qdDigest digest_lower{};
    std::vector<qdDigest> digest_mdata;

    struct {
        bool detection_complete = false;
        bool detection_guessed = false;
        bool detection_init = false;
        bool detection_updated = false;
        bool dhc_hit = false;
        bool fhc_hit = false;
        bool expiring = false;
        bool expired = false;
        bool soft_dissector = false;
    } flags;

    struct {
        uint8_t fin_acks = 0;
        uint32_t last_seq = 0;
    } tcp;

    struct {
        uint8_t version = 0;
        uint8_t ip_version = 0;
        uint32_t lower_teid = 0;
        uint32_t upper_teid = 0;
        uint8_t lower_type = 0;
        uint8_t upper_type = 0;
        qdAddr lower_addr;
        qdAddr upper_addr;
        uint8_t lower_map = 0;
        uint8_t other_type = 0;
    } gtp;

    std::string dns_host_name;
    std::string host_server_name;

    uint32_t detected_protocol = 0;
    std::string detected_protocol_name;
    uint32_t detected_application = 0;
    std::string detected_application_name;

    struct {
        uint32_t application = 0;
        uint32_t protocol = 0;
        uint32_t domain = 0;
        uint32_t network = 0;
    } category;

    uint32_t master_protocol = 0;

    struct {
        std::string user_agent;
        std::string url;
    } http;

    struct {
        std::string fingerprint;
        std::string class_ident;
    } dhcp;

    struct {
        std::string client_agent;
        std::string server_agent;
    } ssh;

    struct {
        uint16_t version = 0;
        uint16_t cipher_suite = 0;
        std::string subject_dn;
        std::string issuer_dn;
        std::string server_cn;
        std::string client_ja3;
        std::string server_ja3;
        std::vector<std::string> alpn;
        std::vector<std::string> alpn_server;
        struct {
            uint16_t version = 0;
        } encrypted_ch;
        struct {
            uint16_t cipher_suite = 0;
            std::string client_sni;
        } encrypted_sni;
    } tls;

    struct {
        uint8_t tls = 0;
    } smtp;

    struct {
        std::string domain_name;
    } mdns;

    uint16_t ndpi_score = 0;
    uint16_t ndpi_score_client = 0;
    uint16_t ndpi_score_server = 0;
    std::set<uint32_t> risks;

    qdFlowStats stats;

    std::recursive_mutex lock;
};

// The host's flow table: flows spread over buckets, each bucket with its own
// lock. Acquire locks a bucket and hands out its flows until Release.
class qdFlowMap
{
public:
    using bucket_type = std::map<std::string, std::shared_ptr<qdFlow>>;

    explicit qdFlowMap(size_t buckets = 64);

    const size_t buckets;

    bucket_type &Acquire(size_t bucket);
    void Release(size_t bucket);

    // Inserts under the bucket's lock; the key picks the bucket.
    void Insert(const std::string &key, std::shared_ptr<qdFlow> flow);

private:
    std::vector<bucket_type> bucket_flows;
    std::vector<std::unique_ptr<std::mutex>> bucket_locks;
};
