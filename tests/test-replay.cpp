// qpp-replay as its users run it: the built tool in a process of its own,
// fed input files and scripts from tests/replay, judged by its exit status,
// standard output, standard error and payload files.

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

extern char **environ;

namespace {

using ordered_json = nlohmann::ordered_json;

struct Result
{
    int status = -1;  // the exit status; -1 when the tool did not exit
    std::string out;
    std::string err;
    long max_rss_kib = 0;  // the tool's peak resident memory
};

std::string ReadFile(const std::string &path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

void WriteFile(const std::string &path, const std::string &content)
{
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << content;
}

std::vector<std::string> SplitLines(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream stream(text);
    std::string line;
    while (std::getline(stream, line)) lines.push_back(line);
    return lines;
}

// The lines of text that are payload lines, in their order.
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

std::string Source(const std::string &name)
{
    return std::string(QPP_REPLAY_TEST_DIR) + "/" + name;
}

bool Contains(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

class Replay : public ::testing::Test
{
protected:
    void SetUp() override
    {
        char name[] = "/tmp/qpp-replay-test-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        work = name;
    }

    void TearDown() override
    {
        std::string command = "rm -rf '" + work + "'";
        if (system(command.c_str()) != 0) { }
    }

    std::string Path(const std::string &name) const { return work + "/" + name; }

    // An input file of these lines in the work directory.
    std::string Input(const std::vector<std::string> &lines,
        const std::string &name = "input.jsonl")
    {
        std::string content;
        for (auto &line : lines) content += line + "\n";
        WriteFile(Path(name), content);
        return Path(name);
    }

    // Runs the tool with args; stdin_text is its standard input. With
    // merged, standard error goes where standard output goes, so that the
    // order of the two can be seen. stdout_file, when given, is opened as
    // the tool's standard output instead of a file of the test's.
    Result Run(const std::vector<std::string> &args,
        const std::string &stdin_text = std::string(), bool merged = false,
        const std::string &stdout_file = std::string())
    {
        std::string in = Path("stdin"), err = Path("stderr");
        std::string out = stdout_file.empty() ? Path("stdout") : stdout_file;
        WriteFile(in, stdin_text);

        std::vector<std::string> words = {QPP_REPLAY_PATH};
        words.insert(words.end(), args.begin(), args.end());
        std::vector<char *> argv;
        for (auto &word : words) argv.push_back(const_cast<char *>(word.c_str()));
        argv.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, in.c_str(), O_RDONLY, 0);
        posix_spawn_file_actions_addopen(
            &actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (merged)
            posix_spawn_file_actions_adddup2(&actions, 1, 2);
        else {
            posix_spawn_file_actions_addopen(
                &actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        }

        Result result;
        pid_t pid;
        int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        EXPECT_EQ(rc, 0) << "cannot run " << argv[0];
        if (rc != 0) return result;

        int status = 0;
        struct rusage usage = {};
        while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) { }
        if (WIFEXITED(status)) result.status = WEXITSTATUS(status);
        result.max_rss_kib = usage.ru_maxrss;
        result.out = stdout_file.empty() ? ReadFile(out) : std::string();
        result.err = merged ? std::string() : ReadFile(err);
        return result;
    }

    std::string work;
};

// The summary line the tool ends standard error with.
std::string Summary(int served, int errors, int payloads)
{
    auto count = [](int n, const std::string &thing) {
        return std::to_string(n) + " " + thing + (n == 1 ? "" : "s");
    };
    return "qpp-replay: " + count(served, "event") + " served, " +
        count(errors, "callback error") + ", " + count(payloads, "payload") + "\n";
}

// The last line of text, with its line end.
std::string LastLine(const std::string &text)
{
    auto lines = SplitLines(text);
    return lines.empty() ? std::string() : lines.back() + "\n";
}

std::string Agent(int event)
{
    return "{\"type\": \"agent\", \"event\": " + std::to_string(event) + "}";
}

std::string NamedFlow(int event, const std::string &name)
{
    return "{\"type\": \"flow\", \"event\": " + std::to_string(event) +
        ", \"flow\": {\"host_server_name\": \"" + name + "\"}}";
}

}  // namespace

TEST_F(Replay, ScriptRunsAndWritesLogAndPayloadsInOrder)
{
    std::string input = Input({Agent(11), NamedFlow(2, "one.example"), Agent(12)});
    Result r = Run({"--script", Source("counter.py"), input});
    ASSERT_EQ(r.status, 0) << r.err;

    auto lines = SplitLines(r.out);
    ASSERT_FALSE(lines.empty());
    EXPECT_TRUE(Contains(lines[0], "Quiven Python Processor Plugin v1.0.35"))
        << r.out;
    EXPECT_EQ(PayloadLines(r.out), (std::vector<std::string>{
        R"({"target": "count", "channels": [], "flags": 0, "payload": "1 agent 11"})",
        R"({"target": "count", "channels": [], "flags": 0, "payload": "2 flow 2 one.example"})",
        R"({"target": "count", "channels": [], "flags": 0, "payload": "3 agent 12"})",
        R"({"target": "count", "channels": [], "flags": 0, "payload": "4 agent 99"})",
    }));
    // The script's own line comes after the payload it dispatched before it.
    EXPECT_EQ(lines.back(), "unloaded after 4 events") << r.out;
    // Standard error holds the summary alone: the unload notice is a
    // callback call, not a served event.
    EXPECT_EQ(r.err, Summary(3, 0, 4));
}

TEST_F(Replay, StandardInputIsTheDefaultInput)
{
    std::string text = Agent(11) + "\n" + Agent(12) + "\n";
    Result r = Run({"--script", Source("counter.py")}, text);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Payloads(r.out),
        (std::vector<std::string>{"1 agent 11", "2 agent 12", "3 agent 99"}));

    r = Run({"--script", Source("counter.py"), "-"}, text);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Payloads(r.out).size(), 3u);
}

