// qpp-replay as its users run it: the built tool in a process of its own,
// fed input files and scripts from tests/replay, judged by its exit status,
// standard output, standard error and payload files. The reading of input
// lines is also checked in this process, against the tool's own parser.

#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "replay-input.h"
#include "replay-tool.h"

namespace {

namespace fs = std::filesystem;
using namespace tool;
using namespace ::testing;
using ordered_json = nlohmann::ordered_json;

// The payload lines of text, in their order, and their payload texts.
std::vector<std::string> PayloadLines(const std::string &text)
{
    std::vector<std::string> lines;
    for (auto &line : SplitLines(text))
        if (line.rfind("{\"target\": ", 0) == 0) lines.push_back(line);
    return lines;
}

std::vector<std::string> Payloads(const std::string &text)
{
    std::vector<std::string> payloads;
    for (auto &line : PayloadLines(text)) payloads.push_back(ordered_json::parse(line)["payload"].get<std::string>());
    return payloads;
}

std::string Source(const std::string &name) { return std::string(QPP_REPLAY_TEST_DIR) + "/" + name; }
std::string Agent(int event) { return "{\"type\": \"agent\", \"event\": " + std::to_string(event) + "}"; }
std::string Reload(const std::string &script) { return "{\"type\": \"reload\", \"script\": \"" + script + "\"}"; }
std::string Flow(int e, const std::string &f) { return "{\"type\": \"flow\", \"event\": " + std::to_string(e) + ", \"flow\": {" + f + "}}"; }
std::string NamedFlow(int event, const std::string &name) { return Flow(event, "\"host_server_name\": \"" + name + "\""); }
std::string CountPayload(const std::string &p) { return R"({"target": "count", "channels": [], "flags": 0, "payload": ")" + p + "\"}"; }
std::string Joined(const std::vector<std::string> &lines)
{
    std::string text;
    for (auto &line : lines) text += line + "\n";
    return text;
}

// The summary line the tool ends standard error with.
Matcher<std::string> Summary(const std::string &text) { return EndsWith("qpp-replay: " + text + "\n"); }

// Names, contents and times of the files below dir, to see that nothing in
// it changed; links are listed, never followed.
std::string Listing(const std::string &dir)
{
    std::set<std::string> entries;
    for (auto &entry : fs::recursive_directory_iterator(dir)) {
        bool file = entry.symlink_status().type() == fs::file_type::regular;
        entries.insert(entry.path().string() +
            (file ? ": " + ReadFile(entry.path()) + " @" + std::to_string(entry.last_write_time().time_since_epoch().count()) : ""));
    }
    return Joined({entries.begin(), entries.end()});
}

class Replay : public ToolTest
{
protected:
    // An input file of these lines in the work directory.
    std::string Input(const std::vector<std::string> &lines)
    {
        WriteFile(Path("input.jsonl"), Joined(lines));
        return Path("input.jsonl");
    }

    // A copy of a file of tests/replay: in the work directory, where reload
    // lines find it, unless given a path.
    std::string Copy(const std::string &name, std::string path = std::string())
    {
        if (path.empty()) path = Path(name);
        WriteFile(path, ReadFile(Source(name)));
        return path;
    }
};

}  // namespace

