// qpp-replay as its users run it: the built tool in a process of its own,
// fed input files and scripts from tests/replay, judged by its exit status,
// standard output, standard error and payload files. The reading of input
// lines is also checked in this process, against the tool's own parser.

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "replay-input.h"
#include "replay-tool.h"

namespace {

namespace fs = std::filesystem;
using namespace tool;
using ::testing::AllOf;
using ::testing::ContainsRegex;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using ::testing::StartsWith;
using ordered_json = nlohmann::ordered_json;

// The payload lines of text, in their order.
std::vector<std::string> PayloadLines(const std::string &text)
{
    std::vector<std::string> lines;
    for (auto &line : SplitLines(text)) {
        if (line.rfind("{\"target\": ", 0) == 0) lines.push_back(line);
    }
    return lines;
}

// The payload texts of the payload lines, in their order.
std::vector<std::string> Payloads(const std::string &text)
{
    std::vector<std::string> payloads;
    for (auto &line : PayloadLines(text))
        payloads.push_back(ordered_json::parse(line)["payload"].get<std::string>());
    return payloads;
}

std::string Source(const std::string &name) { return std::string(QPP_REPLAY_TEST_DIR) + "/" + name; }

std::string Agent(int event) { return "{\"type\": \"agent\", \"event\": " + std::to_string(event) + "}"; }

std::string NamedFlow(int event, const std::string &name)
{
    return "{\"type\": \"flow\", \"event\": " + std::to_string(event) +
        ", \"flow\": {\"host_server_name\": \"" + name + "\"}}";
}

std::string Reload(const std::string &script)
{
    return "{\"type\": \"reload\", \"script\": \"" + script + "\"}";
}

std::string CountPayload(const std::string &payload)
{
    return R"({"target": "count", "channels": [], "flags": 0, "payload": ")" + payload + "\"}";
}

// The summary line the tool ends standard error with.
std::string Summary(int served, int errors, int payloads)
{
    auto count = [](int n, const std::string &thing) {
        return std::to_string(n) + " " + thing + (n == 1 ? "" : "s");
    };
    return "qpp-replay: " + count(served, "event") + " served, " +
        count(errors, "callback error") + ", " + count(payloads, "payload") + "\n";
}

std::string LastLine(const std::string &text)
{
    auto lines = SplitLines(text);
    return lines.empty() ? std::string() : lines.back() + "\n";
}

// Names, contents and times of the files below dir, to see that nothing in
// it changed; links are listed, never followed.
std::string Listing(const std::string &dir)
{
    std::vector<std::string> entries;
    for (auto &entry : fs::recursive_directory_iterator(dir)) {
        std::string line = entry.path().string();
        if (entry.symlink_status().type() == fs::file_type::regular) {
            line += ": " + ReadFile(entry.path()) + " @" +
                std::to_string(entry.last_write_time().time_since_epoch().count());
        }
        entries.push_back(line);
    }
    std::sort(entries.begin(), entries.end());
    std::string listing;
    for (auto &line : entries) listing += line + "\n";
    return listing;
}

class Replay : public ToolTest
{
protected:
    // An input file of these lines in the work directory.
    std::string Input(const std::vector<std::string> &lines, const std::string &name = "input.jsonl")
    {
        std::string content;
        for (auto &line : lines) content += line + "\n";
        WriteFile(Path(name), content);
        return Path(name);
    }

    // A copy of a script of tests/replay in the work directory, where
    // reload lines find it.
    std::string Copy(const std::string &name)
    {
        WriteFile(Path(name), ReadFile(Source(name)));
        return Path(name);
    }

    // A data directory with a module directory holding the given scripts of
    // tests/replay.
    std::string DataDir(const std::vector<std::string> &scripts)
    {
        std::string data = Path("data");
        fs::create_directories(data + "/quiven-proc-python");
        for (auto &name : scripts) WriteFile(data + "/quiven-proc-python/" + name, ReadFile(Source(name)));
        return data;
    }
};

}  // namespace

TEST_F(Replay, ScriptRunsAndWritesLogAndPayloadsInOrder)
{
    std::string input = Input({Agent(11), NamedFlow(2, "one.example"), Agent(12),
        "{\"type\": \"status\", \"event\": 11, \"status\": {\"timestamp\": 1, \"uptime\": 2, \"flows\": 3}}",
        "{\"type\": \"status\", \"event\": 12}"});
    Result r = Run({"--script", Source("counter.py"), input});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.out, StartsWith("quiven-proc-python: Quiven Python Processor Plugin v"));
    // Status lines reach the agent callback.
    EXPECT_THAT(PayloadLines(r.out), ElementsAre(CountPayload("1 agent 11"),
        CountPayload("2 flow 2 one.example"), CountPayload("3 agent 12"), CountPayload("4 agent 11"),
        CountPayload("5 agent 12"), CountPayload("6 agent 99")));
    // The script's own line comes after the payload it dispatched before it.
    EXPECT_EQ(LastLine(r.out), "unloaded after 6 events\n");
    // Standard error holds the summary alone: the unload notice is a
    // callback call, not a served event.
    EXPECT_EQ(r.err, Summary(5, 0, 6));

    // Standard input is the default input, and "-" names it.
    for (auto args : {std::vector<std::string>{}, std::vector<std::string>{"-"}}) {
        args.insert(args.begin(), {"--script", Source("counter.py")});
        r = Run(args, Agent(11) + "\n" + Agent(12) + "\n");
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_THAT(Payloads(r.out), ElementsAre("1 agent 11", "2 agent 12", "3 agent 99"));
    }
}

