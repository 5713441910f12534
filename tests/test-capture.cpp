// qpp-replay on captures, as its users run it: the built tool in a process of
// its own, reading the real captures of tests/captures (recorded from real
// clients and servers) and captures built byte by byte. What a script sees
// of each flow is compared with what nDPI's own reader reported for the same
// capture (the .ndpi.txt beside it): protocol, host name or SNI, ALPN, JA3,
// user agent, URL, packets and bytes per side.

#include <algorithm>
#include <chrono>
#include <arpa/inet.h>
#include <csignal>
#include <map>
#include <netinet/in.h>
#include <regex>
#include <set>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "capture-frames.h"
#include "replay-tool.h"

namespace {

using json = nlohmann::json;
using namespace tool;
using ::testing::HasSubstr;

std::string Capture(const std::string &name) { return std::string(QPP_CAPTURES_DIR) + "/" + name; }
std::string Script(const std::string &name) { return std::string(QPP_REPLAY_TEST_DIR) + "/" + name; }

// What a script sees of a text: valid UTF-8 as it is, every other byte as
// the four characters of its escape (Python's "backslashreplace").
std::string Escaped(const std::string &text)
{
    std::string out;
    size_t i = 0;
    while (i < text.size()) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        size_t more = c < 0x80 ? 0 : (c & 0xe0) == 0xc0 && c >= 0xc2 ? 1
            : (c & 0xf0) == 0xe0 ? 2 : (c & 0xf8) == 0xf0 && c <= 0xf4 ? 3 : 99;
        bool valid = more != 99 && i + more < text.size() + (more == 0 ? 1 : 0);
        for (size_t k = 1; valid && k <= more; k++)
            valid = i + k < text.size() && (static_cast<unsigned char>(text[i + k]) & 0xc0) == 0x80;
        if (valid) {
            out += text.substr(i, more + 1);
            i += more + 1;
        }
        else {
            char escape[8];
            snprintf(escape, sizeof(escape), "\\x%02x", c);
            out += escape;
            i++;
        }
    }
    return out;
}

// One flow as nDPI's reader reports it.
struct NdpiFlow
{
    std::string l4;
    std::string client, server;  // "address port"
    std::string protocol;        // "91" or "7.126"
    int vlan = 0;
    std::map<std::string, std::string> fields;  // "Hostname/SNI" and the rest
    uint64_t client_packets = 0, client_bytes = 0;
    uint64_t server_packets = 0, server_bytes = 0;
};

std::string Endpoint(const std::string &text)
{
    // "127.0.0.1:80" or "[::1]:80"
    size_t colon = text.rfind(':');
    std::string address = text.substr(0, colon);
    if (! address.empty() && address.front() == '[') address = address.substr(1, address.size() - 2);
    return address + " " + text.substr(colon + 1);
}

std::vector<NdpiFlow> ReadNdpi(const std::string &path)
{
    std::vector<NdpiFlow> flows;
    static const std::regex head(
        R"(^\t\d+\t(\S+) (\S+) (<->|->) (\S+) (?:\[VLAN: (\d+)\])?\[proto: ([0-9.]+)/[^\]]*\])");
    static const std::regex packets(
        R"(\[(\d+) pkts/(\d+) bytes (<->|->) (\d+) pkts/(\d+) bytes\])");
    for (auto &line : SplitLines(ReadFile(path))) {
        std::smatch m;
        if (! std::regex_search(line, m, head)) continue;
        NdpiFlow flow;
        flow.l4 = m[1];
        flow.client = Endpoint(m[2]);
        flow.server = Endpoint(m[4]);
        flow.vlan = m[5].matched ? std::stoi(m[5]) : 0;
        flow.protocol = m[6];
        std::smatch p;
        if (std::regex_search(line, p, packets)) {
            flow.client_packets = std::stoull(p[1]);
            flow.client_bytes = std::stoull(p[2]);
            flow.server_packets = std::stoull(p[4]);
            flow.server_bytes = std::stoull(p[5]);
        }
        for (const char *name : {"Hostname/SNI", "ALPN", "JA3C", "JA3S", "URL", "User-Agent",
                 "Server", "ServerNames", "Issuer", "Subject"}) {
            std::string key = std::string("[") + name + ": ";
            size_t at = line.find(key);
            if (at == std::string::npos) continue;
            at += key.size();
            // A value may hold ']' (an IPv6 URL): it ends where the next
            // field begins.
            size_t end = line.find("][", at);
            if (end == std::string::npos) end = line.rfind(']');
            flow.fields[name] = line.substr(at, end - at);
        }
        flows.push_back(flow);
    }
    return flows;
}