// Names and contents of the regular files below dir, to see that nothing
// in it changed.
std::string Listing(const std::string &dir)
{
    std::string listing;
    std::string command = "cd '" + dir + "' && find . -print | LC_ALL=C sort";
    FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return "cannot list " + dir;
    char line[4096];
    while (fgets(line, sizeof(line), pipe)) {
        std::string name(line);
        if (! name.empty() && name.back() == '\n') name.pop_back();
        struct stat st;
        std::string path = dir + "/" + name;
        listing += name;
        if (lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode))
            listing += ": " + ReadFile(path) + " @" + std::to_string(st.st_mtime);
        listing += "\n";
    }
    pclose(pipe);
    return listing;
}

TEST_F(Replay, ConfRunsOnAScratchCopy)
{
    std::string data = Path("data");
    ASSERT_EQ(mkdir(data.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((data + "/quiven-proc-python").c_str(), 0755), 0);
    std::string script = data + "/quiven-proc-python/version_one.py";
    WriteFile(script, ReadFile(Source("version_one.py")));
    // A helper module of the data directory imports from the copy.
    WriteFile(data + "/quiven-proc-python/helper.py", "NAME = 'helper'\n");
    // The data directory and variables given with --var are both expanded.
    WriteFile(Path("plugin.json"),
        "{\"script\": \"${path_state_persistent}/${sub}/version_one.py\"}\n");
    // The replacement tells what the user's script holds while the replay
    // runs: its own first line, not the replacement's.
    WriteFile(Path("version_two.py"), ReadFile(Source("version_two.py")) +
        "import helper\n"
        "qpp.print('%s; user script: %s' % (helper.NAME, open('" + script +
        "').readline()))\n");
    std::string before = Listing(data) + ReadFile(Path("plugin.json"));

    std::string input = Input({Agent(11),
        "{\"type\": \"reload\", \"script\": \"version_two.py\"}", Agent(12)});
    Result r = Run({"--conf", Path("plugin.json"), "--data-dir", data, "--var",
        "sub=quiven-proc-python", input});
    ASSERT_EQ(r.status, 0) << r.err << r.out;
    EXPECT_EQ(Payloads(r.out), (std::vector<std::string>{
        "one 11", "one 99", "two 12", "two 99"}));
    EXPECT_TRUE(Contains(r.out,
        "helper; user script: # Tells which version of the script saw each agent event.\n"))
        << r.out;
    // Nothing of the user's was written, not even for a moment.
    EXPECT_EQ(Listing(data) + ReadFile(Path("plugin.json")), before);
}

TEST_F(Replay, ConfWithoutDataDirIsBadUsage)
{
    Result r = Run({"--conf", Path("plugin.json"), Input({})});
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(Contains(r.err, "--conf needs --data-dir")) << r.err;
}

TEST_F(Replay, SinksOptionRefusesOtherTargets)
{
    std::string input = Input({Agent(11)});
    Result r = Run({"--script", Source("two_sinks.py"), "--sinks", "a", input});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(PayloadLines(r.out), (std::vector<std::string>{
        R"({"target": "a", "channels": ["ch"], "flags": 0, "payload": "to a"})"}));
    EXPECT_TRUE(Contains(r.out, "a True\n")) << r.out;
    EXPECT_TRUE(Contains(r.out, "b False\n")) << r.out;

    // Without the option every target is taken.
    r = Run({"--script", Source("two_sinks.py"), input});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(PayloadLines(r.out).size(), 2u);
    EXPECT_TRUE(Contains(r.out, "b True\n")) << r.out;
}

TEST_F(Replay, SinkOutputTakesThePayloadLines)
{
    std::string input = Input({Agent(11), Agent(12)});
    Result r = Run({"--script", Source("counter.py"), "--sink-output",
        Path("payloads.jsonl"), input});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(PayloadLines(r.out).empty()) << r.out;
    EXPECT_TRUE(Contains(r.out, "unloaded after 3 events")) << r.out;
    EXPECT_EQ(Payloads(ReadFile(Path("payloads.jsonl"))),
        (std::vector<std::string>{"1 agent 11", "2 agent 12", "3 agent 99"}));
}

TEST_F(Replay, ExpectPassesWhenThePayloadsAreTheExpectedOnes)
{
    std::string input = Input({Agent(11)});
    WriteFile(Path("expected.jsonl"),
        R"({"target": "count", "channels": [], "flags": 0, "payload": "1 agent 11"})"
        "\n"
        R"({"target": "count", "channels": [], "flags": 0, "payload": "2 agent 99"})"
        "\n");
    Result r = Run({"--script", Source("counter.py"), "--expect",
        Path("expected.jsonl"), input});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, Summary(1, 0, 2));
}