// One run per row: the script and options, the input lines (a file, or
// standard input), and what the run must show.
TEST_F(Replay, RunsShowWhatTheScriptDid)
{
    WriteFile(Path("raises.py"), R"(import qpp
def ProcessAgentEvent(event):
    if event in (12, 99):
        raise ValueError("no")
    qpp.dispatch("t", [], "%d" % event)
)");
    WriteFile(Path("broken.py"), "import qpp\nraise ImportError('broken on purpose')\n");
    // Ends by itself after a while, so that a tool without a budget fails
    // the row instead of hanging it.
    WriteFile(Path("runaway.py"), R"(import time, qpp
def ProcessAgentEvent(event):
    end = time.monotonic() + (20 if event == 12 else 0)
    while time.monotonic() < end:
        pass
    qpp.dispatch("t", [], "%d" % event)
)");
    // Short calls, then one asleep where the budget cannot reach it.
    WriteFile(Path("busy.py"), "import time\ndef ProcessAgentEvent(event): time.sleep({11: 0.1, 12: 6}.get(event, 0))\n");
    std::string scripts = Path("scripts");
    fs::create_directories(scripts + "/package");
    WriteFile(scripts + "/helper.py", "NAME = 'helper'\n");
    WriteFile(scripts + "/package/__init__.py", "NAME = 'package'\n");
    WriteFile(scripts + "/main.py", "from helper import NAME\nfrom package import NAME\n" + ReadFile(Source("version_one.py")));
    WriteFile(scripts + "/main_two.py", "from helper import NAME\n" + ReadFile(Source("version_two.py")));
    std::string before = Listing(scripts);
    // What another user (nobody) can change is refused as the daemon refuses
    // it; the script in "mine" makes the file of the reload line after it
    // writable by others. Beside the work directory: the scripts in it would
    // link all of it.
    struct Removed { std::string dir; ~Removed() { std::error_code ignored; fs::remove_all(dir, ignored); } } others{work + "-others"};
    auto other = [&](const std::string &name) { return others.dir + "/" + name; };
    std::string shared = other("shared"), exposed = other("exposed"), mine = other("mine");
    std::string open = other("open"), owned = other("owned"), theirs = "/quiven-proc-python/theirs.py";
    for (auto dir : {shared, exposed + "/package", mine, open + "/quiven-proc-python", owned + "/quiven-proc-python"})
        fs::create_directories(dir);
    WriteFile(shared + "/main.py", "import planted\n");
    WriteFile(shared + "/planted.py", "import qpp\nqpp.print('planted ran\\n')\n");
    WriteFile(exposed + "/main.py", ReadFile(Source("version_one.py")));
    WriteFile(exposed + "/package/__init__.py", "");
    WriteFile(mine + "/main.py", "import os\n" + ReadFile(Source("version_one.py")) + R"(
def ProcessAgentEvent(event):
    if event == 11:
        os.chmod(os.path.realpath(os.path.join(os.path.dirname(__file__), "next.py")), 0o666)
    qpp.dispatch("log", [], "one %d" % event)
)");
    WriteFile(mine + "/next.py", ReadFile(Source("version_two.py")));
    for (auto dir : {open, owned}) {
        WriteFile(dir + theirs, ReadFile(Source("version_one.py")));
        EXPECT_EQ(chown((dir + theirs).c_str(), 65534, 65534), 0);
    }
    EXPECT_EQ(chown((shared + "/planted.py").c_str(), 65534, 65534), 0);
    chmod(shared.c_str(), 01777);
    chmod((exposed + "/package/__init__.py").c_str(), 0666);
    chmod((open + theirs).c_str(), 0666);
    chmod((open + "/quiven-proc-python").c_str(), 0777);
    std::string theirs_conf = other("theirs.json"), unchecked = other("unchecked.json");
    WriteFile(theirs_conf, "{\"script\": \"${path_state_persistent}" + theirs + "\"}");
    WriteFile(unchecked, "{\"script\": \"${path_state_persistent}" + theirs + "\", \"check_permissions\": false}");
    // Reprs, so that a type shows.
    WriteFile(Path("fields.py"), R"(import qpp
def ProcessFlowEvent(event, flow):
    s = flow["stats"]
    qpp.dispatch("t", [], repr([flow["host_server_name"], flow["lower_addr"], flow["lower_port"], s["lower_bytes"],
                                s["upper_bytes"], s["lower_rate"], flow.get("tls", {}).get("client_sni")]))
)");
    Copy("version_two.py");
    std::string expected = Path("expected.jsonl"), wrong = Path("wrong.jsonl");
    auto counts = [](const std::string &second) {
        return CountPayload("1 agent 11") + "\n" + CountPayload(second) + "\n" + CountPayload("3 agent 99") + "\n";
    };
    WriteFile(expected, counts("2 agent 12"));
    WriteFile(wrong, counts("2 agent 13"));
    // This one reads the configuration the tool gave the plugin, which lies
    // beside the scratch data directory.
    std::string budget = R"(import json, os, qpp
here = os.path.dirname(os.path.abspath(__file__))
conf = os.path.join(os.path.dirname(os.path.dirname(here)), "quiven-proc-python.json")
given = json.load(open(conf))
qpp.print("budget: %s\n" % json.dumps(given.get("callback_timeout", "absent")))
qpp.print("queue: %s\n" % " ".join(json.dumps(given.get(key, "absent")) for key in ("queue_max_events", "queue_max_bytes")))
)";
    std::string data = Path("data"), named = "{\"script\": \"${path_state_persistent}/quiven-proc-python/budget.py\"";
    fs::create_directories(data + "/quiven-proc-python");
    for (auto path : {Path("budget.py"), data + "/quiven-proc-python/budget.py"}) WriteFile(path, budget);
    std::vector<std::string> confs = {named + "}", named + ", \"callback_timeout\": 30}", named + ", \"callback_timeout\": null}",
        named + ", \"queue_max_events\": 7}"};
    for (size_t i = 0; i < confs.size(); i++) WriteFile(Path("conf" + std::to_string(i)), confs[i]);
    auto conf = [&](int i, std::vector<std::string> more = {}) {
        more.insert(more.begin(), {"--conf", Path("conf" + std::to_string(i)), "--data-dir", data});
        return more;
    };
    // --stats: the counters are the last thing on standard output, one JSON
    // document after the unload notice (a call of its own).
    auto counters = [](const std::string &out) {
        size_t at = out.find("unloaded after 5 events\n{");
        auto s = nlohmann::json::parse(at == std::string::npos ? "" : out.substr(at + 24), nullptr, false);
        if (s.is_discarded()) return std::string("no statistics");
        return "flow " + s["events"]["flow"]["served"].dump() + ", agent " + s["events"]["agent"]["served"].dump() + ", calls " +
            s["callbacks"]["ProcessAgentEvent"]["calls"].dump() + ", payloads " + s["payloads"]["dispatched"].dump() + ", reloads " +
            s["reloads"]["done"].dump();
    };
    std::string counter = Source("counter.py"), one = Copy("version_one.py"), bad = "{\"type\": \"agents\"}";
    std::vector<std::string> many, served;
    for (int i = 0; i < 150; i++) {
        many.insert(many.end(), {Agent(i % 2 ? 12 : 11), NamedFlow(2 + i % 6, "f" + std::to_string(i))});
        served.push_back(std::to_string(2 * i + 1) + " agent " + (i % 2 ? "12" : "11"));
        served.push_back(std::to_string(2 * i + 2) + " flow " + std::to_string(2 + i % 6) + " f" + std::to_string(i));
    }
    served.push_back("301 agent 99");
    struct Case
    {
        std::string name;
        std::vector<std::string> args, lines;  // the input file of the lines follows args, unless they are standard input
        int status;
        std::vector<std::string> payloads;
        Matcher<std::string> out = _, err = _;
        bool from_stdin = false;
    };
    std::vector<Case> cases = {
        // Status lines reach the agent callback; the script's own line comes
        // after the payload it dispatched before it, and standard error holds
        // the summary alone: the unload notice is no served event.
        {"log and payloads in order", {"--script", counter}, {Agent(11), NamedFlow(2, "one.example"), Agent(12),
            "{\"type\": \"status\", \"event\": 11, \"status\": {\"timestamp\": 1, \"uptime\": 2, \"flows\": 3}}",
            "{\"type\": \"status\", \"event\": 12}"}, 0,
            {"1 agent 11", "2 flow 2 one.example", "3 agent 12", "4 agent 11", "5 agent 12", "6 agent 99"},
            AllOf(StartsWith("quiven-proc-python: Quiven Python Processor Plugin v"),
                EndsWith(CountPayload("6 agent 99") + "\nunloaded after 6 events\n")),
            Eq("qpp-replay: 5 events served, 0 callback errors, 6 payloads\n")},
        {"every event, in order", {"--script", counter}, many, 0, served, EndsWith("unloaded after 301 events\n")},
        {"standard input by default", {"--script", counter}, {Agent(11), Agent(12)}, 0, {"1 agent 11", "2 agent 12", "3 agent 99"},
            _, _, true},
        {"- names standard input", {"--script", counter, "-"}, {Agent(11)}, 0, {"1 agent 11", "2 agent 99"}, _, _, true},
        // Blank lines that begin as a pcapng section header does.
        {"blank lines of line ends", {"--script", counter}, {"", "\r\r", Agent(11)}, 0, {"1 agent 11", "2 agent 99"}},
        // The payloads go to the file (checked below), the log stays.
        {"--stats and --sink-output", {"--script", counter, "--stats", "--sink-output", Path("payloads.jsonl")},
            {Agent(11), NamedFlow(2, "one.example"), NamedFlow(3, "one.example"), Agent(12)}, 0, {},
            ResultOf(counters, Eq("flow 2, agent 2, calls 3, payloads 5, reloads 1"))},
        {"--sinks: other targets refuse", {"--script", Source("two_sinks.py"), "--sinks", "a"}, {Agent(11)}, 0, {"to a"},
            AllOf(HasSubstr(R"({"target": "a", "channels": ["ch"], "flags": 0, "payload": "to a"})"),
                HasSubstr("a True\n"), HasSubstr("b False\n"))},
        {"every target accepts", {"--script", Source("two_sinks.py")}, {Agent(11)}, 0, {"to a", "to b"}, HasSubstr("b True\n")},
        {"no debug lines", {"--script", Source("debug_lines.py")}, {Agent(11)}, 0, {},
            AllOf(HasSubstr("print line 11\n"), Not(HasSubstr("debug line")), Not(HasSubstr("callback function loaded")))},
        {"--debug", {"--script", Source("debug_lines.py"), "--debug"}, {Agent(11)}, 0, {},
            AllOf(HasSubstr("debug line 11\nprint line 11\n"), HasSubstr("debug_lines: callback function loaded: ProcessAgentEvent\n"))},
        {"--expect, equal", {"--script", counter, "--expect", expected}, {Agent(11), Agent(12)}, 0,
            {"1 agent 11", "2 agent 12", "3 agent 99"}, _, Eq("qpp-replay: 2 events served, 0 callback errors, 3 payloads\n")},
        {"--expect shows a diff; the run still shows everything", {"--script", counter, "--expect", wrong},
            {Agent(11), Agent(12)}, 1, {"1 agent 11", "2 agent 12", "3 agent 99"}, _,
            AllOf(HasSubstr("--- " + wrong), HasSubstr("@@ -1,3 +1,3 @@\n " + CountPayload("1 agent 11") + "\n"),
                HasSubstr("\n-" + CountPayload("2 agent 13") + "\n"), HasSubstr("\n+" + CountPayload("2 agent 12") + "\n"),
                HasSubstr("\n " + CountPayload("3 agent 99") + "\n"))},
        {"a bad line stops the run after a clean end", {"--script", counter}, {Agent(11), "", Agent(12), bad, Agent(11)}, 2,
            {"1 agent 11", "2 agent 12", "3 agent 99"}, _,
            Eq("line 4: unknown type: agents\nqpp-replay: 2 events served, 0 callback errors, 3 payloads\n")},
        {"reload between events", {"--script", one}, {Agent(11), NamedFlow(2, "a"), Agent(12), Reload("version_two.py"),
            NamedFlow(3, "b"), Agent(11)}, 0, {"one 11", "one flow a", "one 12", "one 99", "two flow b", "two 11", "two 99"}},
        // No unload notice until the end: the digest did not change.
        {"an unchanged script is kept", {"--script", one, "--debug"}, {Agent(11), "{\"type\": \"reload\"}", Agent(12),
            Reload(one), Agent(11)}, 0, {"one 11", "one 12", "one 11", "one 99"}, HasSubstr("not reloading, no change.")},
        {"helper modules beside the script", {"--script", scripts + "/main.py"}, {Agent(11), Reload(scripts + "/main_two.py"), Agent(12)}, 0,
            {"one 11", "one 99", "two 12", "two 99"}},
        // Maps with no flow that passes queue nothing.
        {"flow maps filtered as in the daemon", {"--script", Source("map_names.py")},
            {"{\"type\": \"flow_map\", \"event\": 1, \"flows\": [{\"host_server_name\": \"ready\", \"flags\": {\"detection_init\": true}},"
             "{\"host_server_name\": \"new\"}, {\"host_server_name\": \"gone\", \"flags\": {\"detection_init\": true, \"expired\": true}},"
             "{\"host_server_name\": \"also-ready\", \"flags\": {\"detection_init\": true, \"expiring\": true}}]}",
             "{\"type\": \"flow_map\", \"event\": 1, \"flows\": [{\"host_server_name\": \"x\"}]}",
             "{\"type\": \"flow_map\", \"event\": 1, \"flows\": []}"}, 0, {"2", "also-ready ready"}},
        // Each event shows the flow as its own line left it, although the worker
        // serves it later; a protocol group alone sets the master protocol, and
        // client_sni is the flow's host_server_name; a flow without an id is a
        // new flow.
        {"lines with an id update the same flow", {"--script", Path("fields.py")}, {
            Flow(2, "\"id\": \"f\", \"host_server_name\": \"first\", \"lower_addr\": \"10.0.0.1\", \"lower_port\": 1000, "
                "\"stats\": {\"lower_bytes\": 10, \"lower_rate\": 2.9}"),
            Flow(3, "\"id\": \"f\", \"host_server_name\": \"second\", \"lower_port\": 2000, \"stats\": {\"upper_bytes\": 5}"),
            Flow(4, "\"id\": \"f\", \"lower_addr\": \"10.0.0.2\", \"tls\": {\"client_sni\": \"third\"}"), NamedFlow(5, "other")}, 0,
            {"['first', '10.0.0.1', 1000, 10, 0, 2, None]", "['second', '10.0.0.1', 2000, 10, 5, 2, None]",
             "['third', '10.0.0.2', 2000, 10, 5, 2, 'third']", "['other', '', 0, 0, 0, 0, None]"}},
        {"a callback raises", {"--script", Path("raises.py")}, {Agent(11), Agent(12), Agent(11)}, 3, {"11", "11"}, _,
            Summary("3 events served, 2 callback errors, 2 payloads")},
        {"the unload notice raises", {"--script", Path("raises.py")}, {Agent(11)}, 3, {"11"}, _,
            Summary("1 event served, 1 callback error, 1 payload")},
        {"a runaway callback is interrupted; the events after it are served", {"--script", Path("runaway.py"), "--timeout", "1"},
            {Agent(11), Agent(12), Agent(11)}, 3, {"11", "11", "99"}, _,
            Summary("3 events served, 1 callback error (1 interrupted), 3 payloads")},
        // Calls that take longer than the patience together: busy, not
        // blocked. One call that outlasts the budget and the patience after it.
        {"busy", {"--script", Path("busy.py"), "--timeout", "1"}, std::vector<std::string>(60, Agent(11)), 0, {}, _,
            Not(HasSubstr("is a script callback blocked?"))},
        {"blocked", {"--script", Path("busy.py"), "--timeout", "1"}, {Agent(11), Agent(12)}, 3, {}, _,
            HasSubstr("qpp-replay: still waiting for the plugin; is a script callback blocked?\n")},
        {"the first load fails", {"--script", Path("broken.py")}, {Agent(11)}, 3, {}, _,
            Summary("0 events served, 1 dropped, 0 callback errors, 1 failed script load, 0 payloads")},
        {"a reload line fails", {"--script", one}, {Agent(11), Reload("broken.py"), Agent(12)}, 3, {"one 11", "one 99"}, _,
            Summary("1 event served, 1 dropped, 0 callback errors, 1 failed script load, 2 payloads")},
        {"a failed reload fixed later still fails", {"--script", one}, {Reload("broken.py"), Reload("version_two.py"), Agent(12)},
            3, {"one 99", "two 12", "two 99"}, _, Summary("1 event served, 0 callback errors, 1 failed script load, 3 payloads")},
        {"a difference wins over a raise", {"--script", Path("raises.py"), "--expect", wrong}, {Agent(11)}, 1, {"11"}, _,
            Summary("1 event served, 1 callback error, 1 payload")},
        {"bad input wins over a raise", {"--script", Path("raises.py")}, {Agent(11), bad}, 2, {"11"}, _,
            Summary("1 event served, 1 callback error, 1 payload")},
        {"bad input wins over a difference", {"--script", counter, "--expect", wrong}, {Agent(12), bad}, 2,
            {"1 agent 12", "2 agent 99"}, _, Summary("1 event served, 0 callback errors, 2 payloads")},
        // The log itself was written.
        {"a payload file that cannot be written", {"--script", counter, "--sink-output", "/dev/full"}, {Agent(11)}, 2, {},
            HasSubstr("unloaded after"), StartsWith("qpp-replay: cannot write /dev/full: No space left on device\n")},
        // Refused before anything runs, with the plugin's messages.
        {"a script among files that others can add", {"--script", shared + "/main.py"}, {Agent(11)}, 3, {}, Eq(""),
            Eq("qpp-replay: refusing to use module directory: " + shared + ": " + shared + " is writable by others (mode 1777)\n")},
        {"a helper that others can change", {"--script", exposed + "/main.py"}, {Agent(11)}, 3, {}, Eq(""),
            Eq("qpp-replay: refusing to use module directory: " + exposed + ": " + exposed +
                "/package/__init__.py is writable by others (mode 0666)\n")},
        {"a module directory that others can change", {"--conf", theirs_conf, "--data-dir", open}, {Agent(11)}, 3, {}, Eq(""),
            Eq("qpp-replay: refusing to use module directory: " + open + "/quiven-proc-python: " + open +
                "/quiven-proc-python is writable by others (mode 0777)\n")},
        {"a script of another user", {"--conf", theirs_conf, "--data-dir", owned}, {Agent(11)}, 3, {}, Eq(""),
            Eq("qpp-replay: refusing to load script: " + owned + theirs + ": " + owned + theirs +
                " is owned by uid 65534, neither root nor the daemon's user (uid 0)\n")},
        {"a configuration that turns the check off", {"--conf", unchecked, "--data-dir", open}, {Agent(11)}, 0, {"one 11", "one 99"}},
        {"a reload line names a file elsewhere", {"--script", one}, {Agent(11), Reload(scripts + "/helper.py"), Agent(12)}, 2,
            {"one 11", "one 99"}, _, Eq("line 2: script: " + scripts + "/helper.py is neither beside the script nor in the module "
                "directory\nqpp-replay: 1 event served, 0 callback errors, 2 payloads\n")},
        {"a reload line's file is judged as it is read", {"--script", mine + "/main.py"}, {Agent(11), Reload(mine + "/next.py"), Agent(12)},
            3, {"one 11", "one 12", "one 99"}, _, Eq("qpp-replay: line 2: refusing to load script: " + mine + "/next.py: " + mine +
                "/next.py is writable by others (mode 0666)\nqpp-replay: 2 events served, 0 callback errors, 1 failed script load, 3 payloads\n")},
        // The budget in the configuration the plugin gets: the command line's
        // replaces the configuration's own, the default fills in where it is silent.
        {"the default budget", {"--script", Path("budget.py")}, {}, 0, {}, HasSubstr("budget: 10\n")},
        {"--timeout", {"--script", Path("budget.py"), "--timeout", "2.5"}, {}, 0, {}, HasSubstr("budget: 2.5\n")},
        {"--timeout 0", {"--script", Path("budget.py"), "--timeout", "0"}, {}, 0, {}, HasSubstr("budget: \"absent\"\n")},
        {"a configuration without a budget", conf(0), {}, 0, {}, HasSubstr("budget: 10\n")},
        {"the configuration's budget", conf(1), {}, 0, {}, HasSubstr("budget: 30\n")},
        {"the configuration's null", conf(2), {}, 0, {}, HasSubstr("budget: null\n")},
        {"--timeout over the configuration's", conf(1, {"--timeout", "5"}), {}, 0, {}, HasSubstr("budget: 5\n")},
        {"--timeout 0 over the configuration's", conf(1, {"--timeout", "0"}), {}, 0, {}, HasSubstr("budget: null\n")},
        // The queue's bound, likewise.
        {"the default queue bound", {"--script", Path("budget.py")}, {}, 0, {}, HasSubstr("queue: 16384 67108864\n")},
        {"--queue-max-events, --queue-max-bytes 0", {"--script", Path("budget.py"), "--queue-max-events", "5", "--queue-max-bytes", "0"},
            {}, 0, {}, HasSubstr("queue: 5 \"absent\"\n")},
        {"the configuration's queue bound", conf(3), {}, 0, {}, HasSubstr("queue: 7 67108864\n")},
        // 0, as the plugin reads it: no bound (null would be its default).
        {"--queue-max-events 0 over the configuration's", conf(3, {"--queue-max-events", "0"}), {}, 0, {}, HasSubstr("queue: 0 67108864\n")},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = c.args;
        if (! c.from_stdin) args.push_back(Input(c.lines));
        Result r = Run(args, c.from_stdin ? Joined(c.lines) : "");
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_EQ(Payloads(r.out), c.payloads);
        EXPECT_THAT(r.out, c.out);
        EXPECT_THAT(r.err, c.err);
    }
    // Nothing was written beside the script, nor to the configurations.
    EXPECT_EQ(Listing(scripts), before);
    for (size_t i = 0; i < confs.size(); i++) EXPECT_EQ(ReadFile(Path("conf" + std::to_string(i))), confs[i]);
    EXPECT_THAT(Payloads(ReadFile(Path("payloads.jsonl"))),
        ElementsAre("1 agent 11", "2 flow 2 one.example", "3 flow 3 one.example", "4 agent 12", "5 agent 99"));

    // The message of a bad line comes once the plugin has been terminated.
    Result r = Run({"--script", counter, Input({Agent(11), bad})}, "", true);
    EXPECT_THAT(r.out, ContainsRegex("unloaded after 2 events\n.*line 2: unknown type"));
    r = Run({"--script", counter, Input({Agent(11)})}, "", false, "/dev/full");
    EXPECT_EQ(r.status, 2);
    EXPECT_THAT(r.err, StartsWith("qpp-replay: cannot write standard output: No space left on device\n"));
}