TEST_F(Replay, ConfRunsOnAScratchCopy)
{
    std::string data = DataDir({"version_one.py"});
    std::string script = data + "/quiven-proc-python/version_one.py";
    // A helper module of the data directory imports from the copy.
    WriteFile(data + "/quiven-proc-python/helper.py", "NAME = 'helper'\n");
    // The data directory and variables given with --var are both expanded.
    WriteFile(Path("plugin.json"), "{\"script\": \"${path_state_persistent}/${sub}/version_one.py\"}\n");
    // The replacement tells what the user's script holds while the replay
    // runs: its own first line, not the replacement's.
    WriteFile(Path("version_two.py"), ReadFile(Source("version_two.py")) +
        "import helper\nqpp.print('%s; user script: %s' % (helper.NAME, open('" + script +
        "').readline()))\n");
    std::string before = Listing(data) + ReadFile(Path("plugin.json"));

    Result r = Run({"--conf", Path("plugin.json"), "--data-dir", data, "--var", "sub=quiven-proc-python",
        Input({Agent(11), Reload("version_two.py"), Agent(12)})});
    ASSERT_EQ(r.status, 0) << r.err << r.out;
    EXPECT_THAT(Payloads(r.out), ElementsAre("one 11", "one 99", "two 12", "two 99"));
    EXPECT_THAT(r.out, HasSubstr("helper; user script: # Tells which version of the script saw each agent event.\n"));
    // Nothing of the user's was written, not even for a moment.
    EXPECT_EQ(Listing(data) + ReadFile(Path("plugin.json")), before);
}

// Usage errors and files that cannot be used: refused before the plugin
// starts, with exit status 2 and a message that says what is wrong.
TEST_F(Replay, UsageAndSetupErrorsAreSaidPlainly)
{
    std::string input = Input({Agent(11)});
    std::string script = Source("counter.py");
    std::string data = DataDir({});
    WriteFile(Path("absent-script.json"), "{\"script\": \"" + data + "/absent.py\"}");
    WriteFile(Path("plain.jsonl"), Agent(11) + "\n");
    struct Case
    {
        std::vector<std::string> args;
        std::string message;  // what standard error starts with
    };
    std::vector<Case> cases = {
        {{}, "qpp-replay: give --script FILE, or --conf FILE with --data-dir DIR\n\nusage: qpp-replay --script FILE"},
        {{"--conf", Path("plugin.json"), input}, "qpp-replay: --conf needs --data-dir\n"},
        {{"--script", script, "--conf", Path("absent-script.json"), "--data-dir", data},
            "qpp-replay: give either --script or --conf, not both\n"},
        {{"--script", script, "--data-dir", data}, "qpp-replay: --data-dir goes with --conf; --script makes its own\n"},
        {{"--script", script, "--colour", input}, "qpp-replay: unknown option --colour\n"},
        {{"--script", script, "-x", input}, "qpp-replay: unknown option -x\n"},
        {{"--script", script, "--debug=yes", input}, "qpp-replay: --debug takes no value\n"},
        {{"--script", script, input, "--expect"}, "qpp-replay: --expect needs a value\n"},
        {{"--script", script, input, Path("plain.jsonl")}, "qpp-replay: more than one INPUT: " + Path("plain.jsonl") + "\n"},
        {{"--script", script, "--var", "=x", input}, "qpp-replay: --var needs NAME=VALUE, not =x\n"},
        {{"--script", script, "--timeout", "-1", input}, "qpp-replay: --timeout needs a number of seconds, not -1\n"},
        {{"--script", script, "--timeout", "nan", input}, "qpp-replay: --timeout needs a number of seconds, not nan\n"},
        {{"--script", script, "--timeout", "", input}, "qpp-replay: --timeout needs a number of seconds, not \n"},
        {{"--script", script, "--count", "3", input},
            "qpp-replay: --count goes with a capture: INPUT a pcap or pcapng file, or --interface\n"},
        {{"--script", script, "--update-interval", "0"},
            "qpp-replay: --update-interval needs a number of seconds above zero, not 0\n"},
        {{"--script", script, "--duration", "soon"}, "qpp-replay: --duration needs a number of seconds above zero, not soon\n"},
        {{"--script", script, "--count", "-1"}, "qpp-replay: --count needs a whole number above zero, not -1\n"},
        {{"--script", script, "--max-flows=0"}, "qpp-replay: --max-flows needs a whole number above zero, not 0\n"},
        {{"--script", script, "--idle-timeout", "tcp"},
            "qpp-replay: --idle-timeout needs NAME=SECONDS (tcp, tcp-closed, udp, other), not tcp\n"},
        {{"--script", script, "--idle-timeout", "sctp=5"},
            "qpp-replay: --idle-timeout knows tcp, tcp-closed, udp and other, not sctp\n"},
        {{"--script", script, "--idle-timeout", "udp=-1"}, "qpp-replay: --idle-timeout udp needs a number of seconds, not -1\n"},
        {{"--script", Path("absent.py"), input},
            "qpp-replay: cannot read the script " + Path("absent.py") + ": No such file or directory\n"},
        {{"--conf", Path("absent-script.json"), "--data-dir", data, input},
            "qpp-replay: the script that " + Path("absent-script.json") + " names, " + data +
                "/absent.py, cannot be read: No such file or directory\n"},
        {{"--plugin", Path("absent.so"), "--script", script, input},
            "qpp-replay: cannot load the plugin " + Path("absent.so") + ": "},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        Result r = Run(c.args);
        EXPECT_EQ(r.status, 2);
        EXPECT_THAT(r.err, StartsWith(c.message));
        EXPECT_EQ(r.out, "");
    }

    // --help, and its short form, show the usage on standard output.
    for (std::string help : {"--help", "-h"}) {
        Result r = Run({help});
        EXPECT_EQ(r.status, 0);
        EXPECT_THAT(r.out, StartsWith("usage: qpp-replay --script FILE [options] [INPUT]\n"));
        EXPECT_THAT(r.out, HasSubstr("  --interface NAME"));
    }
}

