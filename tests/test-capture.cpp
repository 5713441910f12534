// qpp-replay on captures, as its users run it: the built tool in a process of
// its own, on the real captures of tests/captures and on captures built byte
// by byte. What a script sees of each real flow is compared with the report
// of nDPI's own reader beside the capture (FILE.ndpi.txt).

#include <algorithm>
#include <chrono>
#include <arpa/inet.h>
#include <csignal>
#include <cstring>
#include <iostream>
#include <map>
#include <net/if.h>
#include <netinet/in.h>
#include <regex>
#include <sched.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <tuple>
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

// What a script sees of a header that is not UTF-8 ("backslashreplace": the
// one such user agent here holds no valid multi-byte sequence).
std::string Escaped(const std::string &text)
{
    std::string out;
    char escape[5];
    for (unsigned char c : text) out += c < 0x80 ? std::string(1, c) : (snprintf(escape, 5, "\\x%02x", c), escape);
    return out;
}

// One flow as nDPI's reader reports it: "client <-> server", the endpoints
// written "address port"; counts of the client, then of the server.
struct NdpiFlow
{
    std::string l4, client, server, protocol;  // protocol "91" or "7.126"
    int vlan = 0;
    uint64_t packets[2] = {0, 0}, bytes[2] = {0, 0};
    std::map<std::string, std::string> fields = {};  // "Hostname/SNI" and the rest
};

std::vector<NdpiFlow> ReadNdpi(const std::string &path)
{
    // Endpoints "127.0.0.1:80" or "[::1]:80": the port is the digits before the space.
    static const std::regex head(R"(^\t\d+\t(\S+) \[?(\S+?)\]?:(\d+) (?:<->|->) \[?(\S+?)\]?:(\d+) )"
        R"((?:\[VLAN: (\d+)\])?\[proto: ([0-9.]+)/.*?\[(\d+) pkts/(\d+) bytes (?:<->|->) (\d+) pkts/(\d+) bytes\])");
    std::vector<NdpiFlow> flows;
    for (auto &line : SplitLines(ReadFile(path))) {
        std::smatch m;
        if (! std::regex_search(line, m, head)) continue;
        NdpiFlow flow{m[1], m.str(2) + " " + m.str(3), m.str(4) + " " + m.str(5), m[7],
            m[6].matched ? std::stoi(m[6]) : 0, {std::stoull(m[8]), std::stoull(m[10])},
            {std::stoull(m[9]), std::stoull(m[11])}};
        // A value may hold ']' (an IPv6 URL): it ends where the next field begins.
        static const std::regex field(R"(\[(Hostname/SNI|ALPN|JA3C|JA3S|URL|User-Agent|Server|ServerNames|)"
                                      R"(Issuer|Subject): (.*?)\](?=\[|$))");
        for (std::sregex_iterator f(line.begin(), line.end(), field), end; f != end; ++f)
            flow.fields.emplace((*f)[1], (*f)[2]);
        flows.push_back(flow);
    }
    return flows;
}

// The dictionaries of the flows that capture_flows.py saw expire.
std::vector<json> ExpiredFlows(const std::string &out)
{
    std::vector<json> flows;
    for (auto &line : SplitLines(out))
        if (line.rfind("FLOW ", 0) == 0) flows.push_back(json::parse(line.substr(5)));
    return flows;
}

class Captures : public ToolTest
{
protected:
    // qpp-replay with capture_flows.py (its head says what it prints).
    Result RunFlows(std::vector<std::string> args)
    {
        args.insert(args.begin(), {"--script", Script("capture_flows.py")});
        return Run(args);
    }
};

struct CompareCase
{
    std::string capture, err;    // err: after the capture's path and ": "
    int status = 0;
    std::string reference = "";  // another capture's report (then its bytes are not these)
};

void PrintTo(const CompareCase &c, std::ostream *os) { *os << c.capture; }

// Each capture with its script in the tool's process and in a runner.
class CompareWithNdpi : public Captures,
                        public ::testing::WithParamInterface<std::tuple<CompareCase, const char *>>
{
};

}  // namespace

