// Recording a host flow (see qpp-flow-record.h), and both stages at once
// for hosts of the encoder. In the daemon only: it reads the host's flows.

#include <cstring>
#include <mutex>

#include "qpp-flow-encoder.h"
#include "qpp-flow-record.h"

namespace {

using Head = qppFlowRecordHead;

// Appends texts to the record's buffer, after the head's place.
class Writer
{
public:
    explicit Writer(std::string &buffer) : buffer(buffer)
    {
        buffer.assign(sizeof(Head), '\0');
    }

    // Up to the first NUL, as the dictionary shows it.
    qppFlowText Text(const char *text) { return Bytes(text, strlen(text)); }
    qppFlowText Text(const std::string &text) { return Text(text.c_str()); }

    // The address's cached text is rebuilt by any host thread that formats
    // it with other flags, under the address-text mutex: copied under it.
    qppFlowText Address(qdAddr &addr)
    {
        std::lock_guard<std::recursive_mutex> guard(qdAddr::lock);
        return Text(addr.GetString());
    }

    // The entries first, each pointing at its text after them.
    qppFlowList TextList(const std::vector<std::string> &texts)
    {
        qppFlowList list{Offset(), static_cast<uint32_t>(texts.size())};
        size_t entries = buffer.size();
        buffer.append(texts.size() * sizeof(qppFlowText), '\0');
        for (size_t i = 0; i < texts.size(); i++) {
            qppFlowText t = Text(texts[i]);
            memcpy(&buffer[entries + i * sizeof(t)], &t, sizeof(t));
        }
        return list;
    }

    qppFlowList Numbers(const std::set<uint32_t> &numbers)
    {
        qppFlowList list{Offset(), static_cast<uint32_t>(numbers.size())};
        for (uint32_t n : numbers) buffer.append(reinterpret_cast<const char *>(&n), sizeof(n));
        return list;
    }

    // The head goes to its place once the texts are in.
    void Finish(Head &head)
    {
        head.size = Offset();
        memcpy(&buffer[0], &head, sizeof(head));
    }

private:
    qppFlowText Bytes(const char *text, size_t length)
    {
        qppFlowText t{Offset(), static_cast<uint32_t>(length)};
        buffer.append(text, length);
        return t;
    }

    uint32_t Offset() const
    {
        // Texts from traffic are far shorter; a record this large is a
        // host that went wrong.
        if (buffer.size() > UINT32_MAX / 2) throw std::bad_alloc();
        return static_cast<uint32_t>(buffer.size());
    }

    std::string &buffer;
};

uint16_t Port(const qdAddr &addr) { return static_cast<uint16_t>(addr.GetPort(true) & 0xffff); }

}  // namespace

