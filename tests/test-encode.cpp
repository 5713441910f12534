// The flow dictionary as scripts see it: keys and their order, values and
// their types, presence conditions, reference ownership, the flow's mutex
// and the failures.
//
// One plugin object per test suite provides the sub-interpreter; each test
// enters it with a thread_scope and compares what it got with Python
// literals evaluated in the same sub-interpreter, so a mismatch prints both
// sides as Python reprs.

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <map>
#include <limits>
#include <memory>
#include <string>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "qpp-data-dir.h"
#include "qpp-host-capture.h"
#include "qpp-interpreter.h"
#include "qpp-plugin.h"

namespace {

using namespace std::chrono_literals;
using ::testing::AllOf;
using ::testing::HasSubstr;

// Every key of the full form for a TCP flow in a GTP tunnel with a protocol
// sub-dictionary ("tls") and risks.
const char *const full_keys_tcp_gtp =
    "['iface', 'digest_lower', 'digest_mdata', 'stats', 'ip_version', "
    "'ip_protocol', 'vlan_id', 'first_seen_at', 'last_seen_at', 'lower_map', "
    "'other_type', 'tunnel_type', 'origin', 'privacy_mask', 'lower_mac', "
    "'upper_mac', 'lower_addr', 'upper_addr', 'lower_port', 'upper_port', "
    "'flags', 'tcp', 'gtp', 'dns_host_name', 'host_server_name', "
    "'detected_protocol', 'detected_application', 'detected_protocol_name', "
    "'detected_application_name', 'category', 'tls', 'risk']";

qdDigest Repeat(std::initializer_list<uint8_t> pattern)
{
    qdDigest digest{};
    size_t i = 0;
    while (i < digest.size())
        for (uint8_t b : pattern)
            if (i < digest.size()) digest[i++] = b;
    return digest;
}

// A TLS flow over TCP in a GTP tunnel with every group filled, each value
// distinct from its neighbours so that a swapped pair shows.
std::shared_ptr<qdFlow> MakeTlsFlow()
{
    auto flow = std::make_shared<qdFlow>(std::make_shared<qdInterface>(
        "eth0", qdInterface::ROLE_WAN));
    qdAddr::Create(flow->lower_mac, "00:11:22:aa:bb:cc");
    qdAddr::Create(flow->upper_mac, "de:ad:be:ef:00:01");
    qdAddr::Create(flow->lower_addr, "192.0.2.10", 40000);
    qdAddr::Create(flow->upper_addr, "198.51.100.20", 443);
    flow->ip_version = 4;
    flow->ip_protocol = 6;
    flow->vlan_id = 100;
    flow->first_seen_at = 1700000000123;
    flow->last_seen_at = 1700000005456;
    flow->lower_map = 1;
    flow->other_type = 2;
    flow->tunnel_type = qdFlow::TUNNEL_GTP;
    flow->origin = 3;
    flow->privacy_mask = 4;
    flow->digest_lower =
        Repeat({0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef});
    flow->digest_mdata.push_back(Repeat({0xff}));
    flow->digest_mdata.push_back(Repeat({0xde, 0xad, 0xbe, 0xef}));

    flow->flags.detection_complete = true;
    flow->flags.detection_init = true;
    flow->flags.dhc_hit = true;
    flow->flags.soft_dissector = true;

    flow->tcp.fin_acks = 2;
    flow->tcp.last_seq = 123456789;

    flow->gtp.version = 1;
    flow->gtp.ip_version = 6;
    flow->gtp.lower_teid = 4096;
    flow->gtp.upper_teid = 8192;
    flow->gtp.lower_type = 7;
    flow->gtp.upper_type = 8;
    qdAddr::Create(flow->gtp.lower_addr, "203.0.113.1", 2152);
    qdAddr::Create(flow->gtp.upper_addr, "203.0.113.2", 2153);
    flow->gtp.lower_map = 9;
    flow->gtp.other_type = 10;

    flow->dns_host_name = "dns.example.com";
    flow->host_server_name = "sni.example.com";
    flow->detected_protocol = 91;
    flow->detected_protocol_name = "TLS";
    flow->detected_application = 1234;
    flow->detected_application_name = "example";
    flow->category.application = 11;
    flow->category.protocol = 12;
    flow->category.domain = 13;
    flow->category.network = 14;
    flow->master_protocol = qdFlow::PROTO_TLS;

    flow->tls.version = 0x0304;
    flow->tls.cipher_suite = 0x1301;
    flow->tls.subject_dn = "CN=sni.example.com";
    flow->tls.issuer_dn = "CN=Example CA";
    flow->tls.server_cn = "server.example.com";
    flow->tls.client_ja3 = "0123456789abcdef0123456789abcdef";
    flow->tls.server_ja3 = "fedcba9876543210fedcba9876543210";
    flow->tls.alpn = {"h2", "http/1.1"};
    flow->tls.alpn_server = {"h2"};
    flow->tls.encrypted_ch.version = 0xfe0d;
    flow->tls.encrypted_sni.cipher_suite = 0x1302;
    flow->tls.encrypted_sni.client_sni = "hidden.example.com";

    // Groups of other protocols, filled so that a wrong choice shows.
    flow->http.user_agent = "curl/8.4.0";
    flow->http.url = "/index.html";
    flow->dhcp.fingerprint = "1,3,6,15";
    flow->dhcp.class_ident = "MSFT 5.0";
    flow->ssh.client_agent = "SSH-2.0-OpenSSH_9.6";
    flow->ssh.server_agent = "SSH-2.0-dropbear";
    flow->smtp.tls = 1;
    flow->mdns.domain_name = "printer.local";

    flow->ndpi_score = 100;
    flow->ndpi_score_client = 60;
    flow->ndpi_score_server = 40;
    flow->risks = {1000, 15, 3};
    return flow;
}

// Makes a flow of MakeTlsFlow a UDP flow without a tunnel, a DNS query.
void MakeUdp(qdFlow &flow)
{
    flow.ip_protocol = 17;
    flow.tunnel_type = qdFlow::TUNNEL_NONE;
    flow.master_protocol = qdFlow::PROTO_DNS;
    flow.detected_protocol = qdFlow::PROTO_DNS;
    flow.detected_protocol_name = "DNS";
    flow.risks.clear();
}

qdFlowStats MakeStats()
{
    qdFlowStats stats;
    stats.lower_bytes = 1000;
    stats.upper_bytes = 2000;
    stats.total_bytes = 3000;
    stats.lower_packets = 10;
    stats.upper_packets = 20;
    stats.total_packets = 30;
    stats.detection_packets = 7;
    stats.lower_rate = 2.9f;
    stats.upper_rate = 0.5f;
    stats.tcp_seq_errors = 1;
    stats.tcp_resets = 2;
    stats.tcp_retrans = 3;
    return stats;
}

// Takes the flow's mutex from another thread, as a host thread would.
bool LockableElsewhere(qdFlow &flow)
{
    bool locked = false;
    std::thread other([&] {
        locked = flow.lock.try_lock();
        if (locked) flow.lock.unlock();
    });
    other.join();
    return locked;
}

class EncodeTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        plugin = new qppPlugin("encode-test",
            {{"conf_filename", "/nonexistent.json"}});
    }

    static void TearDownTestSuite()
    {
        delete plugin;
        plugin = nullptr;
    }

    // Call inside a thread_scope.
    static qppPyRef Encode(const std::shared_ptr<qdFlow> &flow,
        const qdFlowStats &stats = MakeStats(), bool stats_only = false)
    {
        return qppPyRef::Steal(plugin->EncodeFlow(flow, stats, stats_only));
    }

    // repr() of a Python expression, with d bound to the given object; a
    // Python error comes back as its own repr, so a comparison fails on it.
    static std::string Py(PyObject *d, const std::string &expr)
    {
        qppPyRef globals = qppPyRef::Steal(PyDict_New());
        if (d != nullptr) PyDict_SetItemString(globals.get(), "d", d);
        qppPyRef result = qppPyRef::Steal(PyRun_String(
            expr.c_str(), Py_eval_input, globals.get(), globals.get()));
        if (! result) {
            PyObject *type, *value, *tb;
            PyErr_Fetch(&type, &value, &tb);
            PyErr_NormalizeException(&type, &value, &tb);
            qppPyRef t = qppPyRef::Steal(type), v = qppPyRef::Steal(value),
                     b = qppPyRef::Steal(tb);
            qppPyRef text = qppPyRef::Steal(PyObject_Repr(v.get()));
            return "<error " + expr + ": " +
                (text ? PyUnicode_AsUTF8(text.get()) : "?") + ">";
        }
        qppPyRef text = qppPyRef::Steal(PyObject_Repr(result.get()));
        return PyUnicode_AsUTF8(text.get());
    }

    static std::string Py(const qppPyRef &d, const std::string &expr)
    {
        return Py(d.get(), expr);
    }

    // The same value written as a literal, in its canonical repr.
    static std::string Literal(const std::string &literal)
    {
        return Py(nullptr, literal);
    }

    static long AllocatedBlocks()
    {
        PyObject *f = PySys_GetObject("getallocatedblocks");  // borrowed
        qppPyRef n = qppPyRef::Steal(PyObject_CallObject(f, nullptr));
        return PyLong_AsLong(n.get());
    }

    static qppPlugin *plugin;
};