TEST_P(CompareWithNdpi, EveryFlowAsNdpisReaderReportsIt)
{
    const CompareCase &c = std::get<0>(GetParam());
    std::string isolation = std::get<1>(GetParam());
    // A runner that becomes nobody must be able to read its Python.
    if (isolation == "process" && std::string(QPP_TEST_RUNNER_USER) != "nobody")
        GTEST_SKIP() << "nobody cannot read this Python";
    Result r = RunFlows({"--isolation", isolation, Capture(c.capture)});
    ASSERT_EQ(r.status, c.status) << r.err;
    EXPECT_THAT(r.err, HasSubstr(Capture(c.capture) + ": " + c.err));
    std::vector<json> ours = ExpiredFlows(r.out);
    std::vector<NdpiFlow> reference = ReadNdpi(Capture((c.reference.empty() ? c.capture : c.reference) + ".ndpi.txt"));
    ASSERT_FALSE(reference.empty());

    // Each flow begins with new, completes its detection once, and expires;
    // the capture's end brings one update, the last, then the unload notice.
    std::map<std::string, std::vector<int>> events;
    std::vector<std::string> agents;
    for (auto &line : SplitLines(r.out)) {
        char digest[64];
        int event;
        if (sscanf(line.c_str(), "EVENT %d %63s", &event, digest) == 2) events[digest].push_back(event);
        if (line.rfind("AGENT", 0) == 0 || line.rfind("MAP", 0) == 0) agents.push_back(line);
    }
    EXPECT_EQ(agents, (std::vector<std::string>{"AGENT 11", "MAP " + std::to_string(reference.size()),
        "AGENT 12", "AGENT 99"}));
    EXPECT_EQ(events.size(), reference.size());
    EXPECT_EQ(ours.size(), reference.size()) << r.out;

    const std::map<std::string, int> ip_protocols = {{"TCP", 6}, {"UDP", 17}, {"ICMP", 1}, {"ICMPV6", 58}};
    auto endpoint = [](const json &flow, const std::string &side) {
        return flow[side + "_addr"].get<std::string>() + " " + flow[side + "_port"].dump();
    };
    for (auto &theirs : reference) {
        SCOPED_TRACE(theirs.l4 + " " + theirs.client + " <-> " + theirs.server);
        auto found = std::find_if(ours.begin(), ours.end(), [&](const json &flow) {
            std::string lower = endpoint(flow, "lower"), upper = endpoint(flow, "upper");
            return flow["ip_protocol"] == ip_protocols.at(theirs.l4) &&
                ((lower == theirs.client && upper == theirs.server) ||
                 (lower == theirs.server && upper == theirs.client));
        });
        ASSERT_NE(found, ours.end()) << "no such flow in:\n" << r.out;
        const json &flow = *found;
        const std::vector<int> &e = events[flow["digest_lower"]];
        ASSERT_FALSE(e.empty());
        EXPECT_EQ(e.front(), 2);
        EXPECT_EQ(e.back(), 7);
        for (int once : {2, 4, 6, 7}) EXPECT_EQ(std::count(e.begin(), e.end(), once), 1) << once;
        // nDPI's guess for a flow that closed before it was named comes before it expires.
        EXPECT_LT(std::find(e.begin(), e.end(), 4) - e.begin(), std::find(e.begin(), e.end(), 6) - e.begin());
        EXPECT_TRUE(flow["flags"]["expired"]);
        EXPECT_TRUE(flow["flags"]["detection_complete"]);
        EXPECT_EQ(flow["iface"]["name"], c.capture);

        std::string protocol = flow["detected_protocol"].dump();
        if (flow["detected_application"] != flow["detected_protocol"])
            protocol += "." + flow["detected_application"].dump();
        EXPECT_EQ(protocol, theirs.protocol);
        EXPECT_EQ(flow["vlan_id"], theirs.vlan);
        bool client_is_lower = endpoint(flow, "lower") == theirs.client;
        for (int side : {0, 1}) {
            std::string ours_side = (side == 0) == client_is_lower ? "lower" : "upper";
            EXPECT_EQ(flow["stats"][ours_side + "_packets"], theirs.packets[side]);
            if (c.reference.empty()) {
                EXPECT_EQ(flow["stats"][ours_side + "_bytes"], theirs.bytes[side]);
            }
        }

        // nDPI's reader shows an SSH client's agent where others show the host.
        auto &fields = theirs.fields;
        EXPECT_EQ(flow.contains("ssh") ? flow["ssh"]["client_agent"] : flow["host_server_name"],
            fields["Hostname/SNI"]);
        if (flow.contains("ssh")) {
            EXPECT_EQ(flow["ssh"]["server_agent"], fields["Server"]);
        }
        if (flow["detected_protocol"] == 5) {
            EXPECT_EQ(flow["dns_host_name"], fields["Hostname/SNI"]);
        }
        EXPECT_EQ(flow.contains("tls"), fields.count("JA3C") == 1);
        if (flow.contains("tls")) {
            const json &tls = flow["tls"];
            std::string alpn;
            for (auto &item : tls.value("alpn_client", json::array()))
                alpn += (alpn.empty() ? "" : ";") + item.get<std::string>();
            EXPECT_EQ(alpn, fields["ALPN"]);
            for (auto &[key, field] : std::map<std::string, std::string>{{"client_ja3", "JA3C"},
                     {"server_ja3", "JA3S"}, {"client_sni", "Hostname/SNI"}, {"server_cn", "ServerNames"},
                     {"issuer_dn", "Issuer"}, {"subject_dn", "Subject"}})
                EXPECT_EQ(tls[key], fields[field]) << key;
        }
        EXPECT_EQ(flow.contains("http"), fields.count("URL") == 1);
        if (flow.contains("http")) {
            EXPECT_EQ(flow["http"]["url"], fields["URL"]);
            EXPECT_EQ(flow["http"]["user_agent"], Escaped(fields["User-Agent"]));
        }
    }
}

