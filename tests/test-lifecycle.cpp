// The plugin's life as the daemon sees it: the factory and the module qpp.
// The runtime's own life is in test-runtime-exit.cpp.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "qpp-test-host.h"

using namespace qpptest;
using ::testing::ThrowsMessage;

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

// What the module's functions return and refuse, debug lines only with the
// host's debug on; and in each of two instances (two sub-interpreters that
// each import the module), every event constant as an int of its value, the
// value a callback receives for each event being the constant of that name.
TEST(Module, FunctionsAndEventConstants)
{
    const char *const script = R"(
import qpp
def type_error(call):
    try:
        call()
    except TypeError as e:
        return str(e)
qpp.print("api: returns %r %r\n" % (qpp.print("api: plain\n"), qpp.debug("api: debug\n")))
qpp.print("api: refuses %s\n" % set(type_error(c) for c in (lambda: qpp.print(1),
    lambda: qpp.print(), lambda: qpp.print("a", "b"), lambda: qpp.print("a\0b"),
    lambda: qpp.print("\udc80"), lambda: qpp.debug(b"bytes"))))
qpp.print("api: 100%s%n%d\n")
qpp.print("api: error %s %s %s\n" % (issubclass(qpp.error, Exception),
    qpp.error.__name__, qpp.error.__module__))
qpp.print("api: %s\n" % sorted(n for n in dir(qpp) if not n.startswith(("_", "EVENT_"))))
names = sorted(n for n in dir(qpp) if n.startswith("EVENT_"))
qpp.print("api: %s\n" % " ".join(
    "%s=%s:%d" % (n, type(getattr(qpp, n)).__name__, getattr(qpp, n)) for n in names))
seen = []
def ProcessFlowEvent(event, flow):
    ProcessAgentEvent(event)
def ProcessAgentEvent(event):
    seen.append("%d=%s" % (event, ",".join(n for n in names if getattr(qpp, n) == event)))
    if event == 99:
        qpp.print("api: seen %s\n" % " ".join(seen))
)";
    for (bool debug : {true, false}) {
        SCOPED_TRACE(debug);
        TestHost host;
        qd_set_debug(debug);
        qdPluginProcessor *plugin = host.StartScript("module_api", script);
        ASSERT_NE(plugin, nullptr);
        auto flow = MakeFlow();
        for (int event : {2, 3, 4, 5, 6, 7})
            plugin->DispatchProcessorEvent(static_cast<qdPluginProcessor::Event>(event), flow);
        for (int event : {11, 12})
            plugin->DispatchProcessorEvent(static_cast<qdPluginProcessor::Event>(event));
        ASSERT_TRUE(TestHost::Sync(plugin));
        TestHost::Stop(plugin);
        // 1 reaches no callback (ProcessFlowMap has no event argument).
        std::vector<std::string> expected = {"api: plain", "api: debug",
            "api: returns 0 0", "api: refuses {'message type must be a string'}",
            "api: 100%s%n%d", "api: error True error qpp",
            "api: ['debug', 'dispatch', 'error', 'print', 'stats']",
            "api: EVENT_FLOW_DPI_COMPLETE=int:4 EVENT_FLOW_DPI_UPDATE=int:5 "
            "EVENT_FLOW_EXPIRED=int:7 EVENT_FLOW_EXPIRING=int:6 EVENT_FLOW_MAP=int:1 "
            "EVENT_FLOW_NEW=int:2 EVENT_FLOW_UPDATED=int:3 EVENT_UNLOAD=int:99 "
            "EVENT_UPDATE_COMPLETE=int:12 EVENT_UPDATE_INIT=int:11",
            "api: seen 2=EVENT_FLOW_NEW 3=EVENT_FLOW_UPDATED 4=EVENT_FLOW_DPI_COMPLETE "
            "5=EVENT_FLOW_DPI_UPDATE 6=EVENT_FLOW_EXPIRING 7=EVENT_FLOW_EXPIRED "
            "11=EVENT_UPDATE_INIT 12=EVENT_UPDATE_COMPLETE 99=EVENT_UNLOAD"};
        if (! debug) expected.erase(expected.begin() + 1);
        EXPECT_EQ(host.log.Starting("api: "), expected) << host.log.Text();
    }
}
