// The flow dictionary (see qpp-flow-encoder.h).
//
// Ownership. Every object made here lives in a qppPyRef until it is stored:
// PyDict_SetItem takes a reference of its own and the handle drops ours, so
// a finished dictionary holds the only reference to each of its values; list
// elements are handed over with PyList_SET_ITEM. The flow dictionary's one
// reference goes to the caller. On a failure the handles still in scope
// release the partial objects while the exception unwinds.
//
// Locks: called with the interpreter lock held; the flow's recursive mutex is
// taken next and held for every read of the flow, and the address-text
// mutex inside it, held until the address's text is copied.

#include <climits>
#include <cmath>
#include <cstring>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>
#include <vector>

#include "qpp-flow-encoder.h"

// Integers go through PyLong_FromLong, which must carry every 64-bit field
// bit for bit.
static_assert(sizeof(long) == sizeof(int64_t), "long must be 64 bits wide");

// Every key string of the flow dictionary and its sub-dictionaries, once each
// (a name used at several levels, such as "version", is one entry).
#define QPP_FLOW_KEYS(X) \
    X(iface) X(name) X(role) X(digest_lower) X(digest_mdata) \
    X(stats) X(lower_bytes) X(upper_bytes) X(total_bytes) \
    X(lower_packets) X(upper_packets) X(total_packets) \
    X(detection_packets) X(lower_rate) X(upper_rate) \
    X(tcp_seq_errors) X(tcp_resets) X(tcp_retrans) \
    X(ip_version) X(ip_protocol) X(vlan_id) X(first_seen_at) \
    X(last_seen_at) X(lower_map) X(other_type) X(tunnel_type) X(origin) \
    X(privacy_mask) X(lower_mac) X(upper_mac) X(lower_addr) X(upper_addr) \
    X(lower_port) X(upper_port) \
    X(flags) X(detection_complete) X(detection_guessed) X(detection_init) \
    X(detection_updated) X(dhc_hit) X(fhc_hit) X(expiring) X(expired) \
    X(soft_dissector) \
    X(tcp) X(fin_acks) X(last_seq) \
    X(gtp) X(version) X(lower_teid) X(upper_teid) X(lower_type) \
    X(upper_type) \
    X(dns_host_name) X(host_server_name) X(detected_protocol) \
    X(detected_application) X(detected_protocol_name) \
    X(detected_application_name) \
    X(category) X(application) X(protocol) X(domain) X(network) \
    X(smtp) X(tls) X(http) X(user_agent) X(url) X(mdns) X(domain_name) \
    X(dhcp) X(fingerprint) X(class_ident) X(ssh) X(client_agent) \
    X(server_agent) X(cipher_suite) X(subject_dn) X(issuer_dn) X(server_cn) \
    X(client_sni) X(client_ja3) X(server_ja3) X(alpn_client) X(alpn_server) \
    X(encrypted_ch) X(encrypted_sni) \
    X(risk) X(ndpi_score) X(ndpi_score_client) X(ndpi_score_server) X(risks)

namespace {

enum Key : unsigned {
#define QPP_KEY_ENUM(k) key_##k,
    QPP_FLOW_KEYS(QPP_KEY_ENUM)
#undef QPP_KEY_ENUM
    key_count
};

const char *const key_names[key_count] = {
#define QPP_KEY_NAME(k) #k,
    QPP_FLOW_KEYS(QPP_KEY_NAME)
#undef QPP_KEY_NAME
};

}  // namespace

struct qppFlowKeys
{
    qppPyRef key[key_count];
};

qppFlowStats::qppFlowStats(const qdFlowStats &stats)
    : lower_bytes(stats.lower_bytes), upper_bytes(stats.upper_bytes),
      total_bytes(stats.total_bytes), lower_packets(stats.lower_packets),
      upper_packets(stats.upper_packets), total_packets(stats.total_packets),
      detection_packets(stats.detection_packets),
      lower_rate(stats.lower_rate), upper_rate(stats.upper_rate),
      tcp_seq_errors(stats.tcp_seq_errors), tcp_resets(stats.tcp_resets),
      tcp_retrans(stats.tcp_retrans) { }