qppPlugin *EncodeTest::plugin = nullptr;

TEST_F(EncodeTest, FullAndStatisticsFormsHaveTheirKeysInOrder)
{
    qppPySubInterpreter::thread_scope scope(plugin->GetPyInterpreter());
    auto flow = MakeTlsFlow();
    qppPyRef d = Encode(flow);

    // Reprs compared: the keys' order counts too.
    EXPECT_EQ(Py(d, "d"), Literal("{"
        "'iface': {'name': 'eth0', 'role': 1}, "
        "'digest_lower': '0123456789abcdef0123456789abcdef01234567', "
        "'digest_mdata': 'deadbeefdeadbeefdeadbeefdeadbeefdeadbeef', "
        "'stats': {'lower_bytes': 1000, 'upper_bytes': 2000, 'total_bytes': 3000, "
        "'lower_packets': 10, 'upper_packets': 20, 'total_packets': 30, "
        "'detection_packets': 7, 'lower_rate': 2, 'upper_rate': 0, "
        "'tcp_seq_errors': 1, 'tcp_resets': 2, 'tcp_retrans': 3}, "
        "'ip_version': 4, 'ip_protocol': 6, 'vlan_id': 100, "
        "'first_seen_at': 1700000000123, 'last_seen_at': 1700000005456, "
        "'lower_map': 1, 'other_type': 2, 'tunnel_type': 1, 'origin': 3, "
        "'privacy_mask': 4, "
        "'lower_mac': '00:11:22:aa:bb:cc', 'upper_mac': 'de:ad:be:ef:00:01', "
        "'lower_addr': '192.0.2.10', 'upper_addr': '198.51.100.20', "
        "'lower_port': 40000, 'upper_port': 443, "
        "'flags': {'detection_complete': True, 'detection_guessed': False, "
        "'detection_init': True, 'detection_updated': False, "
        "'dhc_hit': True, 'fhc_hit': False, 'expiring': False, "
        "'expired': False, 'soft_dissector': True}, "
        "'tcp': {'fin_acks': 2, 'last_seq': 123456789}, "
        "'gtp': {'version': 1, 'ip_version': 6, 'lower_teid': 4096, "
        "'upper_teid': 8192, 'lower_type': 7, 'upper_type': 8, "
        "'lower_addr': '203.0.113.1', 'upper_addr': '203.0.113.2', "
        "'lower_port': 2152, 'upper_port': 2153, 'lower_map': 9, "
        "'other_type': 10}, "
        "'dns_host_name': 'dns.example.com', "
        "'host_server_name': 'sni.example.com', "
        "'detected_protocol': 91, 'detected_application': 1234, "
        "'detected_protocol_name': 'TLS', "
        "'detected_application_name': 'example', "
        "'category': {'application': 11, 'protocol': 12, 'domain': 13, "
        "'network': 14}, "
        "'tls': {'version': 772, 'cipher_suite': 4865, "
        "'subject_dn': 'CN=sni.example.com', 'issuer_dn': 'CN=Example CA', "
        "'server_cn': 'server.example.com', 'client_sni': 'sni.example.com', "
        "'client_ja3': '0123456789abcdef0123456789abcdef', "
        "'server_ja3': 'fedcba9876543210fedcba9876543210', "
        "'alpn_client': ['h2', 'http/1.1'], 'alpn_server': ['h2'], "
        "'encrypted_ch': {'version': 65037}, "
        "'encrypted_sni': {'cipher_suite': 4866, "
        "'client_sni': 'hidden.example.com'}}, "
        "'risk': {'ndpi_score': 100, 'ndpi_score_client': 60, "
        "'ndpi_score_server': 40, 'risks': [3, 15, 1000]}}"));
    EXPECT_TRUE(LockableElsewhere(*flow));

    // The statistics form: the first four keys, the statistics from the
    // snapshot given, not from the live flow.
    flow->stats.lower_bytes = 999999;
    flow->stats.tcp_resets = 77;
    EXPECT_EQ(Py(Encode(flow, MakeStats(), true), "d"), Py(d, "dict(list(d.items())[:4])"));
}