TEST_F(Replay, ExpectFailsWithADiff)
{
    std::string input = Input({Agent(11), Agent(12)});
    std::string kept =
        R"({"target": "count", "channels": [], "flags": 0, "payload": "1 agent 11"})";
    std::string wrong =
        R"({"target": "count", "channels": [], "flags": 0, "payload": "2 agent 13"})";
    std::string last =
        R"({"target": "count", "channels": [], "flags": 0, "payload": "3 agent 99"})";
    WriteFile(Path("expected.jsonl"), kept + "\n" + wrong + "\n" + last + "\n");
    Result r = Run({"--script", Source("counter.py"), "--expect",
        Path("expected.jsonl"), input});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Contains(r.err, "--- " + Path("expected.jsonl"))) << r.err;
    EXPECT_TRUE(Contains(r.err, "@@ -1,3 +1,3 @@\n")) << r.err;
    EXPECT_TRUE(Contains(r.err, "\n " + kept + "\n")) << r.err;
    EXPECT_TRUE(Contains(r.err, "\n-" + wrong + "\n")) << r.err;
    EXPECT_TRUE(Contains(r.err,
        "\n+" R"({"target": "count", "channels": [], "flags": 0, "payload": "2 agent 12"})"
        "\n")) << r.err;
    EXPECT_TRUE(Contains(r.err, "\n " + last + "\n")) << r.err;
    // The run itself still shows everything.
    EXPECT_EQ(PayloadLines(r.out).size(), 3u);
}

TEST_F(Replay, DebugShowsTheDebugLines)
{
    std::string input = Input({Agent(11)});
    Result plain = Run({"--script", Source("debug_lines.py"), input});
    ASSERT_EQ(plain.status, 0) << plain.err;
    EXPECT_TRUE(Contains(plain.out, "print line 11\n"));
    EXPECT_FALSE(Contains(plain.out, "debug line 11")) << plain.out;
    EXPECT_FALSE(Contains(plain.out, "callback function loaded")) << plain.out;

    Result debug = Run({"--script", Source("debug_lines.py"), "--debug", input});
    ASSERT_EQ(debug.status, 0) << debug.err;
    EXPECT_TRUE(Contains(debug.out, "debug line 11\nprint line 11\n")) << debug.out;
    EXPECT_TRUE(Contains(debug.out,
        "debug_lines: callback function loaded: ProcessAgentEvent\n")) << debug.out;
}

TEST_F(Replay, MalformedLineStopsAfterACleanEnd)
{
    std::string input = Input({Agent(11), "", Agent(12), "{\"type\": \"agent\",", Agent(11)});
    Result r = Run({"--script", Source("counter.py"), input});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err.rfind("line 4: malformed JSON: ", 0), 0u) << r.err;
    // The lines before it were served, the one after it was not, and the
    // plugin was unloaded.
    EXPECT_EQ(Payloads(r.out), (std::vector<std::string>{
        "1 agent 11", "2 agent 12", "3 agent 99"}));

    // The message comes once the plugin has been terminated.
    r = Run({"--script", Source("counter.py"), input}, std::string(), true);
    EXPECT_EQ(r.status, 2);
    size_t unloaded = r.out.find("unloaded after 3 events");
    size_t message = r.out.find("line 4: malformed JSON");
    ASSERT_NE(unloaded, std::string::npos) << r.out;
    ASSERT_NE(message, std::string::npos) << r.out;
    EXPECT_LT(unloaded, message) << r.out;
}

