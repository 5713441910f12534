// Scripts that misbehave: whatever they do, the host keeps running, its
// threads are never held up, and the instance keeps serving.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "qpp-test-host.h"

using namespace qpptest;
using ::testing::HasSubstr;

namespace {

size_t Occurrences(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t at = 0; (at = text.find(what, at)) != std::string::npos; at++) n++;
    return n;
}

}  // namespace

// Whatever a callback raises, Exception or not, prints a traceback each
// time, counts as an exception, and the next event is served.
TEST(CallbackExceptions, ArePrintedCountedAndSurvived)
{
    struct Case
    {
        const char *statement;  // run by the callback for event 11
        const char *printed;    // the traceback's last line
    };
    const Case cases[] = {
        {"raise ValueError('agent callback failed')", "ValueError: agent callback failed"},
        {"{}['no such key']", "KeyError: 'no such key'"},
        {"sys.exit(3)", "SystemExit: 3"},
        {"raise KeyboardInterrupt('pressed')", "KeyboardInterrupt: pressed"},
        {"raise GeneratorExit('closed')", "GeneratorExit: closed"},
        {"raise Departure('gone')", "Departure: gone"},
        {"down(0)", "RecursionError: maximum recursion depth exceeded"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.statement);
        TestHost host;
        StderrCapture err;
        qdPluginProcessor *plugin = host.StartScript("raising", std::string(R"(
import sys, qpp
class Departure(BaseException):
    pass
def down(n):
    return down(n + 1) + 1
# Callbacks need not be functions, but must be callable.
class ProcessFlowEvent:
    def __init__(self, event, flow):
        qpp.print("raising: instance made for %d\n" % event)
ProcessFlowMap = 42
def ProcessAgentEvent(event):
    if event == 11:
        )") + c.statement + R"(
    qpp.print("raising: served %d\n" % event)
)");
        ASSERT_NE(plugin, nullptr);
        auto flow = MakeFlow();
        plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_FLOW_NEW, flow);
        plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_UPDATE_INIT);
        plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_UPDATE_INIT);
        plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_UPDATE_COMPLETE);
        ASSERT_TRUE(TestHost::Sync(plugin));
        json stats = qppHostStats(plugin);
        TestHost::Stop(plugin);
        std::string text = err.Text();
        EXPECT_EQ(Occurrences(text, "Traceback (most recent call last)"), 2u) << text;
        EXPECT_EQ(Occurrences(text, c.printed), 2u) << text;
        EXPECT_EQ(stats["callbacks"]["ProcessAgentEvent"]["exceptions"], 2);
        EXPECT_EQ(host.log.Count("raising: served 12"), 1u) << host.log.Text();
        EXPECT_EQ(host.log.Count("raising: served 99"), 1u);
        EXPECT_EQ(host.log.Count("raising: instance made for 2"), 1u);
        EXPECT_EQ(host.log.Count(": ProcessFlowMap: not callable."), 1u);
    }
}

// Events that arrive while the first import runs are dropped at the hooks,
// and counted; a reload request made meanwhile is served too, and before a
// later sync point is signalled.
TEST(Misbehaving, ASlowImportHoldsUpNoHostThread)
{
    TestHost host;
    std::string path = host.WriteScript("slow_import", R"(
import os, time, qpp
qpp.print("slow_import: importing\n")
release = os.path.join(os.path.dirname(__file__), "release")
deadline = time.monotonic() + 60
while not os.path.exists(release) and time.monotonic() < deadline:
    time.sleep(0.01)
count = 0
def ProcessFlowEvent(event, flow):
    global count
    count += 1
def ProcessAgentEvent(event):
    if event == 99:
        qpp.print("slow_import: served %d\n" % count)
)");
    qdPluginProcessor *plugin = host.Create();
    ASSERT_NE(plugin, nullptr);
    plugin->Create();
    ASSERT_TRUE(host.log.WaitFor("slow_import: importing"));
    auto flow = MakeFlow();
    for (int n = 0; n < 1000; n++)
        plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_FLOW_NEW, flow);
    plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_UPDATE_INIT);
    qdFlowMap map(4);
    map.Insert("a", MakeFlow("a"));
    map.Insert("b", MakeFlow("b"));
    plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_FLOW_MAP, &map);

    WriteFile(path, ReadFile(path) + "qpp.print('slow_import: second version\\n')\n");
    plugin->DispatchEvent(qdPlugin::EVENT_RELOAD);
    WriteFile(host.ModuleDir() + "/release", "");
    ASSERT_TRUE(TestHost::Sync(plugin));
    EXPECT_EQ(host.log.Count("slow_import: second version"), 1u) << host.log.Text();
    for (int n = 0; n < 10; n++)
        plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_FLOW_NEW, flow);
    ASSERT_TRUE(TestHost::Sync(plugin));
    json events = qppHostStats(plugin)["events"];
    EXPECT_EQ(events["flow"]["dropped"], 1000) << events.dump();
    EXPECT_EQ(events["agent"]["dropped"], 1);
    EXPECT_EQ(events["flow_map"]["dropped"], 1);
    EXPECT_EQ(events["flow_map"]["flows_dropped"], 2);
    TestHost::Stop(plugin);
    EXPECT_EQ(host.log.Count("slow_import: served 10"), 1u) << host.log.Text();
}

// Instance A leaves marks where a careless embedding would share them
// between interpreters, and mutilates its module qpp (whose functions it
// still uses); instance B, made while A lives, and C, made after A was
// destroyed, see none of it.
TEST(Misbehaving, WhatAScriptChangesStaysInItsOwnInterpreter)
{
    TestHost host;
    SinkRecorder sinks({"sink"});
    host.WriteScript("mutilate", R"(
import builtins, json, sys, qpp
for module in (builtins, json, sys):
    module.qpp_isolation_mark = "set"
keep = qpp.print
qpp.error.stash = lambda: "from A"
del qpp.print
qpp.debug = None
qpp.error = ValueError
keep("mutilate: done %s\n" % (hasattr(qpp, "print"),))
def ProcessAgentEvent(event):
    keep("mutilate: agent %d dispatch %r\n" % (event, qpp.dispatch("sink", [], "x")))
)", "a");
    host.WriteScript("intact", R"(
import builtins, json, sys, qpp
seen = [hasattr(m, "qpp_isolation_mark") for m in (builtins, json, sys)]
if hasattr(qpp.error, "stash"):
    qpp.error.stash()
qpp.print("intact: %s %s %s %s %s\n" % (seen, hasattr(qpp, "print"),
    qpp.debug is not None, hasattr(qpp.error, "stash"),
    issubclass(qpp.error, Exception) and qpp.error.__module__ == "qpp"))
)", "b");
    qdPluginProcessor *a = host.Start("python-a", "a");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(host.log.Count("mutilate: done False"), 1u);
    a->DispatchProcessorEvent(qdPluginProcessor::EVENT_UPDATE_INIT);
    ASSERT_TRUE(TestHost::Sync(a));
    EXPECT_EQ(host.log.Count("mutilate: agent 11 dispatch True"), 1u);

    TestHost::Stop(host.Start("python-b", "b"));
    TestHost::Stop(a);
    TestHost::Stop(host.Start("python-c", "b"));
    EXPECT_EQ(host.log.Count("intact: [False, False, False] True True False True"), 2u)
        << host.log.Text();
}
