// The plugin's life as the daemon sees it: factory, runtime sharing, the
// module qpp, and what runs in a sub-interpreter.

#include <gtest/gtest.h>

#include "qd-test.h"
#include "qpp-test-host.h"

using namespace qpptest;

TEST(Factory, RefusesOtherPluginTypesAndReleasesTheRuntime)
{
    TestHost host;
    for (uint8_t type : {0, 3}) {
        qd_test_set_processor_type(type);
        EXPECT_EQ(host.Create("python-bad"), nullptr);
        std::string line = "Invalid plugin type: python-bad [" +
            std::to_string(type) + "]";
        EXPECT_EQ(host.log.Count(line), 1u) << host.log.Text();
    }
    // The first refused plugin brought the runtime up; it stays for later
    // instances (that the counts were given back shows at exit).
    EXPECT_EQ(host.log.Count("python-bad: Python initialized: "), 1u);
    EXPECT_EQ(host.log.Count("Python finalized"), 0u);
    EXPECT_EQ(host.log.Count("python-bad: destroyed"), 2u);

    qd_test_set_processor_type(qdPlugin::TYPE_PROC_STATS);
    qdPluginProcessor *plugin = host.Create("python-stats");
    ASSERT_NE(plugin, nullptr);
    TestHost::Stop(plugin);
}

TEST(Factory, EmptyConfFilenameThrowsWithoutTouchingPython)
{
    TestHost host;
    try {
        host.Create("python-test", std::map<std::string, std::string>());
        FAIL() << "no exception";
    }
    catch (const qdException &e) {
        EXPECT_STREQ(e.what(), "python-test: conf_filename: Invalid argument");
    }
    try {
        host.Create("python-test", {{"conf_filename", ""}});
        FAIL() << "no exception";
    }
    catch (const qdException &e) {
        EXPECT_STREQ(e.what(), "python-test: conf_filename: Invalid argument");
    }
    EXPECT_EQ(host.log.Count("Python initialized"), 0u);
}

TEST(Plugin, GetVersionOverwrites)
{
    TestHost host;
    qdPluginProcessor *plugin = host.Create();
    ASSERT_NE(plugin, nullptr);
    std::string version = "something much longer than a version";
    plugin->GetVersion(version);
    EXPECT_EQ(version, "1.0.35");
    TestHost::Stop(plugin);
}

TEST(Runtime, InstancesShareOneRuntime)
{
    TestHost host;
    qdPluginProcessor *a = host.Create("python-a");
    qdPluginProcessor *b = host.Create("python-b");
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(host.log.Count("Python initialized: "), 1u);
    EXPECT_EQ(host.log.Count("python-a: Python initialized: "), 1u);
    EXPECT_EQ(host.log.Count("python-a: initialized"), 1u);
    EXPECT_EQ(host.log.Count("python-b: initialized"), 1u);

    TestHost::Stop(a);
    EXPECT_EQ(host.log.Count("python-a: destroyed"), 1u);
    TestHost::Stop(b);
    EXPECT_EQ(host.log.Count("python-b: destroyed"), 1u);
    EXPECT_EQ(host.log.Count("Python finalized"), 0u);

    // The version text is one line.
    for (auto &line : host.log.Lines()) {
        if (line.find("Python initialized: ") != std::string::npos) {
            EXPECT_NE(line.find("python-a: Python initialized: 3."),
                std::string::npos);
        }
    }
}

TEST(Runtime, LaterGenerationsOfInstancesShareTheRuntime)
{
    // The script imports datetime, after which finalising and starting the
    // runtime again crashes some interpreters.
    TestHost host;
    host.WriteScriptConf(host.InstallScript("extensions.py"));
    for (int generation = 0; generation < 3; generation++) {
        qdPluginProcessor *plugin = host.Start();
        ASSERT_NE(plugin, nullptr);
        TestHost::Stop(plugin);
    }
    EXPECT_EQ(host.log.Count("Python initialized: "), 1u);
    EXPECT_EQ(host.log.Count("extensions: {\"a\": 1}"), 3u) << host.log.Text();
}

TEST(Runtime, UnstartedPluginIsDestroyed)
{
    TestHost host;
    qdPluginProcessor *plugin = host.Create("python-idle");
    ASSERT_NE(plugin, nullptr);
    delete plugin;
    EXPECT_EQ(host.log.Count("python-idle: destroyed"), 1u);
}

TEST(Module, PrintDebugAndError)
{
    TestHost host;
    host.WriteScriptConf(host.InstallScript("module_api.py"));
    qdPluginProcessor *plugin = host.Start();
    ASSERT_NE(plugin, nullptr);
    TestHost::Stop(plugin);

    std::vector<std::string> expected = {
        "api: plain text",
        "api: print returns = 0",
        "api: debug text",
        "api: debug returns = 0",
        "api: print int = 'TypeError: message type must be a string'",
        "api: print none = 'TypeError: message type must be a string'",
        "api: print two = 'TypeError: message type must be a string'",
        "api: print nul = 'TypeError: message type must be a string'",
        "api: print surrogate = 'TypeError: message type must be a string'",
        "api: debug bytes = 'TypeError: message type must be a string'",
        "100%s%n%d",
        "api: error is Exception = True",
        "api: error name = ('error', 'qpp')",
        "api: functions = ['debug', 'dispatch', 'error', 'print', 'stats']",
        "api: doc = 'Dispatch a payload to a Quiven Agent sink plugin.'",
    };
    std::vector<std::string> seen;
    for (auto &line : host.log.Lines()) {
        if (line.rfind("api: ", 0) == 0 || line.rfind("100%", 0) == 0)
            seen.push_back(line);
    }
    EXPECT_EQ(seen, expected) << host.log.Text();
}

TEST(Module, DebugIsWrittenOnlyWithTheHostsDebugOn)
{
    TestHost host;
    qd_set_debug(false);
    host.WriteScriptConf(host.InstallScript("module_api.py"));
    qdPluginProcessor *plugin = host.Start();
    ASSERT_NE(plugin, nullptr);
    TestHost::Stop(plugin);
    EXPECT_EQ(host.log.Count("api: plain text"), 1u);
    EXPECT_EQ(host.log.Count("api: debug returns = 0"), 1u);
    EXPECT_EQ(host.log.Count("api: debug text"), 0u);
}

TEST(SubInterpreter, ImportsExtensionModulesWhenLoadedLocally)
{
    TestHost host;
    StderrCapture err;
    host.WriteScriptConf(host.InstallScript("extensions.py"));
    qdPluginProcessor *plugin = host.Start();
    ASSERT_NE(plugin, nullptr);
    TestHost::Stop(plugin);
    EXPECT_EQ(host.log.Count("extensions: {\"a\": 1} 4.0 2026-01-02 "), 1u)
        << host.log.Text() << err.Text();
    EXPECT_EQ(host.log.Count(" True"), 1u);
}

TEST(SubInterpreter, InstancesDoNotSeeEachOthersModules)
{
    TestHost host;
    host.WriteScriptConf(host.InstallScript("isolation_set.py"), false, "a");
    host.WriteScriptConf(host.InstallScript("isolation_check.py"), false, "b");
    qdPluginProcessor *a = host.Start("python-a", "a");
    ASSERT_TRUE(host.log.WaitFor("isolation: marks set"));
    qdPluginProcessor *b = host.Start("python-b", "b");
    TestHost::Stop(a);
    TestHost::Stop(b);
    EXPECT_EQ(host.log.Count("isolation: marks seen [False, False, False]"), 1u)
        << host.log.Text();
}
