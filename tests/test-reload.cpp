// Configuration and reload: what a reload request does to the script, and
// how the instance reports and recovers from every kind of bad input.

#include <algorithm>
#include <filesystem>
#include <functional>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "qpp-test-host.h"

using namespace qpptest;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
namespace fs = std::filesystem;

namespace {

// Version B of versioned.py: ProcessFlowEvent is gone.
const char *const versioned_b = R"(
import qpp

VERSION = "B"
qpp.print("versioned: import %s\n" % VERSION)

def ProcessAgentEvent(event):
    qpp.print("versioned: %s agent %d\n" % (VERSION, event))
)";

const char *const other_name = R"(
import qpp

qpp.print("other_name: import\n")

def ProcessAgentEvent(event):
    qpp.print("other_name: agent %d\n" % event)
)";

class Reload : public ::testing::Test
{
protected:
    void TearDown() override { TestHost::Stop(plugin); }

    // Requests a reload and waits until it has been served.
    void Request()
    {
        plugin->DispatchEvent(qdPlugin::EVENT_RELOAD);
        ASSERT_TRUE(TestHost::Sync(plugin));
    }

    void Agent(qdPluginProcessor::Event event = qdPluginProcessor::EVENT_UPDATE_INIT)
    {
        plugin->DispatchProcessorEvent(event);
        ASSERT_TRUE(TestHost::Sync(plugin));
    }

    void Flow()
    {
        auto flow = MakeFlow();
        plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_FLOW_NEW, flow);
        ASSERT_TRUE(TestHost::Sync(plugin));
    }

    TestHost host;
    qdPluginProcessor *plugin = nullptr;
};

}  // namespace

// Neither the same file nor the same content under another path is
// imported again.
TEST_F(Reload, UnchangedScriptIsNotImportedAgain)
{
    std::string path = host.InstallScript("versioned.py");
    std::string copy = host.InstallScript("versioned.py", "copy.py");
    host.WriteScriptConf(path);
    plugin = host.Start();
    Request();
    Request();
    host.WriteScriptConf(copy);
    Request();
    Agent();
    EXPECT_EQ(host.log.Count("versioned: import A"), 1u);
    EXPECT_EQ(host.log.Count("versioned: " + path + ": not reloading, no change."), 2u);
    EXPECT_EQ(host.log.Count("versioned: " + copy + ": not reloading, no change."), 1u);
    EXPECT_EQ(host.log.Count("versioned: A agent 11"), 1u);
}

TEST_F(Reload, EditedScriptIsToldThenReExecutedAndLosesRemovedCallbacks)
{
    std::string path = host.InstallScript("versioned.py");
    host.WriteScriptConf(path);
    plugin = host.Start();
    Flow();
    WriteFile(path, versioned_b);
    Request();
    Flow();  // no longer queued
    Agent();

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
}

TEST_F(Reload, EditsWithinOneSecondAndTheSameSizeRunTheNewCode)
{
    std::string path = host.InstallScript("versioned.py");
    host.WriteScriptConf(path);
    plugin = host.Start();
    std::string a = ReadFile(path);
    for (std::string version : {"B", "C", "D"}) {
        std::string edited = a;
        edited.replace(edited.find("VERSION = \"A\""), 13, "VERSION = \"" + version + "\"");
        ASSERT_EQ(edited.size(), a.size());
        WriteFile(path, edited);
        Request();
        Agent();
        EXPECT_EQ(host.log.Count("versioned: " + version + " agent 11"), 1u)
            << host.log.Text();
    }
    EXPECT_FALSE(fs::exists(host.ModuleDir() + "/__pycache__"));
}

TEST_F(Reload, TagThreadNameAndSearchPath)
{
    // The worker thread's name as the system knows it, and sys.path.
    std::string path = host.WriteScript("identity", R"(
import sys
import threading

import qpp

def ProcessAgentEvent(event):
    with open("/proc/self/task/%d/comm" % threading.get_native_id()) as f:
        name = f.read().strip()
    module_dir = [p for p in sys.path if p.endswith("/quiven-proc-python")]
    qpp.print("identity: thread %s module_dir %d\n" % (name, len(module_dir)))
)");
    plugin = host.Start();
    EXPECT_EQ(host.log.Count("python-test: importing module: identity (" + path + ")"), 1u);
    for (int i = 0; i < 5; i++) {
        WriteFile(path, ReadFile(path) + "\n");
        Request();
    }
    Agent();
    // Each reload's unload notice reports too: five of them, then event 11.
    EXPECT_EQ(host.log.Count("identity: thread identity module_dir 1"), 6u)
        << host.log.Text();
    EXPECT_EQ(host.log.Count("identity: thread "), 6u);
}