TEST_F(Replay, OutputOptionsChooseWhereAndWhatIsWritten)
{
    std::string input = Input({Agent(11)});
    // --sinks: other targets refuse.
    Result r = Run({"--script", Source("two_sinks.py"), "--sinks", "a", input});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(PayloadLines(r.out),
        ElementsAre(R"({"target": "a", "channels": ["ch"], "flags": 0, "payload": "to a"})"));
    EXPECT_THAT(r.out, AllOf(HasSubstr("a True\n"), HasSubstr("b False\n")));
    r = Run({"--script", Source("two_sinks.py"), input});
    EXPECT_EQ(PayloadLines(r.out).size(), 2u);
    EXPECT_THAT(r.out, HasSubstr("b True\n"));

    // --sink-output takes the payload lines, the log stays.
    r = Run({"--script", Source("counter.py"), "--sink-output", Path("payloads.jsonl"), input});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(PayloadLines(r.out), IsEmpty());
    EXPECT_THAT(r.out, HasSubstr("unloaded after 2 events"));
    EXPECT_THAT(Payloads(ReadFile(Path("payloads.jsonl"))), ElementsAre("1 agent 11", "2 agent 99"));

    // --debug shows the debug lines.
    r = Run({"--script", Source("debug_lines.py"), input});
    EXPECT_THAT(r.out, AllOf(HasSubstr("print line 11\n"), Not(HasSubstr("debug line 11")),
        Not(HasSubstr("callback function loaded"))));
    r = Run({"--script", Source("debug_lines.py"), "--debug", input});
    EXPECT_THAT(r.out, AllOf(HasSubstr("debug line 11\nprint line 11\n"),
        HasSubstr("debug_lines: callback function loaded: ProcessAgentEvent\n")));
}

TEST_F(Replay, ExpectComparesThePayloadsAndShowsADiff)
{
    std::string input = Input({Agent(11), Agent(12)});
    WriteFile(Path("expected.jsonl"),
        CountPayload("1 agent 11") + "\n" + CountPayload("2 agent 12") + "\n" + CountPayload("3 agent 99") + "\n");
    Result r = Run({"--script", Source("counter.py"), "--expect", Path("expected.jsonl"), input});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, Summary(2, 0, 3));

    WriteFile(Path("expected.jsonl"),
        CountPayload("1 agent 11") + "\n" + CountPayload("2 agent 13") + "\n" + CountPayload("3 agent 99") + "\n");
    r = Run({"--script", Source("counter.py"), "--expect", Path("expected.jsonl"), input});
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, HasSubstr("--- " + Path("expected.jsonl")));
    EXPECT_THAT(r.err, AllOf(HasSubstr("@@ -1,3 +1,3 @@\n " + CountPayload("1 agent 11") + "\n"),
        HasSubstr("\n-" + CountPayload("2 agent 13") + "\n"), HasSubstr("\n+" + CountPayload("2 agent 12") + "\n"),
        HasSubstr("\n " + CountPayload("3 agent 99") + "\n")));
    // The run itself still shows everything.
    EXPECT_EQ(PayloadLines(r.out).size(), 3u);
}

