// The plugin's life as the daemon sees it: factory, runtime sharing, the
// module qpp, and what runs in a sub-interpreter.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "qd-test.h"
#include "qpp-test-host.h"

using namespace qpptest;
using ::testing::Contains;
using ::testing::StartsWith;
using ::testing::ThrowsMessage;

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
    for (const std::map<std::string, std::string> &params :
        {std::map<std::string, std::string>(), {{"conf_filename", ""}}}) {
        EXPECT_THAT([&] { host.Create("python-test", params); },
            ThrowsMessage<qdException>("python-test: conf_filename: Invalid argument"));
    }
    EXPECT_EQ(host.log.Count("Python initialized"), 0u);
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
    EXPECT_THAT(host.log.Lines(), Contains(StartsWith("python-a: Python initialized: 3.")));
}

// What the module's functions return and refuse; debug lines only with
// the host's debug on.
TEST(Module, PrintDebugAndError)
{
    const char *const script = R"(
import qpp

def report(name, value):
    qpp.print("api: %s = %r\n" % (name, value))

def type_error(call):
    try:
        call()
    except TypeError as e:
        return "TypeError: %s" % e
    return "no error"

report("print returns", qpp.print("api: plain text\n"))
report("debug returns", qpp.debug("api: debug text\n"))
report("print int", type_error(lambda: qpp.print(1)))
report("print none", type_error(lambda: qpp.print()))
report("print two", type_error(lambda: qpp.print("a", "b")))
report("print nul", type_error(lambda: qpp.print("a\0b")))
report("print surrogate", type_error(lambda: qpp.print("\udc80")))
report("debug bytes", type_error(lambda: qpp.debug(b"bytes")))
qpp.print("100%s%n%d\n")
report("error is Exception", issubclass(qpp.error, Exception))
report("error name", (qpp.error.__name__, qpp.error.__module__))
report("functions", sorted(n for n in dir(qpp) if not n.startswith(("_", "EVENT_"))))
)";
    const char *const type_error = "'TypeError: message type must be a string'";
    for (bool debug : {true, false}) {
        SCOPED_TRACE(debug);
        TestHost host;
        qd_set_debug(debug);
        TestHost::Stop(host.StartScript("module_api", script));
        std::vector<std::string> seen;
        for (auto &line : host.log.Lines()) {
            if (line.rfind("api: ", 0) == 0 || line.rfind("100%", 0) == 0)
                seen.push_back(line);
        }
        std::vector<std::string> expected = {"api: plain text",
            "api: print returns = 0", "api: debug text", "api: debug returns = 0",
            std::string("api: print int = ") + type_error,
            std::string("api: print none = ") + type_error,
            std::string("api: print two = ") + type_error,
            std::string("api: print nul = ") + type_error,
            std::string("api: print surrogate = ") + type_error,
            std::string("api: debug bytes = ") + type_error, "100%s%n%d",
            "api: error is Exception = True", "api: error name = ('error', 'qpp')",
            "api: functions = ['debug', 'dispatch', 'error', 'print', 'stats']"};
        if (! debug) expected.erase(expected.begin() + 2);
        EXPECT_EQ(seen, expected) << host.log.Text();
    }
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