// Ways out of a run: its scratch directory goes every time. A script that
// takes the free descriptors; standard output whose reader is gone (a
// write error, not SIGPIPE); a stop request while a pipe is quiet: what was
// read is served, the plugin stops cleanly, and the run ends by the signal.
TEST_F(Replay, EveryWayOutRemovesTheScratchDirectory)
{
    ScratchHere();
    // All but two descriptors: fewer than it takes to walk the directory,
    // enough for the pipe that a sanitized build's checks open.
    WriteFile(Path("greedy.py"), R"(import os, qpp
held = []
def ProcessAgentEvent(event):
    try:
        while True:
            held.append(os.open("/dev/null", os.O_RDONLY))
    except OSError as e:
        qpp.print("took every descriptor: %s\n" % e.strerror)
    os.close(held.pop())
    os.close(held.pop())
)");
    std::string counter = Source("counter.py"), fifo = Path("fifo");
    Result r = Run({"--script", Path("greedy.py"), Input({Agent(11)})});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("took every descriptor: Too many open files\n"));
    EXPECT_THAT(Scratches(), IsEmpty());

    r = Wait(Spawn({"--script", counter, "--stats", Input({Agent(11)})}, "/dev/null", false, "|"));
    EXPECT_EQ(r.status, 2);
    EXPECT_THAT(r.err, StartsWith("qpp-replay: cannot write standard output: Broken pipe\n"));
    EXPECT_THAT(Scratches(), IsEmpty());

    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    pid_t tool = Spawn({"--script", counter, fifo});
    int writer = open(fifo.c_str(), O_WRONLY);
    std::string line = Agent(11) + "\n";
    EXPECT_EQ(write(writer, line.data(), line.size()), ssize_t(line.size()));
    EXPECT_TRUE(Eventually([&] { return ReadFile(Path("stdout")).find("1 agent 11") != std::string::npos; }, std::chrono::seconds(20)));
    kill(tool, SIGTERM);
    r = Wait(tool, std::chrono::seconds(5));
    close(writer);
    EXPECT_EQ(r.signal, SIGTERM);
    EXPECT_EQ(Payloads(r.out), (std::vector<std::string>{"1 agent 11", "2 agent 99"}));
    EXPECT_THAT(r.err, HasSubstr("qpp-replay: stopped (Terminated) before the end of the input\n"));
    EXPECT_THAT(Scratches(), IsEmpty());
}