// The tool's parser against every kind of bad line: the first problem of the
// line, named by its key.
TEST(ReplayInput, BadLinesAreNamedPrecisely)
{
    std::string dir = fs::temp_directory_path();
    struct Case
    {
        std::string line;
        std::string message;
    };
    std::vector<Case> cases = {
        {"{\"type\": \"agent\",", "malformed JSON: "},
        {"[1, 2]", "expected a JSON object"},
        {"{\"event\": 11}", "missing key: type"},
        {"{\"type\": \"agents\", \"event\": 11}", "unknown type: agents"},
        {"{\"type\": \"agent\", \"event\": 11, \"colour\": 1}", "unknown key: colour"},
        {"{\"type\": \"agent\"}", "missing key: event"},
        {"{\"type\": \"agent\", \"event\": -1}", "event: expected an integer from 0 to 65535"},
        // Beyond the range of a double: the parser reports it as
        // out_of_range rather than parse_error, and it is malformed all the
        // same.
        {"{\"type\": \"agent\", \"event\": 1e400}", "malformed JSON: number overflow parsing '1e400'"},
        {"{\"type\": \"flow\", \"event\": 2, \"flow\": {\"tls\": {\"foo\": 1}}}", "unknown key: flow.tls.foo"},
        {"{\"type\": \"flow\", \"event\": 2, \"flow\": {\"colour\": \"red\"}}", "unknown key: flow.colour"},
        {"{\"type\": \"flow\", \"event\": 2, \"flow\": {\"flags\": {\"expird\": true}}}",
            "unknown key: flow.flags.expird"},
        {"{\"type\": \"flow_map\", \"event\": 1, \"flows\": [{}, {\"stats\": {\"bytes\": 1}}]}",
            "unknown key: flows[1].stats.bytes"},
        {"{\"type\": \"flow\", \"event\": 2, \"flow\": {\"vlan_id\": 70000}}",
            "flow.vlan_id: expected an integer from 0 to 65535"},
        {"{\"type\": \"flow\", \"event\": 2, \"flow\": {\"lower_mac\": \"10.0.0.1\"}}",
            "flow.lower_mac: not a MAC address: 10.0.0.1"},
        {"{\"type\": \"flow\", \"event\": 2, \"flow\": {\"upper_addr\": \"example.com\"}}",
            "flow.upper_addr: not an IP address: example.com"},
        {"{\"type\": \"flow\", \"event\": 2, \"flow\": {\"lower_port\": 80}}", "flow.lower_port: a port needs an address"},
        {"{\"type\": \"flow\", \"event\": 2, \"flow\": {\"digest_lower\": \"abc\"}}",
            "flow.digest_lower: expected 40 hexadecimal digits"},
        // The right length with a bad digit: refused without combining the
        // bad digit (the sanitized build would stop on that).
        {"{\"type\": \"flow\", \"event\": 2, \"flow\": {\"digest_mdata\": "
         "[\"g123456789abcdef0123456789abcdef01234567\"]}}",
            "flow.digest_mdata[0]: expected 40 hexadecimal digits"},
        {"{\"type\": \"flow\", \"event\": 2, \"flow\": {\"flags\": {\"expired\": 1}}}",
            "flow.flags.expired: expected true or false"},
        {"{\"type\": \"flow\", \"event\": 2, \"flow\": {\"tls\": {}, \"http\": {}}}",
            "flow: several protocol groups (http, tls): give master_protocol to choose the one scripts see"},
        {"{\"type\": \"flow\", \"event\": 2, \"flow\": {\"host_server_name\": \"a\", \"tls\": {\"client_sni\": \"b\"}}}",
            "flow.tls.client_sni: differs from flow.host_server_name, whose value scripts see here"},
        {"{\"type\": \"flow_map\", \"event\": 1, \"flows\": [{\"id\": \"x\"}, {\"id\": \"x\"}]}",
            "flows[1].id: x is already in this flow map"},
        {Reload("no-such-script.py"), "script: cannot read " + dir + "/no-such-script.py: No such file or directory"},
        // Input the host cannot represent.
        {Reload("."), "script: cannot read " + dir + "/.: it is a directory"},
        {Reload("/dev/null"), "script: cannot read /dev/null: not a regular file"},
        {Reload("a.py\\u0000.txt"), "script: contains a NUL character"},
        {NamedFlow(2, "a\\u0000b"), "flow.host_server_name: contains a NUL character"},
        {"{\"type\": \"flow_map\", \"event\": 1, \"flows\": [{\"http\": {\"user_agent\": \"\\u0000\"}}]}",
            "flows[0].http.user_agent: contains a NUL character"},
        {"{\"type\": \"agent\\u0000\", \"event\": 11}", "type: contains a NUL character"},
        {Agent(11) + std::string(1, '\0') + "{\"x\": 1}", "contains a NUL byte"},
        {"{\"type\": \"flow\", \"event\": 2, \"flow\": {\"tls\": " + std::string(100000, '[') +
         std::string(100000, ']') + "}}",
            "nested deeper than 64 levels"},
        // Each event value has one hook; a line of another type is refused.
        {Agent(1), "event: expected an agent event, 11 or 12"},
        {Agent(9), "event: expected an agent event, 11 or 12"},
        {"{\"type\": \"status\", \"event\": 2}", "event: expected an agent event, 11 or 12"},
        {"{\"type\": \"flow\", \"event\": 11, \"flow\": {}}", "event: expected a flow event, 2 to 7"},
        {"{\"type\": \"flow_map\", \"event\": 2, \"flows\": [{}]}", "event: expected the flow map event, 1"},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.line.substr(0, 200));
        // What the tool does with a line before the plugin sees any of it.
        std::string refused;
        try {
            qppReplayLine line = qppReplayParseLine(c.line);
            qppReplayFlows flows;
            if (line.type == qppReplayLine::Type::FLOW) flows.Flow(line.flow, "flow");
            if (line.type == qppReplayLine::Type::FLOW_MAP) flows.FlowMap(line.flow);
            if (line.type == qppReplayLine::Type::RELOAD && line.script) {
                std::string path = *line.script;
                qppReplayReadScript(path[0] == '/' ? path : dir + "/" + path);
            }
        }
        catch (const qppReplayInputError &e) {
            refused = e.what();
        }
        EXPECT_THAT(refused, StartsWith(c.message));
        if (c.message.back() != ' ') {
            EXPECT_EQ(refused, c.message);
        }
    }
}

TEST_F(Replay, BadLineStopsTheRunAfterACleanEnd)
{
    std::string input = Input({Agent(11), "", Agent(12), "{\"type\": \"agents\"}", Agent(11)});
    Result r = Run({"--script", Source("counter.py"), input});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "line 4: unknown type: agents\n" + Summary(2, 0, 3));
    // The lines before it were served, the one after it was not, and the
    // plugin was unloaded.
    EXPECT_THAT(Payloads(r.out), ElementsAre("1 agent 11", "2 agent 12", "3 agent 99"));

    // The message comes once the plugin has been terminated.
    r = Run({"--script", Source("counter.py"), input}, std::string(), true);
    EXPECT_THAT(r.out, ContainsRegex("unloaded after 3 events\n.*line 4: unknown type"));
}

