// The flow dictionary (see qpp-flow-encoder.h).
//
// Ownership. Every object made here lives in a qppPyRef until it is stored:
// PyDict_SetItem takes a reference of its own and the handle drops ours, so
// a finished dictionary holds the only reference to each of its values; list
// elements are handed over with PyList_SET_ITEM. The flow dictionary's one
// reference goes to the caller. On a failure the handles still in scope
// release the partial objects while the exception unwinds.
//
// Locks: called with the interpreter lock held and no host lock: the flow
// was read into its record before (qpp-flow-record.h).

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
#include "qpp-flow-record.h"

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
    Encoder(const qppFlowKeys &keys, const qppFlowRecordView &record)
        : keys(keys), record(record), head(record.Head()) { }

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

    // As UTF-8; every byte that is not part of valid UTF-8 becomes the four
    // characters of its escape (b"\xff" gives "\\xff"). Texts come from
    // traffic: one crafted byte must neither keep a flow from the scripts
    // nor reach them as anything but a valid, printable str that shows it.
    // The record holds each text up to its first NUL.
    PyObject *NewText(qppFlowText text) const
    {
        if (text.length == 0) return PyUnicode_FromStringAndSize("", 0);
        return PyUnicode_DecodeUTF8(record.Text(text),
            static_cast<Py_ssize_t>(text.length), "backslashreplace");
    }

    void Text(PyObject *dict, Key k, qppFlowText text) const
    {
        qppPyRef object = qppPyRef::Steal(NewText(text));
        if (! object) FailString(key_names[k]);
        Put(dict, k, std::move(object));
    }

    void Text(PyObject *dict, Key k, qppFlowRecordHead::Text which) const
    {
        Text(dict, k, head.texts[which]);
    }

    // The shared True and False: PyDict_SetItem's own reference is the only
    // one taken.
    void Flag(PyObject *dict, Key k, uint16_t flag) const
    {
        PyDict_SetItem(dict, keys.key[k].get(), (head.flags & flag) ? Py_True : Py_False);
    }

    void Digest(PyObject *dict, Key k, const uint8_t *digest)
    {
        static const char hex[] = "0123456789abcdef";
        for (size_t i = 0; i < 20; i++) {
            digest_text[2 * i] = hex[digest[i] >> 4];
            digest_text[2 * i + 1] = hex[digest[i] & 15];
        }
        qppPyRef object = qppPyRef::Steal(PyUnicode_FromStringAndSize(digest_text, 40));
        if (! object) FailString(key_names[k]);
        Put(dict, k, std::move(object));
    }

    // Nothing when the list is empty; otherwise a list of its final
    // length filled by position, so no slot is ever left empty in a list
    // that reaches a script.
    void TextList(PyObject *dict, Key k, qppFlowList texts) const
    {
        if (texts.count == 0) return;
        qppPyRef list = qppPyRef::Steal(PyList_New(static_cast<Py_ssize_t>(texts.count)));
        if (! list) FailList(key_names[k]);
        for (uint32_t i = 0; i < texts.count; i++) {
            PyObject *item = NewText(record.ListText(texts, i));
            if (item == nullptr) FailString(key_names[k]);
            PyList_SET_ITEM(list.get(), i, item);
        }
        Put(dict, k, std::move(list));
    }

    void Iface(PyObject *flow_dict) const;
    void Stats(PyObject *flow_dict) const;
    void Flags(PyObject *flow_dict) const;
    void Tcp(PyObject *flow_dict) const;
    void Gtp(PyObject *flow_dict) const;
    void Category(PyObject *flow_dict) const;
    void Protocol(PyObject *flow_dict) const;
    void Tls(PyObject *flow_dict) const;
    void Risk(PyObject *flow_dict) const;

private:
    const qppFlowKeys &keys;
    const qppFlowRecordView &record;
    const qppFlowRecordHead &head;
    // The one scratch buffer for both digest texts.
    char digest_text[40];
};

using Head = qppFlowRecordHead;

void Encoder::Iface(PyObject *flow_dict) const
{
    qppPyRef d = NewDict(key_iface);
    Text(d.get(), key_name, Head::IFACE_NAME);
    Integer(d.get(), key_role, head.iface_role);
    Put(flow_dict, key_iface, std::move(d));
}

