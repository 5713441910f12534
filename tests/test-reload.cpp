// Configuration and reload: what a reload request does to the script, and
// how the instance reports and recovers from every kind of bad input.

#include <algorithm>
#include <filesystem>
#include <functional>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "qpp-test-host.h"

using namespace qpptest;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
namespace fs = std::filesystem;

namespace {

// Version B of versioned.py: ProcessFlowEvent is gone.
const char *const versioned_b = R"(import qpp
VERSION = "B"
qpp.print("versioned: import %s\n" % VERSION)
def ProcessAgentEvent(event):
    qpp.print("versioned: %s agent %d\n" % (VERSION, event))
)";

const char *const other_name = "import qpp\nqpp.print('other_name: import\\n')\n"
    "def ProcessAgentEvent(event):\n    qpp.print('other_name: agent %d\\n' % event)\n";

class Reload : public ::testing::Test
{
protected:
    void TearDown() override { TestHost::Stop(plugin); }

    // Starts versioned.py (as file, when given) and returns its path.
    std::string StartVersioned(const std::string &file = "versioned.py")
    {
        std::string path = host.InstallScript("versioned.py", file);
        host.WriteScriptConf(path);
        plugin = host.Start();
        return path;
    }

    // Requests a reload and waits until it has been served.
    void Request()
    {
        plugin->DispatchEvent(qdPlugin::EVENT_RELOAD);
        ASSERT_TRUE(TestHost::Sync(plugin));
    }

    // Sends an agent event, or a new flow, and waits until it has been served.
    void Serve(qdPluginProcessor::Event event = qdPluginProcessor::EVENT_UPDATE_INIT)
    {
        auto flow = MakeFlow();
        if (event == qdPluginProcessor::EVENT_FLOW_NEW)
            plugin->DispatchProcessorEvent(event, flow);
        else
            plugin->DispatchProcessorEvent(event);
        ASSERT_TRUE(TestHost::Sync(plugin));
    }

    TestHost host;
    qdPluginProcessor *plugin = nullptr;
};

}  // namespace

// Neither the same file nor the same content under another path is
// imported again. An edited script is told, then re-executed, and loses the
// callbacks it no longer defines; edits within one second that keep the
// size run the new code too.
TEST_F(Reload, UnchangedScriptIsNotImportedAgain)
{
    std::string path = StartVersioned();
    std::string copy = host.InstallScript("versioned.py", "copy_of_versioned.py");
    Request();
    host.WriteScriptConf(copy);
    Request();
    host.WriteScriptConf(path);
    Request();
    EXPECT_EQ(host.log.Count("versioned: " + path + ": not reloading, no change."), 2u);
    EXPECT_EQ(host.log.Count("versioned: " + copy + ": not reloading, no change."), 1u);

    Serve(qdPluginProcessor::EVENT_FLOW_NEW);
    WriteFile(path, versioned_b);
    Request();
    Serve(qdPluginProcessor::EVENT_FLOW_NEW);  // no longer queued
    Serve();
    auto seen = host.log.Starting("versioned: ");
    seen.erase(std::remove_if(seen.begin(), seen.end(),
                   [](auto &line) { return line.find('/') != std::string::npos; }),
        seen.end());
    EXPECT_THAT(seen,
        ElementsAre("versioned: import A",
            "versioned: callback function loaded: ProcessAgentEvent",
            "versioned: callback function loaded: ProcessFlowEvent",
            "versioned: A flow 2", "versioned: A agent 99", "versioned: import B",
            "versioned: callback function loaded: ProcessAgentEvent",
            "versioned: B agent 11"));
    EXPECT_EQ(host.log.Count("versioned: reloading module: versioned (" + path + ")"), 1u);
    EXPECT_EQ(host.log.Count("versioned: " + path + ": ProcessFlowEvent: not defined."), 1u);

    for (std::string version : {"C", "D"}) {
        std::string edited = versioned_b;
        edited.replace(edited.find("\"B\""), 3, "\"" + version + "\"");
        WriteFile(path, edited);
        Request();
        Serve();
        EXPECT_EQ(host.log.Count("versioned: " + version + " agent 11"), 1u)
            << host.log.Text();
    }
    EXPECT_FALSE(fs::exists(host.ModuleDir() + "/__pycache__"));
}