// The keys that follow "flags" in every flow, whatever its shape.
const char *const plain_tail = "'dns_host_name', 'host_server_name', 'detected_protocol', "
    "'detected_application', 'detected_protocol_name', 'detected_application_name', 'category'";

const char *const tls_head = "{'version': 772, 'cipher_suite': 4865, 'subject_dn': 'CN=sni.example.com', "
    "'issuer_dn': 'CN=Example CA', 'server_cn': 'server.example.com', 'client_sni': 'sni.example.com', "
    "'client_ja3': '0123456789abcdef0123456789abcdef', 'server_ja3': 'fedcba9876543210fedcba9876543210'";

void NoChange(qdFlow &) { }

void Protocol(qdFlow &f, uint32_t master, uint32_t detected)
{
    f.master_protocol = master;
    f.detected_protocol = detected;
}

void BareTls(qdFlow &f)
{
    f.tls.alpn.clear();
    f.tls.alpn_server.clear();
    f.tls.encrypted_ch.version = 0;
    f.tls.encrypted_sni.client_sni.clear();
}

// One shape of the flow dictionary: the TLS flow of MakeTlsFlow changed by
// adjust gives keys after "flags" (without the plain ones) and, where named,
// the value of the sub-dictionary sub.
struct ShapeCase
{
    const char *label;
    void (*adjust)(qdFlow &flow);
    std::string keys;
    const char *sub;
    std::string value;
};