int IpProtocol(const std::string &l4)
{
    if (l4 == "TCP") return 6;
    if (l4 == "UDP") return 17;
    if (l4 == "ICMP") return 1;
    if (l4 == "ICMPV6") return 58;
    return -1;
}

class Captures : public ToolTest
{
protected:
    // A copy of capture_whoami.py that the user the capture runs as can read.
    std::string ReadableScript()
    {
        std::string script = Path("capture_whoami.py");
        WriteFile(script, ReadFile(Script("capture_whoami.py")));
        chmod(work.c_str(), 0755);
        chmod(script.c_str(), 0644);
        return script;
    }

    // The final dictionaries of the flows the script saw expire.
    static std::vector<json> ExpiredFlows(const std::string &out)
    {
        std::vector<json> flows;
        for (auto &line : SplitLines(out)) {
            if (line.rfind("FLOW ", 0) == 0) flows.push_back(json::parse(line.substr(5)));
        }
        return flows;
    }
};

struct CompareCase
{
    std::string capture;
    std::string reference;  // the ndpiReader report to compare with
    int status;
    bool bytes;             // the report's bytes are this capture's
};

void PrintTo(const CompareCase &c, std::ostream *os) { *os << c.capture; }

class CompareWithNdpi : public Captures, public ::testing::WithParamInterface<CompareCase> { };

}  // namespace

