// Events from host threads to script callbacks: which reach the script,
// with what arguments, in what order.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "qpp-test-host.h"

using namespace qpptest;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

// Reports every callback with its arguments, one "rec:" line each.
const char *const recorder = R"(
import qpp

def ProcessAgentEvent(event):
    qpp.print("rec: agent %r\n" % (event,))

def ProcessFlowEvent(event, flow):
    qpp.print("rec: flow %r %s %s\n" % (
        event, type(flow).__name__, flow["host_server_name"]))

def ProcessFlowMap(flows):
    qpp.print("rec: map %s\n" % ",".join(f["host_server_name"] for f in flows))

def ProcessFlowStats(flows):
    qpp.print("rec: stats %s %s\n" % (
        ",".join(f["digest_lower"][:4] for f in flows),
        ",".join(list(f.keys())[3] for f in flows)))
)";

class Pipeline : public ::testing::Test
{
protected:
    qdPluginProcessor *StartWith(const std::string &name, const std::string &text)
    {
        return plugin = host.StartScript(name, text);
    }

    void TearDown() override { TestHost::Stop(plugin); }

    TestHost host;
    qdPluginProcessor *plugin = nullptr;
};

}  // namespace

TEST_F(Pipeline, DeliversEachKindWithItsArguments)
{
    ASSERT_NE(StartWith("recorder", recorder), nullptr);

    plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_UPDATE_INIT);
    qdInstanceStatus status;
    plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_UPDATE_COMPLETE, &status);

    auto flow = MakeFlow("single");
    flow->flags.detection_init = false;  // no filter for single flows
    flow->flags.expired = true;
    plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_FLOW_EXPIRED, flow);

    qdFlowMap map(1);
    auto a = MakeFlow("a");
    a->digest_lower[0] = 0xaa;
    auto b = MakeFlow("b");
    b->digest_lower[0] = 0xbb;
    auto expired = MakeFlow("expired");
    expired->flags.expired = true;
    auto undetected = MakeFlow("undetected");
    undetected->flags.detection_init = false;
    map.Insert("1", a);
    map.Insert("2", expired);
    map.Insert("3", b);
    map.Insert("4", undetected);
    plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_FLOW_MAP, &map);
    // A map with nothing to report queues nothing.
    qdFlowMap nothing(2);
    nothing.Insert("2", expired);
    nothing.Insert("4", undetected);
    plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_FLOW_MAP, &nothing);

    // Never queued, whatever the mask.
    std::map<std::string, std::shared_ptr<qdInterface>> interfaces;
    qdPacketStats stats;
    plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_INTERFACES, &interfaces);
    plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_PKT_CAPTURE_STATS, "eth0", &stats);
    plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_PKT_GLOBAL_STATS, &stats);

    ASSERT_TRUE(TestHost::Sync(plugin));
    TestHost::Stop(plugin);
    plugin = nullptr;

    EXPECT_THAT(host.log.Starting("rec: "),
        ElementsAre("rec: agent 11", "rec: agent 12", "rec: flow 7 dict single",
            "rec: stats aa00,bb00 stats,stats", "rec: map a,b", "rec: agent 99"))
        << host.log.Text();
}

TEST_F(Pipeline, UnhandledEventValuesReachNoCallback)
{
    ASSERT_NE(StartWith("recorder", recorder), nullptr);
    // Agent hooks queue whatever value the host sends; the worker sorts.
    for (auto event : {0, 8, 9, 10, 13, 300}) {
        plugin->DispatchProcessorEvent(
            static_cast<qdPluginProcessor::Event>(event));
    }
    ASSERT_TRUE(TestHost::Sync(plugin));
    EXPECT_THAT(host.log.Starting("rec: "), IsEmpty());
    EXPECT_EQ(host.log.Count("recorder: agent or private event not set."), 1u);
    for (auto event : {"8", "9", "10", "13", "300"}) {
        EXPECT_EQ(host.log.Count(
                      std::string("recorder: unhandled plugin event: ") + event),
            1u);
    }
}

TEST_F(Pipeline, TerminationDuringAnEventDropsTheRestAndSendsTheNotice)
{
    // The first agent event blocks until the test creates a release file.
    ASSERT_NE(StartWith("blocking", R"(
import os
import time

import qpp

release = os.path.join(os.path.dirname(__file__), "release")

def ProcessAgentEvent(event):
    qpp.print("gate: start %d\n" % event)
    if event != 99:
        deadline = time.monotonic() + 30
        while not os.path.exists(release) and time.monotonic() < deadline:
            time.sleep(0.01)
    qpp.print("gate: done %d\n" % event)
)"),
        nullptr);
    plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_UPDATE_INIT);
    plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_UPDATE_COMPLETE);
    plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_UPDATE_INIT);
    ASSERT_TRUE(host.log.WaitFor("gate: start 11"));
    plugin->Terminate();
    WriteFile(host.ModuleDir() + "/release", "");
    delete plugin;
    plugin = nullptr;
    EXPECT_THAT(host.log.Starting("gate: "),
        ElementsAre("gate: start 11", "gate: done 11", "gate: start 99", "gate: done 99"));
}

TEST_F(Pipeline, ThreadLocalDataDoesNotSurviveAnEvent)
{
    ASSERT_NE(StartWith("threadlocal", R"(
import threading

import qpp

local = threading.local()

def ProcessAgentEvent(event):
    qpp.print("threadlocal: %s\n" % getattr(local, "seen", "fresh"))
    local.seen = "kept"
)"),
        nullptr);
    plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_UPDATE_INIT);
    plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_UPDATE_INIT);
    ASSERT_TRUE(TestHost::Sync(plugin));
    EXPECT_EQ(host.log.Count("threadlocal: fresh"), 2u);
    EXPECT_EQ(host.log.Count("threadlocal: kept"), 0u);
}

// The collector pauses while a flow map's list is built, and is as the
// script left it when its callback runs.
TEST_F(Pipeline, FlowMapsLeaveTheCollectorAsTheScriptSetIt)
{
    ASSERT_NE(StartWith("gc_state", R"(
import gc
import qpp

def ProcessFlowMap(flows):
    qpp.print("gc: in map %s\n" % gc.isenabled())

def ProcessAgentEvent(event):
    if event == 11:
        gc.disable()
    elif event == 12:
        qpp.print("gc: after %s\n" % gc.isenabled())
)"),
        nullptr);
    qdFlowMap map(4);
    map.Insert("a", MakeFlow("a"));
    plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_FLOW_MAP, &map);
    plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_UPDATE_INIT);
    plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_FLOW_MAP, &map);
    plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_UPDATE_COMPLETE);
    ASSERT_TRUE(TestHost::Sync(plugin));
    EXPECT_THAT(host.log.Starting("gc: "),
        ElementsAre("gc: in map True", "gc: in map False", "gc: after False"));
}