// Cut in a record (mixed-cut.pcap): all before it is delivered, every flow
// expires as at the end of a capture, then the message names the record.
// nDPI's reader refuses cooked v2: the same packets on Ethernet are the reference.
INSTANTIATE_TEST_SUITE_P(RealCaptures, CompareWithNdpi, ::testing::Combine(::testing::ValuesIn(std::vector<CompareCase>{
    {"tls.pcap", "36 packets, 36 in 2 flows; skipped: none\n"},
    {"http.pcap", "24 packets, 24 in 2 flows; skipped: none\n"},
    {"http.pcapng", "24 packets, 24 in 2 flows; skipped: none\n"},
    {"http-sll.pcap", "24 packets, 24 in 2 flows; skipped: none\n"},
    {"dns.pcap", "4 packets, 4 in 2 flows; skipped: none\n"},
    {"dns-null.pcap", "4 packets, 4 in 2 flows; skipped: none\n"},
    {"dns-raw.pcap", "4 packets, 4 in 2 flows; skipped: none\n"},
    {"ssh.pcap", "42 packets, 42 in 1 flows; skipped: none\n"},
    {"ipv6.pcap", "20 packets, 20 in 2 flows; skipped: none\n"},
    {"mixed.pcap", "128 packets, 128 in 10 flows; skipped: none\n"},
    {"mixed-sll2.pcap", "128 packets, 128 in 10 flows; skipped: none\n", 0, "mixed.pcap"},
    {"vlan.pcap", "33 packets, 31 in 9 flows; skipped: 2 not IP\n"},
    {"qinq.pcap", "32 packets, 30 in 8 flows; skipped: 2 not IP\n"},
    {"frag.pcap", "33 packets, 23 in 11 flows; skipped: 2 not IP, 8 fragments\n"},
    {"mixed-cut.pcap", "the capture breaks off in record 78 (77 complete records were read): "
        "truncated dump file", 2}}), ::testing::Values("interpreter", "process")),
    [](const ::testing::TestParamInfo<std::tuple<CompareCase, const char *>> &info) {
        std::string name;
        for (char ch : std::get<0>(info.param).capture) name += isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
        return name + "_" + std::get<1>(info.param);
    });

using namespace frames;
using namespace std::chrono_literals;

constexpr uint64_t S = 1000000;  // one second in microseconds