TEST_F(Reload, ConfigurationErrors)
{
    std::string path = host.InstallScript("versioned.py");
    std::string conf = host.ConfPath();
    plugin = host.Create();
    plugin->Create();
    ASSERT_TRUE(TestHost::Sync(plugin));
    EXPECT_EQ(host.log.Count("python-test: error loading configuration: " + conf +
                  ": No such file or directory"),
        1u) << host.log.Text();

    struct Case
    {
        std::string content;
        std::string message;
    };
    std::vector<Case> cases = {
        // The library's message without its internal tag.
        {"", "JSON exception: parse error at line 1, column 1: syntax error while "
             "parsing value - unexpected end of input"},
        {"// comment\n{\"script\": \"" + path + "\"}",
            "JSON exception: parse error at line 1, column 1: syntax error while "
            "parsing value"},
        {"[]", "script not found or wrong type."},
        {"42", "script not found or wrong type."},
        {"{\"debug\": true}", "script not found or wrong type."},
        {"{\"script\": 7}", "script not found or wrong type."},
        {"{\"script\": \"/nonexistent/x.py\"}", "NOHASH"},
    };
    for (auto &c : cases) {
        host.WriteConf(c.content);
        std::string expected = (c.message == "NOHASH")
            ? "python-test: error hashing script: /nonexistent/x.py"
            : "python-test: error loading configuration: " + conf + ": " + c.message;
        size_t before = host.log.Count(expected);
        Request();
        EXPECT_EQ(host.log.Count(expected), before + 1) << c.content << "\n"
                                                        << host.log.Text();
    }

    EXPECT_EQ(host.log.Count("[json."), 0u) << host.log.Text();

    // A configuration that cannot be read reports the actual reason.
    fs::remove(conf);
    fs::create_directory(conf);
    Request();
    EXPECT_EQ(host.log.Count("python-test: error loading configuration: " + conf +
                  ": Is a directory"),
        1u);
    fs::remove(conf);

    // Everything recovers once the file is right; text after the value is
    // not examined.
    host.WriteConf("{\"script\": \"" + path + "\", \"other\": 1} trailing");
    Request();
    Agent();
    EXPECT_EQ(host.log.Count("versioned: A agent 11"), 1u) << host.log.Text();
}

TEST_F(Reload, DebugOnlyFromABoolean)
{
    std::string path = host.InstallScript("versioned.py");
    for (std::string debug : {"\"true\"", "1", "true", "null"}) {
        host.WriteConf("{\"script\": \"" + path + "\", \"debug\": " + debug + "}");
        if (plugin == nullptr)
            plugin = host.Start();
        else
            Request();
        Agent();
    }
    // Only the boolean turned it on, and the next reload turned it off.
    EXPECT_EQ(host.log.Count("calling script function: ProcessAgentEvent"), 1u)
        << host.log.Text();
}

TEST_F(Reload, AnotherModuleNameIsImportedAfresh)
{
    std::string path = host.InstallScript("versioned.py");
    host.WriteScriptConf(path);
    plugin = host.Start();
    std::string other = host.WriteScript("other_name", other_name);
    Request();
    Agent();
    EXPECT_EQ(host.log.Count("versioned: importing module: other_name (" + other + ")"), 1u)
        << host.log.Text();
    EXPECT_EQ(host.log.Count("other_name: import"), 1u);
    EXPECT_EQ(host.log.Count("other_name: agent 11"), 1u);
    EXPECT_EQ(host.log.Count("versioned: A agent 11"), 0u);

    // And back: the first module runs again from its file.
    host.WriteScriptConf(path);
    Request();
    Agent(qdPluginProcessor::EVENT_UPDATE_COMPLETE);
    EXPECT_EQ(host.log.Count("versioned: A agent 12"), 1u) << host.log.Text();
    EXPECT_EQ(host.log.Count("versioned: import A"), 2u);
}