TEST_P(CompareWithNdpi, EveryFlowAsNdpisReaderReportsIt)
{
    const CompareCase &c = GetParam();
    Result r = Run({"--script", Script("capture_flows.py"), Capture(c.capture)});
    ASSERT_EQ(r.status, c.status) << r.err;
    std::vector<json> ours = ExpiredFlows(r.out);
    std::vector<NdpiFlow> reference = ReadNdpi(Capture(c.reference));
    ASSERT_FALSE(reference.empty());

    size_t matched = 0;
    for (auto &theirs : reference) {
        SCOPED_TRACE(theirs.l4 + " " + theirs.client + " <-> " + theirs.server);
        const json *found = nullptr;
        bool client_is_lower = false;
        for (auto &flow : ours) {
            std::string lower = flow["lower_addr"].get<std::string>() + " " +
                std::to_string(flow["lower_port"].get<int>());
            std::string upper = flow["upper_addr"].get<std::string>() + " " +
                std::to_string(flow["upper_port"].get<int>());
            if (flow["ip_protocol"] != IpProtocol(theirs.l4)) continue;
            if ((lower == theirs.client && upper == theirs.server) ||
                (lower == theirs.server && upper == theirs.client)) {
                found = &flow;
                client_is_lower = lower == theirs.client;
            }
        }
        ASSERT_NE(found, nullptr) << "no such flow in:\n" << r.out;
        matched++;
        const json &flow = *found;
        const json &stats = flow["stats"];

        std::string protocol = std::to_string(flow["detected_protocol"].get<int>());
        if (flow["detected_application"] != flow["detected_protocol"])
            protocol += "." + std::to_string(flow["detected_application"].get<int>());
        EXPECT_EQ(protocol, theirs.protocol);

        EXPECT_EQ(stats[client_is_lower ? "lower_packets" : "upper_packets"], theirs.client_packets);
        EXPECT_EQ(stats[client_is_lower ? "upper_packets" : "lower_packets"], theirs.server_packets);
        if (c.bytes) {
            EXPECT_EQ(stats[client_is_lower ? "lower_bytes" : "upper_bytes"], theirs.client_bytes);
            EXPECT_EQ(stats[client_is_lower ? "upper_bytes" : "lower_bytes"], theirs.server_bytes);
        }
        EXPECT_EQ(flow["vlan_id"], theirs.vlan);

        // nDPI's reader shows an SSH client's agent where others show the host.
        std::string host = flow.contains("ssh") ? flow["ssh"]["client_agent"].get<std::string>()
                                                : flow["host_server_name"].get<std::string>();
        EXPECT_EQ(host, theirs.fields["Hostname/SNI"]);
        if (flow.contains("ssh")) {
            EXPECT_EQ(flow["ssh"]["server_agent"], theirs.fields["Server"]);
        }
        if (flow["detected_protocol"] == 5) {
            EXPECT_EQ(flow["dns_host_name"], theirs.fields["Hostname/SNI"]);
        }

        if (flow.contains("tls")) {
            const json &tls = flow["tls"];
            std::string alpn;
            for (auto &item : tls.value("alpn_client", json::array()))
                alpn += (alpn.empty() ? "" : ";") + item.get<std::string>();
            EXPECT_EQ(alpn, theirs.fields["ALPN"]);
            EXPECT_EQ(tls["client_ja3"], theirs.fields["JA3C"]);
            EXPECT_EQ(tls["server_ja3"], theirs.fields["JA3S"]);
            EXPECT_EQ(tls["client_sni"], theirs.fields["Hostname/SNI"]);
            EXPECT_EQ(tls["server_cn"], theirs.fields["ServerNames"]);
            EXPECT_EQ(tls["issuer_dn"], theirs.fields["Issuer"]);
            EXPECT_EQ(tls["subject_dn"], theirs.fields["Subject"]);
        }
        else {
            EXPECT_EQ(theirs.fields.count("JA3C"), 0u);
        }
        if (flow.contains("http")) {
            EXPECT_EQ(flow["http"]["url"], theirs.fields["URL"]);
            // One user agent is not UTF-8: its bad bytes arrive escaped.
            EXPECT_EQ(flow["http"]["user_agent"], Escaped(theirs.fields["User-Agent"]));
        }
        else {
            EXPECT_EQ(theirs.fields.count("URL"), 0u);
        }
        EXPECT_TRUE(flow["flags"]["expired"]);
        EXPECT_TRUE(flow["flags"]["detection_complete"]);
    }
    EXPECT_EQ(matched, ours.size()) << "flows that nDPI's reader does not report:\n" << r.out;
}

INSTANTIATE_TEST_SUITE_P(RealCaptures, CompareWithNdpi, ::testing::Values(
    CompareCase{"tls.pcap", "tls.pcap.ndpi.txt", 0, true},
    CompareCase{"http.pcap", "http.pcap.ndpi.txt", 0, true},
    CompareCase{"http.pcapng", "http.pcapng.ndpi.txt", 0, true},
    CompareCase{"http-sll.pcap", "http-sll.pcap.ndpi.txt", 0, true},
    CompareCase{"dns.pcap", "dns.pcap.ndpi.txt", 0, true},
    CompareCase{"dns-null.pcap", "dns-null.pcap.ndpi.txt", 0, true},
    CompareCase{"dns-raw.pcap", "dns-raw.pcap.ndpi.txt", 0, true},
    CompareCase{"ssh.pcap", "ssh.pcap.ndpi.txt", 0, true},
    CompareCase{"ipv6.pcap", "ipv6.pcap.ndpi.txt", 0, true},
    CompareCase{"mixed.pcap", "mixed.pcap.ndpi.txt", 0, true},
    // nDPI's reader refuses cooked v2; the same packets on Ethernet are the
    // reference (6 bytes more per packet here).
    CompareCase{"mixed-sll2.pcap", "mixed.pcap.ndpi.txt", 0, false},
    CompareCase{"vlan.pcap", "vlan.pcap.ndpi.txt", 0, true},
    CompareCase{"qinq.pcap", "qinq.pcap.ndpi.txt", 0, true},
    CompareCase{"frag.pcap", "frag.pcap.ndpi.txt", 0, true},
    CompareCase{"mixed-cut.pcap", "mixed-cut.pcap.ndpi.txt", 2, true}),
    [](const ::testing::TestParamInfo<CompareCase> &info) {
        std::string name;
        for (char ch : info.param.capture) name += isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
        return name;
    });

