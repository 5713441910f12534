// fuzz-encode: the flow dictionary over arbitrary flow contents.
//
// The host fills flows from the wire, so every text may hold any bytes
// (invalid UTF-8, NULs), lists may be long, numbers may be at their limits,
// and the master protocol may be anything. Each input becomes one flow and
// one statistics snapshot; both forms are encoded inside the plugin's
// sub-interpreter. A text that is not UTF-8 shows its bad bytes escaped, so
// encoding never refuses a flow (only memory could make it fail); it must
// never crash, leak a reference or leave a Python error set.

#include <arpa/inet.h>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "qpp-interpreter.h"
#include "qpp-plugin.h"

namespace {

[[noreturn]] void Violated(const char *what)
{
    fprintf(stderr, "fuzz-encode: invariant violated: %s\n", what);
    abort();
}

#define CHECK(condition) \
    do { \
        if (! (condition)) Violated(#condition); \
    } while (0)

// What CPython's strict UTF-8 decoder accepts (RFC 3629: no overlong forms,
// no surrogates, nothing above U+10FFFF), up to the first NUL: that is the
// part of a text that PyUnicode_FromString sees.
bool ValidUtf8(const std::string &text)
{
    const unsigned char *s = reinterpret_cast<const unsigned char *>(text.c_str());
    while (*s != 0) {
        unsigned c = *s;
        size_t n;
        unsigned lo = 0x80, hi = 0xbf;
        if (c < 0x80) {
            s++;
            continue;
        }
        else if (c >= 0xc2 && c <= 0xdf)
            n = 1;
        else if (c >= 0xe0 && c <= 0xef) {
            n = 2;
            if (c == 0xe0) lo = 0xa0;
            if (c == 0xed) hi = 0x9f;
        }
        else if (c >= 0xf0 && c <= 0xf4) {
            n = 3;
            if (c == 0xf0) lo = 0x90;
            if (c == 0xf4) hi = 0x8f;
        }
        else
            return false;
        s++;
        for (size_t i = 0; i < n; i++, s++) {
            if (*s < lo || *s > hi) return false;  // a NUL ends it here too
            lo = 0x80;
            hi = 0xbf;
        }
    }
    return true;
}

// Builds the flow and remembers whether every text it holds is valid.
class FlowMaker
{
public:
    explicit FlowMaker(FuzzedDataProvider &fdp) : fdp(fdp) { }

    bool all_valid = true;

    std::string Text(size_t max = 64)
    {
        std::string text;
        switch (fdp.ConsumeIntegralInRange<int>(0, 3)) {
        case 0:
            text = fdp.ConsumeRandomLengthString(max);
            break;
        case 1: {
            // Long texts cost little input: one byte repeated.
            size_t length = fdp.ConsumeIntegralInRange<size_t>(0, 4096);
            text.assign(length, static_cast<char>(fdp.ConsumeIntegral<uint8_t>()));
            break;
        }
        case 2:
            text = "";
            break;
        default:
            text = "valid-\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80";
            break;
        }
        if (! ValidUtf8(text)) all_valid = false;
        return text;
    }

    std::vector<std::string> TextList()
    {
        std::vector<std::string> list;
        // Mostly short, sometimes very long.
        size_t count = fdp.ConsumeBool()
            ? fdp.ConsumeIntegralInRange<size_t>(0, 4)
            : fdp.ConsumeIntegralInRange<size_t>(0, 5000);
        for (size_t i = 0; i < count; i++) list.push_back(Text(16));
        return list;
    }

    template <typename T>
    T Number()
    {
        // The limits and their neighbours are where conversions go wrong.
        switch (fdp.ConsumeIntegralInRange<int>(0, 3)) {
        case 0: return std::numeric_limits<T>::max();
        case 1: return 0;
        case 2: return static_cast<T>(std::numeric_limits<T>::max() / 2 + 1);
        default: return fdp.ConsumeIntegral<T>();
        }
    }

    float Rate()
    {
        static const float unusual[] = {
            std::numeric_limits<float>::quiet_NaN(),
            -std::numeric_limits<float>::quiet_NaN(),
            std::numeric_limits<float>::infinity(),
            -std::numeric_limits<float>::infinity(),
            std::numeric_limits<float>::max(),
            std::numeric_limits<float>::lowest(),
            std::numeric_limits<float>::denorm_min(),
            9223372036854775808.0f,    // 2^63: just beyond long
            9223371487098961920.0f,    // the largest float below 2^63
            -9223372036854775808.0f,   // -2^63: exactly LONG_MIN
            -9223373136366403584.0f,   // the float just below -2^63
            -0.0f, 0.5f, -0.5f, 2.9f,
        };
        if (fdp.ConsumeBool())
            return unusual[fdp.ConsumeIntegralInRange<size_t>(
                0, sizeof(unusual) / sizeof(unusual[0]) - 1)];
        return fdp.ConsumeFloatingPoint<float>();
    }

    qdDigest Digest()
    {
        qdDigest digest{};
        std::vector<uint8_t> bytes = fdp.ConsumeBytes<uint8_t>(digest.size());
        for (size_t i = 0; i < bytes.size(); i++) digest[i] = bytes[i];
        return digest;
    }

    // Every kind of address in any slot: the encoder only asks for text
    // and port.
    void Address(qdAddr &addr)
    {
        uint16_t port = fdp.ConsumeIntegral<uint16_t>();
        char text[INET6_ADDRSTRLEN];
        switch (fdp.ConsumeIntegralInRange<int>(0, 4)) {
        case 0:
            addr = qdAddr();
            break;
        case 1: {
            std::vector<uint8_t> raw = fdp.ConsumeBytes<uint8_t>(4);
            raw.resize(4);
            inet_ntop(AF_INET, raw.data(), text, sizeof(text));
            CHECK(qdAddr::Create(addr, text, port));
            break;
        }
        case 2: {
            std::vector<uint8_t> raw = fdp.ConsumeBytes<uint8_t>(16);
            raw.resize(16);
            inet_ntop(AF_INET6, raw.data(), text, sizeof(text));
            CHECK(qdAddr::Create(addr, text, port));
            break;
        }
        case 3: {
            std::vector<uint8_t> raw = fdp.ConsumeBytes<uint8_t>(6);
            raw.resize(6);
            addr = qdAddr::FromMAC(raw.data());
            break;
        }
        default:
            // Whatever the host's parser makes of arbitrary text.
            qdAddr::Create(addr, fdp.ConsumeRandomLengthString(48), port);
            break;
        }
    }

    std::shared_ptr<qdFlow> Flow()
    {
        // One statement per draw: the order in which the input is consumed
        // must not depend on the compiler.
        std::string ifname = Text();
        iface_valid = all_valid;
        uint8_t role = fdp.ConsumeIntegral<uint8_t>();
        auto flow = std::make_shared<qdFlow>(
            std::make_shared<qdInterface>(ifname, role));
        qdFlow &f = *flow;

        Address(f.lower_mac);
        Address(f.upper_mac);
        Address(f.lower_addr);
        Address(f.upper_addr);

        f.ip_version = Number<uint8_t>();
        f.ip_protocol = fdp.ConsumeBool() ? 6 : Number<uint8_t>();
        f.vlan_id = Number<uint16_t>();
        f.first_seen_at = Number<uint64_t>();
        f.last_seen_at = Number<uint64_t>();
        f.lower_map = Number<uint8_t>();
        f.other_type = Number<uint8_t>();
        f.tunnel_type = fdp.ConsumeBool() ? qdFlow::TUNNEL_GTP : Number<uint8_t>();
        f.origin = Number<uint8_t>();
        f.privacy_mask = Number<uint8_t>();

        f.digest_lower = Digest();
        size_t digests = fdp.ConsumeBool()
            ? fdp.ConsumeIntegralInRange<size_t>(0, 2)
            : fdp.ConsumeIntegralInRange<size_t>(0, 1000);
        for (size_t i = 0; i < digests; i++) f.digest_mdata.push_back(Digest());

        f.flags.detection_complete = fdp.ConsumeBool();
        f.flags.detection_guessed = fdp.ConsumeBool();
        f.flags.detection_init = fdp.ConsumeBool();
        f.flags.detection_updated = fdp.ConsumeBool();
        f.flags.dhc_hit = fdp.ConsumeBool();
        f.flags.fhc_hit = fdp.ConsumeBool();
        f.flags.expiring = fdp.ConsumeBool();
        f.flags.expired = fdp.ConsumeBool();
        f.flags.soft_dissector = fdp.ConsumeBool();

        f.tcp.fin_acks = Number<uint8_t>();
        f.tcp.last_seq = Number<uint32_t>();

        f.gtp.version = Number<uint8_t>();
        f.gtp.ip_version = Number<uint8_t>();
        f.gtp.lower_teid = Number<uint32_t>();
        f.gtp.upper_teid = Number<uint32_t>();
        f.gtp.lower_type = Number<uint8_t>();
        f.gtp.upper_type = Number<uint8_t>();
        Address(f.gtp.lower_addr);
        Address(f.gtp.upper_addr);
        f.gtp.lower_map = Number<uint8_t>();
        f.gtp.other_type = Number<uint8_t>();

        f.dns_host_name = Text();
        f.host_server_name = Text();
        f.detected_protocol = Number<uint32_t>();
        f.detected_protocol_name = Text();
        f.detected_application = Number<uint32_t>();
        f.detected_application_name = Text();
        f.category.application = Number<uint32_t>();
        f.category.protocol = Number<uint32_t>();
        f.category.domain = Number<uint32_t>();
        f.category.network = Number<uint32_t>();

        static const uint32_t protocols[] = {qdFlow::PROTO_UNKNOWN,
            qdFlow::PROTO_SMTP, qdFlow::PROTO_DNS, qdFlow::PROTO_HTTP,
            qdFlow::PROTO_MDNS, qdFlow::PROTO_DHCP, qdFlow::PROTO_TLS,
            qdFlow::PROTO_SSH};
        f.master_protocol = fdp.ConsumeBool()
            ? protocols[fdp.ConsumeIntegralInRange<size_t>(
                  0, sizeof(protocols) / sizeof(protocols[0]) - 1)]
            : Number<uint32_t>();

        // Every group is filled whatever the master protocol: choosing the
        // wrong one must not read the others.
        f.http.user_agent = Text();
        f.http.url = Text();
        f.dhcp.fingerprint = Text();
        f.dhcp.class_ident = Text();
        f.ssh.client_agent = Text();
        f.ssh.server_agent = Text();
        f.smtp.tls = Number<uint8_t>();
        f.mdns.domain_name = Text();

        f.tls.version = Number<uint16_t>();
        f.tls.cipher_suite = Number<uint16_t>();
        f.tls.subject_dn = Text();
        f.tls.issuer_dn = Text();
        f.tls.server_cn = Text();
        f.tls.client_ja3 = Text();
        f.tls.server_ja3 = Text();
        f.tls.alpn = TextList();
        f.tls.alpn_server = TextList();
        f.tls.encrypted_ch.version = Number<uint16_t>();
        f.tls.encrypted_sni.cipher_suite = Number<uint16_t>();
        f.tls.encrypted_sni.client_sni = Text();

        f.ndpi_score = Number<uint16_t>();
        f.ndpi_score_client = Number<uint16_t>();
        f.ndpi_score_server = Number<uint16_t>();
        size_t risks = fdp.ConsumeBool()
            ? fdp.ConsumeIntegralInRange<size_t>(0, 4)
            : fdp.ConsumeIntegralInRange<size_t>(0, 5000);
        for (size_t i = 0; i < risks; i++) f.risks.insert(Number<uint32_t>());
        return flow;
    }

    qdFlowStats Stats()
    {
        qdFlowStats s;
        s.lower_bytes = Number<uint64_t>();
        s.upper_bytes = Number<uint64_t>();
        s.total_bytes = Number<uint64_t>();
        s.lower_packets = Number<uint32_t>();
        s.upper_packets = Number<uint32_t>();
        s.total_packets = Number<uint32_t>();
        s.detection_packets = Number<uint8_t>();
        s.lower_rate = Rate();
        s.upper_rate = Rate();
        s.tcp_seq_errors = Number<uint32_t>();
        s.tcp_resets = Number<uint32_t>();
        s.tcp_retrans = Number<uint32_t>();
        return s;
    }

    bool iface_valid = true;

private:
    FuzzedDataProvider &fdp;
};

// A borrowed value of the dictionary, or null; never leaves an error set.
PyObject *Get(PyObject *dict, const char *key)
{
    PyObject *value = PyDict_GetItemString(dict, key);
    CHECK(PyErr_Occurred() == nullptr);
    return value;
}

long Long(PyObject *dict, const char *key)
{
    PyObject *value = Get(dict, key);
    CHECK(value != nullptr && PyLong_CheckExact(value));
    long v = PyLong_AsLong(value);
    CHECK(PyErr_Occurred() == nullptr);
    return v;
}

// What a finished dictionary must show of the flow it came from. Cheap
// checks only: presence rules, list lengths and a few numbers.
void CheckDictionary(PyObject *d, const qdFlow &f, const qdFlowStats &s,
    bool stats_only)
{
    CHECK(PyDict_CheckExact(d));
    CHECK(Py_REFCNT(d) == 1);

    PyObject *stats = Get(d, "stats");
    CHECK(stats != nullptr && PyDict_CheckExact(stats));
    CHECK(PyDict_Size(stats) == 12);
    CHECK(Long(stats, "lower_bytes") ==
        static_cast<long>(static_cast<int64_t>(s.lower_bytes)));
    CHECK(Long(stats, "total_packets") == static_cast<long>(s.total_packets));
    if (std::isnan(s.lower_rate)) CHECK(Long(stats, "lower_rate") == 0);

    PyObject *mdata = Get(d, "digest_mdata");
    CHECK(mdata != nullptr && PyUnicode_Check(mdata));
    CHECK(PyUnicode_GET_LENGTH(mdata) == (f.digest_mdata.empty() ? 0 : 40));

    if (stats_only) {
        CHECK(PyDict_Size(d) == 4);
        return;
    }

    CHECK(Long(d, "first_seen_at") ==
        static_cast<long>(static_cast<int64_t>(f.first_seen_at)));
    CHECK((Get(d, "tcp") != nullptr) == (f.ip_protocol == 6));
    CHECK((Get(d, "gtp") != nullptr) == (f.tunnel_type == qdFlow::TUNNEL_GTP));

    PyObject *risk = Get(d, "risk");
    CHECK((risk != nullptr) == ! f.risks.empty());
    if (risk != nullptr) {
        PyObject *list = Get(risk, "risks");
        CHECK(list != nullptr && PyList_CheckExact(list));
        CHECK(PyList_GET_SIZE(list) == static_cast<Py_ssize_t>(f.risks.size()));
        CHECK(PyLong_AsLong(PyList_GET_ITEM(list, 0)) ==
            static_cast<long>(*f.risks.begin()));
    }

    // At most one protocol group, the master protocol's.
    struct Group { uint32_t protocol; const char *key; };
    static const Group groups[] = {{qdFlow::PROTO_SMTP, "smtp"},
        {qdFlow::PROTO_HTTP, "http"}, {qdFlow::PROTO_MDNS, "mdns"},
        {qdFlow::PROTO_DHCP, "dhcp"}, {qdFlow::PROTO_TLS, "tls"},
        {qdFlow::PROTO_SSH, "ssh"}};
    for (const Group &g : groups) {
        bool expected = (f.master_protocol == g.protocol);
        if (g.protocol == qdFlow::PROTO_MDNS)
            expected = expected && ! f.mdns.domain_name.empty();
        CHECK((Get(d, g.key) != nullptr) == expected);
    }

    PyObject *tls = Get(d, "tls");
    if (tls != nullptr) {
        PyObject *alpn = Get(tls, "alpn_client");
        CHECK((alpn != nullptr) == ! f.tls.alpn.empty());
        if (alpn != nullptr) {
            CHECK(PyList_GET_SIZE(alpn) ==
                static_cast<Py_ssize_t>(f.tls.alpn.size()));
        }
        PyObject *alpn_server = Get(tls, "alpn_server");
        CHECK((alpn_server != nullptr) == ! f.tls.alpn_server.empty());
        CHECK((Get(tls, "encrypted_ch") != nullptr) == f.HasTLSEncryptedCH());
        CHECK((Get(tls, "encrypted_sni") != nullptr) == f.HasTLSEncryptedSNI());
    }
}

qppPlugin *plugin = nullptr;
bool show = false;  // QPP_FUZZ_LOG: describe each input's flow

// The interpreter's count of allocated memory blocks. The result object is
// gone again before this returns, so two counts compare like for like.
long AllocatedBlocks()
{
    PyObject *function = PySys_GetObject("getallocatedblocks");  // borrowed
    CHECK(function != nullptr);
    PyObject *count = PyObject_CallNoArgs(function);
    CHECK(count != nullptr);
    long blocks = PyLong_AsLong(count);
    Py_DECREF(count);
    CHECK(PyErr_Occurred() == nullptr);
    return blocks;
}

// One encoding, checked; false when it was refused (why in refusal).
bool Encode(const std::shared_ptr<qdFlow> &flow, const qdFlowStats &stats,
    bool stats_only, std::string &refusal)
{
    bool encoded = false;
    try {
        PyObject *d = plugin->EncodeFlow(flow, stats, stats_only);
        CHECK(d != nullptr);
        CHECK(PyErr_Occurred() == nullptr);
        CheckDictionary(d, *flow, stats, stats_only);
        Py_DECREF(d);
        encoded = true;
    }
    catch (const qdException &e) {
        refusal = e.what();
    }
    CHECK(PyErr_Occurred() == nullptr);
    return encoded;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // The plugin's own messages are not what is being tested here.
    qd_set_log_sink([](const std::string &) { });
    show = getenv("QPP_FUZZ_LOG") != nullptr;
    // Encoding needs no configuration: the sub-interpreter is enough. The
    // plugin lives until the process ends; the runtime is never finalised.
    plugin = new qppPlugin("fuzz-encode", {{"conf_filename", "/nonexistent.json"}});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider fdp(data, size);
    FlowMaker maker(fdp);
    // The snapshot first: what is drawn last often finds the input used up.
    qdFlowStats stats = maker.Stats();
    std::shared_ptr<qdFlow> flow = maker.Flow();

    bool results[2] = {false, false};
    std::string refusal;
    qppPySubInterpreter::thread_scope scope(plugin->GetPyInterpreter());
    for (bool stats_only : {false, true}) {
        std::string why;
        bool encoded = Encode(flow, stats, stats_only, why);
        if (! stats_only) refusal = why;
        // Whatever bytes the texts hold.
        CHECK(encoded);
        results[stats_only] = encoded;

        // Again, now that the first pass has filled the interpreter's free
        // lists and the key table exists: whatever the second pass leaves
        // allocated, or any reference it takes to True or False and keeps,
        // is a leak (which the leak sanitizer cannot see: the objects live
        // in the interpreter's own arenas).
        Py_ssize_t true_refs = Py_REFCNT(Py_True);
        Py_ssize_t false_refs = Py_REFCNT(Py_False);
        long before = AllocatedBlocks();
        CHECK(Encode(flow, stats, stats_only, why) == encoded);
        CHECK(AllocatedBlocks() == before);
        CHECK(Py_REFCNT(Py_True) == true_refs);
        CHECK(Py_REFCNT(Py_False) == false_refs);
    }

    if (show) {
        // What the input made of the flow: how seeds are told apart.
        const qdFlow &f = *flow;
        fprintf(stderr,
            "fuzz-encode: master_protocol %u ip_protocol %u tunnel_type %u "
            "alpn %zu/%zu risks %zu digest_mdata %zu ech %d esni %d "
            "mdns_name %d rates %g/%g valid %d/%d encoded %d/%d [%s]\n",
            f.master_protocol, f.ip_protocol, f.tunnel_type, f.tls.alpn.size(),
            f.tls.alpn_server.size(), f.risks.size(), f.digest_mdata.size(),
            f.HasTLSEncryptedCH(), f.HasTLSEncryptedSNI(),
            f.HasMDNSDomainName(), static_cast<double>(stats.lower_rate),
            static_cast<double>(stats.upper_rate), maker.all_valid,
            maker.iface_valid, results[0], results[1], refusal.c_str());
    }
    return 0;
}