// What the options and the decoder let through, in capture time: the summary
// counts it, and a line of the script's output comes so often. Inputs,
// options and interfaces the tool cannot use are refused with exit status 2
// before the plugin starts: no output at all.
TEST_F(Captures, OptionsAndDecodingChooseWhatIsTrackedOrRefuse)
{
    // Packets the decoder cannot track are counted by reason and skipped;
    // the good ones around them make their flow.
    Bytes udp_a = Ethernet(0x0800, Ipv4(A, B, 17, Cat({UdpHeader(1000, 2000, 4), Text("ping")})));
    Bytes udp_b = Ethernet(0x0800, Ipv4(B, A, 17, Cat({UdpHeader(2000, 1000, 4), Text("pong")})));
    std::string packets = Path("bad-packets.pcap"), junk = Path("junk.bin"), wifi = Path("wifi.pcap"),
        bad = Path("bad.pcap"), mixed = Capture("mixed.pcap"), tls = Capture("tls.pcap"),
        qinq = Capture("qinq-8021ad.pcap");
    WriteFile(packets, Pcap(1, {
        {1000000, udp_a},
        {1000100, Ethernet(0x0800, Ipv4(A, B, 17, UdpHeader(1, 2, 0), 1400))},  // lying length
        {1000200, Bytes(10, 0xff)},                                             // cut link header
        {1000300, Bytes(udp_a.begin(), udp_a.begin() + 30), static_cast<uint32_t>(udp_a.size())},  // snapshot cut
        {1000400, Ethernet(0x0806, Bytes(28, 0))},                              // ARP
        {1000500, Ethernet(0x0800, Ipv4(A, B, 17, Text("fragment"), -1, 99))},  // later fragment
        {1000600, udp_b},
    }));
    WriteFile(junk, std::string("\x7f" "ELF\x02\x01\x01\0\0\0\0\0", 12));
    WriteFile(wifi, Pcap(105, {{0, Bytes(30, 0)}}));
    WriteFile(bad, std::string("\xd4\xc3\xb2\xa1\x09\x00", 6));
    // Time: a record stamped before the first ends no --duration; seconds
    // from 2038 on (32 unsigned bits in a pcap file) keep the flows apart,
    // the first expiring before the second begins. The table's flows: the
    // first 4096 events make the host wait for the script.
    auto udp = [](uint16_t port) { return Ethernet(0x0800, Ipv4(A, B, 17, Cat({UdpHeader(port, 53, 4), Text("ping")}))); };
    std::string backwards = Path("backwards.pcap"), late = Path("2038.pcap"), many = Path("many.pcap"), fifo = Path("fifo"),
        dns = Capture("dns.pcap");
    WriteFile(backwards, Pcap(1, {{1000 * S, udp(1)}, {999 * S, udp(1)}, {1100 * S, udp(2)}}));
    WriteFile(late, Pcap(1, {{(uint64_t(1) << 31) * S, udp(1)}, {((uint64_t(1) << 31) + 100) * S, udp(2)}}));
    std::vector<Record> records;
    for (uint16_t port = 1; port <= 4200; port++) records.push_back({1000 * S + port * 1000, udp(port)});
    WriteFile(many, Pcap(1, records));
    mkfifo(fifo.c_str(), 0600);
    // Readable by root alone once the run has given root up for nobody.
    std::string own = Path("own.py");
    WriteFile(own, "");
    // 5000 flows in every update, each update's flow map too large for the
    // queue to hold more than two: a file waits for the script by the bytes
    // queued, so that none is dropped; a bound below one map drops them all.
    std::string crowd = Path("crowd.pcap");
    std::vector<Record> crowd_records;
    for (uint64_t i = 0; i < 5030; i++) {
        uint16_t port = static_cast<uint16_t>(i < 5000 ? 1024 + i : 1024);
        crowd_records.push_back({i < 5000 ? 1000000 + 10 * i : (i - 4999) * 1000000 + 1000000,
            Ethernet(0x0800, Ipv4(A, B, 17, Cat({UdpHeader(port, 53, 4), Text("ping")})))});
    }
    WriteFile(crowd, Pcap(1, crowd_records));
    enum Who { ANYONE, ROOT, NOT_ROOT };
    struct Case
    {
        std::vector<std::string> args;
        int status;
        std::string err, line = "";
        long times = 0;
        Who who = ANYONE;
        std::string in = "/dev/null", out = "";  // standard input (the fifo is fed dns.pcap) and output
    };
    const std::vector<Case> cases = {
        {{packets}, 0, packets + ": 7 packets, 2 in 1 flows; skipped: 2 truncated, 1 malformed, 1 not IP, "
            "1 fragments\n", "MAP 1", 1},
        {{"--filter", "udp", mixed}, 0, mixed + ": 8 packets, 8 in 4 flows; skipped: none\n", "MAP 4", 1},
        {{"--count", "4", mixed}, 0, mixed + ": 4 packets, 4 in 1 flows; skipped: none\n", "MAP 1", 1},
        // tls.pcap spans 0.34 s: every 50 ms of it is an update.
        {{"--update-interval", "0.05", tls}, 0, tls + ": 36 packets, 36 in 2 flows; skipped: none\n", "AGENT 11", 7},
        // Three of mixed.pcap's four DNS flows are idle long before its end.
        {{"--idle-timeout", "udp=0.001", mixed}, 0, mixed + ": 128 packets, 128 in 10 flows; skipped: none\n",
            "MAP 7", 1},
        // nDPI's reader does not decode an 802.1ad outer tag (its report says
        // nothing); this host does, and finds the flows of qinq.pcap's exchange.
        {{qinq}, 0, qinq + ": 33 packets, 31 in 9 flows; skipped: 2 not IP\n", "MAP 9", 1},
        {{"--queue-max-bytes", "1000000", "--update-interval", "1", "--idle-timeout", "udp=100000", crowd}, 0,
            "5030 packets, 5030 in 5000 flows; skipped: none\nqpp-replay: 20093 events served, 0 callback errors", "MAP 5000", 31},
        {{"--queue-max-bytes", "100000", "--update-interval", "1", "--idle-timeout", "udp=100000", crowd}, 0, " dropped, 0 callback errors", "MAP 5000", 0},
        {{junk}, 2, "qpp-replay: " + junk + " is neither JSON Lines nor a capture (pcap or pcapng): "
            "it starts with binary data\n"},
        {{wifi}, 2, "qpp-replay: cannot read the capture " + wifi + ": its link type 105 "
            "(IEEE802_11) is not one this host decodes"},
        {{bad}, 2, "qpp-replay: cannot read the capture " + bad + ": "},
        {{"--filter", "no such thing", mixed}, 2, "qpp-replay: bad --filter \"no such thing\": "},
        {{"--interface", "lo", Capture("dns.pcap")}, 2, "qpp-replay: give either INPUT or --interface, not both\n"},
        {{"--interface", "lo", "--count", "1"}, 2, "qpp-replay: cannot capture on lo: permission denied; live "
            "capture needs root, or the capabilities CAP_NET_RAW and CAP_NET_ADMIN", "", 0, NOT_ROOT},
        {{"--interface", "nosuch0", "--count", "1"}, 2, "qpp-replay: cannot capture on nosuch0: no such interface\n",
            "", 0, ROOT},
        {{"--interface", "lo", "--count", "1", "--user", "nosuchuser"}, 2,
            "qpp-replay: cannot give up root: there is no user nosuchuser", "", 0, ROOT},
        {{"--interface", "lo", "--count", "1", "--script", own}, 2, "qpp-replay: cannot read the script " + own +
            ": Permission denied (since the capture was opened, the run has the rights of the user nobody)\n", "", 0, ROOT},
        // Captures are known by their first bytes from any stream.
        {{}, 0, "qpp-replay: standard input: 4 packets, 4 in 2 flows; skipped: none\n", "MAP 2", 1, ANYONE, dns},
        {{fifo}, 0, fifo + ": 4 packets, 4 in 2 flows; skipped: none\n", "MAP 2", 1},
        {{"--duration", "200", backwards}, 0, backwards + ": 3 packets, 3 in 2 flows; skipped: none\n", "MAP 1", 3},
        // Updates at 15 and 30 s of the first flow, then one for the second.
        {{late}, 0, late + ": 2 packets, 2 in 2 flows; skipped: none\n", "MAP 1", 3},
        {{many}, 0, many + ": 4200 packets, 4200 in 4200 flows; skipped: none\n", "MAP 4200", 1},
        // Output lost before the first record: nothing more is read.
        {{many}, 2, many + ": 0 packets, 0 in 0 flows; skipped: none\n", "", 0, ANYONE, "/dev/null", "/dev/full"},
        {{"--user", "nosuchuser", mixed}, 2, "qpp-replay: cannot give up root: there is no user nosuchuser", "", 0, ROOT},
    };
    for (auto &c : cases) {
        if (c.who != ANYONE && (c.who == ROOT) != (geteuid() == 0)) continue;
        SCOPED_TRACE(c.err);
        std::thread feeder;
        if (! c.args.empty() && c.args[0] == fifo) feeder = std::thread([&] { WriteFile(fifo, ReadFile(dns)); });
        std::vector<std::string> args = c.args;
        args.insert(args.begin(), {"--script", Script("capture_flows.py")});
        Result r = Wait(Spawn(args, c.in, false, c.out));
        if (feeder.joinable()) feeder.join();
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_THAT(r.err, HasSubstr(c.err));
        EXPECT_EQ(r.out.empty(), c.status == 2) << r.out;
        std::vector<std::string> lines = SplitLines(r.out);
        EXPECT_EQ(std::count(lines.begin(), lines.end(), c.line), c.times) << r.out;
    }
}