qppFlowRecordView qppFlowRecord::Build(
    qdFlow &f, const qppFlowStats &stats, bool stats_only)
{
    Head head;
    memset(static_cast<void *>(&head), 0, sizeof(head));
    Writer w(buffer);
    head.stats_only = stats_only;
    head.stats = stats;

    std::lock_guard<std::recursive_mutex> guard(f.lock);

    head.iface_role = f.iface->role;
    head.texts[Head::IFACE_NAME] = w.Text(f.iface->ifname);
    memcpy(head.digest_lower, f.digest_lower.data(), sizeof(head.digest_lower));
    // The list may be empty; nothing outside it is read then.
    if (! f.digest_mdata.empty()) {
        head.flags |= Head::HAS_DIGEST_MDATA;
        memcpy(head.digest_mdata, f.digest_mdata.back().data(), sizeof(head.digest_mdata));
    }

    if (! stats_only) {
        head.ip_version = f.ip_version;
        head.ip_protocol = f.ip_protocol;
        head.vlan_id = f.vlan_id;
        head.first_seen_at = f.first_seen_at;
        head.last_seen_at = f.last_seen_at;
        head.lower_map = f.lower_map;
        head.other_type = f.other_type;
        head.tunnel_type = f.tunnel_type;
        head.origin = f.origin;
        head.privacy_mask = f.privacy_mask;

        head.texts[Head::LOWER_MAC] = w.Address(f.lower_mac);
        head.texts[Head::UPPER_MAC] = w.Address(f.upper_mac);
        head.texts[Head::LOWER_ADDR] = w.Address(f.lower_addr);
        head.texts[Head::UPPER_ADDR] = w.Address(f.upper_addr);
        head.lower_port = Port(f.lower_addr);
        head.upper_port = Port(f.upper_addr);

        const struct { bool set; uint16_t flag; } flags[] = {
            {f.flags.detection_complete, Head::DETECTION_COMPLETE},
            {f.flags.detection_guessed, Head::DETECTION_GUESSED},
            {f.flags.detection_init, Head::DETECTION_INIT},
            {f.flags.detection_updated, Head::DETECTION_UPDATED},
            {f.flags.dhc_hit, Head::DHC_HIT},
            {f.flags.fhc_hit, Head::FHC_HIT},
            {f.flags.expiring, Head::EXPIRING},
            {f.flags.expired, Head::EXPIRED},
            {f.flags.soft_dissector, Head::SOFT_DISSECTOR},
            {f.HasMDNSDomainName(), Head::HAS_MDNS_DOMAIN_NAME},
            {f.HasTLSEncryptedCH(), Head::HAS_TLS_ENCRYPTED_CH},
            {f.HasTLSEncryptedSNI(), Head::HAS_TLS_ENCRYPTED_SNI},
            {f.smtp.tls != 0, Head::SMTP_TLS},
        };
        for (const auto &flag : flags)
            if (flag.set) head.flags |= flag.flag;

        head.tcp_fin_acks = f.tcp.fin_acks;
        head.tcp_last_seq = f.tcp.last_seq;

        head.gtp_version = f.gtp.version;
        head.gtp_ip_version = f.gtp.ip_version;
        head.gtp_lower_teid = f.gtp.lower_teid;
        head.gtp_upper_teid = f.gtp.upper_teid;
        head.gtp_lower_type = f.gtp.lower_type;
        head.gtp_upper_type = f.gtp.upper_type;
        head.gtp_lower_map = f.gtp.lower_map;
        head.gtp_other_type = f.gtp.other_type;
        if (f.tunnel_type == qdFlow::TUNNEL_GTP) {
            head.texts[Head::GTP_LOWER_ADDR] = w.Address(f.gtp.lower_addr);
            head.texts[Head::GTP_UPPER_ADDR] = w.Address(f.gtp.upper_addr);
            head.gtp_lower_port = Port(f.gtp.lower_addr);
            head.gtp_upper_port = Port(f.gtp.upper_addr);
        }

        head.texts[Head::DNS_HOST_NAME] = w.Text(f.dns_host_name);
        head.texts[Head::HOST_SERVER_NAME] = w.Text(f.host_server_name);
        head.detected_protocol = f.detected_protocol;
        head.detected_application = f.detected_application;
        head.texts[Head::DETECTED_PROTOCOL_NAME] = w.Text(f.detected_protocol_name);
        head.texts[Head::DETECTED_APPLICATION_NAME] = w.Text(f.detected_application_name);
        head.category_application = f.category.application;
        head.category_protocol = f.category.protocol;
        head.category_domain = f.category.domain;
        head.category_network = f.category.network;

        // Only the group that the master protocol picks is read.
        head.master_protocol = f.GetMasterProtocol();
        switch (head.master_protocol) {
        case qdFlow::PROTO_HTTP:
            head.texts[Head::HTTP_USER_AGENT] = w.Text(f.http.user_agent);
            head.texts[Head::HTTP_URL] = w.Text(f.http.url);
            break;
        case qdFlow::PROTO_MDNS:
            head.texts[Head::MDNS_DOMAIN_NAME] = w.Text(f.mdns.domain_name);
            break;
        case qdFlow::PROTO_DHCP:
            head.texts[Head::DHCP_FINGERPRINT] = w.Text(f.dhcp.fingerprint);
            head.texts[Head::DHCP_CLASS_IDENT] = w.Text(f.dhcp.class_ident);
            break;
        case qdFlow::PROTO_SSH:
            head.texts[Head::SSH_CLIENT_AGENT] = w.Text(f.ssh.client_agent);
            head.texts[Head::SSH_SERVER_AGENT] = w.Text(f.ssh.server_agent);
            break;
        case qdFlow::PROTO_TLS:
            head.tls_version = f.tls.version;
            head.tls_cipher_suite = f.tls.cipher_suite;
            head.tls_ech_version = f.tls.encrypted_ch.version;
            head.tls_esni_cipher_suite = f.tls.encrypted_sni.cipher_suite;
            head.texts[Head::TLS_SUBJECT_DN] = w.Text(f.tls.subject_dn);
            head.texts[Head::TLS_ISSUER_DN] = w.Text(f.tls.issuer_dn);
            head.texts[Head::TLS_SERVER_CN] = w.Text(f.tls.server_cn);
            head.texts[Head::TLS_CLIENT_JA3] = w.Text(f.tls.client_ja3);
            head.texts[Head::TLS_SERVER_JA3] = w.Text(f.tls.server_ja3);
            head.texts[Head::TLS_ESNI_CLIENT_SNI] = w.Text(f.tls.encrypted_sni.client_sni);
            head.alpn_client = w.TextList(f.tls.alpn);
            head.alpn_server = w.TextList(f.tls.alpn_server);
            break;
        default:
            break;
        }

        head.ndpi_score = f.ndpi_score;
        head.ndpi_score_client = f.ndpi_score_client;
        head.ndpi_score_server = f.ndpi_score_server;
        head.risks = w.Numbers(f.risks);
    }

    w.Finish(head);
    return qppFlowRecordView(reinterpret_cast<const uint8_t *>(buffer.data()), buffer.size());
}

qppPyRef qppFlowEncoder::Encode(const std::shared_ptr<qdFlow> &flow,
    const qppFlowStats &stats, bool stats_only)
{
    return Encode(record.Build(*flow, stats, stats_only));
}