// Usage errors and files that cannot be used: refused before the plugin
// starts, with exit status 2 and a message that says what is wrong. A payload
// file that the run reads is refused before it is opened.
TEST_F(Replay, UsageAndSetupErrorsAreSaidPlainly)
{
    // The work directory is the data directory too, and plugin.json names the script.
    std::string input = Input({Agent(11)}), script = Copy("counter.py"), data = work, conf = Path("absent-script.json");
    std::string plugin = Path("plugin.json"), line = Agent(11) + "\n";
    std::string usage = "qpp-replay: give --script FILE, or --conf FILE with --data-dir DIR\n\n";
    WriteFile(conf, "{\"script\": \"" + data + "/absent.py\"}");
    WriteFile(plugin, "{\"script\": \"${path_state_persistent}/counter.py\"}");
    std::map<std::string, std::string> kept = {{Path("stdin"), line}};  // what the files given to --sink-output hold
    std::string helper = Path("helper.py"), module = Path("quiven-proc-python/helper.py");
    fs::create_directory(Path("quiven-proc-python"));
    for (auto file : {helper, module}) WriteFile(file, "NAME = 'helper'\n");
    for (auto file : {input, conf, script, plugin, helper, module}) kept[file] = ReadFile(file);
    auto overwritten = [](const std::string &file, const std::string &what) {
        return "--sink-output " + file + " is " + what + ": it would be overwritten\n";
    };
    std::vector<std::pair<std::vector<std::string>, std::string>> cases = {  // the arguments, what standard error starts with
        {{}, usage + "Usage: qpp-replay --script FILE"},
        {{"--conf", plugin, input}, "--conf needs --data-dir\n"},
        {{"--script", script, "--conf", conf, "--data-dir", data}, "give either --script or --conf, not both\n"},
        {{"--script", script, "--data-dir", data}, "--data-dir goes with --conf; --script makes its own\n"},
        {{"--script", script, "--colour", input}, "unknown option --colour\n"},
        {{"--script", script, "-x", input}, "unknown option -x\n"},
        {{"--script", script, "--debug=yes", input}, "--debug takes no value\n"},
        {{"--script", script, input, "--expect"}, "--expect needs a value\n"},
        {{"--script", script, input, conf}, "more than one INPUT: " + conf + "\n"},
        {{"--script", script, "--var", "=x", input}, "--var needs NAME=VALUE, not =x\n"},
        {{"--script", script, "--timeout", "-1", input}, "--timeout needs a number of seconds, not -1\n"},
        {{"--script", script, "--timeout", "nan", input}, "--timeout needs a number of seconds, not nan\n"},
        {{"--script", script, "--timeout", "", input}, "--timeout needs a number of seconds, not \n"},
        {{"--script", script, "--queue-max-events", "-1", input}, "--queue-max-events needs a whole number, 0 for no limit, not -1\n"},
        {{"--script", script, "--count", "3", input}, "--count goes with a capture: INPUT a pcap or pcapng file, or --interface\n"},
        {{"--script", script, "--update-interval", "0"}, "--update-interval needs a number of seconds above zero, not 0\n"},
        {{"--script", script, "--duration", "soon"}, "--duration needs a number of seconds above zero, not soon\n"},
        {{"--script", script, "--count", "-1"}, "--count needs a whole number above zero, not -1\n"},
        {{"--script", script, "--max-flows=0"}, "--max-flows needs a whole number above zero, not 0\n"},
        {{"--script", script, "--idle-timeout", "tcp"}, "--idle-timeout needs NAME=SECONDS (tcp, tcp-closed, udp, other), not tcp\n"},
        {{"--script", script, "--idle-timeout", "sctp=5"}, "--idle-timeout knows tcp, tcp-closed, udp and other, not sctp\n"},
        {{"--script", script, "--idle-timeout", "udp=-1"}, "--idle-timeout udp needs a number of seconds, not -1\n"},
        // The host counts whole milliseconds: less than one would be none at all.
        {{"--script", script, "--duration", "0.0004"}, "--duration needs at least 0.001 seconds (the host counts whole milliseconds), not 0.0004\n"},
        {{"--script", script, "--update-interval", "1e-4"}, "--update-interval needs at least 0.001 seconds (the host counts whole milliseconds), not 1e-4\n"},
        {{"--script", script, "--idle-timeout", "tcp=0.0002"}, "--idle-timeout tcp needs at least 0.001 seconds (the host counts whole milliseconds), not 0.0002\n"},
        {{"--script", script, "--interface", "", "--duration", "2"}, "--interface needs the name of an interface, not an empty text\n"},
        {{"--script", Path("absent.py"), input}, "cannot read the script " + Path("absent.py") + ": No such file or directory\n"},
        {{"--conf", conf, "--data-dir", data, input},
            "the script that " + conf + " names, " + data + "/absent.py, cannot be read: No such file or directory\n"},
        {{"--plugin", Path("absent.so"), "--script", script, input}, "cannot load the plugin " + Path("absent.so") + ": "},
        {{"--sink-output", input, "--script", script, input}, overwritten(input, "the input")},
        {{"--sink-output", Path("stdin"), "--script", script, "-"}, overwritten(Path("stdin"), "the input (standard input)")},
        {{"--sink-output", conf, "--script", script, "--expect", conf, input}, overwritten(conf, "the --expect file")},
        {{"--sink-output", script, "--script", script, input}, overwritten(script, "the script")},
        {{"--sink-output", plugin, "--conf", plugin, "--data-dir", data, input}, overwritten(plugin, "the configuration")},
        {{"--sink-output", script, "--conf", plugin, "--data-dir", data, input}, overwritten(script, "the configured script")},
        {{"--sink-output", helper, "--script", script, input}, overwritten(helper, "a module beside the script")},
        {{"--sink-output", module, "--conf", plugin, "--data-dir", data, input}, overwritten(module, "a module in the module directory")},
    };
    for (auto &[args, message] : cases) {
        SCOPED_TRACE(PrintToString(args));
        Result r = Run(args, line);
        EXPECT_EQ(r.status, 2);
        EXPECT_THAT(r.err, StartsWith(message.rfind(usage, 0) == 0 ? message : "qpp-replay: " + message));
        EXPECT_EQ(r.out, "");
        if (! args.empty() && args[0] == "--sink-output") {
            EXPECT_EQ(ReadFile(args[1]), kept[args[1]]);
        }
    }
    // --help, and its short form, show the usage on standard output, and
    // --version the version: the man page is made of the two, by help2man.
    std::string help = "Usage: qpp-replay --script FILE [options] [INPUT]\n";
    for (auto &[asked, text] : std::vector<std::pair<std::string, Matcher<std::string>>>{
             {"--help", AllOf(StartsWith(help), HasSubstr("  --interface NAME"), HasSubstr("\nExit status:\n"))},
             {"-h", StartsWith(help)},
             {"--version", Eq(std::string("qpp-replay (quiven-proc-python) " QPP_REPLAY_VERSION "\n"))}}) {
        SCOPED_TRACE(asked);
        Result r = Run({asked});
        EXPECT_EQ(r.status, 0);
        EXPECT_THAT(r.out, text);
    }
}