TEST_F(Reload, ConfigurationErrors)
{
    std::string path = host.InstallScript("versioned.py");
    std::string conf = host.ConfPath();
    plugin = host.Create();
    plugin->Create();
    ASSERT_TRUE(TestHost::Sync(plugin));
    // The tag is the module's name once a script was loaded.
    const std::string error = "error loading configuration: " + conf + ": ";
    EXPECT_EQ(host.log.Count(error + "No such file or directory"), 1u) << host.log.Text();

    const std::string script = "{\"script\": \"" + path + "\", ";
    const std::string not_count = " must be a non-negative integer.";
    const std::string not_seconds =
        "callback_timeout must be a number of seconds greater than 0, or null.";
    const std::pair<std::string, std::string> cases[] = {
        // The library's message without its internal tag.
        {"", "JSON exception: parse error at line 1, column 1: syntax error while "
             "parsing value - unexpected end of input"},
        {"// comment\n" + script + "\"debug\": true}",
            "JSON exception: parse error at line 1, column 1: syntax error while "
            "parsing value"},
        {"[]", "script not found or wrong type."},
        {"{\"debug\": true}", "script not found or wrong type."},
        {"{\"script\": 7}", "script not found or wrong type."},
        {"{\"script\": \"/nonexistent/x.py\"}", "NOHASH"},
        {script + "\"queue_max_events\": -1}", "queue_max_events" + not_count},
        {script + "\"queue_max_bytes\": 1.5}", "queue_max_bytes" + not_count},
        {script + "\"queue_max_bytes\": \"1M\"}", "queue_max_bytes" + not_count},
        // An empty message: accepted. Text after the value is not examined.
        {script + "\"other\": 1} trailing", ""},
        {script + "\"callback_timeout\": 0.5}", ""},
        {script + "\"callback_timeout\": 1e30}", ""},
        {script + "\"callback_timeout\": null}", ""},
        {script + "\"callback_timeout\": 0}", not_seconds},
        {script + "\"callback_timeout\": -0.0}", not_seconds},
        {script + "\"callback_timeout\": \"10\"}", not_seconds},
        {script + "\"callback_timeout\": true}", not_seconds},
        {script + "\"isolation\": \"thread\"}", "isolation must be \"interpreter\" or \"process\"."},
        // Who a script runs as is never left to a key that would do nothing.
        {script + "\"isolation\": \"interpreter\", \"user\": \"nobody\"}",
            "user needs \"isolation\": \"process\"."},
        {script + "\"isolation\": \"process\", \"memory_limit\": \"1G\"}",
            "memory_limit must be a number of bytes, 0 for none."},
        {script + "\"isolation\": \"process\", \"group\": \"\"}", "group must be the name of a group."},
    };
    for (auto &[content, message] : cases) {
        host.WriteConf(content);
        std::string expected = (message == "NOHASH")
            ? "error hashing script: /nonexistent/x.py"
            : error + message;
        size_t before = host.log.Count(expected), errors = host.log.Count(error);
        int failed = qppHostStats(plugin)["reloads"]["failed"];
        Request();
        // Every refused configuration counts as a failed reload.
        EXPECT_EQ(qppHostStats(plugin)["reloads"]["failed"], failed + !message.empty());
        if (message.empty())
            EXPECT_EQ(host.log.Count(error), errors) << content << "\n" << host.log.Text();
        else
            EXPECT_EQ(host.log.Count(expected), before + 1) << content << "\n"
                                                            << host.log.Text();
    }
    EXPECT_EQ(host.log.Count("[json."), 0u) << host.log.Text();

    // A configuration that cannot be read reports the actual reason.
    fs::remove(conf);
    fs::create_directory(conf);
    Request();
    EXPECT_EQ(host.log.Count(error + "Is a directory"), 1u);
    fs::remove(conf);

    // Debug only from a boolean, and the next reload turns it off.
    for (std::string debug : {"\"true\"", "1", "true", "null"}) {
        host.WriteConf(script + "\"debug\": " + debug + "}");
        Request();
        Serve();
    }
    EXPECT_EQ(host.log.Count("versioned: A agent 11"), 4u) << host.log.Text();
    EXPECT_EQ(host.log.Count("calling script function: ProcessAgentEvent"), 1u);
}