const ShapeCase shape_cases[] = {
    {"tcp-in-gtp-tls-with-risks", NoChange, "['tcp', 'gtp', 'tls', 'risk']", "risk",
        "{'ndpi_score': 100, 'ndpi_score_client': 60, 'ndpi_score_server': 40, 'risks': [3, 15, 1000]}"},
    {"udp-dns-no-risks", [](qdFlow &f) { MakeUdp(f); }, "[]", nullptr, ""},
    {"udp-in-gtp", [](qdFlow &f) { MakeUdp(f); f.tunnel_type = qdFlow::TUNNEL_GTP; }, "['gtp']", nullptr, ""},
    {"tcp-in-another-tunnel", [](qdFlow &f) { f.tunnel_type = 2; f.risks.clear(); }, "['tcp', 'tls']", nullptr, ""},
    // The master protocol chooses at most one sub-dictionary, whatever was
    // detected.
    {"smtp-any-nonzero", [](qdFlow &f) { Protocol(f, 3, 3); f.smtp.tls = 0x80; }, "['tcp', 'gtp', 'smtp', 'risk']", "smtp", "{'tls': True}"},
    {"smtp-plain", [](qdFlow &f) { Protocol(f, 3, 3); f.smtp.tls = 0; }, "['tcp', 'gtp', 'smtp', 'risk']", "smtp",
        "{'tls': False}"},
    {"http-detected-as-tls", [](qdFlow &f) { Protocol(f, 7, 91); }, "['tcp', 'gtp', 'http', 'risk']", "http",
        "{'user_agent': 'curl/8.4.0', 'url': '/index.html'}"},
    {"mdns", [](qdFlow &f) { Protocol(f, 8, 8); }, "['tcp', 'gtp', 'mdns', 'risk']", "mdns",
        "{'domain_name': 'printer.local'}"},
    {"mdns-without-name", [](qdFlow &f) { Protocol(f, 8, 8); f.mdns.domain_name.clear(); },
        "['tcp', 'gtp', 'risk']", nullptr, ""},
    {"dhcp", [](qdFlow &f) { Protocol(f, 18, 18); }, "['tcp', 'gtp', 'dhcp', 'risk']", "dhcp",
        "{'fingerprint': '1,3,6,15', 'class_ident': 'MSFT 5.0'}"},
    {"ssh", [](qdFlow &f) { Protocol(f, 92, 92); }, "['tcp', 'gtp', 'ssh', 'risk']", "ssh",
        "{'client_agent': 'SSH-2.0-OpenSSH_9.6', 'server_agent': 'SSH-2.0-dropbear'}"},
    {"dns-detected-as-mdns", [](qdFlow &f) { Protocol(f, 5, 8); }, "['tcp', 'gtp', 'risk']", nullptr, ""},
    {"unlisted", [](qdFlow &f) { Protocol(f, 4242, 4242); }, "['tcp', 'gtp', 'risk']", nullptr, ""},
    // TLS lists and encrypted groups appear only when the host has them.
    {"tls-bare", BareTls, "['tcp', 'gtp', 'tls', 'risk']", "tls", std::string(tls_head) + "}"},
    {"tls-server-alpn", [](qdFlow &f) { BareTls(f); f.tls.alpn_server = {"http/1.1"}; },
        "['tcp', 'gtp', 'tls', 'risk']", "tls", std::string(tls_head) + ", 'alpn_server': ['http/1.1']}"},
    // Its own text, not the flow's host_server_name.
    {"tls-encrypted-sni", [](qdFlow &f) { BareTls(f); f.tls.encrypted_sni.client_sni = "hidden.example.com"; },
        "['tcp', 'gtp', 'tls', 'risk']", "tls",
        std::string(tls_head) + ", 'encrypted_sni': {'cipher_suite': 4866, 'client_sni': 'hidden.example.com'}}"},
};