qppFlowEncoder::qppFlowEncoder() = default;
qppFlowEncoder::~qppFlowEncoder() = default;

void qppFlowEncoder::Reset() { keys.reset(); }

namespace {

// The pending Python error is dropped before throwing: the exception carries
// the report, and an error indicator left set would be taken for a failure
// of whatever C API call the caller makes next.
// format holds one %s, for the key or sub-dictionary that failed.
[[noreturn]] void Fail(const char *format, const char *name)
{
    PyErr_Clear();
    throw qdException(format, name);
}

[[noreturn]] void FailDict(const char *name) { Fail("cannot create new %s dict", name); }
[[noreturn]] void FailList(const char *name) { Fail("cannot create new %s list", name); }
[[noreturn]] void FailInteger(const char *name)
{
    Fail("cannot create new integer from: %s", name);
}
[[noreturn]] void FailRate(const char *name) { Fail("cannot create new float from: %s", name); }
[[noreturn]] void FailString(const char *name)
{
    Fail("cannot create new string from: %s", name);
}

std::unique_ptr<qppFlowKeys> MakeFlowKeys()
{
    std::unique_ptr<qppFlowKeys> keys(new qppFlowKeys);
    for (unsigned k = 0; k < key_count; k++) {
        // Interned, so that a script's own literal "name" is this very
        // object and its look-ups end on the identity test.
        keys->key[k] =
            qppPyRef::Steal(PyUnicode_InternFromString(key_names[k]));
        if (! keys->key[k]) {
            PyErr_Clear();
            throw qdException("cannot create new flow dict");
        }
    }
    return keys;
}

// Converting a float that is NaN or outside long's range is undefined
// behaviour; such a rate saturates (NaN gives 0) instead.
long TruncateRate(float rate)
{
    if (std::isnan(rate)) return 0;
    // 2^63 is exact in a float; anything at or beyond it does not fit.
    constexpr float limit = 9223372036854775808.0f;
    if (rate >= limit) return LONG_MAX;
    if (rate < -limit) return LONG_MIN;
    return static_cast<long>(rate);
}

class Encoder
{
public:
    explicit Encoder(const qppFlowKeys &keys) : keys(keys) { }

    // A new empty sub-dictionary or throws "cannot create new <key> dict".
    qppPyRef NewDict(Key k) const
    {
        qppPyRef dict = qppPyRef::Steal(PyDict_New());
        if (! dict) FailDict(key_names[k]);
        return dict;
    }

    // Stores value and drops our reference, leaving the dictionary's alone.
    // The result of the store is not checked, as with every insert here.
    void Put(PyObject *dict, Key k, qppPyRef value) const
    {
        PyDict_SetItem(dict, keys.key[k].get(), value.get());
    }

    // Unsigned fields of 8, 16 or 32 bits are widened with zeros; 64-bit
    // fields are taken bit for bit as signed, so 2^63 and up is negative.
    template <typename T>
    void Integer(PyObject *dict, Key k, T value) const
    {
        static_assert(std::is_unsigned<T>::value && sizeof(T) <= 8,
            "host integers are unsigned, 8 to 64 bits");
        long v = (sizeof(T) == 8)
            ? static_cast<long>(static_cast<int64_t>(value))
            : static_cast<long>(value);
        qppPyRef object = qppPyRef::Steal(PyLong_FromLong(v));
        if (! object) FailInteger(key_names[k]);
        Put(dict, k, std::move(object));
    }

    void Rate(PyObject *dict, Key k, float rate) const
    {
        qppPyRef object = qppPyRef::Steal(PyLong_FromLong(TruncateRate(rate)));
        if (! object) FailRate(key_names[k]);
        Put(dict, k, std::move(object));
    }