TEST_F(Replay, BadLinesAreNamedPrecisely)
{
    struct Case
    {
        std::string line;
        std::string message;
    };
    std::vector<Case> cases = {
        {"[1, 2]", "line 2: expected a JSON object"},
        {"{\"event\": 11}", "line 2: missing key: type"},
        {"{\"type\": \"agents\", \"event\": 11}", "line 2: unknown type: agents"},
        {"{\"type\": \"agent\", \"event\": 11, \"colour\": 1}",
            "line 2: unknown key: colour"},
        {"{\"type\": \"agent\"}", "line 2: missing key: event"},
        {"{\"type\": \"agent\", \"event\": -1}",
            "line 2: event: expected an integer from 0 to 65535"},
        // Beyond the range of a double: the parser reports it as
        // out_of_range rather than parse_error, and it is malformed all the
        // same.
        {"{\"type\": \"agent\", \"event\": 1e400}",
            "line 2: malformed JSON: number overflow parsing '1e400'"},
        {"{\"type\": \"flow\", \"event\": 2, \"flow\": {\"tls\": {\"foo\": 1}}}",
            "line 2: unknown key: flow.tls.foo"},
        {"{\"type\": \"flow\", \"event\": 2, \"flow\": {\"colour\": \"red\"}}",
            "line 2: unknown key: flow.colour"},
        {"{\"type\": \"flow\", \"event\": 2, \"flow\": {\"flags\": {\"expird\": true}}}",
            "line 2: unknown key: flow.flags.expird"},
        {"{\"type\": \"flow_map\", \"event\": 1, \"flows\": [{}, {\"stats\": {\"bytes\": 1}}]}",
            "line 2: unknown key: flows[1].stats.bytes"},
        {"{\"type\": \"flow\", \"event\": 2, \"flow\": {\"vlan_id\": 70000}}",
            "line 2: flow.vlan_id: expected an integer from 0 to 65535"},
        {"{\"type\": \"flow\", \"event\": 2, \"flow\": {\"lower_mac\": \"10.0.0.1\"}}",
            "line 2: flow.lower_mac: not a MAC address: 10.0.0.1"},
        {"{\"type\": \"flow\", \"event\": 2, \"flow\": {\"upper_addr\": \"example.com\"}}",
            "line 2: flow.upper_addr: not an IP address: example.com"},
        {"{\"type\": \"flow\", \"event\": 2, \"flow\": {\"lower_port\": 80}}",
            "line 2: flow.lower_port: a port needs an address"},
        {"{\"type\": \"flow\", \"event\": 2, \"flow\": {\"digest_lower\": \"abc\"}}",
            "line 2: flow.digest_lower: expected 40 hexadecimal digits"},
        // The right length with a bad digit: refused without combining the
        // bad digit (the sanitized build would stop on that).
        {"{\"type\": \"flow\", \"event\": 2, \"flow\": {\"digest_mdata\": "
         "[\"g123456789abcdef0123456789abcdef01234567\"]}}",
            "line 2: flow.digest_mdata[0]: expected 40 hexadecimal digits"},
        {"{\"type\": \"flow\", \"event\": 2, \"flow\": {\"flags\": {\"expired\": 1}}}",
            "line 2: flow.flags.expired: expected true or false"},
        {"{\"type\": \"flow\", \"event\": 2, \"flow\": {\"tls\": {}, \"http\": {}}}",
            "line 2: flow: several protocol groups (http, tls): give master_protocol "
            "to choose the one scripts see"},
        {"{\"type\": \"flow\", \"event\": 2, \"flow\": {\"host_server_name\": \"a\", "
         "\"tls\": {\"client_sni\": \"b\"}}}",
            "line 2: flow.tls.client_sni: differs from flow.host_server_name, whose "
            "value scripts see here"},
        {"{\"type\": \"flow_map\", \"event\": 1, \"flows\": [{\"id\": \"x\"}, {\"id\": \"x\"}]}",
            "line 2: flows[1].id: x is already in this flow map"},
        {"{\"type\": \"reload\", \"script\": \"no-such-script.py\"}",
            "line 2: script: cannot read " + work + "/no-such-script.py: No such file "
            "or directory"},
        // Input the host cannot represent.
        {"{\"type\": \"reload\", \"script\": \".\"}",
            "line 2: script: cannot read " + work + "/.: it is a directory"},
        {"{\"type\": \"reload\", \"script\": \"/dev/null\"}",
            "line 2: script: cannot read /dev/null: not a regular file"},
        {"{\"type\": \"reload\", \"script\": \"a.py\\u0000.txt\"}",
            "line 2: script: contains a NUL character"},
        {"{\"type\": \"flow\", \"event\": 2, \"flow\": {\"host_server_name\": "
         "\"a\\u0000b\"}}",
            "line 2: flow.host_server_name: contains a NUL character"},
        {"{\"type\": \"flow_map\", \"event\": 1, \"flows\": [{\"http\": "
         "{\"user_agent\": \"\\u0000\"}}]}",
            "line 2: flows[0].http.user_agent: contains a NUL character"},
        {"{\"type\": \"agent\\u0000\", \"event\": 11}",
            "line 2: type: contains a NUL character"},
        {Agent(11) + std::string(1, '\0') + "{\"x\": 1}",
            "line 2: contains a NUL byte"},
        {"{\"type\": \"flow\", \"event\": 2, \"flow\": {\"tls\": " +
         std::string(100000, '[') + std::string(100000, ']') + "}}",
            "line 2: nested deeper than 64 levels"},
        {"{\"type\": \"agent\", \"event\": 1}",
            "line 2: event: expected an agent event, 11 or 12"},
        {"{\"type\": \"agent\", \"event\": 3}",
            "line 2: event: expected an agent event, 11 or 12"},
        {"{\"type\": \"agent\", \"event\": 9}",
            "line 2: event: expected an agent event, 11 or 12"},
        {"{\"type\": \"status\", \"event\": 2}",
            "line 2: event: expected an agent event, 11 or 12"},
        {"{\"type\": \"flow\", \"event\": 11, \"flow\": {}}",
            "line 2: event: expected a flow event, 2 to 7"},
        {"{\"type\": \"flow\", \"event\": 1, \"flow\": {}}",
            "line 2: event: expected a flow event, 2 to 7"},
        {"{\"type\": \"flow_map\", \"event\": 2, \"flows\": [{}]}",
            "line 2: event: expected the flow map event, 1"},
    };
    for (auto &c : cases) {
        std::string input = Input({Agent(11), c.line});
        Result r = Run({"--script", Source("counter.py"), input});
        EXPECT_EQ(r.status, 2) << c.line;
        EXPECT_EQ(r.err, c.message + "\n" + Summary(1, 0, 2)) << c.line;
        EXPECT_EQ(Payloads(r.out),
            (std::vector<std::string>{"1 agent 11", "2 agent 99"})) << c.line;
    }
}

TEST_F(Replay, MissingScriptIsSaidPlainly)
{
    Result r = Run({"--script", Path("absent.py"), Input({Agent(11)})});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "qpp-replay: cannot read the script " + Path("absent.py") +
        ": No such file or directory\n");
    EXPECT_EQ(r.out, "");
}

TEST_F(Replay, MissingConfiguredScriptIsSaidPlainly)
{
    std::string data = Path("data");
    ASSERT_EQ(mkdir(data.c_str(), 0755), 0);
    WriteFile(Path("plugin.json"), "{\"script\": \"" + data + "/absent.py\"}");
    Result r = Run({"--conf", Path("plugin.json"), "--data-dir", data, Input({})});
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(Contains(r.err, data + "/absent.py, cannot be read: No such file"))
        << r.err;
}

TEST_F(Replay, MissingPluginIsSaidPlainly)
{
    Result r = Run({"--plugin", Path("absent.so"), "--script",
        Source("counter.py"), Input({Agent(11)})});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err.rfind("qpp-replay: cannot load the plugin " + Path("absent.so") +
                  ": ", 0), 0u) << r.err;
    EXPECT_EQ(r.out, "");
}