TEST_F(Replay, ReloadTakesEffectBetweenEventsAndKeepsAnUnchangedScript)
{
    Copy("version_two.py");
    Result r = Run({"--script", Source("version_one.py"), Input({Agent(11), NamedFlow(2, "a"), Agent(12),
        Reload("version_two.py"), NamedFlow(3, "b"), Agent(11)})});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(Payloads(r.out),
        ElementsAre("one 11", "one flow a", "one 12", "one 99", "two flow b", "two 11", "two 99"));

    // No unload notice until the end: the digest did not change.
    r = Run({"--script", Source("version_one.py"), "--debug", Input({Agent(11), "{\"type\": \"reload\"}", Agent(12),
        Reload(Source("version_one.py")), Agent(11)})});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(Payloads(r.out), ElementsAre("one 11", "one 12", "one 11", "one 99"));
    EXPECT_THAT(r.out, HasSubstr("not reloading, no change."));
}

TEST_F(Replay, EveryEventIsServedInOrderAndTheUnloadNoticeComesLast)
{
    std::vector<std::string> lines, expected;
    for (int i = 0; i < 150; i++) {
        lines.push_back(Agent(i % 2 ? 12 : 11));
        lines.push_back(NamedFlow(2 + i % 6, "f" + std::to_string(i)));
        expected.push_back(std::to_string(2 * i + 1) + " agent " + (i % 2 ? "12" : "11"));
        expected.push_back(std::to_string(2 * i + 2) + " flow " + std::to_string(2 + i % 6) + " f" + std::to_string(i));
    }
    expected.push_back("301 agent 99");
    Result r = Run({"--script", Source("counter.py"), Input(lines)});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Payloads(r.out), expected);
    EXPECT_EQ(LastLine(r.out), "unloaded after 301 events\n");
}

TEST_F(Replay, FlowsInTheFormScriptsSeeComeBackUnchanged)
{
    std::string input = Source("roundtrip.jsonl");
    Result r = Run({"--script", Source("echo_flows.py"), input});
    ASSERT_EQ(r.status, 0) << r.err;

    std::vector<std::string> flows, map_flows, map_stats;
    for (auto &line : PayloadLines(r.out)) {
        ordered_json payload = ordered_json::parse(line);
        std::string flow = ordered_json::parse(payload["payload"].get<std::string>()).dump();
        (payload["target"] == "flow" ? flows : payload["target"] == "map" ? map_flows : map_stats).push_back(flow);
    }
    // Equal as ordered objects: the same keys in the same order. The map's
    // buckets decide the order of its flows; each comes back whole, and its
    // statistics form is its first four keys.
    std::vector<std::string> want_flows, want_map, want_stats;
    for (auto &text : SplitLines(ReadFile(input))) {
        ordered_json line = ordered_json::parse(text);
        auto list = line["type"] == "flow" ? ordered_json::array({line["flow"]}) : line["flows"];
        for (auto flow : list) {
            flow.erase("id");
            flow.erase("master_protocol");
            (line["type"] == "flow" ? want_flows : want_map).push_back(flow.dump());
            if (line["type"] == "flow") continue;
            ordered_json stats;
            for (auto &key : {"iface", "digest_lower", "digest_mdata", "stats"}) stats[key] = flow[key];
            want_stats.push_back(stats.dump());
        }
    }
    EXPECT_EQ(flows, want_flows);
    EXPECT_THAT(map_flows, ::testing::UnorderedElementsAreArray(want_map));
    EXPECT_THAT(map_stats, ::testing::UnorderedElementsAreArray(want_stats));
    EXPECT_FALSE(want_map.empty());
}

TEST_F(Replay, LinesWithAnIdUpdateTheSameFlow)
{
    std::string input = Input({
        "{\"type\": \"flow\", \"event\": 2, \"flow\": {\"id\": \"f\", \"host_server_name\": \"first\", "
        "\"lower_addr\": \"10.0.0.1\", \"lower_port\": 1000, \"stats\": {\"lower_bytes\": 10, \"lower_rate\": 2.9}}}",
        "{\"type\": \"flow\", \"event\": 3, \"flow\": {\"id\": \"f\", \"host_server_name\": \"second\", "
        "\"lower_port\": 2000, \"stats\": {\"upper_bytes\": 5}}}",
        "{\"type\": \"flow\", \"event\": 4, \"flow\": {\"id\": \"f\", \"lower_addr\": \"10.0.0.2\", "
        "\"tls\": {\"client_sni\": \"third\"}}}",
        NamedFlow(5, "other"),
    });
    Result r = Run({"--script", Source("echo_flows.py"), input});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> seen;
    for (auto &payload : Payloads(r.out)) {
        auto flow = ordered_json::parse(payload);
        seen.push_back(flow["host_server_name"].dump() + " " + flow["lower_addr"].dump() + " " +
            flow["lower_port"].dump() + " " + flow["stats"]["lower_bytes"].dump() + " " +
            flow["stats"]["upper_bytes"].dump() + " " + flow["stats"]["lower_rate"].dump() + " " +
            flow.value("tls", ordered_json::object()).value("client_sni", "-"));
    }
    // Each event shows the flow as its own line left it, although the worker
    // serves it later; a protocol group alone sets the master protocol, and
    // client_sni is the flow's host_server_name; a flow without an id is a
    // new flow.
    EXPECT_THAT(seen, ElementsAre("\"first\" \"10.0.0.1\" 1000 10 0 2 -", "\"second\" \"10.0.0.1\" 2000 10 5 2 -",
        "\"third\" \"10.0.0.2\" 2000 10 5 2 third", "\"other\" \"\" 0 0 0 0 -"));
}