    // Up to the first NUL, as UTF-8; every byte that is not part of valid
    // UTF-8 becomes the four characters of its escape (b"\xff" gives
    // "\\xff"). Texts come from traffic: one crafted byte must neither
    // keep a flow from the scripts nor reach them as anything but a valid,
    // printable str that shows it.
    static PyObject *NewText(const char *text)
    {
        return PyUnicode_DecodeUTF8(
            text, static_cast<Py_ssize_t>(strlen(text)), "backslashreplace");
    }

    void Text(PyObject *dict, Key k, const char *text) const
    {
        qppPyRef object = qppPyRef::Steal(NewText(text));
        if (! object) FailString(key_names[k]);
        Put(dict, k, std::move(object));
    }

    void Text(PyObject *dict, Key k, const std::string &text) const
    {
        Text(dict, k, text.c_str());
    }

    // The shared True and False: PyDict_SetItem's own reference is the only
    // one taken.
    void Flag(PyObject *dict, Key k, bool value) const
    {
        PyDict_SetItem(dict, keys.key[k].get(), value ? Py_True : Py_False);
    }

    // GetString returns the address's cached text, which a host thread that
    // formats the same address with other flags rebuilds under the
    // address-text mutex: the text is copied before that mutex is let go.
    void Address(PyObject *dict, Key k, qdAddr &addr) const
    {
        std::lock_guard<std::recursive_mutex> guard(qdAddr::lock);
        Text(dict, k, addr.GetString());
    }

    void Port(PyObject *dict, Key k, const qdAddr &addr) const
    {
        Integer(dict, k, static_cast<uint16_t>(addr.GetPort(true) & 0xffff));
    }

    void Digest(PyObject *dict, Key k, const uint8_t *digest)
    {
        qd_sha1_to_string(digest, digest_text);
        Text(dict, k, digest_text);
    }

    // Nothing when the host list is empty; otherwise a list of its final
    // length filled by position, so no slot is ever left empty in a list
    // that reaches a script.
    void TextList(PyObject *dict, Key k, const std::vector<std::string> &texts)
        const
    {
        if (texts.empty()) return;
        qppPyRef list = qppPyRef::Steal(
            PyList_New(static_cast<Py_ssize_t>(texts.size())));
        if (! list) FailList(key_names[k]);
        Py_ssize_t i = 0;
        for (const std::string &text : texts) {
            PyObject *item = NewText(text.c_str());
            if (item == nullptr) FailString(key_names[k]);
            PyList_SET_ITEM(list.get(), i++, item);
        }
        Put(dict, k, std::move(list));
    }