TEST_F(EncodeTest, EachShapeOfFlowHasItsKeysInOrder)
{
    qppPySubInterpreter::thread_scope scope(plugin->GetPyInterpreter());
    for (const ShapeCase &c : shape_cases) {
        SCOPED_TRACE(c.label);
        auto flow = MakeTlsFlow();
        c.adjust(*flow);
        qppPyRef d = Encode(flow);
        EXPECT_EQ(Py(d, "list(d)[:21]"), Literal(std::string(full_keys_tcp_gtp) + "[:21]"));
        EXPECT_EQ(Py(d, "[k for k in list(d)[21:] if k not in (" + std::string(plain_tail) + ")]"),
            Literal(c.keys));
        EXPECT_EQ(Py(d, "[k for k in list(d) if k in (" + std::string(plain_tail) + ")]"),
            Literal("[" + std::string(plain_tail) + "]"));
        if (c.sub) {
            EXPECT_EQ(Py(d, std::string("d['") + c.sub + "']"), Literal(c.value));
        }
        EXPECT_EQ(Py(d, "d['detected_protocol']"), std::to_string(flow->detected_protocol));
    }
}

TEST_F(EncodeTest, TextsAddressesAndDigestsUseTheHostTextForms)
{
    qppPySubInterpreter::thread_scope scope(plugin->GetPyInterpreter());
    auto flow = MakeTlsFlow();
    // Empty texts are empty strings; client_sni is the flow's host name; a
    // text stops at its first NUL.
    flow->dns_host_name.clear();
    flow->host_server_name.clear();
    flow->detected_application_name.clear();
    flow->tls.subject_dn.clear();
    flow->detected_protocol_name = std::string("abc\0def", 7);
    flow->tls.alpn = {std::string("h2\0\xff", 4)};
    qdAddr::Create(flow->lower_mac, "AA:BB:CC:0D:0E:0F");
    qdAddr::Create(flow->lower_addr, "2001:0db8:0000:0000:0000:0000:0000:0001", 443);
    qdAddr::Create(flow->upper_addr, "192.0.2.1", 80);
    // Text cached with other make-flags is made again without them.
    flow->upper_addr.GetString(qdAddr::MakeFlags::PORT);
    flow->digest_lower = Repeat({0xA5, 0x0F});
    flow->digest_mdata = {Repeat({0x00})};
    qppPyRef d = Encode(flow);
    EXPECT_EQ(Py(d, "[d[k] for k in ('dns_host_name', 'host_server_name', 'detected_protocol_name', "
                    "'detected_application_name')]"),
        Literal("['', '', 'abc', '']"));
    EXPECT_EQ(Py(d, "(d['tls']['client_sni'], d['tls']['subject_dn'], d['tls']['alpn_client'])"),
        Literal("('', '', ['h2'])"));
    EXPECT_EQ(Py(d, "(d['lower_mac'], d['lower_addr'], d['upper_addr'])"),
        "('aa:bb:cc:0d:0e:0f', '2001:db8::1', '192.0.2.1')");
    EXPECT_EQ(Py(d, "(d['digest_lower'], d['digest_mdata'])"),
        "('a50fa50fa50fa50fa50fa50fa50fa50fa50fa50f', '0000000000000000000000000000000000000000')");

    // With no metadata digest at all the key holds an empty string.
    flow->digest_mdata.clear();
    EXPECT_EQ(Py(Encode(flow, MakeStats(), true), "d['digest_mdata']"), "''");

    // Addresses the host never set are empty texts and port 0.
    auto bare = std::make_shared<qdFlow>(std::make_shared<qdInterface>("lo", 0));
    EXPECT_EQ(Py(Encode(bare), "(d['lower_mac'], d['upper_addr'], d['lower_port'])"), "('', '', 0)");
}