using namespace frames;

// Files that are no capture this host reads are refused before the plugin
// starts.
TEST_F(Captures, FilesThatAreNoUsableCaptureAreRefused)
{
    struct Case
    {
        std::string name;
        std::string content;
        std::string message;  // after "qpp-replay: " and the file's name
    };
    const std::vector<Case> cases = {
        {"junk.bin", std::string("\x7f" "ELF\x02\x01\x01\0\0\0\0\0", 12),
            " is neither JSON Lines nor a capture (pcap or pcapng): it starts with binary data\n"},
        {"wifi.pcap", Pcap(105, {{0, Bytes(30, 0)}}),
            ": its link type 105 (IEEE802_11) is not one this host decodes"},
        {"bad.pcap", std::string("\xd4\xc3\xb2\xa1\x09\x00", 6), ": "},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::string file = Path(c.name);
        WriteFile(file, c.content);
        Result r = Run({"--script", Script("capture_flows.py"), file});
        EXPECT_EQ(r.status, 2);
        std::string prefix = c.name == "junk.bin" ? "qpp-replay: " : "qpp-replay: cannot read the capture ";
        EXPECT_THAT(r.err, HasSubstr(prefix + file + c.message));
        EXPECT_EQ(r.out, "") << "refused before the plugin starts";
    }
}

// Everything before the cut is delivered and every flow expires as at the
// end of a capture; then the message names the record, and the exit is 2.
TEST_F(Captures, ACaptureCutInARecordDeliversAllBeforeThenSaysWhere)
{
    Result r = Run({"--script", Script("capture_flows.py"), Capture("mixed-cut.pcap")});
    EXPECT_EQ(r.status, 2);
    EXPECT_THAT(r.err, HasSubstr(Capture("mixed-cut.pcap") + ": the capture breaks off in record 78 "
        "(77 complete records were read): truncated dump file"));
    std::set<std::string> begun, expired;
    std::vector<std::string> lines = SplitLines(r.out);
    for (auto &line : lines) {
        if (line.rfind("EVENT 2 ", 0) == 0) begun.insert(line.substr(8));
        if (line.rfind("EVENT 7 ", 0) == 0) expired.insert(line.substr(8));
    }
    EXPECT_EQ(begun.size(), 8u);
    EXPECT_EQ(begun, expired);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "AGENT 99");
}

