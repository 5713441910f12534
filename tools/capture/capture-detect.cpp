#include <cstring>
#include <stdexcept>
#include <string>

#include <openssl/evp.h>
#include <ndpi_api.h>

#include "capture-detect.h"

namespace {

bool StackHas(const ndpi_flow_struct *flow, uint16_t protocol)
{
    return flow->detected_protocol_stack[0] == protocol ||
        flow->detected_protocol_stack[1] == protocol;
}

std::string Text(const char *text) { return text ? std::string(text) : std::string(); }

// nDPI keeps an ALPN list as one text of comma-separated names.
std::vector<std::string> Split(const char *list)
{
    std::vector<std::string> items;
    if (list == nullptr) return items;
    std::string item;
    for (const char *p = list;; p++) {
        if (*p == ',' || *p == '\0') {
            if (! item.empty()) items.push_back(item);
            item.clear();
            if (*p == '\0') break;
        }
        else
            item += *p;
    }
    return items;
}

// The bytes to digest are gathered first and digested in one call.
class Sha1
{
public:
    void Add(const void *data, size_t length)
    {
        bytes.append(static_cast<const char *>(data), length);
    }
    void Add16(uint16_t value)
    {
        uint8_t pair[2] = {static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
        Add(pair, 2);
    }
    void Add32(uint32_t value)
    {
        Add16(static_cast<uint16_t>(value >> 16));
        Add16(static_cast<uint16_t>(value));
    }
    // A text with its terminating NUL, so that two texts cannot run together.
    void AddText(const std::string &text) { Add(text.c_str(), text.size() + 1); }
    qdDigest Final()
    {
        qdDigest digest{};
        unsigned int length = 0;
        if (EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length,
                EVP_sha1(), nullptr) != 1 || length != digest.size())
            throw std::runtime_error("SHA-1 is not available");
        return digest;
    }

private:
    std::string bytes;
};

}  // namespace

qppDetection::qppDetection(qppDetection &&other) noexcept
    : flow(other.flow), stage(other.stage), detected(other.detected),
      packets(other.packets), extra(other.extra)
{
    other.flow = nullptr;
}

qppDetection &qppDetection::operator=(qppDetection &&other) noexcept
{
    if (this != &other) {
        Free();
        flow = other.flow;
        stage = other.stage;
        detected = other.detected;
        packets = other.packets;
        extra = other.extra;
        other.flow = nullptr;
    }
    return *this;
}

void qppDetection::Free()
{
    if (flow != nullptr) ndpi_free_flow(flow);
    flow = nullptr;
}

qppDetector::qppDetector()
{
    module = ndpi_init_detection_module(ndpi_no_prefs);
    if (module == nullptr) throw std::runtime_error("nDPI cannot be set up");
    NDPI_PROTOCOL_BITMASK all;
    NDPI_BITMASK_SET_ALL(all);
    ndpi_set_protocol_detection_bitmask2(module, &all);
    ndpi_finalize_initialization(module);
}

qppDetector::~qppDetector()
{
    if (module != nullptr) ndpi_exit_detection_module(module);
}

void qppDetector::Begin(qppDetection &detection)
{
    detection.Free();
    detection = qppDetection();
    detection.flow = static_cast<ndpi_flow_struct *>(ndpi_flow_malloc(SIZEOF_FLOW_STRUCT));
    if (detection.flow == nullptr) throw std::bad_alloc();
    memset(detection.flow, 0, SIZEOF_FLOW_STRUCT);
}