// Unsigned 64-bit values keep their bits as signed integers, narrower ones
// stay positive; rates are truncated toward zero and saturate.
TEST_F(EncodeTest, IntegersFollowTheConversionRules)
{
    qppPySubInterpreter::thread_scope scope(plugin->GetPyInterpreter());
    constexpr uint64_t u64_max = std::numeric_limits<uint64_t>::max();
    constexpr uint32_t u32_max = std::numeric_limits<uint32_t>::max();
    auto flow = MakeTlsFlow();
    qdAddr::Create(flow->lower_addr, "192.0.2.10", 65535);
    qdAddr::Create(flow->upper_addr, "2001:db8::2", 32768);
    flow->first_seen_at = uint64_t(1) << 63;
    flow->last_seen_at = u64_max;
    flow->tcp.last_seq = u32_max;
    flow->risks = {u32_max};
    qdFlowStats stats = MakeStats();
    stats.upper_bytes = (uint64_t(1) << 63) - 1;
    stats.lower_packets = u32_max;
    stats.lower_rate = -2.9f;  // toward zero, not down
    stats.upper_rate = 1e6f;
    qppPyRef d = Encode(flow, stats);
    EXPECT_EQ(Py(d, "(d['lower_port'], d['upper_port'], d['first_seen_at'], d['last_seen_at'])"),
        "(65535, 32768, -9223372036854775808, -1)");
    EXPECT_EQ(Py(d, "(d['stats']['upper_bytes'], d['stats']['lower_packets'], d['tcp']['last_seq'], "
                    "d['risk']['risks'])"),
        "(9223372036854775807, 4294967295, 4294967295, [4294967295])");
    EXPECT_EQ(Py(d, "(d['stats']['lower_rate'], d['stats']['upper_rate'])"), "(-2, 1000000)");
    // Rates are whole numbers, never floats.
    EXPECT_EQ(Py(d, "{type(v).__name__ for v in d['stats'].values()}"), "{'int'}");

    const std::pair<float, float> saturated[] = {
        {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity()},
        {-1e30f, std::nextafter(9223372036854775808.0f, 0.0f)}};
    const char *const expected[] = {"(0, 9223372036854775807)", "(-9223372036854775808, 9223371487098961920)"};
    for (int i = 0; i < 2; i++) {
        stats.lower_rate = saturated[i].first;
        stats.upper_rate = saturated[i].second;
        EXPECT_EQ(Py(Encode(flow, stats, true), "(d['stats']['lower_rate'], d['stats']['upper_rate'])"),
            expected[i]);
    }
}

// The encoder takes the flow's mutex, waits for a host thread that holds it
// and gives it back; a caller may hold it already (it is recursive).
TEST_F(EncodeTest, EncodingTakesTheFlowsMutex)
{
    qppPySubInterpreter::thread_scope scope(plugin->GetPyInterpreter());
    auto flow = MakeTlsFlow();
    std::atomic<bool> locked(false), released(false);
    std::thread host([&] {
        std::lock_guard<std::recursive_mutex> guard(flow->lock);
        locked = true;
        // An encoder that ignores the mutex gets through during the pause;
        // a slow machine can only make the test pass, never fail.
        std::this_thread::sleep_for(100ms);
        flow->host_server_name = "updated.example.com";
        released = true;
    });
    while (! locked) std::this_thread::yield();
    qppPyRef d = Encode(flow);
    EXPECT_TRUE(released);
    host.join();
    EXPECT_EQ(Py(d, "d['host_server_name']"), "'updated.example.com'");
    EXPECT_TRUE(LockableElsewhere(*flow));
    {
        std::lock_guard<std::recursive_mutex> guard(flow->lock);
        EXPECT_EQ(Py(Encode(flow), "len(d)"), "32");
        EXPECT_FALSE(LockableElsewhere(*flow));
    }
    EXPECT_TRUE(LockableElsewhere(*flow));
}

// Bytes that are no UTF-8: a lone continuation byte and an invalid lead.
const char *const bad_text = "ok\x80\xff";

// Makes the object allocator refuse every request of limit bytes or more
// while alive. It wraps the allocator in place, the only change CPython
// allows once it runs; every other request goes through.
class RefuseLargeAllocations
{
public:
    explicit RefuseLargeAllocations(size_t limit) : limit(limit)
    {
        PyMem_GetAllocator(PYMEM_DOMAIN_OBJ, &original);
        PyMemAllocatorEx hook = {this, Malloc, Calloc, Realloc, Free};
        PyMem_SetAllocator(PYMEM_DOMAIN_OBJ, &hook);
    }
    ~RefuseLargeAllocations() { PyMem_SetAllocator(PYMEM_DOMAIN_OBJ, &original); }

private:
    static PyMemAllocatorEx &Next(void *ctx) { return static_cast<RefuseLargeAllocations *>(ctx)->original; }
    static bool Refused(void *ctx, size_t size) { return size >= static_cast<RefuseLargeAllocations *>(ctx)->limit; }
    static void *Malloc(void *ctx, size_t size)
    {
        return Refused(ctx, size) ? nullptr : Next(ctx).malloc(Next(ctx).ctx, size);
    }
    static void *Calloc(void *ctx, size_t n, size_t size)
    {
        return Refused(ctx, n * size) ? nullptr : Next(ctx).calloc(Next(ctx).ctx, n, size);
    }
    static void *Realloc(void *ctx, void *p, size_t size)
    {
        return Refused(ctx, size) ? nullptr : Next(ctx).realloc(Next(ctx).ctx, p, size);
    }
    static void Free(void *ctx, void *p) { Next(ctx).free(Next(ctx).ctx, p); }