TEST_F(Captures, EachFlowBeginsWithNewAndEndsWithExpiringExpired)
{
    Result r = Run({"--script", Script("capture_flows.py"), Capture("mixed.pcap")});
    ASSERT_EQ(r.status, 0) << r.err;
    std::map<std::string, std::vector<int>> events;
    std::vector<std::string> agents;
    for (auto &line : SplitLines(r.out)) {
        char digest[64];
        int event;
        if (sscanf(line.c_str(), "EVENT %d %63s", &event, digest) == 2) events[digest].push_back(event);
        if (line.rfind("AGENT", 0) == 0 || line.rfind("MAP", 0) == 0) agents.push_back(line);
    }
    ASSERT_EQ(events.size(), 10u);
    for (auto &flow : events) {
        const std::vector<int> &e = flow.second;
        SCOPED_TRACE(flow.first);
        ASSERT_GE(e.size(), 4u);
        EXPECT_EQ(e.front(), 2);
        EXPECT_EQ(e.back(), 7);
        EXPECT_EQ(std::count(e.begin(), e.end(), 4), 1) << "detection completes once";
        EXPECT_EQ(std::count(e.begin(), e.end(), 6), 1);
        EXPECT_EQ(std::count(e.begin(), e.end(), 7), 1);
    }
    // The capture lasts seconds: one update, the last, before the flows
    // expire at its end; the unload notice last of all.
    EXPECT_EQ(agents, (std::vector<std::string>{"AGENT 11", "MAP 10", "AGENT 12", "AGENT 99"}));
}

TEST_F(Captures, TheUpdateIntervalIsCaptureTime)
{
    // tls.pcap spans 0.34 s: every 50 ms of it is an update.
    Result r = Run({"--script", Script("capture_flows.py"), "--update-interval", "0.05",
        Capture("tls.pcap")});
    ASSERT_EQ(r.status, 0) << r.err;
    size_t updates = 0;
    for (auto &line : SplitLines(r.out)) updates += line == "AGENT 11";
    EXPECT_GE(updates, 6u);
    EXPECT_LE(updates, 9u);
}

TEST_F(Captures, FilterAndCountChooseThePackets)
{
    Result udp = Run({"--script", Script("capture_flows.py"), "--filter", "udp",
        Capture("mixed.pcap")});
    ASSERT_EQ(udp.status, 0) << udp.err;
    for (auto &flow : ExpiredFlows(udp.out)) EXPECT_EQ(flow["ip_protocol"], 17);
    EXPECT_EQ(ExpiredFlows(udp.out).size(), 4u);
    EXPECT_THAT(udp.err, HasSubstr(": 8 packets, 8 in 4 flows; skipped: none\n"));

    Result four = Run({"--script", Script("capture_flows.py"), "--count", "4",
        Capture("mixed.pcap")});
    ASSERT_EQ(four.status, 0) << four.err;
    uint64_t packets = 0;
    for (auto &flow : ExpiredFlows(four.out)) packets += flow["stats"]["total_packets"].get<uint64_t>();
    EXPECT_EQ(packets, 4u);

    Result bad = Run({"--script", Script("capture_flows.py"), "--filter", "no such thing",
        Capture("mixed.pcap")});
    EXPECT_EQ(bad.status, 2);
    EXPECT_THAT(bad.err, HasSubstr("qpp-replay: bad --filter \"no such thing\": "));
}

// Packets the decoder cannot track are counted by reason and skipped; the
// good ones around them make their flow.
TEST_F(Captures, BadPacketsAreCountedAndSkipped)
{
    Bytes udp_a = Ethernet(0x0800, Ipv4(A, B, 17, Cat(UdpHeader(1000, 2000, 4), Text("ping"))));
    Bytes udp_b = Ethernet(0x0800, Ipv4(B, A, 17, Cat(UdpHeader(2000, 1000, 4), Text("pong"))));
    std::vector<Record> records = {
        {1000000, udp_a},
        {1000100, Ethernet(0x0800, Ipv4(A, B, 17, UdpHeader(1, 2, 0), 1400))},  // lying length
        {1000200, Bytes(10, 0xff)},                                             // cut link header
        {1000300, Bytes(udp_a.begin(), udp_a.begin() + 30), static_cast<uint32_t>(udp_a.size())},  // snapshot cut
        {1000400, Ethernet(0x0806, Bytes(28, 0))},                              // ARP
        {1000500, Ethernet(0x0800, Ipv4(A, B, 17, Text("fragment"), -1, 99))},  // later fragment
        {1000600, udp_b},
    };
    std::string file = Path("bad-packets.pcap");
    WriteFile(file, Pcap(1, records));
    Result r = Run({"--script", Script("capture_flows.py"), file});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.err, HasSubstr("qpp-replay: " + file + ": 7 packets, 2 in 1 flows; skipped: "
        "2 truncated, 1 malformed, 1 not IP, 1 fragments\n"));
    std::vector<json> flows = ExpiredFlows(r.out);
    ASSERT_EQ(flows.size(), 1u);
    EXPECT_EQ(flows[0]["stats"]["lower_packets"], 1);
    EXPECT_EQ(flows[0]["stats"]["upper_packets"], 1);
    EXPECT_EQ(flows[0]["lower_addr"], "10.0.0.1");
    EXPECT_EQ(flows[0]["first_seen_at"], 1000);
    EXPECT_EQ(flows[0]["iface"]["name"], "bad-packets.pcap");
}