// Who the script runs as: the user --user names, with its groups, for a file
// as for an interface; and never with a capability, whether the tool was
// started by root or by a user given CAP_NET_RAW and CAP_NET_ADMIN (setpriv
// plays the user whom the docs tell to use them instead of root). The script
// sends the datagram that the live capture waits for.
TEST_F(Captures, ScriptsRunWithoutPrivileges)
{
    if (geteuid() != 0) GTEST_SKIP() << "needs root to play the users";
    int port = 20000 + getpid() % 20000;
    std::string script = Path("who.py"), groups = Path("group");
    WriteFile(script, R"(import os, socket, qpp
socket.socket(socket.AF_INET, socket.SOCK_DGRAM).sendto(b"who", ("127.0.0.1", )" + std::to_string(port) + R"())
status = dict(line.split(":\t", 1) for line in open("/proc/thread-self/status").read().splitlines() if ":\t" in line)
caps = " ".join(str(int(status[key], 16)) for key in ("CapInh", "CapPrm", "CapEff", "CapAmb"))
qpp.print("uid %d gid %d caps %s bnd %s groups %s\n" % (os.geteuid(), os.getegid(), caps,
    "none" if int(status["CapBnd"], 16) == 0 else "some", sorted(os.getgroups())))
)");
    // nobody in a group of its own, in a group database that only the tool sees.
    WriteFile(groups, ReadFile("/etc/group") + "qpp-test:x:4242:nobody\n");
    chmod(work.c_str(), 0755);
    chmod(script.c_str(), 0644);
    std::vector<std::string> capable = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
        "--inh-caps=+net_raw,+net_admin", "--ambient-caps=+net_raw,+net_admin"};
    std::vector<std::string> grouped = {"/usr/bin/unshare", "--mount", "sh", "-c", "mount --bind " + groups + " /etc/group && exec \"$@\"", "sh"};
    std::string file = Capture("dns.pcap");
    std::vector<std::string> live = {"--interface", "lo", "--count", "1", "--filter", "udp and dst port " + std::to_string(port)};
    struct Case { std::vector<std::string> launcher, args; int status; std::string seen; };
    const std::vector<Case> cases = {
        {{}, {file}, 0, "uid 0 gid 0 caps 0 0 0 0 bnd none"},
        {{}, {"--user", "nobody", file}, 0, "uid 65534 gid 65534 caps 0 0 0 0 bnd none groups [65534]\n"},
        {grouped, {"--user", "nobody", file}, 0, "uid 65534 gid 65534 caps 0 0 0 0 bnd none groups [4242, 65534]\n"},
        {capable, {file}, 0, "uid 65534 gid 65534 caps 0 0 0 0 bnd some groups []\n"},
        {capable, live, 0, "uid 65534 gid 65534 caps 0 0 0 0 bnd some groups []\n"},
        {capable, {"--user", "root", file}, 2, "qpp-replay: cannot run as root: only root can choose the user to run as\n"},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.launcher) + ::testing::PrintToString(c.args));
        launcher = c.launcher;
        std::vector<std::string> args = {"--script", script};
        args.insert(args.end(), c.args.begin(), c.args.end());
        Result r = Run(args);
        // A container may forbid a mount namespace or the capture; an
        // interpreter that nobody cannot read (a Python under /root) cannot
        // be loaded once root is given up.
        if (r.err.rfind("unshare: ", 0) == 0 || r.err.rfind("mount: ", 0) == 0 ||
            r.err.find("permission denied") != std::string::npos ||
            r.err.find("cannot load the plugin") != std::string::npos) {
            std::cout << "skipped: " << r.err;
            continue;
        }
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_THAT(c.status ? r.err : r.out, HasSubstr(c.seen));
    }
}