// A host that never sets a locale gives the interpreter an ASCII file system
// encoding: every other byte of a script's path reaches the module's
// __file__ as a surrogate escape. The path must still be recognised as the
// configured one.
TEST_F(Reload, ScriptPathsBeyondAsciiLoad)
{
    std::string path = host.InstallScript("versioned.py", "v\xc3\xa9rsioned.py");
    host.WriteScriptConf(path);
    plugin = host.Start();
    Agent();
    EXPECT_EQ(host.log.Count("versioned: A agent 11"), 1u) << host.log.Text();
    EXPECT_EQ(host.log.Count("instead"), 0u) << host.log.Text();

    // A byte that is not UTF-8 at all is a name all the same. JSON cannot
    // carry it; a host variable can (a data directory named so, say).
    std::string odd = host.ModuleDir() + "/other\xff.py";
    WriteFile(odd, other_name);
    auto &vars = qdGlobalConfig::GetInstance().conf_vars;
    vars["odd_script"] = odd;
    host.WriteConf("{\"script\": \"${odd_script}\"}\n");
    Request();
    vars.erase("odd_script");
    Agent(qdPluginProcessor::EVENT_UPDATE_COMPLETE);
    EXPECT_EQ(host.log.Count("other_name: agent 12"), 1u) << host.log.Text();
    EXPECT_EQ(host.log.Count("instead"), 0u) << host.log.Text();
}

TEST_F(Reload, AScriptThatEmptiedTheSearchPathIsReloadedAfterAFix)
{
    std::string path = host.WriteScript("pathless", "import sys\nimport qpp\n\n"
        "sys.path.clear()\nqpp.print('pathless: one\\n')\n");
    plugin = host.Start();
    ASSERT_NE(plugin, nullptr);
    EXPECT_EQ(host.log.Count("pathless: one"), 1u);

    // Put back once, at the end, as at the first load.
    WriteFile(path, "import sys\nimport qpp\n\n"
                    "qpp.print('pathless: two %s\\n' % sys.path)\n");
    Request();
    std::string module_dir = "'" + host.ModuleDir() + "'";
    EXPECT_EQ(host.log.Count("pathless: two [" + module_dir + "]"), 1u) << host.log.Text();

    WriteFile(path, "import sys\nimport qpp\n\n"
                    "qpp.print('pathless: three %d\\n' % len(sys.path))\n");
    Request();
    EXPECT_EQ(host.log.Count("pathless: three 1"), 1u) << host.log.Text();
}

TEST_F(Reload, ADottedScriptNameIsRefusedBeforeTheLoadedScriptIsTouched)
{
    host.WriteScriptConf(host.InstallScript("versioned.py"));
    plugin = host.Start();
    ASSERT_NE(plugin, nullptr);

    std::string dotted = host.InstallScript("versioned.py", "flows.v2.py");
    host.WriteScriptConf(dotted);
    Request();
    EXPECT_EQ(host.log.Count("versioned: invalid module name: flows.v2 (" + dotted +
                  "): a dot in a module name stands for a package; name the "
                  "script without dots but the one before its extension"),
        1u) << host.log.Text();
    // The loaded script was not told to unload and keeps serving.
    EXPECT_EQ(host.log.Count("versioned: A agent 99"), 0u);
    Agent();
    EXPECT_EQ(host.log.Count("versioned: A agent 11"), 1u);
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
        {"needs_helper", false, R"(
import qpp
import qpp_test_helper

def ProcessAgentEvent(event):
    qpp.print("needs_helper: %s %d\n" % (qpp_test_helper.WORD, event))
)",
            "ModuleNotFoundError: No module named 'qpp_test_helper'", "",
            [](TestHost &host, const std::string &path) {
                WriteFile(host.ModuleDir() + "/qpp_test_helper.py", "WORD = 'fixed'\n");
                return path;
            }},
        {"exits_on_import", false,
            "import sys\n\nsys.exit('leaving at import')\n",
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
        TestHost host;
        StderrCapture err;
        WriteFile(host.ModuleDir() + "/qpp_test_refuser.so", ReadFile(QPP_REFUSER_MODULE));
        std::string path = host.ModuleDir() + "/" + c.name + ".py";
        std::string tag = "python-test";
        if (c.reload) {
            rewrite(host, path);
            tag = c.name;
        }
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