    void Iface(PyObject *flow_dict, const qdInterface &iface) const;
    void Stats(PyObject *flow_dict, const qppFlowStats &stats) const;
    void Flags(PyObject *flow_dict, const qdFlow &flow) const;
    void Tcp(PyObject *flow_dict, const qdFlow &flow) const;
    void Gtp(PyObject *flow_dict, qdFlow &flow) const;
    void Category(PyObject *flow_dict, const qdFlow &flow) const;
    void Protocol(PyObject *flow_dict, const qdFlow &flow) const;
    void Tls(PyObject *flow_dict, const qdFlow &flow) const;
    void Risk(PyObject *flow_dict, const qdFlow &flow) const;

private:
    const qppFlowKeys &keys;
    // The one scratch buffer for both digest texts: 40 hex digits and a NUL.
    char digest_text[41];
};

void Encoder::Iface(PyObject *flow_dict, const qdInterface &iface) const
{
    qppPyRef d = NewDict(key_iface);
    Text(d.get(), key_name, iface.ifname);
    Integer(d.get(), key_role, iface.role);
    Put(flow_dict, key_iface, std::move(d));
}

void Encoder::Stats(PyObject *flow_dict, const qppFlowStats &stats) const
{
    qppPyRef d = NewDict(key_stats);
    Integer(d.get(), key_lower_bytes, stats.lower_bytes);
    Integer(d.get(), key_upper_bytes, stats.upper_bytes);
    Integer(d.get(), key_total_bytes, stats.total_bytes);
    Integer(d.get(), key_lower_packets, stats.lower_packets);
    Integer(d.get(), key_upper_packets, stats.upper_packets);
    Integer(d.get(), key_total_packets, stats.total_packets);
    Integer(d.get(), key_detection_packets, stats.detection_packets);
    Rate(d.get(), key_lower_rate, stats.lower_rate);
    Rate(d.get(), key_upper_rate, stats.upper_rate);
    Integer(d.get(), key_tcp_seq_errors, stats.tcp_seq_errors);
    Integer(d.get(), key_tcp_resets, stats.tcp_resets);
    Integer(d.get(), key_tcp_retrans, stats.tcp_retrans);
    Put(flow_dict, key_stats, std::move(d));
}

void Encoder::Flags(PyObject *flow_dict, const qdFlow &flow) const
{
    qppPyRef d = NewDict(key_flags);
    Flag(d.get(), key_detection_complete, flow.flags.detection_complete);
    Flag(d.get(), key_detection_guessed, flow.flags.detection_guessed);
    Flag(d.get(), key_detection_init, flow.flags.detection_init);
    Flag(d.get(), key_detection_updated, flow.flags.detection_updated);
    Flag(d.get(), key_dhc_hit, flow.flags.dhc_hit);
    Flag(d.get(), key_fhc_hit, flow.flags.fhc_hit);
    Flag(d.get(), key_expiring, flow.flags.expiring);
    Flag(d.get(), key_expired, flow.flags.expired);
    Flag(d.get(), key_soft_dissector, flow.flags.soft_dissector);
    Put(flow_dict, key_flags, std::move(d));
}

void Encoder::Tcp(PyObject *flow_dict, const qdFlow &flow) const
{
    qppPyRef d = NewDict(key_tcp);
    Integer(d.get(), key_fin_acks, flow.tcp.fin_acks);
    Integer(d.get(), key_last_seq, flow.tcp.last_seq);
    Put(flow_dict, key_tcp, std::move(d));
}

void Encoder::Gtp(PyObject *flow_dict, qdFlow &flow) const
{
    qppPyRef d = NewDict(key_gtp);
    Integer(d.get(), key_version, flow.gtp.version);
    Integer(d.get(), key_ip_version, flow.gtp.ip_version);
    Integer(d.get(), key_lower_teid, flow.gtp.lower_teid);
    Integer(d.get(), key_upper_teid, flow.gtp.upper_teid);
    Integer(d.get(), key_lower_type, flow.gtp.lower_type);
    Integer(d.get(), key_upper_type, flow.gtp.upper_type);
    Address(d.get(), key_lower_addr, flow.gtp.lower_addr);
    Address(d.get(), key_upper_addr, flow.gtp.upper_addr);
    Port(d.get(), key_lower_port, flow.gtp.lower_addr);
    Port(d.get(), key_upper_port, flow.gtp.upper_addr);
    Integer(d.get(), key_lower_map, flow.gtp.lower_map);
    Integer(d.get(), key_other_type, flow.gtp.other_type);
    Put(flow_dict, key_gtp, std::move(d));
}

void Encoder::Category(PyObject *flow_dict, const qdFlow &flow) const
{
    qppPyRef d = NewDict(key_category);
    Integer(d.get(), key_application, flow.category.application);
    Integer(d.get(), key_protocol, flow.category.protocol);
    Integer(d.get(), key_domain, flow.category.domain);
    Integer(d.get(), key_network, flow.category.network);
    Put(flow_dict, key_category, std::move(d));
}

// At most one sub-dictionary, chosen by the master protocol (not by
// detected_protocol).
void Encoder::Protocol(PyObject *flow_dict, const qdFlow &flow) const
{
    switch (flow.GetMasterProtocol()) {
    case qdFlow::PROTO_SMTP: {
        qppPyRef d = NewDict(key_smtp);
        Flag(d.get(), key_tls, flow.smtp.tls != 0);
        Put(flow_dict, key_smtp, std::move(d));
        break;
    }
    case qdFlow::PROTO_HTTP: {
        qppPyRef d = NewDict(key_http);
        Text(d.get(), key_user_agent, flow.http.user_agent);
        Text(d.get(), key_url, flow.http.url);
        Put(flow_dict, key_http, std::move(d));
        break;
    }
    case qdFlow::PROTO_MDNS: {
        if (! flow.HasMDNSDomainName()) break;
        qppPyRef d = NewDict(key_mdns);
        Text(d.get(), key_domain_name, flow.mdns.domain_name);
        Put(flow_dict, key_mdns, std::move(d));
        break;
    }
    case qdFlow::PROTO_DHCP: {
        qppPyRef d = NewDict(key_dhcp);
        Text(d.get(), key_fingerprint, flow.dhcp.fingerprint);
        Text(d.get(), key_class_ident, flow.dhcp.class_ident);
        Put(flow_dict, key_dhcp, std::move(d));
        break;
    }
    case qdFlow::PROTO_TLS:
        Tls(flow_dict, flow);
        break;
    case qdFlow::PROTO_SSH: {
        qppPyRef d = NewDict(key_ssh);
        Text(d.get(), key_client_agent, flow.ssh.client_agent);
        Text(d.get(), key_server_agent, flow.ssh.server_agent);
        Put(flow_dict, key_ssh, std::move(d));
        break;
    }
    default:
        break;
    }
}

void Encoder::Tls(PyObject *flow_dict, const qdFlow &flow) const
{
    qppPyRef d = NewDict(key_tls);
    Integer(d.get(), key_version, flow.tls.version);
    Integer(d.get(), key_cipher_suite, flow.tls.cipher_suite);
    Text(d.get(), key_subject_dn, flow.tls.subject_dn);
    Text(d.get(), key_issuer_dn, flow.tls.issuer_dn);
    Text(d.get(), key_server_cn, flow.tls.server_cn);
    Text(d.get(), key_client_sni, flow.host_server_name);
    Text(d.get(), key_client_ja3, flow.tls.client_ja3);
    Text(d.get(), key_server_ja3, flow.tls.server_ja3);
    TextList(d.get(), key_alpn_client, flow.tls.alpn);
    TextList(d.get(), key_alpn_server, flow.tls.alpn_server);
    if (flow.HasTLSEncryptedCH()) {
        qppPyRef ch = NewDict(key_encrypted_ch);
        Integer(ch.get(), key_version, flow.tls.encrypted_ch.version);
        Put(d.get(), key_encrypted_ch, std::move(ch));
    }
    if (flow.HasTLSEncryptedSNI()) {
        qppPyRef sni = NewDict(key_encrypted_sni);
        Integer(sni.get(), key_cipher_suite,
            flow.tls.encrypted_sni.cipher_suite);
        Text(sni.get(), key_client_sni, flow.tls.encrypted_sni.client_sni);
        Put(d.get(), key_encrypted_sni, std::move(sni));
    }
    Put(flow_dict, key_tls, std::move(d));
}

// Only for a flow with risks: an empty set gives no "risk" key at all.
void Encoder::Risk(PyObject *flow_dict, const qdFlow &flow) const
{
    if (flow.risks.empty()) return;
    qppPyRef d = NewDict(key_risk);
    Integer(d.get(), key_ndpi_score, flow.ndpi_score);
    Integer(d.get(), key_ndpi_score_client, flow.ndpi_score_client);
    Integer(d.get(), key_ndpi_score_server, flow.ndpi_score_server);

    qppPyRef list = qppPyRef::Steal(
        PyList_New(static_cast<Py_ssize_t>(flow.risks.size())));
    if (! list) FailList(key_names[key_risks]);
    Py_ssize_t i = 0;
    for (uint32_t risk : flow.risks) {  // a std::set: ascending
        PyObject *item = PyLong_FromLong(static_cast<long>(risk));
        if (item == nullptr) FailInteger(key_names[key_risks]);
        PyList_SET_ITEM(list.get(), i++, item);
    }
    Put(d.get(), key_risks, std::move(list));
    Put(flow_dict, key_risk, std::move(d));
}

}  // namespace