TEST_F(Replay, NoArgumentsIsBadUsage)
{
    Result r = Run({});
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(Contains(r.err, "usage: qpp-replay --script FILE")) << r.err;

    r = Run({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(Contains(r.out, "usage: qpp-replay --script FILE")) << r.out;
}

TEST_F(Replay, ReloadTakesEffectBetweenEvents)
{
    WriteFile(Path("version_two.py"), ReadFile(Source("version_two.py")));
    std::string input = Input({Agent(11), NamedFlow(2, "a"), Agent(12),
        "{\"type\": \"reload\", \"script\": \"version_two.py\"}", NamedFlow(3, "b"),
        Agent(11)});
    Result r = Run({"--script", Source("version_one.py"), input});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Payloads(r.out), (std::vector<std::string>{
        "one 11", "one flow a", "one 12", "one 99", "two flow b", "two 11",
        "two 99"}));
}

TEST_F(Replay, ReloadOfAnUnchangedScriptKeepsIt)
{
    std::string input = Input({Agent(11), "{\"type\": \"reload\"}", Agent(12),
        "{\"type\": \"reload\", \"script\": \"" + Source("version_one.py") + "\"}",
        Agent(11)});
    Result r = Run({"--script", Source("version_one.py"), "--debug", input});
    ASSERT_EQ(r.status, 0) << r.err;
    // No unload notice until the end: the digest did not change.
    EXPECT_EQ(Payloads(r.out), (std::vector<std::string>{
        "one 11", "one 12", "one 11", "one 99"}));
    EXPECT_TRUE(Contains(r.out, "not reloading, no change.")) << r.out;
}

TEST_F(Replay, EveryEventIsServedAndTheUnloadNoticeComesLast)
{
    std::vector<std::string> lines;
    for (int i = 0; i < 150; i++) {
        lines.push_back(Agent(i % 2 ? 12 : 11));
        lines.push_back(NamedFlow(2 + i % 6, "f" + std::to_string(i)));
    }
    Result r = Run({"--script", Source("counter.py"), Input(lines)});
    ASSERT_EQ(r.status, 0) << r.err;
    auto payloads = Payloads(r.out);
    ASSERT_EQ(payloads.size(), 301u);
    for (int i = 0; i < 150; i++) {
        EXPECT_EQ(payloads[2 * i],
            std::to_string(2 * i + 1) + " agent " + (i % 2 ? "12" : "11"));
        EXPECT_EQ(payloads[2 * i + 1], std::to_string(2 * i + 2) + " flow " +
            std::to_string(2 + i % 6) + " f" + std::to_string(i));
    }
    EXPECT_EQ(payloads.back(), "301 agent 99");
    EXPECT_EQ(SplitLines(r.out).back(), "unloaded after 301 events");
}

TEST_F(Replay, FlowsInTheFormScriptsSeeComeBackUnchanged)
{
    std::string input = Source("roundtrip.jsonl");
    Result r = Run({"--script", Source("echo_flows.py"), input});
    ASSERT_EQ(r.status, 0) << r.err;

    std::vector<ordered_json> flows, map_flows, map_stats;
    for (auto &line : PayloadLines(r.out)) {
        ordered_json payload = ordered_json::parse(line);
        ordered_json flow = ordered_json::parse(payload["payload"].get<std::string>());
        std::string target = payload["target"];
        if (target == "flow")
            flows.push_back(flow);
        else if (target == "map")
            map_flows.push_back(flow);
        else
            map_stats.push_back(flow);
    }

    size_t next = 0;
    size_t map_lines = 0;
    for (auto &text : SplitLines(ReadFile(input))) {
        ordered_json line = ordered_json::parse(text);
        if (line["type"] == "flow") {
            ordered_json expected = line["flow"];
            expected.erase("id");
            expected.erase("master_protocol");
            ASSERT_LT(next, flows.size());
            // Equal as ordered objects: the same keys in the same order.
            EXPECT_EQ(flows[next].dump(), expected.dump()) << "flow " << next;
            next++;
            continue;
        }
        ASSERT_EQ(line["type"], "flow_map");
        map_lines++;
        // The map's buckets decide the order; each flow comes back whole,
        // and its statistics form is its first four keys.
        std::vector<std::string> want, got, want_stats, got_stats;
        for (auto flow : line["flows"]) {
            flow.erase("id");
            flow.erase("master_protocol");
            want.push_back(flow.dump());
            ordered_json stats;
            for (auto &key : {"iface", "digest_lower", "digest_mdata", "stats"})
                stats[key] = flow[key];
            want_stats.push_back(stats.dump());
        }
        for (auto &flow : map_flows) got.push_back(flow.dump());
        for (auto &flow : map_stats) got_stats.push_back(flow.dump());
        std::sort(want.begin(), want.end());
        std::sort(got.begin(), got.end());
        std::sort(want_stats.begin(), want_stats.end());
        std::sort(got_stats.begin(), got_stats.end());
        EXPECT_EQ(got, want);
        EXPECT_EQ(got_stats, want_stats);
    }
    EXPECT_EQ(next, flows.size());
    EXPECT_EQ(map_lines, 1u);
}

TEST_F(Replay, LinesWithAnIdUpdateTheSameFlow)
{
    std::string input = Input({
        "{\"type\": \"flow\", \"event\": 2, \"flow\": {\"id\": \"f\", "
        "\"host_server_name\": \"first\", \"lower_addr\": \"10.0.0.1\", "
        "\"lower_port\": 1000, \"stats\": {\"lower_bytes\": 10, \"lower_rate\": 2.9}}}",
        "{\"type\": \"flow\", \"event\": 3, \"flow\": {\"id\": \"f\", "
        "\"host_server_name\": \"second\", \"lower_port\": 2000, "
        "\"stats\": {\"upper_bytes\": 5}}}",
        "{\"type\": \"flow\", \"event\": 4, \"flow\": {\"id\": \"f\", "
        "\"lower_addr\": \"10.0.0.2\", \"tls\": {\"client_sni\": \"third\"}}}",
        "{\"type\": \"flow\", \"event\": 5, \"flow\": {\"host_server_name\": \"other\"}}",
    });
    Result r = Run({"--script", Source("echo_flows.py"), input});
    ASSERT_EQ(r.status, 0) << r.err;
    auto payloads = Payloads(r.out);
    ASSERT_EQ(payloads.size(), 4u);
    auto flow = [&](size_t i) { return ordered_json::parse(payloads[i]); };

    // Each event shows the flow as its own line left it, although the
    // worker serves it later.
    EXPECT_EQ(flow(0)["host_server_name"], "first");
    EXPECT_EQ(flow(0)["lower_port"], 1000);
    EXPECT_EQ(flow(0)["stats"]["lower_bytes"], 10);
    EXPECT_EQ(flow(0)["stats"]["lower_rate"], 2);

    EXPECT_EQ(flow(1)["host_server_name"], "second");
    EXPECT_EQ(flow(1)["lower_addr"], "10.0.0.1");
    EXPECT_EQ(flow(1)["lower_port"], 2000);
    EXPECT_EQ(flow(1)["stats"]["lower_bytes"], 10);
    EXPECT_EQ(flow(1)["stats"]["upper_bytes"], 5);

    // A protocol group alone sets the master protocol; client_sni is the
    // flow's host_server_name.
    EXPECT_EQ(flow(2)["host_server_name"], "third");
    EXPECT_EQ(flow(2)["tls"]["client_sni"], "third");
    EXPECT_EQ(flow(2)["lower_addr"], "10.0.0.2");
    EXPECT_EQ(flow(2)["lower_port"], 2000);

    // A flow without an id is a new flow.
    EXPECT_EQ(flow(3)["host_server_name"], "other");
    EXPECT_EQ(flow(3)["lower_addr"], "");
    EXPECT_EQ(flow(3)["stats"]["lower_bytes"], 0);
}

TEST_F(Replay, FlowMapsAreFilteredAsInTheDaemon)
{
    std::string input = Input({
        "{\"type\": \"flow_map\", \"event\": 1, \"flows\": ["
        "{\"host_server_name\": \"ready\", \"flags\": {\"detection_init\": true}},"
        "{\"host_server_name\": \"new\"},"
        "{\"host_server_name\": \"gone\", \"flags\": {\"detection_init\": true, "
        "\"expired\": true}},"
        "{\"host_server_name\": \"also-ready\", \"flags\": {\"detection_init\": true, "
        "\"expiring\": true}}]}",
        "{\"type\": \"flow_map\", \"event\": 1, \"flows\": [{\"host_server_name\": \"x\"}]}",
        "{\"type\": \"flow_map\", \"event\": 1, \"flows\": []}",
    });
    Result r = Run({"--script", Source("map_names.py"), input});
    ASSERT_EQ(r.status, 0) << r.err;
    // Maps with no flow that passes queue nothing.
    EXPECT_EQ(Payloads(r.out), (std::vector<std::string>{"2", "also-ready ready"}));
}

TEST_F(Replay, StatusAndAgentEventsReachTheAgentCallback)
{
    std::string input = Input({
        "{\"type\": \"status\", \"event\": 11, \"status\": {\"timestamp\": 1, "
        "\"uptime\": 2, \"flows\": 3}}",
        "{\"type\": \"status\", \"event\": 12}",
        Agent(12),
    });
    Result r = Run({"--script", Source("counter.py"), input});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Payloads(r.out), (std::vector<std::string>{
        "1 agent 11", "2 agent 12", "3 agent 12", "4 agent 99"}));
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
    WriteFile(Path("version_two.py"), ReadFile(Source("version_two.py")));
    WriteFile(Path("differs.jsonl"), "{}\n");
    std::string reload_broken = "{\"type\": \"reload\", \"script\": \"broken.py\"}";
    std::string reload_fixed = "{\"type\": \"reload\", \"script\": \"version_two.py\"}";
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
        {"clean", Source("counter.py"), {Agent(11), Agent(12)}, {}, 0,
            "qpp-replay: 2 events served, 0 callback errors, 3 payloads\n"},
        {"a callback raises", Path("raises.py"), {Agent(11), Agent(12), Agent(11)}, {}, 3,
            "qpp-replay: 3 events served, 1 callback error, 3 payloads\n"},
        {"the unload notice raises", Path("raises_on_unload.py"), {Agent(11)}, {}, 3,
            "qpp-replay: 1 event served, 1 callback error, 1 payload\n"},
        {"the first load fails", Path("broken.py"), {Agent(11)}, {}, 3,
            "qpp-replay: 0 events served, 0 callback errors, 1 failed script load, "
            "0 payloads\n"},
        {"a reload line fails", Source("version_one.py"),
            {Agent(11), reload_broken, Agent(12)}, {}, 3,
            "qpp-replay: 1 event served, 0 callback errors, 1 failed script load, "
            "2 payloads\n"},
        {"a failed reload fixed later still fails", Source("version_one.py"),
            {reload_broken, reload_fixed, Agent(12)}, {}, 3,
            "qpp-replay: 1 event served, 0 callback errors, 1 failed script load, "
            "3 payloads\n"},
        {"an unchanged script is no failure", Source("version_one.py"),
            {"{\"type\": \"reload\"}", Agent(12)}, {}, 0,
            "qpp-replay: 1 event served, 0 callback errors, 2 payloads\n"},
        {"a difference wins over a raise", Path("raises.py"), {Agent(12)},
            {"--expect", Path("differs.jsonl")}, 1,
            "qpp-replay: 1 event served, 1 callback error, 1 payload\n"},
        {"bad input wins over a raise", Path("raises.py"), {Agent(12), bad_line}, {}, 2,
            "qpp-replay: 1 event served, 1 callback error, 1 payload\n"},
        {"bad input wins over a difference", Source("counter.py"), {Agent(12), bad_line},
            {"--expect", Path("differs.jsonl")}, 2,
            "qpp-replay: 1 event served, 0 callback errors, 2 payloads\n"},
    };
    for (auto &c : cases) {
        std::vector<std::string> args = {"--script", c.script};
        args.insert(args.end(), c.args.begin(), c.args.end());
        args.push_back(Input(c.lines));
        Result r = Run(args);
        EXPECT_EQ(r.status, c.status) << c.name << "\n" << r.err;
        // The summary is the last line.
        EXPECT_EQ(LastLine(r.err), c.summary) << c.name << "\n" << r.err;
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
    Result r = Run({"--script", Path("runaway.py"), "--timeout", "1",
        Input({Agent(11), Agent(12), Agent(11)})});
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_EQ(LastLine(r.err),
        "qpp-replay: 3 events served, 1 callback error (1 interrupted), 3 payloads\n")
        << r.err;
    // The events after it were served.
    EXPECT_EQ(Payloads(r.out), (std::vector<std::string>{"11", "11", "99"}));
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
    std::string data = Path("data");
    ASSERT_EQ(mkdir(data.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((data + "/quiven-proc-python").c_str(), 0755), 0);
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
        std::vector<std::string> args;
        if (c.conf.empty())
            args = {"--script", Path("budget.py")};
        else {
            WriteFile(Path("plugin.json"), c.conf);
            args = {"--conf", Path("plugin.json"), "--data-dir", data};
        }
        args.insert(args.end(), c.args.begin(), c.args.end());
        args.push_back(Input({}));
        Result r = Run(args);
        EXPECT_EQ(r.status, 0) << c.conf << r.err;
        EXPECT_TRUE(Contains(r.out, "budget: " + c.budget + "\n")) << c.conf << "\n" << r.out;
        // The user's configuration is as it was.
        if (! c.conf.empty()) {
            EXPECT_EQ(ReadFile(Path("plugin.json")), c.conf);
        }
    }

    for (std::string value : {"-1", "ten", "nan", "inf", ""}) {
        Result r = Run({"--script", Path("budget.py"), "--timeout", value, Input({})});
        EXPECT_EQ(r.status, 2) << value;
        EXPECT_TRUE(Contains(r.err, "qpp-replay: --timeout needs a number of seconds, not " +
            value + "\n")) << r.err;
    }
}