// The tool's parser against every kind of bad line: the first problem of the
// line, named by its key.
TEST(ReplayInput, BadLinesAreNamedPrecisely)
{
    std::string dir = fs::temp_directory_path();
    auto flow = [](const std::string &text) { return Flow(2, text); };
    auto map = [](const std::string &flows) { return "{\"type\": \"flow_map\", \"event\": 1, \"flows\": [" + flows + "]}"; };
    std::vector<std::pair<std::string, std::string>> cases = {  // the line, the message (a prefix when it ends in a space)
        {"{\"type\": \"agent\",", "malformed JSON: "},
        {"[1, 2]", "expected a JSON object"},
        {"{\"event\": 11}", "missing key: type"},
        {"{\"type\": \"agents\", \"event\": 11}", "unknown type: agents"},
        {"{\"type\": \"agent\", \"event\": 11, \"colour\": 1}", "unknown key: colour"},
        {"{\"type\": \"agent\"}", "missing key: event"},
        {"{\"type\": \"agent\", \"event\": -1}", "event: expected an integer from 0 to 65535"},
        // The parser reports a number beyond a double's range as out_of_range,
        // not parse_error; it is malformed all the same.
        {"{\"type\": \"agent\", \"event\": 1e400}", "malformed JSON: number overflow parsing '1e400'"},
        {flow("\"tls\": {\"foo\": 1}"), "unknown key: flow.tls.foo"},
        {flow("\"colour\": \"red\""), "unknown key: flow.colour"},
        {flow("\"flags\": {\"expird\": true}"), "unknown key: flow.flags.expird"},
        {map("{}, {\"stats\": {\"bytes\": 1}}"), "unknown key: flows[1].stats.bytes"},
        {flow("\"vlan_id\": 70000"), "flow.vlan_id: expected an integer from 0 to 65535"},
        {flow("\"lower_mac\": \"10.0.0.1\""), "flow.lower_mac: not a MAC address: 10.0.0.1"},
        {flow("\"upper_addr\": \"example.com\""), "flow.upper_addr: not an IP address: example.com"},
        {flow("\"lower_port\": 80"), "flow.lower_port: a port needs an address"},
        {flow("\"digest_lower\": \"abc\""), "flow.digest_lower: expected 40 hexadecimal digits"},
        // The right length with a bad digit: refused without combining the
        // bad digit (the sanitized build would stop on that).
        {flow("\"digest_mdata\": [\"g123456789abcdef0123456789abcdef01234567\"]"), "flow.digest_mdata[0]: expected 40 hexadecimal digits"},
        {flow("\"flags\": {\"expired\": 1}"), "flow.flags.expired: expected true or false"},
        {flow("\"tls\": {}, \"http\": {}"), "flow: several protocol groups (http, tls): give master_protocol to choose the one scripts see"},
        {flow("\"host_server_name\": \"a\", \"tls\": {\"client_sni\": \"b\"}"),
            "flow.tls.client_sni: differs from flow.host_server_name, whose value scripts see here"},
        {map("{\"id\": \"x\"}, {\"id\": \"x\"}"), "flows[1].id: x is already in this flow map"},
        {Reload("no-such-script.py"), "script: cannot read " + dir + "/no-such-script.py: No such file or directory"},
        // Input the host cannot represent.
        {Reload("."), "script: cannot read " + dir + "/.: it is a directory"},
        {Reload("/dev/null"), "script: cannot read /dev/null: not a regular file"},
        {Reload("a.py\\u0000.txt"), "script: contains a NUL character"},
        {NamedFlow(2, "a\\u0000b"), "flow.host_server_name: contains a NUL character"},
        {map("{\"http\": {\"user_agent\": \"\\u0000\"}}"), "flows[0].http.user_agent: contains a NUL character"},
        {"{\"type\": \"agent\\u0000\", \"event\": 11}", "type: contains a NUL character"},
        {Agent(11) + std::string(1, '\0') + "{\"x\": 1}", "contains a NUL byte"},
        {flow("\"tls\": " + std::string(100000, '[') + std::string(100000, ']')), "nested deeper than 64 levels"},
        // Each event value has one hook; a line of another type is refused.
        {Agent(9), "event: expected an agent event, 11 or 12"},
        {"{\"type\": \"status\", \"event\": 2}", "event: expected an agent event, 11 or 12"},
        {Flow(11, ""), "event: expected a flow event, 2 to 7"},
        {"{\"type\": \"flow_map\", \"event\": 2, \"flows\": [{}]}", "event: expected the flow map event, 1"},
    };
    for (auto &[text, message] : cases) {
        SCOPED_TRACE(text.substr(0, 200));
        // What the tool does with a line before the plugin sees any of it.
        std::string refused;
        try {
            qppReplayLine line = qppReplayParseLine(text);
            qppReplayFlows flows;
            if (line.type == qppReplayLine::Type::FLOW) flows.Flow(line.flow, "flow");
            if (line.type == qppReplayLine::Type::FLOW_MAP) flows.FlowMap(line.flow);
            if (line.type == qppReplayLine::Type::RELOAD && line.script)
                qppReplayReadScript((*line.script)[0] == '/' ? *line.script : dir + "/" + *line.script);
        }
        catch (const qppReplayInputError &e) { refused = e.what(); }
        EXPECT_THAT(refused, message.back() == ' ' ? Matcher<std::string>(StartsWith(message)) : Eq(message));
    }
}