// A host that never sets a locale gives the interpreter an ASCII file system
// encoding: every other byte of a script's path reaches the module's
// __file__ as a surrogate escape. The path must still be recognised as the
// configured one. A dotted name is refused before the loaded script is
// touched; another module name is imported afresh, and the first one again
// from its file.
TEST_F(Reload, AnotherModuleNameIsImportedAfresh)
{
    std::string path = StartVersioned("v\xc3\xa9rsioned.py");
    const std::string tag = "v\xc3\xa9rsioned: ";
    std::string dotted = host.InstallScript("versioned.py", "flows.v2.py");
    host.WriteScriptConf(dotted);
    Request();
    EXPECT_EQ(host.log.Count(tag + "invalid module name: flows.v2 (" + dotted +
                  "): a dot in a module name stands for a package; name the "
                  "script without dots but the one before its extension"),
        1u) << host.log.Text();
    EXPECT_EQ(host.log.Count("versioned: A agent 99"), 0u);

    // A byte that is not UTF-8 at all is a name all the same. JSON cannot
    // carry it; a host variable can (a data directory named so, say).
    std::string odd = host.ModuleDir() + "/other\xff.py";
    WriteFile(odd, other_name);
    auto &vars = qdGlobalConfig::GetInstance().conf_vars;
    vars["odd_script"] = odd;
    host.WriteConf("{\"script\": \"${odd_script}\"}\n");
    Request();
    vars.erase("odd_script");
    Serve();
    EXPECT_EQ(host.log.Count("other_name: import"), 1u) << host.log.Text();
    EXPECT_EQ(host.log.Count("other_name: agent 11"), 1u);
    EXPECT_EQ(host.log.Count("versioned: A agent 99"), 1u);
    EXPECT_EQ(host.log.Count("versioned: A agent 11"), 0u);

    host.WriteScriptConf(path);
    Request();
    Serve(qdPluginProcessor::EVENT_UPDATE_COMPLETE);
    EXPECT_EQ(host.log.Count("versioned: A agent 12"), 1u) << host.log.Text();
    EXPECT_EQ(host.log.Count("versioned: import A"), 2u);
    EXPECT_EQ(host.log.Count("instead"), 0u) << host.log.Text();
}

// A reload that changes where the script runs tells the script where it
// ran, ends it there and loads it afresh the other way (its state starts
// anew); one that changes the runner's settings starts another runner.
TEST_F(Reload, ChangingTheIsolationTellsTheScriptAndLoadsItTheOtherWay)
{
    if (Process()) GTEST_SKIP() << "the test chooses the isolations itself";
    std::string path = host.WriteScript("moving", R"(import os, qpp
try:
    loads += 1
except NameError:
    loads = 1
def ProcessAgentEvent(event):
    qpp.print("moving: %d load %d in %d\n" % (event, loads, os.getpid()))
)");
    auto use = [&](const std::string &keys) {
        host.WriteConf("{\"script\": \"" + path + "\"" + keys + "}");
        Request();
        Serve();
    };
    plugin = host.Start();
    Serve();
    const std::string runner = ", \"isolation\": \"process\", \"user\": \"" QPP_TEST_RUNNER_USER "\"";
    use(runner);
    use(runner + ", \"group\": \"nogroup\"");
    use(", \"isolation\": \"interpreter\"");
    use(runner + ", \"user\": \"nosuchuser\"");
    std::vector<std::string> seen = host.log.Starting("moving: ");
    std::vector<std::string> events, pids;
    for (auto &line : seen) {
        if (line.find(" load ") == std::string::npos) continue;
        events.push_back(line.substr(0, line.find(" in ")));
        pids.push_back(line.substr(line.find(" in ") + 4));
    }
    EXPECT_THAT(events, ElementsAre("moving: 11 load 1", "moving: 99 load 1", "moving: 11 load 1",
                            "moving: 99 load 1", "moving: 11 load 1", "moving: 99 load 1",
                            "moving: 11 load 1", "moving: 99 load 1"))
        << host.log.Text();
    ASSERT_EQ(pids.size(), 8u);
    std::string self = std::to_string(getpid());
    EXPECT_THAT(pids, ElementsAre(self, self, pids[2], pids[2], pids[4], pids[4], self, self));
    EXPECT_NE(pids[2], self);
    EXPECT_NE(pids[4], pids[2]);  // another runner for other settings
    EXPECT_EQ(host.log.Count("moving: cannot start the script runner: no such user: nosuchuser"), 1u);
}

// The module directory is put back once, at the end, at every load; the
// worker thread keeps the module's name.
TEST_F(Reload, AScriptThatEmptiedTheSearchPathIsReloadedAfterAFix)
{
    const std::string head = "import sys, threading, qpp\n";
    std::string path = host.WriteScript("pathless", head + "sys.path.clear()\n");
    plugin = host.Start();
    EXPECT_EQ(host.log.Count("python-test: importing module: pathless (" + path + ")"), 1u);
    for (std::string version : {"two", "three"}) {
        WriteFile(path, head + "with open('/proc/self/task/%d/comm' % "
            "threading.get_native_id()) as f:\n    qpp.print('pathless: " + version +
            " %s %s\\n' % (sys.path, f.read().strip()))\n");
        Request();
        EXPECT_EQ(host.log.Count("pathless: " + version + " ['" + host.ModuleDir() +
                      "'] pathless"), 1u) << host.log.Text();
    }
}