TEST_F(Replay, BlockedHintOnlyWhenACallbackRunsLong)
{
    // Many short calls that take longer than the patience together: the
    // plugin is busy, not blocked.
    WriteFile(Path("busy.py"), R"(import time

def ProcessAgentEvent(event):
    time.sleep(0.1)
)");
    std::vector<std::string> lines(110, Agent(11));
    Result r = Run({"--script", Path("busy.py"), "--timeout", "1", Input(lines)});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(Contains(r.err, "is a script callback blocked?")) << r.err;

    // One call that outlasts the budget and the patience after it: a call
    // blocked where the budget cannot reach it.
    WriteFile(Path("blocked.py"), R"(import time

def ProcessAgentEvent(event):
    if event == 12:
        time.sleep(6)
)");
    r = Run({"--script", Path("blocked.py"), "--timeout", "1",
        Input({Agent(11), Agent(12)})});
    EXPECT_TRUE(Contains(r.err,
        "qpp-replay: still waiting for the plugin; is a script callback blocked?\n"))
        << r.err;
}

TEST_F(Replay, HelperModulesBesideTheScriptImport)
{
    std::string dir = Path("scripts");
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((dir + "/package").c_str(), 0755), 0);
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
    Result r = Run({"--script", dir + "/main.py", Input({Agent(11),
        "{\"type\": \"reload\", \"script\": \"main_two.py\"}", Agent(12)})});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Payloads(r.out), (std::vector<std::string>{
        "helper package 11", "helper package 99", "two helper 12", "two helper 99"}));
    EXPECT_EQ(Listing(dir), before);
}

