// What an instance tells its host about its own work.

#include <gtest/gtest.h>

#include "qpp-test-host.h"

using namespace qpptest;

namespace {

// Each value of expected (a JSON object text) at its place in stats.
void ExpectIn(const json &stats, const char *expected)
{
    json flat = json::parse(expected).flatten();
    for (auto it = flat.begin(); it != flat.end(); ++it) {
        EXPECT_EQ(stats[json::json_pointer(it.key())], it.value())
            << it.key() << " in " << stats.dump();
    }
}

}  // namespace

// A hundred-megabyte payload arrives whole.
TEST(Stats, CallbacksReloadsAndPayloadsAreCounted)
{
    TestHost host;
    SinkRecorder sinks({"sink"});
    qdPluginProcessor *plugin = host.StartScript("counted", R"(
import qpp
def ProcessFlowEvent(event, flow):
    if event == 3:
        raise ValueError("third kind")
def ProcessAgentEvent(event):
    if event == 11:
        qpp.dispatch("sink", ["big"], "0123456789" * 10_000_000)
        qpp.dispatch("nowhere", [], "refused")
)");
    ASSERT_NE(plugin, nullptr);

    auto flow = MakeFlow();
    for (auto event : {qdPluginProcessor::EVENT_FLOW_NEW,
             qdPluginProcessor::EVENT_FLOW_UPDATED,
             qdPluginProcessor::EVENT_FLOW_UPDATED}) {
        plugin->DispatchProcessorEvent(event, flow);
    }
    plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_UPDATE_INIT);
    // An unchanged script is not imported again.
    plugin->DispatchEvent(qdPlugin::EVENT_RELOAD);
    ASSERT_TRUE(TestHost::Sync(plugin));

    json stats = qppHostStats(plugin);
    ExpectIn(stats, R"({
        "events": {"served": 4, "dropped": 0, "flow": {"queued": 3, "served": 3},
                   "agent": {"served": 1}},
        "queue": {"depth": 0, "bytes": 0, "max_events": 0, "max_bytes": 1073741824},
        "callbacks": {"ProcessFlowEvent": {"calls": 3, "exceptions": 2},
                      "ProcessAgentEvent": {"calls": 1, "exceptions": 0},
                      "ProcessFlowMap": {"calls": 0}},
        "reloads": {"done": 1, "unchanged": 1, "failed": 0},
        "payloads": {"dispatched": 1, "refused": 1}})");
    EXPECT_GE(stats["queue"]["high_water"], 1);
    auto payloads = sinks.Payloads();
    ASSERT_EQ(payloads.size(), 1u);
    ASSERT_EQ(payloads[0].payload.size(), 100000000u);
    EXPECT_EQ(payloads[0].payload[0], '0');
    EXPECT_EQ(payloads[0].payload[99999999], '9');
    TestHost::Stop(plugin);
}

// slow.py holds the worker at the first flow event: two more fit, the rest
// are dropped; every event the script subscribes to is served or dropped,
// never both.
TEST(Stats, AFullQueueDropsWhatArrivesAndCountsIt)
{
    TestHost host;
    host.WriteConf(R"({"script": ")" + host.InstallScript("slow.py") +
        R"(", "queue_max_events": 2, "queue_max_bytes": 0})");
    qdPluginProcessor *plugin = host.Start();
    ASSERT_NE(plugin, nullptr);
    auto flow = MakeFlow();
    plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_FLOW_NEW, flow);
    ASSERT_TRUE(host.log.WaitFor("slow: blocked"));
    // The hooks return while the callback is still blocked.
    RunOrDie({[&] {
        for (int i = 0; i < 10; i++)
            plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_FLOW_UPDATED, flow);
    }},
        deadline / 2, "hooks while a callback is blocked");
    json stats = qppHostStats(plugin);
    ExpectIn(stats, R"({"queue": {"depth": 2, "max_events": 2, "max_bytes": 0},
        "events": {"flow": {"dropped": 8}}})");
    EXPECT_GT(stats["queue"]["bytes"], 0);

    WriteFile(host.ModuleDir() + "/release", "");
    ASSERT_TRUE(TestHost::Sync(plugin));
    ExpectIn(qppHostStats(plugin), R"({"queue": {"depth": 0, "high_water": 2},
        "events": {"flow": {"served": 3, "queued": 3, "dropped": 8}}})");
    TestHost::Stop(plugin);
    EXPECT_EQ(host.log.Count("slow: served 3"), 1u) << host.log.Text();
}