TEST_F(Captures, TimeoutsExpireIdleFlowsInCaptureTime)
{
    // mixed.pcap's flows are seconds apart; with one millisecond of UDP
    // timeout, each DNS flow expires at the first check after it.
    Result r = Run({"--script", Script("capture_flows.py"), "--idle-timeout", "udp=0.001",
        Capture("mixed.pcap")});
    ASSERT_EQ(r.status, 0) << r.err;
    size_t udp_before_update = 0;
    for (auto &flow : ExpiredFlows(r.out.substr(0, r.out.find("AGENT 11\n"))))
        udp_before_update += flow["ip_protocol"] == 17;
    EXPECT_GE(udp_before_update, 3u) << r.out;
}

// Sends datagrams to 127.0.0.1:port from a child process: at most 200, 50 ms
// apart (ten seconds), then it stops by itself.
pid_t Sender(int port)
{
    pid_t sender = fork();
    if (sender != 0) return sender;
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int i = 0; i < 200; i++) {
        sendto(fd, "live", 4, 0, reinterpret_cast<sockaddr *>(&to), sizeof(to));
        usleep(50000);
    }
    _exit(0);
}

// Live capture on the loopback interface: root opens it, the script runs as
// the user --user names (nobody by default). Traffic goes to 127.0.0.1 only,
// bounded in count and time.
TEST_F(Captures, LiveCaptureGivesUpRootBeforeTheScriptRuns)
{
    if (geteuid() != 0) {
        Result r = Run({"--script", Script("capture_whoami.py"), "--interface", "lo", "--count", "1"});
        EXPECT_EQ(r.status, 2);
        EXPECT_THAT(r.err, HasSubstr("qpp-replay: cannot capture on lo: permission denied; "
            "live capture needs root, or the capabilities CAP_NET_RAW and CAP_NET_ADMIN"));
        return;
    }
    std::string script = ReadableScript();
    int port = 20000 + getpid() % 20000;
    pid_t sender = Sender(port);
    ASSERT_GE(sender, 0);
    Result r = Run({"--script", script, "--interface", "lo", "--filter",
        "udp and dst host 127.0.0.1 and dst port " + std::to_string(port), "--count", "3",
        "--duration", "9"});
    kill(sender, SIGTERM);
    waitpid(sender, nullptr, 0);
    // Root in a container without the capture capabilities is refused.
    if (r.status == 2 && r.err.find("permission denied") != std::string::npos) GTEST_SKIP() << r.err;
    // An interpreter installed where nobody cannot read (a build against
    // a Python under /root) cannot be loaded once root is given up.
    if (r.status == 2 && r.err.find("cannot load the plugin") != std::string::npos)
        GTEST_SKIP() << "the embedded Python is not readable by nobody: " << r.err;
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("uid 65534\n"));
    EXPECT_THAT(r.out, HasSubstr("expired 127.0.0.1 3 packets\n"));
    EXPECT_THAT(r.err, HasSubstr("qpp-replay: lo: 3 packets, 3 in 1 flows; skipped: none\n"));
}