// A stop request while the plugin is stuck in a callback that catches its
// interruption: it ends the reading (the capture's summary comes) though the
// plugin cannot stop; a second one ends the run at once. A request also
// ends the long catch-up of a ten-year gap with a flow that never idles out.
// Either way the scratch directory goes, and the run ends by the signal.
TEST_F(Captures, StopRequestsEndAFileAndASecondOneEndsAtOnce)
{
    ScratchHere();
    // Once the host has given it 4096 events, the host waits for it.
    WriteFile(Path("stuck.py"), R"(import qpp, time
def ProcessFlowEvent(event, flow):
    told = False
    while True:
        try:
            if not told and qpp.stats()["events"]["queued"] >= 4096:
                qpp.print("stuck\n")
                told = True
            time.sleep(0.01)
        except BaseException:
            pass
)");
    auto udp = [](uint16_t port) { return Ethernet(0x0800, Ipv4(A, B, 17, Cat({UdpHeader(port, 53, 4), Text("ping")}))); };
    std::vector<Record> records;
    for (uint16_t port = 1; port <= 4200; port++) records.push_back({1000 * S + port * 1000, udp(port)});
    WriteFile(Path("many.pcap"), Pcap(1, records));
    WriteFile(Path("gap.pcap"), Pcap(1, {{1000 * S, udp(1)}, {(1000 + 10 * 365 * 86400ULL) * S, udp(1)}}));
    struct Case { std::vector<std::string> args; std::string started; int signal; bool twice; };
    const std::vector<Case> cases = {
        {{"--script", Path("stuck.py"), Path("many.pcap")}, "stuck\n", SIGINT, true},
        {{"--script", Script("capture_flows.py"), "--idle-timeout", "udp=1e9", Path("gap.pcap")}, "MAP 1\n", SIGTERM, false},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.args.back());
        pid_t tool = Spawn(c.args);
        EXPECT_TRUE(Eventually([&] { return ReadFile(Path("stdout")).find(c.started) != std::string::npos; }, 20s));
        kill(tool, c.signal);
        if (c.twice) {
            EXPECT_TRUE(Eventually([&] { return ReadFile(Path("stderr")).find(c.args.back() + ": ") != std::string::npos; }, 5s));
            kill(tool, c.signal);
        }
        Result r = Wait(tool, 5s);
        EXPECT_EQ(r.signal, c.signal) << r.err;
        EXPECT_THAT(r.err, HasSubstr(c.twice ? "qpp-replay: ended at once (Interrupt), before the plugin had stopped\n"
                                             : "qpp-replay: stopped (Terminated) before the end of the input\n"));
        // The catch-up stopped: one last update and the expiry.
        if (! c.twice) {
            EXPECT_THAT(r.out, HasSubstr("AGENT 12\nEVENT "));
        }
        EXPECT_THAT(Scratches(), ::testing::IsEmpty());
    }
}