void Encoder::Stats(PyObject *flow_dict) const
{
    const qppFlowStats &stats = head.stats;
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

void Encoder::Flags(PyObject *flow_dict) const
{
    qppPyRef d = NewDict(key_flags);
    Flag(d.get(), key_detection_complete, Head::DETECTION_COMPLETE);
    Flag(d.get(), key_detection_guessed, Head::DETECTION_GUESSED);
    Flag(d.get(), key_detection_init, Head::DETECTION_INIT);
    Flag(d.get(), key_detection_updated, Head::DETECTION_UPDATED);
    Flag(d.get(), key_dhc_hit, Head::DHC_HIT);
    Flag(d.get(), key_fhc_hit, Head::FHC_HIT);
    Flag(d.get(), key_expiring, Head::EXPIRING);
    Flag(d.get(), key_expired, Head::EXPIRED);
    Flag(d.get(), key_soft_dissector, Head::SOFT_DISSECTOR);
    Put(flow_dict, key_flags, std::move(d));
}

void Encoder::Tcp(PyObject *flow_dict) const
{
    qppPyRef d = NewDict(key_tcp);
    Integer(d.get(), key_fin_acks, head.tcp_fin_acks);
    Integer(d.get(), key_last_seq, head.tcp_last_seq);
    Put(flow_dict, key_tcp, std::move(d));
}

void Encoder::Gtp(PyObject *flow_dict) const
{
    qppPyRef d = NewDict(key_gtp);
    Integer(d.get(), key_version, head.gtp_version);
    Integer(d.get(), key_ip_version, head.gtp_ip_version);
    Integer(d.get(), key_lower_teid, head.gtp_lower_teid);
    Integer(d.get(), key_upper_teid, head.gtp_upper_teid);
    Integer(d.get(), key_lower_type, head.gtp_lower_type);
    Integer(d.get(), key_upper_type, head.gtp_upper_type);
    Text(d.get(), key_lower_addr, Head::GTP_LOWER_ADDR);
    Text(d.get(), key_upper_addr, Head::GTP_UPPER_ADDR);
    Integer(d.get(), key_lower_port, head.gtp_lower_port);
    Integer(d.get(), key_upper_port, head.gtp_upper_port);
    Integer(d.get(), key_lower_map, head.gtp_lower_map);
    Integer(d.get(), key_other_type, head.gtp_other_type);
    Put(flow_dict, key_gtp, std::move(d));
}

void Encoder::Category(PyObject *flow_dict) const
{
    qppPyRef d = NewDict(key_category);
    Integer(d.get(), key_application, head.category_application);
    Integer(d.get(), key_protocol, head.category_protocol);
    Integer(d.get(), key_domain, head.category_domain);
    Integer(d.get(), key_network, head.category_network);
    Put(flow_dict, key_category, std::move(d));
}

// At most one sub-dictionary, chosen by the master protocol (not by
// detected_protocol).
void Encoder::Protocol(PyObject *flow_dict) const
{
    switch (head.master_protocol) {
    case qdFlow::PROTO_SMTP: {
        qppPyRef d = NewDict(key_smtp);
        Flag(d.get(), key_tls, Head::SMTP_TLS);
        Put(flow_dict, key_smtp, std::move(d));
        break;
    }
    case qdFlow::PROTO_HTTP: {
        qppPyRef d = NewDict(key_http);
        Text(d.get(), key_user_agent, Head::HTTP_USER_AGENT);
        Text(d.get(), key_url, Head::HTTP_URL);
        Put(flow_dict, key_http, std::move(d));
        break;
    }
    case qdFlow::PROTO_MDNS: {
        if ((head.flags & Head::HAS_MDNS_DOMAIN_NAME) == 0) break;
        qppPyRef d = NewDict(key_mdns);
        Text(d.get(), key_domain_name, Head::MDNS_DOMAIN_NAME);
        Put(flow_dict, key_mdns, std::move(d));
        break;
    }
    case qdFlow::PROTO_DHCP: {
        qppPyRef d = NewDict(key_dhcp);
        Text(d.get(), key_fingerprint, Head::DHCP_FINGERPRINT);
        Text(d.get(), key_class_ident, Head::DHCP_CLASS_IDENT);
        Put(flow_dict, key_dhcp, std::move(d));
        break;
    }
    case qdFlow::PROTO_TLS:
        Tls(flow_dict);
        break;
    case qdFlow::PROTO_SSH: {
        qppPyRef d = NewDict(key_ssh);
        Text(d.get(), key_client_agent, Head::SSH_CLIENT_AGENT);
        Text(d.get(), key_server_agent, Head::SSH_SERVER_AGENT);
        Put(flow_dict, key_ssh, std::move(d));
        break;
    }
    default:
        break;
    }
}

void Encoder::Tls(PyObject *flow_dict) const
{
    qppPyRef d = NewDict(key_tls);
    Integer(d.get(), key_version, head.tls_version);
    Integer(d.get(), key_cipher_suite, head.tls_cipher_suite);
    Text(d.get(), key_subject_dn, Head::TLS_SUBJECT_DN);
    Text(d.get(), key_issuer_dn, Head::TLS_ISSUER_DN);
    Text(d.get(), key_server_cn, Head::TLS_SERVER_CN);
    Text(d.get(), key_client_sni, Head::HOST_SERVER_NAME);
    Text(d.get(), key_client_ja3, Head::TLS_CLIENT_JA3);
    Text(d.get(), key_server_ja3, Head::TLS_SERVER_JA3);
    TextList(d.get(), key_alpn_client, head.alpn_client);
    TextList(d.get(), key_alpn_server, head.alpn_server);
    if (head.flags & Head::HAS_TLS_ENCRYPTED_CH) {
        qppPyRef ch = NewDict(key_encrypted_ch);
        Integer(ch.get(), key_version, head.tls_ech_version);
        Put(d.get(), key_encrypted_ch, std::move(ch));
    }
    if (head.flags & Head::HAS_TLS_ENCRYPTED_SNI) {
        qppPyRef sni = NewDict(key_encrypted_sni);
        Integer(sni.get(), key_cipher_suite, head.tls_esni_cipher_suite);
        Text(sni.get(), key_client_sni, Head::TLS_ESNI_CLIENT_SNI);
        Put(d.get(), key_encrypted_sni, std::move(sni));
    }
    Put(flow_dict, key_tls, std::move(d));
}

// Only for a flow with risks: an empty set gives no "risk" key at all.
void Encoder::Risk(PyObject *flow_dict) const
{
    if (head.risks.count == 0) return;
    qppPyRef d = NewDict(key_risk);
    Integer(d.get(), key_ndpi_score, head.ndpi_score);
    Integer(d.get(), key_ndpi_score_client, head.ndpi_score_client);
    Integer(d.get(), key_ndpi_score_server, head.ndpi_score_server);

    qppPyRef list = qppPyRef::Steal(PyList_New(static_cast<Py_ssize_t>(head.risks.count)));
    if (! list) FailList(key_names[key_risks]);
    for (uint32_t i = 0; i < head.risks.count; i++) {  // ascending, as the host's set
        PyObject *item = PyLong_FromLong(static_cast<long>(record.Risk(i)));
        if (item == nullptr) FailInteger(key_names[key_risks]);
        PyList_SET_ITEM(list.get(), i, item);
    }
    Put(d.get(), key_risks, std::move(list));
    Put(flow_dict, key_risk, std::move(d));
}

}  // namespace

