// Configuration and reload: what a reload request does to the script, and
// how the instance reports and recovers from every kind of bad input.

#include <cstdio>
#include <fstream>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "qpp-test-host.h"

using namespace qpptest;

namespace {

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

    // Replaces the script's content with another test script's.
    void Edit(const std::string &script, const std::string &as = "versioned.py")
    {
        WriteFile(host.ModuleDir() + "/" + as,
            ReadFile(TestDataDir() + "/scripts/" + script));
    }

    std::string Conf() { return host.ConfPath(); }

    TestHost host;
    qdPluginProcessor *plugin = nullptr;
};

}  // namespace

TEST_F(Reload, UnchangedScriptIsNotImportedAgain)
{
    std::string path = host.InstallScript("versioned.py");
    host.WriteScriptConf(path);
    plugin = host.Start();
    Request();
    Request();
    EXPECT_EQ(host.log.Count("versioned: import A"), 1u);
    EXPECT_EQ(host.log.Count("versioned: " + path + ": not reloading, no change."), 2u);
}

TEST_F(Reload, EditedScriptIsToldThenReExecutedAndLosesRemovedCallbacks)
{
    std::string path = host.InstallScript("versioned.py");
    host.WriteScriptConf(path);
    plugin = host.Start();
    Flow();
    Edit("versioned_no_flow.py");
    Request();
    Flow();  // no longer queued
    Agent();

    std::vector<std::string> seen;
    for (auto &line : host.log.Lines()) {
        if (line.rfind("versioned: ", 0) == 0 && line.find("/") == std::string::npos)
            seen.push_back(line);
    }
    std::vector<std::string> expected = {
        "versioned: import A",
        "versioned: callback function loaded: ProcessAgentEvent",
        "versioned: callback function loaded: ProcessFlowEvent",
        "versioned: A flow 2",
        "versioned: A agent 99",
        "versioned: import B",
        "versioned: callback function loaded: ProcessAgentEvent",
        "versioned: B agent 11",
    };
    EXPECT_EQ(seen, expected) << host.log.Text();
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
    EXPECT_FALSE(std::ifstream(host.ModuleDir() + "/__pycache__").good());
}

TEST_F(Reload, TagThreadNameAndSearchPath)
{
    std::string path = host.InstallScript("identity.py");
    host.WriteScriptConf(path);
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
    std::string conf = Conf();
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
    std::remove(conf.c_str());
    mkdir(conf.c_str(), 0755);
    Request();
    EXPECT_EQ(host.log.Count("python-test: error loading configuration: " + conf +
                  ": Is a directory"),
        1u);
    rmdir(conf.c_str());

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

TEST_F(Reload, SameContentUnderAnotherPathIsNoChange)
{
    std::string path = host.InstallScript("versioned.py");
    std::string copy = host.InstallScript("versioned.py", "copy.py");
    host.WriteScriptConf(path);
    plugin = host.Start();
    host.WriteScriptConf(copy);
    Request();
    Agent();
    EXPECT_EQ(host.log.Count("versioned: " + copy + ": not reloading, no change."), 1u);
    EXPECT_EQ(host.log.Count("versioned: A agent 11"), 1u);
}

TEST_F(Reload, SyntaxErrorThenFixRecovers)
{
    StderrCapture err;
    std::string path = host.InstallScript("versioned.py");
    host.WriteScriptConf(path);
    plugin = host.Start();
    Edit("syntax_error.py");
    Request();
    EXPECT_EQ(host.log.Count("versioned: error importing/reloading module: versioned (" + path + ")"), 1u)
        << host.log.Text();
    EXPECT_NE(err.Text().find("SyntaxError"), std::string::npos);
    Agent();
    EXPECT_EQ(host.log.Count("versioned: A agent 11"), 0u);

    Edit("versioned_no_flow.py");
    Request();
    Agent();
    EXPECT_EQ(host.log.Count("versioned: B agent 11"), 1u) << host.log.Text();
}

TEST_F(Reload, FailedImportIsRetriedWithTheSameScript)
{
    StderrCapture err;
    std::string path = host.InstallScript("needs_helper.py");
    host.WriteScriptConf(path);
    plugin = host.Start();
    EXPECT_EQ(host.log.Count("python-test: error importing/reloading module: needs_helper (" + path + ")"), 1u);
    EXPECT_NE(err.Text().find("ModuleNotFoundError: No module named 'qpp_test_helper'"), std::string::npos);

    // The missing helper arrives; the script itself is unchanged.
    WriteFile(host.ModuleDir() + "/qpp_test_helper.py", "GREETING = 'hello'\n");
    Request();
    Agent();
    EXPECT_EQ(host.log.Count("needs_helper: hello 11"), 1u) << host.log.Text();
}

TEST_F(Reload, AnotherModuleNameIsImportedAfresh)
{
    std::string path = host.InstallScript("versioned.py");
    std::string other = host.InstallScript("other_name.py");
    host.WriteScriptConf(path);
    plugin = host.Start();
    host.WriteScriptConf(other);
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

TEST_F(Reload, ModuleFoundElsewhereOnThePathIsRefused)
{
    std::string path = host.InstallScript("json.py");
    host.WriteScriptConf(path);
    plugin = host.Start();
    std::string expected = "python-test: error importing/reloading module: json (" +
        path + "): found ";
    EXPECT_EQ(host.log.Count(expected), 1u) << host.log.Text();
    EXPECT_EQ(host.log.Count("/json/__init__.py instead"), 1u) << host.log.Text();
    Agent();
    EXPECT_EQ(host.log.Count("shadow: "), 0u);

    // Renamed to a free name, the same script works.
    std::string renamed = host.InstallScript("json.py", "not_json.py");
    host.WriteScriptConf(renamed);
    Request();
    Agent();
    EXPECT_EQ(host.log.Count("shadow: 11"), 1u) << host.log.Text();
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
    std::string odd = host.InstallScript("other_name.py", "other\xff.py");
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
    std::string path = host.ModuleDir() + "/pathless.py";
    WriteFile(path, "import sys\nimport qpp\n\nsys.path.clear()\n"
                    "qpp.print('pathless: one\\n')\n");
    host.WriteScriptConf(path);
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