// Brings up the loopback interface of a new network namespace.
static bool LoopbackUp()
{
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    struct ifreq request = {};
    strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool up = fd >= 0 && ioctl(fd, SIOCGIFFLAGS, &request) == 0 &&
        (request.ifr_flags |= IFF_UP, ioctl(fd, SIOCSIFFLAGS, &request) == 0);
    if (fd >= 0) close(fd);
    return up;
}

// Live capture on the loopback interface of a network namespace of the
// test's own, which carries only the datagrams that a child process sends
// to 127.0.0.1 (50 ms apart; it stops by itself) once the script is loaded.
// The wall clock drives the host between packets: updates, idle expiry,
// --duration and stop requests come on time on a quiet interface. Root
// opens the interface; the script runs as the user --user names, nobody by
// default. Ctrl-C and SIGTERM end a capture as the end of a file does.
TEST_F(Captures, LiveCaptureKeepsTheWallClockGivesUpRootAndStops)
{
    if (geteuid() != 0) GTEST_SKIP() << "live capture needs root";
    if (unshare(CLONE_NEWNET) != 0 || ! LoopbackUp()) GTEST_SKIP() << "no network namespace: " << strerror(errno);
    struct Case
    {
        std::vector<std::string> args;
        int datagrams;
        std::string then;  // once standard output holds this, the signal goes
        int signal;        // 0: the run ends by itself
        int flows, packets, updates = 0;  // packets -1: as many as were sent by the end; updates: at least
        // The script's user and how many sockets it holds: in the tool's
        // process the capture's is among them; a script runner (the
        // default live) holds none it was not given.
        std::string uid = "uid 0\nsockets 1\n";
    };
    // Root is kept, and the script in the tool's process, but in the last
    // case, so that an interpreter under /root can be loaded.
    const std::vector<Case> cases = {
        {{"--isolation", "interpreter", "--user", "root", "--duration", "20"}, 200, "EVENT 2 ", SIGINT, 1, -1},
        {{"--isolation", "interpreter", "--user", "root", "--duration", "1", "--update-interval", "0.2"}, 0, "", 0, 0, 0, 5},
        {{"--isolation", "interpreter", "--user", "root", "--duration", "1", "--interface", "any"}, 0, "", 0, 0, 0},
        {{"--isolation", "interpreter", "--user", "root", "--duration", "60"}, 0, "uid 0\n", SIGTERM, 0, 0},
        // The flow expires while nothing comes.
        {{"--isolation", "interpreter", "--user", "root", "--duration", "60", "--idle-timeout", "udp=0.2"}, 1, "FLOW ", SIGINT, 1, 1},
        {{"--count", "3", "--duration", "9"}, 200, "", 0, 1, 3, 0, "uid 65534\nsockets 0\n"},
    };
    std::string script = Path("capture_flows.py");  // readable by the user it runs as
    WriteFile(script, ReadFile(Script("capture_flows.py")));
    chmod(work.c_str(), 0755);
    chmod(script.c_str(), 0644);
    for (auto &c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        int port = 20000 + (getpid() + c.packets) % 20000;
        std::vector<std::string> args = {"--script", script, "--interface", "lo", "--filter",
            "udp and dst host 127.0.0.1 and dst port " + std::to_string(port)};
        args.insert(args.end(), c.args.begin(), c.args.end());
        pid_t tool = Spawn(args);
        auto holds = [this](const std::string &text) { return ReadFile(Path("stdout")).find(text) != std::string::npos; };
        Eventually([&] { return holds("uid ") || ! ReadFile(Path("stderr")).empty(); }, 15s);
        auto loaded = std::chrono::steady_clock::now();
        pid_t sender = fork();
        if (sender == 0) {
            int fd = socket(AF_INET, SOCK_DGRAM, 0);
            sockaddr_in to{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
            for (int i = 0; i < c.datagrams; i++, usleep(50000))
                sendto(fd, "live", 4, 0, reinterpret_cast<sockaddr *>(&to), sizeof(to));
            _exit(0);
        }
        auto asked = loaded;
        if (c.signal) {
            EXPECT_TRUE(Eventually([&] { return holds(c.then); }, 5s));
            asked = std::chrono::steady_clock::now();
            kill(tool, c.signal);
        }
        Result r = Wait(tool, 10s);
        auto took = std::chrono::steady_clock::now() - asked;
        kill(sender, SIGTERM);
        waitpid(sender, nullptr, 0);
        // Root in a container without the capture capabilities is refused;
        // an interpreter that nobody cannot read (a Python under /root)
        // cannot be loaded once root is given up (the last case).
        bool refused = r.status == 2 && r.err.find("permission denied") != std::string::npos;
        if (refused || (r.status == 2 && c.uid.rfind("uid 0", 0) != 0 &&
                           r.err.find("cannot load the plugin") != std::string::npos))
            GTEST_SKIP() << r.err;
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_THAT(r.out, HasSubstr(c.uid));
        // Within a moment of the signal, or of the duration's end.
        EXPECT_LT(took, c.signal || c.packets > 0 ? 1500ms : 2500ms);
        std::vector<std::string> lines = SplitLines(r.out);
        EXPECT_GE(std::count(lines.begin(), lines.end(), "AGENT 11"), c.updates) << r.out;
        std::vector<json> flows = ExpiredFlows(r.out);
        ASSERT_EQ(flows.size(), size_t(c.flows)) << r.out;
        std::string packets = flows.empty() ? "0" : flows[0]["stats"]["total_packets"].dump();
        if (! flows.empty()) {
            EXPECT_EQ(flows[0]["upper_addr"], "127.0.0.1");
        }
        EXPECT_EQ(packets, c.packets >= 0 ? std::to_string(c.packets) : packets);
        EXPECT_THAT(r.err, HasSubstr(": " + packets + " packets, " + packets + " in " + std::to_string(c.flows) +
            " flows; skipped: none\n"));
    }
}