    size_t limit;
    PyMemAllocatorEx original;
};

// A text that the allocator above refuses to hold: what is left to fail in
// the encoder is memory.
constexpr size_t huge_limit = 1 << 20;
const std::string huge_text(2 << 20, 'x');

// Every text of the dictionary: the key that names it in a failure, the
// expression that reads it, and how to give the flow a text there.
struct TextCase
{
    const char *key;
    const char *expression;
    void (*set)(qdFlow &flow, const std::string &text);
    bool stats_only;
};

const TextCase text_cases[] = {
    {"name", "d['iface']['name']", [](qdFlow &f, const std::string &t) { f.iface->ifname = t; }, true},
    {"host_server_name", "d['host_server_name']", [](qdFlow &f, const std::string &t) { f.host_server_name = t; }, false},
    {"host_server_name", "d['tls']['client_sni']", [](qdFlow &f, const std::string &t) { f.host_server_name = t; }, false},
    {"dns_host_name", "d['dns_host_name']", [](qdFlow &f, const std::string &t) { f.dns_host_name = t; }, false},
    {"detected_application_name", "d['detected_application_name']",
        [](qdFlow &f, const std::string &t) { f.detected_application_name = t; }, false},
    {"user_agent", "d['http']['user_agent']",
        [](qdFlow &f, const std::string &t) { f.master_protocol = qdFlow::PROTO_HTTP; f.http.user_agent = t; }, false},
    {"url", "d['http']['url']",
        [](qdFlow &f, const std::string &t) { f.master_protocol = qdFlow::PROTO_HTTP; f.http.url = t; }, false},
    {"domain_name", "d['mdns']['domain_name']",
        [](qdFlow &f, const std::string &t) { f.master_protocol = qdFlow::PROTO_MDNS; f.mdns.domain_name = t; }, false},
    {"class_ident", "d['dhcp']['class_ident']",
        [](qdFlow &f, const std::string &t) { f.master_protocol = qdFlow::PROTO_DHCP; f.dhcp.class_ident = t; }, false},
    {"server_agent", "d['ssh']['server_agent']",
        [](qdFlow &f, const std::string &t) { f.master_protocol = qdFlow::PROTO_SSH; f.ssh.server_agent = t; }, false},
    {"server_ja3", "d['tls']['server_ja3']", [](qdFlow &f, const std::string &t) { f.tls.server_ja3 = t; }, false},
    {"alpn_client", "d['tls']['alpn_client'][1]", [](qdFlow &f, const std::string &t) { f.tls.alpn = {"h2", t, "h3"}; }, false},
    {"alpn_server", "d['tls']['alpn_server'][0]", [](qdFlow &f, const std::string &t) { f.tls.alpn_server = {t}; }, false},
    {"client_sni", "d['tls']['encrypted_sni']['client_sni']",
        [](qdFlow &f, const std::string &t) { f.tls.encrypted_sni.client_sni = t; }, false},
};

// Every text shows bytes that are no UTF-8 escaped. A text that cannot be
// made fails the encoding, naming its key; the flow's mutex is free again
// and no Python error is left pending.
TEST_F(EncodeTest, EveryTextEscapesBadBytesAndFailsNamingItsKey)
{
    qppPySubInterpreter::thread_scope scope(plugin->GetPyInterpreter());
    for (const TextCase &c : text_cases) {
        SCOPED_TRACE(c.expression);
        auto flow = MakeTlsFlow();
        c.set(*flow, bad_text);
        EXPECT_EQ(Py(Encode(flow, MakeStats(), c.stats_only), c.expression), Literal("'ok\\\\x80\\\\xff'"));
        c.set(*flow, huge_text);
        RefuseLargeAllocations refuse(huge_limit);
        try {
            qppPyRef d = Encode(flow, MakeStats(), c.stats_only);
            ADD_FAILURE() << "encoded without failure";
        }
        catch (const qdException &e) {
            EXPECT_EQ(e.what(), "cannot create new string from: " + std::string(c.key));
        }
        EXPECT_EQ(PyErr_Occurred(), nullptr);
        EXPECT_TRUE(LockableElsewhere(*flow));
    }
    // The statistics form reads no text beyond its keys.
    auto flow = MakeTlsFlow();
    flow->host_server_name = huge_text;
    {
        RefuseLargeAllocations refuse(huge_limit);
        EXPECT_EQ(Py(Encode(flow, MakeStats(), true), "len(d)"), "4");
    }

    // A cut sequence, an encoded surrogate and an over-long form are no
    // UTF-8 either; valid sequences around them are kept.
    const std::pair<const char *, const char *> texts[] = {
        {"caf\xc3", "'caf\\\\xc3'"},
        {"\xed\xa0\x80!", "'\\\\xed\\\\xa0\\\\x80!'"},
        {"\xc0\xaf", "'\\\\xc0\\\\xaf'"},
        {"caf\xc3\xa9 \xff", "'caf\\u00e9 \\\\xff'"},
    };
    for (const auto &text : texts) {
        SCOPED_TRACE(text.second);
        flow->host_server_name = text.first;
        EXPECT_EQ(Py(Encode(flow), "d['host_server_name']"), Literal(text.second));
    }
}