// A script that fails to import is reported, serves nothing, and is loaded
// once fixed: by an edit, by the helper module it needs arriving (the
// script itself unchanged), or by a configuration naming another script.
TEST(FailedImport, IsReportedThenRecoveredFrom)
{
    struct Case
    {
        const char *name;
        bool reload;         // fails at a reload of a working version, not first
        const char *script;  // prints "<name>: fixed <event>" once it works
        const char *traceback;   // on standard error
        const char *log_detail;  // in the log after the error line
        // Fixes the script; returns the path the configuration names.
        std::function<std::string(TestHost &, const std::string &path)> fix;
    };
    auto rewrite = [](TestHost &, const std::string &path) {
        std::string name = fs::path(path).stem();
        WriteFile(path, "import qpp\n\ndef ProcessAgentEvent(event):\n"
                        "    qpp.print('" + name + ": fixed %d\\n' % event)\n");
        return path;
    };
    const Case cases[] = {
        {"syntax", true, "import qpp\n\ndef ProcessAgentEvent(event)\n    pass\n",
            "SyntaxError", "", rewrite},
        {"needs_helper", false,
            "import qpp\nimport qpp_test_helper\n\ndef ProcessAgentEvent(event):\n"
            "    qpp.print('needs_helper: %s %d\\n' % (qpp_test_helper.WORD, event))\n",
            "ModuleNotFoundError: No module named 'qpp_test_helper'", "",
            [](TestHost &host, const std::string &path) {
                WriteFile(host.ModuleDir() + "/qpp_test_helper.py", "WORD = 'fixed'\n");
                return path;
            }},
        {"exits_on_import", false, "import sys\n\nsys.exit('leaving at import')\n",
            "SystemExit: leaving at import", "", rewrite},
        // An extension that refuses sub-interpreters, as some do.
        {"refuser_user", false, "import qpp_test_refuser\n",
            "ImportError: qpp_test_refuser does not support sub-interpreters", "",
            rewrite},
        // Named like a standard-library module the runtime has loaded.
        {"json", false, "import qpp\n\ndef ProcessAgentEvent(event):\n"
                        "    qpp.print('json: fixed %d\\n' % event)\n",
            "", "/json/__init__.py instead",
            [](TestHost &, const std::string &path) {
                std::string renamed = fs::path(path).replace_filename("not_json.py");
                fs::copy_file(path, renamed);
                return renamed;
            }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        // A runner's interpreter is a main one: the extension imports there.
        if (Process() && std::string(c.name) == "refuser_user") continue;
        TestHost host;
        StderrCapture err;
        WriteFile(host.ModuleDir() + "/qpp_test_refuser.so", ReadFile(QPP_REFUSER_MODULE));
        std::string path = host.ModuleDir() + "/" + c.name + ".py";
        std::string tag = c.reload ? c.name : "python-test";
        if (c.reload)
            rewrite(host, path);
        else
            WriteFile(path, c.script);
        host.WriteScriptConf(path);
        qdPluginProcessor *plugin = host.Start();
        ASSERT_NE(plugin, nullptr);
        if (c.reload) {
            WriteFile(path, c.script);
            plugin->DispatchEvent(qdPlugin::EVENT_RELOAD);
            ASSERT_TRUE(TestHost::Sync(plugin));
        }
        plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_UPDATE_INIT);
        ASSERT_TRUE(TestHost::Sync(plugin));
        EXPECT_EQ(host.log.Count(tag + ": error importing/reloading module: " +
                      c.name + " (" + path + ")"),
            1u) << host.log.Text();
        EXPECT_THAT(host.log.Text(), HasSubstr(c.log_detail));
        EXPECT_THAT(err.Text(), HasSubstr(c.traceback));
        EXPECT_EQ(host.log.Count(": fixed 11"), 0u);

        host.WriteScriptConf(c.fix(host, path));
        plugin->DispatchEvent(qdPlugin::EVENT_RELOAD);
        ASSERT_TRUE(TestHost::Sync(plugin));
        plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_UPDATE_COMPLETE);
        ASSERT_TRUE(TestHost::Sync(plugin));
        TestHost::Stop(plugin);
        EXPECT_EQ(host.log.Count(std::string(c.name) + ": fixed 12"), 1u) << host.log.Text();
    }
}