// The user's files live in "real": the data directory holds a copy of them or
// reaches them through a link. Nothing of the user's is written, not even for
// a moment, while reload lines replace the configured script.
TEST_F(Replay, ConfRunsOnAScratchCopy)
{
    std::string real = Path("real"), data = Path("data"), conf = Path("plugin.json");
    fs::create_directory(real);
    Copy("version_one.py", real + "/version_one.py");
    // A helper module of the data directory imports from the copy; the
    // replacement, beside the script, tells what the user's script holds
    // while the replay runs.
    WriteFile(real + "/helper.py", "NAME = 'helper'\n");
    WriteFile(real + "/version_two.py", ReadFile(Source("version_two.py")) + "import helper\nqpp.print('%s; user script: %s' % "
        "(helper.NAME, open('" + data + "/quiven-proc-python/version_one.py').readline()))\n");
    struct Case
    {
        std::string link, script;  // below data, a link to real (none: a copy of real); the configured script
        int status;
    } cases[] = {
        // The data directory and variables given with --var are both expanded.
        {"", "${path_state_persistent}/${sub}/version_one.py", 0},
        {"quiven-proc-python", "${path_state_persistent}/quiven-proc-python/version_one.py", 0},
        // Not on the module search path: it does not load, here as in the
        // daemon, but the reload line still replaces the copy.
        {"quiven-proc-python/lib", "${path_state_persistent}/quiven-proc-python/lib/version_one.py", 3},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.script);
        fs::remove_all(data);
        std::string at = data + "/" + (c.link.empty() ? "quiven-proc-python" : c.link);
        fs::create_directories(fs::path(at).parent_path());
        c.link.empty() ? fs::copy(real, at) : fs::create_directory_symlink(real, at);
        WriteFile(conf, "{\"script\": \"" + c.script + "\"}\n");
        std::string before = Listing(real) + Listing(data) + ReadFile(conf);
        Result r = Run({"--conf", conf, "--data-dir", data, "--var", "sub=quiven-proc-python",
            Input({Agent(11), Reload(at + "/version_two.py"), Agent(12)})});
        EXPECT_EQ(r.status, c.status) << r.err << r.out;
        std::vector<std::string> reloaded = {"one 11", "one 99", "two 12", "two 99"};
        EXPECT_EQ(Payloads(r.out), c.status ? std::vector<std::string>() : reloaded);
        EXPECT_THAT(r.out, c.status ? Matcher<std::string>(_)
                                    : HasSubstr("helper; user script: # Tells which version of the script saw each agent event.\n"));
        EXPECT_EQ(Listing(real) + Listing(data) + ReadFile(conf), before);
    }
}