qppDetector::Step qppDetector::Process(qppDetection &detection,
    const uint8_t *l3, size_t length, uint64_t time_ms, bool tcp)
{
    if (detection.stage == qppDetection::Stage::DONE || detection.flow == nullptr)
        return Step::NOTHING;
    // nDPI takes a 16-bit length; IP packets are never longer.
    if (length > 0xffff) length = 0xffff;
    detection.packets++;
    ndpi_protocol result = ndpi_detection_process_packet(module, detection.flow,
        l3, static_cast<unsigned short>(length), time_ms);

    if (detection.stage == qppDetection::Stage::EXTRA) {
        detection.extra++;
        if (! ndpi_extra_dissection_possible(module, detection.flow) ||
            detection.extra >= extra_packets)
            detection.stage = qppDetection::Stage::DONE;
        if (result.app_protocol != NDPI_PROTOCOL_UNKNOWN ||
            result.master_protocol != NDPI_PROTOCOL_UNKNOWN) {
            detection.detected = {result.master_protocol, result.app_protocol,
                static_cast<uint16_t>(result.category)};
        }
        return Step::EXTRA;
    }

    if (result.app_protocol != NDPI_PROTOCOL_UNKNOWN ||
        result.master_protocol != NDPI_PROTOCOL_UNKNOWN) {
        detection.detected = {result.master_protocol, result.app_protocol,
            static_cast<uint16_t>(result.category)};
        detection.stage = ndpi_extra_dissection_possible(module, detection.flow)
            ? qppDetection::Stage::EXTRA : qppDetection::Stage::DONE;
        return Step::DETECTED;
    }
    if (detection.packets >= (tcp ? tcp_packets : udp_packets)) {
        GiveUp(detection);
        return Step::GAVE_UP;
    }
    return Step::NOTHING;
}

bool qppDetector::GiveUp(qppDetection &detection)
{
    if (detection.stage != qppDetection::Stage::DETECTING || detection.flow == nullptr)
        return false;
    uint8_t guessed = 0;
    ndpi_protocol result = ndpi_detection_giveup(module, detection.flow, 1, &guessed);
    detection.detected = {result.master_protocol, result.app_protocol,
        static_cast<uint16_t>(result.category)};
    detection.stage = qppDetection::Stage::DONE;
    return true;
}

void qppDetector::Fill(const qppDetection &detection, qdFlow &flow)
{
    const qppDetected &d = detection.detected;
    // nDPI gives one protocol as the upper one alone (DNS), two as a lower
    // one carrying an upper one (TLS carrying Google).
    uint16_t lower = d.master != 0 ? d.master : d.app;
    uint16_t upper = d.app != 0 ? d.app : d.master;
    flow.detected_protocol = lower;
    flow.detected_protocol_name = Text(ndpi_get_proto_name(module, lower));
    flow.detected_application = upper;
    flow.detected_application_name = Text(ndpi_get_proto_name(module, upper));
    flow.master_protocol = lower;

    ndpi_protocol protocol{0, lower, NDPI_PROTOCOL_CATEGORY_UNSPECIFIED};
    flow.category.application = d.category;
    flow.category.protocol = ndpi_get_proto_category(module, protocol);
    flow.category.domain = 0;
    flow.category.network = 0;

    const ndpi_flow_struct *f = detection.flow;
    if (f == nullptr) return;

    flow.host_server_name = Text(f->host_server_name);
    if (StackHas(f, NDPI_PROTOCOL_DNS) || StackHas(f, NDPI_PROTOCOL_MDNS) ||
        StackHas(f, NDPI_PROTOCOL_LLMNR))
        flow.dns_host_name = flow.host_server_name;
    if (StackHas(f, NDPI_PROTOCOL_MDNS)) flow.mdns.domain_name = flow.host_server_name;

    if (f->http.user_agent) flow.http.user_agent = f->http.user_agent;
    if (f->http.url) flow.http.url = f->http.url;

    // protos is a union: only the member of the protocol nDPI settled on
    // holds what its name says (nDPI's own clean-up tests the same way).
    if (StackHas(f, NDPI_PROTOCOL_TLS) || StackHas(f, NDPI_PROTOCOL_DTLS) ||
        StackHas(f, NDPI_PROTOCOL_QUIC)) {
        auto &tls = f->protos.tls_quic;
        flow.tls.version = tls.ssl_version;
        flow.tls.cipher_suite = tls.server_cipher;
        flow.tls.subject_dn = Text(tls.subjectDN);
        flow.tls.issuer_dn = Text(tls.issuerDN);
        flow.tls.server_cn = Text(tls.server_names);
        flow.tls.client_ja3 = Text(tls.ja3_client);
        flow.tls.server_ja3 = Text(tls.ja3_server);
        flow.tls.alpn = Split(tls.alpn);
        flow.tls.encrypted_sni.cipher_suite = tls.encrypted_sni.cipher_suite;
        flow.tls.encrypted_sni.client_sni = Text(tls.encrypted_sni.esni);
    }
    else if (StackHas(f, NDPI_PROTOCOL_SSH)) {
        flow.ssh.client_agent = Text(f->protos.ssh.client_signature);
        flow.ssh.server_agent = Text(f->protos.ssh.server_signature);
    }
    else if (StackHas(f, NDPI_PROTOCOL_DHCP)) {
        flow.dhcp.fingerprint = Text(f->protos.dhcp.fingerprint);
        flow.dhcp.class_ident = Text(f->protos.dhcp.class_ident);
    }
    if (StackHas(f, NDPI_PROTOCOL_MAIL_SMTP) || StackHas(f, NDPI_PROTOCOL_MAIL_SMTPS))
        flow.smtp.tls = f->l4.tcp.ftp_imap_pop_smtp.auth_tls ||
            StackHas(f, NDPI_PROTOCOL_MAIL_SMTPS);

    flow.risks.clear();
    for (uint32_t risk = 1; risk < 64; risk++) {
        if (f->risk & (static_cast<ndpi_risk>(1) << risk)) flow.risks.insert(risk);
    }
    uint16_t client = 0, server = 0;
    flow.ndpi_score = ndpi_risk2score(f->risk, &client, &server);
    flow.ndpi_score_client = client;
    flow.ndpi_score_server = server;
}