TEST_F(Replay, SinkOutputNeverOverwritesWhatTheRunReads)
{
    std::string data = Path("data");
    ASSERT_EQ(mkdir(data.c_str(), 0755), 0);
    std::string script = data + "/version_one.py";
    WriteFile(script, ReadFile(Source("version_one.py")));
    WriteFile(Path("plugin.json"), "{\"script\": \"${path_state_persistent}/version_one.py\"}");
    WriteFile(Path("script.py"), ReadFile(Source("version_one.py")));
    WriteFile(Path("expected.jsonl"), "{}\n");
    std::string input = Input({Agent(11)});

    struct Case
    {
        std::vector<std::string> args;
        std::string file;
        std::string what;
    };
    std::vector<Case> cases = {
        {{"--script", Path("script.py"), input}, input, "the input"},
        {{"--script", Path("script.py"), "-"}, Path("stdin"), "the input (standard input)"},
        {{"--script", Path("script.py"), "--expect", Path("expected.jsonl"), input},
            Path("expected.jsonl"), "the --expect file"},
        {{"--script", Path("script.py"), input}, Path("script.py"), "the script"},
        {{"--conf", Path("plugin.json"), "--data-dir", data, input}, Path("plugin.json"),
            "the configuration"},
        {{"--conf", Path("plugin.json"), "--data-dir", data, input}, script,
            "the configured script"},
    };
    for (auto &c : cases) {
        std::string content = ReadFile(c.file);
        std::vector<std::string> args = {"--sink-output", c.file};
        args.insert(args.end(), c.args.begin(), c.args.end());
        Result r = Run(args, Agent(11) + "\n");
        EXPECT_EQ(r.status, 2) << c.what;
        EXPECT_EQ(r.err, "qpp-replay: --sink-output " + c.file + " is " + c.what +
            ": it would be overwritten\n");
        EXPECT_EQ(r.out, "") << c.what;
        EXPECT_EQ(ReadFile(c.file), content) << c.what;
    }
}