TEST_F(Replay, FlowsInTheFormScriptsSeeComeBackUnchanged)
{
    std::string input = Source("roundtrip.jsonl");
    Result r = Run({"--script", Source("echo_flows.py"), input});
    ASSERT_EQ(r.status, 0) << r.err;
    std::map<std::string, std::vector<std::string>> seen, want;  // by target: flow, map, stats
    for (auto &line : PayloadLines(r.out)) {
        ordered_json payload = ordered_json::parse(line);
        seen[payload["target"]].push_back(ordered_json::parse(payload["payload"].get<std::string>()).dump());
    }
    // Equal as ordered objects: the same keys in the same order. The map's
    // buckets decide the order of its flows; each comes back whole, and its
    // statistics form is its first four keys.
    for (auto &text : SplitLines(ReadFile(input))) {
        ordered_json line = ordered_json::parse(text);
        bool map = line["type"] == "flow_map";
        for (auto flow : map ? line["flows"] : ordered_json::array({line["flow"]})) {
            flow.erase("id");
            flow.erase("master_protocol");
            want[map ? "map" : "flow"].push_back(flow.dump());
            ordered_json stats;
            for (auto &key : {"iface", "digest_lower", "digest_mdata", "stats"}) stats[key] = flow[key];
            if (map) want["stats"].push_back(stats.dump());
        }
    }
    EXPECT_EQ(seen["flow"], want["flow"]);
    for (std::string target : {"map", "stats"}) EXPECT_THAT(seen[target], UnorderedElementsAreArray(want[target]));
    EXPECT_FALSE(want["map"].empty());
}