qdDigest qppMetadataDigest(const qdFlow &flow)
{
    Sha1 sha;
    sha.Add16(static_cast<uint16_t>(flow.detected_protocol));
    sha.Add16(static_cast<uint16_t>(flow.detected_application));
    sha.AddText(flow.dns_host_name);
    sha.AddText(flow.host_server_name);
    sha.AddText(flow.http.user_agent);
    sha.AddText(flow.http.url);
    sha.AddText(flow.ssh.client_agent);
    sha.AddText(flow.ssh.server_agent);
    sha.AddText(flow.dhcp.fingerprint);
    sha.AddText(flow.dhcp.class_ident);
    sha.AddText(flow.mdns.domain_name);
    sha.Add16(flow.tls.version);
    sha.Add16(flow.tls.cipher_suite);
    sha.AddText(flow.tls.subject_dn);
    sha.AddText(flow.tls.issuer_dn);
    sha.AddText(flow.tls.server_cn);
    sha.AddText(flow.tls.client_ja3);
    sha.AddText(flow.tls.server_ja3);
    sha.Add32(static_cast<uint32_t>(flow.tls.alpn.size()));
    for (auto &alpn : flow.tls.alpn) sha.AddText(alpn);
    sha.Add32(static_cast<uint32_t>(flow.tls.alpn_server.size()));
    for (auto &alpn : flow.tls.alpn_server) sha.AddText(alpn);
    sha.AddText(flow.tls.encrypted_sni.client_sni);
    uint8_t smtp_tls = flow.smtp.tls ? 1 : 0;
    sha.Add(&smtp_tls, 1);
    return sha.Final();
}

qdDigest qppKeyDigest(uint8_t ip_version, uint8_t ip_protocol, uint16_t vlan_id,
    const uint8_t lower_addr[16], uint16_t lower_port,
    const uint8_t upper_addr[16], uint16_t upper_port)
{
    Sha1 sha;
    size_t length = ip_version == 4 ? 4 : 16;
    sha.Add(&ip_version, 1);
    sha.Add(&ip_protocol, 1);
    sha.Add16(vlan_id);
    sha.Add(lower_addr, length);
    sha.Add16(lower_port);
    sha.Add(upper_addr, length);
    sha.Add16(upper_port);
    return sha.Final();
}
