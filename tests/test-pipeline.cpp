// Events from host threads to script callbacks: which reach the script,
// with what arguments, in what order.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "qpp-test-host.h"

using namespace qpptest;
using ::testing::ElementsAre;

namespace {

// Reports every callback with its arguments, one "rec:" line each, with
// what a thread-local kept from an earlier event and the collector's state.
const char *const recorder = R"(import gc, threading, qpp
local = threading.local()
def ProcessAgentEvent(event):
    qpp.print("rec: agent %r %s\n" % (event, getattr(local, "seen", "fresh")))
    local.seen = "kept"
    if event == 12:
        gc.disable()
def ProcessFlowEvent(event, flow):
    qpp.print("rec: flow %r %s %s\n" % (
        event, type(flow).__name__, flow["host_server_name"]))
def ProcessFlowMap(flows):
    qpp.print("rec: map %s gc %s\n" % (
        ",".join(f["host_server_name"] for f in flows), gc.isenabled()))
def ProcessFlowStats(flows):
    qpp.print("rec: stats %s %s\n" % (
        ",".join(f["digest_lower"][:4] for f in flows),
        ",".join(list(f.keys())[3] for f in flows)))
)";

}  // namespace

TEST(Pipeline, DeliversEachKindWithItsArguments)
{
    TestHost host;
    qdPluginProcessor *plugin = host.StartScript("recorder", recorder);
    ASSERT_NE(plugin, nullptr);

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

    plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_UPDATE_INIT);
    qdInstanceStatus status;
    plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_UPDATE_COMPLETE, &status);
    auto flow = MakeFlow("single");
    flow->flags.detection_init = false;  // no filter for single flows
    flow->flags.expired = true;
    plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_FLOW_EXPIRED, flow);
    // The collector pauses while the list is built, and is then as the
    // script left it.
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
    // Agent hooks queue whatever value the host sends; the worker sorts.
    for (auto event : {0, 8, 9, 10, 13, 300})
        plugin->DispatchProcessorEvent(static_cast<qdPluginProcessor::Event>(event));

    ASSERT_TRUE(TestHost::Sync(plugin));
    // Served means a callback ran: the values no callback takes are apart.
    json events = qppHostStats(plugin)["events"];
    EXPECT_EQ(events["agent"]["served"], 2) << events.dump();
    EXPECT_EQ(events["agent"]["unhandled"], 6);
    EXPECT_EQ(events["served"], 5);
    TestHost::Stop(plugin);

    // A runner serves every event on one thread state: thread-locals last.
    std::string later = Process() ? "kept" : "fresh";
    EXPECT_THAT(host.log.Starting("rec: "),
        ElementsAre("rec: stats aa00,bb00 stats,stats", "rec: map a,b gc True",
            "rec: agent 11 fresh", "rec: agent 12 " + later, "rec: flow 7 dict single",
            "rec: stats aa00,bb00 stats,stats", "rec: map a,b gc False",
            "rec: agent 99 " + later))
        << host.log.Text();
    EXPECT_EQ(host.log.Count("recorder: agent or private event not set."), 1u);
    for (auto event : {"8", "9", "10", "13", "300"})
        EXPECT_EQ(host.log.Count(std::string("recorder: unhandled plugin event: ") + event), 1u);
}

// A snapshot of a hundred thousand flows reaches both callbacks whole (in a
// runner it streams through the channel, which holds a few megabytes).
TEST(Pipeline, AHundredThousandFlowsArriveWhole)
{
    TestHost host;
    qdPluginProcessor *plugin = host.StartScript("many", R"(import qpp
def ProcessFlowStats(flows):
    qpp.print("seen: stats %d\n" % len(flows))
def ProcessFlowMap(flows):
    qpp.print("seen: map %d %d\n" % (len(flows), len({f["lower_port"] for f in flows})))
)");
    ASSERT_NE(plugin, nullptr);
    qdFlowMap map(64);
    for (int i = 0; i < 100000; i++)
        map.Insert(std::to_string(i), MakeFlow("f", 17, static_cast<uint16_t>(i % 50000)));
    plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_FLOW_MAP, &map);
    ASSERT_TRUE(TestHost::Sync(plugin));
    TestHost::Stop(plugin);
    EXPECT_THAT(host.log.Starting("seen: "), ElementsAre("seen: stats 100000", "seen: map 100000 50000"))
        << host.log.Text();
}