TEST_F(Replay, FlowMapsAreFilteredAsInTheDaemon)
{
    std::string input = Input({
        "{\"type\": \"flow_map\", \"event\": 1, \"flows\": ["
        "{\"host_server_name\": \"ready\", \"flags\": {\"detection_init\": true}},"
        "{\"host_server_name\": \"new\"},"
        "{\"host_server_name\": \"gone\", \"flags\": {\"detection_init\": true, \"expired\": true}},"
        "{\"host_server_name\": \"also-ready\", \"flags\": {\"detection_init\": true, \"expiring\": true}}]}",
        "{\"type\": \"flow_map\", \"event\": 1, \"flows\": [{\"host_server_name\": \"x\"}]}",
        "{\"type\": \"flow_map\", \"event\": 1, \"flows\": []}",
    });
    Result r = Run({"--script", Source("map_names.py"), input});
    ASSERT_EQ(r.status, 0) << r.err;
    // Maps with no flow that passes queue nothing.
    EXPECT_THAT(Payloads(r.out), ElementsAre("2", "also-ready ready"));
}

TEST_F(Replay, ExitStatusSaysHowTheScriptRan)
{
    WriteFile(Path("raises.py"), R"(import qpp

def ProcessAgentEvent(event):
    if event == 12:
        raise ValueError("twelve")
    qpp.dispatch("t", [], "%d" % event)
)");
    WriteFile(Path("raises_on_unload.py"), R"(import qpp

def ProcessAgentEvent(event):
    if event == 99:
        raise ValueError("unloaded")
    qpp.dispatch("t", [], "%d" % event)
)");
    WriteFile(Path("broken.py"), "import qpp\nraise ImportError('broken on purpose')\n");
    Copy("version_two.py");
    WriteFile(Path("differs.jsonl"), "{}\n");
    std::string bad_line = "{\"type\": \"agents\"}";
    struct Case
    {
        std::string name;
        std::string script;
        std::vector<std::string> lines;
        std::vector<std::string> args;
        int status;
        std::string summary;
    };
    std::vector<Case> cases = {
        {"clean", Source("counter.py"), {Agent(11), Agent(12)}, {}, 0, "2 events served, 0 callback errors, 3 payloads"},
        {"a callback raises", Path("raises.py"), {Agent(11), Agent(12), Agent(11)}, {}, 3,
            "3 events served, 1 callback error, 3 payloads"},
        {"the unload notice raises", Path("raises_on_unload.py"), {Agent(11)}, {}, 3,
            "1 event served, 1 callback error, 1 payload"},
        {"the first load fails", Path("broken.py"), {Agent(11)}, {}, 3,
            "0 events served, 0 callback errors, 1 failed script load, 0 payloads"},
        {"a reload line fails", Source("version_one.py"), {Agent(11), Reload("broken.py"), Agent(12)}, {}, 3,
            "1 event served, 0 callback errors, 1 failed script load, 2 payloads"},
        {"a failed reload fixed later still fails", Source("version_one.py"),
            {Reload("broken.py"), Reload("version_two.py"), Agent(12)}, {}, 3,
            "1 event served, 0 callback errors, 1 failed script load, 3 payloads"},
        {"an unchanged script is no failure", Source("version_one.py"), {"{\"type\": \"reload\"}", Agent(12)}, {}, 0,
            "1 event served, 0 callback errors, 2 payloads"},
        {"a difference wins over a raise", Path("raises.py"), {Agent(12)}, {"--expect", Path("differs.jsonl")}, 1,
            "1 event served, 1 callback error, 1 payload"},
        {"bad input wins over a raise", Path("raises.py"), {Agent(12), bad_line}, {}, 2,
            "1 event served, 1 callback error, 1 payload"},
        {"bad input wins over a difference", Source("counter.py"), {Agent(12), bad_line},
            {"--expect", Path("differs.jsonl")}, 2, "1 event served, 0 callback errors, 2 payloads"},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = {"--script", c.script};
        args.insert(args.end(), c.args.begin(), c.args.end());
        args.push_back(Input(c.lines));
        Result r = Run(args);
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_EQ(LastLine(r.err), "qpp-replay: " + c.summary + "\n");
    }
}

TEST_F(Replay, RunawayCallbackIsInterrupted)
{
    // Ends by itself after a while, so that a tool without a budget fails
    // this test instead of hanging it.
    WriteFile(Path("runaway.py"), R"(import time
import qpp

def ProcessAgentEvent(event):
    if event == 12:
        end = time.monotonic() + 20
        while time.monotonic() < end:
            pass
    qpp.dispatch("t", [], "%d" % event)
)");
    auto start = std::chrono::steady_clock::now();
    Result r = Run({"--script", Path("runaway.py"), "--timeout", "1", Input({Agent(11), Agent(12), Agent(11)})});
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_EQ(LastLine(r.err), "qpp-replay: 3 events served, 1 callback error (1 interrupted), 3 payloads\n");
    // The events after it were served.
    EXPECT_THAT(Payloads(r.out), ElementsAre("11", "11", "99"));
    EXPECT_LT(took, std::chrono::seconds(15));
}