qppPyRef qppFlowEncoder::Encode(const std::shared_ptr<qdFlow> &flow,
    const qppFlowStats &stats, bool stats_only)
{
    if (! keys) keys = MakeFlowKeys();
    Encoder e(*keys);

    qppPyRef flow_dict = qppPyRef::Steal(PyDict_New());
    if (! flow_dict) {
        PyErr_Clear();
        throw qdException("cannot create new flow dict");
    }

    // Declared after flow_dict: a throw unlocks the flow before the partial
    // dictionary is freed, so the host's threads do not wait on that.
    std::lock_guard<std::recursive_mutex> guard(flow->lock);
    qdFlow &f = *flow;

    e.Iface(flow_dict.get(), *f.iface);
    e.Digest(flow_dict.get(), key_digest_lower, f.digest_lower.data());
    // The list may be empty; nothing outside it is read then.
    if (f.digest_mdata.empty())
        e.Text(flow_dict.get(), key_digest_mdata, "");
    else
        e.Digest(flow_dict.get(), key_digest_mdata, f.digest_mdata.back().data());
    e.Stats(flow_dict.get(), stats);
    if (stats_only) return flow_dict;

    e.Integer(flow_dict.get(), key_ip_version, f.ip_version);
    e.Integer(flow_dict.get(), key_ip_protocol, f.ip_protocol);
    e.Integer(flow_dict.get(), key_vlan_id, f.vlan_id);
    e.Integer(flow_dict.get(), key_first_seen_at, f.first_seen_at);
    e.Integer(flow_dict.get(), key_last_seen_at, f.last_seen_at);
    e.Integer(flow_dict.get(), key_lower_map, f.lower_map);
    e.Integer(flow_dict.get(), key_other_type, f.other_type);
    e.Integer(flow_dict.get(), key_tunnel_type, f.tunnel_type);
    e.Integer(flow_dict.get(), key_origin, f.origin);
    e.Integer(flow_dict.get(), key_privacy_mask, f.privacy_mask);

    e.Address(flow_dict.get(), key_lower_mac, f.lower_mac);
    e.Address(flow_dict.get(), key_upper_mac, f.upper_mac);
    e.Address(flow_dict.get(), key_lower_addr, f.lower_addr);
    e.Address(flow_dict.get(), key_upper_addr, f.upper_addr);
    e.Port(flow_dict.get(), key_lower_port, f.lower_addr);
    e.Port(flow_dict.get(), key_upper_port, f.upper_addr);

    e.Flags(flow_dict.get(), f);
    if (f.ip_protocol == 6) e.Tcp(flow_dict.get(), f);
    if (f.tunnel_type == qdFlow::TUNNEL_GTP) e.Gtp(flow_dict.get(), f);

    e.Text(flow_dict.get(), key_dns_host_name, f.dns_host_name);
    e.Text(flow_dict.get(), key_host_server_name, f.host_server_name);
    e.Integer(flow_dict.get(), key_detected_protocol, f.detected_protocol);
    e.Integer(flow_dict.get(), key_detected_application, f.detected_application);
    e.Text(flow_dict.get(), key_detected_protocol_name, f.detected_protocol_name);
    e.Text(flow_dict.get(), key_detected_application_name,
        f.detected_application_name);

    e.Category(flow_dict.get(), f);
    e.Protocol(flow_dict.get(), f);
    e.Risk(flow_dict.get(), f);

    return flow_dict;
}