TEST_F(Replay, WriteErrorsFailTheRun)
{
    std::string input = Input({Agent(11), Agent(12)});
    Result r = Run({"--script", Source("counter.py"), input}, std::string(), false,
        "/dev/full");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err.rfind("qpp-replay: cannot write standard output: No space left on device\n",
                  0), 0u) << r.err;

    r = Run({"--script", Source("counter.py"), "--sink-output", "/dev/full", input});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err.rfind("qpp-replay: cannot write /dev/full: No space left on device\n", 0),
        0u) << r.err;
    // The log itself was written.
    EXPECT_TRUE(Contains(r.out, "unloaded after")) << r.out;
}

TEST_F(Replay, PayloadsAreNotKeptWithoutExpect)
{
    // Freed blocks would otherwise stay in the sanitizer's quarantine and
    // count as resident.
    const char *options = getenv("ASAN_OPTIONS");
    std::string asan = std::string(options ? options : "") + ":quarantine_size_mb=0";
    setenv("ASAN_OPTIONS", asan.c_str(), 1);

    std::string script = R"(import qpp

def ProcessAgentEvent(event):
    if event == 11:
        for i in range(50):
            qpp.dispatch("t", [], "x" * SIZE)
)";
    WriteFile(Path("small.py"), "SIZE = 1\n" + script);
    WriteFile(Path("large.py"), "SIZE = 2 * 1024 * 1024\n" + script);
    std::string input = Input({Agent(11)});
    // No budget: a sanitized build takes long over 100 MiB.
    Result small = Run({"--script", Path("small.py"), "--sink-output", "/dev/null",
        "--timeout", "0", input});
    Result large = Run({"--script", Path("large.py"), "--sink-output", "/dev/null",
        "--timeout", "0", input});
    ASSERT_EQ(small.status, 0) << small.err;
    ASSERT_EQ(large.status, 0) << large.err;
    EXPECT_EQ(LastLine(large.err),
        "qpp-replay: 1 event served, 0 callback errors, 50 payloads\n");
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
    ASSERT_EQ(mkdir(real.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(data.c_str(), 0755), 0);
    WriteFile(real + "/version_one.py", ReadFile(Source("version_one.py")));
    WriteFile(Path("version_two.py"), ReadFile(Source("version_two.py")));
    std::string reload = "{\"type\": \"reload\", \"script\": \"version_two.py\"}";

    struct Case
    {
        std::string name;
        std::string link;    // below data, to real
        std::string script;  // the configured script, below data
        int status;
        std::vector<std::string> payloads;
    };
    std::vector<Case> cases = {
        {"the module directory is a link", "quiven-proc-python",
            "quiven-proc-python/version_one.py", 0,
            {"one 11", "one 99", "two 12", "two 99"}},
        // Not on the module search path: it does not load, here as in the
        // daemon, but the reload line still replaces the copy.
        {"the script lies below a linked directory", "quiven-proc-python/lib",
            "quiven-proc-python/lib/version_one.py", 3, {}},
    };
    for (auto &c : cases) {
        std::string command = "rm -rf '" + data + "' && mkdir -p '" + data +
            "/quiven-proc-python'";
        ASSERT_EQ(system(command.c_str()), 0);
        if (c.link == "quiven-proc-python") rmdir((data + "/quiven-proc-python").c_str());
        ASSERT_EQ(symlink(real.c_str(), (data + "/" + c.link).c_str()), 0) << c.name;
        WriteFile(Path("plugin.json"),
            "{\"script\": \"${path_state_persistent}/" + c.script + "\"}");
        std::string before = Listing(real);
        Result r = Run({"--conf", Path("plugin.json"), "--data-dir", data,
            Input({Agent(11), reload, Agent(12)})});
        EXPECT_EQ(r.status, c.status) << c.name << "\n" << r.err;
        EXPECT_EQ(Payloads(r.out), c.payloads) << c.name;
        EXPECT_EQ(Listing(real), before) << c.name;
    }
}

TEST_F(Replay, StatsPrintsThePluginsCountersLast)
{
    std::string input = Input({Agent(11), NamedFlow(2, "one.example"),
        NamedFlow(3, "one.example"), Agent(12)});
    Result r = Run({"--script", Source("counter.py"), "--stats",
                       "--sink-output", Path("payloads"), input});
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

    Result plain = Run({"--script", Source("counter.py"), "--sink-output",
        Path("payloads"), input});
    EXPECT_EQ(plain.out.find("\"events\""), std::string::npos) << plain.out;
}