TEST_F(Replay, PayloadsAreNotKeptWithoutExpect)
{
    // Freed blocks would otherwise stay in the sanitizer's quarantine and
    // count as resident.
    const char *options = getenv("ASAN_OPTIONS");
    setenv("ASAN_OPTIONS", (std::string(options ? options : "") + ":quarantine_size_mb=0").c_str(), 1);
    Result runs[2];
    for (int large = 0; large < 2; large++) {
        WriteFile(Path("script.py"), std::string("SIZE = ") + (large ? "2 * 1024 * 1024" : "1") + R"(
import qpp
def ProcessAgentEvent(event):
    for i in range(50 if event == 11 else 0):
        qpp.dispatch("t", [], "x" * SIZE)
)");
        // No budget: a sanitized build takes long over 100 MiB.
        runs[large] = Run({"--script", Path("script.py"), "--sink-output", "/dev/null", "--timeout", "0", Input({Agent(11)})});
        ASSERT_EQ(runs[large].status, 0) << runs[large].err;
    }
    EXPECT_THAT(runs[1].err, Summary("1 event served, 0 callback errors, 50 payloads"));
    // 100 MiB of payloads went through; a few of them at a time were in memory.
    EXPECT_LT(runs[1].max_rss_kib - runs[0].max_rss_kib, 40 * 1024) << runs[0].max_rss_kib << " KiB, then " << runs[1].max_rss_kib;
}