qppPyRef qppFlowEncoder::Encode(const qppFlowRecordView &record)
{
    if (! record.Valid()) throw qdException("malformed flow record");
    if (! keys) keys = MakeFlowKeys();
    Encoder e(*keys, record);
    const qppFlowRecordHead &head = record.Head();

    qppPyRef flow_dict = qppPyRef::Steal(PyDict_New());
    if (! flow_dict) {
        PyErr_Clear();
        throw qdException("cannot create new flow dict");
    }
    PyObject *d = flow_dict.get();

    e.Iface(d);
    e.Digest(d, key_digest_lower, head.digest_lower);
    if (head.flags & Head::HAS_DIGEST_MDATA)
        e.Digest(d, key_digest_mdata, head.digest_mdata);
    else
        e.Text(d, key_digest_mdata, qppFlowText{0, 0});
    e.Stats(d);
    if (head.stats_only) return flow_dict;

    e.Integer(d, key_ip_version, head.ip_version);
    e.Integer(d, key_ip_protocol, head.ip_protocol);
    e.Integer(d, key_vlan_id, head.vlan_id);
    e.Integer(d, key_first_seen_at, head.first_seen_at);
    e.Integer(d, key_last_seen_at, head.last_seen_at);
    e.Integer(d, key_lower_map, head.lower_map);
    e.Integer(d, key_other_type, head.other_type);
    e.Integer(d, key_tunnel_type, head.tunnel_type);
    e.Integer(d, key_origin, head.origin);
    e.Integer(d, key_privacy_mask, head.privacy_mask);

    e.Text(d, key_lower_mac, Head::LOWER_MAC);
    e.Text(d, key_upper_mac, Head::UPPER_MAC);
    e.Text(d, key_lower_addr, Head::LOWER_ADDR);
    e.Text(d, key_upper_addr, Head::UPPER_ADDR);
    e.Integer(d, key_lower_port, head.lower_port);
    e.Integer(d, key_upper_port, head.upper_port);

    e.Flags(d);
    if (head.ip_protocol == 6) e.Tcp(d);
    if (head.tunnel_type == qdFlow::TUNNEL_GTP) e.Gtp(d);

    e.Text(d, key_dns_host_name, Head::DNS_HOST_NAME);
    e.Text(d, key_host_server_name, Head::HOST_SERVER_NAME);
    e.Integer(d, key_detected_protocol, head.detected_protocol);
    e.Integer(d, key_detected_application, head.detected_application);
    e.Text(d, key_detected_protocol_name, Head::DETECTED_PROTOCOL_NAME);
    e.Text(d, key_detected_application_name, Head::DETECTED_APPLICATION_NAME);

    e.Category(d);
    e.Protocol(d);
    e.Risk(d);

    return flow_dict;
}