TEST_F(Replay, BudgetInTheRunsConfiguration)
{
    // The script reads the configuration the tool gave the plugin, which
    // lies beside the scratch data directory.
    std::string budget_script = R"(import json
import os
import qpp

here = os.path.dirname(os.path.abspath(__file__))
conf = os.path.join(os.path.dirname(os.path.dirname(here)), "quiven-proc-python.json")
qpp.print("budget: %s\n" % json.dumps(json.load(open(conf)).get("callback_timeout", "absent")))
)";
    WriteFile(Path("budget.py"), budget_script);
    std::string data = DataDir({});
    WriteFile(data + "/quiven-proc-python/budget.py", budget_script);
    std::string named = "\"script\": \"${path_state_persistent}/quiven-proc-python/budget.py\"";
    struct Case
    {
        std::string conf;  // empty: --script
        std::vector<std::string> args;
        std::string budget;
    };
    std::vector<Case> cases = {
        {"", {}, "10"},
        {"", {"--timeout", "2.5"}, "2.5"},
        {"", {"--timeout", "0"}, "\"absent\""},
        {"{" + named + "}", {}, "10"},
        {"{" + named + ", \"callback_timeout\": 30}", {}, "30"},
        {"{" + named + ", \"callback_timeout\": null}", {}, "null"},
        {"{" + named + ", \"callback_timeout\": 30}", {"--timeout", "5"}, "5"},
        {"{" + named + ", \"callback_timeout\": 30}", {"--timeout", "0"}, "null"},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.conf);
        std::vector<std::string> args = {"--script", Path("budget.py")};
        if (! c.conf.empty()) {
            WriteFile(Path("plugin.json"), c.conf);
            args = {"--conf", Path("plugin.json"), "--data-dir", data};
        }
        args.insert(args.end(), c.args.begin(), c.args.end());
        args.push_back(Input({}));
        Result r = Run(args);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_THAT(r.out, HasSubstr("budget: " + c.budget + "\n"));
        // The user's configuration is as it was.
        if (! c.conf.empty()) {
            EXPECT_EQ(ReadFile(Path("plugin.json")), c.conf);
        }
    }
}

TEST_F(Replay, BlockedHintOnlyWhenACallbackRunsLong)
{
    // Many short calls that take longer than the patience together: the
    // plugin is busy, not blocked.
    WriteFile(Path("busy.py"), "import time\n\ndef ProcessAgentEvent(event):\n    time.sleep(0.1)\n");
    Result r = Run({"--script", Path("busy.py"), "--timeout", "1", Input(std::vector<std::string>(110, Agent(11)))});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.err, Not(HasSubstr("is a script callback blocked?")));

    // One call that outlasts the budget and the patience after it: a call
    // blocked where the budget cannot reach it.
    WriteFile(Path("blocked.py"),
        "import time\n\ndef ProcessAgentEvent(event):\n    if event == 12:\n        time.sleep(6)\n");
    r = Run({"--script", Path("blocked.py"), "--timeout", "1", Input({Agent(11), Agent(12)})});
    EXPECT_THAT(r.err, HasSubstr("qpp-replay: still waiting for the plugin; is a script callback blocked?\n"));
}

TEST_F(Replay, HelperModulesBesideTheScriptImport)
{
    std::string dir = Path("scripts");
    fs::create_directories(dir + "/package");
    WriteFile(dir + "/helper.py", "NAME = 'helper'\n");
    WriteFile(dir + "/package/__init__.py", "NAME = 'package'\n");
    WriteFile(dir + "/main.py", R"(import helper
import package
import qpp

def ProcessAgentEvent(event):
    qpp.dispatch("t", [], "%s %s %d" % (helper.NAME, package.NAME, event))
)");
    WriteFile(Path("main_two.py"), R"(import helper
import qpp

def ProcessAgentEvent(event):
    qpp.dispatch("t", [], "two %s %d" % (helper.NAME, event))
)");
    std::string before = Listing(dir);
    Result r = Run({"--script", dir + "/main.py", Input({Agent(11), Reload("main_two.py"), Agent(12)})});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(Payloads(r.out), ElementsAre("helper package 11", "helper package 99", "two helper 12", "two helper 99"));
    EXPECT_EQ(Listing(dir), before);
}

TEST_F(Replay, SinkOutputNeverOverwritesWhatTheRunReads)
{
    std::string data = Path("data");
    fs::create_directory(data);
    std::string script = data + "/version_one.py";
    WriteFile(script, ReadFile(Source("version_one.py")));
    WriteFile(Path("plugin.json"), "{\"script\": \"${path_state_persistent}/version_one.py\"}");
    std::string own = Copy("version_one.py");
    WriteFile(Path("expected.jsonl"), "{}\n");
    std::string input = Input({Agent(11)});
    struct Case
    {
        std::vector<std::string> args;
        std::string file;
        std::string what;
    };
    std::vector<Case> cases = {
        {{"--script", own, input}, input, "the input"},
        {{"--script", own, "-"}, Path("stdin"), "the input (standard input)"},
        {{"--script", own, "--expect", Path("expected.jsonl"), input}, Path("expected.jsonl"),
            "the --expect file"},
        {{"--script", own, input}, own, "the script"},
        {{"--conf", Path("plugin.json"), "--data-dir", data, input}, Path("plugin.json"), "the configuration"},
        {{"--conf", Path("plugin.json"), "--data-dir", data, input}, script, "the configured script"},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.what);
        std::string content = ReadFile(c.file);
        std::vector<std::string> args = {"--sink-output", c.file};
        args.insert(args.end(), c.args.begin(), c.args.end());
        Result r = Run(args, Agent(11) + "\n");
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err, "qpp-replay: --sink-output " + c.file + " is " + c.what + ": it would be overwritten\n");
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(ReadFile(c.file), content);
    }
}