// Encodings, whole and failed, leak nothing.
TEST_F(EncodeTest, EncodingLeaksNothing)
{
    qppPySubInterpreter::thread_scope scope(plugin->GetPyInterpreter());
    auto flow = MakeTlsFlow();
    for (int i = 0; i < 10; i++) Encode(flow, MakeStats(), i % 2);
    Py_ssize_t true_refs = Py_REFCNT(Py_True), false_refs = Py_REFCNT(Py_False);
    long before = AllocatedBlocks();
    for (int i = 0; i < 1000; i++) Encode(flow, MakeStats(), i % 2);
    EXPECT_LE(AllocatedBlocks() - before, 10);
    EXPECT_EQ(Py_REFCNT(Py_True), true_refs);
    EXPECT_EQ(Py_REFCNT(Py_False), false_refs);

    auto top = MakeTlsFlow();
    top->host_server_name = huge_text;
    auto nested = MakeTlsFlow();
    nested->master_protocol = qdFlow::PROTO_HTTP;
    nested->http.user_agent = huge_text;
    auto in_list = MakeTlsFlow();
    in_list->tls.alpn_server = {"h2", "h3", huge_text};
    RefuseLargeAllocations refuse(huge_limit);
    const std::shared_ptr<qdFlow> flows[] = {top, nested, in_list};

    auto fail_all = [&](int rounds) {
        int failures = 0;
        for (int i = 0; i < rounds; i++) {
            for (const auto &flow : flows) {
                try {
                    Encode(flow);
                }
                catch (const qdException &) {
                    failures++;
                }
            }
        }
        return failures;
    };
    fail_all(10);
    before = AllocatedBlocks();
    EXPECT_EQ(fail_all(1000), 3000);
    EXPECT_LE(AllocatedBlocks() - before, 10);
    for (const auto &flow : flows) EXPECT_TRUE(LockableElsewhere(*flow));
}

// The flow map as a script receives it when one flow cannot be encoded: the
// worker's own path, run on this thread as the worker would run it.
TEST(FlowMapEncoding, AFlowThatCannotBeEncodedIsLeftOutAndTheOthersDelivered)
{
    qppDataDir data("qpp-encode");
    qppWriteFile(data.ModuleDir() + "/mapped.py",
        "import qpp\n"
        "def ProcessFlowMap(flows):\n"
        "    qpp.print('mapped: %s\\n' % [f['host_server_name'] for f in flows])\n"
        "def ProcessFlowStats(flows):\n"
        "    qpp.print('mapped: stats %d\\n' % len(flows))\n");
    data.WriteScriptConf(data.ModuleDir() + "/mapped.py", false, "conf");
    qppLogRecorder log;
    auto plugin = std::make_unique<qppPlugin>(
        "encode-test", std::map<std::string, std::string>{{"conf_filename", data.ConfPath("conf")}});
    plugin->Reload();

    qppEvent event(0, qdPluginProcessor::EVENT_FLOW_MAP);
    for (const char *server : {"a.example", "b.example", "c.example"}) {
        auto flow = MakeTlsFlow();
        MakeUdp(*flow);
        flow->host_server_name = server;
        if (server[0] == 'b') {
            flow->master_protocol = qdFlow::PROTO_HTTP;
            flow->http.url = huge_text;
            flow->digest_lower = Repeat({0xbb});
        }
        event.PushFlow(flow);
    }
    {
        RefuseLargeAllocations refuse(huge_limit);
        plugin->CallScriptFunction(std::move(event));
    }
    plugin.reset();
    EXPECT_THAT(log.Text(), AllOf(HasSubstr("mapped: stats 3\n"), HasSubstr("mapped: ['a.example', 'c.example']\n"),
        HasSubstr("mapped: ProcessFlowMap: 1 flow(s) left out, the first " + std::string(40, 'b') +
            ": cannot create new string from: url\n")));
}

}  // namespace