TEST_F(Captures, LiveCaptureFailuresSayWhatIsMissing)
{
    Result none = Run({"--script", Script("capture_whoami.py"), "--interface", "nosuch0", "--count", "1"});
    EXPECT_EQ(none.status, 2);
    if (geteuid() == 0) {
        EXPECT_THAT(none.err, HasSubstr("qpp-replay: cannot capture on nosuch0: no such interface\n"));
        Result user = Run({"--script", Script("capture_whoami.py"), "--interface", "lo",
            "--count", "1", "--user", "nosuchuser"});
        EXPECT_EQ(user.status, 2);
        EXPECT_THAT(user.err, HasSubstr("qpp-replay: cannot give up root: there is no user "
            "nosuchuser"));
    }
    Result both = Run({"--script", Script("capture_whoami.py"), "--interface", "lo",
        Capture("dns.pcap")});
    EXPECT_EQ(both.status, 2);
    EXPECT_THAT(both.err, HasSubstr("qpp-replay: give either INPUT or --interface, not both\n"));
}

// Ctrl-C ends a live capture as the end of a file does: the flows expire
// with what they counted, the plugin stops, the exit is clean.
TEST_F(Captures, InterruptEndsALiveCaptureWithEveryFlowExpired)
{
    if (geteuid() != 0) GTEST_SKIP() << "live capture needs root";
    std::string script = ReadableScript();
    int port = 20000 + (getpid() + 7) % 20000;
    // Root is kept: giving it up is another test's point, and an
    // interpreter under /root could not be loaded without it.
    pid_t tool = Spawn({"--script", script, "--interface", "lo", "--user", "root",
        "--filter", "udp and dst host 127.0.0.1 and dst port " + std::to_string(port),
        "--duration", "20"});
    ASSERT_GT(tool, 0);
    // The script is loaded once the interface is open: from then on every
    // datagram is captured. Wait for that, then for the capture's summary of
    // some packets to be due, with a deadline.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (ReadFile(Path("stdout")).find("uid ") == std::string::npos && ReadFile(Path("stderr")).empty() &&
        std::chrono::steady_clock::now() < deadline)
        usleep(20000);
    pid_t sender = Sender(port);
    ASSERT_GE(sender, 0);
    // Five datagrams are on their way once a quarter of a second has passed.
    auto sent = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    while (std::chrono::steady_clock::now() < sent) usleep(20000);
    kill(tool, SIGINT);
    Result r = Wait(tool);
    kill(sender, SIGTERM);
    waitpid(sender, nullptr, 0);
    if (r.status == 2 && r.err.find("permission denied") != std::string::npos) GTEST_SKIP() << r.err;
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("expired 127.0.0.1 "));
    EXPECT_THAT(r.err, HasSubstr("qpp-replay: lo: "));
}

// nDPI's reader does not decode an 802.1ad outer tag; this host does, and
// finds the exchange that qinq.pcap holds with two 802.1Q tags.
TEST_F(Captures, An8021adOuterTagIsDecoded)
{
    Result r = Run({"--script", Script("capture_flows.py"), Capture("qinq-8021ad.pcap")});
    ASSERT_EQ(r.status, 0) << r.err;
    std::set<std::string> urls;
    for (auto &flow : ExpiredFlows(r.out)) {
        EXPECT_EQ(flow["vlan_id"], 300);
        if (flow.contains("http")) urls.insert(flow["http"]["url"].get<std::string>());
    }
    EXPECT_EQ(urls, (std::set<std::string>{"www.example.test:48080/docs/index.html?vlan=3",
        "[2001:db8:100::2]:48080/docs/?vlan6=3"}));
    EXPECT_THAT(r.err, HasSubstr(": 33 packets, 31 in 9 flows; skipped: 2 not IP\n"));
}