TEST_F(Replay, WriteErrorsFailTheRun)
{
    std::string input = Input({Agent(11), Agent(12)});
    Result r = Run({"--script", Source("counter.py"), input}, std::string(), false, "/dev/full");
    EXPECT_EQ(r.status, 2);
    EXPECT_THAT(r.err, StartsWith("qpp-replay: cannot write standard output: No space left on device\n"));

    r = Run({"--script", Source("counter.py"), "--sink-output", "/dev/full", input});
    EXPECT_EQ(r.status, 2);
    EXPECT_THAT(r.err, StartsWith("qpp-replay: cannot write /dev/full: No space left on device\n"));
    // The log itself was written.
    EXPECT_THAT(r.out, HasSubstr("unloaded after"));
}

TEST_F(Replay, PayloadsAreNotKeptWithoutExpect)
{
    // Freed blocks would otherwise stay in the sanitizer's quarantine and
    // count as resident.
    const char *options = getenv("ASAN_OPTIONS");
    std::string asan = std::string(options ? options : "") + ":quarantine_size_mb=0";
    setenv("ASAN_OPTIONS", asan.c_str(), 1);

    std::string script = "import qpp\n\ndef ProcessAgentEvent(event):\n    if event == 11:\n"
                         "        for i in range(50):\n            qpp.dispatch(\"t\", [], \"x\" * SIZE)\n";
    WriteFile(Path("small.py"), "SIZE = 1\n" + script);
    WriteFile(Path("large.py"), "SIZE = 2 * 1024 * 1024\n" + script);
    std::string input = Input({Agent(11)});
    // No budget: a sanitized build takes long over 100 MiB.
    Result small = Run({"--script", Path("small.py"), "--sink-output", "/dev/null", "--timeout", "0", input});
    Result large = Run({"--script", Path("large.py"), "--sink-output", "/dev/null", "--timeout", "0", input});
    ASSERT_EQ(small.status, 0) << small.err;
    ASSERT_EQ(large.status, 0) << large.err;
    EXPECT_EQ(LastLine(large.err), "qpp-replay: 1 event served, 0 callback errors, 50 payloads\n");
    // 100 MiB of payloads went through; a few of them at a time were in
    // memory.
    EXPECT_LT(large.max_rss_kib - small.max_rss_kib, 40 * 1024)
        << small.max_rss_kib << " KiB, then " << large.max_rss_kib << " KiB";
}

TEST_F(Replay, ScratchCopyNeverWritesThroughLinks)
{
    // The user's files live in "real"; the data directory reaches them
    // through links.
    std::string real = Path("real"), data = Path("data");
    fs::create_directory(real);
    WriteFile(real + "/version_one.py", ReadFile(Source("version_one.py")));
    Copy("version_two.py");
    struct Case
    {
        std::string name;
        std::string link;    // below data, to real
        std::string script;  // the configured script, below data
        int status;
        std::vector<std::string> payloads;
    };
    std::vector<Case> cases = {
        {"the module directory is a link", "quiven-proc-python", "quiven-proc-python/version_one.py", 0,
            {"one 11", "one 99", "two 12", "two 99"}},
        // Not on the module search path: it does not load, here as in the
        // daemon, but the reload line still replaces the copy.
        {"the script lies below a linked directory", "quiven-proc-python/lib",
            "quiven-proc-python/lib/version_one.py", 3, {}},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(data);
        fs::create_directories(fs::path(data + "/" + c.link).parent_path());
        fs::create_directory_symlink(real, data + "/" + c.link);
        WriteFile(Path("plugin.json"), "{\"script\": \"${path_state_persistent}/" + c.script + "\"}");
        std::string before = Listing(real);
        Result r = Run({"--conf", Path("plugin.json"), "--data-dir", data,
            Input({Agent(11), Reload("version_two.py"), Agent(12)})});
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_EQ(Payloads(r.out), c.payloads);
        EXPECT_EQ(Listing(real), before);
    }
}

TEST_F(Replay, StatsPrintsThePluginsCountersLast)
{
    std::string input = Input({Agent(11), NamedFlow(2, "one.example"), NamedFlow(3, "one.example"), Agent(12)});
    Result r = Run({"--script", Source("counter.py"), "--stats", "--sink-output", Path("payloads"), input});
    EXPECT_EQ(r.status, 0) << r.err;
    // The statistics are the last thing on standard output, as one JSON
    // document after the log.
    size_t start = r.out.find("\n{");
    ASSERT_NE(start, std::string::npos) << r.out;
    nlohmann::json stats = nlohmann::json::parse(r.out.substr(start + 1));
    EXPECT_EQ(stats["events"]["flow"]["served"], 2) << stats.dump();
    EXPECT_EQ(stats["events"]["agent"]["served"], 2);
    // The unload notice is a call of its own.
    EXPECT_EQ(stats["callbacks"]["ProcessAgentEvent"]["calls"], 3);
    EXPECT_EQ(stats["payloads"]["dispatched"], 5);
    EXPECT_EQ(stats["reloads"]["done"], 1);

    r = Run({"--script", Source("counter.py"), "--sink-output", Path("payloads"), input});
    EXPECT_THAT(r.out, Not(HasSubstr("\"events\"")));
}
